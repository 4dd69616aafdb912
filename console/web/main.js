// The console's entry: log in, build the frame, follow the frame's event stream.
//
// The menu bar is data (kMenus below). To add a menu item, defineCommand it
// (commands.js) in the module that owns it and name its id here.
import * as api from "./api.js";
import { defineCommand, bindShortcuts, commandsChanged, command } from "./commands.js";
import { createMenuBar, closeMenus } from "./menus.js";
import { messageBox, isModalOpen } from "./dialogs.js";
import * as frame from "./frame.js";
import * as panels from "./panels.js";
import { emit, on, kFrameEvents } from "./events.js";
import { toggleWindow, windowOpen } from "./windows.js";
import "./connections.js";
import "./messages.js";
import "./spy.js";
import "./settings.js";
import "./accounts.js";
import "./reports.js";
import { showSplash, showAbout, openHelp } from "./help.js";

// Commands the second half of the console (tree, accounts, reports) provides;
// until its modules define them they stay greyed.
const kLater = {
  "auto-refresh": ["&Auto Refresh...", "Set up the automatic synchronisation of the tree with the disk"],
  "report-users": ["&Users...", "Write a report of the users"],
  "report-files": ["&Files...", "Write a report of the files"],
  "report-tree": ["&Directory Tree...", "Write a report of the directory tree"],
  "report-log": ["&Log...", "Write a report of the activity log"],
  "add-user": ["&User...", "Add a user", "Ctrl+U"],
  "add-domain": ["&Domain...", "Add a domain", "Ctrl+D"],
  "add-group": ["&Group...", "Add a group", "Ctrl+G"],
  "delete": ["&Delete", "Delete the selection"],
  "refresh": ["&Refresh", "Synchronise the selected directory with the disk"],
  "add-directory": ["Add &Directory", "Add a directory below the selected one"],
  "build-index": ["&Build Index", "Write index files for the selected directory"],
  "find-descriptions": ["&Find Descriptions", "Read descriptions from the directory's index files"],
  "set-security": ["Set &Security", "Set the permissions of the selection"],
  "set-user": ["Set &User", "Set the owner of the selection"],
  "set-group": ["Set &Group", "Set the group of the selection"],
};
for (const [id, [label, prompt, shortcut]] of Object.entries(kLater))
  if (!command(id)) defineCommand(id, { label, prompt, shortcut, enabled: () => false, run() {} });

const kViews = [
  ["domains", "Do&mains", "Show or hide the Domains window"],
  ["groups", "G&roups", "Show or hide the Groups window"],
  ["users", "&Users", "Show or hide the Users window"],
  ["connections", "Co&nnections", "Show or hide the Connections window"],
  ["console", "C&onsole", "Show or hide the Message Console"],
];
for (const [name, label, prompt] of kViews)
  defineCommand(`view-${name}`, { label, prompt, checked: () => windowOpen(name), run: () => toggleWindow(name) });
for (const [id, label] of [["tools", "Toolbar &General"], ["connections", "Toolbar &Connections"],
                           ["directory", "Toolbar &Directory"]])
  defineCommand(`toolbar-${id}`, { label, prompt: "Show or hide the toolbar", checked: () => frame.toolbarVisible(id),
                                   run: () => frame.setToolbarVisible(id, !frame.toolbarVisible(id)) });
defineCommand("statusbar", { label: "&Status Bar", prompt: "Show or hide the status bar",
                             checked: () => frame.statusBarVisible(),
                             run: () => frame.setStatusBarVisible(!frame.statusBarVisible()) });
defineCommand("cascade", { label: "&Cascade", prompt: "Arrange the windows so they overlap", run: panels.cascade });
defineCommand("tile", { label: "&Tile", prompt: "Arrange the windows side by side", run: panels.tile });
defineCommand("next-window", { label: "Ne&xt Window", prompt: "Activate the next window", shortcut: "Ctrl+F6",
                               run: panels.activateNext });
defineCommand("help-topics", { label: "&Help Topics", prompt: "List the help topics", run: () => openHelp("index") });
defineCommand("getting-started", { label: "&Getting Started", prompt: "How to begin with Kestrel",
                                   run: () => openHelp("getting-started") });
defineCommand("about", { label: "&About Kestrel...", prompt: "Show the version and the machine's memory", run: showAbout });
defineCommand("clear-log", { label: "&Clear Log", prompt: "Delete every entry of the activity log",
                             run: () => api.post("/api/log/clear") });
defineCommand("exit", { label: "E&xit", prompt: "Stop the server and close the console", run: requestExit });

function windowMenu() {
  const items = [{ command: "cascade" }, { command: "tile" }, { command: "next-window" }];
  const list = panels.openPanels();
  if (list.length) items.push("-");
  list.forEach((p, i) => items.push({ label: `&${i + 1} ${p.title()}`.replace(/&(\d\d)/, "$1"),
                                      checked: () => p.element.classList.contains("active"),
                                      run: () => p.raise(), prompt: "Activate this window" }));
  return items;
}

