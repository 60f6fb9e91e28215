#!/usr/bin/python3
"""Memory, threads and start time of the program, and what 100,000 DHCP exchanges leave behind.

In a network namespace joined by a veth pair to a client namespace (never on real interfaces):
  1. RSS and thread count idle with every service this build carries on, and at the peak of
     200 TFTP clients (curl, lock-step, blksize 1468) fetching a 4 MiB file at once;
  2. time from the start of the process until the first DHCP offer, DHCP alone and with
     TFTP and BINL on (BINL prepares a TFTP root of 20 assets: its boot programs, menus and
     boot components), median of the rounds;
  3. 100,000 exchanges (perfdhcp, 5,000 clients) run twice against one process: RSS, threads
     before, after the first and after the second 100,000 (the lease table is bounded by
     the pool of 5,100 addresses).
The load average is printed with every figure. Needs root.
Usage: footprint_bench.py <path to nimbo_headless> [rounds]
"""
import os
import re
import statistics
import subprocess
import sys
import time

from benchlib import load_average, program_and_rounds, sh, stop, veth_work_dir

TAG = "%d" % os.getpid()
NS_SRV, NS_CLI = "nbfs" + TAG, "nbfc" + TAG
IF_SRV, IF_CLI = "fvs" + TAG, "fvc" + TAG
SERVER_IP, CLIENT_IP = "10.79.0.1", "10.79.0.2"
# Every service bit but the TFTP client: TFTP, DHCP, SYSLOG, SNTP, DNS, FTP, HTTP, BINL, NFS.
ALL_SERVICES = 0x1 | 0x4 | 0x8 | 0x10 | 0x20 | 0x40 | 0x80 | 0x200 | 0x400
# The default boot-file list BINL prepares for (its boot programs).
BOOT_LIST = ("\\BM\\PXENIMBO\\BIOS\\pxenimbo.0|6?\\BM\\PXENIMBO\\EFI32\\pxenimbo.efi|"
             "7?\\BM\\PXENIMBO\\EFI64\\pxenimbo.efi|9?\\BM\\PXENIMBO\\EFI64\\pxenimbo.efi")
ASSET_INF = ("[PXENIMBO_MENU_ENTRY]\r\nasset=Asset %02d\r\nplatform=x64\r\n"
             "kernel_bios=::NWA_PXE/$HEAD_DIR$/vmlinuz\r\nappend_bios=initrd=::NWA_PXE/$HEAD_DIR$/initrd.img\r\n"
             "kernel_efi64=::NWA_PXE/$HEAD_DIR$/vmlinuz\r\nappend_efi64=initrd=::NWA_PXE/$HEAD_DIR$/initrd.img\r\n")




def status(pid):
    text = open("/proc/%d/status" % pid).read()
    rss = int(re.search(r"VmRSS:\s*(\d+)", text).group(1)) / 1024.0
    threads = int(re.search(r"Threads:\s*(\d+)", text).group(1))
    return rss, threads


