#!/usr/bin/python3
"""One peer cannot flood the log: DHCP, TFTP and SYSLOG against a flood from one address.

Re-runs itself in a private network and mount namespace, starts the program there with the
DHCP server, the TFTP server and the SYSLOG collector, and for each row of a table floods one
service from one address with requests it refuses (or messages it records) while another client
uses the same service. The flooding peer's lines in the log (for SYSLOG: its rows in the desktop's
list, read on the console link) stay within their budget a second and the dropped ones are
counted in a "lines suppressed" line; the other client is served and its lines are all written;
peer text reaches the log escaped. Needs root; exits 77 (skipped) without it.
Usage: peer_lines_test.py <path to nimbo_headless>
"""
import os
import queue
import re
import signal
import socket
import struct
import subprocess
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from console_wire_test import connect, handshake, next_frame, start_traced  # noqa: E402
from netns import main_with_work_folder, sh, wait_udp_ports  # noqa: E402  (console_wire_test puts it on the path)

FAILURES = []
SERVER, FLOODER, OTHER = "10.77.0.1", "10.77.0.2", "10.77.0.3"
DHCP_LINES = 50         # kPeerLinesPerSecond
TFTP_LINES = 200        # kTftpClientLinesPerSecond: a booting client fetches many files a second
SYSLOG_ROWS_PER_SENDER = 200  # kSyslogRowsPerSender
NOTICE_SYSLOG_ROW = 107
FLOOD_SECONDS = 3.0
WORK = None


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        FAILURES.append(what)


class Rows:
    """Reads the console link in the background and keeps the SYSLOG rows (sender, text)."""

    def __init__(self, port):
        self.sock = connect(port)
        if handshake(self.sock) != 1:
            raise RuntimeError("console handshake failed")
        self.rows = []
        self.lock = threading.Lock()
        threading.Thread(target=self.reader, daemon=True).start()

    def reader(self):
        try:
            while True:
                msg_id, payload = next_frame(self.sock, timeout=600)
                if msg_id == NOTICE_SYSLOG_ROW and len(payload) > 16:
                    sender = payload[:16].split(b"\0")[0].decode()
                    text = payload[16:].split(b"\0")[0].decode(errors="replace")
                    with self.lock:
                        self.rows.append((sender, text))
        except Exception:
            pass

    def of(self, pred):
        with self.lock:
            return [r for r in self.rows if pred(r)]


# ---- the flooding peers: each sends as fast as the service takes it, from FLOODER ----

def dhcp_packet(mac, hlen=6, ciaddr="0.0.0.0", sname=b"", xid=0x1234, msg_type=1):
    pkt = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", 1, 1, hlen, 0, xid, 0, 0, socket.inet_aton(ciaddr),
                      b"\0" * 4, b"\0" * 4, b"\0" * 4, mac.ljust(16, b"\0"), sname.ljust(64, b"\0"), b"\0" * 128)
    pkt += b"\x63\x82\x53\x63" + bytes([53, 1, msg_type, 60, 9]) + b"PXEClient" + bytes([93, 2, 0, 0, 255])
    return pkt.ljust(300, b"\0")


def flood_udp(port, make, rate):
    """Sends make(n) to the port, rate datagrams a second: a pace the service keeps up with, so
    that its own bounds are seen rather than the kernel's."""
    def run(stop, sent):
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((FLOODER, 0))
        s.setblocking(False)
        n, start = 0, time.time()
        while not stop.is_set():
            while n < (time.time() - start) * rate:
                try:
                    s.sendto(make(n), (SERVER, port))
                except BlockingIOError:
                    break
                n += 1
            time.sleep(0.005)
        sent[0] = n
        s.close()
    return run


# ---- the other clients, served during the flood ----

