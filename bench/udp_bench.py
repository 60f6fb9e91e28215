#!/usr/bin/python3
"""DNS answers per second: the program's DNS forwarder against dnsmasq.

Both servers answer in turn the same A queries from the same hosts file (bound over
/etc/hosts in a private network and mount namespace), driven by dnsperf with the same number
of outstanding queries for the same time, in BENCH_ROUNDS rounds (3 by default; the servers
take turns within each round). No GUI, log level 0. For each server the table gives the
median answers/s with every round beside it, the load average of each round, the server's
CPU per answer, and whether the client rather than the server was the limit: dnsperf's
sockets dropped answers for a full receive buffer, or its busiest thread was busy 90% of the
run or more. Needs root.
Usage: udp_bench.py [path to nimbo_headless] [seconds] [outstanding]
(the program defaults to $NIMBO_BENCH_PROGRAM)
"""
import os
import re
import subprocess
import sys
import tempfile
import time

from benchlib import load_average, median, udp_receive_buffer_drops  # noqa: E402
from dhcp_bench import cpu_seconds, stop, thread_cpu  # noqa: E402

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


def server_socket_drops(port):
    """Datagrams dropped by the receive buffers of the sockets bound to the local UDP port."""
    drops = 0
    for line in open("/proc/net/udp").read().splitlines()[1:]:
        f = line.split()
        if int(f[1].split(":")[1], 16) == port:
            drops += int(f[-1])
    return drops


def dnsperf(work, seconds, outstanding, server_pid):
    """One run of dnsperf against the server: answers/s, queries lost, the output, and the
    figures that tell whose limit it was (the server's CPU per answer and busy share, the
    busiest dnsperf thread's share, the answers dnsperf's sockets dropped)."""
    load = load_average()
    k0, s0, c0 = udp_receive_buffer_drops(), server_socket_drops(53), cpu_seconds(server_pid)
    proc = subprocess.Popen(["dnsperf", "-s", SERVER, "-a", CLIENT, "-d", os.path.join(work, "queries"), "-l",
                             str(seconds), "-q", str(outstanding), "-t", "2"], stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    edge = min(1.0, seconds / 4)
    time.sleep(edge)
    t0, a = time.monotonic(), thread_cpu(proc.pid)
    time.sleep(max(0.1, seconds - 2 * edge))
    t1, b = time.monotonic(), thread_cpu(proc.pid)
    out = proc.communicate(timeout=seconds + 30)[0]
    server_cpu = cpu_seconds(server_pid) - c0
    server_drops = server_socket_drops(53) - s0
    client_drops = udp_receive_buffer_drops() - k0 - server_drops
    busiest = max((b[t] - a.get(t, 0.0) for t in b), default=0.0) / (t1 - t0)
    qps = re.search(r"Queries per second:\s*([0-9.]+)", out)
    lost = re.search(r"Queries lost:\s*(\d+)", out)
    qps = float(qps.group(1)) if qps else 0.0
    return {"qps": qps, "lost": int(lost.group(1)) if lost else -1, "out": out, "load": load,
            "cpu_us": server_cpu * 1e6 / (qps * seconds) if qps else 0.0, "server_busy": server_cpu / seconds,
            "client_busiest": busiest, "client_drops": client_drops, "server_drops": server_drops}


def client_limit(r):
    """Why dnsperf rather than the server may have set the figure ('' when it did not)."""
    why = []
    if r["client_drops"] > 0:
        why.append("%d answers dropped by dnsperf's buffers" % r["client_drops"])
    if r["client_busiest"] >= 0.9:
        why.append("dnsperf's busiest thread %.0f%%" % (r["client_busiest"] * 100))
    return ", ".join(why)


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

    rounds = int(os.environ.get("BENCH_ROUNDS", 3))
    results = {"nimbo": [], "dnsmasq": []}
    for _ in range(rounds):
        proc = subprocess.Popen([nimbo, "-i", ini, "-l", "0"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_port(53)
            results["nimbo"].append(dnsperf(work, seconds, outstanding, proc.pid))
        finally:
            stop(proc)
        proc = subprocess.Popen(["dnsmasq", "-k", "--no-resolv", "--no-hosts", "--addn-hosts=%s/hosts" % work,
                                 "--listen-address=%s" % SERVER, "--bind-interfaces", "--cache-size=1000",
                                 "--pid-file=%s/dnsmasq.pid" % work, "--user=root", "--conf-file=/dev/null"],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            wait_port(53)
            results["dnsmasq"].append(dnsperf(work, seconds, outstanding, proc.pid))
        finally:
            stop(proc)
    subprocess.run(["rm", "-rf", work])
    print("dnsperf, %d outstanding queries, %d s per run, median of %d rounds" % (outstanding, seconds, rounds))
    print("| server | answers/s, median (rounds) | x dnsmasq | lost | µs CPU/answer | server busy | load avg "
          "| client the limit? |")
    print("|---|---|---|---|---|---|---|---|")
    ref = median(r["qps"] for r in results["dnsmasq"])
    for name, runs in results.items():
        for r in runs:
            if r["qps"] == 0.0:
                print(r["out"])
        qps = median(r["qps"] for r in runs)
        limited = [(i + 1, client_limit(r)) for i, r in enumerate(runs) if client_limit(r)]
        print("| %s | %.0f (%s) | %s | %s | %.1f | %.0f%% | %s | %s |" % (
            name, qps, ", ".join("%.0f" % r["qps"] for r in runs), "%.2f" % (qps / ref) if ref else "-",
            ", ".join(str(r["lost"]) for r in runs), median(r["cpu_us"] for r in runs),
            median(r["server_busy"] for r in runs) * 100, ", ".join("%.1f" % r["load"] for r in runs),
            "no" if not limited else "; ".join("round %d: %s" % l for l in limited)))
    return 0


def main():
    program = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("NIMBO_BENCH_PROGRAM", "")
    if not program:
        print(__doc__)
        return 2
    nimbo = os.path.abspath(program)
    seconds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    outstanding = int(sys.argv[3]) if len(sys.argv) > 3 else 20
    if os.environ.get("NIMBO_UDP_BENCH_INNER") == "1":
        return inner(nimbo, seconds, outstanding)
    env = dict(os.environ, NIMBO_UDP_BENCH_INNER="1")
    return subprocess.call(["unshare", "-n", "-m", sys.executable, os.path.abspath(__file__), nimbo] + sys.argv[2:],
                           env=env)


if __name__ == "__main__":
    sys.exit(main())
