// The console's commands, shared by menus, toolbars, shortcuts and context menus.
//
// Exports:
//   defineCommand(id, {label, prompt, run, enabled, checked, shortcut, icon})
//       label with "&" before the mnemonic; prompt is the status-bar text;
//       enabled() and checked() are asked each time a menu or toolbar is drawn;
//       shortcut like "Ctrl+U" is shown in menus and bound by bindShortcuts.
//   command(id), runCommand(id), commandsChanged(), onCommandsChanged(fn)
//   bindShortcuts(isBlocked)   one keydown listener for every shortcut
//
// To add a command: defineCommand it, then name its id in a menu (menus.js
// data in main.js) or a toolbar (frame.js data).
const commands = new Map();
const listeners = new Set();

export function defineCommand(id, spec) {
  commands.set(id, { id, enabled: () => true, checked: null, prompt: "", ...spec });
}

export const command = (id) => commands.get(id);

export function runCommand(id) {
  const c = commands.get(id);
  if (!c || !c.enabled()) return;
  Promise.resolve(c.run()).finally(commandsChanged);
}

export function onCommandsChanged(fn) { listeners.add(fn); }
export function commandsChanged() { for (const fn of listeners) fn(); }

function shortcutOf(e) {
  const parts = [];
  if (e.ctrlKey) parts.push("Ctrl");
  if (e.altKey) parts.push("Alt");
  if (e.shiftKey) parts.push("Shift");
  parts.push(e.key.length === 1 ? e.key.toUpperCase() : e.key);
  return parts.join("+");
}

export function bindShortcuts(isBlocked) {
  document.addEventListener("keydown", (e) => {
    if (isBlocked()) return;
    const key = shortcutOf(e);
    for (const c of commands.values()) {
      if (c.shortcut !== key) continue;
      e.preventDefault();
      runCommand(c.id);
      return;
    }
  });
}
