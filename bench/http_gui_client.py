#!/usr/bin/env python3
"""Stands in for the desktop during the HTTP benchmark: connects to the console link on
127.0.0.1, runs the handshake and reads every notice until it is killed."""
import os
import signal
import socket
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "_services"))
import console_wire_test as wire  # noqa: E402


def main():
    port = int(sys.argv[1]) if len(sys.argv) > 1 else 1994
    for _ in range(100):
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=2)
            break
        except OSError:
            time.sleep(0.1)
    else:
        sys.exit("no console link")
    if wire.handshake(s) != 1:
        sys.exit("handshake refused")
    print("connected", flush=True)
    notices = 0

    def report(*_):
        print("request notices: %d" % notices, flush=True)
        sys.exit(0)

    signal.signal(signal.SIGTERM, report)
    s.settimeout(None)
    # Read in large chunks and walk the frames in them (2-byte length, then the notice), so
    # that the stand-in keeps up with the program and does not set the pace itself.
    pending = b""
    while True:
        chunk = s.recv(1 << 20)
        if not chunk:
            report()
        data = pending + chunk
        at, end = 0, len(data)
        while end - at >= 6:
            n = (data[at] << 8) | data[at + 1]
            if end - at < 2 + n:
                break
            if data[at + 2] == 116 and data[at + 3] == 0 and data[at + 4] == 0 and data[at + 5] == 0:
                notices += 1
            at += 2 + n
        pending = data[at:]


if __name__ == "__main__":
    main()
