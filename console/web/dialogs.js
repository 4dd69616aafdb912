// Modal dialogs, message boxes and tabbed property sheets.
//
// Exports:
//   openModal({title, content, buttons, onButton, initialFocus, className})
//       -> Promise<value>. buttons: [{label, value, isDefault, isCancel}].
//       onButton(value) may return false (or a Promise of false) to keep the
//       dialog open, e.g. while a field is wrong. Escape picks the cancel
//       button, Enter the default one; Tab stays inside the dialog. A
//       "dismiss" event on its .modal-backdrop closes it with undefined.
//   messageBox(text, {icon, buttons, title}) -> Promise<button label>
//       icon: "stop", "exclamation", "warning", "question", "information".
//   propertySheet({title, pages, values, onOk}) -> Promise<values | null>
//       pages: [{title, fields: [Field]}]. A Field is
//         {name, label, type, min, max, maxLength, placeholder, options, group,
//          enabledWhen(values)}
//       with type "text", "password", "integer", "checkbox", "radio"
//       (options: [{value, label}]), "combo" (options: [text], any text may be
//       typed), "note" (label only) or "custom" (build(values) -> Node).
//       onOk(values) returns true to close, or {page, field, text} to show
//       that text on the field's control and keep the sheet open.
//   mnemonicLabel(text) -> DocumentFragment   "&Message" with M underlined
//
// To add a sheet: describe its pages as data and call propertySheet; the
// sheet does range and length checks itself before onOk is called.
import { element } from "./dom.js";
import { icon } from "./icons.js";

const stack = [];

export function mnemonicLabel(text) {
  const fragment = document.createDocumentFragment();
  const at = text.search(/&[^&]/);
  if (at < 0) {
    fragment.append(text.replaceAll("&&", "&"));
    return fragment;
  }
  fragment.append(text.slice(0, at), element("u", { textContent: text[at + 1] }), text.slice(at + 2));
  return fragment;
}

function mnemonicOf(text) {
  const at = text.search(/&[^&]/);
  return at < 0 ? "" : text[at + 1].toLowerCase();
}

function focusables(root) {
  return [...root.querySelectorAll("button, input, select, textarea, [tabindex]:not([tabindex='-1'])")]
    .filter((el) => !el.disabled && el.offsetParent !== null);
}

document.addEventListener("keydown", (e) => {
  const top = stack.at(-1);
  if (!top) return;
  top.onKey(e);
}, true);

export function isModalOpen() { return stack.length > 0; }

export function openModal({ title, content, buttons, onButton, initialFocus, className = "" }) {
  return new Promise((resolve) => {
    const backdrop = element("div", { className: "modal-backdrop" });
    const heading = element("div", { className: "dialog-title", id: `dialog-title-${stack.length}-${Date.now()}`,
                                     textContent: title });
    const dialog = element("div", { className: `dialog ${className}`.trim(), role: "dialog", "aria-modal": "true",
                                    "aria-labelledby": heading.id });
    const body = element("div", { className: "dialog-body" }, content);
    const row = element("div", { className: "dialog-buttons" });
    const previous = document.activeElement;
    let busy = false;

    const finish = async (value) => {
      if (busy) return;
      busy = true;
      try {
        if (onButton && (await onButton(value)) === false) return;
      } finally {
        busy = false;
      }
      close(value);
    };
    const close = (value) => {
      const index = stack.indexOf(entry);
      if (index >= 0) stack.splice(index, 1);
      backdrop.remove();
      if (previous && previous.isConnected) previous.focus();
      resolve(value);
    };

    const byValue = new Map();
    for (const b of buttons) {
      const button = element("button", { type: "button" }, mnemonicLabel(b.label));
      if (b.isDefault) button.classList.add("default");
      button.addEventListener("click", () => finish(b.value));
      byValue.set(b.value, button);
      row.append(button);
    }
    const cancel = buttons.find((b) => b.isCancel) || (buttons.length === 1 ? buttons[0] : null);
    const fallback = buttons.find((b) => b.isDefault) || buttons[0];

    const entry = {
      close,
      onKey(e) {
        if (e.key === "Escape") {
          e.preventDefault();
          e.stopPropagation();
          if (cancel) finish(cancel.value);
        } else if (e.key === "Enter" && !e.altKey && !e.ctrlKey) {
          const target = e.target;
          if (target instanceof HTMLButtonElement || target instanceof HTMLTextAreaElement) return;
          e.preventDefault();
          e.stopPropagation();
          finish(fallback.value);
        } else if (e.key === "Tab") {
          const list = focusables(dialog);
          if (!list.length) { e.preventDefault(); return; }
          const i = list.indexOf(document.activeElement);
          let next = e.shiftKey ? i - 1 : i + 1;
          if (i < 0) next = 0;
          if (next < 0) next = list.length - 1;
          if (next >= list.length) next = 0;
          e.preventDefault();
          list[next].focus();
        } else if (e.altKey && e.key.length === 1) {
          // Alt with a label's underlined letter goes to that control or button.
          const key = e.key.toLowerCase();
          for (const u of dialog.querySelectorAll("u")) {
            if (u.textContent.toLowerCase() !== key) continue;
            const owner = u.closest("button, label, [role='tab']");
            const control = owner?.control || owner;
            if (!control || control.disabled) continue;
            e.preventDefault();
            e.stopPropagation();
            if (owner instanceof HTMLButtonElement && owner.closest(".dialog-buttons")) owner.click();
            else { control.focus(); if (owner.getAttribute("role") === "tab") owner.click(); }
            return;
          }
          e.stopPropagation();
        } else if (!dialog.contains(e.target)) {
          e.stopPropagation();
        }
        if (!dialog.contains(e.target) && document.activeElement !== null && !dialog.contains(document.activeElement))
          focusables(dialog)[0]?.focus();
      },
    };
    stack.push(entry);
    // A question answered in another console goes away here without an answer.
    backdrop.addEventListener("dismiss", () => close(undefined));

    dialog.append(heading, body, row);
    backdrop.append(dialog);
    document.body.append(backdrop);
    const first = initialFocus?.() || focusables(body)[0] || byValue.get(fallback.value);
    first?.focus();
  });
}

