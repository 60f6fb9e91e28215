#!/usr/bin/python3
"""DHCP headroom: the highest rate of DISCOVER/OFFER/REQUEST/ACK exchanges each server holds
with less than 1% loss, Nimbo against Kea and dnsmasq in the same run.

Every server runs in turn in a network namespace joined by a veth pair to a client namespace
where perfdhcp (package kea-admin) drives it as a relay agent would: the same 3,000 simulated
clients, the rate stepped up (each step its own perfdhcp run of a few seconds, a step that
loses tried twice) until two steps in a row lose 1% or more. Loss is the share of DISCOVERs and REQUESTs without an
answer. For the highest step held the table gives the completed exchanges per second, the
average and maximum latency of both halves, and the server's CPU time per exchange. The
median of the rounds is shown; the load average of the machine is stated with each figure.

Settings of every server (printed with the results):
  Nimbo: DHCP only (NIMBO_Services=4), log level at its default (8), no log file, address
         probes off, leases not kept in the file; once alone and once with a desktop client
         connected to the console link reading every notice (lease lists, log lines).
  Kea:   kea-dhcp4, memfile lease database not persisted, multi-threading off (one thread),
         UDP sockets, log severity WARN to /dev/null.
  dnsmasq: no DNS, no ping, lease file read-only, quiet-dhcp, log to /dev/null.
All three: the same pool (10.78.1.0 upwards, /16), boot file \\boot\\bios.0, lease 1 hour.
Needs root. Usage: dhcp_bench.py <path to nimbo_headless> [rounds] [seconds per step]
"""
import json
import os
import re
import subprocess
import sys
import time

from benchlib import load_average, program_and_rounds, sh, stop, veth_work_dir

HERE = os.path.dirname(os.path.abspath(__file__))
TAG = "%d" % os.getpid()
NS_SRV, NS_CLI = "nbbs" + TAG, "nbbc" + TAG
IF_SRV, IF_CLI = "bvs" + TAG, "bvc" + TAG
SERVER_IP, CLIENT_IP = "10.78.0.1", "10.78.0.2"
CLIENTS = 3000
RATES = [1000, 2000, 3000, 4000, 5000, 6000, 8000, 10000, 12500, 15000, 17500, 20000, 25000, 30000, 35000,
         40000, 50000, 60000]
HZ = os.sysconf("SC_CLK_TCK")




def cpu_seconds(pid):
    f = open("/proc/%d/stat" % pid).read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / HZ


def perfdhcp(rate, seconds):
    """One step: perfdhcp relays from CLIENT_IP (giaddr) at the given rate and waits half a
    second for the answers still on their way at the end. Returns the
    counts and delays of both exchanges (DO: DISCOVER-OFFER, RA: REQUEST-ACK)."""
    r = sh("perfdhcp", "-4", "-l", IF_CLI, "-r", str(rate), "-R", str(CLIENTS), "-p", str(seconds),
           "-W", "500000", SERVER_IP, ns=NS_CLI, timeout=seconds + 60, check=False)
    out = r.stdout + r.stderr
    res = {}
    for name, block in re.findall(r"\*{3}Statistics for:\s*(\S+?)\*{3}(.*?)(?=\*{3}|\Z)", out, re.S):
        def num(label):
            m = re.search(label + r":\s*([0-9.]+)", block)
            return float(m.group(1)) if m else 0.0
        res[name] = {"sent": num("sent packets"), "received": num("received packets"), "drops": num("drops"),
                     "avg": num("avg delay"), "max": num("max delay")}
    return res, out


def receive_buffer_errors(ns):
    """UDP datagrams the namespace's sockets dropped for a full receive buffer."""
    text = sh("cat", "/proc/net/snmp", ns=ns).stdout
    lines = [line.split() for line in text.splitlines() if line.startswith("Udp:")]
    return int(lines[1][lines[0].index("RcvbufErrors")])


