#!/usr/bin/python3
"""DNS answers per second: the program's DNS forwarder against dnsmasq.

Both servers answer in turn the same A queries from the same hosts file (bound over
/etc/hosts in a private network and mount namespace), driven by dnsperf with the same number
of outstanding queries for the same time. No GUI, log level 0. Needs root.
Usage: udp_bench.py <path to nimbo_headless> [seconds] [outstanding]
"""
import os
import re
import subprocess
import sys
import tempfile
import time

from dhcp_bench import stop  # noqa: E402  (ends a server: SIGTERM, then SIGKILL)

SERVER, CLIENT = "10.79.0.1", "10.79.0.2"
NAMES = ["host%d.bench" % i for i in range(50)]


def sh(cmd):
    subprocess.run(cmd, shell=True, check=True, capture_output=True)


def wait_port(port):
    for _ in range(100):
        if ":%d " % port in subprocess.run(["ss", "-uln"], capture_output=True, text=True).stdout:
            return
        time.sleep(0.1)
    raise RuntimeError("nothing listens on %d" % port)


def dnsperf(work, seconds, outstanding):
    r = subprocess.run(["dnsperf", "-s", SERVER, "-a", CLIENT, "-d", os.path.join(work, "queries"), "-l",
                        str(seconds), "-q", str(outstanding), "-t", "2"], capture_output=True, text=True,
                       timeout=seconds + 30)
    out = r.stdout + r.stderr
    qps = re.search(r"Queries per second:\s*([0-9.]+)", out)
    lost = re.search(r"Queries lost:\s*(\d+)", out)
    return (float(qps.group(1)) if qps else 0.0), (int(lost.group(1)) if lost else -1), out


def inner(nimbo, seconds, outstanding):
    work = tempfile.mkdtemp(prefix="nimbo-udp-bench-")
    for cmd in ("ip link set lo up", "ip link add b0 type veth peer name b0p",
                "ip addr add %s/24 dev b0" % SERVER, "ip addr add %s/24 dev b0" % CLIENT,
                "ip link set b0 up", "ip link set b0p up"):
        sh(cmd)
    with open(os.path.join(work, "hosts"), "w") as f:
        f.write("127.0.0.1 localhost\n")
        for i, n in enumerate(NAMES):
            f.write("10.79.1.%d %s\n" % (i + 1, n))
    with open(os.path.join(work, "resolv.conf"), "w") as f:
        f.write("nameserver 192.0.2.53\noptions timeout:1 attempts:1\n")
    with open(os.path.join(work, "queries"), "w") as f:
        f.writelines("%s A\n" % n for n in NAMES)
    sh("mount --bind %s/hosts /etc/hosts" % work)
    sh("mount --bind %s/resolv.conf /etc/resolv.conf" % work)
    ini = os.path.join(work, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=32\n")

    results = {}
    proc = subprocess.Popen([nimbo, "-i", ini, "-l", "0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_port(53)
        results["nimbo"] = dnsperf(work, seconds, outstanding)
    finally:
        stop(proc)
    proc = subprocess.Popen(["dnsmasq", "-k", "--no-resolv", "--no-hosts", "--addn-hosts=%s/hosts" % work,
                             "--listen-address=%s" % SERVER, "--bind-interfaces", "--cache-size=1000",
                             "--pid-file=%s/dnsmasq.pid" % work, "--user=root", "--conf-file=/dev/null"],
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        wait_port(53)
        results["dnsmasq"] = dnsperf(work, seconds, outstanding)
    finally:
        stop(proc)
    subprocess.run(["rm", "-rf", work])
    for name, (qps, lost, out) in results.items():
        if qps == 0.0:
            print(out)
        print("%-8s %.0f answers/s (%d lost)" % (name + ":", qps, lost))
    if results["dnsmasq"][0] > 0:
        print("ratio nimbo/dnsmasq: %.2f" % (results["nimbo"][0] / results["dnsmasq"][0]))
    return 0


def main():
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    nimbo = os.path.abspath(sys.argv[1])
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    outstanding = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    if os.environ.get("NIMBO_UDP_BENCH_INNER") == "1":
        return inner(nimbo, seconds, outstanding)
    env = dict(os.environ, NIMBO_UDP_BENCH_INNER="1")
    return subprocess.call(["unshare", "-n", "-m", sys.executable, os.path.abspath(__file__)] + sys.argv[1:], env=env)


if __name__ == "__main__":
    sys.exit(main())
