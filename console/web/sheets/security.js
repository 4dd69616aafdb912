// "Security Settings" for the file list's selection: nine three-state boxes
// that start grey; a grey box leaves that bit of every file as it is.
//
// Exports: securityDialog() -> access | null, where access is
//   {user|group|other: {read|write|execute: true | false | null}}
import { openModal, mnemonicLabel } from "../dialogs.js";

const kClasses = [["user", "&User"], ["group", "&Group"], ["other", "&Other"]];
const kBits = [["read", "Read"], ["write", "Write"], ["execute", "Execute"]];

// null (grey) -> true -> false -> null, as a three-state box turns.
const next = (v) => (v === null ? true : v === true ? false : null);

function triState(state, cls, bit, label) {
  const l = document.createElement("label");
  const box = document.createElement("input");
  box.type = "checkbox";
  box.name = `${cls}_${bit}`;
  const show = () => {
    const v = state[cls][bit];
    box.indeterminate = v === null;
    box.checked = v === true;
    box.setAttribute("aria-checked", v === null ? "mixed" : String(v));
  };
  box.addEventListener("click", () => { state[cls][bit] = next(state[cls][bit]); show(); });
  show();
  l.append(box, label);
  return l;
}

export function securityDialog() {
  const state = {};
  const content = document.createElement("div");
  content.className = "security-settings";
  for (const [cls, title] of kClasses) {
    state[cls] = { read: null, write: null, execute: null };
    const set = document.createElement("fieldset");
    set.className = "group";
    const legend = document.createElement("legend");
    legend.append(mnemonicLabel(title));
    set.append(legend, ...kBits.map(([bit, label]) => triState(state, cls, bit, label)));
    content.append(set);
  }
  const note = document.createElement("p");
  note.className = "note";
  note.textContent = "Note: Grayed security settings will remain unchanged.";
  content.append(note);
  return openModal({
    title: "Security Settings", content, className: "security-dialog",
    buttons: [{ label: "OK", value: "OK", isDefault: true }, { label: "Cancel", value: "Cancel", isCancel: true }],
  }).then((v) => (v === "OK" ? state : null));
}
