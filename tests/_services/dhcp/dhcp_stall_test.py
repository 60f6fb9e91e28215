#!/usr/bin/python3
"""Replies to clients that cannot be reached never hold up the DHCP thread.

The program runs in one network namespace, joined by a veth pair to a client namespace. The
pool lies on the server's link, and nobody in the client namespace holds its addresses, so a
reply sent straight to one of them waits in address resolution until the kernel gives up.

1. Renewals through a relay: perfdhcp acts as a relay agent (giaddr set) for 500 clients at
   200 exchanges/s, and renews their leases at 200/s (REQUESTs with ciaddr and giaddr). Every
   request of every kind is answered (perfdhcp counts one lost when no answer came within a
   second): the answers go to the relay, never to the clients' own addresses.
2. A forged client on the link takes a few addresses and then floods REQUESTs naming them as
   its own (ciaddr); every ACK to them waits in address resolution. Meanwhile another client's
   DISCOVER is still answered at once: the OFFER comes well before address resolution gives
   up (about 3 s), which is how long a thread waiting for room in its send buffer would hold it.

Needs root and network namespaces and exits 77 (skipped) only without them; a missing
perfdhcp is a failure. Usage: dhcp_stall_test.py <path to nimbo_headless>
"""
import os
import re
import sys
import tempfile
import time

# The live test's server, checks and namespaces; it puts tests/support on the path.
from dhcp_live_test import FAILURES, IF_CLI, IF_SRV, NS_CLI, NS_SRV, Server, check, run
from netns import start_test, veth_pair  # noqa: E402

SERVER_IP, CLIENT_IP = "10.76.0.1", "10.76.0.2"
POOL, POOL_SIZE = "10.76.1.0", 1200
# a reply waits in address resolution about this long before the kernel drops it
RESOLUTION_GIVES_UP_S = 3.0


def start_server(nimbo, work):
    """The program serving DHCP only on the /16 of the server's link, probes off."""
    with open(os.path.join(work, "Nimbo.ini"), "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=4\n[TFTP]\nTFTP_RootDirectory=%s\n" % work)
        f.write("[DHCP]\nDHCP_IP_Pool=%s\nDHCP_PoolSize=%d\nDHCP_IP_Mask=255.255.0.0\n" % (POOL, POOL_SIZE))
        f.write("DHCP_BootFile=\\boot\\bios.0\nDHCP_LeaseTime=60\nDHCP_PingAddress=0\nDHCP_PersistantLeases=0\n")
    return Server(nimbo, work, 4, write_ini=False)


def test_renewals_through_a_relay(nimbo, work):
    srv = start_server(nimbo, work)
    try:
        r = run("perfdhcp", "-4", "-l", CLIENT_IP, "-r", "200", "-R", "500", "-f", "200", "-p", "6", "-W", "1500000",
                SERVER_IP, ns=NS_CLI, timeout=60, check_rc=False)
        out = r.stdout + r.stderr
        stats = {}
        for name, block in re.findall(r"\*{3}Statistics for:\s*(.+?)\*{3}(.*?)(?=\*{3}|\Z)", out, re.S):
            def num(label):
                m = re.search(label + r":\s*([0-9.]+)", block)
                return float(m.group(1)) if m else -1.0
            stats[name.strip()] = (num("sent packets"), num("received packets"), num("drops"), num("avg delay"),
                                   num("max delay"))
            print("     %-32s sent %5.0f, answered %5.0f, lost %4.0f, delay avg %.3f ms, max %.3f ms" % (
                (name.strip(),) + stats[name.strip()]))
        renewals = [k for k in stats if "renew" in k.lower()]
        check("DISCOVER-OFFER" in stats and "REQUEST-ACK" in stats and renewals,
              "perfdhcp gives statistics for DISCOVER, REQUEST and the renewals%s" % ("" if stats else ":\n" + out))
        for name, (sent, received, drops, _avg, _max) in stats.items():
            check(sent > 0 and received == sent and drops == 0,
                  "%s: every request answered within a second (%d of %d)" % (name, received, sent))
        renewed = sum(stats[k][0] for k in renewals)
        check(renewed >= 200 * 6 * 0.5, "the renewals ran at about the rate asked (%d sent in 6 s)" % renewed)
    finally:
        srv.stop()


