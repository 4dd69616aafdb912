// Requests for the tree, accounts and sheets, whose questions need more than
// the frame's plain message box: a title ("Deleting"), a note under the text,
// a check box whose value travels with the answer ("Delete physical files"),
// a default button other than the first, or a table of rows.
//
// Exports:
//   ask(method, path, body?, {fieldErrors}) -> Result as api.request gives it
//       Every 409 question is put to the operator and the request sent again
//       with the answers so far; Cancel on a box that has no Cancel answer is
//       the box's cancel button. Refusals are shown; a 200 answer that carries
//       "messages" (refusals of some rows, the others done) shows each.
//   questionBox(question) -> Promise<{answer, check}>
//   showMessages(list)    one box per {text, icon, buttons}
import * as api from "./api.js";
import { openModal, messageBox, mnemonicLabel } from "./dialogs.js";
import { element } from "./dom.js";
import { icon } from "./icons.js";

const kIcons = { stop: "mb-stop", exclamation: "mb-warning", warning: "mb-warning", question: "mb-question",
                 information: "mb-information" };

function table(columns, rows) {
  const head = element("tr", {}, ...columns.map((c) => element("th", { textContent: c })));
  const tbody = element("tbody", {}, ...rows.map((r) => element("tr", {}, ...columns.map((c) =>
    element("td", { textContent: String(r[c.toLowerCase()] ?? "") })))));
  return element("table", { className: "list question-rows" }, element("thead", {}, head), tbody);
}

export async function questionBox(q) {
  const content = element("div", { className: "message-box question-box" });
  if (kIcons[q.icon]) content.append(icon(kIcons[q.icon], `message-icon icon-${q.icon}`));
  const text = element("div", {}, element("p", { className: "message-text", textContent: q.text }));
  if (q.note) text.append(element("p", { className: "message-text", textContent: q.note }));
  if (q.columns && q.rows) text.append(table(q.columns, q.rows));
  let box = null;
  if (q.check) {
    box = element("input", { type: "checkbox", name: q.check.name });
    text.append(element("label", { className: "question-check" }, box, element("span", {}, mnemonicLabel(q.check.label))));
  }
  content.append(text);
  const buttons = q.buttons || ["OK"];
  const preferred = q.default && buttons.includes(q.default) ? q.default : buttons[0];
  const list = buttons.map((label) => ({
    label, value: label, isDefault: label === preferred,
    isCancel: label === "Cancel" || (label === "No" && !buttons.includes("Cancel")),
  }));
  const answer = await openModal({ title: q.title || "Kestrel", content, buttons: list, className: "message-dialog",
                                   initialFocus: () => content.closest(".dialog")?.querySelector("button.default") });
  return { answer, check: box ? box.checked : undefined, checkName: q.check?.name };
}

export async function showMessages(list) {
  for (const m of list || []) await messageBox(m.text, { icon: m.icon || "stop", buttons: m.buttons || ["OK"] });
}

export async function ask(method, path, body, options = {}) {
  const answers = [];
  const payload = method === "GET" ? undefined : { ...(body || {}) };
  for (;;) {
    const sent = answers.length ? { ...(payload || {}), answers } : payload;
    const result = await api.request(method, path, sent, { quiet: true, fieldErrors: options.fieldErrors });
    const data = result.data && typeof result.data === "object" ? result.data : {};
    if (result.status === 409 && data.question) {
      const { answer, check, checkName } = await questionBox(data.question);
      if (answer === undefined) return { ok: false, status: 0, data: {}, cancelled: true };
      answers.push(answer);
      if (checkName) if (payload) payload[checkName] = check;
      continue;
    }
    if (result.fieldError) {
      await messageBox(result.fieldError.text, { icon: "exclamation" });
      return result;
    }
    if (!result.ok) {
      if (Array.isArray(data.messages) && data.messages.length) await showMessages(data.messages);
      else if (data.message) await messageBox(data.message.text, { icon: data.message.icon, buttons: data.message.buttons });
      else if (data.error) await messageBox(data.error, { icon: "stop" });
      else if (result.status === 0) await messageBox("The server cannot be reached.", { icon: "stop" });
    } else if (Array.isArray(data.messages) && data.messages.length) {
      await showMessages(data.messages);
    }
    return result;
  }
}
