// The user property sheet (Connection, File Limits, Accounting, Login
// Message, Notes) for an existing user or a new one.
//
// Exports:
//   editUser(id, view) -> the answer's data when the row changed, else null
//       view: "domains" from the Directories window, "list" from Users
//   addUser(domainId?, groupId?) -> {id, ...} | null   picks what is missing
import * as api from "../api.js";
import { propertySheet } from "../dialogs.js";
import { ask } from "../ask.js";
import { element } from "../dom.js";
import { textArea, staticText } from "./fields.js";
import { pickDomain, pickGroup } from "./pickers.js";

const kMaxCounter = 2147483647;

function groupField(groups) {
  return {
    name: "group",
    type: "custom",
    build(values, changed) {
      const id = `group-${Math.random().toString(36).slice(2, 8)}`;
      const label = element("label", { textContent: "Group", htmlFor: id });
      const select = element("select", { name: "group", id },
                             ...groups.map((g) => element("option", { value: String(g.id), textContent: g.name })));
      select.value = String(values.group);
      select.addEventListener("change", () => { values.group = Number(select.value); changed(); });
      return element("div", { className: "field" }, label, select);
    },
  };
}

function pages(sheet) {
  return [
    { title: sheet.pages[0], fields: [
      { name: "login", label: "Login", type: "text", maxLength: 15 },
      { name: "password", label: "Pass", type: "password", maxLength: 15 },
      groupField(sheet.groups),
      staticText("Last On", sheet.user.lastOn),
      { name: "locked", label: "Account Locked", type: "checkbox" },
      { name: "maxUsers", label: "Maximum Logins", type: "integer", min: 0, max: 255 },
      { name: "startDirectory", label: "Starting Dir", type: "text", maxLength: 255 },
    ] },
    { title: sheet.pages[1], fields: [
      { name: "uploads", label: "Uploads", type: "integer", min: 0, max: kMaxCounter },
      { name: "downloads", label: "Downloads", type: "integer", min: 0, max: kMaxCounter },
      { name: "deleteOwnFiles", label: "Can Delete Own", type: "checkbox" },
      { name: "overwriteOwnFiles", label: "Can Overwrite Own", type: "checkbox" },
      { name: "renameOwnFiles", label: "Can Rename Own", type: "checkbox" },
      { name: "ratio", label: "Session Ratio", type: "integer", min: 0, max: 100 },
      { name: "spaceLimit", label: "Space Limit (K)", type: "integer", min: 0, max: kMaxCounter },
    ] },
    { title: sheet.pages[2], fields: [
      { name: "name", label: "Name", type: "text", maxLength: 50 },
      { name: "address1", label: "Addr", type: "text", maxLength: 50 },
      { name: "address2", label: "", type: "text", maxLength: 50 },
      { name: "city", label: "City", type: "text", maxLength: 30 },
      { name: "state", label: "St", type: "text", maxLength: 2 },
      { name: "postal", label: "Postal", type: "text", maxLength: 20 },
      { name: "country", label: "Country", type: "text", maxLength: 30 },
      { name: "phoneHome", label: "Home", type: "text", maxLength: 50 },
      { name: "phoneWork", label: "Work", type: "text", maxLength: 50 },
      { name: "phoneFax", label: "Fax", type: "text", maxLength: 50 },
      { name: "email", label: "E-mail", type: "text", maxLength: 64 },
    ] },
    { title: sheet.pages[3], fields: [textArea("message", "", 2048, 12)] },
    { title: sheet.pages[4], fields: [textArea("notes", "", 2048, 12)] },
  ];
}

const kSent = ["login", "group", "locked", "maxUsers", "startDirectory", "uploads", "downloads", "deleteOwnFiles",
               "overwriteOwnFiles", "renameOwnFiles", "ratio", "spaceLimit", "name", "address1", "address2", "city",
               "state", "postal", "country", "phoneHome", "phoneWork", "phoneFax", "email", "message", "notes"];

// The password is never read back: it is sent only when typed.
function bodyOf(values) {
  const body = {};
  for (const k of kSent) body[k] = values[k];
  if (values.password !== undefined) body.password = values.password;
  return body;
}

async function runSheet(sheet, send) {
  const values = { ...sheet.user };
  delete values.password;
  let outcome = null;
  const done = await propertySheet({
    title: sheet.title || "New User",
    pages: pages(sheet),
    values,
    async onOk(v) {
      const r = await send(bodyOf(v));
      if (r.fieldError) return r.fieldError;
      // The account rules' refusals come after the sheet has closed.
      if (r.ok && r.data.changed) outcome = r.data;
      return true;
    },
  });
  return done ? outcome : null;
}

export async function editUser(id, view = "list") {
  const sheet = await api.get(`/api/users/${Number(id)}`);
  if (!sheet.ok) return null;
  return runSheet(sheet.data, (body) => ask("PUT", `/api/users/${Number(id)}`, { ...body, view },
                                             { fieldErrors: true }));
}

export async function addUser(domainId, groupId) {
  let domain = domainId;
  if (!domain) domain = (await pickDomain())?.id;
  if (!domain) return null;
  let group = groupId;
  if (!group) group = (await pickGroup(domain))?.id;
  if (!group) return null;
  const sheet = await api.get(`/api/users/new?domain=${Number(domain)}&group=${Number(group)}`);
  if (!sheet.ok) return null;
  return runSheet(sheet.data, (body) => ask("POST", "/api/users", { ...body, domain, group: Number(body.group) || group },
                                             { fieldErrors: true }));
}