def dhcp_client():
    """A DISCOVER of a client that has its address (the offer comes back to it by unicast)."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((OTHER, 68))
    s.settimeout(3)
    s.sendto(dhcp_packet(bytes.fromhex("020000aabb0a"), ciaddr=OTHER, xid=0x7777), (SERVER, 67))
    try:
        data = s.recv(4096)
    except socket.timeout:
        data = b""
    s.close()
    return len(data) > 240 and data[0] == 2 and data[4:8] == struct.pack("!I", 0x7777)


def tftp_client():
    out = os.path.join(WORK, "fetched.bin")
    if os.path.exists(out):
        os.unlink(out)
    r = subprocess.run(["curl", "-s", "--max-time", "20", "--interface", OTHER, "-o", out,
                        "tftp://%s/good.bin" % SERVER], capture_output=True, timeout=30)
    return r.returncode == 0 and os.path.exists(out) and open(out, "rb").read() == GOOD_FILE


def syslog_client():
    r = subprocess.run(["logger", "-d", "-n", SERVER, "-P", "514", "-t", "beside", "the other sender speaks"],
                       capture_output=True, timeout=20)
    return r.returncode == 0


GOOD_FILE = bytes(range(256)) * 40


# The table: what floods the service, how its lines are told apart in the log, which client the
# suppressed line names, and the client served beside it.
CASES = [
    # name, port, flood datagram, datagrams a second, lines a second of one peer, flooder's
    # lines and how many each datagram writes at least, suppressed client, other client,
    # other's lines
    ("DHCP datagrams too short for a request", 67, lambda n: b"x", 2000, DHCP_LINES,
     "DHCP Err: Recv message truncated; length was 1", 1, "Client [%s]" % FLOODER,
     dhcp_client, "02:00:00:AA:BB:0A"),
    ("DHCP requests with a bad hardware address length", 67,
     lambda n: dhcp_packet(bytes.fromhex("020000dead01"), hlen=17, xid=n), 2000, DHCP_LINES,
     "Malformed request from MAC", 1, "Client [02:00:00:DE:AD:01]",
     dhcp_client, "02:00:00:AA:BB:0A"),
    ("DHCP requests for another server, with control bytes in its name", 67,
     lambda n: dhcp_packet(bytes.fromhex("020000dead02"), sname=b"far\x1b[2Jhost\x07", xid=n), 2000, DHCP_LINES,
     "Packet addressed to far\\027[2Jhost\\007", 1, "Client [02:00:00:DE:AD:02]",
     dhcp_client, "02:00:00:AA:BB:0A"),
    ("TFTP reads of missing files, with control bytes in their names", 69,
     lambda n: b"\0\1" + b"no\x1b]0;file" + str(n).encode() + b"\0octet\0", 800, TFTP_LINES,
     "no\\027]0;file", 4, "Client [%s]" % FLOODER,
     tftp_client, "Read file <good.bin>"),
]


def log_text():
    try:
        with open(os.path.join(WORK, "nimbo.log"), "rb") as f:
            return f.read()
    except FileNotFoundError:
        return b""


def run_flood(make_sender, beside, rounds=3):
    """Floods for FLOOD_SECONDS while the other client is served a few times; returns how many
    datagrams went out, how often the other client was served and the seconds the flood took."""
    stop, sent = threading.Event(), [0]
    t = threading.Thread(target=make_sender, args=(stop, sent))
    start = time.time()
    t.start()
    served = 0
    try:
        for _ in range(rounds):
            time.sleep(FLOOD_SECONDS / (rounds + 1))
            served += beside()
    finally:
        while time.time() - start < FLOOD_SECONDS:
            time.sleep(0.05)
        stop.set()
        t.join()
    return sent[0], served, time.time() - start


def test_log_lines(name, port, datagram, rate, per_peer, flooder_line, each, suppressed, beside, beside_line):
    before = len(log_text())
    start = time.time()
    sent, served, _ = run_flood(flood_udp(port, datagram, rate), beside)
    time.sleep(2.5)  # what the service still had queued is handled
    beside()  # the flooder's budget is whole again: the client's line comes after the count
    time.sleep(0.5)
    seconds = time.time() - start
    text = log_text()[before:]
    lines = text.split(b"\n")
    flooded = [l for l in lines if flooder_line.encode() in l]
    bound = (int(seconds) + 2) * per_peer
    check(sent * each > 2 * bound, "%s: the flood is a flood (%d datagrams)" % (name, sent))
    check(0 < len(flooded) <= bound, "%s: the flooder's lines are bounded (%d of %d datagrams, at most %d)"
          % (name, len(flooded), sent, bound))
    check(any(b"lines suppressed. " + suppressed.encode() in l for l in lines),
          "%s: the dropped lines are counted (%s)" % (name, suppressed))
    check(served == 3, "%s: the other client is served during the flood (%d of 3)" % (name, served))
    check(sum(beside_line.encode() in l for l in lines) >= 4,
          "%s: the other client's lines are written (%d)" % (name, sum(beside_line.encode() in l for l in lines)))
    check(b"\x1b" not in text and b"\x07" not in text, "%s: no control byte of a peer reaches the log" % name)


def test_syslog_rows(rows):
    """SYSLOG records what peers send: the file gets every message, the desktop's list a bounded
    number a second of one sender; another sender's messages are all shown."""
    before = len(log_text())
    file_before = os.path.getsize(os.path.join(WORK, "sys.log"))
    start = time.time()
    sent, served, _ = run_flood(flood_udp(514, lambda n: b"<13>flood message %d" % n, 4000), syslog_client)
    time.sleep(2.5)
    seconds = time.time() - start
    shown = rows.of(lambda r: r[0] == FLOODER)
    bound = (int(seconds) + 2) * SYSLOG_ROWS_PER_SENDER
    with open(os.path.join(WORK, "sys.log"), "rb") as f:
        f.seek(file_before)
        filed = f.read().count(b"flood message")
    check(sent > 2 * bound, "SYSLOG: the flood is a flood (%d messages)" % sent)
    check(0 < len(shown) <= bound, "SYSLOG: the flooder's rows in the list are bounded (%d of %d, at most %d)"
          % (len(shown), sent, bound))
    check(filed > bound, "SYSLOG: the file keeps recording the flood (%d lines)" % filed)
    check(served == 3, "SYSLOG: logger beside the flood sends (%d of 3)" % served)
    other = rows.of(lambda r: "the other sender speaks" in r[1])
    check(len(other) == 3, "SYSLOG: the other sender's messages are all shown (%d of 3)" % len(other))
    text = log_text()[before:]
    check(b"SYSLOG Inf: \xe2\x80\xa6 " in text and b"lines suppressed. Client [%s]" % FLOODER.encode() in text,
          "SYSLOG: the rows left out of the list are counted in the log")