FORGED = r'''
import select, socket, struct, sys, time
ifname, server, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
macs = [bytes([0x02, 0xf0, 0, 0, 0, i]) for i in range(int(sys.argv[4]))]

def packet(msg, mac, ciaddr=b"\0" * 4, flags=0x8000):
    p = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", 1, 1, 6, 0, 0x5150 + mac[-1], 0, flags, ciaddr, b"\0" * 4,
                    b"\0" * 4, b"\0" * 4, mac.ljust(16, b"\0"), b"\0" * 64, b"\0" * 128)
    return (p + b"\x63\x82\x53\x63" + bytes([53, 1, msg, 255])).ljust(300, b"\0")

s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind(("0.0.0.0", 68))
held = {}
deadline = time.time() + 10
while len(held) < len(macs) and time.time() < deadline:
    for mac in macs:
        if mac not in held:
            s.sendto(packet(1, mac), ("255.255.255.255", 67))
    while select.select([s], [], [], 0.3)[0]:
        d = s.recv(2048)
        if len(d) >= 240 and d[1] == 1 and d[28:34] in macs:
            held[d[28:34]] = d[16:20]
if len(held) < len(macs):
    print("offers: %d of %d" % (len(held), len(macs)))
    sys.exit(1)
# The flood: REQUESTs naming the offered addresses as the clients' own, sent unicast
# without the broadcast flag, so each ACK goes to an address nobody answers for.
u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
u.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 22)
for k in range(count):
    mac = macs[k % len(macs)]
    u.sendto(packet(3, mac, held[mac], 0), (server, 67))
print("flooded %d" % count, flush=True)
'''

DISCOVER = r'''
import select, socket, struct, sys, time
ifname = sys.argv[1]
mac = bytes([0x02, 0xaa, 0, 0, 0, 1])
p = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", 1, 1, 6, 0, 0x7777, 0, 0x8000, b"\0" * 4, b"\0" * 4, b"\0" * 4,
                b"\0" * 4, mac.ljust(16, b"\0"), b"\0" * 64, b"\0" * 128)
p = (p + b"\x63\x82\x53\x63" + bytes([53, 1, 1, 255])).ljust(300, b"\0")
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, ifname.encode())
s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.bind(("0.0.0.0", 68))
t0 = time.monotonic()
s.sendto(p, ("255.255.255.255", 67))
while True:
    left = t0 + 10 - time.monotonic()
    if left <= 0 or not select.select([s], [], [], left)[0]:
        print("none")
        break
    d = s.recv(2048)
    if len(d) >= 240 and d[0] == 2 and d[4:8] == struct.pack("!I", 0x7777) and d[28:34] == mac:
        print("%.3f" % (time.monotonic() - t0))
        break
'''


def test_unreachable_client_does_not_delay_others(nimbo, work):
    srv = start_server(nimbo, work)
    try:
        flood = run(sys.executable, "-c", FORGED, IF_CLI, SERVER_IP, "3000", "8", ns=NS_CLI, timeout=60,
                    check_rc=False)
        check(flood.returncode == 0, "the forged client takes its addresses and floods (%s)"
              % (flood.stdout + flood.stderr).strip())
        offer = run(sys.executable, "-c", DISCOVER, IF_CLI, ns=NS_CLI, timeout=30, check_rc=False).stdout.strip()
        waited = float(offer) if re.fullmatch(r"[0-9.]+", offer) else None
        check(waited is not None and waited < RESOLUTION_GIVES_UP_S / 3,
              "another client's DISCOVER is answered while the ACKs to unreachable addresses wait "
              "(OFFER after %s s)" % offer)
        # and the server still answers once address resolution has given up on the flood
        time.sleep(RESOLUTION_GIVES_UP_S + 1)
        again = run(sys.executable, "-c", DISCOVER, IF_CLI, ns=NS_CLI, timeout=30, check_rc=False).stdout.strip()
        check(again != "none", "the server answers after the flood (OFFER after %s s)" % again)
    finally:
        srv.stop()


def main():
    rc = start_test(__doc__, 2, (("perfdhcp", ["perfdhcp", "-v"]),), "tools/packages.d/dhcp.txt")
    if rc is not None:
        return rc
    nimbo = os.path.abspath(sys.argv[1])
    with veth_pair(NS_SRV, NS_CLI, IF_SRV, IF_CLI, SERVER_IP + "/16", CLIENT_IP + "/16"), \
            tempfile.TemporaryDirectory() as work:
        os.chmod(work, 0o755)
        test_renewals_through_a_relay(nimbo, work)
        test_unreachable_client_does_not_delay_others(nimbo, work)
    print("%d failures" % len(FAILURES))
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
