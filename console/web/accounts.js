// The Users and Groups windows (one selection each, sorted by a click on a
// column title), and the commands that add and delete accounts from any
// window: Add User (Ctrl+U), Add Group (Ctrl+G), Add Domain (Ctrl+D), Delete.
import * as api from "./api.js";
import { defineCommand, commandsChanged, runCommand } from "./commands.js";
import { showContextMenu } from "./menus.js";
import { setPrompt } from "./frame.js";
import { on } from "./events.js";
import * as panels from "./panels.js";
import { defineWindow } from "./windows.js";
import { ask } from "./ask.js";
import { element } from "./dom.js";
import { addUser, editUser } from "./sheets/user.js";
import { addGroup, editGroup } from "./sheets/group.js";
import { addDomain } from "./sheets/domain.js";
import { editFile } from "./sheets/file.js";
import { directoriesSelection, treeAdded, deleteInDirectories } from "./directories.js";

const kLists = {
  users: { kind: "Users", title: "Users", path: "/api/users", sorts: ["name", "domain", "lastOn"],
           cells: (r) => [r.login, r.domain, r.lastOn] },
  groups: { kind: "Groups", title: "Groups", path: "/api/groups", sorts: ["name", "domain", "comment"],
            cells: (r) => [r.name, r.domain, r.comment] },
};
const views = {};  // name -> {panel, tbody, rows, selected, sort, reverse, widths, head}

const activeKind = () => panels.activePanel()?.kind;
const selectedRow = (name) => views[name]?.rows.find((r) => r.id === views[name].selected) || null;

async function reload(name) {
  const v = views[name];
  if (!v) return;
  const query = v.sort ? `?sort=${v.sort}&reverse=${v.reverse ? 1 : 0}` : "";
  const r = await api.get(`${kLists[name].path}${query}`, { quiet: true });
  if (!r.ok || views[name] !== v) return;
  v.rows = r.data.rows;
  if (!v.widths) {
    v.widths = r.data.columns.map((c) => c.width);
    v.cols.forEach((col, i) => { col.style.width = `${v.widths[i]}px`; });
  }
  render(name);
}

function render(name) {
  const v = views[name];
  v.tbody.replaceChildren(...v.rows.map((row) => {
    const texts = kLists[name].cells(row).map((x) => String(x ?? ""));
    return element("tr", { dataset: { id: String(row.id) }, "aria-selected": String(row.id === v.selected) },
                   ...texts.map((text) => element("td", { textContent: text, title: text })));
  }));
  commandsChanged();
}

function select(name, id) {
  const v = views[name];
  v.selected = id;
  for (const tr of v.tbody.rows) tr.setAttribute("aria-selected", String(Number(tr.dataset.id) === id));
  v.tbody.querySelector(`tr[aria-selected="true"]`)?.scrollIntoView({ block: "nearest" });
  commandsChanged();
}

async function properties(name) {
  const row = selectedRow(name);
  if (!row) return;
  if (name === "users") await editUser(row.id, "list");
  else await editGroup(row.id);
  await reload(name);
}

async function rootProperties() {
  const row = selectedRow("users");
  if (!row) return;
  const sheet = await api.get(`/api/users/${row.id}`);
  if (sheet.ok && sheet.data.user.rootDirectory) await editFile(sheet.data.user.rootDirectory);
}

async function deleteSelected(name) {
  const row = selectedRow(name);
  if (!row) return;
  const r = await ask("DELETE", kLists[name].path, { ids: [row.id] });
  if (r.ok) await reload(name);
}

function menuFor(name) {
  const items = [{ label: "Properties...", run: () => properties(name), enabled: () => !!selectedRow(name) }];
  if (name === "users") items.push({ label: "Root Properties...", run: rootProperties, enabled: () => !!selectedRow(name) });
  items.push({ label: "Delete", run: () => deleteSelected(name), enabled: () => !!selectedRow(name) });
  return items;
}

const saveWidths = (name) => {
  const v = views[name];
  if (v?.widths) api.put(`${kLists[name].path}/columns`, { widths: v.widths }, { quiet: true });
};

// The header's right edge resizes its column; the widths go to UserInfo%d or GroupInfo%d.
function columnGrip(name, col, index) {
  const grip = element("span", { className: "column-grip" });
  grip.addEventListener("click", (e) => e.stopPropagation());
  grip.addEventListener("pointerdown", (e) => {
    e.preventDefault();
    e.stopPropagation();
    const start = e.clientX;
    const width = col.getBoundingClientRect().width;
    const move = (m) => { col.style.width = `${Math.max(8, Math.round(width + m.clientX - start))}px`; };
    const up = () => {
      window.removeEventListener("pointermove", move);
      window.removeEventListener("pointerup", up);
      const v = views[name];
      if (!v?.widths) return;
      v.widths[index] = parseInt(col.style.width, 10);
      saveWidths(name);
    };
    window.addEventListener("pointermove", move);
    window.addEventListener("pointerup", up);
  });
  return grip;
}

