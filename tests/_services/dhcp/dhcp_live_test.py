#!/usr/bin/python3
"""The DHCP and proxyDHCP server against real clients in network namespaces.

Runs the program with a temporary INI in one namespace, joined by a veth pair to a client
namespace where busybox udhcpc, dhclient and hand-made requests ask for addresses and boot
files. Needs root and network namespaces and exits 77 (skipped) only without them; a
missing client is a failure. Usage: dhcp_live_test.py <path to nimbo>
"""
import os
import re
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
from netns import start_test, veth_pair  # noqa: E402

FAILURES = []
TAG = "%d" % os.getpid()
NS_SRV, NS_CLI = "nbs" + TAG, "nbc" + TAG
IF_SRV, IF_CLI = "vs" + TAG, "vc" + TAG
SERVER_IP = "10.77.0.1"
BOOT_LIST = r"\boot\bios.0|7?\boot\x64.efi|7i?\boot\ipxe64.efi|9?\boot\x64b.efi|a?\boot\arm32.efi"
# The BIOS boot program on disk, in a letter case of its own: 100000 bytes, 196 blocks.
BOOT_PROGRAM = ("Boot", "BIOS.0", 100000)
HERE = os.path.dirname(os.path.abspath(__file__))


def check(cond, what):
    print(("ok   " if cond else "FAIL ") + what, flush=True)
    if not cond:
        FAILURES.append(what)


def run(*cmd, timeout=20, check_rc=True, ns=None, **kw):
    if ns:
        cmd = ("ip", "netns", "exec", ns) + cmd
    r = subprocess.run(cmd, timeout=timeout, capture_output=True, text=True, **kw)
    if check_rc and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(cmd), r.stderr))
    return r


