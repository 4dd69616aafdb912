// The four reports: each asks for its output file (and whether to keep to the
// Directories window's selection), the server writes it on its disk, and the
// text is shown in a viewer window with Download and Print. Long reports are
// put on screen a slice at a time, so the page stays responsive.
import * as api from "./api.js";
import { defineCommand } from "./commands.js";
import { propertySheet } from "./dialogs.js";
import { element } from "./dom.js";
import * as panels from "./panels.js";
import { directoriesSelection } from "./directories.js";

const kReports = {
  user: { command: "report-users", label: "&Users...", title: "User Report", file: "User Report.txt", limit: 128,
          check: "&Selected Domain Only", kinds: ["domain"] },
  file: { command: "report-files", label: "&Files...", title: "File Report", file: "File Report.txt", limit: 50,
          check: "&Selected Entry Only", kinds: ["domain", "user", "directory"], summaries: true },
  tree: { command: "report-tree", label: "&Directory Tree...", title: "Directory Tree Report", file: "Tree Report.txt",
          limit: 50, check: "&Selected Entry Only", kinds: ["domain", "group", "user", "directory"] },
  log: { command: "report-log", label: "&Log...", title: "Log Report", file: "Log Report.txt", limit: 0,
         check: "&Selected Entry Only", kinds: ["domain", "group", "user"] },
};
const kSlice = 400;  // lines put on screen per frame

async function runReport(kind) {
  const spec = kReports[kind];
  const selection = directoriesSelection();
  const usable = !!selection && spec.kinds.includes(selection.type);
  const fields = [{ name: "output", label: "Report &Output", type: "text", maxLength: spec.limit || undefined },
                  { name: "selected", label: spec.check, type: "checkbox", enabledWhen: () => usable }];
  if (spec.summaries) fields.push({ name: "summaries", label: "&Directory Summaries Only", type: "checkbox" });
  let text = null;
  let output = "";
  const values = await propertySheet({
    title: spec.title,
    pages: [{ title: "Report", fields }],
    values: { output: spec.file, selected: false, summaries: false },
    async onOk(v) {
      const query = new URLSearchParams({ output: v.output });
      if (v.selected && usable) { query.set("scope", selection.type); query.set("id", String(selection.id)); }
      if (v.summaries) query.set("summaries", "1");
      document.body.classList.add("busy");
      const r = await api.get(`/api/reports/${kind}?${query}`).finally(() => document.body.classList.remove("busy"));
      if (!r.ok) return true;
      text = typeof r.data === "string" ? r.data : "";
      output = v.output;
      return true;
    },
  });
  if (values && text !== null) showReport(spec.title, output, text);
}

function baseName(path) { return path.split("/").pop() || "report.txt"; }

function download(name, text) {
  const url = URL.createObjectURL(new Blob([text], { type: "text/plain;charset=utf-8" }));
  const a = element("a", { href: url, download: baseName(name) });
  document.body.append(a);
  a.click();
  a.remove();
  setTimeout(() => URL.revokeObjectURL(url), 1000);
}

function print(panel) {
  panel.element.classList.add("printing");
  document.body.classList.add("print-report");
  window.print();
  document.body.classList.remove("print-report");
  panel.element.classList.remove("printing");
}

function createViewer(panel, { title, output, text }) {
  panel.setTitle(`${title} - ${baseName(output)}`);
  const save = element("button", { type: "button", textContent: "Download" });
  save.addEventListener("click", () => download(output, text));
  const printButton = element("button", { type: "button", textContent: "Print" });
  printButton.addEventListener("click", () => print(panel));
  const bar = element("div", { className: "report-bar" }, save, printButton,
                      element("span", { className: "report-file", textContent: output }));
  const pre = element("pre", { className: "report-text", tabIndex: 0, "aria-label": title });
  panel.body.append(element("div", { className: "report-viewer" }, bar, pre));
  const lines = text.replace(/\r\n/g, "\n").split("\n");
  let at = 0;
  let frame = 0;
  const more = () => {
    const end = Math.min(lines.length, at + kSlice);
    pre.append(lines.slice(at, end).join("\n") + (end < lines.length ? "\n" : ""));
    at = end;
    if (at < lines.length) frame = requestAnimationFrame(more);
    else pre.dataset.complete = "true";
  };
  more();
  return { onClose: () => cancelAnimationFrame(frame) };
}

let serial = 0;
panels.registerKind("Report", {
  title: "Report",
  icon: "view-console",
  defaultRect: { x: 60, y: 30, w: 640, h: 440 },
  create: (panel, options) => createViewer(panel, options),
});

function showReport(title, output, text) {
  serial += 1;
  panels.openPanel("Report", `report-${serial}`, { title, output, text });
}

for (const [kind, spec] of Object.entries(kReports))
  defineCommand(spec.command, { label: spec.label, prompt: `Write the ${spec.title}`, run: () => runReport(kind) });
