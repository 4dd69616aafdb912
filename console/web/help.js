// The splash window, the About box and the help pages.
//
// Exports: showSplash(), showAbout(), openHelp(page) where page is the name
// of a file in help/ without ".html".
import * as api from "./api.js";
import { openModal } from "./dialogs.js";
import { icon } from "./icons.js";

const kSplashMs = 5000;

// Shown once as the frame appears; goes after 5 s or at the first key or click.
export function showSplash() {
  const splash = document.createElement("div");
  splash.className = "splash";
  splash.setAttribute("role", "presentation");
  const card = document.createElement("div");
  card.className = "splash-card";
  const title = document.createElement("h1");
  title.textContent = "Kestrel";
  const line = document.createElement("p");
  line.textContent = "FTP server with its files in a database";
  card.append(icon("app"), title, line);
  splash.append(card);
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
  const content = document.createElement("div");
  content.className = "about";
  const lines = [`${result.data.product} Version ${result.data.version}`,
                 "FTP server with its files, users and log in a database",
                 `Physical memory: ${result.data.memory}`];
  content.append(icon("app"));
  for (const text of lines) {
    const p = document.createElement("p");
    p.textContent = text;
    content.append(p);
  }
  await openModal({ title: "About Kestrel", content, buttons: [{ label: "OK", value: "OK", isDefault: true }] });
}

export function openHelp(page) {
  window.open(`help/${page}.html`, "kestrel-help", "noopener");
}
