// The splash window, the About box and the help pages.
//
// Exports: showSplash(), showAbout(), openHelp(page) where page is the name
// of a file in help/ without ".html".
import * as api from "./api.js";
import { openModal } from "./dialogs.js";
import { element } from "./dom.js";
import { icon } from "./icons.js";

const kSplashMs = 5000;

// Shown once as the frame appears; goes after 5 s or at the first key or click.
export function showSplash() {
  const card = element("div", { className: "splash-card" }, icon("app"), element("h1", { textContent: "Kestrel" }),
                       element("p", { textContent: "FTP server with its files in a database" }));
  const splash = element("div", { className: "splash", role: "presentation" }, card);
  document.body.append(splash);
  const close = () => {
    clearTimeout(timer);
    splash.remove();
    document.removeEventListener("keydown", close, true);
    document.removeEventListener("pointerdown", close, true);
  };
  const timer = setTimeout(close, kSplashMs);
  document.addEventListener("keydown", close, true);
  document.addEventListener("pointerdown", close, true);
}

export async function showAbout() {
  const result = await api.get("/api/about");
  if (!result.ok) return;
  const content = element("div", { className: "about" });
  const lines = [`${result.data.product} Version ${result.data.version}`,
                 "FTP server with its files, users and log in a database",
                 `Physical memory: ${result.data.memory}`];
  content.append(icon("app"));
  for (const text of lines) content.append(element("p", { textContent: text }));
  await openModal({ title: "About Kestrel", content, buttons: [{ label: "OK", value: "OK", isDefault: true }] });
}

export function openHelp(page) {
  window.open(`help/${page}.html`, "kestrel-help", "noopener");
}
