#!/usr/bin/env python3
"""The NFS server against hostile peers, each side by side with a legitimate libnfs client.

In a private network namespace the program serves an export; the attacker speaks from
127.0.0.2, the legitimate client (nfs-cat, nfs-ls) from 127.0.0.1.
- Clients that send calls over TCP and never read the replies: the legitimate client is served
  while they stay connected, the server drops them once a reply cannot leave in time, and its
  open files, threads and memory go back to their level although the attacker keeps its
  sockets open.
- One address re-spelling the same export in MNT calls (`/sub//`, `//sub`, `\\sub` ...) and
  mounting many folders keeps a bounded number of mount records; the legitimate client still
  mounts.
Needs root; exits 77 (skipped) without it. Usage: nfs_hostile_test.py <path to nimbo_headless>
"""
import errno
import os
import shutil
import socket
import struct
import subprocess
import sys
import tempfile
import time

import nfs_live_test as live
from netns import missing_tools, reenter_in_private_net  # noqa: E402  (nfs_live_test puts it on the path)

ATTACKER = "127.0.0.2"
MOUNT, NFS = live.MOUNT, live.NFS
check = live.check


def usage(pid):
    """(open files, threads, resident kB) of the process."""
    fds = len(os.listdir("/proc/%d/fd" % pid))
    threads = len(os.listdir("/proc/%d/task" % pid))
    rss = 0
    with open("/proc/%d/status" % pid) as f:
        for line in f:
            if line.startswith("VmRSS:"):
                rss = int(line.split()[1])
    return fds, threads, rss


def legit_client_served(root, what, bound=30):
    """nfs-cat of the big file and nfs-ls of the root from 127.0.0.1, within bound seconds."""
    big = open(os.path.join(root, "big.bin"), "rb").read()
    start = time.time()
    try:
        r = subprocess.run(["nfs-cat", "nfs://127.0.0.1//big.bin"], capture_output=True, timeout=bound)
        ok = r.returncode == 0 and r.stdout == big
        r = subprocess.run(["nfs-ls", "nfs://127.0.0.1/"], capture_output=True,
                           timeout=max(1, bound - (time.time() - start)))
        ok = ok and r.returncode == 0 and b"big.bin" in r.stdout
    except subprocess.TimeoutExpired:
        ok = False
    check(ok, "%s: the legitimate client is served within %d s (%.1f s)" % (what, bound, time.time() - start))


def settle(pid, level, deadline):
    """Waits until open files and threads are back at most at level; the last reading."""
    now = usage(pid)
    while time.time() < deadline and (now[0] > level[0] or now[1] > level[1]):
        time.sleep(0.5)
        now = usage(pid)
    return now


def non_reading_clients(pid, root):
    # A first round of the legitimate client, so that what the server makes once is made.
    legit_client_served(root, "before the attack")
    level = usage(pid)
    mnt = live.Tcp(1058)
    _, _, body = mnt.call(1, MOUNT, 3, 1, live.xdr_string("/"))
    mnt.s.close()
    root_fh = body[8:72]
    t = live.Tcp(2049)
    _, _, body = t.call(2, NFS, 3, 3, live.xdr_string(root_fh) + live.xdr_string("big.bin"))
    t.s.close()
    big_fh = body[8:72]
    # 40 connections (more than the 30 workers), each with calls for 16 MB of replies queued,
    # a small receive window and nobody reading.
    read_call = live.rpc_call(3, NFS, 3, 6, live.xdr_string(big_fh) + struct.pack(">QI", 0, 32768))
    record = struct.pack(">I", 0x80000000 | len(read_call)) + read_call
    attackers = []
    for _ in range(40):
        s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
        s.bind((ATTACKER, 0))
        try:
            s.connect(("127.0.0.1", 2049))
        except OSError:
            s.close()
            continue
        s.setblocking(False)
        attackers.append([s, record * 512])
    end = time.time() + 5
    while time.time() < end:  # push the calls while the server takes them
        for a in attackers:
            try:
                if a[1]:
                    a[1] = a[1][a[0].send(a[1]):]
            except OSError as e:
                if e.errno not in (errno.EAGAIN, errno.EWOULDBLOCK):
                    a[1] = b""
        time.sleep(0.05)
    legit_client_served(root, "40 connections that never read")
    # The attacker keeps every socket open; the server lets go of them on its own.
    now = settle(pid, level, time.time() + 45)
    check(now[0] <= level[0] and now[1] <= level[1],
          "open files and threads back to their level while the attacker holds its sockets "
          "(files %d -> %d, threads %d -> %d)" % (level[0], now[0], level[1], now[1]))
    check(now[2] <= level[2] + 32 * 1024, "memory back near its level (%d kB -> %d kB)" % (level[2], now[2]))
    legit_client_served(root, "after the attack")
    for a in attackers:
        a[0].close()


