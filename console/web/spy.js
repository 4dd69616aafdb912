// Spy windows: one connection's transfer state (drawn on a canvas) above its
// control traffic, any number at a time.
//
// Exports: openSpy(snapshot) opens (or raises) the window of a spy the server
// opened (POST /api/spies answers with the snapshot); drawUserInfo(canvas,
// state) draws the Transfer Status pane.
import * as api from "./api.js";
import { element } from "./dom.js";
import * as panels from "./panels.js";
import { on } from "./events.js";
import { appendBounded } from "./messages.js";

const kFont = "13px system-ui, 'DejaVu Sans', sans-serif";
const kBitmapW = 110;
const kBitmapH = 30;

function lineHeight(ctx) {
  const m = ctx.measureText("Xg");
  return Math.ceil(m.fontBoundingBoxAscent + m.fontBoundingBoxDescent) || 15;
}

// The mode's picture: a dark trough, with an arrow for the direction.
function drawBitmap(ctx, x, y, mode) {
  ctx.fillStyle = mode === "idle" ? "#7a828d" : "#26313d";
  ctx.fillRect(x, y, kBitmapW, kBitmapH);
  ctx.fillStyle = mode === "idle" ? "#9aa1aa" : "#0f161d";
  ctx.fillRect(x + 4, y + 4, kBitmapW - 8, kBitmapH - 8);
  if (mode === "idle") return;
  ctx.fillStyle = "#56677a";
  const cx = x + kBitmapW - 14;
  const top = y + 7;
  const bottom = y + kBitmapH - 7;
  ctx.beginPath();
  if (mode === "download") {
    ctx.moveTo(cx - 6, bottom - 7); ctx.lineTo(cx + 6, bottom - 7); ctx.lineTo(cx, bottom);
    ctx.fillRect(cx - 2, top, 4, bottom - top - 7);
  } else {
    ctx.moveTo(cx - 6, top + 7); ctx.lineTo(cx + 6, top + 7); ctx.lineTo(cx, top);
    ctx.fillRect(cx - 2, top + 7, 4, bottom - top - 7);
  }
  ctx.closePath();
  ctx.fill();
}

export function drawUserInfo(canvas, state) {
  const ratio = window.devicePixelRatio || 1;
  const ctx = canvas.getContext("2d");
  ctx.font = kFont;
  const h = lineHeight(ctx);
  const width = Math.max(canvas.parentElement?.clientWidth || 300, 200);
  const height = 5 * h + 38;
  canvas.width = Math.round(width * ratio);
  canvas.height = Math.round(height * ratio);
  canvas.style.width = `${width}px`;
  canvas.style.height = `${height}px`;
  ctx.setTransform(ratio, 0, 0, ratio, 0, 0);
  ctx.fillStyle = "#eceef1";
  ctx.fillRect(0, 0, width, height);
  ctx.font = kFont;
  ctx.textBaseline = "top";
  ctx.fillStyle = "#1b1f24";
  ctx.fillText(state.domainLine, 2, 2);
  ctx.fillText(state.userLine, 2, h + 2);
  ctx.fillText("Transfer Status", 2, 3 * h + 2);
  const { mode, value, file } = state.transfer;
  drawBitmap(ctx, 2, 4 * h + 4, mode);
  const centre = [2 + kBitmapW / 2, 4 * h + 4 + kBitmapH / 2];
  ctx.textAlign = "center";
  ctx.textBaseline = "middle";
  if (mode === "download" && value > 0) {
    // One pixel per percent, as the pane always drew it.
    ctx.fillStyle = "#1fa64a";
    ctx.fillRect(6, 4 * h + 8, Math.min(value, 100) + 1, 21);
    ctx.fillStyle = "#fff";
    ctx.fillText(`${value}%`, ...centre);
  } else if (mode === "upload") {
    ctx.fillStyle = "#fff";
    ctx.fillText(`${value}`, ...centre);
  }
  ctx.textAlign = "left";
  ctx.textBaseline = "top";
  ctx.fillStyle = "#1b1f24";
  ctx.fillText(file || "", 4, 4 * h + 34);
  canvas.dataset.mode = mode;
  canvas.dataset.value = String(value);
  canvas.dataset.file = file || "";
  canvas.setAttribute("aria-label", `Transfer Status: ${mode}${mode === "download" ? ` ${value}%` : mode === "upload" ?
    ` ${value} bytes` : ""} ${file || ""}`.trim());
}

panels.registerKind("Spy", {
  title: "Spy",
  icon: "spy-window",
  defaultRect: { x: 636, y: 8, w: 600, h: 488 },
  create(panel, snapshot) {
    const canvas = element("canvas", { role: "img", className: "user-info" });
    const log = element("pre", { className: "log spy-log", tabIndex: 0, "aria-label": "Traffic" });
    panel.body.append(element("div", { className: "spy" }, canvas, log));
    const state = { ...snapshot };
    const redraw = () => drawUserInfo(canvas, state);
    const showLog = () => {
      const atEnd = log.scrollTop + log.clientHeight >= log.scrollHeight - 4;
      log.textContent = state.log.replaceAll("\r\n", "\n");
      if (atEnd) log.scrollTop = log.scrollHeight;
    };
    const setConnected = (connected) => {
      state.connected = connected;
      panel.element.dataset.connected = String(connected);
      panel.setIcon(connected ? "spy-window" : "spy-disconnected");
    };
    const stream = api.openStream(`/api/spies/${snapshot.id}/events`, {
      state(s) {
        Object.assign(state, s);
        setConnected(s.connected);
        showLog();
        redraw();
      },
      traffic({ text }) {
        state.log = appendBounded(state.log, text);
        showLog();
      },
      transfer(t) {
        state.transfer = t;
        redraw();
      },
      progress({ value }) {
        state.transfer = { ...state.transfer, value };
        redraw();
      },
      disconnected() { setConnected(false); },
    }, { probe: `/api/spies/${snapshot.id}`, onGone: () => panels.closePanel(panel.key) });
    setConnected(snapshot.connected);
    showLog();
    requestAnimationFrame(redraw);
    return {
      onResize: () => requestAnimationFrame(redraw),
      onClose: () => stream.close(),
    };
  },
  requestClose(panel) {
    api.del(`/api/spies/${panel.data.id}`, { quiet: true }).finally(() => panels.closePanel(panel.key));
  },
});

export function openSpy(snapshot) {
  const key = `spy:${snapshot.id}`;
  if (panels.isOpen(key)) return panels.getPanel(key).raise();
  const spies = panels.openPanels().filter((p) => p.kind === "Spy").length;
  const panel = panels.openPanel("Spy", key, { ...snapshot, title: snapshot.title, offset: 24 * spies });
  panel.data.id = snapshot.id;
  return panel;
}

// Spy windows are the server's: after a (re)connect the page shows exactly those it holds.
on("state", async () => {
  const result = await api.get("/api/spies", { quiet: true });
  if (!result.ok) return;
  const ids = new Set(result.data.spies.map((s) => `spy:${s.id}`));
  for (const p of panels.openPanels()) if (p.kind === "Spy" && !ids.has(p.key)) panels.closePanel(p.key);
  for (const s of result.data.spies) if (!panels.isOpen(`spy:${s.id}`)) openSpy(s);
});
