#!/usr/bin/python3
"""The DNS forwarder, SNTP server and SYSLOG collector against real clients.

Re-runs itself in a private network and mount namespace with two veth pairs, a hosts
file and a resolver file bound over the system's, starts the program there and asks it with
dig, host, sntp, chronyd -Q and logger; a console client checks the GUI notices. Needs root;
exits 77 (skipped) without it. Usage: udp_live_test.py <path to nimbo_headless>
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

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from console_wire_test import connect, handshake, next_frame, start_traced  # noqa: E402
from netns import main_with_work_folder, sh, wait_udp_ports  # noqa: E402  (console_wire_test puts it on the path)

FAILURES = []
PASSED = []
SERVER, CLIENT = "10.77.0.1", "10.77.0.2"      # interface d0, 10.77.0.0/24
OTHER, OTHER_CLIENT = "10.88.0.1", "10.88.0.2"  # interface d1, 10.88.0.0/24
HOSTS = ("127.0.0.1 localhost\n"
         "%s boot.test\n%s boot.test\n"
         "10.99.0.5 far.test\n" % (OTHER, SERVER))
NOTICE_SYSLOG_ROW, NOTICE_DNS_ENTRY, NOTICE_SNTP_CLIENT = 107, 112, 117


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    (PASSED if cond else FAILURES).append(what)


def run(*cmd, timeout=20):
    try:
        r = subprocess.run(cmd, timeout=timeout, capture_output=True, text=True, errors="replace")
        return r.returncode, r.stdout + r.stderr
    except subprocess.TimeoutExpired as e:
        return -1, "timed out: %s" % e


class Notices:
    """Reads the console link in the background and keeps every frame."""

    def __init__(self, port):
        self.sock = connect(port)
        if handshake(self.sock) != 1:
            raise RuntimeError("console handshake failed")
        self.frames = queue.Queue()
        self.seen = []
        threading.Thread(target=self.reader, daemon=True).start()

    def reader(self):
        try:
            while True:
                self.frames.put(next_frame(self.sock, timeout=600))
        except Exception:
            pass

    def wait(self, msg_id, pred, timeout=5):
        deadline = time.time() + timeout
        while True:
            for fid, payload in self.seen:
                if fid == msg_id and pred(payload):
                    return payload
            left = deadline - time.time()
            if left <= 0:
                return None
            try:
                self.seen.append(self.frames.get(timeout=left))
            except queue.Empty:
                return None


def cstr(b, start=0, size=None):
    b = b[start:start + size] if size else b[start:]
    return b.split(b"\0")[0].decode(errors="replace")


def dig(name, source=CLIENT, server=SERVER, qtype="A"):
    return run("dig", "+noedns", "+tries=1", "+time=2", "-b", source, "@" + server, "-t", qtype, name)


def answer_of(out):
    m = re.search(r"IN\s+A\s+(\d+\.\d+\.\d+\.\d+)", out)
    return m.group(1) if m else None


def test_dns(notices):
    cases = [("boot.test", CLIENT, SERVER, "A", SERVER),
             ("boot.test", OTHER_CLIENT, SERVER, "A", OTHER),
             ("BOOT.test", CLIENT, SERVER, "NS", SERVER),
             ("far.test", CLIENT, SERVER, "A", "10.99.0.5")]
    for name, source, server, qtype, want in cases:
        rc, out = dig(name, source, server, qtype)
        what = "dig %s %s from %s" % (qtype, name, source)
        check(rc == 0 and "status: NOERROR" in out and answer_of(out) == want,
              "%s answers %s (%s)" % (what, want, answer_of(out)))
        check(re.search(r"flags: qr rd ra;", out) is not None, what + ": flags qr rd ra, no aa")
        check(re.search(r"\b300\s+IN\s+A\b", out) is not None, what + ": TTL 300")
        rec = notices.wait(NOTICE_DNS_ENTRY, lambda p, n=name, w=want: len(p) == 1089 and cstr(p, 0, 1025) == n
                           and cstr(p, 1025, 16) == w)
        check(rec is not None, what + ": notice 112 names %s = %s" % (name, want))

    # From loopback no result is in 127/8: the resolver's first one.
    first = run("getent", "ahostsv4", "boot.test")[1].split()[0]
    rc, out = dig("boot.test", "127.0.0.1", "127.0.0.1")
    check(answer_of(out) == first, "dig from loopback gets the first address %s (%s)" % (first, answer_of(out)))

    # A name the resolver does not know: ANCOUNT 0 and RCODE 4.
    rc, out = dig("nosuch.test")
    check("status: NOTIMP" in out and "ANSWER: 0" in out, "dig nosuch.test gets RCODE 4 and no answer")
    # With EDNS (ARCOUNT 1) and for AAAA there is no reply at all.
    rc, out = run("dig", "+edns=0", "+tries=1", "+time=1", "@" + SERVER, "boot.test")
    check("timed out" in out or "no servers could be reached" in out, "a query with EDNS gets no reply")
    rc, out = dig("boot.test", qtype="AAAA")
    check("no servers could be reached" in out or "timed out" in out, "an AAAA query gets no reply")

    rc, out = run("host", "-t", "A", "boot.test", SERVER)
    check(rc == 0 and "boot.test has address %s" % SERVER in out, "host boot.test: %s" % out.strip().splitlines()[-1:])
    rc, out = run("host", "-W", "2", "-t", "A", "nosuch.test", SERVER)
    check(rc != 0 and "NOTIMP" in out, "host nosuch.test: not found, NOTIMP")


def ntp_fields(data):
    return struct.unpack("!BBbbIII8s8sII8s", data[:48])


def test_sntp(notices):
    rc, out = run("sntp", "-t", "3", SERVER, timeout=20)
    check(rc == 0 and re.search(r"[+-]\d+\.\d+", out) is not None, "sntp gets the time: %s" % out.strip()[-100:])
    check(notices.wait(NOTICE_SNTP_CLIENT, lambda p: len(p) == 16 and cstr(p) in (SERVER, CLIENT)) is not None,
          "sntp: notice 117 names the client")

    rc, out = run("chronyd", "-Q", "-t", "10", "-f", "/dev/null", "server %s iburst maxsamples 1" % SERVER,
                  "pidfile %s" % os.path.join(WORK, "chronyd.pid"), timeout=25)
    check(rc == 0 and "System clock wrong by" in out, "chronyd -Q gets the time: %s" % out.strip()[-120:])

    # A version 4 client request with a zero transmit time is answered, as VN 3.
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(2)
    s.bind((CLIENT, 0))
    s.sendto(b"\x23" + b"\0" * 47, (SERVER, 123))
    data = s.recv(1024)
    f = ntp_fields(data)
    check(len(data) == 48 and f[0] == 0x1C and f[1] == 10 and data[32:40] == data[40:48] == data[16:24],
          "raw request: 48 bytes, VN 3 Mode 4, stratum 10, reference = receive = transmit")
    # A request to the subnet's broadcast address is answered from a unicast address.
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.sendto(b"\x1b" + b"\0" * 47, ("10.77.0.255", 123))
    try:
        data, sender = s.recvfrom(1024)
        check(len(data) == 48 and sender[0] == SERVER, "a broadcast request is answered from %s (%s)" % (SERVER, sender[0]))
    except socket.timeout:
        check(False, "a broadcast request is answered")
    # A short request gets nothing.
    s.sendto(b"\x1b" + b"\0" * 10, (SERVER, 123))
    try:
        s.recv(1024)
        check(False, "a 11-byte request gets no reply")
    except socket.timeout:
        check(True, "a 11-byte request gets no reply")
    s.close()


def test_syslog(notices):
    fifo = os.path.join(WORK, "run", "nimbo", "NimboSyslog")
    check(os.path.exists(fifo) and os.path.stat.S_ISFIFO(os.lstat(fifo).st_mode), "the named pipe is a FIFO")
    reader = os.open(fifo, os.O_RDONLY | os.O_NONBLOCK)
    msgs = [("--rfc3164", "rfc3164 hello"), (None, "default format caf\u00e9")]
    for fmt, text in msgs:
        cmd = ["logger", "-d", "-n", SERVER, "-P", "514", "-t", "nimbotest"] + ([fmt] if fmt else []) + [text]
        rc, out = run(*cmd)
        check(rc == 0, "logger %s sends: %s" % (fmt or "default", out.strip()))
    # The two UTF-8 bytes of the accent show as two dots everywhere.
    shown = [text.replace("\u00e9", "..") for _, text in msgs]
    for want in shown:
        row = notices.wait(NOTICE_SYSLOG_ROW, lambda p, w=want: w in cstr(p, 16))
        check(row is not None and cstr(row, 0, 16) in (SERVER, CLIENT) and len(row) == 16 + len(cstr(row, 16)) + 1,
              "notice 107 carries '%s' and its sender" % want)
    time.sleep(0.3)
    piped = b""
    try:
        piped = os.read(reader, 65536)
    except BlockingIOError:
        pass
    os.close(reader)
    lines = piped.decode(errors="replace").split("\n")
    check(len(lines) == 3 and lines[2] == "" and shown[0] in lines[0] and shown[1] in lines[1],
          "the FIFO reader gets both messages, one a line: %r" % piped[:200])
    check(lines[0].startswith("<13>") and re.match(r"<13>1 \d{4}-", lines[1] or "") is not None,
          "the FIFO gets the raw RFC 3164 and RFC 5424 texts")
    with open(os.path.join(WORK, "sys.log"), "rb") as f:
        data = f.read()
    flines = data.split(b"\r\n")
    stamp = rb"(Mon|Tue|Wed|Thu|Fri|Sat|Sun) [A-Z][a-z]{2} \d\d \d\d:\d\d:\d\d \d{4}: "
    check(len(flines) == 3 and flines[2] == b"" and all(re.match(stamp + b"<13>", l) for l in flines[:2]),
          "the file holds two CRLF lines with C-locale time stamps: %r" % data[:200])


def load_of(pid):
    """Threads, open files and resident KiB of the program."""
    threads = rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("Threads:"):
                threads = int(line.split()[1])
            elif line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return threads, len(os.listdir("/proc/%d/fd" % pid)), rss


def settled(pid, before, seconds=10):
    now = load_of(pid)
    deadline = time.time() + seconds
    while time.time() < deadline and (now[0] > before[0] or now[1] > before[1]):
        time.sleep(0.2)
        now = load_of(pid)
    return now


def check_load(pid, before, what):
    after = settled(pid, before)
    check(after[0] <= before[0] and after[1] <= before[1] and after[2] <= before[2] + 32768,
          "%s: threads, files and memory back to their level (%s -> %s)" % (what, before, after))


def raw_query(qid, name):
    head = struct.pack("!HHHHHH", qid, 0x0100, 1, 0, 0, 0)
    wire = b"".join(bytes([len(l)]) + l.encode() for l in name.split(".")) + b"\0"
    return head + wire + struct.pack("!HH", 1, 1)


def test_empty_datagrams(pid):
    """Empty datagrams are dropped at once: real clients beside a stream of them are served."""
    before = load_of(pid)
    stop = threading.Event()

    def flood():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((CLIENT, 0))
        while not stop.is_set():
            for port in (53, 123, 514):
                s.sendto(b"", (SERVER, port))
            time.sleep(0.001)
        s.close()

    t = threading.Thread(target=flood)
    t.start()
    try:
        for i in range(3):
            start = time.time()
            rc, out = dig("boot.test", OTHER_CLIENT, OTHER)
            check(rc == 0 and answer_of(out) == OTHER and time.time() - start < 2,
                  "empty datagrams beside: dig answered within 2 s (round %d)" % i)
            start = time.time()
            rc, out = run("sntp", "-t", "2", OTHER, timeout=10)
            check(rc == 0 and time.time() - start < 3, "empty datagrams beside: sntp answered (round %d)" % i)
            rc, out = run("logger", "-d", "-n", OTHER, "-P", "514", "-t", "beside", "empty flood %d" % i)
            check(rc == 0, "empty datagrams beside: logger sends")
    finally:
        stop.set()
        t.join()
    check_load(pid, before, "empty datagrams")


def test_dns_flood(pid, notices):
    """Names that make the system resolver wait, sent as fast as one host can: the queries of
    another host are answered during the flood and within a second of its end; the flooding
    host's lines in the log are bounded."""
    # The resolver's server is an address on the link that never answers (a static neighbour
    # entry sends its queries into the void): every unknown name waits out the timeout.
    sh("ip neigh replace 10.77.0.250 lladdr 02:00:00:00:00:99 dev d0 nud permanent")
    with open(os.path.join(WORK, "resolv.conf"), "w") as f:
        f.write("nameserver 10.77.0.250\noptions timeout:2 attempts:1\n")
    rc, out = run("getent", "ahostsv4", "slow-check.test", timeout=10)
    before = load_of(pid)
    stop = threading.Event()
    sent = [0]

    def flood():
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.bind((CLIENT, 0))
        s.setblocking(False)
        while not stop.is_set():
            n = sent[0]
            try:
                s.sendto(raw_query(n & 0xFFFF, "slow%d.test" % n), (SERVER, 53))
            except BlockingIOError:
                pass
            sent[0] = n + 1
            try:
                while True:
                    s.recv(2048)
            except BlockingIOError:
                pass
            time.sleep(0.002)
        s.close()

    t = threading.Thread(target=flood)
    t.start()
    try:
        time.sleep(1)
        answered = 0
        for i in range(5):
            rc, out = run("dig", "+noedns", "+tries=1", "+time=2", "-b", OTHER_CLIENT, "@" + OTHER, "boot.test")
            answered += answer_of(out) == OTHER
            time.sleep(0.5)
        check(answered == 5, "during a flood of slow names another host's queries are answered (%d of 5)" % answered)
    finally:
        stop.set()
        t.join()
    start = time.time()
    rc, out = run("dig", "+noedns", "+tries=1", "+time=1", "-b", OTHER_CLIENT, "@" + OTHER, "boot.test")
    check(answer_of(out) == OTHER and time.time() - start < 1.5,
          "right after the flood a query is answered within a second (%.2f s)" % (time.time() - start))
    # The flooding host itself is served again once its stale queries are gone.
    time.sleep(kStale + 2.5)
    rc, out = dig("boot.test", CLIENT, SERVER)
    check(answer_of(out) == SERVER, "the flooding host is answered again a little later")
    check(sent[0] > 1000, "the flood sent %d queries" % sent[0])
    check_load(pid, before, "DNS flood")
    with open(os.path.join(WORK, "resolv.conf"), "w") as f:
        f.write("nameserver 192.0.2.53\noptions timeout:1 attempts:1\n")


