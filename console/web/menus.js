// The menu bar and context menus, by mouse and by keyboard.
//
// Exports:
//   createMenuBar(container, menus, {onPrompt})
//       menus: [{title: "&System", items: [Item | "-"]}]
//       Item: {command: id} (label, prompt, state from commands.js) or
//             {label, run, enabled(), checked(), prompt}.
//       menus may also be a function returning that list, asked each time a
//       menu opens (for a Window menu that lists the open windows).
//       Returns {element, render()}: render() redraws the titles, e.g. when
//       the active window brings a menu of its own.
//       F10 or Alt+letter opens the bar; arrows move, Enter runs, Escape leaves.
//   showContextMenu(items, x, y, {onPrompt}) -> closes by itself
//   closeMenus()
//
// To add a menu item: add {command: "id"} to the menu's list where the
// menu bar is built (main.js), after defineCommand("id", ...).
import { command, runCommand } from "./commands.js";
import { mnemonicLabel } from "./dialogs.js";
import { element } from "./dom.js";

let openMenu = null;  // {element, close()}

export function closeMenus() {
  openMenu?.close();
  openMenu = null;
}

function resolve(item) {
  if (item === "-") return item;
  if (item.command) {
    const c = command(item.command);
    return { label: c.label, prompt: c.prompt, shortcut: c.shortcut, enabled: c.enabled, checked: c.checked,
             run: () => runCommand(item.command), id: item.command };
  }
  return { enabled: () => true, checked: null, ...item };
}

// A drop-down list of items; run() closes every menu first.
function buildMenu(items, onPrompt, onLeave) {
  const menu = element("div", { className: "menu", role: "menu" });
  const entries = [];
  for (const raw of items) {
    const item = resolve(raw);
    if (item === "-") {
      menu.append(element("div", { className: "menu-separator", role: "separator" }));
      continue;
    }
    const checked = item.checked ? item.checked() : null;
    const el = element("div", { className: "menu-item", tabIndex: -1,
                                role: checked === null ? "menuitem" : "menuitemcheckbox" });
    if (checked !== null) el.setAttribute("aria-checked", String(checked));
    const enabled = item.enabled();
    if (!enabled) el.setAttribute("aria-disabled", "true");
    if (item.id) el.dataset.command = item.id;
    el.append(element("span", { className: "menu-check", textContent: checked ? "\u2713" : "" }),
              element("span", { className: "menu-label" }, mnemonicLabel(item.label)),
              element("span", { className: "menu-shortcut", textContent: item.shortcut || "" }));
    const activate = () => {
      if (!enabled) return;
      closeMenus();
      item.run();
    };
    el.addEventListener("click", activate);
    el.addEventListener("pointerenter", () => { el.focus(); onPrompt?.(item.prompt || ""); });
    el.addEventListener("focus", () => onPrompt?.(item.prompt || ""));
    entries.push({ el, item, activate, mnemonic: (item.label.match(/&([^&])/) || [])[1]?.toLowerCase() });
    menu.append(el);
  }
  menu.addEventListener("pointerleave", () => onLeave?.());
  menu.addEventListener("keydown", (e) => {
    const i = entries.findIndex((x) => x.el === document.activeElement);
    if (e.key === "ArrowDown" || e.key === "ArrowUp") {
      e.preventDefault();
      const step = e.key === "ArrowDown" ? 1 : entries.length - 1;
      entries[(i + step + (i < 0 && step > 1 ? 1 : 0)) % entries.length]?.el.focus();
    } else if (e.key === "Home" || e.key === "End") {
      e.preventDefault();
      (e.key === "Home" ? entries[0] : entries.at(-1))?.el.focus();
    } else if (e.key === "Enter" || e.key === " ") {
      e.preventDefault();
      entries[i]?.activate();
    } else if (e.key === "Escape") {
      e.preventDefault();
      e.stopPropagation();
      menu.dispatchEvent(new CustomEvent("menu-escape", { bubbles: true }));
    } else if (e.key.length === 1 && !e.ctrlKey) {
      const hit = entries.find((x) => x.mnemonic === e.key.toLowerCase());
      if (hit) { e.preventDefault(); hit.activate(); }
    }
  });
  return { menu, entries };
}

function placeWithin(menu, x, y) {
  menu.style.left = `${x}px`;
  menu.style.top = `${y}px`;
  const r = menu.getBoundingClientRect();
  if (r.right > window.innerWidth) menu.style.left = `${Math.max(0, window.innerWidth - r.width - 2)}px`;
  if (r.bottom > window.innerHeight) menu.style.top = `${Math.max(0, window.innerHeight - r.height - 2)}px`;
}

