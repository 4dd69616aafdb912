// Child windows: movable, resizable panels inside the frame's desktop.
//
// Exports:
//   registerKind(kind, {title, icon, create(panel), requestClose(panel),
//                       defaultRect: {x, y, w, h}})
//       create fills panel.body and may return {onClose()}; requestClose,
//       when given, is what the close button does (e.g. ask the server),
//       otherwise the panel just closes.
//   openPanel(kind, key = kind, options) -> panel   (an open key is raised)
//   closePanel(key), getPanel(key), isOpen(key), openPanels()
//   cascade(), tile(), activateNext()
//   loadLayout(), layoutValues(), saveLayoutValues({name: int}) / the layout is saved by itself to the settings store's
//       Position section (PUT /api/position) as <Kind>X, Y, W, H.
//   onPanelsChanged(fn)   called after any open, close or activation.
//   A panel: {key, kind, element, body, setTitle(text), setIcon(id),
//             close(), raise(), data: {}}
//
// To add a window: registerKind("Name", {...}) once, then openPanel("Name").
// Kinds whose open state the server keeps (Connections, Console, ...) give
// requestClose so that the close goes through the server.
import { element } from "./dom.js";
import { icon } from "./icons.js";
import * as api from "./api.js";

const kinds = new Map();
const open = new Map();
const listeners = new Set();
let desktop = null;
let layout = {};
let zTop = 10;
let saveTimer = 0;
const kMinW = 220;
const kMinH = 120;

export function setDesktop(element) { desktop = element; }
export function onPanelsChanged(fn) { listeners.add(fn); }
const changed = () => { for (const fn of listeners) fn(); };

export function registerKind(kind, spec) { kinds.set(kind, spec); }
export const getPanel = (key) => open.get(key);
export const isOpen = (key) => open.has(key);
export const openPanels = () => [...open.values()];

export const layoutValues = () => layout;

export async function loadLayout() {
  const result = await api.get("/api/position", { quiet: true });
  if (result.ok) layout = result.data.values || {};
}

function saveLayout(kind, rect) {
  saveLayoutValues({ [`${kind}X`]: rect.x, [`${kind}Y`]: rect.y, [`${kind}W`]: rect.w, [`${kind}H`]: rect.h });
}

// Any other remembered sizes (column widths) go the same way, a moment after the last change.
export function saveLayoutValues(values) {
  Object.assign(layout, values);
  pending = { ...pending, ...values };
  clearTimeout(saveTimer);
  saveTimer = setTimeout(() => {
    const body = { values: pending };
    pending = {};
    api.put("/api/position", body, { quiet: true });
  }, 400);
}
let pending = {};

function savedRect(kind, fallback) {
  const get = (k) => layout[`${kind}${k}`];
  if ([get("X"), get("Y"), get("W"), get("H")].every((v) => Number.isInteger(v)))
    return { x: get("X"), y: get("Y"), w: get("W"), h: get("H") };
  return { ...fallback };
}

function clampRect(rect) {
  const area = desktop.getBoundingClientRect();
  const w = Math.max(kMinW, Math.min(rect.w, Math.max(kMinW, area.width)));
  const h = Math.max(kMinH, Math.min(rect.h, Math.max(kMinH, area.height)));
  const x = Math.max(0, Math.min(rect.x, Math.max(0, area.width - w)));
  const y = Math.max(0, Math.min(rect.y, Math.max(0, area.height - 28)));
  return { x, y, w, h };
}

function place(panel, rect) {
  panel.rect = clampRect(rect);
  const s = panel.element.style;
  s.left = `${panel.rect.x}px`;
  s.top = `${panel.rect.y}px`;
  s.width = `${panel.rect.w}px`;
  s.height = `${panel.rect.h}px`;
  panel.hooks?.onResize?.();
}

function raise(panel) {
  for (const p of open.values()) p.element.classList.toggle("active", p === panel);
  panel.element.style.zIndex = String(++zTop);
  changed();
}

export function activePanel() {
  let best = null;
  for (const p of open.values()) if (!best || Number(p.element.style.zIndex) > Number(best.element.style.zIndex)) best = p;
  return best;
}

