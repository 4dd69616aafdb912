// Icons: symbols of our own drawing in icons.svg, referenced by id.
//
// Exports: icon(id, className?, sprite?) -> an <svg> element showing
// sprite#id (icons.svg unless another sheet is named).
// To add an icon, draw a 16 x 16 <symbol id="..."> in icons.svg.
const SVG = "http://www.w3.org/2000/svg";

export function icon(id, className = "icon", sprite = "icons.svg") {
  const svg = document.createElementNS(SVG, "svg");
  svg.setAttribute("class", className);
  svg.setAttribute("aria-hidden", "true");
  svg.setAttribute("focusable", "false");
  const use = document.createElementNS(SVG, "use");
  use.setAttribute("href", `${sprite}#${id}`);
  svg.append(use);
  return svg;
}
