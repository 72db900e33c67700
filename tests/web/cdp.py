"""A headless chromium driven over the DevTools protocol on a pipe
(--remote-debugging-pipe: JSON messages ended by NUL on fds 3 and 4), so the
browser tests need no package beyond Debian's chromium and Python."""

import base64
import json
import os
import select
import shutil
import subprocess
import tempfile
import time


def chromium_path():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        path = shutil.which(name)
        if path:
            return path
    return None


class Browser:
    """One headless chromium with one page; close() ends it and its profile."""

    def __init__(self, width=1280, height=800):
        self.profile = tempfile.mkdtemp(prefix="qnv-chromium-")
        to_browser_r, self._w = os.pipe()
        self._r, from_browser_w = os.pipe()
        # The browser reads commands on fd 3 and writes answers on fd 4.
        def child_fds():
            a, b = os.dup(to_browser_r), os.dup(from_browser_w)  # out of 3 and 4's way
            os.dup2(a, 3)
            os.dup2(b, 4)
        self.proc = subprocess.Popen(
            [chromium_path(), "--headless=new", "--remote-debugging-pipe",
             "--user-data-dir=" + self.profile, "--no-first-run", "--no-default-browser-check",
             "--disable-gpu", "--no-sandbox", "--mute-audio", "--autoplay-policy=no-user-gesture-required",
             "--window-size=%d,%d" % (width, height), "about:blank"],
            pass_fds=(3, 4, to_browser_r, from_browser_w), preexec_fn=child_fds,
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self._buffer = b""
        self._id = 0
        self.events = []
        targets = self.call("Target.getTargets")["targetInfos"]
        page = next(t for t in targets if t["type"] == "page")
        self.session = self.call("Target.attachToTarget", targetId=page["targetId"],
                                 flatten=True)["sessionId"]
        self.page("Page.enable")
        self.page("Runtime.enable")
        self.page("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)

    def _send(self, message):
        data = json.dumps(message).encode() + b"\0"
        while data:
            data = data[os.write(self._w, data):]

    def _receive(self, timeout):
        end = time.monotonic() + timeout
        while b"\0" not in self._buffer:
            left = end - time.monotonic()
            # A read alone would wait for ever on a browser that stopped answering;
            # the bound is wide, for a promise that waits on a slow sanitizer build.
            if left <= 0 or not select.select([self._r], [], [], left)[0]:
                raise TimeoutError("the browser did not answer within %.0f s" % timeout)
            chunk = os.read(self._r, 1 << 20)
            if not chunk:
                raise EOFError("the browser has gone")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, session=None, timeout=120, **params):
        self._id += 1
        message = {"id": self._id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        self._send(message)
        while True:
            answer = self._receive(timeout)
            if answer.get("id") == self._id:
                if "error" in answer:
                    raise RuntimeError("%s: %s" % (method, answer["error"]))
                return answer.get("result", {})
            self.events.append(answer)

    def page(self, method, **params):
        return self.call(method, session=self.session, **params)

    def goto(self, url, settle=0.5):
        self.page("Page.navigate", url=url)
        self.wait_for("document.readyState === 'complete'", timeout=15)
        time.sleep(settle)

    def eval(self, expression):
        result = self.page("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError("%s: %s" % (expression, result["exceptionDetails"]))
        return result["result"].get("value")

    def wait_for(self, expression, timeout=10.0):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                value = self.eval(expression)
                if value:
                    return value
            except RuntimeError:
                pass
            time.sleep(0.1)
        raise TimeoutError("not true within %.0f s: %s" % (timeout, expression))

    def screenshot(self, path=None, clip=None):
        params = {"format": "png"}
        if clip:
            params["clip"] = dict(clip, scale=1)
        data = base64.b64decode(self.page("Page.captureScreenshot", **params)["data"])
        if path:
            with open(path, "wb") as f:
                f.write(data)
        return data

    def close(self):
        try:
            self._send({"id": 0, "method": "Browser.close", "params": {}})
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()
        os.close(self._w)
        os.close(self._r)
        shutil.rmtree(self.profile, ignore_errors=True)
