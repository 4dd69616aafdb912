// Field builders the sheets share beyond dialogs.js's own types: a multi-line
// text and a read-only line of text.
//
// Exports:
//   textArea(name, label, maxLength, rows?)   a "custom" field of several lines
//   staticText(label, text, name?)           a label and a value shown as text
import { mnemonicLabel } from "../dialogs.js";
import { element } from "../dom.js";

export function textArea(name, label, maxLength, rows = 8) {
  return {
    name,
    type: "custom",
    build(values, changed) {
      const area = element("textarea", { name, rows });
      if (maxLength) area.maxLength = maxLength;
      area.value = values[name] ?? "";
      area.addEventListener("input", () => { values[name] = area.value; changed(); });
      return element("label", { className: "field-area" }, element("span", {}, mnemonicLabel(label)), area);
    },
  };
}

export function staticText(label, text, name = "") {
  return {
    name,
    type: "custom",
    build() {
      return element("div", { className: "field-static" }, element("span", { textContent: label }),
                     element("span", { className: "static-value", textContent: text ?? "" }));
    },
  };
}

let audio = null;

// The "beep" of a refused list move: a short tone and a flash of the control.
export function beep(element) {
  try {
    audio ??= new AudioContext();
    const osc = audio.createOscillator();
    const gain = audio.createGain();
    gain.gain.value = 0.05;
    osc.connect(gain).connect(audio.destination);
    osc.frequency.value = 880;
    osc.start();
    osc.stop(audio.currentTime + 0.08);
  } catch {
    // No sound here; the flash still tells.
  }
  if (element) {
    element.classList.remove("beep");
    void element.offsetWidth;
    element.classList.add("beep");
  }
}
