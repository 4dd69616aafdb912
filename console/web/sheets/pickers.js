// The Select Domain, Select Group and Select User pickers: one list, one
// choice; double click or Enter takes it.
//
// Exports:
//   pickDomain() -> {id, name} | null
//   pickGroup(domainId) -> {id, name, comment} | null
//   pickUser(domainId) -> {id, login, group} | null
//   chooseFromList({title, columns: [[key, title]], items}) -> item | null
import * as api from "../api.js";
import { openModal } from "../dialogs.js";

export function chooseFromList({ title, columns, items }) {
  const table = document.createElement("table");
  table.className = "list picker";
  const head = document.createElement("tr");
  for (const [, text] of columns) {
    const th = document.createElement("th");
    th.textContent = text;
    head.append(th);
  }
  const thead = document.createElement("thead");
  thead.append(head);
  const tbody = document.createElement("tbody");
  tbody.tabIndex = 0;
  tbody.setAttribute("aria-label", title);
  let chosen = items.length ? 0 : -1;
  const rows = items.map((item, i) => {
    const tr = document.createElement("tr");
    for (const [key] of columns) {
      const td = document.createElement("td");
      td.textContent = String(item[key] ?? "");
      tr.append(td);
    }
    tr.addEventListener("click", () => mark(i));
    tr.addEventListener("dblclick", () => { mark(i); tbody.closest(".dialog")?.querySelector("button.default")?.click(); });
    tbody.append(tr);
    return tr;
  });
  const mark = (i) => {
    chosen = i;
    rows.forEach((tr, j) => tr.setAttribute("aria-selected", String(j === i)));
    rows[i]?.scrollIntoView({ block: "nearest" });
  };
  mark(chosen);
  tbody.addEventListener("keydown", (e) => {
    if (e.key !== "ArrowDown" && e.key !== "ArrowUp") return;
    e.preventDefault();
    mark(Math.max(0, Math.min(items.length - 1, chosen + (e.key === "ArrowDown" ? 1 : -1))));
  });
  table.append(thead, tbody);
  const box = document.createElement("div");
  box.className = "picker-box";
  box.append(table);
  return openModal({
    title, content: box, className: "picker-dialog",
    buttons: [{ label: "OK", value: "OK", isDefault: true }, { label: "Cancel", value: "Cancel", isCancel: true }],
    initialFocus: () => tbody,
  }).then((v) => (v === "OK" && chosen >= 0 ? items[chosen] : null));
}

async function pick(path, columns) {
  const result = await api.get(path);
  if (!result.ok) return null;
  return chooseFromList({ title: result.data.title, columns, items: result.data.items || [] });
}

export const pickDomain = () => pick("/api/pickers/domains", [["name", "Name"]]);
export const pickGroup = (domain) => pick(`/api/pickers/groups?domain=${Number(domain)}`,
                                          [["name", "Name"], ["comment", "Comment"]]);
export const pickUser = (domain) => pick(`/api/pickers/users?domain=${Number(domain)}`,
                                         [["login", "Name"], ["group", "Group"]]);