def write_ini(work, services, pool=200):
    ini = os.path.join(work, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=%d\n" % services)
        f.write("[TFTP]\nTFTP_RootDirectory=%s\nTFTP_MaxSimultaneousTransfers=300\n" % os.path.join(work, "root"))
        f.write("[DHCP]\nDHCP_IP_Pool=10.79.1.0\nDHCP_PoolSize=%d\nDHCP_IP_Mask=255.255.0.0\n" % pool)
        f.write("DHCP_BootFile=%s\nDHCP_LeaseTime=3600\nDHCP_PingAddress=0\nDHCP_PersistantLeases=0\n" % BOOT_LIST)
    return ini


def make_root(work):
    """The TFTP root: 20 assets for the BINL menus (kernel, initrd and description each)
    and the file the TFTP clients fetch."""
    root = os.path.join(work, "root")
    for i in range(20):
        asset = os.path.join(root, "NWA_PXE", "A%02d" % i)
        os.makedirs(asset, exist_ok=True)
        for name, size in (("vmlinuz", 256 << 10), ("initrd.img", 128 << 10)):
            with open(os.path.join(asset, name), "wb") as f:
                f.write(os.urandom(size))
        with open(os.path.join(asset, "NimboAsset.inf"), "w", newline="") as f:
            f.write(ASSET_INF % i)
    with open(os.path.join(root, "file4m.bin"), "wb") as f:
        f.write(os.urandom(4 << 20))


def start(nimbo, ini, work):
    return subprocess.Popen(["ip", "netns", "exec", NS_SRV, nimbo, "-i", ini], cwd=work,
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)



FIRST_OFFER = r'''
import socket, struct, sys, time
ifname, t0 = sys.argv[1], float(sys.argv[2])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind(("0.0.0.0", 68))
s.settimeout(0.01)
mac = bytes.fromhex("020000ee0001")
pkt = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", 1, 1, 6, 0, 0x5151, 0, 0x8000, bytes(4), bytes(4), bytes(4),
                  bytes(4), mac.ljust(16, b"\0"), bytes(64), bytes(128))
pkt += b"\x63\x82\x53\x63\x35\x01\x01" + bytes([60, 9]) + b"PXEClient" + bytes([93, 2, 0, 0]) + b"\xff"
pkt = pkt.ljust(300, b"\0")
while time.time() < t0 + 30:
    s.sendto(pkt, ("255.255.255.255", 67))
    try:
        data = s.recv(2048)
        if len(data) > 240 and data[0] == 2 and data[4:8] == pkt[4:8]:
            print("%.3f" % (time.time() - t0))
            break
    except socket.timeout:
        pass
'''


def first_offer(nimbo, work, services):
    ini = write_ini(work, services)
    t0 = time.time()
    proc = start(nimbo, ini, work)
    try:
        r = sh(sys.executable, "-c", FIRST_OFFER, IF_CLI, repr(t0), ns=NS_CLI, timeout=60, check=False)
        return float(r.stdout.strip()) if r.stdout.strip() else None
    finally:
        stop(proc)


def tftp_clients(nimbo, work):
    ini = write_ini(work, ALL_SERVICES)
    proc = start(nimbo, ini, work)
    try:
        time.sleep(6.0)  # the rows start with their pauses; BINL prepares the root
        idle = status(proc.pid) + (load_average(),)
        out = os.path.join(work, "out")
        os.makedirs(out, exist_ok=True)
        clients = [subprocess.Popen(["ip", "netns", "exec", NS_CLI, "curl", "-s", "--tftp-blksize", "1468",
                                     "-o", os.path.join(out, "%d" % i), "tftp://%s/file4m.bin" % SERVER_IP],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL) for i in range(200)]
        peak_rss, peak_threads = 0.0, 0
        while any(c.poll() is None for c in clients):
            rss, threads = status(proc.pid)
            peak_rss, peak_threads = max(peak_rss, rss), max(peak_threads, threads)
            time.sleep(0.05)
        ok = sum(1 for i in range(200) if os.path.exists(os.path.join(out, "%d" % i))
                 and os.path.getsize(os.path.join(out, "%d" % i)) == 4 << 20)
        busy = (peak_rss, peak_threads, load_average(), ok)
        time.sleep(3.0)
        after = status(proc.pid) + (load_average(),)
        return idle, busy, after
    finally:
        stop(proc)


def many_exchanges(nimbo, work, per_run=100000):
    """RSS and threads before and after each run of per_run exchanges (5,000 clients, a pool
    of 5,100 addresses: the lease table can hold them all)."""
    ini = write_ini(work, 0x4, pool=5100)
    proc = start(nimbo, ini, work)
    rows = []
    try:
        time.sleep(3.0)
        rows.append(("start",) + status(proc.pid) + (load_average(), 0))
        done = 0
        for _ in range(2):
            r = sh("perfdhcp", "-4", "-l", IF_CLI, "-r", "5000", "-R", "5000", "-n", str(per_run), SERVER_IP,
                   ns=NS_CLI, timeout=900, check=False)
            m = re.search(r"REQUEST-ACK\*+\s*sent packets:\s*\d+\s*received packets:\s*(\d+)", r.stdout)
            done += per_run
            time.sleep(2.0)
            acks = int(m.group(1)) if m else 0
            rows.append(("after %d exchanges" % done,) + status(proc.pid) + (load_average(), acks))
    finally:
        stop(proc)
    return rows


def main():
    args = program_and_rounds(__doc__)
    if args is None:
        return 2
    nimbo, rounds = args
    with veth_work_dir(NS_SRV, NS_CLI, IF_SRV, IF_CLI, SERVER_IP + "/16", CLIENT_IP + "/16") as work:
        make_root(work)
        os.chmod(os.path.join(work, "root"), 0o755)
        offers = {"DHCP only": [], "TFTP + DHCP + BINL (20 assets)": []}
        for _ in range(rounds):
            for name, mask in (("DHCP only", 0x4), ("TFTP + DHCP + BINL (20 assets)", 0x205)):
                offers[name].append((first_offer(nimbo, work, mask), load_average()))
        print("| start until the first offer | seconds (median) | rounds | load avg |\n|---|---|---|---|")
        for name, vals in offers.items():
            secs = [v for v, _ in vals if v is not None]
            print("| %s | %s | %s | %s |" % (name, "%.2f" % statistics.median(secs) if secs else "none",
                                            ", ".join("%.2f" % v if v is not None else "-" for v, _ in vals),
                                            ", ".join("%.1f" % l for _, l in vals)))
        idle, busy, after = tftp_clients(nimbo, work)
        print("\n| every service on | RSS MB | threads | load avg |\n|---|---|---|---|")
        print("| idle | %.1f | %d | %.1f |" % idle)
        print("| peak under 200 TFTP clients (%d/200 files whole) | %.1f | %d | %.1f |"
              % (busy[3], busy[0], busy[1], busy[2]))
        print("| 3 s after they ended | %.1f | %d | %.1f |" % after)
        rows = many_exchanges(nimbo, work)
        print("\n| 5,000 clients, perfdhcp | RSS MB | threads | load avg | ACKs in the run |"
              "\n|---|---|---|---|---|")
        for r in rows:
            print("| %s | %.1f | %d | %.1f | %d |" % r)
    return 0


if __name__ == "__main__":
    sys.exit(main())
