// A small FTP client for the browser scenarios: log in, list, and see whether
// the server greets a client from a given source address at all.
import net from "node:net";

export class FtpClient {
  static connect(port, { host = "127.0.0.1", localAddress } = {}) {
    return new Promise((resolve, reject) => {
      const socket = net.connect({ host, port, localAddress });
      const client = new FtpClient(socket);
      socket.once("connect", () => resolve(client));
      socket.once("error", reject);
    });
  }

  constructor(socket) {
    this.socket = socket;
    this.buffer = "";
    this.closed = false;
    this.waiters = [];
    socket.setEncoding("latin1");
    socket.on("data", (d) => { this.buffer += d; this.wake(); });
    socket.on("close", () => { this.closed = true; this.wake(); });
    socket.on("error", () => {});
  }

  wake() { for (const w of this.waiters.splice(0)) w(); }

  // The next whole reply, multi-line ones included; null when the server closed first.
  async reply(timeout = 10000) {
    const deadline = Date.now() + timeout;
    for (;;) {
      const lines = this.buffer.split("\r\n");
      const code = lines[0].slice(0, 3);
      const end = lines.slice(0, -1).findIndex((line, i) =>
        line.startsWith(`${code} `) || (i === 0 && /^\d{3}(?!-)/.test(line)));
      if (end >= 0) {
        this.buffer = lines.slice(end + 1).join("\r\n");
        return { code: Number(code), text: lines.slice(0, end + 1).join("\n") };
      }
      if (this.closed) return null;
      if (Date.now() > deadline) throw new Error(`no reply in time; got ${JSON.stringify(this.buffer)}`);
      await new Promise((r) => { this.waiters.push(r); setTimeout(r, 200); });
    }
  }

  async cmd(text) {
    this.socket.write(`${text}\r\n`);
    return this.reply();
  }

  async login(user, password) {
    const greeting = await this.reply();
    if (!greeting || greeting.code !== 220) return { greeting, login: null };
    await this.cmd(`USER ${user}`);
    return { greeting, login: await this.cmd(`PASS ${password}`) };
  }

  async list(path = "") {
    const pasv = await this.cmd("PASV");
    const m = /\((\d+),(\d+),(\d+),(\d+),(\d+),(\d+)\)/.exec(pasv.text);
    if (!m) throw new Error(`PASV: ${pasv.text}`);
    const data = net.connect({ host: m.slice(1, 5).join("."), port: Number(m[5]) * 256 + Number(m[6]) });
    let listing = "";
    data.setEncoding("latin1");
    data.on("data", (d) => { listing += d; });
    const ended = new Promise((r) => data.on("close", r));
    await new Promise((r, j) => { data.once("connect", r); data.once("error", j); });
    const start = await this.cmd(path ? `LIST ${path}` : "LIST");
    if (start.code >= 400) { data.destroy(); return { start, listing: "" }; }
    await ended;
    const done = await this.reply();
    return { start, done, listing };
  }

  close() { this.socket.destroy(); }
}
