// The Directories window, the account sheets, refresh, index files and
// reports, driven in Debian's chromium as an administrator would, with FTP
// clients checking what the server then does. Run by
// tests/integration/test_console_directories.py, which starts the server.
//
// Environment: KESTREL_CONSOLE_URL, KESTREL_CONSOLE_PASSWORD, KESTREL_FTP_PORT,
// KESTREL_SCRATCH (a folder of the test's own) and KESTREL_SCREENSHOTS.
import fs from "node:fs";
import path from "node:path";
import assert from "node:assert/strict";
import { chromium } from "playwright-core";
import { FtpClient } from "./ftp.mjs";

const env = process.env;
const url = env.KESTREL_CONSOLE_URL;
const ftpPort = Number(env.KESTREL_FTP_PORT);
const scratch = env.KESTREL_SCRATCH;
const shots = env.KESTREL_SCREENSHOTS;
fs.mkdirSync(shots, { recursive: true });

const browser = await chromium.launch({
  executablePath: env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage"],
});
const context = await browser.newContext({ viewport: { width: 1280, height: 860 }, acceptDownloads: true });
const page = await context.newPage();
page.setDefaultTimeout(Number(env.KESTREL_BROWSER_TIMEOUT || 10000));
const errors = [];
page.on("pageerror", (e) => errors.push(String(e)));
// Refusals and questions come as 4xx answers, which the browser logs as failed loads.
page.on("console", (m) => {
  if (m.type() === "error" && !m.text().startsWith("Failed to load resource")) errors.push(m.text());
});

const step = (name) => process.stdout.write(`step: ${name}\n`);
const shot = (name, locator) => (locator ? locator.screenshot({ path: path.join(shots, `${name}.png`) })
                                         : page.screenshot({ path: path.join(shots, `${name}.png`) }));
const dialog = () => page.locator(".modal-backdrop").last().locator(".dialog");
const press = (name) => dialog().locator(".dialog-buttons button", { hasText: name }).click();
const tab = (name) => dialog().locator(".tab", { hasText: name }).click();
const field = (name) => dialog().locator(`[name='${name}']`).first();
const treeLabel = (text) => page.locator(".panel-domains .tree-label").filter({ hasText: new RegExp(`^${text}$`) }).first();
const treeRow = (text) => treeLabel(text).locator("xpath=..");

async function message(text) {
  const box = page.locator(".message-dialog").last();
  await box.locator(".message-text", { hasText: text }).first().waitFor();
  return box;
}

async function answer(text, button) {
  const box = await message(text);
  await box.locator(".dialog-buttons button", { hasText: new RegExp(`^${button}$`) }).click();
}

async function menu(title, command) {
  await page.locator(`.menu-title[data-menu='${title}']`).click();
  await page.locator(`.menu .menu-item[data-command='${command}']`).click();
}

async function contextMenu(target, item) {
  await target.click({ button: "right" });
  await page.locator(".menu .menu-item", { hasText: item }).first().click();
}

async function expand(text) {
  const row = treeRow(text);
  const li = row.locator("xpath=..");
  if ((await li.getAttribute("aria-expanded")) !== "true") await row.locator(".twisty").click();
}

async function ftpLogin(user, password, options = {}) {
  const client = await FtpClient.connect(ftpPort, options);
  const result = await client.login(user, password);
  return { client, ...result };
}

async function waitForDisk(check, what) {
  for (let i = 0; i < 100; i++) {
    if (check()) return;
    await new Promise((r) => setTimeout(r, 100));
  }
  throw new Error(`not on disk: ${what}`);
}

