#!/usr/bin/env python3
"""The NFS server against real clients in a private network namespace.

Starts the program with a temporary INI (NFS only, read-write export), then checks rpcinfo -p
(portmap version 2), libnfs-utils nfs-ls -R, nfs-cat and nfs-cp both ways, and, through a raw
client written here, MOUNT and NFS version 2 over UDP, the refusal of forged replies and of
escapes, and calls that fail without closing the TCP connection.
Needs root; exits 77 (skipped) without it. Usage: nfs_live_test.py <path to nimbo_headless>
"""
import os
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from netns import missing_tools, reenter_in_private_net  # noqa: E402

FAILURES = []
HOST = "127.0.0.1"
NFS, MOUNT, PMAP = 100003, 100005, 100000


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        FAILURES.append(what)


def xdr_string(b):
    if isinstance(b, str):
        b = b.encode()
    return struct.pack(">I", len(b)) + b + b"\0" * ((4 - len(b) % 4) % 4)


def rpc_call(xid, prog, vers, proc, args=b"", msg_type=0):
    cred = struct.pack(">IIII", 0, 0, 0, 0) + struct.pack(">I", 0)  # AUTH_UNIX: stamp, "", uid, gid, no groups
    return (struct.pack(">IIIIII", xid, msg_type, 2, prog, vers, proc) + struct.pack(">II", 1, len(cred)) + cred
            + struct.pack(">II", 0, 0) + args)


def parse_reply(data):
    """(xid, accept_stat, body) of an accepted reply."""
    xid, mtype, rstat = struct.unpack_from(">III", data)
    assert mtype == 1 and rstat == 0, "not an accepted reply"
    _flav, vlen = struct.unpack_from(">II", data, 12)
    (astat,) = struct.unpack_from(">I", data, 20 + vlen)
    return xid, astat, data[24 + vlen:]


class Udp:
    def __init__(self, port):
        self.s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        self.port = port

    def send(self, data):
        self.s.sendto(data, (HOST, self.port))

    def recv(self, timeout=3.0):
        self.s.settimeout(timeout)
        try:
            return self.s.recv(70000)
        except socket.timeout:
            return None

    def call(self, *a, **k):
        self.send(rpc_call(*a, **k))
        r = self.recv()
        return parse_reply(r) if r else None


