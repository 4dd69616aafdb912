// The frame's event stream, fanned out to the modules that show it.
//
// Exports:
//   on(name, fn)     fn(data) for every frame event of that name: "state"
//                    (after every (re)connect: connections, console, windows,
//                    closing), "connection-added", "connection-changed",
//                    "connection-removed", "console-line", "console-cleared",
//                    "window", "notice", "question", "question-closed",
//                    "closing", "closed", "accounts", and the page's own
//                    "stream-down" / "stream-up".
//   emit(name, data) used by main.js, which owns the stream.
//
// To follow a server event in a window: import {on} and subscribe once.
const handlers = new Map();

export function on(name, fn) {
  if (!handlers.has(name)) handlers.set(name, new Set());
  handlers.get(name).add(fn);
  return () => handlers.get(name).delete(fn);
}

export function emit(name, data) {
  for (const fn of handlers.get(name) || []) {
    try {
      fn(data);
    } catch (e) {
      console.error(e);  // one window's fault must not stop the others' updates
    }
  }
}

export const kFrameEvents = ["state", "connection-added", "connection-changed", "connection-removed", "console-line",
  "console-cleared", "window", "notice", "question", "question-closed", "closing", "closed", "accounts"];
