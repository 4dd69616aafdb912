// Synchronisation with the disk: the Refresh Directory dialog, the Auto
// Refresh dialog, and the "Refresh Status" progress dialog that follows the
// server's refresh event stream, for manual and automatic runs alike.
//
// Exports:
//   refreshDirectory(id) -> the run's result {directoriesAdded, cancelled, ...}
//       | null when the dialog was cancelled or the run could not start
import * as api from "./api.js";
import { defineCommand } from "./commands.js";
import { openModal, messageBox, propertySheet } from "./dialogs.js";
import { element } from "./dom.js";
import { on } from "./events.js";

const kSecurity = [["user", "User"], ["group", "Group"], ["other", "Other"]];
const kBits = [["Read", "Read"], ["Write", "Write"], ["Execute", "Execute"]];
const kOwnership = [{ value: "System", label: "System" }, { value: "Directory Owner", label: "Directory Owner" }];

let stream = null;
let progress = null;    // {backdrop, first, second} while the dialog is on screen
let waiting = null;     // resolve() of the manual run that waits for its end
const answered = new Set();

// --- the progress dialog ---------------------------------------------------------

function showProgress(first = "", second = "") {
  if (progress) { setLines(first, second); return; }
  const a = element("p", { className: "refresh-line first" });
  const b = element("p", { className: "refresh-line second" });
  const content = element("div", { className: "refresh-status" }, a, b);
  const state = { first: a, second: b, backdrop: null };
  progress = state;
  setLines(first, second);
  openModal({ title: "Refresh Status", content, className: "refresh-dialog",
              buttons: [{ label: "Cancel", value: "Cancel", isCancel: true, isDefault: true }] })
    .then((value) => {
      if (progress === state) progress = null;
      // The operator's Cancel; a close from the stream comes without a value.
      if (value === "Cancel") api.post("/api/refresh/cancel", {}, { quiet: true }).then((r) => finish(r.data));
    });
  state.backdrop = content.closest(".modal-backdrop");
}

function setLines(first, second) {
  if (!progress) return;
  progress.first.textContent = first;
  progress.second.textContent = second;
}

function closeProgress() {
  const p = progress;
  progress = null;
  p?.backdrop?.dispatchEvent(new CustomEvent("dismiss"));
}

function finish(result) {
  closeProgress();
  const resolve = waiting;
  waiting = null;
  resolve?.(result || {});
}

async function askQuestion(q) {
  if (answered.has(q.id)) return;
  answered.add(q.id);
  const answer = await messageBox(q.text, { icon: q.icon || "stop", buttons: q.buttons || ["OK", "Cancel"] });
  await api.post("/api/refresh/answer", { id: q.id, answer: answer === "OK" ? "OK" : "Cancel" }, { quiet: true });
}

// After a reconnect the server's state is what counts; the first state only
// shows a run that was already going when the page opened.
async function syncState(first) {
  const r = await api.get("/api/refresh", { quiet: true });
  if (!r.ok) return;
  const w = r.data.window;
  if (w.open) {
    showProgress(w.first, w.second);
    if (w.question) askQuestion(w.question);
  } else if (!first && (progress || waiting)) {
    finish(r.data.last);
  }
}

function ensureStream() {
  if (stream) return Promise.resolve();
  let first = true;
  return new Promise((resolve) => {
    stream = api.openStream("/api/refresh/events", {
      state: () => { syncState(first); first = false; resolve(); },
      opened: () => showProgress(),
      progress: (p) => showProgress(p.first, p.second),
      question: (q) => askQuestion(q),
      closed: (result) => finish(result),
    });
  });
}

// The frame's stream is up only after the login: follow refreshes from then on.
on("state", () => { ensureStream(); });

// --- Refresh Directory ----------------------------------------------------------------

function securityFields() {
  const fields = [];
  for (const [cls, title] of kSecurity)
    for (const [bit, label] of kBits)
      fields.push({ name: `${cls}${bit}`, label: `${title} ${label}`, type: "checkbox", group: "New File Security" });
  return fields;
}

export async function refreshDirectory(id) {
  const options = await api.get("/api/refresh/options");
  if (!options.ok) return null;
  const values = await propertySheet({
    title: options.data.title,
    pages: [{ title: "Options", fields: [
      { name: "subdirectories", label: "Include &Subdirectories", type: "checkbox" },
      { name: "purge", label: "&Purge Missing Files", type: "checkbox" },
      { name: "addNew", label: "Add &New Files", type: "checkbox" },
      { name: "system", label: "S&ystem Files", type: "checkbox" },
      { name: "hidden", label: "&Hidden Files", type: "checkbox" },
      { name: "ownership", label: "New File &Ownership", type: "radio", options: kOwnership },
      ...securityFields(),
    ] }],
    values: options.data,
    onOk: () => true,
  });
  if (!values) return null;
  await ensureStream();
  const done = new Promise((resolve) => { waiting = resolve; });
  const body = { directory: id };
  for (const k of ["subdirectories", "purge", "addNew", "system", "hidden", "ownership"]) body[k] = values[k];
  for (const [cls] of kSecurity) for (const [bit] of kBits) body[`${cls}${bit}`] = !!values[`${cls}${bit}`];
  const started = await api.post("/api/refresh", body);
  if (!started.ok) { waiting = null; return null; }
  // A short run may have ended (its "closed" event came) before the answer did.
  if (waiting) showProgress();
  return done;
}

// --- Auto Refresh ------------------------------------------------------------------------

async function autoRefreshDialog() {
  const r = await api.get("/api/refresh/auto");
  if (!r.ok) return;
  const v = r.data;
  const values = { RefRate: v.RefRate, RefPurge: !!v.RefPurge, RefAddNew: !!v.RefAddNew, RefSystem: !!v.RefSystem,
                   RefHidden: !!v.RefHidden, RefNewOwner: v.RefNewOwner ? "1" : "0" };
  const security = [];
  for (const [cls, title] of kSecurity)
    for (const [bit, label] of kBits) {
      const key = `Ref${title}${bit}`;
      values[key] = !!v[key];
      security.push({ name: key, label: `${title} ${label}`, type: "checkbox", group: "New File Security" });
    }
  await propertySheet({
    title: v.title,
    pages: [{ title: "Auto-Refresh", fields: [
      { name: "RefRate", label: "How often:", type: "integer", min: 0, max: 1440 },
      { name: "RefPurge", label: "&Purge Missing Files", type: "checkbox" },
      { name: "RefAddNew", label: "Add &New Files", type: "checkbox" },
      { name: "RefSystem", label: "S&ystem Files", type: "checkbox" },
      { name: "RefHidden", label: "&Hidden Files", type: "checkbox" },
      { name: "RefNewOwner", label: "New File &Ownership", type: "radio",
        options: [{ value: "0", label: "System" }, { value: "1", label: "Directory Owner" }] },
      ...security,
    ] }],
    values,
    async onOk(x) {
      const body = {};
      for (const [k, val] of Object.entries(x)) body[k] = k === "RefRate" ? Number(val) : Number(val === true || val === "1");
      const saved = await api.put("/api/refresh/auto", body, { fieldErrors: true });
      if (saved.fieldError) return { page: "Auto-Refresh", field: "RefRate", text: saved.fieldError.text };
      return saved.ok ? true : { page: "Auto-Refresh", field: "RefRate", text: saved.data?.message?.text || "" };
    },
  });
}

defineCommand("auto-refresh", { label: "&Auto Refresh...", prompt: "Set up the automatic synchronisation with the disk",
                                run: autoRefreshDialog });

