// The domain property sheet: General, MOTD, Text Index and Blocking, the
// last one the domain's ordered admit/block list of address patterns.
//
// Exports:
//   editDomain(id) -> the answer's data when the row changed, else null
//   addDomain() -> {id, ...} | null
import * as api from "../api.js";
import { propertySheet, messageBox, mnemonicLabel } from "../dialogs.js";
import { ask } from "../ask.js";
import { element } from "../dom.js";
import { textArea, beep } from "./fields.js";

const kInvalidFilter = "Invalid filter format.";

function button(label, onClick) {
  const b = element("button", { type: "button" }, mnemonicLabel(label));
  b.addEventListener("click", onClick);
  return b;
}

// The Blocking page. Entries are {text} as the list box shows them; the list
// is read from the server the first time the page is shown.
function blockingField(domainId, state) {
  return {
    name: "blocking",
    type: "custom",
    build() {
      const ip = element("input", { type: "text", name: "ip-pattern", "aria-label": "IP" });
      const list = element("select", { size: 10, name: "filter", className: "filter-list", "aria-label": "IP filter" });
      const render = (selected = -1) => {
        list.replaceChildren(...state.entries.map((text) => {
          const [verb, pattern] = text.split("\t");
          return element("option", { textContent: `${verb}\u2003${pattern ?? ""}` });
        }));
        list.selectedIndex = selected;
      };
      const append = async (verb) => {
        const text = ip.value;
        const check = await api.post("/api/domains/blocking/check", { pattern: text }, { quiet: true });
        if (!check.ok) {
          await messageBox(kInvalidFilter, { icon: "exclamation" });
          ip.focus();
          return;
        }
        state.entries.push(`${verb}\t${text}`);
        ip.value = "";
        render(state.entries.length - 1);
      };
      const moveBy = (delta) => {
        const i = list.selectedIndex;
        const j = i + delta;
        if (i < 0 || j < 0 || j >= state.entries.length) { beep(list); return; }
        [state.entries[i], state.entries[j]] = [state.entries[j], state.entries[i]];
        render(j);
      };
      const remove = () => {
        const i = list.selectedIndex;
        if (i < 0) { beep(list); return; }
        state.entries.splice(i, 1);
        render(Math.min(i, state.entries.length - 1));
      };
      const notes = element("div", { className: "blocking-notes" }, ...["* = Any value", "nnn = Exact value",
                            "nnn-nnn = Range"].map((n) => element("p", { textContent: n })));
      const left = element("div", { className: "blocking-left" }, element("label", { textContent: "IP" }, ip),
                           button("&Admit-->", () => append("Admit")), button("&Block-->", () => append("Block")), notes);
      const moves = element("div", { className: "blocking-moves" },
                            button("&Delete", remove), button("&Up", () => moveBy(-1)), button("Dow&n", () => moveBy(1)));
      const right = element("div", { className: "blocking-right" }, list, moves);
      const page = element("div", { className: "blocking" }, left, right);
      ip.addEventListener("keydown", (e) => {
        if (e.key === "Enter") { e.preventDefault(); e.stopPropagation(); append("Admit"); }
      });

      // The list is read the first time the page comes into view.
      const seen = new IntersectionObserver(async (entries) => {
        if (!entries.some((x) => x.isIntersecting) || state.shown) return;
        state.shown = true;
        seen.disconnect();
        if (domainId) {
          const r = await api.get(`/api/domains/${Number(domainId)}/blocking`);
          if (r.ok) state.entries = r.data.entries.map((x) => x.text);
        }
        render();
      });
      seen.observe(page);
      return page;
    },
  };
}

async function runSheet(sheet, domainId, send) {
  const state = { shown: false, entries: [] };
  let outcome = null;
  const d = sheet.domain;
  const done = await propertySheet({
    title: sheet.title,
    pages: [
      { title: sheet.pages[0], fields: [{ name: "name", label: "Name", type: "text", maxLength: 50 },
                                        { name: "ip", label: "IP Address", type: "text", maxLength: 255 }] },
      { title: sheet.pages[1], fields: [textArea("motd", "Message of the Day", 2048, 12)] },
      { title: sheet.pages[2], fields: [textArea("textHeader", "Header for text based indexes", 512, 5),
                                        textArea("textFooter", "Footer for text based indexes", 512, 5)] },
      { title: sheet.pages[3], fields: [blockingField(domainId, state)] },
    ],
    values: { name: d.name, ip: d.ip, motd: d.motd, textHeader: d.textHeader, textFooter: d.textFooter },
    async onOk(v) {
      const body = { name: v.name, ip: v.ip, motd: v.motd, textHeader: v.textHeader, textFooter: v.textFooter };
      // A page never shown leaves table Block as it is.
      if (state.shown) body.blocking = state.entries;
      const r = await send(body);
      if (r.fieldError) return r.fieldError;
      if (r.ok && r.data.changed) outcome = r.data;
      return true;
    },
  });
  return done ? outcome : null;
}

export async function editDomain(id) {
  const sheet = await api.get(`/api/domains/${Number(id)}`);
  if (!sheet.ok) return null;
  return runSheet(sheet.data, id, (body) => ask("PUT", `/api/domains/${Number(id)}`, body, { fieldErrors: true }));
}

export async function addDomain() {
  const sheet = await api.get("/api/domains/new");
  if (!sheet.ok) return null;
  return runSheet(sheet.data, 0, (body) => ask("POST", "/api/domains", body, { fieldErrors: true }));
}
