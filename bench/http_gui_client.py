#!/usr/bin/env python3
"""Stands in for the desktop during the HTTP benchmark: connects to the console link on
127.0.0.1, runs the handshake and reads every notice until it is killed."""
import os
import signal
import socket
import struct
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
    while True:
        data = wire.recv_block(s, None)
        if struct.unpack("<I", data[:4])[0] == 116:
            notices += 1


if __name__ == "__main__":
    main()
