// The frame's toolbars and status bar (message pane, key indicators, clock).
//
// Exports:
//   kToolbars                      the three toolbars as data
//   buildToolbars(container)       draws them; buttons follow commands.js
//   toolbarVisible(id), setToolbarVisible(id, shown)   ids: tools, connections, directory
//   buildStatusBar(container), statusBarVisible(), setStatusBarVisible(shown)
//   setPrompt(text)                the message pane ("Ready" when empty)
//   restoreBars(values)            visibility from the Position section
//
// To add a toolbar button: defineCommand its id (with icon and prompt) and
// put the id into kToolbars; "|" is a separator.
import { command, runCommand, onCommandsChanged } from "./commands.js";
import { element } from "./dom.js";
import { icon } from "./icons.js";
import * as api from "./api.js";

export const kToolbars = [
  { id: "tools", title: "Tools", buttons: ["settings", "|", "view-connections", "view-domains", "view-users",
    "view-groups", "view-console", "|", "delete", "add-user", "add-group", "add-domain"] },
  { id: "connections", title: "Connections", buttons: ["spy", "kill", "message"] },
  { id: "directory", title: "Directory", buttons: ["refresh", "add-directory", "build-index", "find-descriptions",
    "|", "set-security", "set-user", "set-group"] },
];

const kBarKeys = { tools: "BarTools", connections: "BarConnections", directory: "BarDirectory", status: "BarStatus" };
const bars = new Map();
let statusBar = null;
let promptPane = null;
let clockPane = null;
const indicators = {};

export function setPrompt(text) {
  if (promptPane) promptPane.textContent = text || "Ready";
}

function refreshButtons() {
  for (const bar of bars.values())
    for (const button of bar.querySelectorAll("button[data-command]")) {
      const c = command(button.dataset.command);
      button.disabled = !c || !c.enabled();
      if (c?.checked) button.setAttribute("aria-pressed", String(!!c.checked()));
    }
}

export function buildToolbars(container) {
  const dock = element("div", { className: "toolbars" });
  for (const spec of kToolbars) {
    const bar = element("div", { className: "toolbar", dataset: { toolbar: spec.id }, role: "toolbar",
                                 "aria-label": spec.title }, element("span", { className: "toolbar-grip", title: spec.title }));
    for (const id of spec.buttons) {
      if (id === "|") {
        bar.append(element("span", { className: "toolbar-separator", role: "separator" }));
        continue;
      }
      const c = command(id);
      const tip = c?.tooltip || (c?.label || id).replace(/&/g, "").replace(/\.\.\.$/, "");
      const button = element("button", { type: "button", className: "tool", dataset: { command: id }, title: tip,
                                         "aria-label": tip }, icon(c?.icon || id));
      button.addEventListener("click", () => runCommand(id));
      button.addEventListener("pointerenter", () => setPrompt(command(id)?.prompt || ""));
      button.addEventListener("pointerleave", () => setPrompt(""));
      bar.append(button);
    }
    bars.set(spec.id, bar);
    dock.append(bar);
  }
  container.append(dock);
  onCommandsChanged(refreshButtons);
  refreshButtons();
}

export const toolbarVisible = (id) => !bars.get(id)?.hidden;
export const statusBarVisible = () => !statusBar?.hidden;

function remember(key, shown) {
  api.put("/api/position", { values: { [key]: shown ? 1 : 0 } }, { quiet: true });
}

export function setToolbarVisible(id, shown) {
  const bar = bars.get(id);
  if (!bar) return;
  bar.hidden = !shown;
  remember(kBarKeys[id], shown);
}

export function setStatusBarVisible(shown) {
  statusBar.hidden = !shown;
  remember(kBarKeys.status, shown);
}

export function restoreBars(values) {
  for (const [id, key] of Object.entries(kBarKeys)) {
    if (values[key] !== 0) continue;
    if (id === "status") statusBar.hidden = true;
    else if (bars.get(id)) bars.get(id).hidden = true;
  }
}

// "%X": the locale's time, which is what toLocaleTimeString gives.
export const clockText = (date = new Date()) => date.toLocaleTimeString();

export function buildStatusBar(container) {
  promptPane = element("span", { className: "pane pane-message", "aria-live": "polite" });
  statusBar = element("footer", { className: "statusbar" }, promptPane);
  for (const name of ["CAPS", "NUM", "SCRL"]) {
    indicators[name] = element("span", { className: "pane pane-key", dataset: { key: name } });
    statusBar.append(indicators[name]);
  }
  clockPane = element("span", { className: "pane pane-clock", id: "clock" });
  statusBar.append(clockPane);
  container.append(statusBar);
  setPrompt("");

  // The browser only tells the lock states with a key or mouse event; until then they stay blank.
  const lockStates = (e) => {
    if (typeof e.getModifierState !== "function") return;
    indicators.CAPS.textContent = e.getModifierState("CapsLock") ? "CAPS" : "";
    indicators.NUM.textContent = e.getModifierState("NumLock") ? "NUM" : "";
    indicators.SCRL.textContent = e.getModifierState("ScrollLock") ? "SCRL" : "";
  };
  document.addEventListener("keydown", lockStates, true);
  document.addEventListener("keyup", lockStates, true);
  document.addEventListener("pointerdown", lockStates, true);

  const tick = () => { clockPane.textContent = clockText(); };
  tick();
  // Aligned to the second, so the pane never lags the wall clock by most of one.
  setTimeout(() => { tick(); setInterval(tick, 1000); }, 1000 - (Date.now() % 1000));
}