const kIconNames = { stop: "mb-stop", exclamation: "mb-warning", warning: "mb-warning", question: "mb-question",
                     information: "mb-information", info: "mb-information" };

export function messageBox(text, { icon: kind = "", buttons = ["OK"], title = "Kestrel" } = {}) {
  const content = element("div", { className: "message-box" });
  if (kIconNames[kind]) content.append(icon(kIconNames[kind], `message-icon icon-${kind}`));
  content.append(element("p", { className: "message-text", textContent: text }));
  const list = buttons.map((label, i) => ({
    label, value: label, isDefault: i === 0, isCancel: label === "Cancel" || label === "No" && !buttons.includes("Cancel"),
  }));
  return openModal({ title, content, buttons: list, className: "message-dialog" });
}

// --- property sheets ------------------------------------------------------

function fieldControl(field, values, changed) {
  const wrap = element("div", { className: `field field-${field.type}`, dataset: { field: field.name || "" } });
  const id = `f-${field.name}-${Math.random().toString(36).slice(2, 8)}`;
  const label = element("label", { htmlFor: id }, mnemonicLabel(field.label || ""));
  let control;
  switch (field.type) {
    case "note": {
      wrap.append(element("p", { className: "note", textContent: field.label }));
      return { wrap, read() {}, refresh() {} };
    }
    case "checkbox":
      control = element("input", { type: "checkbox", id, name: field.name, checked: !!values[field.name] });
      control.addEventListener("change", () => { values[field.name] = control.checked; changed(); });
      wrap.append(control, label);
      return { wrap, control, refresh() { control.disabled = field.enabledWhen ? !field.enabledWhen(values) : false; } };
    case "radio": {
      const set = element("fieldset", {}, element("legend", {}, mnemonicLabel(field.label)));
      const inputs = [];
      for (const option of field.options) {
        const r = element("input", { type: "radio", name: `${field.name}-${id}`, value: option.value,
                                     checked: values[field.name] === option.value });
        r.addEventListener("change", () => { if (r.checked) { values[field.name] = option.value; changed(); } });
        set.append(element("label", {}, r, mnemonicLabel(option.label)));
        inputs.push(r);
      }
      wrap.append(set);
      return { wrap, control: inputs.find((r) => r.checked) || inputs[0],
               refresh() { for (const r of inputs) r.disabled = field.enabledWhen ? !field.enabledWhen(values) : false; } };
    }
    case "custom":
      wrap.append(field.build(values, changed));
      return { wrap, refresh() {} };
    default: {
      control = element("input", { id, name: field.name, type: field.type === "password" ? "password" : "text" });
      if (field.type === "integer") control.inputMode = "numeric";
      if (field.maxLength) control.maxLength = field.maxLength;
      if (field.placeholder) control.placeholder = field.placeholder;
      control.autocomplete = "off";
      control.value = values[field.name] ?? "";
      if (field.type === "combo") {
        const list = element("datalist", { id: `${id}-list` },
                             ...(field.options || []).map((o) => element("option", { value: o })));
        control.setAttribute("list", list.id);
        wrap.append(list);
      }
      control.addEventListener("input", () => {
        values[field.name] = field.type === "integer" ? control.value.trim() : control.value;
        clearError(wrap);
        changed();
      });
      wrap.append(label, control);
      return { wrap, control, refresh() { control.disabled = field.enabledWhen ? !field.enabledWhen(values) : false; } };
    }
  }
}