export function showContextMenu(items, x, y, { onPrompt, onClose } = {}) {
  closeMenus();
  const previous = document.activeElement;
  const { menu, entries } = buildMenu(items, onPrompt);
  menu.classList.add("context-menu");
  document.body.append(menu);
  placeWithin(menu, x, y);
  const away = (e) => { if (!menu.contains(e.target)) closeMenus(); };
  const close = () => {
    menu.remove();
    document.removeEventListener("pointerdown", away, true);
    onPrompt?.("");
    onClose?.();
    if (previous?.isConnected && !document.querySelector(".modal-backdrop")) previous.focus();
  };
  menu.addEventListener("menu-escape", closeMenus);
  document.addEventListener("pointerdown", away, true);
  openMenu = { element: menu, close };
  entries[0]?.el.focus();
}

export function createMenuBar(container, menus, { onPrompt } = {}) {
  const bar = element("nav", { className: "menubar", role: "menubar" });
  const list = () => (typeof menus === "function" ? menus() : menus);
  const titles = [];
  let returnFocus = null;

  const openAt = (index, focusFirst) => {
    closeMenus();
    const spec = list()[index];
    const title = titles[index];
    const { menu, entries } = buildMenu(spec.items, onPrompt);
    menu.classList.add("dropdown");
    document.body.append(menu);
    const r = title.getBoundingClientRect();
    placeWithin(menu, r.left, r.bottom);
    title.setAttribute("aria-expanded", "true");
    title.classList.add("open");
    const away = (e) => { if (!menu.contains(e.target) && !bar.contains(e.target)) closeMenus(); };
    document.addEventListener("pointerdown", away, true);
    menu.addEventListener("menu-escape", () => { closeMenus(); title.focus(); });
    menu.addEventListener("keydown", (e) => {
      if (e.key === "ArrowRight" || e.key === "ArrowLeft") {
        e.preventDefault();
        const next = (index + (e.key === "ArrowRight" ? 1 : titles.length - 1)) % titles.length;
        openAt(next, true);
        titles[next].setAttribute("tabindex", "0");
      } else if (e.key === "Tab") {
        e.preventDefault();
        closeMenus();
      }
    });
    openMenu = {
      element: menu,
      index,
      close() {
        menu.remove();
        title.setAttribute("aria-expanded", "false");
        title.classList.remove("open");
        document.removeEventListener("pointerdown", away, true);
        onPrompt?.("");
      },
    };
    if (focusFirst) entries[0]?.el.focus();
  };

  const render = () => {
    closeMenus();
    titles.length = 0;
    bar.replaceChildren();
    list().forEach((spec, index) => {
      const title = element("button", { type: "button", className: "menu-title", role: "menuitem", "aria-haspopup": "true",
                                        "aria-expanded": "false", tabIndex: -1,
                                        dataset: { menu: spec.title.replace("&", "") } }, mnemonicLabel(spec.title));
      title.addEventListener("click", () => {
        if (openMenu?.index === index) closeMenus();
        else openAt(index, false);
      });
      title.addEventListener("pointerenter", () => { if (openMenu && openMenu.index !== undefined && openMenu.index !== index) openAt(index, false); });
      title.addEventListener("keydown", (e) => {
        if (e.key === "ArrowDown" || e.key === "Enter" || e.key === " ") {
          e.preventDefault();
          openAt(index, true);
        } else if (e.key === "ArrowRight" || e.key === "ArrowLeft") {
          e.preventDefault();
          titles[(index + (e.key === "ArrowRight" ? 1 : titles.length - 1)) % titles.length].focus();
        } else if (e.key === "Escape") {
          e.preventDefault();
          title.blur();
          if (returnFocus?.isConnected) returnFocus.focus();
        }
      });
      titles.push(title);
      bar.append(title);
    });
    mnemonics = list().map((m) => (m.title.match(/&([^&])/) || [])[1]?.toLowerCase());
  };
  let mnemonics = [];
  render();
  container.append(bar);
  document.addEventListener("keydown", (e) => {
    if (document.querySelector(".modal-backdrop")) return;
    if (e.key === "F10" && !e.shiftKey && !e.ctrlKey) {
      e.preventDefault();
      closeMenus();
      returnFocus = document.activeElement;
      titles[0].focus();
    } else if (e.altKey && !e.ctrlKey && e.key.length === 1) {
      const index = mnemonics.indexOf(e.key.toLowerCase());
      if (index < 0) return;
      e.preventDefault();
      returnFocus = document.activeElement;
      openAt(index, true);
    }
  });
  return { element: bar, render };
}
