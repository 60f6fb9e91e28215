#!/usr/bin/env python3
"""Stands in for the desktop during the HTTP benchmark: connects to the console link on
127.0.0.1, runs the handshake and reads every notice until it is killed."""
import os
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
    s.settimeout(None)
    while s.recv(1 << 16):
        pass


if __name__ == "__main__":
    main()