def inner(nimbo, work):
    global WORK
    WORK = work
    for cmd in ("ip link add d0 type veth peer name d0p",
                "ip addr add %s/24 dev d0" % SERVER, "ip addr add %s/24 dev d0" % FLOODER,
                "ip addr add %s/24 dev d0" % OTHER, "ip link set d0 up", "ip link set d0p up"):
        sh(cmd)
    root = os.path.join(WORK, "root")
    os.mkdir(root)
    with open(os.path.join(root, "good.bin"), "wb") as f:
        f.write(GOOD_FILE)
    ini = os.path.join(WORK, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=13\nNIMBO_LogFile=%s/nimbo.log\n" % WORK)
        f.write("[TFTP]\nTFTP_RootDirectory=%s\n" % root)
        f.write("[SYSLOG]\nSYSLOG_SaveLogToFile=%s/sys.log\n" % WORK)
        f.write("[DHCP]\nDHCP_IP_Pool=10.77.0.100\nDHCP_PoolSize=20\nDHCP_IP_Mask=255.255.255.0\n"
                "DHCP_BootFile=boot.0\nDHCP_LeaseTime=60\n")
    proc, port, trace = start_traced(nimbo, ini, os.path.join(WORK, "run"))
    try:
        check(port is not None, "the console listens")
        rows = Rows(port)
        wait_udp_ports((67, 69, 514), tries=100)  # the rows are up once their ports are bound
        # The DHCP thread pauses after loading its settings: it reads requests once it logs a
        # datagram too short for one (waited for, at most 30 s).
        probe = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        probe.bind((SERVER, 0))
        deadline = time.time() + 30
        while time.time() < deadline and b"DHCP Err: Recv message truncated" not in log_text():
            probe.sendto(b"x", (SERVER, 67))
            time.sleep(0.2)
        probe.close()
        check(b"DHCP Err: Recv message truncated" in log_text(), "the DHCP thread reads requests")
        for case in CASES:
            test_log_lines(*case)
        test_syslog_rows(rows)
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    check(proc.returncode == 0, "the program ends cleanly on SIGTERM (%s)" % proc.returncode)
    print("%d failures" % len(FAILURES))
    return 1 if FAILURES else 0


def main():
    return main_with_work_folder(__file__, inner, "NIMBO_PEERS_WORK", "nimbo-peers-", 400)


if __name__ == "__main__":
    sys.exit(main())
