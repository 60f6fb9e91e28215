#!/usr/bin/python3
"""DISCOVER/REQUEST exchanges per second: the program's DHCP server against dnsmasq.

Both servers run in turn in a network namespace joined by a veth pair to a client namespace
where perfdhcp (package kea-admin) drives them as a relay agent would, with the same number
of simulated clients, the same rate ceiling and the same duration. No GUI, address probes
off, log level 0. Needs root. Usage: dhcp_bench.py <path to nimbo_headless> [seconds] [clients]
"""
import os
import re
import signal
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests"))
from netns_pair import delete_namespaces, make_veth_pair  # noqa: E402

TAG = "%d" % os.getpid()
NS_SRV, NS_CLI = "nbbs" + TAG, "nbbc" + TAG
IF_SRV, IF_CLI = "bvs" + TAG, "bvc" + TAG
SERVER_IP, CLIENT_IP = "10.78.0.1", "10.78.0.2"


def sh(*cmd, ns=None, timeout=60, check=True):
    if ns:
        cmd = ("ip", "netns", "exec", ns) + cmd
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(cmd), r.stderr))
    return r


def setup():
    make_veth_pair(NS_SRV, NS_CLI, IF_SRV, IF_CLI, SERVER_IP + "/16", CLIENT_IP + "/16")


def cleanup():
    delete_namespaces(NS_SRV, NS_CLI)


def perfdhcp(seconds, clients):
    # perfdhcp relays from CLIENT_IP (giaddr) to the server and counts completed exchanges.
    r = sh("perfdhcp", "-4", "-l", IF_CLI, "-r", "50000", "-R", str(clients), "-p", str(seconds), "-W", "500000",
           SERVER_IP, ns=NS_CLI, timeout=seconds + 60, check=False)
    out = r.stdout + r.stderr
    m = re.search(r"Rate:\s*([0-9.]+)", out)
    drops = re.search(r"drops:\s*(\d+)", out)
    return (float(m.group(1)) if m else 0.0), out, drops


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(10)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait(5)


def run_nimbo(nimbo, work, seconds, clients):
    ini = os.path.join(work, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=4\n[TFTP]\nTFTP_RootDirectory=%s\n" % work)
        f.write("[DHCP]\nDHCP_IP_Pool=10.78.1.0\nDHCP_PoolSize=%d\nDHCP_IP_Mask=255.255.0.0\n" % (clients + 100))
        f.write("DHCP_BootFile=\\boot\\bios.0\nDHCP_LeaseTime=60\nDHCP_PingAddress=0\nDHCP_PersistantLeases=0\n")
    proc = subprocess.Popen(["ip", "netns", "exec", NS_SRV, nimbo, "-i", ini, "-l", "0"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(3.0)
    try:
        return perfdhcp(seconds, clients)
    finally:
        stop(proc)


def run_dnsmasq(work, seconds, clients):
    conf = os.path.join(work, "dnsmasq.conf")
    with open(conf, "w") as f:
        f.write("port=0\ninterface=%s\nbind-interfaces\nno-ping\nno-resolv\nleasefile-ro\n" % IF_SRV)
        f.write("dhcp-range=10.78.1.0,10.78.255.250,255.255.0.0,1h\ndhcp-lease-max=%d\n" % (clients + 100))
        f.write("dhcp-boot=\\boot\\bios.0\ndhcp-authoritative\nquiet-dhcp\nlog-facility=/dev/null\n")
    proc = subprocess.Popen(["ip", "netns", "exec", NS_SRV, "dnsmasq", "--no-daemon", "-C", conf,
                             "--pid-file=" + os.path.join(work, "dnsmasq.pid")],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.5)
    try:
        return perfdhcp(seconds, clients)
    finally:
        stop(proc)


def main():
    if len(sys.argv) < 2 or os.geteuid() != 0:
        print(__doc__)
        return 2
    nimbo = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 10
    clients = int(sys.argv[3]) if len(sys.argv) > 3 else 2000
    try:
        setup()
        with tempfile.TemporaryDirectory() as work:
            os.chmod(work, 0o755)
            ours, out1, _ = run_nimbo(nimbo, work, seconds, clients)
            theirs, out2, _ = run_dnsmasq(work, seconds, clients)
    finally:
        cleanup()
    if os.environ.get("DHCP_BENCH_VERBOSE"):
        print(out1, out2)
    print("nimbo:   %.1f exchanges/s" % ours)
    print("dnsmasq: %.1f exchanges/s" % theirs)
    if theirs > 0:
        print("ratio nimbo/dnsmasq: %.2f" % (ours / theirs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
