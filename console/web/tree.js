// The Directories window's tree: domains, groups, users, directories and
// links, each read from the server the first time its node is expanded.
//
// Exports:
//   createTree(container, handlers) -> tree
//     handlers: onSelect(item), onActivate(item) (Enter, double click),
//       onContextMenu(item | null, x, y), onKey(event, item) -> true when
//       taken, canDrop(source, target), onDrop(source, target)
//   nodeIcon(name) -> <svg> of directories.svg#node-<name>
//   A tree item: {node: "directory:5", kind (0..4), type, id, label, target,
//     rootDirectory, loaded, childCount, parent (item | null)}
//   tree: load(), selected(), select(item), expand(item), collapse(item,
//     {discard}), insert(parent, node) -> item | null, remove(item),
//     relabel(item, text), all(), domainOf(item), element
import { get } from "./api.js";
import { element } from "./dom.js";
import { icon } from "./icons.js";

const kImages = ["domain", "group", "user", "directory", "link"];

export function nodeIcon(name) {
  return icon(`node-${name}`, "icon node-icon", "directories.svg");
}

async function children(node) {
  const r = await get(node ? `/api/tree/children?node=${encodeURIComponent(node)}` : "/api/tree/children");
  return r.ok ? r.data.nodes : null;
}

export function createTree(container, handlers) {
  const root = element("ul", { className: "tree", role: "tree", "aria-label": "Directory tree", tabIndex: 0 });
  container.append(root);
  const byLi = new WeakMap();
  let current = null;
  let dragged = null;

  const itemOf = (el) => byLi.get(el?.closest?.("li[role='treeitem']"));
  const visibleItems = () => [...root.querySelectorAll("li[role='treeitem']")]
    .filter((li) => !li.parentElement.closest("li[aria-expanded='false']")).map((li) => byLi.get(li));

  function refreshTwisty(item) {
    const open = item.li.getAttribute("aria-expanded") === "true";
    const expandable = !item.loaded || item.childCount > 0;
    item.twisty.textContent = expandable ? (open ? "\u2212" : "+") : "";
    item.twisty.classList.toggle("empty", !expandable);
    if (!expandable) item.li.removeAttribute("aria-expanded");
    else item.li.setAttribute("aria-expanded", String(open));
  }

  function make(node, parent) {
    const twisty = element("span", { className: "twisty", "aria-hidden": "true" });
    const label = element("span", { className: "tree-label", textContent: node.label });
    const row = element("div", { className: "tree-row", draggable: node.kind === 2 || node.kind === 3 },
                        twisty, nodeIcon(kImages[node.kind]), label);
    const ul = element("ul", { role: "group" });
    const li = element("li", { role: "treeitem", dataset: { node: node.node }, "aria-expanded": "false",
                               "aria-selected": "false" }, row, ul);
    const item = { ...node, loaded: false, childCount: 0, parent, li, ul, row, twisty, labelEl: label };
    byLi.set(li, item);
    refreshTwisty(item);
    return item;
  }

  function append(parentItem, node) {
    const item = make(node, parentItem);
    (parentItem ? parentItem.ul : root).append(item.li);
    if (parentItem) { parentItem.childCount += 1; refreshTwisty(parentItem); }
    return item;
  }

  const tree = {
    element: root,
    async load() {
      const nodes = await children(null);
      root.replaceChildren();
      current = null;
      for (const n of nodes || []) append(null, n);
    },
    selected: () => (current && current.li.isConnected ? current : null),
    select(item, { focus = true } = {}) {
      if (current?.li) current.li.setAttribute("aria-selected", "false");
      current = item;
      if (item) {
        item.li.setAttribute("aria-selected", "true");
        item.row.scrollIntoView({ block: "nearest" });
        if (focus) root.focus({ preventScroll: true });
      }
      handlers.onSelect?.(item);
    },
    async expand(item) {
      if (!item.loaded) {
        const nodes = await children(item.node);
        if (!nodes) return;
        item.ul.replaceChildren();
        item.childCount = 0;
        item.loaded = true;
        for (const n of nodes) append(item, n);
      }
      item.li.setAttribute("aria-expanded", "true");
      refreshTwisty(item);
    },
    collapse(item, { discard = false } = {}) {
      item.li.setAttribute("aria-expanded", "false");
      if (discard) {
        item.ul.replaceChildren();
        item.loaded = false;
        item.childCount = 0;
        if (current && !current.li.isConnected) tree.select(item);
      }
      refreshTwisty(item);
    },
    insert(parentItem, node) {
      if (parentItem && !parentItem.loaded) return null;
      // An expansion that read the children meanwhile may have brought it already.
      const siblings = parentItem ? parentItem.ul : root;
      const present = [...siblings.children].find((li) => li.dataset.node === node.node);
      if (present) return byLi.get(present);
      return append(parentItem, node);
    },
    remove(item) {
      const parent = item.parent;
      const wasCurrent = current && (current === item || item.li.contains(current.li));
      item.li.remove();
      if (parent) { parent.childCount = Math.max(0, parent.childCount - 1); refreshTwisty(parent); }
      if (wasCurrent) tree.select(parent, { focus: false });
    },
    relabel(item, text) {
      item.label = text;
      item.labelEl.textContent = text;
    },
    all: () => [...root.querySelectorAll("li[role='treeitem']")].map((li) => byLi.get(li)),
    domainOf(item) {
      let at = item;
      while (at && at.kind !== 0) at = at.parent;
      return at;
    },
  };

  root.addEventListener("click", (e) => {
    const item = itemOf(e.target);
    if (!item) return;
    if (e.target === item.twisty) {
      if (item.li.getAttribute("aria-expanded") === "true") tree.collapse(item);
      else tree.expand(item);
    }
    if (current !== item) tree.select(item);
  });
  root.addEventListener("dblclick", (e) => {
    const item = itemOf(e.target);
    if (item && e.target !== item.twisty) handlers.onActivate?.(item);
  });
  root.addEventListener("contextmenu", (e) => {
    e.preventDefault();
    const item = itemOf(e.target);
    if (item && item !== current) tree.select(item);
    handlers.onContextMenu?.(item || null, e.clientX, e.clientY);
  });
  root.addEventListener("keydown", async (e) => {
    if (handlers.onKey?.(e, tree.selected())) return;
    const list = visibleItems();
    const at = list.indexOf(tree.selected());
    const item = tree.selected();
    switch (e.key) {
      case "ArrowDown":
      case "ArrowUp": {
        e.preventDefault();
        if (!list.length) return;
        const next = at < 0 ? 0 : Math.max(0, Math.min(list.length - 1, at + (e.key === "ArrowDown" ? 1 : -1)));
        tree.select(list[next]);
        break;
      }
      case "Home": case "End":
        e.preventDefault();
        if (list.length) tree.select(e.key === "Home" ? list[0] : list.at(-1));
        break;
      case "ArrowRight":
        e.preventDefault();
        if (!item) return;
        if (item.li.getAttribute("aria-expanded") === "false") await tree.expand(item);
        else if (item.childCount) tree.select(byLi.get(item.ul.firstElementChild));
        break;
      case "ArrowLeft":
        e.preventDefault();
        if (!item) return;
        if (item.li.getAttribute("aria-expanded") === "true") tree.collapse(item);
        else if (item.parent) tree.select(item.parent);
        break;
      case "Enter":
        e.preventDefault();
        if (item) handlers.onActivate?.(item);
        break;
      case "ContextMenu":
      case "F10":
        if (e.key === "F10" && !e.shiftKey) return;
        e.preventDefault();
        {
          const box = (item?.row || root).getBoundingClientRect();
          handlers.onContextMenu?.(item, box.left + 5, box.bottom);
        }
        break;
      default:
    }
  });

  // Drag and drop inside the tree; the page keeps what is being dragged.
  root.addEventListener("dragstart", (e) => {
    const item = itemOf(e.target);
    if (!item || (item.kind !== 2 && item.kind !== 3)) { e.preventDefault(); return; }
    dragged = item;
    e.dataTransfer.effectAllowed = "copyMove";
    e.dataTransfer.setData("application/x-kestrel-node", item.node);
  });
  const target = (e) => {
    const item = itemOf(e.target);
    return item && dragged && handlers.canDrop?.(dragged, item) ? item : null;
  };
  let highlighted = null;
  const highlight = (item) => {
    if (highlighted === item) return;
    highlighted?.row.classList.remove("drop-target");
    highlighted = item;
    item?.row.classList.add("drop-target");
  };
  root.addEventListener("dragover", (e) => {
    const item = target(e);
    highlight(item);
    if (!item) return;
    e.preventDefault();
    e.dataTransfer.dropEffect = "move";
  });
  root.addEventListener("dragleave", (e) => { if (!root.contains(e.relatedTarget)) highlight(null); });
  root.addEventListener("drop", (e) => {
    const item = target(e);
    highlight(null);
    if (!item) return;
    e.preventDefault();
    const source = dragged;
    dragged = null;
    // The drop has finished before any question is asked.
    setTimeout(() => handlers.onDrop?.(source, item), 0);
  });
  root.addEventListener("dragend", () => { dragged = null; highlight(null); });
  return tree;
}
