#!/usr/bin/env python3
"""qnv-recorder used the way operators use it, with real clients only, for
MINUTES: a headless chromium tab on the live grid for the whole run (reloaded
every minute), a second tab playing back and exporting, curl loops with and
without keep-alive, ffprobe RTSP viewers joining and leaving, a mosquitto
subscriber, qnv-catalogue queries, cameras frozen (SIGSTOP), killed and
restarted, and SIGHUPs. Everything runs on 127.0.0.1 in a temporary folder.

Its rules:
  - no page load fails and every API answer comes (the page never wedges);
  - after a camera is frozen, /api/cameras says down within stall_seconds +
    2 s (the library reports the stall after stall_seconds), and up again
    after it is thawed;
  - after a quiet end period, descriptors, threads and web connections are
    back to their baseline (the recorder's own "process" figures), taken
    after a warm-up in which every kind of client came once;
  - resident memory in the last third is at most the middle third's + 25 %
    + 8 MiB (skipped under the sanitizers, whose allocators hold memory);
  - the recorder stops cleanly (exit 0) within 5 s of SIGTERM.
Prints progress every 30 s and the process figures at 5 minutes and at the
end; exits 1 when a rule was broken.

Usage: operator_soak.py --minutes M --bin DIR [--clip FILE] [--keep]
"""

import argparse
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "web"))
from cdp import Browser, chromium_path  # noqa: E402

USER, PASSWORD = "operator", "soak password"
CAMERAS = ("north", "south", "east")
STALL_SECONDS = 3
QUIET_SECONDS = 25  # the end, without clients: above the web page's idle limit
WARMUP_SECONDS = 20  # every client once, before the baseline


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


