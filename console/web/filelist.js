// The Directories window's file list: seven columns, header sorting, several
// selected at a time. Only the rows in view exist in the page, so a
// directory of tens of thousands of files opens as fast as a small one.
//
// Exports:
//   kFileColumns                [key, title, default width, sort key]
//   createFileList(container, handlers, widths) -> list
//     handlers: onOpen() (Enter, double click), onDelete(), onContextMenu(x, y),
//       onSelectionChanged(), onWidths(widths), onKey(event) -> true when taken
//   list: load(directoryId) (0 empties it), reload(), directory, items,
//     selectedIds(), selectAll(), sort, reverse, setSort(key), toggleReverse(),
//     widths, element
import * as api from "./api.js";
import { element } from "./dom.js";
import { nodeIcon } from "./tree.js";

export const kFileColumns = [
  ["name", "Name", 110, "name"], ["sizeText", "Size", 60, "size"], ["date", "Date", 100, "date"],
  ["flags", "Flags U/G/O", 50, null], ["group", "Group", 70, "group"], ["owner", "Owner", 70, "owner"],
  ["comment", "Comment", 200, "comment"],
];
const kRowHeight = 20;
const kSpare = 8;  // rows drawn beyond the visible ones, so scrolling shows no gaps

export function createFileList(container, handlers, widths) {
  const header = element("div", { className: "filelist-header", role: "row" });
  const rows = element("div", { className: "filelist-rows" });
  const spacer = element("div", { className: "filelist-spacer" }, rows);
  const viewport = element("div", { className: "filelist-viewport", tabIndex: 0, role: "grid", "aria-label": "Files",
                                    "aria-multiselectable": "true" }, spacer);
  const box = element("div", { className: "filelist" }, header, viewport);
  container.append(box);

  const list = {
    element: box, directory: 0, items: [], sort: "name", reverse: false,
    widths: kFileColumns.map((c, i) => widths?.[i] || c[2]),
  };
  const selected = new Set();
  let anchor = -1;
  let focusAt = -1;
  let drawn = "";

  const template = () => list.widths.map((w) => `${w}px`).join(" ");

  function drawHeader() {
    header.replaceChildren(...kFileColumns.map(([key, title, , sortKey], i) => {
      const cell = element("div", { className: "filelist-head", role: "columnheader", dataset: { column: key } });
      if (key === "sizeText") cell.classList.add("right");
      cell.append(element("span", { textContent: title }));
      if (sortKey && sortKey === list.sort) {
        cell.setAttribute("aria-sort", list.reverse ? "descending" : "ascending");
        cell.append(element("span", { className: "sort-mark", textContent: list.reverse ? "\u25bc" : "\u25b2" }));
      }
      if (sortKey) cell.addEventListener("click", (e) => { if (!e.target.classList.contains("col-grip")) list.setSort(sortKey, true); });
      const grip = element("span", { className: "col-grip" });
      grip.addEventListener("pointerdown", (e) => resizeColumn(e, i));
      cell.append(grip);
      return cell;
    }));
    header.style.gridTemplateColumns = template();
    rows.style.gridTemplateColumns = template();
    const total = list.widths.reduce((a, b) => a + b, 0);
    spacer.style.width = `${total}px`;
    header.style.width = `${total}px`;
  }

  function resizeColumn(e, i) {
    e.preventDefault();
    e.stopPropagation();
    const startX = e.clientX;
    const start = list.widths[i];
    const move = (m) => {
      list.widths[i] = Math.max(20, Math.round(start + m.clientX - startX));
      drawHeader();
      draw(true);
    };
    const up = () => {
      window.removeEventListener("pointermove", move);
      window.removeEventListener("pointerup", up);
      handlers.onWidths?.(list.widths);
    };
    window.addEventListener("pointermove", move);
    window.addEventListener("pointerup", up);
  }

  function rowElement(item, index) {
    const row = element("div", { className: "filelist-row", role: "row", "aria-rowindex": String(index + 1),
                                 "aria-selected": String(selected.has(item.id)) });
    if (index === focusAt) row.classList.add("focused");
    row.dataset.index = String(index);
    row.dataset.id = String(item.id);
    row.style.top = `${index * kRowHeight}px`;
    row.style.gridTemplateColumns = template();
    for (const [key] of kFileColumns) {
      const cell = element("div", { role: "gridcell", className: `cell-${key}` });
      if (key === "name") cell.append(nodeIcon("file"));
      cell.append(element("span", { textContent: String(item[key] ?? "") }));
      row.append(cell);
    }
    return row;
  }

  function draw(force = false) {
    const first = Math.max(0, Math.floor(viewport.scrollTop / kRowHeight) - kSpare);
    const count = Math.ceil(viewport.clientHeight / kRowHeight) + 2 * kSpare;
    const last = Math.min(list.items.length, first + count);
    const key = `${first}:${last}`;
    if (!force && key === drawn) return;
    drawn = key;
    const out = [];
    for (let i = first; i < last; i++) out.push(rowElement(list.items[i], i));
    rows.replaceChildren(...out);
  }

  function layout() {
    spacer.style.height = `${list.items.length * kRowHeight}px`;
    viewport.setAttribute("aria-rowcount", String(list.items.length));
    draw(true);
  }

  // Rows stay in place when only the selection changes, so a double click lands on one row.
  function markSelection() {
    for (const row of rows.children) {
      const index = Number(row.dataset.index);
      row.setAttribute("aria-selected", String(selected.has(list.items[index]?.id)));
      row.classList.toggle("focused", index === focusAt);
    }
  }
  const changed = () => { markSelection(); draw(); handlers.onSelectionChanged?.(); };

  function focusRow(index, { extend = false, toggle = false } = {}) {
    if (!list.items.length) return;
    index = Math.max(0, Math.min(list.items.length - 1, index));
    focusAt = index;
    const id = list.items[index].id;
    if (extend && anchor >= 0) {
      selected.clear();
      const [a, b] = anchor < index ? [anchor, index] : [index, anchor];
      for (let i = a; i <= b; i++) selected.add(list.items[i].id);
    } else if (toggle) {
      if (selected.has(id)) selected.delete(id); else selected.add(id);
      anchor = index;
    } else {
      selected.clear();
      selected.add(id);
      anchor = index;
    }
    const top = index * kRowHeight;
    if (top < viewport.scrollTop) viewport.scrollTop = top;
    else if (top + kRowHeight > viewport.scrollTop + viewport.clientHeight)
      viewport.scrollTop = top + kRowHeight - viewport.clientHeight;
    changed();
  }

  list.selectedIds = () => list.items.filter((x) => selected.has(x.id)).map((x) => x.id);
  list.selectAll = () => { for (const x of list.items) selected.add(x.id); changed(); };

  list.load = async (directoryId) => {
    list.directory = Number(directoryId) || 0;
    if (!list.directory) {
      list.items = [];
      selected.clear();
      anchor = focusAt = -1;
      layout();
      handlers.onSelectionChanged?.();
      return;
    }
    await list.reload();
  };

  list.reload = async () => {
    const wanted = list.directory;
    if (!wanted) return list.load(0);
    const r = await api.get(`/api/files?directory=${wanted}&sort=${list.sort}&reverse=${list.reverse ? 1 : 0}`);
    if (wanted !== list.directory) return;
    list.items = r.ok ? r.data.items || [] : [];
    const present = new Set(list.items.map((x) => x.id));
    for (const id of [...selected]) if (!present.has(id)) selected.delete(id);
    if (focusAt >= list.items.length) focusAt = list.items.length - 1;
    layout();
    handlers.onSelectionChanged?.();
  };

  list.setSort = (key, fromHeader = false) => {
    if (fromHeader && key === list.sort) list.reverse = !list.reverse;
    else if (fromHeader) { list.sort = key; list.reverse = false; } else list.sort = key;
    drawHeader();
    return list.reload();
  };
  list.toggleReverse = () => { list.reverse = !list.reverse; drawHeader(); return list.reload(); };

  viewport.addEventListener("scroll", () => { header.style.transform = `translateX(${-viewport.scrollLeft}px)`; draw(); });
  new ResizeObserver(() => draw()).observe(viewport);

  const indexOf = (e) => Number(e.target.closest(".filelist-row")?.dataset.index ?? -1);
  viewport.addEventListener("mousedown", (e) => {
    const i = indexOf(e);
    if (i < 0) return;
    if (e.button === 2 && selected.has(list.items[i].id)) return;
    focusRow(i, { extend: e.shiftKey, toggle: e.ctrlKey || e.metaKey });
  });
  viewport.addEventListener("dblclick", (e) => { if (indexOf(e) >= 0) handlers.onOpen?.(); });
  viewport.addEventListener("contextmenu", (e) => { e.preventDefault(); handlers.onContextMenu?.(e.clientX, e.clientY); });
  viewport.addEventListener("keydown", (e) => {
    if (handlers.onKey?.(e)) return;
    const page = Math.max(1, Math.floor(viewport.clientHeight / kRowHeight) - 1);
    const moves = { ArrowDown: 1, ArrowUp: -1, PageDown: page, PageUp: -page };
    if (e.key in moves) {
      e.preventDefault();
      focusRow(focusAt < 0 ? 0 : focusAt + moves[e.key], { extend: e.shiftKey });
    } else if (e.key === "Home" || e.key === "End") {
      e.preventDefault();
      focusRow(e.key === "Home" ? 0 : list.items.length - 1, { extend: e.shiftKey });
    } else if (e.key === " " && focusAt >= 0) {
      e.preventDefault();
      focusRow(focusAt, { toggle: true });
    } else if (e.key === "a" && e.ctrlKey) {
      e.preventDefault();
      list.selectAll();
    } else if (e.key === "Enter") {
      e.preventDefault();
      if (selected.size) handlers.onOpen?.();
    } else if (e.key === "Delete") {
      e.preventDefault();
      if (selected.size) handlers.onDelete?.();
    } else if (e.key === "ContextMenu" || (e.key === "F10" && e.shiftKey)) {
      e.preventDefault();
      const box = viewport.getBoundingClientRect();
      handlers.onContextMenu?.(box.left + 5, box.top + 5);
    }
  });

  drawHeader();
  layout();
  return list;
}
