// The five child windows whose open state the server keeps (View menu).
//
// Exports:
//   defineWindow(name, {title, icon, create(panel)})  name: "domains",
//       "users", "groups", "connections" or "console"; create fills
//       panel.body and may return {onClose(), onResize()}.
//   toggleWindow(name)   asks the server to open or close it
//   windowOpen(name)     as last shown
//   syncWindows({name: open, ...})   from the "state" and "window" events
//
// The server's answer, not the click, opens the panel, so every open page
// shows the same windows.
import * as api from "./api.js";
import { element } from "./dom.js";
import * as panels from "./panels.js";
import { on } from "./events.js";
import { commandsChanged } from "./commands.js";

export const kWindowNames = ["domains", "users", "groups", "connections", "console"];
const kKinds = { domains: "Domains", users: "Users", groups: "Groups", connections: "Connections", console: "Console" };
const kDefaults = {
  connections: { title: "Connections", icon: "view-connections" },
  console: { title: "Message Console", icon: "view-console" },
  domains: { title: "Domains", icon: "view-domains" },
  users: { title: "Users", icon: "view-users" },
  groups: { title: "Groups", icon: "view-groups" },
};
const kDefaultRects = {
  connections: { x: 8, y: 8, w: 620, h: 260 },
  console: { x: 8, y: 276, w: 620, h: 220 },
  domains: { x: 40, y: 40, w: 700, h: 420 },
  users: { x: 70, y: 70, w: 560, h: 320 },
  groups: { x: 100, y: 100, w: 480, h: 300 },
};
const specs = new Map();

function placeholder(panel) {
  panel.body.append(element("p", { className: "note", textContent: "This window is not available in this console yet." }));
}

function register(name) {
  const spec = { ...kDefaults[name], ...(specs.get(name) || {}) };
  panels.registerKind(kKinds[name], {
    title: spec.title,
    icon: spec.icon,
    defaultRect: spec.defaultRect || kDefaultRects[name],
    create: (panel) => (spec.create ? spec.create(panel) : placeholder(panel)),
    requestClose: () => setOpen(name, false),
  });
}

export function defineWindow(name, spec) {
  specs.set(name, spec);
  register(name);
}

for (const name of kWindowNames) register(name);

export const windowOpen = (name) => panels.isOpen(kKinds[name]);

export function syncWindows(map) {
  for (const [name, open] of Object.entries(map)) {
    if (!kKinds[name]) continue;
    if (open && !windowOpen(name)) panels.openPanel(kKinds[name]);
    else if (!open && windowOpen(name)) panels.closePanel(kKinds[name]);
  }
  commandsChanged();
}

async function setOpen(name, open) {
  const result = await api.put(`/api/windows/${name}`, { open });
  if (result.ok) syncWindows(result.data.windows);
}

export const toggleWindow = (name) => setOpen(name, !windowOpen(name));

on("state", (state) => syncWindows(state.windows || {}));
on("window", (w) => syncWindows({ [w.window]: w.open }));