async function scenarioSteps() {
  // --- log in and open the window ------------------------------------------------------
  step("login");
  await page.goto(url);
  await page.fill("#login-password", env.KESTREL_CONSOLE_PASSWORD);
  await page.click("#login button[type=submit]");
  await page.locator("#frame").waitFor();
  await page.locator(".splash").waitFor({ state: "detached" }).catch(() => {});
  await menu("View", "view-domains");
  await treeLabel("Default").waitFor();

  // --- a domain, a group and a user from the page -------------------------------------------
  step("add domain");
  await menu("Add", "add-domain");
  await field("name").fill("acme");
  await field("ip").fill("127.0.0.2");
  await tab("Blocking");
  await shot("domain-sheet", dialog());
  await press("OK");
  await treeLabel("acme").waitFor();

  step("add group");
  await treeRow("acme").click();
  await contextMenu(treeRow("acme"), "Add Group...");
  await field("name").fill("Staff Team");
  await tab("SITE Commands");
  await shot("group-sheet", dialog());
  await press("OK");
  await expand("acme");
  await treeLabel("staff").waitFor();

  step("add user");
  await contextMenu(treeRow("staff"), "Add User...");
  await field("login").fill("Bob Smith");
  await field("password").fill("pw1");
  await field("maxUsers").fill("3");
  await shot("user-sheet", dialog());
  await press("OK");
  await expand("staff");
  await treeLabel("bob").waitFor();
  // Added while its domain was being expanded: shown once all the same.
  assert.equal(await page.locator(".panel-domains .tree-label:text-is('staff')").count(), 1);

  step("root directory");
  const bobRoot = path.join(scratch, "bob");
  fs.mkdirSync(bobRoot, { recursive: true });
  await contextMenu(treeRow("bob"), "Root Properties...");
  await field("path").fill(bobRoot);
  await shot("file-sheet", dialog());
  await press("OK");

  step("ftp login");
  {
    const { client, greeting, login } = await ftpLogin("bob", "pw1", { host: "127.0.0.2" });
    assert.equal(greeting.code, 220, greeting.text);
    assert.equal(login.code, 230, login.text);
    client.close();
  }

  step("limit refused");
  await contextMenu(treeRow("bob"), "User Properties...");
  await tab("File Limits");
  await field("ratio").fill("101");
  await press("OK");
  await answer("Please enter an integer between 0 and 100.", "OK");
  await dialog().locator(".field-error", { hasText: "between 0 and 100" }).waitFor();
  await press("Cancel");

  // --- a directory mapped to a folder that does not exist yet ---------------------------------
  step("add directory");
  const dataDir = path.join(scratch, "new", "data");
  await treeRow("bob").click();
  await contextMenu(treeRow("bob"), "Add Directory...");
  await field("name").fill("data");
  await field("path").fill(dataDir);
  await press("OK");
  await answer("Path does not exist.  Create?", "OK");
  await expand("bob");
  await treeLabel("data").waitFor();
  assert.ok(fs.statSync(dataDir).isDirectory());

  // --- refresh with new files on disk ---------------------------------------------------
  step("refresh");
  fs.writeFileSync(path.join(dataDir, "readme.txt"), "Read me first\n");
  fs.writeFileSync(path.join(dataDir, "notes.txt"), "Notes\n");
  await treeRow("data").click();
  await contextMenu(treeRow("data"), "Refresh...");
  await shot("refresh-dialog", dialog());
  await press("OK");
  await page.locator(".panel-domains .filelist-row", { hasText: "readme.txt" }).waitFor();
  await page.locator(".refresh-dialog").waitFor({ state: "detached" });
  await shot("directories", page.locator(".panel-domains"));

  // --- Set Security, seen in the FTP listing ----------------------------------------------
  step("set security");
  const listing = async () => {
    const { client } = await ftpLogin("bob", "pw1", { host: "127.0.0.2" });
    const { listing: text } = await client.list("/data");
    client.close();
    return text.split(/\r?\n/).find((l) => l.endsWith("readme.txt")) || "";
  };
  const before = await listing();
  assert.ok(before, "readme.txt listed");
  await page.locator(".panel-domains .filelist-row", { hasText: "readme.txt" }).click();
  await menu("File", "set-security");
  await shot("security-dialog", dialog());
  await field("other_write").click();
  await field("user_execute").click();
  await field("user_execute").click();
  await press("OK");
  await page.locator(".panel-domains .filelist-row", { hasText: "readme.txt" }).locator(".cell-flags", { hasText: "rw/rw/rw" })
    .waitFor();
  const after = await listing();
  assert.notEqual(after.slice(0, 10), before.slice(0, 10), `${before} -> ${after}`);
  assert.equal(after[8], "w", after);
  assert.equal(after[3], "-", after);

  step("rename");
  const notes = page.locator(".panel-domains .filelist-row", { hasText: "notes.txt" });
  await notes.dblclick();
  await field("name").fill("a:b");
  await press("OK");
  await answer("Invalid file name", "OK");
  await notes.dblclick();
  await field("name").fill("todo.txt");
  await press("OK");
  await page.locator(".panel-domains .filelist-row", { hasText: "todo.txt" }).waitFor();
  assert.ok(fs.existsSync(path.join(dataDir, "todo.txt")) && !fs.existsSync(path.join(dataDir, "notes.txt")));

  // --- a link to the directory, made by dragging it onto another user ---------------------------
  step("link by drag");
  await expand("system");
  await treeRow("data").dragTo(treeRow("anonymous"));
  await answer("Create a link?", "Yes");
  await expand("anonymous");
  await page.locator(".panel-domains .tree-label").filter({ hasText: /^data$/ }).nth(1).waitFor();
  {
    const { client, login } = await ftpLogin("anonymous", "guest@example.com", { host: "127.0.0.2" });
    assert.equal(login.code, 230, login.text);
    const { listing: text } = await client.list("/");
    client.close();
    assert.match(text, /data/);
  }

  step("copy and paste");
  await treeRow("data").first().click();
  await page.keyboard.press("Control+C");
  await treeRow("anonymous").click();
  await page.keyboard.press("Control+V");
  await answer("Entry already exists.", "OK");
  // Paste empties the clipboard, refused or not.
  await page.locator(".menu-title[data-menu='Edit']").click();
  await page.locator(".menu .menu-item[data-command='tree-paste'][aria-disabled='true']").waitFor();
  await page.keyboard.press("Escape");

  // --- index file --------------------------------------------------------------------------------
  step("index");
  await contextMenu(treeRow("data").first(), "Build Indexes");
  await shot("index-dialog", dialog());
  await press("OK");
  await answer("index file", "OK");
  assert.match(fs.readFileSync(path.join(dataDir, "index.txt"), "latin1"), /readme\.txt/);
  // Not in the tree, so the deletion below would rightly leave it (and its folder) on disk.
  fs.unlinkSync(path.join(dataDir, "index.txt"));

  // --- reports ---------------------------------------------------------------------------------------
  step("reports");
  const reports = [["report-users", "User Report", "u.txt"], ["report-files", "File Report", "f.txt"],
                   ["report-tree", "Tree Report", "t.txt"], ["report-log", "Log Report", "l.txt"]];
  for (const [command, banner, file] of reports) {
    await menu("Reports", command);
    await field("output").fill(path.join(scratch, file));
    if (command === "report-files") await shot("report-dialog", dialog());
    await press("OK");
    const viewer = page.locator(".panel-report").last();
    await viewer.locator(".report-text", { hasText: banner }).waitFor();
    const text = await viewer.locator(".report-text").textContent();
    assert.match(text, new RegExp(`^\\n {33}${banner}\\n {33}=+\\n`));
    assert.ok(fs.existsSync(path.join(scratch, file)));
    if (command === "report-tree") await shot("report-viewer", viewer);
    await viewer.locator(".panel-close").click();
  }

  // --- Users and Groups windows ---------------------------------------------------------------
  step("account windows");
  await menu("View", "view-users");
  await page.locator(".panel-users tbody tr", { hasText: "bob" }).waitFor();
  await shot("users-window", page.locator(".panel-users"));
  const nameHeader = page.locator(".panel-users th", { hasText: "Name" });
  await nameHeader.click();
  await page.locator(".panel-users tbody tr").first().filter({ hasText: "anonymous" }).waitFor();
  await nameHeader.click();
  await page.locator(".panel-users tbody tr").first().filter({ hasText: "bob" }).waitFor();
  await menu("View", "view-groups");
  await page.locator(".panel-groups tbody tr", { hasText: "staff" }).waitFor();
  await shot("groups-window", page.locator(".panel-groups"));
  await menu("View", "view-users");
  await menu("View", "view-groups");

  step("auto refresh");
  await menu("System", "auto-refresh");
  await field("RefRate").fill("1441");
  await shot("auto-refresh-dialog", dialog());
  await press("OK");
  await answer("Please enter an integer between 0 and 1440.", "OK");
  await press("Cancel");

  // --- deleting the tree with its files on disk ---------------------------------------------------
  step("delete tree");
  await page.locator(".panel-domains .panel-title").click();
  await treeRow("data").first().click();
  await contextMenu(treeRow("data").first(), "Delete");
  const deleting = await message("Deleting directory or directories");
  await deleting.locator("input[name=deletePhysical]").check();
  await shot("deleting-dialog", deleting);
  await deleting.locator(".dialog-buttons button", { hasText: "OK" }).click();
  await answer("Delete the links?", "Yes");
  await page.locator(".panel-domains .tree-label").filter({ hasText: /^data$/ }).first().waitFor({ state: "detached" });
  await waitForDisk(() => !fs.existsSync(dataDir), `${dataDir} removed`);

  // --- blocking an address range --------------------------------------------------------------
  step("blocking");
  await contextMenu(treeRow("acme"), "Domain Properties...");
  await tab("Blocking");
  await field("ip-pattern").fill("127.0.0.5-9");
  await dialog().locator("button", { hasText: "Block-->" }).click();
  await field("ip-pattern").fill("1.2.3");
  await dialog().locator("button", { hasText: "Admit-->" }).click();
  await answer("Invalid filter format.", "OK");
  await press("OK");
  // The sheet closes once the server has saved it; connecting earlier races the save.
  await page.locator(".modal-backdrop").first().waitFor({ state: "detached" });
  {
    const blocked = await FtpClient.connect(ftpPort, { host: "127.0.0.2", localAddress: "127.0.0.7" });
    assert.equal(await blocked.reply(), null, "a client from a blocked address is closed without a greeting");
    blocked.close();
    const { client, greeting } = await ftpLogin("bob", "pw1", { host: "127.0.0.2", localAddress: "127.0.0.4" });
    assert.equal(greeting.code, 220);
    client.close();
  }
  await contextMenu(treeRow("acme"), "Domain Properties...");
  await tab("Blocking");
  await dialog().locator(".filter-list option", { hasText: "127.0.0.5-9" }).waitFor();
  await press("Cancel");

  // --- server text stays text; the tree works from the keyboard ------------------------------
  step("hostile name and keys");
  const hostile = "<img src=x onerror=alert(1)>";
  await menu("Add", "add-domain");
  await field("name").fill(hostile);
  await press("OK");
  await page.locator(".panel-domains .tree-label", { hasText: hostile }).waitFor();
  assert.equal(await page.locator(".panel-domains img").count(), 0);
  await treeRow("acme").click();
  await page.keyboard.press("Shift+F10");
  await page.locator(".menu .menu-item", { hasText: "Domain Properties..." }).waitFor();
  await page.keyboard.press("Escape");
  await page.keyboard.press("Enter");
  await dialog().locator(".tab", { hasText: "Blocking" }).waitFor();
  await page.keyboard.press("Escape");
  await page.locator(".sheet-dialog").waitFor({ state: "detached" });

  // --- a user dragged onto another group of its domain -------------------------------------
  step("move user");
  const under = (group, user) => page.locator(`.panel-domains li[role=treeitem]:has(> .tree-row .tree-label:text-is("${group}"))`)
    .locator(`.tree-label:text-is("${user}")`);
  await treeRow("bob").dragTo(treeRow("system"));
  await under("system", "bob").waitFor();
  assert.equal(await under("staff", "bob").count(), 0);
  const { client, login } = await ftpLogin("bob", "pw1", { host: "127.0.0.2" });
  assert.equal(login.code, 230, login.text);
  client.close();
}

try {
  await scenarioSteps();
  assert.deepEqual(errors, []);
  process.stdout.write("scenario passed\n");
} catch (e) {
  await shot("failure").catch(() => {});
  process.stdout.write(`page errors: ${JSON.stringify(errors)}\n`);
  throw e;
} finally {
  await browser.close();
}
