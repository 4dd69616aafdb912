// The Connections window: one row per live connection, one selection; Kill,
// Spy and Message on the selected row, by toolbar, menu, context menu or keys;
// and the Broadcast dialog that shares Message's form.
//
// Exports: selectedConnection() -> row or null; sendMessageDialog(title) -> text or null.
import * as api from "./api.js";
import { defineCommand, commandsChanged, runCommand } from "./commands.js";
import { openModal, mnemonicLabel } from "./dialogs.js";
import { element } from "./dom.js";
import { showContextMenu } from "./menus.js";
import { setPrompt } from "./frame.js";
import { on } from "./events.js";
import { defineWindow } from "./windows.js";
import { layoutValues, saveLayoutValues } from "./panels.js";
import { openSpy } from "./spy.js";

const kColumns = [
  ["domain", "Domain", 80], ["name", "Name", 80], ["when", "When", 90],
  ["downloads", "Downloads", 50], ["uploads", "Uploads", 50], ["activity", "Activity", 50],
];
const kMessageLimit = 100;

let rows = [];          // the server's list order: newest first
let view = null;        // {tbody, panel} while the window is open
let selectedId = null;

export const selectedConnection = () => rows.find((r) => r.id === selectedId) || null;
const hasSelection = () => !!view && selectedConnection() !== null;

function fillRow(tr, row) {
  tr.replaceChildren(...kColumns.map(([key]) => {
    const text = String(row[key] ?? "");
    return element("td", { textContent: text, title: text });
  }));
}

function rowElement(row) {
  const tr = element("tr", { dataset: { id: String(row.id) }, role: "row", "aria-selected": String(row.id === selectedId) });
  fillRow(tr, row);
  return tr;
}

const findTr = (id) => view?.tbody.querySelector(`tr[data-id="${Number(id)}"]`);

function select(id) {
  selectedId = id;
  if (view) for (const tr of view.tbody.rows) tr.setAttribute("aria-selected", String(Number(tr.dataset.id) === id));
  findTr(id)?.scrollIntoView({ block: "nearest" });
  commandsChanged();
}

function renderAll() {
  if (!view) return;
  view.tbody.replaceChildren(...rows.map(rowElement));
  if (!selectedConnection()) select(null);
}

// The header's right edge resizes its column; the width is remembered with the layout.
function columnGrip(col, index) {
  const grip = element("span", { className: "column-grip" });
  grip.addEventListener("pointerdown", (e) => {
    e.preventDefault();
    e.stopPropagation();
    const start = e.clientX;
    const width = col.getBoundingClientRect().width || parseInt(col.style.width, 10);
    try { grip.setPointerCapture(e.pointerId); } catch { /* not a tracked pointer */ }
    const move = (m) => { col.style.width = `${Math.max(8, Math.round(width + m.clientX - start))}px`; };
    const up = () => {
      grip.removeEventListener("pointermove", move);
      grip.removeEventListener("pointerup", up);
      saveLayoutValues({ [`ConnectionsColumn${index}`]: parseInt(col.style.width, 10) });
    };
    grip.addEventListener("pointermove", move);
    grip.addEventListener("pointerup", up);
  });
  return grip;
}

function contextMenuAt(x, y) {
  showContextMenu([{ command: "kill" }, { command: "spy" }, { command: "message" }], x, y,
                  { onPrompt: setPrompt, onClose: () => view?.tbody.focus() });
}

