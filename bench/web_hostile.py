#!/usr/bin/env python3
"""Hostile clients of the recorder's web page, for bench/web-hostile-bench.

usage: web_hostile.py leavers PORT N        N keep-alive requests, each on its
                                            own connection the client then leaves
       web_hostile.py idle PORT SECONDS     one kept-alive connection reused
                                            after SECONDS: answered, closed or silent
       web_hostile.py liars PORT CAMERA N SECONDS PID
                                            N live viewers with a 4 KiB receive
                                            buffer that never read and confirm
                                            bytes they guess; prints the
                                            recorder's (PID) memory each second
       web_hostile.py tlsflood PORT CAFILE SECONDS
                                            40 silent TCP connections a second to
                                            the TLS port, each held 6 s, while an
                                            HTTPS client asks every 200 ms
       web_hostile.py tlsleavers PORT CAFILE N   as leavers, over TLS"""

import os
import socket
import ssl
import threading
import sys
import time


def request(port, path, keep=True):
    return ("GET %s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\n%s\r\n"
            % (path, port, "" if keep else "Connection: close\r\n")).encode()


def answer(s, timeout):
    """One answer's status on a kept-alive connection; 0 when closed, -1 when silent."""
    s.settimeout(timeout)
    data = b""
    try:
        while b"\r\n\r\n" not in data:
            chunk = s.recv(65536)
            if not chunk:
                return 0
            data += chunk
    except socket.timeout:
        return -1
    except ConnectionError:
        return 0
    head, body = data.split(b"\r\n\r\n", 1)
    length = 0
    for line in head.split(b"\r\n")[1:]:
        name, _, value = line.partition(b":")
        if name.strip().lower() == b"content-length":
            length = int(value)
    while len(body) < length:
        chunk = s.recv(65536)
        if not chunk:
            break
        body += chunk
    return int(head.split(b" ")[1])


def leavers(port, n):
    start = time.time()
    failed = 0
    for _ in range(n):
        s = socket.create_connection(("127.0.0.1", port))
        s.sendall(request(port, "/login.html"))
        if answer(s, 5) != 200:
            failed += 1
        s.close()
    print("%d requests in %.1f s, %d unanswered" % (n, time.time() - start, failed))


def idle(port, seconds):
    s = socket.create_connection(("127.0.0.1", port))
    s.sendall(request(port, "/login.html"))
    print("first answer:", answer(s, 5))
    time.sleep(seconds)
    try:
        s.sendall(request(port, "/login.html"))
        status = answer(s, 10)
    except ConnectionError:
        status = 0
    print("after %.0f s idle:" % seconds,
          {0: "closed by the server", -1: "SILENT (no answer in 10 s)"}.get(status, "answered %d" % status))


def rss_mib(pid):
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0


def liars(port, camera, n, seconds, pid):
    viewers = []
    for _ in range(n):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.connect(("127.0.0.1", port))
        s.sendall(("GET /api/live/%s HTTP/1.1\r\nHost: 127.0.0.1:%d\r\nUpgrade: websocket\r\n"
                   "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
                   "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n\r\n" % (camera, port)).encode())
        s.setblocking(False)
        viewers.append(s)
    print("before: %.0f MiB" % rss_mib(pid))
    claimed = 0
    start = time.time()
    peak = 0.0
    while time.time() - start < seconds:
        claimed += 100000  # 100 kB more every 100 ms: about what the camera sends
        text = ("ack %d" % claimed).encode()
        frame = bytes([0x81, 0x80 | len(text)]) + b"\0\0\0\0" + text
        for s in viewers:
            try:
                s.send(frame)
            except OSError:
                pass
        time.sleep(0.1)
        if int((time.time() - start) * 10) % 10 == 0:
            peak = max(peak, rss_mib(pid))
            print("%4.0f s: %.0f MiB" % (time.time() - start, rss_mib(pid)), flush=True)
    print("peak %.0f MiB with %d lying viewers" % (peak, n))
    for s in viewers:
        s.close()


def tls_context(cafile):
    context = ssl.create_default_context(cafile=cafile)
    context.check_hostname = False
    return context


def tlsflood(port, cafile, seconds):
    stop = time.time() + seconds
    held = []

    def flood():
        while time.time() < stop:
            held.append((time.time(), socket.create_connection(("127.0.0.1", port))))
            while held and time.time() - held[0][0] > 6:
                held.pop(0)[1].close()
            time.sleep(0.025)
        for _, s in held:
            s.close()

    flooder = threading.Thread(target=flood)
    flooder.start()
    time.sleep(2)  # the flood under way
    context = tls_context(cafile)
    fresh, kept = [], []
    failed = 0
    session = context.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10))
    while time.time() < stop - 0.5:
        asked = time.time()
        try:  # a new connection and handshake
            with socket.create_connection(("127.0.0.1", port), timeout=10) as raw:
                with context.wrap_socket(raw) as s:
                    s.sendall(request(port, "/api/version", keep=False))
                    if answer(s, 10) == 200:
                        fresh.append(time.time() - asked)
                    else:
                        failed += 1
        except OSError:
            failed += 1
        asked = time.time()
        try:  # a browser's kept-alive connection
            session.sendall(request(port, "/api/version"))
            if answer(session, 10) == 200:
                kept.append(time.time() - asked)
            else:
                failed += 1
        except OSError:
            failed += 1
        time.sleep(0.2)
    flooder.join()
    for name, times in (("new connection", fresh), ("kept-alive", kept)):
        times.sort()
        if times:
            print("HTTPS during the flood, %s: %d answered; p50 %.1f ms, p90 %.1f ms, max %.1f ms"
                  % (name, len(times), 1000 * times[len(times) // 2],
                     1000 * times[int(len(times) * 0.9)], 1000 * times[-1]))
    print("HTTPS during the flood: %d failed" % failed)


def tlsleavers(port, cafile, n):
    context = tls_context(cafile)
    start = time.time()
    failed = 0
    for _ in range(n):
        raw = socket.create_connection(("127.0.0.1", port))
        s = context.wrap_socket(raw)
        s.sendall(request(port, "/login.html"))
        if answer(s, 5) != 200:
            failed += 1
        raw.close()
    print("%d TLS requests in %.1f s, %d unanswered" % (n, time.time() - start, failed))


if __name__ == "__main__":
    what = sys.argv[1] if len(sys.argv) > 1 else ""
    if what == "leavers":
        leavers(int(sys.argv[2]), int(sys.argv[3]))
    elif what == "idle":
        idle(int(sys.argv[2]), float(sys.argv[3]))
    elif what == "liars":
        liars(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), float(sys.argv[5]), int(sys.argv[6]))
    elif what == "tlsflood":
        tlsflood(int(sys.argv[2]), sys.argv[3], float(sys.argv[4]))
    elif what == "tlsleavers":
        tlsleavers(int(sys.argv[2]), sys.argv[3], int(sys.argv[4]))
    else:
        sys.exit(__doc__)
