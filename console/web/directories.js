// The Directories window (View > Domains): the tree on the left, the selected
// directory's files on the right, a splitter between them whose place is
// kept as VSplit. Tree and list commands, the page's own clipboard, drag and
// drop, and what the other windows need of the selection.
//
// Exports:
//   directoriesSelection() -> {kind, type, id, node, domainId} of the selected node | null
//   treeAdded({kind, id, label, parentNode, extra})   shows a new account node
//   reloadFiles()          the list again (after a refresh, Add Descriptions)
//   deleteInDirectories()  the Delete command while this window is active
import * as api from "./api.js";
import { defineCommand, commandsChanged, runCommand } from "./commands.js";
import { messageBox } from "./dialogs.js";
import { element } from "./dom.js";
import { showContextMenu } from "./menus.js";
import { setPrompt } from "./frame.js";
import * as panels from "./panels.js";
import { defineWindow } from "./windows.js";
import { ask } from "./ask.js";
import { createTree } from "./tree.js";
import { createFileList } from "./filelist.js";
import { editFile, newEntry } from "./sheets/file.js";
import { editDomain } from "./sheets/domain.js";
import { editGroup } from "./sheets/group.js";
import { editUser } from "./sheets/user.js";
import { pickUser, pickGroup } from "./sheets/pickers.js";
import { securityDialog } from "./sheets/security.js";
import { refreshDirectory } from "./refresh.js";
import { buildIndexes, addDescriptions } from "./indexes.js";

const kKinds = ["domain", "group", "user", "directory", "link"];
const kSelectDirectory = "Select a directory or user to attach to.";
const kDefaultSplit = 200;

let view = null;        // {panel, tree, list, lastFocus} while the window is open
let clipboard = null;   // {cut, item}: the tree's own clipboard

const selectedItem = () => view?.tree.selected() || null;
const selectedKind = () => selectedItem()?.kind ?? -1;
const active = () => panels.activePanel()?.kind === "Domains";

export function directoriesSelection() {
  const item = selectedItem();
  if (!item) return null;
  return { kind: item.kind, type: kKinds[item.kind], id: item.id, node: item.node,
           domainId: view.tree.domainOf(item)?.id ?? 0 };
}

export const reloadFiles = () => view?.list.reload();

const savePosition = (values) => panels.saveLayoutValues(values);

// --- tree updates -------------------------------------------------------------

const findItems = (node, within = null) =>
  (view?.tree.all() || []).filter((i) => i.node === node && (!within || view.tree.domainOf(i) === within));

export function treeAdded({ kind, id, label, parentNode, extra = {} }) {
  if (!view) return;
  const node = { node: `${kKinds[kind]}:${id}`, kind, type: kKinds[kind], id, label, ...extra };
  if (!parentNode) { view.tree.insert(null, node); return; }
  for (const parent of findItems(parentNode)) view.tree.insert(parent, node);
}

function removeEverywhere(ids, domain) {
  const wanted = new Set(ids.map(Number));
  for (const item of view.tree.all())
    if ((item.kind === 3 || item.kind === 4) && wanted.has(item.id) && item.li.isConnected &&
        view.tree.domainOf(item) === domain) view.tree.remove(item);
}

function onSelect(item) {
  if (!view) return;
  if (item?.kind === 3) view.list.load(item.id);
  else if (item?.kind === 4) view.list.load(item.target);
  else view.list.load(0);
  commandsChanged();
}

// --- properties -------------------------------------------------------------------

async function nodeProperties(item = selectedItem()) {
  if (!item) return;
  if (item.kind === 3 || item.kind === 4) {
    const saved = await editFile(item.id);
    if (saved?.name) for (const i of findItems(item.node)) view.tree.relabel(i, saved.name);
    return;
  }
  const edit = [editDomain, editGroup, (id) => editUser(id, "domains")][item.kind];
  if (!(await edit(item.id))) return;
  const r = await api.get(`/api/${["domains", "groups", "users"][item.kind]}/${item.id}`, { quiet: true });
  if (r.ok) view.tree.relabel(item, r.data.title);
}

async function rootProperties(item = selectedItem()) {
  if (item?.kind === 2 && item.rootDirectory) await editFile(item.rootDirectory);
  if (view?.list.directory === item?.rootDirectory) view.list.reload();
}

// --- delete ---------------------------------------------------------------------------