kStale = 3


def test_log_bounds(log_path):
    """Lines one address causes are bounded a second; the rest are counted."""
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.bind((CLIENT, 0))
    s.settimeout(2)
    size = os.path.getsize(log_path)
    start = time.time()
    replies = 0
    for i in range(600):
        s.sendto(raw_query(i, "boot.test"), (SERVER, 53))
        try:
            s.recv(2048)
            replies += 1
        except socket.timeout:
            pass
    s.close()
    seconds = time.time() - start
    time.sleep(1.1)
    rc, out = dig("boot.test", CLIENT, SERVER)  # carries the count of the dropped lines
    with open(log_path, errors="replace") as f:
        f.seek(size)
        text = f.read()
    lines = [l for l in text.split("\n") if "Answered [boot.test] = [%s]" % SERVER in l]
    check(replies == 600, "600 queries in a row are all answered (%d)" % replies)
    check(len(lines) <= (int(seconds) + 2) * 50, "their log lines are bounded: %d in %.1f s" % (len(lines), seconds))
    check("lines suppressed. Client [%s]" % CLIENT in text, "the dropped lines are counted in the log")


def inner(nimbo, work):
    global WORK
    WORK = work
    for cmd in ("ip link set lo up",
                "ip link add d0 type veth peer name d0p", "ip addr add %s/24 dev d0" % SERVER,
                "ip addr add %s/24 dev d0" % CLIENT, "ip link add d1 type veth peer name d1p",
                "ip addr add %s/24 dev d1" % OTHER, "ip addr add %s/24 dev d1" % OTHER_CLIENT,
                "ip link set d0 up", "ip link set d0p up", "ip link set d1 up", "ip link set d1p up"):
        sh(cmd)
    with open(os.path.join(WORK, "hosts"), "w") as f:
        f.write(HOSTS)
    with open(os.path.join(WORK, "resolv.conf"), "w") as f:
        f.write("nameserver 192.0.2.53\noptions timeout:1 attempts:1\n")
    sh("mount --bind %s/hosts /etc/hosts" % WORK)
    sh("mount --bind %s/resolv.conf /etc/resolv.conf" % WORK)
    ini = os.path.join(WORK, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=56\nNIMBO_LogFile=%s/nimbo.log\n" % WORK)
        f.write("[SYSLOG]\nSYSLOG_SaveLogToFile=%s/sys.log\nSYSLOG_ForwardLogToPipe=1\n" % WORK)
    # The console port is read from the developer trace.
    proc, port, lines = start_traced(nimbo, ini, os.path.join(WORK, "run"))
    try:
        check(port is not None, "the console listens")
        notices = Notices(port)
        wait_udp_ports((53, 123, 514), tries=50)  # the rows are up once their ports are bound
        test_dns(notices)
        test_sntp(notices)
        test_syslog(notices)
        test_empty_datagrams(proc.pid)
        test_dns_flood(proc.pid, notices)
        test_log_bounds(os.path.join(WORK, "nimbo.log"))
    finally:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(10)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait()
    check(proc.returncode == 0, "the program ends cleanly on SIGTERM (%s)" % proc.returncode)
    try:
        with open(os.path.join(WORK, "nimbo.log"), errors="replace") as f:
            log = f.read()
    except FileNotFoundError:
        log = ""
    check("DNS  Inf: Answered [boot.test] = [%s]" % SERVER in log, "the log has the DNS answer line")
    check("SNTP Srv Inf: Client" in log, "the log has the SNTP client line")
    check("SYSLOG Inf: Named pipe NimboSyslog created succesfully" in log, "the log has the pipe line")
    print("%d passed, %d failed" % (len(PASSED), len(FAILURES)))
    return 1 if FAILURES else 0


WORK = None


def main():
    return main_with_work_folder(__file__, inner, "NIMBO_UDP_WORK", "nimbo-udp-", 240)


if __name__ == "__main__":
    sys.exit(main())