def mount_table_respelt(pid, root):
    u = live.Udp(1058)
    u.s.bind((ATTACKER, 0))
    spellings = ["/sub" + "/" * i for i in range(60)] + ["/" * i + "sub" for i in range(1, 60)]
    spellings += ["\\sub", "/sub\\", "//sub\\\\"]
    for i in range(40):
        os.makedirs(os.path.join(root, "many", "d%02d" % i), exist_ok=True)
        spellings.append("/many/d%02d/" % i)
    refused = 0
    for xid, path in enumerate(spellings, 100):
        r = u.call(xid, MOUNT, 3, 1, live.xdr_string(path))
        if not r or struct.unpack_from(">I", r[2])[0] != 0:
            refused += 1
    check(refused == 0, "every spelling of a folder mounts (%d refused)" % refused)
    legit_client_served(root, "after %d mounts from one address" % len(spellings))
    # A folder the legitimate client has not mounted before needs a record of its own.
    try:
        r = subprocess.run(["nfs-ls", "nfs://127.0.0.1/sub/"], capture_output=True, timeout=30)
        ok = r.returncode == 0 and b"inner.txt" in r.stdout
    except subprocess.TimeoutExpired:
        ok = False
    check(ok, "the legitimate client mounts a folder new to it")
    _, _, body = u.call(99, MOUNT, 3, 2)
    records, at = [], 0
    while struct.unpack_from(">I", body, at)[0]:
        at += 4
        fields = []
        for _ in range(2):
            (n,) = struct.unpack_from(">I", body, at)
            fields.append(body[at + 4:at + 4 + n].decode())
            at += 4 + n + (4 - n % 4) % 4
        records.append(tuple(fields))
    mine = [p for c, p in records if c == ATTACKER]
    check(0 < len(mine) <= 8 and len(set(mine)) == len(mine) and all("//" not in p and not p.endswith("/")
                                                                      for p in mine),
          "one address holds at most 8 records, one per normalised path: %r" % mine)
    check(any(c == "127.0.0.1" for c, _ in records), "the legitimate client's mount is recorded")


def main():
    nimbo = os.path.abspath(sys.argv[1])
    rc = reenter_in_private_net(__file__, nimbo)
    if rc is not None:
        return rc
    for tool in missing_tools("nfs-ls", "nfs-cat"):
        print("missing %s: install libnfs-utils (tools/packages.d/nfs.txt)" % tool)
        return 1
    work = tempfile.mkdtemp(prefix="nimbo-nfsh-")
    root = os.path.join(work, "root")
    live.make_tree(root)
    proc = subprocess.Popen([nimbo, "-i", live.write_ini(work, root)], stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE)
    try:
        check(live.wait_listening([111, 1058, 2049], time.time() + 20), "PORTMAP, MOUNT and NFS listen")
        non_reading_clients(proc.pid, root)
        mount_table_respelt(proc.pid, root)
    except Exception as e:  # a broken exchange is a failure, not a hang
        check(False, "exchange ended with %r" % e)
    finally:
        live.stop_program(proc)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % len(live.FAILURES))
    return 1 if live.FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
