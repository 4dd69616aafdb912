// "Security Settings" for the file list's selection: nine three-state boxes
// that start grey; a grey box leaves that bit of every file as it is.
//
// Exports: securityDialog() -> access | null, where access is
//   {user|group|other: {read|write|execute: true | false | null}}
import { openModal, mnemonicLabel } from "../dialogs.js";
import { element } from "../dom.js";

const kClasses = [["user", "&User"], ["group", "&Group"], ["other", "&Other"]];
const kBits = [["read", "Read"], ["write", "Write"], ["execute", "Execute"]];

// null (grey) -> true -> false -> null, as a three-state box turns.
const next = (v) => (v === null ? true : v === true ? false : null);

function triState(state, cls, bit, label) {
  const box = element("input", { type: "checkbox", name: `${cls}_${bit}` });
  const show = () => {
    const v = state[cls][bit];
    box.indeterminate = v === null;
    box.checked = v === true;
    box.setAttribute("aria-checked", v === null ? "mixed" : String(v));
  };
  box.addEventListener("click", () => { state[cls][bit] = next(state[cls][bit]); show(); });
  show();
  return element("label", {}, box, label);
}

export function securityDialog() {
  const state = {};
  const content = element("div", { className: "security-settings" });
  for (const [cls, title] of kClasses) {
    state[cls] = { read: null, write: null, execute: null };
    content.append(element("fieldset", { className: "group" }, element("legend", {}, mnemonicLabel(title)),
                           ...kBits.map(([bit, label]) => triState(state, cls, bit, label))));
  }
  content.append(element("p", { className: "note", textContent: "Note: Grayed security settings will remain unchanged." }));
  return openModal({
    title: "Security Settings", content, className: "security-dialog",
    buttons: [{ label: "OK", value: "OK", isDefault: true }, { label: "Cancel", value: "Cancel", isCancel: true }],
  }).then((v) => (v === "OK" ? state : null));
}
