#!/usr/bin/env python3
"""Light live viewers for bench/web-bench: N WebSocket clients of
/api/live/CAMERA that read every message, confirm the bytes ("ack N") as a
browser's player does, and decode nothing. Runs until killed; prints, each
second, the bytes all clients received.

usage: web_clients.py HOST PORT CAMERA N"""

import base64
import os
import selectors
import socket
import struct
import sys
import time


def connect(host, port, camera):
    s = socket.create_connection((host, port))
    key = base64.b64encode(os.urandom(16)).decode()
    s.sendall(("GET /api/live/%s HTTP/1.1\r\nHost: %s:%d\r\nUpgrade: websocket\r\n"
               "Connection: Upgrade\r\nSec-WebSocket-Version: 13\r\nSec-WebSocket-Key: %s\r\n\r\n"
               % (camera, host, port, key)).encode())
    head = b""
    while b"\r\n\r\n" not in head:
        chunk = s.recv(4096)
        if not chunk:
            sys.exit("the recorder closed the WebSocket handshake")
        head += chunk
    if not head.startswith(b"HTTP/1.1 101"):
        sys.exit("no WebSocket: " + head.split(b"\r\n")[0].decode())
    s.setblocking(False)
    return s, head.split(b"\r\n\r\n", 1)[1]


def frame(opcode, payload):
    mask = os.urandom(4)
    masked = bytes(b ^ mask[i % 4] for i, b in enumerate(payload))
    n = len(payload)
    header = struct.pack("!BB", 0x80 | opcode, 0x80 | n) if n < 126 else \
        struct.pack("!BBH", 0x80 | opcode, 0x80 | 126, n)
    return header + mask + masked


class Client:
    def __init__(self, host, port, camera):
        self.sock, self.buffer = connect(host, port, camera)
        self.received = 0  # payload bytes of binary messages

    def on_readable(self):
        try:
            data = self.sock.recv(1 << 20)
        except BlockingIOError:
            return
        if not data:
            sys.exit("the recorder closed a viewer")
        self.buffer += data
        pongs, ack = [], None
        while len(self.buffer) >= 2:
            b0, b1 = self.buffer[0], self.buffer[1]
            n, at = b1 & 0x7F, 2
            if n == 126:
                if len(self.buffer) < 4:
                    break
                n, at = struct.unpack("!H", self.buffer[2:4])[0], 4
            elif n == 127:
                if len(self.buffer) < 10:
                    break
                n, at = struct.unpack("!Q", self.buffer[2:10])[0], 10
            if len(self.buffer) < at + n:
                break
            payload = self.buffer[at:at + n]
            self.buffer = self.buffer[at + n:]
            opcode = b0 & 0x0F
            if opcode == 2:
                self.received += n
                ack = frame(1, b"ack %d" % self.received)  # the total: the last one says all
            elif opcode == 9:  # ping
                pongs.append(frame(10, payload))
            elif opcode == 8:
                sys.exit("the recorder closed a viewer")
        out = b"".join(pongs) + (ack or b"")
        if out:
            self.sock.setblocking(True)
            self.sock.sendall(out)
            self.sock.setblocking(False)


def main():
    host, port, camera, n = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4])
    sel = selectors.DefaultSelector()
    clients = [Client(host, port, camera) for _ in range(n)]
    for c in clients:
        sel.register(c.sock, selectors.EVENT_READ, c)
    shown = time.monotonic()
    while True:
        for key, _ in sel.select(1.0):
            key.data.on_readable()
        if time.monotonic() - shown >= 1:
            shown = time.monotonic()
            print(sum(c.received for c in clients), flush=True)


if __name__ == "__main__":
    main()