def wait_for_text(path, needle, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        with open(path, errors="replace") as f:
            text = f.read()
        if needle in text:
            return text
        time.sleep(0.05)
    raise TimeoutError("no %r in %s" % (needle, path))


class Soak:
    def __init__(self, args):
        self.args = args
        self.bin = args.bin
        self.root = tempfile.mkdtemp(prefix="qnv-operator-soak-")
        self.failures = []
        self.lock = threading.Lock()
        self.stop_clients = threading.Event()
        self.devices = {}
        self.counts = {"page_loads": 0, "api_calls": 0, "curl": 0, "rtsp_viewers": 0,
                       "mqtt_messages": 0, "catalogue_queries": 0, "freezes": 0, "kills": 0,
                       "sighups": 0, "exports": 0, "plays": 0}
        self.rss = []  # (seconds since start, KiB)
        self.sanitized = bool(os.environ.get("ASAN_OPTIONS") or os.environ.get("TSAN_OPTIONS"))

    # ---- bookkeeping ----
    def fail(self, text):
        with self.lock:
            self.failures.append("%7.1f s  %s" % (time.monotonic() - self.started, text))
        print("FAIL: " + text, flush=True)

    def count(self, what, n=1):
        with self.lock:
            self.counts[what] += n

    # ---- the site ----
    def start_device(self, name, port=0):
        log = os.path.join(self.root, "devsim-%s.log" % name)
        args = [os.path.join(self.bin, "qnv-devsim"), "--port", str(port), "--alarm-interval", "4000"]
        if self.args.clip:
            args += ["--clip", self.args.clip]
        proc = subprocess.Popen(args, stdout=open(log, "w"), stderr=subprocess.STDOUT)
        text = wait_for_text(log, "listening on 127.0.0.1:", 15)
        port = int(re.search(r"listening on 127\.0\.0\.1:(\d+)", text).group(1))
        self.devices[name] = {"proc": proc, "port": port, "frozen": False}
        return port

    def start(self):
        ports = {name: self.start_device(name) for name in CAMERAS}
        self.mqtt_port = free_port()
        conf = os.path.join(self.root, "mosquitto.conf")
        with open(conf, "w") as f:
            f.write("per_listener_settings false\nlog_dest stderr\nlog_type error\n"
                    "listener %d 127.0.0.1\nallow_anonymous true\n" % self.mqtt_port)
        self.broker = subprocess.Popen(["mosquitto", "-c", conf], stdout=subprocess.DEVNULL,
                                       stderr=open(os.path.join(self.root, "mosquitto.log"), "w"))
        hashed = subprocess.run([os.path.join(self.bin, "qnv-recorder"), "--hash-password"],
                                input=PASSWORD + "\n", capture_output=True, text=True,
                                check=True).stdout.strip()
        self.storage = os.path.join(self.root, "video")
        os.mkdir(self.storage)
        self.rtsp_port = free_port()
        self.config = os.path.join(self.root, "recorder.toml")
        self.write_config(ports, hashed)
        self.log = os.path.join(self.root, "recorder.log")
        env = dict(os.environ, QNV_PW="admin")
        self.recorder = subprocess.Popen([os.path.join(self.bin, "qnv-recorder"), "--config",
                                          self.config], env=env, stdout=subprocess.DEVNULL,
                                         stderr=open(self.log, "w"))
        text = wait_for_text(self.log, "web: serving on http://127.0.0.1:", 30)
        self.web_port = int(text.split("web: serving on http://127.0.0.1:")[1].split("/")[0])
        self.url = "http://127.0.0.1:%d" % self.web_port
        self.status_path = os.path.join(self.storage, ".qnv-recorder", "recorder", "status.json")
        self.hashed = hashed
        self.subscriber = subprocess.Popen(
            ["mosquitto_sub", "-h", "127.0.0.1", "-p", str(self.mqtt_port), "-t", "soak/#", "-v"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, errors="replace")
        threading.Thread(target=self.read_subscriber, daemon=True).start()

    def write_config(self, ports, hashed):
        cameras = "".join(
            '[[camera]]\nname = "%s"\nhost = "127.0.0.1"\nport = %d\npassword_env = "QNV_PW"\n'
            "stall_seconds = %d\n\n" % (name, ports[name], STALL_SECONDS) for name in CAMERAS)
        with open(self.config, "w") as f:
            f.write('[storage]\nroot = "%s"\nsegment_seconds = 30\n\n[catalogue]\n\n'
                    "[rtsp]\nport = %d\n\n[mqtt]\nhost = \"127.0.0.1\"\nport = %d\n"
                    'prefix = "soak"\n\n%s[web]\nport = 0\n\n[[web.user]]\nname = "%s"\n'
                    'password_hash = "%s"\n'
                    % (self.storage, self.rtsp_port, self.mqtt_port, cameras, USER, hashed))

    def read_subscriber(self):
        for _ in self.subscriber.stdout:
            self.count("mqtt_messages")

    def status(self):
        try:
            with open(self.status_path) as f:
                return json.load(f)
        except (OSError, ValueError):
            return None

    def process_figures(self):
        s = self.status()
        return s.get("process", {}) if s else {}

    # ---- an API client with its own session (not the browser's) ----
    def login(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.web_port, timeout=10)
        body = json.dumps({"user": USER, "password": PASSWORD})
        conn.request("POST", "/api/login", body, {"Content-Type": "application/json"})
        r = conn.getresponse()
        r.read()
        cookie = r.getheader("Set-Cookie", "").split(";")[0]
        conn.close()
        return cookie

    def api(self, path, cookie, timeout=10):
        req = urllib.request.Request(self.url + path, headers={"Cookie": cookie})
        with urllib.request.urlopen(req, timeout=timeout) as r:
            self.count("api_calls")
            return json.loads(r.read())

    # ---- the clients ----
    def live_tab(self):
        b = Browser()
        try:
            b.goto(self.url + "/")
            b.wait_for("location.pathname === '/login.html'", timeout=15)
            b.eval("document.getElementById('user').value = %r" % USER)
            b.eval("document.getElementById('password').value = %r" % PASSWORD)
            b.eval("document.querySelector('#login button').click()")
            b.wait_for("location.pathname === '/' && document.querySelectorAll('.tile').length === %d"
                       % len(CAMERAS), timeout=30)
            self.count("page_loads")
            next_reload = time.monotonic() + 60
            while not self.stop_clients.is_set():
                if time.monotonic() >= next_reload:
                    next_reload += 60
                    try:
                        b.goto(self.url + "/")
                        b.wait_for("document.querySelectorAll('.tile').length === %d"
                                   % len(CAMERAS), timeout=30)
                        self.count("page_loads")
                    except Exception as e:  # noqa: BLE001
                        self.fail("the live grid did not load again: %s" % e)
                self.stop_clients.wait(1)
        except Exception as e:  # noqa: BLE001
            self.fail("the live tab failed: %s" % e)
        finally:
            b.close()

    def playback_tab(self):
        b = Browser()
        try:
            b.goto(self.url + "/login.html")
            b.eval("document.getElementById('user').value = %r" % USER)
            b.eval("document.getElementById('password').value = %r" % PASSWORD)
            b.eval("document.querySelector('#login button').click()")
            b.wait_for("location.pathname === '/'", timeout=30)
            self.count("page_loads")
            while not self.stop_clients.wait(random.uniform(5, 10)):
                camera = random.choice(CAMERAS)
                to_us = int(time.time() * 1e6) - 2_000_000
                from_us = to_us - 20_000_000
                script = """(async () => {
                  const s = await (await fetch('/api/session')).json();
                  const p = await fetch('/api/play?camera=%s&from=%d&to=%d&fragmented=1');
                  const size = (await p.arrayBuffer()).byteLength;
                  const e = await fetch('/api/exports', {method: 'POST',
                      headers: {'Content-Type': 'application/json', 'X-CSRF-Token': s.csrf},
                      body: JSON.stringify({camera: '%s', from: %d, to: %d})});
                  if (!e.ok) return {play: p.status, size, export: e.status};
                  const id = (await e.json()).id;
                  for (let i = 0; i < 100; ++i) {
                    const st = await (await fetch('/api/exports/' + id)).json();
                    if (st.finished) {
                      if (!st.ready) return {play: p.status, size, export: 'failed: ' + st.error};
                      const f = await fetch('/api/exports/' + id + '/file');
                      return {play: p.status, size, export: f.status,
                              bytes: (await f.arrayBuffer()).byteLength};
                    }
                    await new Promise(r => setTimeout(r, 200));
                  }
                  return {play: p.status, size, export: 'not finished in 20 s'};
                })()""" % (camera, from_us, to_us, camera, from_us, to_us)
                try:
                    r = b.eval(script)
                except Exception as e:  # noqa: BLE001
                    self.fail("playback tab: %s" % e)
                    continue
                self.count("plays")
                # A camera just frozen or killed may have nothing in the span.
                if r.get("play") not in (200, 404) or r.get("export") not in (200, 404, 400):
                    if not str(r.get("export")).startswith("failed"):
                        self.fail("playback tab: %s for %s" % (r, camera))
                if r.get("export") == 200:
                    self.count("exports")
        except Exception as e:  # noqa: BLE001
            self.fail("the playback tab failed: %s" % e)
        finally:
            b.close()

    def curl_loop(self, keep_alive):
        cookie = self.login()
        paths = ["/login.html", "/api/cameras", "/api/status", "/api/version"]
        while not self.stop_clients.wait(0.5):
            urls = [self.url + random.choice(paths) for _ in range(5)]
            args = ["curl", "-s", "-w", "%{http_code}\\n", "-m", "10", "-H", "Cookie: " + cookie]
            if not keep_alive:
                args += ["-H", "Connection: close"]
            cmd = args
            for url in urls:  # one curl, one connection kept alive across the URLs (or not)
                cmd = cmd + ["-o", "/dev/null", url]
            try:
                out = subprocess.run(cmd, capture_output=True, text=True, timeout=30).stdout
            except subprocess.TimeoutExpired:
                self.fail("curl got no answer within 30 s")
                continue
            codes = out.split()
            self.count("curl", len(codes))
            if len(codes) != len(urls) or any(c != "200" for c in codes):
                self.fail("curl (keep-alive %s): %s" % (keep_alive, " ".join(codes)[:200] or "nothing"))

    def rtsp_viewers(self):
        while not self.stop_clients.wait(random.uniform(3, 8)):
            camera = random.choice(CAMERAS)
            if self.devices[camera]["frozen"]:
                continue
            url = "rtsp://127.0.0.1:%d/%s" % (self.rtsp_port, camera)
            try:
                subprocess.run(["ffprobe", "-v", "error", "-rtsp_transport", "tcp", "-read_intervals",
                                "%+2", "-show_entries", "packet=pts", "-of", "csv", url],
                               capture_output=True, timeout=20)
            except subprocess.TimeoutExpired:
                pass  # a viewer that stays too long is cut; the gate counts it
            self.count("rtsp_viewers")

    def catalogue_queries(self):
        while not self.stop_clients.wait(random.uniform(5, 10)):
            camera = random.choice(CAMERAS)
            for cmd in (["cameras"], ["coverage", "--camera", camera], ["events", "--limit", "50"]):
                r = subprocess.run([os.path.join(self.bin, "qnv-catalogue"), self.storage] + cmd
                                   + ["--utc"], capture_output=True, text=True, timeout=60)
                self.count("catalogue_queries")
                if r.returncode != 0:
                    self.fail("qnv-catalogue %s: %s" % (" ".join(cmd), r.stderr.strip()[:300]))

    # ---- what happens to the cameras and the service ----
    def camera_state(self, cookie, camera):
        for c in self.api("/api/cameras", cookie):
            if c["name"] == camera:
                return c
        return None

    def wait_state(self, cookie, camera, want, timeout):
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            try:
                c = self.camera_state(cookie, camera)
                if c and (c["state"] == "down") == (want == "down"):
                    return c
            except Exception:  # noqa: BLE001
                pass
            time.sleep(0.1)
        return None

    def freeze(self, cookie):
        camera = random.choice(CAMERAS)
        d = self.devices[camera]
        if not self.wait_state(cookie, camera, "up", 30):
            return
        d["proc"].send_signal(signal.SIGSTOP)
        d["frozen"] = True
        frozen_at = time.monotonic()
        self.count("freezes")
        c = self.wait_state(cookie, camera, "down", STALL_SECONDS + 2 + 1)
        if c is None:
            self.fail("camera %s frozen %.0f s ago is not down (stall_seconds %d)"
                      % (camera, time.monotonic() - frozen_at, STALL_SECONDS))
        time.sleep(random.uniform(2, 8))
        d["proc"].send_signal(signal.SIGCONT)
        d["frozen"] = False
        if not self.wait_state(cookie, camera, "up", 45):
            self.fail("camera %s thawed is not up again within 45 s" % camera)

    def kill_and_restart(self, cookie):
        camera = random.choice(CAMERAS)
        d = self.devices[camera]
        d["proc"].kill()
        d["proc"].wait()
        self.count("kills")
        if not self.wait_state(cookie, camera, "down", 5):
            self.fail("camera %s killed is not down within 5 s" % camera)
        time.sleep(random.uniform(1, 4))
        self.start_device(camera, d["port"])
        if not self.wait_state(cookie, camera, "up", 45):
            self.fail("camera %s restarted is not up again within 45 s" % camera)

    def sighup(self):
        self.recorder.send_signal(signal.SIGHUP)
        self.count("sighups")

    # ---- the run ----
    def start_clients(self):
        self.stop_clients = threading.Event()
        clients = [threading.Thread(target=self.live_tab), threading.Thread(target=self.playback_tab),
                   threading.Thread(target=self.curl_loop, args=(True,)),
                   threading.Thread(target=self.curl_loop, args=(False,)),
                   threading.Thread(target=self.rtsp_viewers),
                   threading.Thread(target=self.catalogue_queries)]
        for t in clients:
            t.start()
        return clients

    def stop_all_clients(self, clients):
        self.stop_clients.set()
        for t in clients:
            t.join(timeout=120)

    def settle(self, reference, seconds):
        """Waits until the figures are back to reference (or are quiet, with
        no reference), at most `seconds`; returns the last figures."""
        until = time.monotonic() + seconds
        now = self.process_figures()
        while time.monotonic() < until:
            if reference is not None and self.back_to(reference, now):
                break
            if reference is None and now and now.get("web_connections", 1) == 0 and \
                    now.get("rtsp_clients", 1) == 0:
                time.sleep(3)  # one status rewrite more
                return self.process_figures()
            time.sleep(1)
            now = self.process_figures()
        return now

    def run(self):
        self.started = time.monotonic()
        total = self.args.minutes * 60
        self.start()
        cookie = self.login()
        for camera in CAMERAS:
            if not self.wait_state(cookie, camera, "up", 30):
                self.fail("camera %s never came up" % camera)
        # A warm-up in which every kind of client comes once: what the first
        # of them opens for good (catalogue readers, snapshot folders, a few
        # finished exports) is in the baseline, taken once they are gone.
        self.stop_all_clients(self.start_clients_for(WARMUP_SECONDS))
        baseline = self.settle(None, QUIET_SECONDS)
        print("baseline after the warm-up: %s" % json.dumps(baseline), flush=True)
        clients = self.start_clients()
        active_end = self.started + total - QUIET_SECONDS
        next_progress = time.monotonic() + 30
        at_five = None
        while time.monotonic() < active_end:
            action = random.random()
            try:
                if action < 0.4:
                    self.freeze(cookie)
                elif action < 0.6:
                    self.kill_and_restart(cookie)
                elif action < 0.75:
                    self.sighup()
                    time.sleep(2)
                else:
                    time.sleep(random.uniform(3, 8))
            except Exception as e:  # noqa: BLE001
                self.fail("the operator's loop: %s" % e)
            p = self.process_figures()
            elapsed = time.monotonic() - self.started
            if p.get("rss_kib"):
                self.rss.append((elapsed, p["rss_kib"]))
            if at_five is None and elapsed >= 300:
                at_five = p
                print("at 5 minutes: %s" % json.dumps(p), flush=True)
            if time.monotonic() >= next_progress:
                next_progress += 30
                print("%6.0f s  %s  %s" % (elapsed, json.dumps(p), json.dumps(self.counts)), flush=True)
        self.stop_all_clients(clients)
        for d in self.devices.values():
            if d["frozen"]:
                d["proc"].send_signal(signal.SIGCONT)
        # The quiet end: every client gone; what they held must be let go, at
        # once for a client that left, after the idle limit (20 s) at most.
        end = self.settle(baseline, max(QUIET_SECONDS, self.started + total - time.monotonic()))
        print("at the end: %s" % json.dumps(end), flush=True)
        self.judge(baseline, end)
        self.stop()
        return self.report(baseline, at_five, end)

    def start_clients_for(self, seconds):
        clients = self.start_clients()
        time.sleep(seconds)
        return clients

    @staticmethod
    def back_to(baseline, end):
        return bool(end) and all(end.get(k, 0) <= baseline.get(k, 0) + slack for k, slack in
                                 (("fds", 8), ("threads", 4), ("web_connections", 0),
                                  ("rtsp_clients", 0)))

    def judge(self, baseline, end):
        if not baseline or not end:
            self.fail("no process figures in status.json")
            return
        # Descriptors and threads may differ by what a reconnecting camera
        # holds for a moment; web connections and RTSP clients go to zero.
        for key, slack in (("fds", 8), ("threads", 4)):
            if end.get(key, 0) > baseline.get(key, 0) + slack:
                self.fail("%s: %s at the end against %s at the start" % (key, end.get(key),
                                                                         baseline.get(key)))
        for key in ("web_connections", "rtsp_clients"):
            if end.get(key, 0) > baseline.get(key, 0):
                self.fail("%s: %s left after the clients went" % (key, end.get(key)))
        if self.sanitized or len(self.rss) < 9:
            return
        n = len(self.rss)
        middle = [k for _, k in self.rss[n // 3:2 * n // 3]]
        last = [k for _, k in self.rss[2 * n // 3:]]
        limit = max(middle) * 1.25 + 8 * 1024
        if max(last) > limit:
            self.fail("resident memory grew: %d KiB in the last third, limit %d KiB"
                      % (max(last), limit))

    def stop(self):
        self.recorder.send_signal(signal.SIGTERM)
        t = time.monotonic()
        try:
            code = self.recorder.wait(timeout=30)
        except subprocess.TimeoutExpired:
            self.recorder.kill()
            code = self.recorder.wait()
        took = time.monotonic() - t
        if code != 0:
            self.fail("qnv-recorder exited with %s" % code)
        if took > 5:
            self.fail("qnv-recorder took %.1f s to stop" % took)
        for p in [d["proc"] for d in self.devices.values()] + [self.subscriber, self.broker]:
            p.terminate()
            try:
                p.wait(timeout=10)
            except subprocess.TimeoutExpired:
                p.kill()

    def report(self, baseline, at_five, end):
        print("counts: %s" % json.dumps(self.counts))
        print("process at the start: %s" % json.dumps(baseline))
        if at_five:
            print("process at 5 minutes: %s" % json.dumps(at_five))
        print("process at the end: %s" % json.dumps(end))
        if self.failures:
            print("%d failure(s):" % len(self.failures))
            for f in self.failures:
                print("  " + f)
            with open(self.log, errors="replace") as f:
                print("recorder log (last lines):\n" + f.read()[-4000:])
        if self.args.keep or self.failures:
            print("files kept in " + self.root)
        else:
            shutil.rmtree(self.root, ignore_errors=True)
        print("operator soak: %s" % ("FAILED" if self.failures else "passed"))
        return 1 if self.failures else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--minutes", type=float, default=30)
    parser.add_argument("--bin", required=True, help="folder of qnv-recorder, qnv-devsim, ...")
    parser.add_argument("--clip", default="")
    parser.add_argument("--keep", action="store_true", help="keep the run's folder")
    args = parser.parse_args()
    if not chromium_path():
        print("Debian's chromium is needed (scripts/deps installs it)")
        return 2
    return Soak(args).run()


if __name__ == "__main__":
    sys.exit(main())
