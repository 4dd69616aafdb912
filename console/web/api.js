// Requests to the console's JSON API and its event streams.
//
// Exports:
//   request(method, path, body?, options?) -> Promise<Result>
//     Result = {ok, status, data, fieldError?}. Sends the CSRF token on every
//     request that changes something. A 409 question is put to the operator
//     (dialogs.messageBox) and the request is sent again with the answers so
//     far; a {"message"} refusal is shown as a message box. With
//     options.fieldErrors, a 422 that names a page and field is not shown but
//     returned as result.fieldError = {page, field, text} for the sheet to
//     mark its control. options.quiet shows nothing at all.
//   get / post / put / del (path, body?, options?)   shorthands
//   session() -> Promise<boolean>, login(password) -> Promise<Result>
//   openStream(path, handlers, hooks?) -> {close()}
//     handlers: {eventName: data => ...}; every stream's first event is
//     "state", the whole state it continues from, so a reconnect re-reads
//     everything. hooks: {onDown(), onUp(), onGone(), probe}; before a retry
//     the probe path (default /api/session) is read: 401 means the session
//     is gone, 404 that the stream's object is (onGone).
//   onUnauthorized(fn)   called when a request finds the session gone.
//   setProgramEnded()    stops every stream from retrying.
import { messageBox } from "./dialogs.js";

let csrf = "";
let unauthorized = () => {};
let programEnded = false;
const streams = new Set();

export function onUnauthorized(fn) { unauthorized = fn; }

async function send(method, path, body) {
  const headers = {};
  if (body !== undefined) headers["Content-Type"] = "application/json";
  if (method !== "GET" && method !== "HEAD") headers["X-CSRF-Token"] = csrf;
  let response;
  try {
    response = await fetch(path, { method, headers, body: body === undefined ? undefined : JSON.stringify(body),
                                   credentials: "same-origin", cache: "no-store" });
  } catch {
    return { ok: false, status: 0, data: { message: { text: "The server cannot be reached.", icon: "stop",
                                                      buttons: ["OK"] } } };
  }
  const type = response.headers.get("Content-Type") || "";
  const data = type.startsWith("application/json") ? await response.json().catch(() => ({})) : await response.text();
  return { ok: response.ok, status: response.status, data };
}

export async function request(method, path, body, options = {}) {
  const answers = [];
  for (;;) {
    const payload = answers.length ? { ...(body || {}), answers } : body;
    const result = await send(method, path, payload);
    if (result.status === 401 && path !== "/api/login") {
      unauthorized();
      return result;
    }
    const data = result.data && typeof result.data === "object" ? result.data : {};
    if (result.status === 409 && data.question) {
      if (options.quiet) return result;
      const q = data.question;
      answers.push(await messageBox(q.text, { icon: q.icon, buttons: q.buttons }));
      continue;
    }
    if (result.status === 422 && options.fieldErrors && data.field) {
      result.fieldError = { page: data.page || "", field: data.field, text: data.message?.text || "" };
      return result;
    }
    if (!result.ok && !options.quiet) {
      if (data.message) await messageBox(data.message.text, { icon: data.message.icon, buttons: data.message.buttons });
      else if (data.error) await messageBox(data.error, { icon: "stop" });
    }
    return result;
  }
}

export const get = (path, options) => request("GET", path, undefined, options);
export const post = (path, body, options) => request("POST", path, body ?? {}, options);
export const put = (path, body, options) => request("PUT", path, body ?? {}, options);
export const del = (path, options) => request("DELETE", path, undefined, options);

export async function session() {
  const result = await send("GET", "/api/session");
  if (result.status !== 200) return false;
  csrf = result.data.csrf || "";
  return true;
}

export async function login(password) {
  const result = await send("POST", "/api/login", { password });
  if (result.ok) csrf = result.data.csrf || "";
  return result;
}

export async function logout() {
  await send("POST", "/api/logout");
  csrf = "";
}

export function setProgramEnded() {
  programEnded = true;
  for (const s of streams) s.close();
}

// An EventSource gives up for good when an answer is not 200 (a restart, a
// lost session); this one tries again with a growing delay until told to stop.
export function openStream(path, handlers, hooks = {}) {
  let source = null;
  let closed = false;
  let delay = 500;
  let timer = 0;
  let down = false;
  const stream = {
    close() {
      closed = true;
      clearTimeout(timer);
      source?.close();
      streams.delete(stream);
    },
  };
  streams.add(stream);

  const connect = () => {
    if (closed || programEnded) return;
    source = new EventSource(path);
    source.addEventListener("state", () => {
      delay = 500;
      if (down) { down = false; hooks.onUp?.(); }
    });
    for (const [name, fn] of Object.entries(handlers))
      source.addEventListener(name, (e) => { if (!closed) fn(JSON.parse(e.data)); });
    source.onerror = () => {
      source.close();
      if (closed || programEnded) return;
      if (!down) { down = true; hooks.onDown?.(); }
      timer = setTimeout(retry, delay);
      delay = Math.min(delay * 2, 5000);
    };
  };
  const retry = async () => {
    if (closed || programEnded) return;
    const probe = await send("GET", hooks.probe || "/api/session").catch(() => null);
    if (closed || programEnded) return;
    if (probe && probe.status === 401) { unauthorized(); return; }
    if (probe && probe.status === 404) { stream.close(); hooks.onGone?.(); return; }
    connect();
  };
  connect();
  return stream;
}