def measure(pid, rate, seconds):
    """One step at the given rate: the figures of the step, or None when perfdhcp gave none.
    The datagrams dropped by full receive buffers are counted on both sides: the server's
    and the client's (perfdhcp's)."""
    load = load_average()
    c0 = cpu_seconds(pid)
    s0, k0 = receive_buffer_errors(NS_SRV), receive_buffer_errors(NS_CLI)
    res, out = perfdhcp(rate, seconds)
    cpu = cpu_seconds(pid) - c0
    server_drops, client_drops = receive_buffer_errors(NS_SRV) - s0, receive_buffer_errors(NS_CLI) - k0
    do, ra = res.get("DISCOVER-OFFER"), res.get("REQUEST-ACK")
    if not do or not ra or do["sent"] == 0:
        if os.environ.get("DHCP_BENCH_VERBOSE"):
            print(out)
        return None
    lost = (do["sent"] - do["received"]) + (ra["sent"] - ra["received"])
    exchanges = ra["received"]
    row = {"rate": rate, "exchanges_s": exchanges / seconds, "loss": lost / (do["sent"] + ra["sent"]),
           "load": load, "do_avg": do["avg"], "ra_avg": ra["avg"], "max_ms": max(do["max"], ra["max"]),
           "cpu_us": cpu * 1e6 / exchanges if exchanges else 0.0, "server_drops": server_drops,
           "client_drops": client_drops}
    if os.environ.get("DHCP_BENCH_VERBOSE"):
        print("   step %6d/s: %8.0f exchanges/s, loss %.2f%%, cpu %.1f us, load %.1f, dropped by full buffers: "
              "server %d, client %d" % (rate, row["exchanges_s"], row["loss"] * 100, row["cpu_us"], load,
                                        server_drops, client_drops), flush=True)
    return row


def step_up(pid, seconds):
    """Steps the rate up; returns the highest step held under 1% loss (or None) and the
    first step lost. The machine is shared: a step that loses is tried once more before it
    counts as lost, and the steps go on until two in a row are lost."""
    best, first_lost, failed = None, None, 0
    for rate in RATES:
        row = None
        for _ in range(2):
            row = measure(pid, rate, seconds)
            if row and row["loss"] < 0.01:
                break
        if row and row["loss"] < 0.01:
            best, failed = row, 0
        else:
            first_lost = first_lost or row
            failed += 1
            if failed >= 2:
                break
    if best and first_lost:
        best = dict(best, lost_step=first_lost)
    return best