function createWindow(panel) {
  const table = element("table", { className: "list connections", role: "grid" });
  const colgroup = element("colgroup");
  const head = element("tr");
  kColumns.forEach(([key, title, width], i) => {
    const col = element("col");
    const saved = layoutValues()[`ConnectionsColumn${i}`];
    if (i < kColumns.length - 1) col.style.width = `${Number.isInteger(saved) && saved >= 8 ? saved : width}px`;
    colgroup.append(col);
    const th = element("th", { textContent: title, title, dataset: { column: key } });
    if (i < kColumns.length - 1) th.append(columnGrip(col, i));
    head.append(th);
  });
  const tbody = element("tbody", { tabIndex: 0, "aria-label": "Connections" });
  table.append(colgroup, element("thead", {}, head), tbody);
  panel.body.append(table);
  view = { tbody, panel };
  renderAll();

  tbody.addEventListener("click", (e) => {
    const tr = e.target.closest("tr");
    if (tr) select(Number(tr.dataset.id));
  });
  tbody.addEventListener("dblclick", (e) => {
    const tr = e.target.closest("tr");
    if (!tr) return;
    select(Number(tr.dataset.id));
    runCommand("spy");
  });
  tbody.addEventListener("contextmenu", (e) => {
    e.preventDefault();
    const tr = e.target.closest("tr");
    if (tr) select(Number(tr.dataset.id));
    contextMenuAt(e.clientX, e.clientY);
  });
  tbody.addEventListener("keydown", (e) => {
    const i = rows.findIndex((r) => r.id === selectedId);
    const order = [...tbody.rows].map((tr) => Number(tr.dataset.id));
    const at = order.indexOf(selectedId);
    if (e.key === "ArrowDown" || e.key === "ArrowUp") {
      e.preventDefault();
      if (!order.length) return;
      const next = at < 0 ? 0 : Math.max(0, Math.min(order.length - 1, at + (e.key === "ArrowDown" ? 1 : -1)));
      select(order[next]);
    } else if (e.key === "Home" || e.key === "End") {
      e.preventDefault();
      if (order.length) select(e.key === "Home" ? order[0] : order.at(-1));
    } else if ((e.key === "F10" && e.shiftKey) || e.key === "ContextMenu") {
      // The keyboard's context menu opens 5 pixels right of and below the window's top-left corner.
      e.preventDefault();
      e.stopPropagation();
      const r = panel.body.getBoundingClientRect();
      contextMenuAt(r.left + 5, r.top + 5);
    } else if (e.key === "Enter" && i >= 0) {
      e.preventDefault();
      runCommand("spy");
    }
  });
  tbody.focus();
  commandsChanged();
  return {
    onClose() {
      view = null;
      selectedId = null;
      commandsChanged();
    },
  };
}

defineWindow("connections", { title: "Connections", icon: "view-connections", create: createWindow });

on("state", (state) => {
  rows = state.connections || [];
  renderAll();
  commandsChanged();
});
on("connection-added", (row) => {
  rows = rows.filter((r) => r.id !== row.id);
  rows.unshift(row);
  // Rows that arrive while the window is open go to the end.
  if (view && !findTr(row.id)) view.tbody.append(rowElement(row));
});
on("connection-changed", (row) => {
  const at = rows.findIndex((r) => r.id === row.id);
  if (at >= 0) rows[at] = row;
  const tr = findTr(row.id);
  if (tr) fillRow(tr, row);
});
on("connection-removed", ({ id }) => {
  rows = rows.filter((r) => r.id !== id);
  findTr(id)?.remove();
  if (selectedId === id) select(null);
});

// "Send system message": one line of at most 100 characters.
export function sendMessageDialog(title = "Send system message") {
  const label = element("label", { htmlFor: "message-text" }, mnemonicLabel("&Message to send"));
  const input = element("input", { type: "text", id: "message-text", maxLength: kMessageLimit, autocomplete: "off" });
  const content = element("div", { className: "field" }, label, input);
  return openModal({
    title,
    content,
    buttons: [{ label: "OK", value: "OK", isDefault: true }, { label: "Cancel", value: "Cancel", isCancel: true }],
    initialFocus: () => input,
  }).then((value) => (value === "OK" ? input.value : null));
}

defineCommand("kill", {
  label: "&Kill", prompt: "Disconnect the selected user", icon: "kill", enabled: hasSelection,
  async run() {
    const row = selectedConnection();
    await api.post("/api/connections/kill", { ids: row ? [row.id] : [] });
  },
});

defineCommand("spy", {
  label: "&Spy", prompt: "Watch the selected connection's commands and transfers", icon: "spy", enabled: hasSelection,
  async run() {
    const row = selectedConnection();
    if (!row) return;
    const result = await api.post("/api/spies", { connection: row.id });
    if (result.ok) openSpy(result.data);
  },
});

defineCommand("message", {
  label: "&Message...", prompt: "Send a message to the selected user", icon: "message", enabled: hasSelection,
  async run() {
    const row = selectedConnection();
    if (!row) return;
    const text = await sendMessageDialog();
    if (text !== null) await api.post("/api/connections/message", { ids: [row.id], text });
  },
});

defineCommand("broadcast", {
  label: "&Broadcast...", prompt: "Send a message to every connected user",
  async run() {
    const text = await sendMessageDialog();
    if (text !== null) await api.post("/api/broadcast", { text });
  },
});
