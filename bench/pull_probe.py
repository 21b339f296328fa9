#!/usr/bin/env python3
"""Times the reference server alone answering one pull: connects in plain, sends
"connect" and a "pull_event" of the whole view since 0, and reads the reply's bytes
as fast as they come without decoding them (no client limits, no client cost).
Prints the seconds from the request until the stream went quiet for QUIET seconds
(minus that pause) and the bytes received.
Usage: bench/pull_probe.py PORT [VIEW] [QUIET]"""
import socket
import struct
import sys
import time


def text(t):
    b = t.encode()
    return b"\x10" + struct.pack(">H", len(b)) + b


def integer(n):
    return b"\x01\x08" + struct.pack(">Q", n)


def value_map(members):
    return b"\x42" + b"".join(text(k) + v for k, v in sorted(members.items())) + b"\x40"


def header(command):
    return bytes([0x25, 0x52, 0x18, 0x14, 0x3C, command, 0, 0])


port = int(sys.argv[1])
view = int(sys.argv[2]) if len(sys.argv) > 2 else 1
quiet = float(sys.argv[3]) if len(sys.argv) > 3 else 3.0
sock = socket.create_connection(("127.0.0.1", port))
sock.sendall(header(14) + value_map({"action": text("connect"), "session": text("probe"), "view_id": integer(view)}))
sock.settimeout(10)
sock.recv(65536)  # the connect reply is small and comes whole
sock.sendall(header(6) + value_map({"action": text("pull_event"), "path": text("/"), "recursive": integer(1),
                                    "session": text("probe"), "sync_id": integer(0), "view_id": integer(view)}))
start = time.monotonic()
last = start
received = 0
sock.settimeout(quiet)
try:
    while True:
        chunk = sock.recv(1 << 20)
        if not chunk:
            break
        received += len(chunk)
        last = time.monotonic()
except socket.timeout:
    pass
print(f"pull answered in {last - start:.3f} s, {received} bytes")