async function deleteNode(item = selectedItem()) {
  if (!item) { await messageBox("Can't delete that.", { icon: "stop" }); return; }
  const domain = view.tree.domainOf(item);
  if (item.kind === 3 || item.kind === 4) {
    const path = item.kind === 3 ? `/api/tree/directories/${item.id}` : `/api/tree/links/${item.id}`;
    const r = await ask("DELETE", path, {});
    if (!r.ok || !r.data.deleted) return;
    view.tree.remove(item);
    removeEverywhere(r.data.removed || [item.id], domain);
    return;
  }
  const r = await ask("DELETE", `/api/${["domains", "groups", "users"][item.kind]}/${item.id}`, { view: "domains" });
  if (r.ok && r.data.changed) view.tree.remove(item);
}

async function deleteFiles() {
  const ids = view.list.selectedIds();
  if (!ids.length) return;
  const r = await ask("POST", "/api/files/delete", { directory: view.list.directory, ids });
  if (r.ok) await view.list.reload();
}

export function deleteInDirectories() {
  if (!view) return undefined;
  if (view.lastFocus === "list" && view.list.selectedIds().length) return deleteFiles();
  return deleteNode();
}

// --- new entries, moves and links ----------------------------------------------------

function attachNode(item) {
  return item && (item.kind === 2 || item.kind === 3) ? item : null;
}

async function addDirectory(item = selectedItem()) {
  const parent = attachNode(item);
  if (!parent) { await messageBox(kSelectDirectory, { icon: "stop" }); return; }
  const added = await newEntry(parent.node);
  if (added) view.tree.insert(parent, added.node);
}

const canDrop = (source, target) =>
  (source.kind === 2 && target.kind === 1) || (source.kind === 3 && target.kind === 2) || target.kind === 3;

// What came back from a move or link, shown in the tree.
function placeResult(source, target, data, moved) {
  if (moved) view.tree.remove(source);
  if (data.node) view.tree.insert(target, data.node);
}

async function onDrop(source, target) {
  if (source === target) return;
  if (source.kind === 2) {
    if (target.kind !== 1) return;
    const r = await ask("POST", "/api/tree/drop", { source: source.node, target: target.node });
    if (!r.ok || !r.data.changed) return;
    view.tree.remove(source);
    view.tree.insert(target, { node: source.node, kind: 2, type: "user", id: source.id, label: source.label,
                               rootDirectory: source.rootDirectory });
    return;
  }
  if (source.kind !== 3 || (target.kind !== 2 && target.kind !== 3)) return;
  const r = await ask("POST", "/api/tree/drop", { source: source.node, target: target.node });
  if (!r.ok || !r.data.changed) return;
  placeResult(source, target, r.data, r.data.added === undefined);
}

async function paste(item = selectedItem()) {
  const target = attachNode(item);
  if (!clipboard || !target) return;
  const { cut, item: source } = clipboard;
  clipboard = null;
  commandsChanged();
  if (!source.li.isConnected) return;
  if (cut && source.kind === 2) return;  // a user moves only by a drop onto a group
  const r = await ask("POST", cut ? "/api/tree/move" : "/api/tree/link", { source: source.node, target: target.node });
  if (r.ok && r.data.changed) placeResult(source, target, r.data, cut);
}

// --- file list commands ---------------------------------------------------------------

async function fileProperties() {
  for (const id of view.list.selectedIds()) {
    const saved = await editFile(id);
    if (!saved) break;
  }
  await view.list.reload();
}

function domainId() {
  const item = selectedItem();
  return item ? view.tree.domainOf(item)?.id : 0;
}

async function setOwner(kind) {
  const ids = view.list.selectedIds();
  if (!ids.length) return;
  const chosen = kind === "user" ? await pickUser(domainId()) : await pickGroup(domainId());
  if (!chosen) return;
  const body = { directory: view.list.directory, ids, [kind === "user" ? "userId" : "groupId"]: chosen.id };
  await ask("POST", `/api/files/set-${kind}`, body);
  await view.list.reload();
}

async function setSecurity() {
  const ids = view.list.selectedIds();
  if (!ids.length) return;
  const access = await securityDialog();
  if (!access) return;
  await ask("POST", "/api/files/set-security", { directory: view.list.directory, ids, access });
  await view.list.reload();
}

// --- refresh and index jobs ------------------------------------------------------------

async function refresh() {
  const item = selectedItem();
  if (!item) { beepNow(); return; }
  if (item.kind !== 3) return;
  const result = await refreshDirectory(item.id);
  if (!result || !view) return;
  if (result.directoriesAdded && item.loaded) {
    await messageBox("Tree structure changed.  Refreshing.", { icon: "information" });
    view.tree.collapse(item, { discard: true });
  }
  if (view.list.directory === item.id) await view.list.reload();
}

function beepNow() { import("./sheets/fields.js").then((m) => m.beep(view?.tree.element)); }

// --- commands and menus ----------------------------------------------------------------