class Server:
    def __init__(self, nimbo, work, services, extra="", write_ini=True, boot_list=BOOT_LIST, pool=20):
        self.work = work
        self.log = os.path.join(work, "nimbo.log")
        self.trace = os.path.join(work, "nimbo.trace")
        if os.path.exists(self.log):
            os.unlink(self.log)
        ini = self.ini = os.path.join(work, "Nimbo.ini")
        if write_ini:
            with open(ini, "w") as f:
                f.write("[NIMBO]\nNIMBO_Services=%d\nNIMBO_LogFile=%s\n" % (services, self.log))
                f.write("[TFTP]\nTFTP_RootDirectory=%s\n" % work)
                f.write("[DHCP]\nDHCP_IP_Pool=10.77.0.100\nDHCP_PoolSize=%d\nDHCP_IP_Mask=255.255.255.0\n" % pool)
                f.write("DHCP_BootFile=%s\nDHCP_DefaultGateway=10.77.0.1\nDHCP_LeaseTime=60\n%s" % (boot_list, extra))
        with open(self.trace, "wb") as trace:
            # The developer trace tells when the threads read requests.
            self.proc = subprocess.Popen(["ip", "netns", "exec", NS_SRV, nimbo, "-i", ini, "-l", "20"],
                                         stdout=subprocess.DEVNULL, stderr=trace,
                                         env=dict(os.environ, NIMBO_TRACE="1"))
        deadline = time.time() + 10
        while time.time() < deadline:
            if "Loaded" in self.text() or self.ready():
                break
            time.sleep(0.2)
        self.wait_serving(services)

    def wait_serving(self, services):
        """The threads pause after loading the settings: waits (at most 30 s) until each one
        says in the developer trace that it reads requests."""
        wanted = [b"DHCP Inf: reading requests on port 67"]
        if services & 0x100:
            wanted.append(b"PDHCP Inf: reading requests on port 4011")
        deadline, trace = time.time() + 30, b""
        while time.time() < deadline and self.alive():
            with open(self.trace, "rb") as f:
                trace = f.read()
            if all(w in trace for w in wanted):
                break
            time.sleep(0.1)
        check(all(w in trace for w in wanted), "the server's threads read requests")

    def ready(self):
        out = run("ss", "-uln", ns=NS_SRV, check_rc=False).stdout
        return ":67 " in out

    def text(self):
        try:
            with open(self.log, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    def alive(self):
        return self.proc.poll() is None

    def stop(self):
        """Stops the program and checks that it ended cleanly: exit code 0 and no report of
        the sanitizers (LeakSanitizer included) in its trace."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(8)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        with open(self.trace, "rb") as f:
            trace = f.read()
        check(self.proc.returncode == 0, "the program exits with code 0 (%s)" % self.proc.returncode)
        check(b"Sanitizer" not in trace, "the program ends without a sanitizer report%s"
              % (":\n" + trace[trace.find(b"Sanitizer") - 200:][:3000].decode(errors="replace")
                 if b"Sanitizer" in trace else ""))


def udhcpc(work, arch, ipxe=False, vendor="PXEClient", pause=1):
    script = os.path.join(work, "udhcpc.sh")
    out = os.path.join(work, "udhcpc.env")
    with open(script, "w") as f:
        f.write("#!/bin/sh\n[ \"$1\" = bound ] && env > %s\nexit 0\n" % out)
    os.chmod(script, 0o755)
    if os.path.exists(out):
        os.unlink(out)
    cmd = ["busybox", "udhcpc", "-i", IF_CLI, "-n", "-q", "-f", "-t", "4", "-T", str(pause), "-s", script, "-V", vendor]
    if arch is not None:
        cmd += ["-x", "0x5d:%04x" % arch]
    if ipxe:
        cmd += ["-x", "0x4d:69505845"]
    run(*cmd, ns=NS_CLI, timeout=20, check_rc=False)
    env = {}
    if os.path.exists(out):
        for line in open(out):
            k, _, v = line.rstrip("\n").partition("=")
            env[k] = v
    return env


def dhcp_packet(msg_type, mac, opts=b"", hlen=6, ciaddr="0.0.0.0", sname=b"", cookie=True, end=True):
    pkt = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", 1, 1, hlen, 0, 0x1234, 0, 0x8000, socket.inet_aton(ciaddr),
                      b"\0" * 4, b"\0" * 4, b"\0" * 4, mac.ljust(16, b"\0"), sname.ljust(64, b"\0"), b"\0" * 128)
    if cookie:
        pkt += b"\x63\x82\x53\x63" + bytes([53, 1, msg_type]) + opts + (b"\xff" if end else b"")
    return pkt.ljust(300, b"\0")


def pxe_opts(arch, ipxe=False):
    o = bytes([60, 9]) + b"PXEClient" + bytes([93, 2]) + struct.pack("!H", arch)
    if ipxe:
        o += bytes([77, 4]) + b"iPXE"
    return o


CLIENT = r'''
import socket, struct, sys, select
def exchange(pkt, dest, port, src_ip, src_port, wait, ifname):
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
    s.bind((src_ip, src_port))
    s.sendto(pkt, (dest, port))
    r, _, _ = select.select([s], [], [], wait)
    data = s.recvfrom(4096)[0] if r else b""
    s.close()
    return data
args = sys.argv[1:]
pkt = bytes.fromhex(args[0])
sys.stdout.write(exchange(pkt, args[1], int(args[2]), args[3], int(args[4]), float(args[5]), args[6]).hex())
'''


def exchange(pkt, dest="255.255.255.255", port=67, src_ip="0.0.0.0", src_port=68, wait=1.5):
    r = run("/usr/bin/python3", "-c", CLIENT, pkt.hex(), dest, str(port), src_ip, str(src_port), str(wait),
            IF_CLI, ns=NS_CLI, timeout=15, check_rc=False)
    return bytes.fromhex(r.stdout.strip()) if r.stdout.strip() else b""


def reply_fields(data):
    if len(data) < 240:
        return None
    op, yiaddr, siaddr = data[0], socket.inet_ntoa(data[16:20]), socket.inet_ntoa(data[20:24])
    bootfile = data[108:236].split(b"\0")[0].decode(errors="replace")
    opts, i = {}, 240
    while i < len(data) and data[i] != 255:
        if data[i] == 0:
            i += 1
            continue
        opts[data[i]] = data[i + 2:i + 2 + data[i + 1]]
        i += 2 + data[i + 1]
    return {"op": op, "yiaddr": yiaddr, "siaddr": siaddr, "file": bootfile, "opts": opts, "len": len(data)}


def option_order(data):
    """The option codes of a reply in the order of its bytes, END included."""
    codes, i = [], 240
    while i < len(data):
        codes.append(data[i])
        if data[i] == 255:
            break
        i += 1 if data[i] == 0 else 2 + data[i + 1]
    return codes


def test_dhcp_mode(nimbo, work):
    srv = Server(nimbo, work, 0x5)
    try:
        check(srv.ready(), "DHCP port 67 is bound in the server namespace")
        cases = [(0, False, r"\boot\bios.0"), (7, False, r"\boot\x64.efi"), (7, True, r"\boot\ipxe64.efi"),
                 (9, False, r"\boot\x64b.efi"), (9, True, r"\boot\x64b.efi"), (0, True, r"\boot\bios.0")]
        for arch, ipxe, want in cases:
            env = udhcpc(work, arch, ipxe)
            what = "udhcpc arch %d%s" % (arch, " iPXE" if ipxe else "")
            check(env.get("ip", "").startswith("10.77.0.1"), what + " gets a pool address (%s)" % env.get("ip"))
            check(env.get("siaddr") == SERVER_IP, what + " gets siaddr %s (%s)" % (SERVER_IP, env.get("siaddr")))
            check(env.get("boot_file") == want, what + " gets %s (%s)" % (want, env.get("boot_file")))
            check(env.get("router") == "10.77.0.1" and env.get("subnet") == "255.255.255.0", what + " gets mask and router")
            if want == r"\boot\bios.0":
                check(env.get("bootsize") == "196", what + " gets the size of Boot/BIOS.0 (%s)" % env.get("bootsize"))

        # dhclient takes a lease and gives it back.
        script = os.path.join(work, "dhclient.sh")
        with open(script, "w") as f:
            f.write("#!/bin/sh\ncase \"$reason\" in\n"
                    "BOUND|RENEW|REBIND|REBOOT) ip addr add \"$new_ip_address/24\" dev \"$interface\" ;;\n"
                    "RELEASE|EXPIRE|STOP) ip addr flush dev \"$interface\" ;;\nesac\nexit 0\n")
        os.chmod(script, 0o755)
        lease, pid = os.path.join(work, "dhclient.leases"), os.path.join(work, "dhclient.pid")
        common = ["-4", "-lf", lease, "-pf", pid, "-sf", script, "-cf", "/dev/null", IF_CLI]
        run("dhclient", "-1", *common, ns=NS_CLI, timeout=30, check_rc=False)
        leased = open(lease).read() if os.path.exists(lease) else ""
        check("fixed-address 10.77.0.1" in leased, "dhclient gets a lease")
        addr = run("ip", "-4", "addr", "show", IF_CLI, ns=NS_CLI).stdout
        check("10.77.0.1" in addr, "dhclient configured the leased address")
        run("dhclient", "-r", *common, ns=NS_CLI, timeout=30, check_rc=False)
        time.sleep(1.0)
        check("released" in srv.text(), "the server logs the release")
        run("ip", "addr", "flush", "dev", IF_CLI, ns=NS_CLI, check_rc=False)

        # Requests that are dropped, and requests at the edges of the format.
        mac = bytes.fromhex("020000aabb01")
        srv_mac = run("cat", "/sys/class/net/%s/address" % IF_SRV, ns=NS_SRV).stdout.strip()
        dropped = [
            ("foreign sname", dhcp_packet(1, mac, pxe_opts(0), sname=b"someotherhost")),
            ("own MAC", dhcp_packet(1, bytes.fromhex(srv_mac.replace(":", "")), pxe_opts(0))),
            ("oversize", dhcp_packet(1, mac, pxe_opts(0)).ljust(1900, b"\0")),
            ("short", dhcp_packet(1, mac)[:200]),
            ("BOOTREPLY op", b"\x02" + dhcp_packet(1, mac)[1:]),
            ("hlen 255", dhcp_packet(1, mac, pxe_opts(0), hlen=255)),
            ("hlen 17", dhcp_packet(1, mac, pxe_opts(0), hlen=17)),
            ("option 93 out of range", dhcp_packet(1, mac, pxe_opts(0x1234))),
            ("option 93 of 48", dhcp_packet(1, mac, pxe_opts(48))),
            ("no END", dhcp_packet(1, mac, pxe_opts(7), end=False).ljust(600, b"\x2b")),
            ("an option cut by the end of the datagram", dhcp_packet(1, mac, pxe_opts(7))[:256]),
        ]
        for name, pkt in dropped:
            check(exchange(pkt) == b"", "%s gets no reply" % name)
        order = option_order(exchange(dhcp_packet(1, mac, pxe_opts(0))))
        check(order == [53, 54, 1, 3, 51, 58, 59, 13, 255], "the offer's options in their order: %s" % order)
        f = reply_fields(exchange(dhcp_packet(1, mac, pxe_opts(0), hlen=16)))
        check(f is not None and f["op"] == 2 and f["file"] == r"\boot\bios.0", "hlen 16 is still answered")
        check("Malformed request from MAC" in srv.text(), "the server logs the malformed requests")
        check("needs a missing NBP" in srv.text(), "the server logs the architecture it has no row for")
        check(srv.alive(), "the server survives malformed requests")
        env = udhcpc(work, 0)
        check(env.get("boot_file") == r"\boot\bios.0", "the server still answers afterwards")
    finally:
        srv.stop()
        if os.environ.get("DHCP_LIVE_KEEP_LOG"):
            open(os.environ["DHCP_LIVE_KEEP_LOG"] + ".dhcp", "w").write(srv.text())


def test_bound(nimbo, work):
    srv = Server(nimbo, work, 0x5, "DHCP_LocalIP=%s\nDHCP_PersistantLeases=1\n" % SERVER_IP)
    try:
        env = udhcpc(work, 7, True)
        check(env.get("ip", "").startswith("10.77.0.1") and env.get("serverid") == SERVER_IP,
              "bound to DHCP_LocalIP the server still hears broadcasts and names itself")
        check(env.get("boot_file") == r"\boot\ipxe64.efi", "bound server serves the iPXE row")
    finally:
        srv.stop()
    ini = open(srv.ini).read()
    mac = run("cat", "/sys/class/net/%s/address" % IF_CLI, ns=NS_CLI).stdout.strip().upper()
    check("DHCP_Lease_NumLeases=1" in ini and ("DHCP_Lease_0DHCP_MAC=" + mac) in ini
          and "DHCP_Lease_0DHCP_IP=" + env.get("ip", "?") in ini, "the lease is kept in the INI file")
    check(re.search(r"DHCP_Lease_0DHCP_LeaseStartTime=\d\d/\d\d/\d{4}/\d\d:\d\d:\d\d", ini) is not None,
          "the lease start time is kept in the INI time format")
    # Read back at the next start: the client keeps its address.
    srv2 = Server(nimbo, work, 0x5, write_ini=False)
    try:
        check(srv2.alive(), "the program starts again with the stored leases")
        again = udhcpc(work, 7, True)
        check(again.get("ip") == env.get("ip"), "the stored lease is served again (%s)" % again.get("ip"))
        check("Reply with previously allocated : %s" % env.get("ip") in srv2.text(), "the stored lease is found by MAC")
    finally:
        srv2.stop()


def test_ping(nimbo, work):
    # The client already uses the first pool address: the probe finds it and skips it.
    run("ip", "addr", "add", "10.77.0.100/24", "dev", IF_CLI, ns=NS_CLI)
    srv = Server(nimbo, work, 0x5, "DHCP_PingAddress=1\n")
    try:
        env = udhcpc(work, 0, pause=4)
        check(env.get("ip") == "10.77.0.101", "an address that answers the probe is not offered (%s)" % env.get("ip"))
        check("Suppress pingable address 10.77.0.100" in srv.text(), "the server logs the suppressed address")
    finally:
        srv.stop()
        run("ip", "addr", "flush", "dev", IF_CLI, ns=NS_CLI, check_rc=False)


def test_proxy_mode(nimbo, work):
    run("ip", "addr", "add", "10.77.0.50/24", "dev", IF_CLI, ns=NS_CLI)
    srv = Server(nimbo, work, 0x105)
    try:
        mac = bytes.fromhex("020000aabb02")
        f = reply_fields(exchange(dhcp_packet(1, mac, pxe_opts(7))))
        check(f is not None and f["op"] == 2, "proxy mode answers a PXE DISCOVER")
        if f:
            check(f["yiaddr"] == "0.0.0.0", "the proxy offer carries no address")
            check(f["opts"].get(60) == b"PXEClient", "the proxy offer carries class PXEClient")
            check(f["opts"].get(53) == b"\x02" and socket.inet_ntoa(f["opts"].get(54, b"\0" * 4)) == SERVER_IP,
                  "the proxy offer is an OFFER from the server")
        check(exchange(dhcp_packet(1, mac, bytes([60, 8]) + b"MSFT 5.0")) == b"", "proxy mode ignores other clients")
        check(exchange(dhcp_packet(1, mac)) == b"", "proxy mode ignores clients without class")
        req = dhcp_packet(3, mac, pxe_opts(7), ciaddr="10.77.0.50")
        f = reply_fields(exchange(req, dest=SERVER_IP, port=4011, src_ip="10.77.0.50", src_port=4011))
        check(f is not None and f["opts"].get(53) == b"\x05", "a request to port 4011 gets the proxy ACK")
        if f:
            check(f["file"] == r"\boot\x64.efi", "the proxy ACK names the boot file of the row (%s)" % f["file"])
            check(f["siaddr"] == SERVER_IP, "the proxy ACK names the TFTP server")
        noci = dhcp_packet(3, mac, pxe_opts(7))
        check(exchange(noci, dest=SERVER_IP, port=4011, src_ip="10.77.0.50", src_port=4011) == b"",
              "a request without ciaddr gets no proxy ACK")
        # A burst of requests to port 4011: each gets its own ACK.
        packets = []
        for i in range(200):
            pkt = bytearray(dhcp_packet(3, bytes.fromhex("0200dd%06x" % i), pxe_opts(7), ciaddr="10.77.0.50"))
            pkt[4:8] = struct.pack("!I", 0x40000 + i)
            packets.append(bytes(pkt))
        replies = burst(packets, dest=SERVER_IP, port=4011, src_ip="10.77.0.50", src_port=4011)
        check_burst_replies("proxy burst", packets, replies, 5)
        check(srv.alive(), "the proxy server is still running")
    finally:
        srv.stop()
        if os.environ.get("DHCP_LIVE_KEEP_LOG"):
            open(os.environ["DHCP_LIVE_KEEP_LOG"] + ".proxy", "w").write(srv.text())
        run("ip", "addr", "flush", "dev", IF_CLI, ns=NS_CLI, check_rc=False)


FLOOD = r'''
import socket, sys, time
ifname, seconds, decline = sys.argv[1], float(sys.argv[2]), bytes.fromhex(sys.argv[3])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
end, n = time.time() + seconds, 0
while time.time() < end:
    s.sendto(b"x", ("255.255.255.255", 67))
    if n % 10 == 0:
        s.sendto(decline, ("255.255.255.255", 67))
    n += 1
    time.sleep(0.01)
'''


def test_floods(nimbo, work):
    """One-byte datagrams (100 a second) and DECLINEs of an address nobody holds (10 a
    second) must not keep a valid client from being answered, every time."""
    srv = Server(nimbo, work, 0x5)
    try:
        decline = dhcp_packet(4, bytes.fromhex("020000aabb09"), bytes([50, 4]) + socket.inet_aton("10.77.0.118"))
        flood = subprocess.Popen(["ip", "netns", "exec", NS_CLI, "/usr/bin/python3", "-c", FLOOD, IF_CLI, "8",
                                  decline.hex()])
        try:
            time.sleep(0.5)
            answered = 0
            for i in range(6):
                f = reply_fields(exchange(dhcp_packet(1, bytes.fromhex("020000aabb0a"), pxe_opts(0))))
                answered += f is not None and f["op"] == 2
            check(answered == 6, "a valid client is answered during the floods (%d of 6)" % answered)
        finally:
            flood.wait(20)
        check(srv.alive(), "the server survives the floods")
    finally:
        srv.stop()


BURST = r'''
import socket, struct, sys, time
ifname, dest, port, src_ip, src_port = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4], int(sys.argv[5])
packets = [bytes.fromhex(h) for h in sys.stdin.read().split()]
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, 33, 16 << 20)  # SO_RCVBUFFORCE: every reply waits here
s.bind((src_ip, src_port))
for p in packets:
    s.sendto(p, (dest, port))
s.settimeout(0.5)
want, got, end = len(packets), [], time.time() + 30
while len(got) < want and time.time() < end:
    try:
        got.append(s.recv(4096).hex())
    except socket.timeout:
        pass
print("\n".join(got))
'''


def burst(packets, dest="255.255.255.255", port=67, src_ip="0.0.0.0", src_port=68):
    """Sends every packet at once from one socket and returns the replies that came back."""
    r = run("/usr/bin/python3", "-c", BURST, IF_CLI, dest, str(port), src_ip, str(src_port), ns=NS_CLI,
            timeout=60, check_rc=False, input=" ".join(p.hex() for p in packets))
    return [bytes.fromhex(line) for line in r.stdout.split()]


def check_burst_replies(what, packets, replies, reply_type):
    """Every request of a burst gets exactly one reply of the type, for its own xid and MAC."""
    sent = {struct.unpack("!I", p[4:8])[0]: p[28:34] for p in packets}
    seen, wrong = {}, 0
    for r in replies:
        xid = struct.unpack("!I", r[4:8])[0]
        f = reply_fields(r)
        if xid not in sent or r[28:34] != sent[xid] or f is None or f["opts"].get(53) != bytes([reply_type]):
            wrong += 1
        seen[xid] = seen.get(xid, 0) + 1
    missing = [x for x in sent if x not in seen]
    check(not missing and wrong == 0 and all(v == 1 for v in seen.values()),
          "%s: every one of %d requests gets its own answer (%d missing, %d wrong, %d repeated)"
          % (what, len(sent), len(missing), wrong, sum(v > 1 for v in seen.values())))
    return {r[28:34]: socket.inet_ntoa(r[16:20]) for r in replies}


def test_burst(nimbo, work):
    """A burst of 600 DISCOVERs (150 clients, 4 each) sent at once, more than the default
    receive buffer of a socket holds: each gets its own offer, each client one address."""
    srv = Server(nimbo, work, 0x5, pool=150)
    try:
        macs = [bytes.fromhex("0200cc%06x" % i) for i in range(150)]
        packets = []
        for round_ in range(4):
            for i, mac in enumerate(macs):
                pkt = bytearray(dhcp_packet(1, mac, pxe_opts(0)))
                pkt[4:8] = struct.pack("!I", 0x10000 * (round_ + 1) + i)
                packets.append(bytes(pkt))
        replies = burst(packets)
        addresses = check_burst_replies("DHCP burst", packets, replies, 2)
        check(len(set(addresses.values())) == len(macs), "each client of the burst is offered an address of its own")
        check(srv.alive(), "the server survives the burst")
    finally:
        srv.stop()


STALL = r'''
import socket, sys, time
sys.path.insert(0, sys.argv[1])
from console_wire_test import handshake, request
s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
for _ in range(100):
    try:
        s.connect(("127.0.0.1", 1994))
        break
    except OSError:
        time.sleep(0.1)
assert handshake(s) == 1
for _ in range(300):
    request(s, 206)  # 32 KB answers that are never read: more than the socket buffers hold
print("stalled", flush=True)
time.sleep(float(sys.argv[2]))
'''


def test_console_that_stops_reading(nimbo, work):
    """A GUI that stops reading must not hold up DHCP or TFTP: udhcpc and atftp are served
    while it stays connected. The boot file is named without a leading separator and in
    another letter case than on disk: TFTP finds it, and so does the size in option 13."""
    run("ip", "addr", "add", "10.77.0.50/24", "dev", IF_CLI, ns=NS_CLI)
    srv = Server(nimbo, work, 0x5, boot_list=r"boot\bios.0")
    stall = subprocess.Popen(["ip", "netns", "exec", NS_SRV, "/usr/bin/python3", "-c", STALL,
                              os.path.dirname(HERE), "120"], stdout=subprocess.PIPE, text=True)
    try:
        check(stall.stdout.readline().strip() == "stalled", "a console client connects and stops reading")
        for i in range(3):
            env = udhcpc(work, 0)
            check(env.get("ip", "").startswith("10.77.0.1"), "udhcpc %d is served while the GUI does not read" % i)
            if i == 0:
                check(env.get("boot_file") == r"boot\bios.0", "the boot file as written (%s)" % env.get("boot_file"))
                check(env.get("bootsize") == "196", "option 13 has the size of Boot/BIOS.0 (%s)" % env.get("bootsize"))
        out = os.path.join(work, "fetched.0")
        r = run("atftp", "-g", "-r", r"boot\bios.0", "-l", out, SERVER_IP, ns=NS_CLI, timeout=60, check_rc=False)
        check(r.returncode == 0 and os.path.getsize(out) == BOOT_PROGRAM[2],
              "atftp fetches the boot file while the GUI does not read (%s)" % r.stderr.strip()[:200])
        check(srv.alive(), "the server is still running")
    finally:
        stall.kill()
        stall.wait(5)
        srv.stop()
        run("ip", "addr", "flush", "dev", IF_CLI, ns=NS_CLI, check_rc=False)


def main():
    rc = start_test(__doc__, 2, (("busybox udhcpc", ["busybox", "udhcpc", "--help"]),
                                 ("dhclient", ["dhclient", "--version"]), ("ip", ["ip", "-V"])),
                    "tools/packages.d/dhcp.txt")
    if rc is not None:
        return rc
    nimbo = os.path.abspath(sys.argv[1])
    with veth_pair(NS_SRV, NS_CLI, IF_SRV, IF_CLI, SERVER_IP + "/24", None), tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        os.mkdir(os.path.join(work, BOOT_PROGRAM[0]))
        with open(os.path.join(work, BOOT_PROGRAM[0], BOOT_PROGRAM[1]), "wb") as f:
            f.write(b"\x90" * BOOT_PROGRAM[2])
        test_dhcp_mode(nimbo, work)
        test_floods(nimbo, work)
        test_burst(nimbo, work)
        test_console_that_stops_reading(nimbo, work)
        test_bound(nimbo, work)
        test_ping(nimbo, work)
        test_proxy_mode(nimbo, work)
    print("%d failures" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