class Tcp:
    def __init__(self, port):
        self.s = socket.create_connection((HOST, port), timeout=5)

    def send_record(self, data, fragments=1):
        step = max(1, len(data) // fragments)
        parts = [data[i:i + step] for i in range(0, len(data), step)]
        for i, p in enumerate(parts):
            last = 0x80000000 if i == len(parts) - 1 else 0
            self.s.sendall(struct.pack(">I", last | len(p)) + p)

    def recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            chunk = self.s.recv(n - len(buf))
            if not chunk:
                raise EOFError("connection closed")
            buf += chunk
        return buf

    def call(self, *a, fragments=1, **k):
        self.send_record(rpc_call(*a, **k), fragments)
        (mark,) = struct.unpack(">I", self.recv_exact(4))
        check(mark & 0x80000000 != 0, "TCP reply is one last fragment")
        return parse_reply(self.recv_exact(mark & 0x7FFFFFFF))


def run(cmd, env=None, timeout=60, stdin=None):
    return subprocess.run(cmd, capture_output=True, timeout=timeout, env=env, stdin=stdin)


def wait_listening(ports, deadline):
    while time.time() < deadline:
        out = run(["ss", "-Hltn"]).stdout.decode()
        if all(":%d " % p in out for p in ports):
            return True
        time.sleep(0.2)
    return False


def make_tree(root):
    os.makedirs(os.path.join(root, "sub", "deep"))
    with open(os.path.join(root, "big.bin"), "wb") as f:
        f.write(os.urandom(3 * 1024 * 1024 + 123))
    with open(os.path.join(root, "sub", "inner.txt"), "wb") as f:
        f.write(b"inner text\n")
    with open(os.path.join(root, "sub", "deep", "leaf.txt"), "wb") as f:
        f.write(b"leaf\n")


def real_clients(work, root):
    env = dict(os.environ, RPCB_V2FIRST="1")
    r = run(["rpcinfo", "-p", HOST], env=env)
    rows = set()
    for line in r.stdout.decode().splitlines()[1:]:
        f = line.split()
        rows.add((int(f[0]), int(f[1]), f[2], int(f[3])))
    expect = {(PMAP, 2, p, 111) for p in ("tcp", "udp")}
    expect |= {(NFS, v, p, 2049) for v in (2, 3) for p in ("tcp", "udp")}
    expect |= {(MOUNT, v, p, 1058) for v in (1, 2, 3) for p in ("tcp", "udp")}
    check(r.returncode == 0 and rows == expect, "rpcinfo -p lists portmap 2, NFS 2 and 3, MOUNT 1 to 3 on both protocols")

    r = run(["nfs-ls", "-R", "nfs://%s/" % HOST])
    out = r.stdout.decode()
    check(r.returncode == 0 and all(n in out for n in ("big.bin", "sub/inner.txt", "sub/deep/leaf.txt")),
          "nfs-ls -R lists the whole tree")
    check(".." not in out.split(), "nfs-ls -R stays inside the export")

    big = open(os.path.join(root, "big.bin"), "rb").read()
    r = run(["nfs-cat", "nfs://%s//big.bin" % HOST])
    check(r.returncode == 0 and r.stdout == big, "nfs-cat gives the file byte for byte")
    r = run(["nfs-cat", "nfs://%s/sub/inner.txt" % HOST])
    check(r.stdout == b"inner text\n", "nfs-cat through a mount of a sub-folder")

    up = os.path.join(work, "up.bin")
    with open(up, "wb") as f:
        f.write(os.urandom(2 * 1024 * 1024 + 7))
    r = run(["nfs-cp", up, "nfs://%s//sub/up.bin" % HOST])
    stored = os.path.join(root, "sub", "up.bin")
    check(r.returncode == 0 and open(stored, "rb").read() == open(up, "rb").read(), "nfs-cp uploads the file whole")
    r = run(["nfs-cp", os.path.join(root, "sub", "inner.txt"), "nfs://%s//sub/up.bin" % HOST])
    check(r.returncode != 0 and b"EXIST" in r.stderr + r.stdout, "nfs-cp onto an existing file is refused (guarded create)")
    check(open(stored, "rb").read() == open(up, "rb").read(), "the refused target keeps its bytes")
    down = os.path.join(work, "down.bin")
    r = run(["nfs-cp", "nfs://%s//big.bin" % HOST, down])
    check(r.returncode == 0 and open(down, "rb").read() == big, "nfs-cp downloads the file byte for byte")
    r = run(["nfs-ls", "nfs://%s/../../etc" % HOST])
    check(r.returncode != 0, "nfs-ls of an export path with .. is refused")


def raw_clients(root):
    big = open(os.path.join(root, "big.bin"), "rb").read()
    # MOUNT version 1 over UDP: a 32-byte handle.
    mnt = Udp(1058)
    _, astat, body = mnt.call(1, MOUNT, 1, 1, xdr_string("/"))
    check(astat == 0 and struct.unpack_from(">I", body)[0] == 0 and len(body) == 36, "MNT v1 over UDP answers 32 handle bytes")
    root_fh = body[4:36]
    for path in ("/../../etc", "/sub/../..", "/./sub", "/big.bin"):
        _, _, body = mnt.call(2, MOUNT, 1, 1, xdr_string(path))
        check(struct.unpack_from(">I", body)[0] != 0, "MNT of %s refused" % path)

    nfs = Udp(2049)
    # NFS version 2 over UDP: LOOKUP, GETATTR, READ, WRITE, READDIR, STATFS.
    _, astat, body = nfs.call(3, NFS, 2, 4, root_fh + xdr_string("big.bin"))
    check(astat == 0 and struct.unpack_from(">I", body)[0] == 0, "v2 LOOKUP over UDP")
    fh = body[4:36]
    size = struct.unpack_from(">I", body, 36 + 20)[0]
    check(size == len(big), "v2 attributes carry the size")
    for name in ("..", "../sub", "sub/inner.txt"):
        _, _, b = nfs.call(4, NFS, 2, 4, root_fh + xdr_string(name))
        st = struct.unpack_from(">I", b)[0]
        ok = (st == 0 and b[4:36] == root_fh) if name == ".." else st != 0
        check(ok, "v2 LOOKUP %r stays beneath the root" % name)
    _, _, body = nfs.call(5, NFS, 2, 6, fh + struct.pack(">III", 8192, 100000, 0))
    data_len = struct.unpack_from(">I", body, 4 + 68)[0]
    check(data_len == 8192 and body[4 + 72:4 + 72 + 8192] == big[8192:16384], "v2 READ is capped at 8192 bytes and correct")
    _, _, body = nfs.call(6, NFS, 2, 4, root_fh + xdr_string("sub"))
    sub_fh = body[4:36]
    _, astat, body = nfs.call(7, NFS, 2, 9, sub_fh + xdr_string("v2.txt") + struct.pack(">8I", 0o100644, *([0xFFFFFFFF] * 7)))
    check(astat == 0 and body[:4] == b"\0\0\0\0", "v2 CREATE (%d, %r)" % (astat, body[:8]))
    new_fh = body[4:36]
    _, _, body = nfs.call(8, NFS, 2, 8, new_fh + struct.pack(">III", 0, 0, 0) + xdr_string(b"written by v2"))
    check(struct.unpack_from(">I", body)[0] == 0 and
          open(os.path.join(root, "sub", "v2.txt"), "rb").read() == b"written by v2", "v2 WRITE lands on disk")
    _, _, body = nfs.call(9, NFS, 2, 16, sub_fh + struct.pack(">II", 0, 8192))
    check(b"v2.txt" in body and b"inner.txt" in body, "v2 READDIR lists the folder")
    _, _, body = nfs.call(10, NFS, 2, 17, root_fh)
    check(struct.unpack_from(">III", body) == (0, 1400, 1448), "v2 STATFS over UDP: tsize 1400, bsize 1448")

    # Forged replies are not answered; a short call is garbage and the next datagram still works.
    for port in (111, 1058, 2049):
        u = Udp(port)
        u.send(rpc_call(11, NFS, 3, 0, msg_type=1))
        check(u.recv(0.5) is None, "a REPLY datagram to port %d gets no answer" % port)
    short = rpc_call(12, NFS, 2, 6, fh + struct.pack(">I", 0))
    nfs.send(short)
    r = nfs.recv()
    check(r is not None and parse_reply(r)[1] == 4, "a short UDP call answers GARBAGE_ARGS")
    _, astat, _ = nfs.call(13, NFS, 3, 99)
    check(astat == 3, "an unknown procedure answers PROC_UNAVAIL over UDP")
    xid, astat, _ = nfs.call(14, NFS, 3, 0)
    check(xid == 14 and astat == 0, "the next datagram is still answered")

    # TCP: failed calls keep the connection; records of several fragments are joined.
    t = Tcp(2049)
    _, astat, body = t.call(20, NFS, 4, 0)
    check(astat == 2 and struct.unpack(">II", body[:8]) == (2, 3), "NFS v4 gets PROG_MISMATCH 2..3")
    _, astat, _ = t.call(21, NFS, 3, 22)
    check(astat == 3, "NFS v3 procedure 22 gets PROC_UNAVAIL")
    _, astat, _ = t.call(22, NFS, 3, 1, b"\0\0")
    check(astat == 4, "a cut GETATTR gets GARBAGE_ARGS")
    xid, astat, _ = t.call(23, NFS, 3, 0, fragments=3)
    check(xid == 23 and astat == 0, "the connection stays open and joins fragments")
    m = Tcp(1058)
    _, astat, body = m.call(24, MOUNT, 4, 0)
    check(astat == 2 and struct.unpack(">II", body[:8]) == (1, 3), "MOUNT v4 gets PROG_MISMATCH 1..3")
    _, astat, body = m.call(25, MOUNT, 3, 1, xdr_string("/sub"))
    check(astat == 0 and struct.unpack_from(">II", body) == (0, 64), "MNT v3 over TCP answers a 64-byte handle")
    fh3 = body[8:72]
    _, _, body = t.call(26, NFS, 3, 3, xdr_string(fh3) + xdr_string(".."))
    check(struct.unpack_from(">I", body)[0] == 0, "v3 LOOKUP .. of a sub-folder")
    _, _, body = t.call(27, NFS, 3, 1, xdr_string(fh3[:32]))
    check(struct.unpack_from(">I", body)[0] == 10001, "a 32-byte v3 handle is BADHANDLE")
    # NFS version 3 over UDP: a 32 KiB READ fits one datagram.
    u3 = Udp(2049)
    _, astat, body = m.call(30, MOUNT, 3, 1, xdr_string("/"))
    root3 = body[8:72]
    _, _, body = u3.call(31, NFS, 3, 3, xdr_string(root3) + xdr_string("big.bin"))
    big_fh3 = body[8:72]
    _, astat, body = u3.call(32, NFS, 3, 6, xdr_string(big_fh3) + struct.pack(">QI", 65536, 1 << 20))
    ok = astat == 0 and struct.unpack_from(">I", body)[0] == 0
    if ok:
        at = 4 + (4 + 84 if struct.unpack_from(">I", body, 4)[0] else 4)
        count, _eof, length = struct.unpack_from(">III", body, at)
        ok = count == 32768 and body[at + 12:at + 12 + length] == big[65536:65536 + 32768]
    check(ok, "v3 READ over UDP answers 32768 correct bytes")
    p = Tcp(111)
    _, _, body = p.call(28, PMAP, 2, 3, struct.pack(">IIII", NFS, 3, 6, 0))
    check(struct.unpack(">I", body)[0] == 2049, "GETPORT of NFS v3 TCP answers 2049")
    for s in (t, m, p):
        s.s.close()


def write_ini(work, root):
    """Settings with NFS alone serving root read-write; the path of the file."""
    ini = os.path.join(work, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=1024\nNIMBO_LogFile=%s\n" % os.path.join(work, "nimbo.log"))
        f.write("[NFS]\nNFS_RootDir=%s\nNFS_SecurityLevel=0\n" % root)
    return ini


def stop_program(proc):
    """Ends the program with SIGTERM: it must stop in time, cleanly, with no sanitizer report."""
    proc.send_signal(signal.SIGTERM)
    try:
        _, err = proc.communicate(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        _, err = proc.communicate()
        check(False, "the program stops on SIGTERM")
    check(proc.returncode == 0, "the program ends cleanly (exit %s)" % proc.returncode)
    if b"ERROR: AddressSanitizer" in err or b"runtime error" in err:
        check(False, "sanitizer report:\n" + err.decode(errors="replace")[-3000:])


def main():
    nimbo = os.path.abspath(sys.argv[1])
    rc = reenter_in_private_net(__file__, nimbo)
    if rc is not None:
        return rc
    for tool in missing_tools("rpcinfo", "nfs-ls", "nfs-cat", "nfs-cp"):
        print("missing %s: install rpcbind and libnfs-utils (tools/packages.d/nfs.txt)" % tool)
        return 1

    work = tempfile.mkdtemp(prefix="nimbo-nfs-")
    root = os.path.join(work, "root")
    make_tree(root)
    proc = subprocess.Popen([nimbo, "-i", write_ini(work, root)], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        check(wait_listening([111, 1058, 2049], time.time() + 20), "PORTMAP, MOUNT and NFS listen")
        real_clients(work, root)
        raw_clients(root)
    except Exception as e:  # a broken exchange is a failure, not a hang
        check(False, "exchange ended with %r" % e)
    finally:
        stop_program(proc)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
