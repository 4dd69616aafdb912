// "Select a directory": the server-side directory picker that stands in for
// the folder browser. Walks the server's directories; OK takes the one shown.
//
// Exports: chooseDirectory(startPath) -> {path, name} | null
import * as api from "../api.js";
import { openModal } from "../dialogs.js";
import { element } from "../dom.js";

export async function chooseDirectory(startPath) {
  let current = null;
  const where = element("input", { type: "text", className: "folder-path", "aria-label": "Directory" });
  const list = element("ul", { className: "folder-list", tabIndex: 0, role: "listbox" });
  const error = element("p", { className: "field-error" });
  const content = element("div", { className: "folder-picker" },
                          element("p", { textContent: "Select a directory" }), where, list, error);

  const show = async (path) => {
    const result = await api.get(`/api/picker/directories?path=${encodeURIComponent(path || "/")}`, { quiet: true });
    if (!result.ok) {
      error.textContent = result.data?.message?.text || result.data?.error || "The path does not refer to a directory.";
      return;
    }
    current = result.data;
    error.textContent = current.error || "";
    where.value = current.path;
    const items = [];
    if (current.parent) items.push({ name: "..", path: current.parent });
    for (const d of current.directories) items.push(d);
    list.replaceChildren(...items.map((d) => {
      const li = element("li", { role: "option", textContent: d.name, dataset: { path: d.path } });
      li.addEventListener("dblclick", () => show(d.path));
      li.addEventListener("click", () => {
        list.querySelectorAll("li").forEach((x) => x.setAttribute("aria-selected", String(x === li)));
      });
      return li;
    }));
  };
  list.addEventListener("keydown", (e) => {
    const items = [...list.querySelectorAll("li")];
    const at = items.findIndex((x) => x.getAttribute("aria-selected") === "true");
    if (e.key === "ArrowDown" || e.key === "ArrowUp") {
      e.preventDefault();
      const next = Math.max(0, Math.min(items.length - 1, at + (e.key === "ArrowDown" ? 1 : -1)));
      items.forEach((x, i) => x.setAttribute("aria-selected", String(i === next)));
      items[next]?.scrollIntoView({ block: "nearest" });
    } else if (e.key === "Enter" && at >= 0) {
      e.preventDefault();
      e.stopPropagation();
      show(items[at].dataset.path);
    }
  });
  where.addEventListener("keydown", (e) => {
    if (e.key !== "Enter") return;
    e.preventDefault();
    e.stopPropagation();
    show(where.value);
  });
  await show(startPath || "/");
  const answer = await openModal({
    title: "Browse for Folder", content, className: "folder-dialog",
    buttons: [{ label: "OK", value: "OK", isDefault: true }, { label: "Cancel", value: "Cancel", isCancel: true }],
    initialFocus: () => list,
  });
  if (answer !== "OK" || !current) return null;
  return { path: current.path, name: current.name };
}
