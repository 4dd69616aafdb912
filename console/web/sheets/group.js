// The group property sheet: its name and comment, and the SITE commands the
// group may use (several may be chosen; the one under the caret is described).
//
// Exports:
//   editGroup(id) -> the answer's data when the row changed, else null
//   addGroup(domainId?) -> {id, ...} | null   picks the domain when not given
import * as api from "../api.js";
import { propertySheet } from "../dialogs.js";
import { ask } from "../ask.js";
import { element } from "../dom.js";
import { pickDomain } from "./pickers.js";

function siteField(commands) {
  return {
    name: "siteCommands",
    type: "custom",
    build(values, changed) {
      const select = element("select", { multiple: true, size: 10, name: "siteCommands", "aria-label": "SITE Commands" },
                             ...commands.map((c) => element("option", { value: String(c.id), textContent: c.name,
                                                                        selected: values.siteCommands.includes(c.id) })));
      const help = element("p", { className: "site-help", "aria-live": "polite" });
      const describe = () => {
        const under = commands.find((c) => String(c.id) === (select.options[select.selectedIndex]?.value ?? ""));
        help.textContent = under?.help ?? "";
      };
      select.addEventListener("change", () => {
        values.siteCommands = [...select.selectedOptions].map((o) => Number(o.value));
        describe();
        changed();
      });
      select.addEventListener("focus", describe);
      select.addEventListener("keyup", describe);
      select.addEventListener("click", (e) => {
        const under = commands.find((c) => String(c.id) === e.target.value);
        if (under) help.textContent = under.help;
      });
      return element("div", { className: "site-commands" }, select, help);
    },
  };
}

async function runSheet(sheet, send) {
  const values = { name: sheet.group.name, comment: sheet.group.comment,
                   siteCommands: sheet.siteCommands.filter((c) => c.allowed).map((c) => c.id) };
  let outcome = null;
  const done = await propertySheet({
    title: sheet.title || "New Group",
    pages: [
      { title: sheet.pages[0], fields: [{ name: "name", label: "Name", type: "text", maxLength: 20 },
                                        { name: "comment", label: "Comments", type: "text", maxLength: 80 }] },
      { title: sheet.pages[1], fields: [siteField(sheet.siteCommands)] },
    ],
    values,
    async onOk(v) {
      const r = await send({ name: v.name, comment: v.comment, siteCommands: v.siteCommands });
      if (r.fieldError) return r.fieldError;
      if (r.ok && r.data.changed) outcome = r.data;
      return true;
    },
  });
  return done ? outcome : null;
}

export async function editGroup(id) {
  const sheet = await api.get(`/api/groups/${Number(id)}`);
  if (!sheet.ok) return null;
  return runSheet(sheet.data, (body) => ask("PUT", `/api/groups/${Number(id)}`, body, { fieldErrors: true }));
}

export async function addGroup(domainId) {
  const domain = domainId || (await pickDomain())?.id;
  if (!domain) return null;
  const sheet = await api.get(`/api/groups/new?domain=${Number(domain)}`);
  if (!sheet.ok) return null;
  return runSheet(sheet.data, (body) => ask("POST", "/api/groups", { ...body, domain }, { fieldErrors: true }));
}
