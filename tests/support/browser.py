"""One headless chromium, driven through tests/browser/driver.mjs (playwright-core).

    b = Browser()                     # one per test module: starting chromium is the slow part
    b.login(srv)                      # fresh page, logged in, splash gone
    b.click("text=Connections"); b.text("#clock"); b.shot("connections")
    b.close()

Every call waits for the driver's answer and raises BrowserError with the
driver's message when the page did not do what was asked in time.
"""
import json
import os
import subprocess

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.abspath(os.path.join(HERE, "..", ".."))
DRIVER_DIR = os.path.join(SOURCE, "tests", "browser")
# Test artifacts go beside the program under test, in the build folder.
SHOTS = os.environ.get("KESTREL_SCREENSHOTS") or os.path.join(
    os.path.dirname(os.path.abspath(os.environ.get("KESTREL_BINARY", os.path.join(SOURCE, "build", "kestrel")))),
    "screenshots")


class BrowserError(AssertionError):
    pass


class Browser:
    def __init__(self):
        if not os.path.isdir(os.path.join(DRIVER_DIR, "node_modules", "playwright-core")):
            raise RuntimeError("playwright-core is missing: run scripts/install-deps --test")
        self.proc = subprocess.Popen(["node", os.path.join(DRIVER_DIR, "driver.mjs")], cwd=DRIVER_DIR,
                                     stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        os.makedirs(SHOTS, exist_ok=True)

    def call(self, op, **args):
        args["op"] = op
        self.proc.stdin.write(json.dumps(args) + "\n")
        self.proc.stdin.flush()
        line = self.proc.stdout.readline()
        if not line:
            raise BrowserError("the browser driver ended (exit %r)" % self.proc.poll())
        answer = json.loads(line)
        if not answer["ok"]:
            raise BrowserError("%s %s: %s" % (op, args.get("sel", ""), answer["error"]))
        return answer["value"]

    # --- pages --------------------------------------------------------------
    def goto(self, url, width=1280, height=800):
        return self.call("goto", url=url, viewport={"width": width, "height": height})

    def login(self, srv, width=1280, height=800):
        self.goto("http://127.0.0.1:%d/" % srv.console_port, width, height)
        self.fill("#login-password", srv.console_password)
        self.press("Enter")
        self.wait("#frame")
        self.wait(".splash")
        self.click(".splash")
        self.wait(".splash", state="detached")

    # --- actions and reads --------------------------------------------------
    def click(self, sel, **kw):
        return self.call("click", sel=sel, **kw)

    def dblclick(self, sel):
        return self.call("click", sel=sel, clickCount=2)

    def hover(self, sel):
        return self.call("hover", sel=sel)

    def drag(self, sel, dx, dy, **at):
        return self.call("drag", sel=sel, dx=dx, dy=dy, **at)

    def offline(self, offline):
        return self.call("offline", offline=offline)

    def fill(self, sel, value):
        return self.call("fill", sel=sel, value=value)

    def press(self, key):
        return self.call("press", key=key)

    def text(self, sel):
        return self.call("text", sel=sel)

    def texts(self, sel):
        return self.call("texts", sel=sel)

    def count(self, sel):
        return self.call("count", sel=sel)

    def attr(self, sel, name):
        return self.call("attr", sel=sel, name=name)

    def value(self, sel):
        return self.call("value", sel=sel)

    def wait(self, sel, state="visible", timeout=None):
        return self.call("wait", sel=sel, state=state, **({"timeout": timeout} if timeout else {}))

    def wait_for(self, fn, arg=None, timeout=None):
        """Waits until the JS function fn(arg), run in the page, returns something true."""
        return self.call("waitFor", fn=fn, arg=arg, **({"timeout": timeout} if timeout else {}))

    def wait_text(self, sel, text, timeout=None):
        return self.wait_for("([s, t]) => [...document.querySelectorAll(s)].some(e => e.textContent.includes(t))",
                             [sel, text], timeout)

    def eval(self, fn, arg=None):
        return self.call("eval", fn=fn, arg=arg)

    def events(self):
        """Alerts, page errors and console errors the page has had."""
        return self.call("events")

    def shot(self, name, sel=None):
        path = os.path.join(SHOTS, name + ".png")
        return self.call("screenshot", path=path, **({"sel": sel} if sel else {}))

    def close(self):
        try:
            self.proc.stdin.write(json.dumps({"op": "close"}) + "\n")
            self.proc.stdin.close()
            self.proc.wait(timeout=20)
        except Exception:
            self.proc.kill()
            self.proc.wait()
