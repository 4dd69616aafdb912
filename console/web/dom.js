// The one way the pages build their HTML elements.
//
// Exports:
//   element(tag, props = {}, ...children) -> HTMLElement
//     props are applied in the order written, so the markup keeps the
//     attribute order it would get from assignments one by one:
//       role and every key with a hyphen ("aria-label")  setAttribute(key, value)
//       dataset                                           merged into el.dataset
//       any other key (className, textContent, type,      set as a property
//         tabIndex, title, draggable, htmlFor, ...)
//     then the children (nodes or strings) are appended; null, undefined and
//     false are skipped, so a child may be given under a condition.
//   Listeners and conditional properties stay with the caller, as statements.

export function element(tag, props = {}, ...children) {
  const el = document.createElement(tag);
  for (const [key, value] of Object.entries(props)) {
    if (key === "role" || key.includes("-")) el.setAttribute(key, value);
    else if (key === "dataset") Object.assign(el.dataset, value);
    else el[key] = value;
  }
  el.append(...children.filter((c) => c !== null && c !== undefined && c !== false));
  return el;
}
