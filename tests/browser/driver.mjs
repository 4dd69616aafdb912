// Remote control of one headless chromium for the Python tests: one JSON
// request per stdin line, one JSON answer per stdout line.
//
//   {"op": "goto", "url": ...}                 opens a fresh page (new context)
//   {"op": "click", "sel", "button", "clickCount", "modifiers"}
//   {"op": "fill", "sel", "value"}   {"op": "press", "key"}   {"op": "hover", "sel"}
//   {"op": "text", "sel"}  {"op": "texts", "sel"}  {"op": "count", "sel"}
//   {"op": "attr", "sel", "name"}   {"op": "value", "sel"}
//   {"op": "wait", "sel", "state"}  {"op": "waitFor", "fn", "arg"}   fn: a JS function's source
//   {"op": "eval", "fn", "arg"}     {"op": "screenshot", "path", "sel"?}
//   {"op": "drag", "sel", "dx", "dy", "x"?, "y"?}   with the mouse, from (x, y) in the element or its centre
//   {"op": "offline", "offline": true|false}   the network drops or comes back
//   {"op": "viewport", "width", "height"}   {"op": "events"}: alerts, console errors, page errors seen
//   {"op": "close"}
// Answers: {"ok": true, "value": ...} or {"ok": false, "error": "..."}.
import { createInterface } from "node:readline";
import { chromium } from "playwright-core";

const timeout = Number(process.env.KESTREL_BROWSER_TIMEOUT || 10000);
const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
});
let context = null;
let page = null;
let seen = [];

async function fresh(url, viewport) {
  await context?.close();
  context = await browser.newContext({ viewport: viewport || { width: 1280, height: 800 } });
  page = await context.newPage();
  page.setDefaultTimeout(timeout);
  seen = [];
  page.on("dialog", (d) => { seen.push({ kind: "dialog", text: d.message() }); d.dismiss().catch(() => {}); });
  page.on("pageerror", (e) => seen.push({ kind: "pageerror", text: String(e) }));
  page.on("console", (m) => { if (m.type() === "error") seen.push({ kind: "console", text: m.text() }); });
  await page.goto(url);
}

const fn = (source) => eval(`(${source})`);

// Polls with evaluate rather than waitForFunction, whose in-page eval the
// console's content security policy (rightly) refuses.
async function poll(predicate, arg, limit) {
  const end = Date.now() + limit;
  for (;;) {
    const value = await page.evaluate(predicate, arg);
    if (value) return value;
    if (Date.now() > end) throw new Error(`condition not met within ${limit} ms: ${predicate}`);
    await new Promise((r) => setTimeout(r, 50));
  }
}

const ops = {
  goto: (r) => fresh(r.url, r.viewport),
  click: (r) => page.locator(r.sel).first().click({ button: r.button || "left", clickCount: r.clickCount || 1,
                                                     modifiers: r.modifiers || [] }),
  hover: (r) => page.locator(r.sel).first().hover(),
  fill: (r) => page.locator(r.sel).first().fill(r.value),
  press: (r) => page.keyboard.press(r.key),
  text: (r) => page.locator(r.sel).first().textContent(),
  texts: (r) => page.locator(r.sel).allTextContents(),
  count: (r) => page.locator(r.sel).count(),
  attr: (r) => page.locator(r.sel).first().getAttribute(r.name),
  value: (r) => page.locator(r.sel).first().inputValue(),
  wait: (r) => page.locator(r.sel).first().waitFor({ state: r.state || "visible", timeout: r.timeout || timeout }),
  waitFor: (r) => poll(fn(r.fn), r.arg ?? null, r.timeout || timeout),
  eval: (r) => page.evaluate(fn(r.fn), r.arg ?? null),
  screenshot: (r) => (r.sel ? page.locator(r.sel).first().screenshot({ path: r.path })
                            : page.screenshot({ path: r.path })).then(() => r.path),
  drag: async (r) => {
    const box = await page.locator(r.sel).first().boundingBox();
    const x = box.x + (r.x ?? box.width / 2);
    const y = box.y + (r.y ?? box.height / 2);
    await page.mouse.move(x, y);
    await page.mouse.down();
    await page.mouse.move(x + r.dx, y + r.dy, { steps: 5 });
    await page.mouse.up();
  },
  offline: (r) => context.setOffline(!!r.offline),
  viewport: (r) => page.setViewportSize({ width: r.width, height: r.height }),
  events: () => seen,
};

const lines = createInterface({ input: process.stdin });
for await (const line of lines) {
  let request;
  try {
    request = JSON.parse(line);
  } catch {
    continue;
  }
  if (request.op === "close") break;
  try {
    const value = await ops[request.op](request);
    process.stdout.write(`${JSON.stringify({ ok: true, value: value ?? null })}\n`);
  } catch (e) {
    process.stdout.write(`${JSON.stringify({ ok: false, error: String(e.message || e).slice(0, 2000) })}\n`);
  }
}
await browser.close();