const onDirectory = () => !!view && selectedKind() === 3;
const hasFiles = () => !!view && view.list.selectedIds().length > 0;
const kPropertyLabels = ["Domain &Properties...", "Group &Properties...", "&User Properties...",
                         "Directory &Properties...", "Link &Properties..."];

defineCommand("node-properties", { label: "&Properties...", prompt: "Edit the selected entry",
                                   enabled: () => !!selectedItem(), run: () => nodeProperties() });
defineCommand("root-properties", { label: "&Root Properties...", prompt: "Edit the user's root directory",
                                   enabled: () => selectedKind() === 2, run: () => rootProperties() });
defineCommand("add-directory", { label: "&Add Directory...", prompt: "Add a directory below the selected one",
                                 icon: "add-directory", enabled: () => !!view, run: () => addDirectory() });
defineCommand("refresh", { label: "&Refresh...", prompt: "Synchronise the selected directory with the disk",
                           icon: "refresh", enabled: () => !!view, run: refresh });
defineCommand("build-index", { label: "Build &Indexes", prompt: "Write index files for the selected directory",
                               icon: "build-index", enabled: onDirectory,
                               run: () => buildIndexes(selectedItem().id) });
defineCommand("find-descriptions", { label: "Add &Descriptions...", icon: "find-descriptions",
                                     prompt: "Fill in descriptions from the files beside each entry",
                                     enabled: onDirectory,
                                     run: async () => { if (await addDescriptions(selectedItem().id)) reloadFiles(); } });
defineCommand("tree-cut", { label: "Cu&t", prompt: "Cut the selected entry", shortcut: "Ctrl+X",
                            enabled: () => active() && (selectedKind() === 3 || selectedKind() === 2),
                            run: () => { clipboard = { cut: true, item: selectedItem() }; } });
defineCommand("tree-copy", { label: "&Copy", prompt: "Copy the selected directory", shortcut: "Ctrl+C",
                             enabled: () => active() && selectedKind() === 3,
                             run: () => { clipboard = { cut: false, item: selectedItem() }; } });
defineCommand("tree-paste", { label: "&Paste", prompt: "Move or link the clipboard's entry here", shortcut: "Ctrl+V",
                              enabled: () => active() && !!clipboard && !!attachNode(selectedItem()),
                              run: () => paste() });
defineCommand("file-properties", { label: "Properties...", prompt: "Edit the selected files",
                                   enabled: hasFiles, run: fileProperties });
defineCommand("file-delete", { label: "&Delete", prompt: "Delete the selected files", enabled: hasFiles, run: deleteFiles });
defineCommand("set-user", { label: "Set &User...", prompt: "Set the owner of the selected files", icon: "set-user",
                            enabled: hasFiles, run: () => setOwner("user") });
defineCommand("set-group", { label: "Set &Group...", prompt: "Set the group of the selected files", icon: "set-group",
                             enabled: hasFiles, run: () => setOwner("group") });
defineCommand("set-security", { label: "Set &Security...", prompt: "Set the permissions of the selected files",
                                icon: "set-security", enabled: hasFiles, run: setSecurity });
const kOrders = [["name", "By &Name"], ["size", "By &Size"], ["date", "By &Date"], ["group", "By &Group"],
                 ["owner", "By &Owner"], ["comment", "By &Comment"]];
for (const [key, label] of kOrders)
  defineCommand(`order-${key}`, { label, prompt: "Sort the file list", enabled: () => !!view,
                                  checked: () => view?.list.sort === key, run: () => view.list.setSort(key) });
defineCommand("order-reverse", { label: "&Reverse", prompt: "Reverse the file list's order", enabled: () => !!view,
                                 checked: () => !!view?.list.reverse, run: () => view.list.toggleReverse() });

function treeMenu(item) {
  const props = item ? { label: kPropertyLabels[item.kind], run: () => nodeProperties(item) } : null;
  const del = { label: "&Delete", run: () => deleteNode(item) };
  const domain = { command: "add-domain" };
  switch (item?.kind) {
    case 0: return [props, del, { label: "&Add Group...", run: () => runCommand("add-group") }, domain];
    case 1: return [props, del, { label: "&Add User...", run: () => runCommand("add-user") }, domain];
    case 2: return [props, { command: "root-properties" }, del, { label: "&Add Directory...", run: () => addDirectory(item) },
                    domain, { command: "tree-paste" }];
    case 3: return [props, { command: "refresh" }, { command: "build-index" }, { command: "find-descriptions" },
                    { label: "&Add Directory", run: () => addDirectory(item) }, domain, del,
                    { command: "tree-cut" }, { command: "tree-copy" }, { command: "tree-paste" }];
    case 4: return [props, del, domain];
    default: return [domain];
  }
}

