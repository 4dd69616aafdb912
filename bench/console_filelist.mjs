// Browser half of bench/console_filelist.py: opens the Directories window,
// then clicks the "big" directory BENCH_RUNS times (another node between runs)
// and prints, one per line, the milliseconds until its rows are on screen.
import path from "node:path";
import { fileURLToPath } from "node:url";

const root = path.dirname(path.dirname(fileURLToPath(import.meta.url)));
const { chromium } = await import(path.join(root, "tests/browser/node_modules/playwright-core/index.mjs"));
const env = process.env;
const rows = Number(env.BENCH_ROWS);
const browser = await chromium.launch({ executablePath: env.CHROMIUM || "/usr/bin/chromium",
                                        args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"] });
const page = await browser.newPage({ viewport: { width: 1280, height: 860 } });
page.setDefaultTimeout(Number(env.BENCH_TIMEOUT || 300000));
await page.goto(env.KESTREL_CONSOLE_URL);
await page.fill("#login-password", env.KESTREL_CONSOLE_PASSWORD);
await page.click("#login button[type=submit]");
await page.locator("#frame").waitFor();
await page.locator(".menu-title[data-menu='View']").click();
await page.locator(".menu-item[data-command='view-domains']").click();
const label = (text) => page.locator(".panel-domains .tree-label").filter({ hasText: new RegExp(`^${text}$`) }).first();
for (const node of ["Default", "system", "anonymous"]) {
  await label(node).waitFor();
  await label(node).locator("xpath=../span[@class='twisty']").click();
}
for (let i = 0; i < Number(env.BENCH_RUNS || 5); i++) {
  await label("anonymous").click();
  await page.locator(".panel-domains .filelist-row").first().waitFor({ state: "detached" });
  const start = Date.now();
  await label("big").click();
  // Locators, not page functions: the console's policy allows no evaluated strings.
  await page.locator(`.panel-domains .filelist-viewport[aria-rowcount='${rows}'] .filelist-row`).first().waitFor();
  process.stdout.write(`${Date.now() - start}\n`);
}
await browser.close();
