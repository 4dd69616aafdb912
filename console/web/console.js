// The console's start page: log in, then follow the connection list live.
let csrf = "";

async function api(method, path, body) {
  const headers = { "Content-Type": "application/json" };
  if (method !== "GET") headers["X-CSRF-Token"] = csrf;
  const response = await fetch(path, { method, headers, body: body ? JSON.stringify(body) : undefined });
  return { status: response.status, data: await response.json() };
}

function cell(text) {
  const td = document.createElement("td");
  td.textContent = text;
  return td;
}

function showRow(tbody, row) {
  let tr = tbody.querySelector(`tr[data-id="${row.id}"]`);
  if (!tr) {
    tr = document.createElement("tr");
    tr.dataset.id = row.id;
    tbody.append(tr);  // rows that arrive later go to the end
  }
  tr.replaceChildren(...[row.domain, row.name, row.when, row.downloads, row.uploads, row.activity].map(cell));
}

function follow() {
  const tbody = document.querySelector("#connections tbody");
  const events = new EventSource("/api/events");
  events.addEventListener("state", (e) => {
    tbody.replaceChildren();
    for (const row of JSON.parse(e.data).connections) showRow(tbody, row);
  });
  for (const name of ["connection-added", "connection-changed"])
    events.addEventListener(name, (e) => showRow(tbody, JSON.parse(e.data)));
  events.addEventListener("connection-removed", (e) => {
    tbody.querySelector(`tr[data-id="${JSON.parse(e.data).id}"]`)?.remove();
  });
  events.addEventListener("notice", (e) => alert(JSON.parse(e.data).text));
}

function tick() {
  document.getElementById("clock").textContent = new Date().toLocaleTimeString();
}

async function start() {
  const session = await api("GET", "/api/session");
  if (session.status === 200) {
    csrf = session.data.csrf || "";
    document.getElementById("frame").hidden = false;
    tick();
    setInterval(tick, 1000);
    follow();
    return;
  }
  const form = document.getElementById("login");
  form.hidden = false;
  form.addEventListener("submit", async (e) => {
    e.preventDefault();
    const result = await api("POST", "/api/login", { password: form.password.value });
    if (result.status === 200) location.reload();
    else document.getElementById("login-error").textContent = result.data.message?.text || "Login failed.";
  });
}

start();