function menus() {
  const list = [
    { title: "&System", items: [{ command: "settings" }, { command: "auto-refresh" }, { command: "clear-log" },
                                { command: "broadcast" }, "-", { command: "exit" }] },
    { title: "&Reports", items: [{ command: "report-users" }, { command: "report-files" }, { command: "report-tree" },
                                 { command: "report-log" }] },
    { title: "&Add", items: [{ command: "add-user" }, { command: "add-domain" }, { command: "add-group" }] },
    { title: "&View", items: [{ command: "toolbar-tools" }, { command: "toolbar-connections" },
                              { command: "toolbar-directory" }, { command: "statusbar" }, "-",
                              ...kViews.map(([name]) => ({ command: `view-${name}` }))] },
  ];
  // The active child window brings its own menu, as an MDI child does.
  const active = panels.activePanel();
  if (active?.kind === "Connections")
    list.push({ title: "&Connection", items: [{ command: "kill" }, { command: "spy" }, { command: "message" }] });
  if (active?.kind === "Console") list.push({ title: "&Console", items: [{ command: "console-clear" }] });
  list.push(...(active?.menus?.() || []));
  list.push({ title: "&Window", items: windowMenu() });
  list.push({ title: "&Help", items: [{ command: "help-topics" }, { command: "getting-started" }, "-",
                                      { command: "about" }] });
  return list;
}

// --- exit and the end of the program -----------------------------------------

let exitBox = null;  // the exit question on screen, whoever asked it
let exitBackdrop = null;

function programEnded() {
  api.setProgramEnded();
  closeMenus();
  document.getElementById("frame").hidden = true;
  document.querySelectorAll(".modal-backdrop, .menu, .splash").forEach((el) => el.remove());
  document.getElementById("ended-text").textContent = "Kestrel has ended. Start the program again to use the console.";
  document.getElementById("ended").hidden = false;
  document.title = "Kestrel (ended)";
}

async function requestExit() {
  const result = await api.post("/api/exit");
  if (result.ok && result.data.state === "closed") programEnded();
}

async function askExitQuestion(q) {
  if (exitBox) return;
  exitBox = messageBox(q.text, { icon: q.icon, buttons: q.buttons });
  // The box is in the page as soon as messageBox returns: the last backdrop is ours.
  exitBackdrop = [...document.querySelectorAll(".modal-backdrop")].at(-1);
  const answer = await exitBox;
  const wasClosedElsewhere = exitBox === null;
  exitBox = null;
  if (wasClosedElsewhere || answer === undefined) return;
  const result = await api.post("/api/exit", { answers: [answer] });
  if (result.ok && result.data.state === "closed") programEnded();
}

on("question", (q) => { if (q.kind === "exit") askExitQuestion(q); });
on("question-closed", (q) => {
  if (q.kind !== "exit" || !exitBox) return;
  exitBox = null;
  // Another console answered; ours goes without an answer of its own.
  exitBackdrop?.dispatchEvent(new CustomEvent("dismiss"));
  exitBackdrop = null;
});
on("closed", programEnded);
on("closing", () => frame.setPrompt("Closing the connections; Kestrel ends when the last one has gone."));
on("notice", (n) => messageBox(n.text, { icon: n.icon || "stop" }));

// --- start ------------------------------------------------------------------

let stream = null;

function startStream() {
  const handlers = {};
  for (const name of kFrameEvents) handlers[name] = (data) => emit(name, data);
  stream = api.openStream("/api/events", handlers, {
    onDown: () => { frame.setPrompt("The connection to the server is lost; trying again..."); emit("stream-down"); },
    onUp: () => { frame.setPrompt(""); emit("stream-up"); },
  });
}

async function startFrame() {
  document.getElementById("login").hidden = true;
  const root = document.getElementById("frame");
  root.hidden = false;
  const bar = createMenuBar(document.getElementById("menubar-slot"), menus, { onPrompt: frame.setPrompt });
  frame.buildToolbars(document.getElementById("toolbar-slot"));
  frame.buildStatusBar(document.getElementById("statusbar-slot"));
  panels.setDesktop(document.getElementById("desktop"));
  panels.onPanelsChanged(() => { bar.render(); commandsChanged(); });
  bindShortcuts(() => isModalOpen());
  showSplash();
  await panels.loadLayout();
  frame.restoreBars(panels.layoutValues());
  commandsChanged();
  startStream();
}

function showLogin() {
  stream?.close();
  document.getElementById("frame").hidden = true;
  const form = document.getElementById("login");
  form.hidden = false;
  form.password.focus();
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const result = await api.login(form.password.value);
    if (result.ok) location.reload();
    else document.getElementById("login-error").textContent = result.data.message?.text || "Login failed.";
  });
}

api.onUnauthorized(() => { if (!document.getElementById("frame").hidden) location.reload(); });

if (await api.session()) startFrame();
else showLogin();
