"""Debian's Chromium, headless, driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: JSON messages ending in NUL on file descriptors 3
and 4), with the standard library only."""
import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time

# As root on a machine without network: no sandbox, nothing fetched.
FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync"]
BROWSER = shutil.which("chromium")


class Browser:
    """One browser and one tab: open(url), evaluate(js), screenshot(), and
    `errors`, the console errors and uncaught exceptions seen so far."""

    def __init__(self, width=1280, height=900, timeout=90.0):
        self.profile = tempfile.mkdtemp(prefix="chromium-profile-")
        to_browser, self._in = os.pipe()
        self._out, from_browser = os.pipe()

        def fds():  # in the child: the pipe's ends become its fds 3 and 4
            a, b = os.dup(to_browser), os.dup(from_browser)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.process = subprocess.Popen(
            [BROWSER, *FLAGS, f"--user-data-dir={self.profile}", "--remote-debugging-pipe",
             f"--window-size={width},{height}", "about:blank"],
            preexec_fn=fds, close_fds=False, stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser)
        os.close(from_browser)
        self.timeout, self._buffer, self._id, self.events = timeout, b"", 0, []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log"):
            self.call(f"{domain}.enable", session=self.session)

    def _receive(self):
        deadline = time.monotonic() + self.timeout
        while b"\0" not in self._buffer:
            left = max(0.0, deadline - time.monotonic())
            ready, _, _ = select.select([self._out], [], [], left)
            if not ready:
                raise TimeoutError("no answer from chromium")
            chunk = os.read(self._out, 1 << 20)
            if not chunk:
                raise EOFError("chromium closed its pipe")
            self._buffer += chunk
        message, _, self._buffer = self._buffer.partition(b"\0")
        return json.loads(message)

    def call(self, method, session=None, **params):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._in, json.dumps(message).encode() + b"\0")
        while True:
            reply = self._receive()
            if reply.get("id") == self._id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def open(self, url):
        self.call("Page.navigate", session=self.session, url=url)
        while not any(e.get("method") == "Page.loadEventFired" for e in self.events):
            self.events.append(self._receive())

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", session=self.session, expression=expression,
                           returnByValue=True, awaitPromise=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"])
        return result["result"].get("value")

    def screenshot(self):
        """The whole page as PNG bytes, beyond the window's height."""
        shot = self.call("Page.captureScreenshot", session=self.session, format="png",
                         captureBeyondViewport=True)
        return base64.b64decode(shot["data"])

    @property
    def errors(self):
        found = []
        for e in self.events:
            method, params = e.get("method"), e.get("params", {})
            if method == "Runtime.exceptionThrown":
                details = params["exceptionDetails"]
                found.append(f"{details.get('text')} "
                             f"{details.get('exception', {}).get('description', '')}")
            elif method == "Runtime.consoleAPICalled" and params.get("type") == "error":
                found.append(str(params.get("args")))
            elif method == "Log.entryAdded" and params["entry"].get("level") == "error":
                found.append(params["entry"].get("text"))
        return found

    def close(self):
        try:
            self.call("Browser.close")
        except (OSError, EOFError, RuntimeError, TimeoutError):
            pass
        try:
            self.process.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
        os.close(self._in)
        os.close(self._out)
        shutil.rmtree(self.profile, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
