"""The browser tests' set-up: a simulated camera (qnv-devsim streaming the
sample clip), a port where no camera answers, and the real qnv-recorder with
[web], [storage] and one user, all on 127.0.0.1 with free ports, in a
temporary folder; and a headless chromium over the DevTools protocol."""

import os
import re
import signal
import subprocess
import sys
import tempfile
import time
import shutil

import pytest

sys.path.insert(0, os.path.dirname(__file__))
from cdp import Browser, chromium_path  # noqa: E402

RECORDER = os.environ.get("QNV_RECORDER", "qnv-recorder")
DEVSIM = os.environ.get("QNV_DEVSIM", "qnv-devsim")
CLIP = os.environ.get("QNV_SAMPLE_CLIP", "")
USER, PASSWORD = "alice", "correct horse"


def _wait_for_line(path, pattern, timeout=15.0):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        with open(path, errors="replace") as f:
            m = re.search(pattern, f.read())
        if m:
            return m
        time.sleep(0.05)
    with open(path, errors="replace") as f:
        raise TimeoutError("no %r in %s:\n%s" % (pattern, path, f.read()[-3000:]))


def _free_closed_port():
    import socket
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Site:
    def __init__(self, root):
        self.root = root
        self.procs = []
        devsim_log = os.path.join(root, "devsim.log")
        args = [DEVSIM, "--port", "0", "--alarm-interval", "3000"] + (["--clip", CLIP] if CLIP else [])
        self.procs.append(subprocess.Popen(args, stdout=open(devsim_log, "w"),
                                           stderr=subprocess.STDOUT))
        self.device_port = int(_wait_for_line(devsim_log, r"listening on 127\.0\.0\.1:(\d+)").group(1))
        hashed = subprocess.run([RECORDER, "--hash-password"], input=PASSWORD + "\n",
                                capture_output=True, text=True, check=True).stdout.strip()
        self.storage = os.path.join(root, "video")
        os.mkdir(self.storage)
        config = os.path.join(root, "recorder.toml")
        with open(config, "w") as f:
            f.write("""[storage]
root = "%s"
segment_seconds = 10

[[camera]]
name = "gate"
host = "127.0.0.1"
port = %d
password_env = "QNV_PW"

[[camera]]
name = "yard"
host = "127.0.0.1"
port = %d
password_env = "QNV_PW"

[web]
port = 0

[[web.user]]
name = "%s"
password_hash = "%s"
""" % (self.storage, self.device_port, _free_closed_port(), USER, hashed))
        self.log = os.path.join(root, "recorder.log")
        env = dict(os.environ, QNV_PW="admin")
        self.procs.append(subprocess.Popen([RECORDER, "--config", config], env=env,
                                           stdout=subprocess.DEVNULL, stderr=open(self.log, "w")))
        port = _wait_for_line(self.log, r"web: serving on http://127\.0\.0\.1:(\d+)/").group(1)
        self.url = "http://127.0.0.1:%s" % port

    def stop(self):
        """Stops everything; the recorder's exit status (0 after SIGTERM; a
        sanitizer's report makes it fail)."""
        for p in reversed(self.procs):
            p.send_signal(signal.SIGTERM)
        for p in reversed(self.procs):
            try:
                p.wait(timeout=30)
            except subprocess.TimeoutExpired:
                p.kill()
                p.wait()
        return self.procs[-1].returncode


@pytest.fixture(scope="module")
def site():
    assert chromium_path(), "Debian's chromium is needed (scripts/deps installs it)"
    root = tempfile.mkdtemp(prefix="qnv-web-")
    s = Site(root)
    yield s
    status = s.stop()
    with open(s.log, errors="replace") as f:
        tail = f.read()[-4000:]
    shutil.rmtree(root, ignore_errors=True)
    assert status == 0, "qnv-recorder exited with %s:\n%s" % (status, tail)


@pytest.fixture
def browser():
    b = Browser()
    yield b
    b.close()


def log_in(browser, site):
    browser.goto(site.url + "/")
    browser.wait_for("location.pathname === '/login.html'")
    browser.eval("document.getElementById('user').value = %r" % USER)
    browser.eval("document.getElementById('password').value = %r" % PASSWORD)
    browser.eval("document.querySelector('#login button').click()")
    browser.wait_for("location.pathname === '/' && document.querySelectorAll('.tile').length === 2",
                     timeout=15)