function createList(name, panel) {
  const spec = kLists[name];
  const table = element("table", { className: `list accounts ${name}`, role: "grid" });
  const colgroup = element("colgroup");
  const head = element("tr");
  const titles = name === "users" ? ["Name", "Domain", "Last On"] : ["Name", "Domain", "Comment"];
  const cols = titles.map((title, i) => {
    const col = element("col");
    colgroup.append(col);
    const th = element("th", { textContent: title }, columnGrip(name, col, i));
    th.addEventListener("click", () => {
      const v = views[name];
      if (v.sort === spec.sorts[i]) v.reverse = !v.reverse;
      else { v.sort = spec.sorts[i]; v.reverse = false; }
      reload(name);
    });
    head.append(th);
    return col;
  });
  const tbody = element("tbody", { tabIndex: 0, "aria-label": spec.title });
  table.append(colgroup, element("thead", {}, head), tbody);
  panel.body.append(table);
  views[name] = { panel, tbody, cols, rows: [], selected: null, sort: "", reverse: false, widths: null };
  panel.menus = () => [{ title: name === "users" ? "&Users" : "&Groups", items: menuFor(name) }];
  tbody.addEventListener("click", (e) => { const tr = e.target.closest("tr"); if (tr) select(name, Number(tr.dataset.id)); });
  tbody.addEventListener("dblclick", (e) => { if (e.target.closest("tr")) properties(name); });
  tbody.addEventListener("contextmenu", (e) => {
    e.preventDefault();
    const tr = e.target.closest("tr");
    if (tr) select(name, Number(tr.dataset.id));
    showContextMenu(menuFor(name), e.clientX, e.clientY, { onPrompt: setPrompt, onClose: () => tbody.focus() });
  });
  tbody.addEventListener("keydown", (e) => {
    const v = views[name];
    const order = v.rows.map((r) => r.id);
    const at = order.indexOf(v.selected);
    if (e.key === "ArrowDown" || e.key === "ArrowUp") {
      e.preventDefault();
      if (order.length) select(name, order[Math.max(0, Math.min(order.length - 1, at + (e.key === "ArrowDown" ? 1 : -1)))]);
    } else if (e.key === "Enter") {
      e.preventDefault();
      properties(name);
    } else if (e.key === "Delete") {
      e.preventDefault();
      deleteSelected(name);
    } else if (e.key === "Insert" && !e.shiftKey && !e.ctrlKey && !e.altKey) {
      e.preventDefault();
      runCommand(name === "users" ? "add-user" : "add-group");
    } else if (e.key === "ContextMenu" || (e.key === "F10" && e.shiftKey)) {
      e.preventDefault();
      const box = tbody.getBoundingClientRect();
      showContextMenu(menuFor(name), box.left + 5, box.top + 5, { onPrompt: setPrompt, onClose: () => tbody.focus() });
    }
  });
  reload(name);
  return {
    onClose() {
      saveWidths(name);
      delete views[name];
      commandsChanged();
    },
  };
}

defineWindow("users", { title: "Users", icon: "view-users", create: (panel) => createList("users", panel) });
defineWindow("groups", { title: "Groups", icon: "view-groups", create: (panel) => createList("groups", panel) });

// Every console sees an account change, whoever made it.
on("accounts", () => { reload("users"); reload("groups"); });

// --- adding and deleting from anywhere ------------------------------------------------

async function addUserCommand() {
  const sel = activeKind() === "Domains" ? directoriesSelection() : null;
  const inGroup = sel?.type === "group";
  const out = await addUser(inGroup ? sel.domainId : 0, inGroup ? sel.id : 0);
  if (!out?.id) return;
  const user = await api.get(`/api/users/${out.id}`, { quiet: true });
  if (user.ok) treeAdded({ kind: 2, id: out.id, label: user.data.user.login, parentNode: `group:${user.data.user.group}`,
                           extra: { rootDirectory: user.data.user.rootDirectory } });
}

async function addGroupCommand() {
  const sel = activeKind() === "Domains" ? directoriesSelection() : null;
  const out = await addGroup(sel?.type === "domain" ? sel.id : 0);
  if (!out?.id) return;
  const group = await api.get(`/api/groups/${out.id}`, { quiet: true });
  if (group.ok) treeAdded({ kind: 1, id: out.id, label: group.data.group.name, parentNode: `domain:${group.data.group.domain}` });
}

async function addDomainCommand() {
  const out = await addDomain();
  if (!out?.id) return;
  const domain = await api.get(`/api/domains/${out.id}`, { quiet: true });
  if (domain.ok) treeAdded({ kind: 0, id: out.id, label: domain.data.domain.name, parentNode: null });
}

defineCommand("add-user", { label: "&User...", prompt: "Add a user", shortcut: "Ctrl+U", icon: "add-user", run: addUserCommand });
defineCommand("add-group", { label: "&Group...", prompt: "Add a group", shortcut: "Ctrl+G", icon: "add-group", run: addGroupCommand });
defineCommand("add-domain", { label: "Add D&omain...", prompt: "Add a domain", shortcut: "Ctrl+D", icon: "add-domain",
                              run: addDomainCommand });
defineCommand("delete", {
  label: "&Delete", prompt: "Delete the selection", icon: "delete",
  enabled: () => ["Users", "Groups", "Domains"].includes(activeKind()),
  run() {
    const kind = activeKind();
    if (kind === "Users") return deleteSelected("users");
    if (kind === "Groups") return deleteSelected("groups");
    return deleteInDirectories();
  },
});