const listMenu = () => [{ label: "&Properties", run: fileProperties, enabled: hasFiles },
                        { label: "&Delete", run: deleteFiles, enabled: hasFiles }, "-",
                        ...kOrders.map(([key]) => ({ command: `order-${key}` })), { command: "order-reverse" }];

function windowMenus() {
  return [
    { title: "&Domain", items: [{ command: "node-properties" }, { command: "root-properties" }, "-",
                                { command: "refresh" }, { command: "build-index" }, { command: "find-descriptions" },
                                { command: "add-directory" }] },
    { title: "&Edit", items: [{ command: "tree-cut" }, { command: "tree-copy" }, { command: "tree-paste" }, "-",
                              { command: "delete" }] },
    { title: "&File", items: [{ command: "file-properties" }, { command: "set-user" }, { command: "set-group" },
                              { command: "set-security" }] },
    { title: "&Order", items: [...kOrders.map(([key]) => ({ command: `order-${key}` })), "-", { command: "order-reverse" }] },
  ];
}

// --- the window ----------------------------------------------------------------------------

function create(panel) {
  const layout = panels.layoutValues();
  const left = element("div", { className: "dirframe-tree" });
  const splitter = element("div", { className: "dirframe-splitter", role: "separator", "aria-orientation": "vertical",
                                    tabIndex: 0 });
  const right = element("div", { className: "dirframe-list" });
  const frame = element("div", { className: "dirframe" }, left, splitter, right);
  panel.body.append(frame);
  let split = Number(layout.VSplit) > 0 ? Number(layout.VSplit) : kDefaultSplit;
  const applySplit = () => { frame.style.gridTemplateColumns = `${split}px 5px 1fr`; };
  applySplit();
  splitter.addEventListener("pointerdown", (e) => {
    e.preventDefault();
    const start = e.clientX;
    const from = split;
    const move = (m) => { split = Math.max(60, Math.min(frame.clientWidth - 60, from + m.clientX - start)); applySplit(); };
    const up = () => {
      window.removeEventListener("pointermove", move);
      window.removeEventListener("pointerup", up);
      layout.VSplit = split;
      savePosition({ VSplit: split });
    };
    window.addEventListener("pointermove", move);
    window.addEventListener("pointerup", up);
  });
  splitter.addEventListener("keydown", (e) => {
    if (e.key !== "ArrowLeft" && e.key !== "ArrowRight") return;
    e.preventDefault();
    split = Math.max(60, split + (e.key === "ArrowLeft" ? -10 : 10));
    applySplit();
    savePosition({ VSplit: split });
  });

  const clipboardKeys = (e) => {
    if (!e.ctrlKey || e.altKey) return false;
    const id = { x: "tree-cut", c: "tree-copy", v: "tree-paste" }[e.key.toLowerCase()];
    if (!id) return false;
    e.preventDefault();
    e.stopPropagation();
    runCommand(id);
    return true;
  };
  const tree = createTree(left, {
    onSelect,
    onActivate: (item) => nodeProperties(item),
    onContextMenu: (item, x, y) => showContextMenu(treeMenu(item), x, y,
                                                   { onPrompt: setPrompt, onClose: () => tree.element.focus() }),
    onKey: (e) => clipboardKeys(e) || (e.key === "Delete" ? (e.preventDefault(), deleteNode(), true) : false),
    canDrop,
    onDrop,
  });
  const widths = [0, 1, 2, 3, 4, 5, 6].map((i) => Number(layout[`FileInfo${i}`]) || 0);
  const list = createFileList(right, {
    onOpen: fileProperties,
    onDelete: deleteFiles,
    onContextMenu: (x, y) => showContextMenu(listMenu(), x, y, { onPrompt: setPrompt }),
    onSelectionChanged: commandsChanged,
    onWidths: (w) => {
      const values = {};
      w.forEach((v, i) => { values[`FileInfo${i}`] = v; layout[`FileInfo${i}`] = v; });
      savePosition(values);
    },
  }, widths);
  view = { panel, tree, list, lastFocus: "tree" };
  tree.element.addEventListener("focus", () => { view.lastFocus = "tree"; });
  list.element.addEventListener("focusin", () => { view.lastFocus = "list"; });
  panel.menus = windowMenus;
  tree.load().then(commandsChanged);
  return {
    onClose() {
      const values = { VSplit: split };
      list.widths.forEach((v, i) => { values[`FileInfo${i}`] = v; });
      savePosition(values);
      view = null;
      clipboard = null;
      commandsChanged();
    },
  };
}

// Wide enough for the tree and the list's seven columns at their first widths.
defineWindow("domains", { title: "Directories", icon: "view-domains", defaultRect: { x: 30, y: 30, w: 900, h: 440 }, create });
