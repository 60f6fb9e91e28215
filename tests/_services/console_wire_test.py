#!/usr/bin/env python3
"""The console link seen from an independent client written from the wire description.

Starts the real program with a temporary INI in a private network namespace and checks the
handshake, the requests and the framing rules, and that the program ends cleanly (exit code 0,
no report from the sanitizers). Needs root for the namespace: exits 77 (skipped) without it.
Usage: console_wire_test.py <path to nimbo>
"""
import os
import queue
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "support"))
from netns import reenter_in_private_net  # noqa: E402

PASSWORD = b"qorlu7150"
FAILURES = []
PASSED = []


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    (PASSED if cond else FAILURES).append(what)


def scramble(data, key):
    return bytes(b ^ key[(13 * i) % len(key)] for i, b in enumerate(data))


def recv_exact(s, n, timeout=10):
    s.settimeout(timeout)
    buf = b""
    while len(buf) < n:
        chunk = s.recv(n - len(buf))
        if not chunk:
            raise EOFError("closed")
        buf += chunk
    return buf


def send_block(s, data):
    s.sendall(struct.pack(">H", len(data)) + data)


def recv_block(s, timeout=10):
    (n,) = struct.unpack(">H", recv_exact(s, 2, timeout))
    return recv_exact(s, n, timeout)


def handshake(s, password=PASSWORD, version=12):
    """Returns 1, -15 or -16 as the program's own handshake would."""
    own = os.urandom(12)
    send_block(s, struct.pack("<I", version) + own + b"\0" * 4)
    peer = recv_block(s)
    if struct.unpack("<I", peer[:4])[0] != version:
        return -15
    send_block(s, peer[:4] + scramble(peer[4:16], password) + peer[16:20])
    answer = recv_block(s)
    return 1 if scramble(answer[4:16], password) == own else -16


def request(s, msg_id, payload=b"\0"):
    s.sendall(struct.pack(">H", 4 + len(payload)) + struct.pack("<I", msg_id) + payload)


def next_frame(s, timeout=10):
    data = recv_block(s, timeout)
    return struct.unpack("<I", data[:4])[0], data[4:]


def wait_for(s, msg_id, timeout=10):
    deadline = time.time() + timeout
    while time.time() < deadline:
        fid, payload = next_frame(s, timeout)
        if fid == msg_id:
            return payload
    raise TimeoutError(msg_id)


def wait_log(s, text, timeout=10):
    """The first log line (notice 1) that holds text, or b"" when none came in time."""
    deadline = time.time() + timeout
    while time.time() < deadline:
        line = wait_for(s, 1, timeout)
        if text in line:
            return line
    return b""


def closed_by_peer(s, timeout=10):
    s.settimeout(timeout)
    try:
        while True:
            if not s.recv(4096):
                return True
    except (ConnectionResetError, BrokenPipeError):
        return True
    except socket.timeout:
        return False


def start_traced(program, ini, run_dir, seconds=20):
    """Starts the program on ini at log level 20 with its developer trace on and its runtime
    folder run_dir (made here); a thread drains the trace into a queue so that the program never
    blocks on a full pipe. Returns the process, the console port it reported (None when none
    came within the given seconds) and the queue of trace lines after that one."""
    env = dict(os.environ, XDG_RUNTIME_DIR=run_dir, NIMBO_TRACE="1")
    os.mkdir(run_dir, 0o700)
    proc = subprocess.Popen([program, "-i", ini, "-l", "20"], env=env, stderr=subprocess.PIPE,
                            stdout=subprocess.DEVNULL)
    lines = queue.Queue()
    threading.Thread(target=lambda: [lines.put(l) for l in iter(proc.stderr.readline, b"")], daemon=True).start()
    port = None
    deadline = time.time() + seconds
    while time.time() < deadline and port is None:
        try:
            m = re.search(rb"console listening on port (\d+)", lines.get(timeout=1))
            port = int(m.group(1)) if m else None
        except queue.Empty:
            pass
    return proc, port, lines