function clearError(wrap) {
  wrap.classList.remove("invalid");
  wrap.querySelector(".field-error")?.remove();
  wrap.querySelector("input")?.removeAttribute("aria-invalid");
}

function showError(wrap, text) {
  clearError(wrap);
  wrap.classList.add("invalid");
  wrap.append(element("p", { className: "field-error", role: "alert", textContent: text }));
  const input = wrap.querySelector("input");
  input?.setAttribute("aria-invalid", "true");
  input?.focus();
  input?.select?.();
}

// The framework's own checks, made before anything is sent.
function checkField(field, values) {
  if (field.type !== "integer") return "";
  const text = String(values[field.name] ?? "").trim();
  const n = Number(text);
  if (!/^-?\d+$/.test(text) || n < field.min || n > field.max)
    return `Please enter an integer between ${field.min} and ${field.max}.`;
  values[field.name] = n;
  return "";
}

export function propertySheet({ title, pages, values: initial, onOk }) {
  const values = { ...initial };
  const content = element("div", { className: "sheet" });
  const tabs = element("div", { className: "tabs", role: "tablist" });
  const panes = [];
  const controls = [];
  const refreshAll = () => { for (const c of controls) c.refresh(); };

  const select = (index, focus = false) => {
    panes.forEach((pane, i) => {
      pane.tab.setAttribute("aria-selected", String(i === index));
      pane.tab.tabIndex = i === index ? 0 : -1;
      pane.body.hidden = i !== index;
    });
    if (focus) panes[index].tab.focus();
  };

  pages.forEach((page, index) => {
    const tab = element("button", { type: "button", className: "tab", role: "tab", textContent: page.title });
    tab.addEventListener("click", () => select(index));
    tab.addEventListener("keydown", (e) => {
      if (e.key === "ArrowRight" || e.key === "ArrowLeft") {
        e.preventDefault();
        select((index + (e.key === "ArrowRight" ? 1 : pages.length - 1)) % pages.length, true);
      }
    });
    const body = element("div", { className: "tab-page", role: "tabpanel", dataset: { page: page.title } });
    let groupBox = null;
    let groupName = null;
    for (const field of page.fields) {
      const c = fieldControl(field, values, refreshAll);
      c.field = field;
      c.page = index;
      controls.push(c);
      if (field.group !== groupName) {
        groupName = field.group;
        groupBox = null;
        if (groupName) {
          groupBox = element("fieldset", { className: "group" }, element("legend", { textContent: groupName }));
          body.append(groupBox);
        }
      }
      (groupBox || body).append(c.wrap);
    }
    tabs.append(tab);
    content.append(body);
    panes.push({ tab, body });
  });
  content.prepend(tabs);
  select(0);
  refreshAll();

  const markError = ({ page, field, text }) => {
    const c = controls.find((x) => x.field.name === field && (!page || pages[x.page].title === page))
      || controls.find((x) => x.field.name === field);
    if (!c) return false;
    select(c.page);
    showError(c.wrap, text);
    return true;
  };

  return openModal({
    title,
    content,
    className: "sheet-dialog",
    buttons: [{ label: "OK", value: "OK", isDefault: true }, { label: "Cancel", value: "Cancel", isCancel: true }],
    initialFocus: () => panes[0].tab,
    async onButton(value) {
      if (value !== "OK") return true;
      for (const c of controls) {
        const text = checkField(c.field, values);
        if (text) {
          await messageBox(text, { icon: "exclamation" });
          markError({ page: pages[c.page].title, field: c.field.name, text });
          return false;
        }
      }
      const outcome = await onOk(values);
      if (outcome === true) return true;
      if (outcome && outcome.field && markError(outcome)) return false;
      return false;
    },
  }).then((v) => (v === "OK" ? values : null));
}
