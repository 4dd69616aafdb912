// The Message Console window: the lines users send with SITE commands.
//
// The server keeps the text (about 10 000 characters; past that the oldest
// 5 000 go) and drops lines while the window is closed; the page mirrors it.
import * as api from "./api.js";
import { defineCommand } from "./commands.js";
import { element } from "./dom.js";
import { on } from "./events.js";
import { defineWindow, windowOpen } from "./windows.js";

const kLimit = 10000;
const kDrop = 5000;

let text = "";
let view = null;

// The same rule as the server's, so both hold the same characters.
export function appendBounded(current, added) {
  const next = current + added;
  return next.length > kLimit ? next.slice(kDrop) : next;
}

function show() {
  if (!view) return;
  const atEnd = view.scroller.scrollTop + view.scroller.clientHeight >= view.scroller.scrollHeight - 4;
  view.pre.textContent = text.replaceAll("\r\n", "\n");
  if (atEnd || view.follow) view.scroller.scrollTop = view.scroller.scrollHeight;
}

function createWindow(panel) {
  const pre = element("pre", { className: "log console-text", tabIndex: 0, "aria-label": "Message Console",
                              "aria-readonly": "true" });
  panel.body.append(pre);
  view = { pre, scroller: panel.body, follow: true };
  show();
  view.follow = false;
  return { onClose() { view = null; } };
}

defineWindow("console", { title: "Message Console", icon: "view-console", create: createWindow });

on("state", (state) => {
  text = state.console || "";
  show();
});
on("console-line", ({ text: line }) => {
  if (!windowOpen("console")) return;
  text = appendBounded(text, `${line}\r\n`);
  show();
});
on("console-cleared", () => {
  text = "";
  show();
});
// Closing the window loses its text, as the server's does.
on("window", (w) => { if (w.window === "console" && !w.open) text = ""; });

defineCommand("console-clear", { label: "&Clear", prompt: "Delete all the text of the Message Console",
                                 run: () => api.post("/api/console/clear") });