def connect(port, attempts=60):
    for _ in range(attempts):
        try:
            return socket.create_connection(("127.0.0.1", port), timeout=2)
        except OSError:
            time.sleep(0.1)
    raise OSError("no listener on %d" % port)


def main():
    nimbo = os.path.abspath(sys.argv[1])
    rc = reenter_in_private_net(__file__, nimbo)
    if rc is not None:
        return rc

    work = tempfile.mkdtemp(prefix="nimbo-wire-")
    root = os.path.join(work, "root")
    os.mkdir(root)
    os.mkdir(os.path.join(root, "sub"))
    for name, size in (("a.bin", 10), ("b.txt", 12345)):
        with open(os.path.join(root, name), "wb") as f:
            f.write(b"x" * size)
    ini = os.path.join(work, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=0\n[TFTP]\nTFTP_RootDirectory=%s\n[NFS]\nNFS_RootDir=/keep\n" % root)

    # The developer trace, which the checks below read, is off unless asked for.
    proc = subprocess.Popen([nimbo, "-i", ini], stderr=subprocess.PIPE, stdout=subprocess.DEVNULL,
                            env=dict(os.environ, NIMBO_TRACE="1"))
    # A reader thread drains the trace, so the program never blocks on a full pipe.
    trace = queue.Queue()
    threading.Thread(target=lambda: [trace.put(l) for l in iter(proc.stderr.readline, b"")], daemon=True).start()
    port = None
    deadline = time.time() + 30
    log = b""
    while time.time() < deadline and port is None:
        try:
            line = trace.get(timeout=1)
        except queue.Empty:
            continue
        log += line
        m = re.search(rb"console listening on port (\d+)", line)
        if m:
            port = int(m.group(1))
    check(port == 1994, "listens on the console port 1994")
    if port is None:
        proc.kill()
        print(log.decode(errors="replace"))
        return 1

    # Only loopback is listened on.
    out = subprocess.run(["ss", "-Hltn", "sport = :%d" % port], capture_output=True, text=True).stdout
    check("127.0.0.1:%d" % port in out and "0.0.0.0:%d" % port not in out, "the listener is bound to 127.0.0.1 only")

    s = connect(port)
    check(handshake(s) == 1, "handshake with the default password")

    request(s, 206)
    p = wait_for(s, 105)
    check(len(p) == 32698, "206 answers notice 105 with 32698 bytes")
    request(s, 207)
    g = wait_for(s, 104)
    check(len(g) == 4618, "207 answers notice 104 with 4618 bytes")
    check(g[1132:1141] == PASSWORD, "the password field sits at offset 1132")
    check(struct.unpack_from("<H", g, 4616)[0] == port, "the console port is published at offset 4616")
    check(struct.unpack_from("<i", g, 260)[0] == 8, "log level 8 at offset 260")
    request(s, 212)
    wd = wait_for(s, 106)
    check(wd == root.encode() + b"\0", "212 answers the working directory with its NUL")
    mask = 0
    for _ in range(50):  # the settings writer and scheduler start 200 ms after the console
        request(s, 214)
        mask = struct.unpack("<I", wait_for(s, 108))[0]
        if mask == 0x7000:
            break
        time.sleep(0.1)
    check(mask == 0x7000, "214: only the infrastructure rows run")
    request(s, 216)
    ips = wait_for(s, 109)
    check(len(ips) == 244, "216 is followed by notice 109 of 244 bytes")
    request(s, 217)
    listing = wait_for(s, 111)
    count = struct.unpack_from("<I", listing)[0]
    lines = sorted(listing[4 + 64 * i:4 + 64 * (i + 1)].split(b"\0")[0].decode() for i in range(count))
    check(len(listing) == 4 + 64 * count and count == 2, "217: one line per file, folders left out")
    check(len(lines) == 2 and lines[0].startswith("a.bin\t") and lines[1].endswith("\t12345"),
          "directory lines are name, date, size: %r" % lines)

    # An unknown request changes nothing and the link stays up; a request without its
    # payload is ignored.
    request(s, 215)
    request(s, 213, b"")
    request(s, 208, b"\0" * 100)
    request(s, 214)
    check(len(wait_for(s, 108)) == 4, "unknown and short requests leave the link up")

    # 209 round trip into the INI file.
    g2 = bytearray(g)
    struct.pack_into("<i", g2, 488, 6970)                     # TFTP_Port
    g2[3208:3208 + 256] = b"start.html".ljust(256, b"\0")     # HTTP_DefaultPage
    g2[3748:3748 + 260] = b"/changed".ljust(260, b"\0")       # NFS_RootDir (never written back)
    g2[1152:1152 + 256] = b"s" * 256                          # TFTPC_Server without its NUL
    request(s, 209, bytes(g2))
    request(s, 207)
    g3 = wait_for(s, 104)
    check(struct.unpack_from("<i", g3, 488)[0] == 6970, "209 replaced the live record")
    check(g3[1152 + 255] == 0, "text fields of a stored record end with a NUL")
    text = ""
    for _ in range(100):
        text = open(ini).read()
        if "TFTP_Port=6970" in text and "HTTP_DefaultPage=start.html" in text:
            break
        time.sleep(0.05)
    check("TFTP_Port=6970" in text, "the new TFTP_Port reached the INI file")
    check("HTTP_DefaultPage=start.html" in text, "a text key reached the INI file")
    check("NFS_RootDir=/keep" in text and "/changed" not in text, "[NFS] keys are not written back")
    check(text.count("[TFTP]") == 1, "keys are rewritten in their section")

    # Records the INI file cannot keep are refused whole, with a log line, before anything
    # is stored: a control character in a text, a garbage address.
    for field, value, what in ((3208, b"x.htm\r\n[EVIL]\r\nTFTP_Port=1", "a CR LF in a text"),
                               (1132, b"pass\x01", "a binary byte in a text")):
        g4 = bytearray(g3)
        g4[field:field + len(value) + 1] = value + b"\0"
        request(s, 209, bytes(g4))
        check(wait_log(s, b"Settings not stored") != b"", "209 with %s is refused with a log line" % what)
    g4 = bytearray(g3)
    g4[532:548] = b"junk".ljust(16, b"\0")                  # TFTP_LocalIP
    struct.pack_into("<i", g4, 488, 7070)
    request(s, 209, bytes(g4))
    check(b"TFTP_LocalIP" in wait_log(s, b"Settings not stored"), "209 with a garbage TFTP_LocalIP is refused")
    request(s, 207)
    check(wait_for(s, 104) == g3, "a refused record leaves the live one as it was")
    time.sleep(0.3)
    text = open(ini).read()
    check("[EVIL]" not in text and "junk" not in text and "TFTP_Port=7070" not in text,
          "a refused record leaves the INI file as it was")
    request(s, 206)
    d = bytearray(wait_for(s, 105))
    d[1656:1656 + 20] = b"lan\r\n[EVIL]\r\n".ljust(20, b"\0")  # DHCP_DomainName
    request(s, 208, bytes(d))
    check(b"DHCP_DomainName" in wait_log(s, b"DHCP Err: new settings not stored"), "208 with a CR LF is refused")
    request(s, 206)
    check(b"[EVIL]" not in wait_for(s, 105) and "[EVIL]" not in open(ini).read(), "and nothing of it is stored")

    # 211 changes the working directory to a folder, and only to a folder.
    sub = os.path.join(root, "sub")
    for path, want, what in ((sub, sub, "a folder"), (os.path.join(root, "a.bin"), sub, "a file"),
                             ("/nonexistent", sub, "a missing folder"), ("/" + "d" * 300, sub, "a path too long"),
                             (root, root, "the root again")):
        request(s, 211, path.encode() + b"\0")
        request(s, 212)
        check(wait_for(s, 106) == want.encode() + b"\0", "211 with %s: working directory %s" % (what, want))

    # 205 answers notice 110, a frame of its id alone; 202 stops the DHCP row alone.
    g5 = bytearray(g3)
    struct.pack_into("<i", g5, 548, 0x4)                     # NIMBO_Services: DHCP
    request(s, 209, bytes(g5))
    request(s, 205)
    check(wait_for(s, 110, timeout=15) == b"", "205 is followed by notice 110 of 4 bytes (its id alone)")
    request(s, 214)
    check(struct.unpack("<I", wait_for(s, 108))[0] == 0x7004, "after 205 the DHCP row runs")
    request(s, 202)
    request(s, 214)
    check(struct.unpack("<I", wait_for(s, 108))[0] == 0x7000, "202 stops the DHCP row")
    ended = False
    deadline = time.time() + 10
    while time.time() < deadline and not ended:
        try:
            ended = b"DHCP thread ends here" in trace.get(timeout=1)
        except queue.Empty:
            pass
    check(ended, "the DHCP thread ends after 202")
    request(s, 214)
    check(struct.unpack("<I", wait_for(s, 108))[0] == 0x7000, "the link stays up after 202")

    # A second client is not served while the first is connected: the service listens for
    # one client at a time, so the connection is refused, or accepted by a listener that
    # sends nothing.
    try:
        s2 = socket.create_connection(("127.0.0.1", port), timeout=1)
        s2.settimeout(1)
        try:
            got = s2.recv(2)
        except socket.timeout:
            got = None
        check(not got, "a second client gets no handshake while the first is connected")
        s2.close()
    except ConnectionRefusedError:
        out = subprocess.run(["ss", "-Hltn", "sport = :%d" % port], capture_output=True, text=True).stdout
        check(out.strip() == "", "a second client is refused because nothing listens while the first is connected")
    except OSError as e:
        check(False, "a second client meets neither a listener nor a refusal: %s" % e)
    s.close()
    s = connect(port)
    check(handshake(s) == 1, "after the first client left, the next one is served")
    s.close()

    # Wrong password: -16, the service closes, then listens again.
    s = connect(port)
    check(handshake(s, password=b"wrong") == -16, "a wrong password gives -16")
    check(closed_by_peer(s), "the service closes the connection after a bad password")
    s.close()
    s = connect(port)
    check(handshake(s, version=11) == -15, "version 11 gives -15")
    check(closed_by_peer(s), "the service closes the connection after a bad version")
    s.close()

    # A length with bit 15 set, and a frame too short for its id, end the connection.
    for bad, what in ((b"\x80\x05\xcb\0\0\0\0", "a length with bit 15 set"),
                      (b"\x00\x02\xcb\0", "a frame shorter than its id")):
        s = connect(port)
        check(handshake(s) == 1, "handshake before " + what)
        s.sendall(bad)
        check(closed_by_peer(s), what + " ends the connection")
        s.close()

    # 210 empties the INI file.
    s = connect(port)
    check(handshake(s) == 1, "handshake before erase")
    request(s, 210)
    request(s, 214)
    wait_for(s, 108)
    check(os.path.getsize(ini) == 0, "210 empties the INI file")
    s.close()

    # Stop all, then the process ends on SIGTERM within 3 s.
    s = connect(port)
    check(handshake(s) == 1, "handshake before stop all")
    request(s, 203)
    check(closed_by_peer(s), "203 stops the console and closes the link")
    s.close()
    t0 = time.time()
    proc.send_signal(signal.SIGTERM)
    try:
        rc = proc.wait(timeout=10)
    except subprocess.TimeoutExpired:
        proc.kill()
        rc = None
    elapsed = time.time() - t0
    check(rc == 0, "exit code 0 after SIGTERM (%.2f s)" % elapsed)
    check(elapsed < 3.0, "stopped within 3 s")
    rest = b""
    deadline = time.time() + 5
    while time.time() < deadline:
        try:
            rest += trace.get(timeout=0.5)
        except queue.Empty:
            if proc.stderr.closed or proc.poll() is not None:
                break
    check(b"That's all folks" in rest, "the program ends by returning from main")
    check(b"Sanitizer" not in rest, "no sanitizer report at exit (leaks included)")

    subprocess.call(["rm", "-rf", work])
    print("%d passed, %d failed" % (len(PASSED), len(FAILURES)))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