def start(cmd, wait):
    proc = subprocess.Popen(("ip", "netns", "exec", NS_SRV) + tuple(cmd), stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    time.sleep(wait)
    if proc.poll() is not None:
        raise RuntimeError("%s did not start" % cmd[0])
    return proc


def bench_nimbo(nimbo, work, seconds, desktop):
    ini = os.path.join(work, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=4\n[TFTP]\nTFTP_RootDirectory=%s\n" % work)
        f.write("[DHCP]\nDHCP_IP_Pool=10.78.1.0\nDHCP_PoolSize=%d\nDHCP_IP_Mask=255.255.0.0\n" % (CLIENTS + 100))
        f.write("DHCP_BootFile=\\boot\\bios.0\nDHCP_LeaseTime=3600\nDHCP_PingAddress=0\nDHCP_PersistantLeases=0\n")
    proc = start([nimbo, "-i", ini], 3.0)
    gui = None
    try:
        if desktop:
            gui = subprocess.Popen(["ip", "netns", "exec", NS_SRV, sys.executable,
                                    os.path.join(HERE, "http_gui_client.py")],
                                   stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
            if gui.stdout.readline().strip() != "connected":
                raise RuntimeError("the desktop stand-in did not connect")
        return step_up(proc.pid, seconds)
    finally:
        if gui:
            stop(gui)
        stop(proc)


def bench_kea(work, seconds):
    conf = os.path.join(work, "kea.json")
    cfg = {"Dhcp4": {
        "interfaces-config": {"interfaces": [IF_SRV], "dhcp-socket-type": "udp"},
        "lease-database": {"type": "memfile", "persist": False, "lfc-interval": 0},
        "multi-threading": {"enable-multi-threading": False},
        "valid-lifetime": 3600,
        "subnet4": [{"subnet": "10.78.0.0/16", "pools": [{"pool": "10.78.1.0 - 10.78.255.250"}],
                     "boot-file-name": "\\boot\\bios.0"}],
        "loggers": [{"name": "kea-dhcp4", "output_options": [{"output": "/dev/null"}], "severity": "WARN"}]}}
    with open(conf, "w") as f:
        json.dump(cfg, f)
    env_dir = os.path.join(work, "kea")
    os.makedirs(env_dir, exist_ok=True)
    proc = start(["env", "KEA_PIDFILE_DIR=" + env_dir, "KEA_LOCKFILE_DIR=" + env_dir, "kea-dhcp4", "-c", conf], 2.0)
    try:
        return step_up(proc.pid, seconds)
    finally:
        stop(proc)


def bench_dnsmasq(work, seconds):
    conf = os.path.join(work, "dnsmasq.conf")
    with open(conf, "w") as f:
        f.write("port=0\ninterface=%s\nbind-interfaces\nno-ping\nno-resolv\nleasefile-ro\n" % IF_SRV)
        f.write("dhcp-range=10.78.1.0,10.78.255.250,255.255.0.0,1h\ndhcp-lease-max=%d\n" % (CLIENTS + 100))
        f.write("dhcp-boot=\\boot\\bios.0\ndhcp-authoritative\nquiet-dhcp\nlog-facility=/dev/null\n")
    proc = start(["dnsmasq", "--no-daemon", "-C", conf, "--pid-file=" + os.path.join(work, "dnsmasq.pid")], 1.5)
    try:
        return step_up(proc.pid, seconds)
    finally:
        stop(proc)


def median_row(rows):
    rows = [r for r in rows if r]
    if not rows:
        return None
    rows.sort(key=lambda r: r["exchanges_s"])
    mid = rows[len(rows) // 2]
    out = dict(mid)
    out["loads"] = [r["load"] for r in rows]
    out["all"] = [r["exchanges_s"] for r in rows]
    return out


def main():
    args = program_and_rounds(__doc__)
    if args is None:
        return 2
    nimbo, rounds = args
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 4
    servers = [("Nimbo", lambda w: bench_nimbo(nimbo, w, seconds, False)),
               ("Nimbo, desktop connected", lambda w: bench_nimbo(nimbo, w, seconds, True)),
               ("Kea (memfile, 1 thread)", lambda w: bench_kea(w, seconds)),
               ("dnsmasq", lambda w: bench_dnsmasq(w, seconds))]
    results = {name: [] for name, _ in servers}
    with veth_work_dir(NS_SRV, NS_CLI, IF_SRV, IF_CLI, SERVER_IP + "/16", CLIENT_IP + "/16") as work:
        for rnd in range(rounds):
            for name, fn in servers:
                row = fn(work)
                results[name].append(row)
                print("round %d  %-26s %s" % (rnd + 1, name, "no step held" if not row else
                      "%.0f/s held at step %d/s (load %.1f)" % (row["exchanges_s"], row["rate"], row["load"])),
                      flush=True)
    med = {name: median_row(rows) for name, rows in results.items()}
    print("\nperfdhcp, %d clients, %d s per step, highest step held under 1%% loss, median of %d rounds"
          % (CLIENTS, seconds, rounds))
    print("| server | exchanges/s held (rounds) | x Kea | x dnsmasq | avg latency ms (DO/RA) | max latency ms "
          "| µs CPU/exchange | load avg | next step: loss, dropped by server / client buffers |")
    print("|---|---|---|---|---|---|---|---|---|")
    kea, dns = med.get("Kea (memfile, 1 thread)"), med.get("dnsmasq")
    for name, _ in servers:
        m = med[name]
        if not m:
            print("| %s | none held | - | - | - | - | - | - | - |" % name)
            continue
        ratio = lambda ref: "%.2f" % (m["exchanges_s"] / ref["exchanges_s"]) if ref else "-"  # noqa: E731
        lost = m.get("lost_step")
        print("| %s | %.0f (%s) | %s | %s | %.3f / %.3f | %.3f | %.1f | %s | %s |" % (
            name, m["exchanges_s"], ", ".join("%.0f" % v for v in m["all"]), ratio(kea), ratio(dns),
            m["do_avg"], m["ra_avg"], m["max_ms"], m["cpu_us"], ", ".join("%.1f" % v for v in m["loads"]),
            "%d/s: %.1f%%, %d / %d" % (lost["rate"], lost["loss"] * 100, lost["server_drops"], lost["client_drops"])
            if lost else "-"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
