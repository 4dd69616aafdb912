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
import { element } from "../dom.js";

export function chooseFromList({ title, columns, items }) {
  const head = element("tr", {}, ...columns.map(([, text]) => element("th", { textContent: text })));
  const tbody = element("tbody", { tabIndex: 0, "aria-label": title });
  let chosen = items.length ? 0 : -1;
  const rows = items.map((item, i) => {
    const tr = element("tr", {}, ...columns.map(([key]) => element("td", { textContent: String(item[key] ?? "") })));
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
  const table = element("table", { className: "list picker" }, element("thead", {}, head), tbody);
  const box = element("div", { className: "picker-box" }, table);
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
