// The file property sheet: General, Security and Description pages of one
// Files row, for an existing row or a new entry (Add Directory, a link).
//
// Exports:
//   editFile(id) -> {saved, name} | null    properties of an existing row; null: Cancel
//   newEntry(parentNode, {link}) -> the POST answer's data | null
//   fileSheet(sheet, save) -> values | null  the sheet itself; save(body)
//       returns true, or a {page, field, text} to keep the sheet open
import * as api from "../api.js";
import { propertySheet, messageBox, mnemonicLabel } from "../dialogs.js";
import { ask } from "../ask.js";
import { element } from "../dom.js";
import { textArea, staticText } from "./fields.js";
import { pickUser, pickGroup } from "./pickers.js";
import { chooseDirectory } from "./folder.js";

const kClasses = [["user", "User Access"], ["group", "Group Access"], ["other", "Other Access"]];
const kBits = [["read", "Can Read"], ["write", "Can Write"], ["execute", "Execute"]];
const kBlankName = "File name cannot be blank.";

function pathField(sheet) {
  return {
    name: "path",
    type: "custom",
    build(values, changed) {
      const row = element("div", { className: "field field-path" });
      const id = `path-${Math.random().toString(36).slice(2, 8)}`;
      const label = element("label", { htmlFor: id }, mnemonicLabel("&Path"));
      const input = element("input", { type: "text", name: "path", value: values.path ?? "", id });
      input.addEventListener("input", () => { values.path = input.value; changed(); });
      const browse = element("button", { type: "button", textContent: "...", title: "Select a directory" });
      browse.addEventListener("click", async () => {
        const chosen = await chooseDirectory(input.value || "/");
        if (!chosen) return;
        input.value = values.path = chosen.path;
        values.name = chosen.name;
        const nameInput = row.closest(".tab-page")?.querySelector("input[name='name']");
        if (nameInput) nameInput.value = chosen.name;
        changed();
      });
      row.append(label, input, browse);
      return row;
    },
  };
}

function ownerField(kind, sheet) {
  const isUser = kind === "user";
  return {
    name: isUser ? "userId" : "groupId",
    type: "custom",
    build(values, changed) {
      const shown = element("span", { className: "static-value", dataset: { owner: kind },
                                      textContent: isUser ? sheet.security.login : sheet.security.groupName });
      const button = element("button", { type: "button", textContent: isUser ? "User..." : "Group..." });
      button.addEventListener("click", async () => {
        const chosen = isUser ? await pickUser(sheet.domain) : await pickGroup(sheet.domain);
        if (!chosen) return;
        values[isUser ? "userId" : "groupId"] = chosen.id;
        shown.textContent = isUser ? chosen.login : chosen.name;
        changed();
      });
      return element("div", { className: "field field-owner" }, shown, button);
    },
  };
}

function accessFields(values, access) {
  const fields = [];
  for (const [cls, title] of kClasses)
    for (const [bit, label] of kBits) {
      const name = `${cls}_${bit}`;
      values[name] = !!access[cls]?.[bit];
      fields.push({ name, label, type: "checkbox", group: title });
    }
  return fields;
}

function bodyOf(values) {
  const access = {};
  for (const [cls] of kClasses) {
    access[cls] = {};
    for (const [bit] of kBits) access[cls][bit] = !!values[`${cls}_${bit}`];
  }
  return { name: values.name, title: values.title, path: values.path, description: values.description,
           userId: values.userId, groupId: values.groupId, access };
}

export function fileSheet(sheet, save) {
  const g = sheet.general;
  const root = g.type === "Root Directory";
  const link = g.type === "Link";
  const values = { name: g.name, title: g.title, path: link ? "" : g.path, description: sheet.description,
                   userId: sheet.security.userId, groupId: sheet.security.groupId };
  const general = [];
  if (root) general.push(staticText("", "Root Directory", "rootType"));
  else general.push({ name: "name", label: "&Name", type: "text", maxLength: 255 },
                    { name: "title", label: "Short &Description", type: "text", maxLength: 100 });
  if (g.showPath) general.push(pathField(sheet));
  general.push(staticText("Type:", g.type), staticText("Size:", g.size), staticText("Last Write:", g.lastWrite),
               staticText("Creation:", g.creation), staticText("Last Read:", g.lastRead),
               staticText("Downloads:", g.downloads));
  if (link) general.push(staticText("Link to:", g.linkTo, "linkTo"));
  const security = [staticText("", sheet.security.name, "securityName"),
                    ownerField("user", sheet), ownerField("group", sheet), ...accessFields(values, sheet.security.access)];
  return propertySheet({
    title: sheet.sheetTitle,
    pages: [{ title: "General", fields: general }, { title: "Security", fields: security },
            { title: "Description", fields: [textArea("description", "", 255)] }],
    values,
    async onOk(v) {
      if (!root && !String(v.name ?? "").trim()) {
        await messageBox(kBlankName, { icon: "exclamation" });
        return { page: "General", field: "name", text: kBlankName };
      }
      return save(bodyOf(v));
    },
  });
}

export async function editFile(id) {
  const result = await api.get(`/api/files/${Number(id)}`);
  if (!result.ok) return null;
  let saved = null;
  const values = await fileSheet(result.data, async (body) => {
    const r = await ask("PUT", `/api/files/${Number(id)}`, body);
    if (r.ok) saved = r.data;
    // A refusal was shown; the row stays as it was and the sheet closes.
    return true;
  });
  if (!values) return null;
  return saved || { saved: false };
}

export async function newEntry(parentNode, { link } = {}) {
  const query = `parent=${encodeURIComponent(parentNode)}${link ? `&link=${Number(link)}` : ""}`;
  const draft = await api.get(`/api/tree/directories/new?${query}`);
  if (!draft.ok) return null;
  let added = null;
  const values = await fileSheet(draft.data, async (body) => {
    const payload = { ...body, parent: parentNode };
    if (link) { payload.link = link; delete payload.path; }
    const r = await ask("POST", "/api/tree/directories", payload);
    if (r.ok && r.data.added) added = r.data;
    return true;
  });
  return values ? added : null;
}