// Drags with the pointer captured, so a fast move cannot lose the panel.
function drag(panel, handle, apply) {
  handle.addEventListener("pointerdown", (e) => {
    if (e.button !== 0 || e.target.closest("button")) return;
    e.preventDefault();
    raise(panel);
    const start = { x: e.clientX, y: e.clientY, rect: { ...panel.rect } };
    try {
      handle.setPointerCapture(e.pointerId);
    } catch {
      // A pointer the browser does not track any more: the drag still works while it stays over the handle.
    }
    const move = (m) => place(panel, apply(start.rect, m.clientX - start.x, m.clientY - start.y));
    const up = () => {
      handle.removeEventListener("pointermove", move);
      handle.removeEventListener("pointerup", up);
      handle.removeEventListener("pointercancel", up);
      saveLayout(panel.kind, panel.rect);
    };
    handle.addEventListener("pointermove", move);
    handle.addEventListener("pointerup", up);
    handle.addEventListener("pointercancel", up);
  });
}

export function openPanel(kind, key = kind, options = {}) {
  const existing = open.get(key);
  if (existing) {
    raise(existing);
    return existing;
  }
  const spec = kinds.get(kind);
  const iconSlot = element("span", { className: "panel-icon" });
  const title = element("h2");
  const closeButton = element("button", { type: "button", className: "panel-close", title: "Close", "aria-label": "Close" },
                              icon("close"));
  const bar = element("header", { className: "panel-title" }, iconSlot, title, closeButton);
  const body = element("div", { className: "panel-body" });
  const grip = element("div", { className: "panel-grip" });
  const section = element("section", { className: `panel panel-${kind.toLowerCase()}`, dataset: { key }, role: "region" },
                          bar, body, grip);

  const panel = {
    key, kind, element: section, body, data: {}, rect: null, hooks: null,
    setTitle(text) {
      title.textContent = text;
      section.setAttribute("aria-label", text);
      changed();
    },
    setIcon(id) { iconSlot.replaceChildren(icon(id)); },
    raise() { raise(panel); },
    close() { closePanel(key); },
    title: () => title.textContent,
  };
  panel.setTitle(options.title || spec.title);
  panel.setIcon(options.icon || spec.icon || "window");
  closeButton.addEventListener("click", () => (spec.requestClose ? spec.requestClose(panel) : closePanel(key)));
  section.addEventListener("pointerdown", () => { if (!section.classList.contains("active")) raise(panel); });
  section.addEventListener("focusin", () => { if (!section.classList.contains("active")) raise(panel); });
  drag(panel, bar, (r, dx, dy) => ({ ...r, x: r.x + dx, y: r.y + dy }));
  drag(panel, grip, (r, dx, dy) => ({ ...r, w: r.w + dx, h: r.h + dy }));

  desktop.append(section);
  open.set(key, panel);
  const fallback = spec.defaultRect || { x: 20 + 24 * (open.size - 1), y: 20 + 24 * (open.size - 1), w: 560, h: 300 };
  const rect = options.rect || savedRect(kind, fallback);
  if (options.offset) { rect.x += options.offset; rect.y += options.offset; }
  place(panel, rect);
  panel.hooks = spec.create(panel, options) || {};
  raise(panel);
  return panel;
}

export function closePanel(key) {
  const panel = open.get(key);
  if (!panel) return;
  open.delete(key);
  panel.hooks?.onClose?.();
  panel.element.remove();
  const next = activePanel();
  if (next) raise(next);
  else changed();
}

export function cascade() {
  let i = 0;
  for (const p of [...open.values()].sort((a, b) => a.element.style.zIndex - b.element.style.zIndex)) {
    place(p, { x: 24 * i, y: 24 * i, w: 600, h: 320 });
    saveLayout(p.kind, p.rect);
    raise(p);
    ++i;
  }
}

export function tile() {
  const list = [...open.values()];
  if (!list.length) return;
  const area = desktop.getBoundingClientRect();
  const cols = Math.ceil(Math.sqrt(list.length));
  const rows = Math.ceil(list.length / cols);
  const w = Math.floor(area.width / cols);
  const h = Math.floor(area.height / rows);
  list.forEach((p, i) => {
    place(p, { x: (i % cols) * w, y: Math.floor(i / cols) * h, w, h });
    saveLayout(p.kind, p.rect);
  });
}

// Ctrl+F6 walks the open windows, as in a window manager's own frame.
export function activateNext() {
  const list = [...open.values()].sort((a, b) => a.element.style.zIndex - b.element.style.zIndex);
  if (!list.length) return;
  const panel = list[0];
  raise(panel);
  panel.body.querySelector("[tabindex], button, input, textarea, canvas")?.focus();
}

window.addEventListener("resize", () => { for (const p of open.values()) place(p, p.rect); });
