#!/usr/bin/python3
"""DHCP headroom: the highest rate of DISCOVER/OFFER/REQUEST/ACK exchanges each server holds
with less than 1% loss, Nimbo against Kea and dnsmasq in the same run.

Every server runs in turn in a network namespace joined by a veth pair to a client namespace
where perfdhcp (package kea-admin) drives it as relay agents would: the same 3,000 simulated
clients, the rate stepped up (each step its own perfdhcp run of a few seconds, a step that
loses tried twice) until two steps in a row lose 1% or more. Loss is the share of DISCOVERs
and REQUESTs without an answer. For the highest step held the table gives the completed
exchanges per second, the average and maximum latency of both halves, and the server's CPU
time per exchange. The median of the rounds is shown (exchanges/s of the median round with
every round beside it; CPU time and latencies as medians of all rounds, never a best round);
the load average of the machine is stated for each round. The last column names the rounds
in which the client rather than the server was the limit: perfdhcp offered less than 97% of
the next step, the highest step was held, or perfdhcp's receive buffers dropped answers at
the step held or at the first step lost.

The client must not be the limit. Four perfdhcp processes (DHCP_BENCH_CLIENT_PROCS), each
single-threaded (-g single, faster than its two-thread mode), share every step: process i
relays from its own address 10.78.0.(2+i) on the client's veth end with its own 750 clients
(MAC addresses 00:0c:01:(02+16i):03:04 upwards) at a quarter of the rate; their counts are
summed. On this 8-CPU machine one process tops out near 16,000-27,000 exchanges/s, four near
110,000. From about 10,000/s per process perfdhcp waits by spinning, so its busiest thread
shows 100% well before it is the limit; the share of the rate it offered tells. Each perfdhcp
socket gets a 16 MB receive buffer (DHCP_BENCH_CLIENT_RCVBUF): right after perfdhcp opens it
the script takes a copy of the socket (pidfd_getfd) and sets SO_RCVBUFFORCE on it. The
system-wide default (net.core.rmem_default, ~208 KB) overflowed at ~10,000/s; it cannot be
changed per namespace (read-only in a child namespace, one value shared by all), and raising
it would also change the servers' buffers and those of anything else on the machine, so it
is left alone. Datagrams dropped by full receive buffers are counted in both namespaces
(server / client). A step counts only when perfdhcp sent at least 97% of its DISCOVERs; when
it could not, the stepping ends and the figure is marked '>=' (the server held more than the
client could offer), as it is when the highest step (160,000/s) is held. perfdhcp's CPU time and its busiest thread's share of the step are
recorded (DHCP_BENCH_VERBOSE=1 prints every step). DHCP_BENCH_CLIENT_CPUS binds perfdhcp to
CPUs (taskset list); off by default (on a shared machine it did not help reliably).
Only the two namespaces carry traffic; the root namespace gets no address or route; the
namespaces, the veth pair and the temporary files are removed at the end.

Settings of every server (printed with the results):
  Nimbo: DHCP only (NIMBO_Services=4), log level at its default (8), no log file, address
         probes off, leases not kept in the file; once alone and once with a desktop client
         connected to the console link reading every notice (lease lists, log lines).
  Kea:   kea-dhcp4, memfile lease database not persisted, multi-threading off (one thread),
         UDP sockets, log severity WARN to /dev/null.
  dnsmasq: no DNS, no ping, lease file read-only, quiet-dhcp, log to /dev/null.
All three: the same pool (10.78.1.0 upwards, /16), boot file \\boot\\bios.0, lease 1 hour.
Needs root. Usage: dhcp_bench.py [path to nimbo_headless] [rounds] [seconds per step]
(the program defaults to $NIMBO_BENCH_PROGRAM, the rounds to $BENCH_ROUNDS, else 3, the seconds
per step to $DHCP_BENCH_SECONDS, else 4; $DHCP_BENCH_SERVERS picks servers among "nimbo desktop
kea dnsmasq", all by default)
"""
import ctypes
import json
import os
import re
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

from benchlib import load_average, median, program_and_rounds, sh, stop, udp_receive_buffer_drops, veth_work_dir

HERE = os.path.dirname(os.path.abspath(__file__))
TAG = "%d" % os.getpid()
NS_SRV, NS_CLI = "nbbs" + TAG, "nbbc" + TAG
IF_SRV, IF_CLI = "bvs" + TAG, "bvc" + TAG
SERVER_IP = "10.78.0.1"
# perfdhcp processes sharing the load (one alone tops out near 16,000-27,000 exchanges/s, four
# near 110,000);
# process i relays from CLIENT_IPS[i] (10.78.0.2 upwards, all on the client's veth end)
CLIENT_PROCS = int(os.environ.get("DHCP_BENCH_CLIENT_PROCS", 4))
CLIENT_IPS = ["10.78.0.%d" % (2 + i) for i in range(CLIENT_PROCS)]
CLIENTS = 3000
RATES = [1000, 2000, 3000, 4000, 5000, 6000, 8000, 10000, 12500, 15000, 17500, 20000, 25000, 30000, 35000,
         40000, 50000, 60000, 70000, 80000, 100000, 120000, 140000, 160000]
# a step counts only when perfdhcp sent at least this share of the DISCOVERs of the rate
OFFERED = 0.97
HZ = os.sysconf("SC_CLK_TCK")
# perfdhcp's receive buffer: the system default (about 208 KB) overflows near 10,000 exchanges/s
CLIENT_RCVBUF = int(os.environ.get("DHCP_BENCH_CLIENT_RCVBUF", 16 << 20))
# CPUs perfdhcp is bound to (taskset list, e.g. "6-7"), none by default
CLIENT_CPUS = os.environ.get("DHCP_BENCH_CLIENT_CPUS", "")
SO_RCVBUFFORCE = 33
SYS_PIDFD_GETFD = 438
_LIBC = ctypes.CDLL(None, use_errno=True)


def cpu_seconds(pid, tid=None):
    """CPU seconds (user+system) of process pid, or of its thread tid."""
    path = "/proc/%d/stat" % pid if tid is None else "/proc/%d/task/%s/stat" % (pid, tid)
    f = open(path).read().rsplit(")", 1)[1].split()
    return (int(f[11]) + int(f[12])) / HZ


def _pidfd_getfd(pid, fd):
    """A copy, in this process, of the open file fd of process pid (pidfd_open and
    pidfd_getfd; needs root). The copy shares the socket itself, so an option set on it is
    set on the other process's socket."""
    pidfd = os.pidfd_open(pid)
    try:
        got = _LIBC.syscall(SYS_PIDFD_GETFD, pidfd, fd, 0)
        if got < 0:
            raise OSError(ctypes.get_errno(), "pidfd_getfd: %s" % os.strerror(ctypes.get_errno()))
        return got
    finally:
        os.close(pidfd)


def enlarge_client_buffer(pid, deadline):
    """Gives every UDP socket of perfdhcp (process pid) a receive buffer of
    CLIENT_RCVBUF bytes, as soon as perfdhcp has opened its sockets (polled every
    millisecond until the deadline). Only perfdhcp's sockets change: the system's defaults,
    which all namespaces share, and the servers' sockets stay as they are. Returns the
    buffer sizes the kernel then reports (getsockopt SO_RCVBUF), [] when none was found."""
    sizes, seen, found = [], set(), None
    while time.monotonic() < deadline:
        try:
            udp = set()
            for name in ("udp", "udp6"):
                for line in open("/proc/%d/net/%s" % (pid, name)).read().splitlines()[1:]:
                    udp.add(line.split()[9])
            for fd in os.listdir("/proc/%d/fd" % pid):
                link = os.readlink("/proc/%d/fd/%s" % (pid, fd))
                inode = link[8:-1] if link.startswith("socket:[") else None
                if inode not in udp or inode in seen:
                    continue
                copy = _pidfd_getfd(pid, int(fd))
                try:
                    sock = socket.socket(fileno=copy)
                    try:
                        sock.setsockopt(socket.SOL_SOCKET, SO_RCVBUFFORCE, CLIENT_RCVBUF)
                        sizes.append(sock.getsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF))
                    finally:
                        sock.close()
                except Exception:
                    os.close(copy)
                    raise
                seen.add(inode)
        except (FileNotFoundError, ProcessLookupError):
            # a file closed while the list was read, or the process ended
            if not os.path.exists("/proc/%d" % pid):
                return sizes
        if sizes:
            # perfdhcp opens its sockets together before sending; a moment more for any late one
            found = found or time.monotonic()
            if time.monotonic() > found + 0.05:
                return sizes
        time.sleep(0.001)
    return sizes


def thread_cpu(pid):
    """CPU seconds of every thread of process pid, by thread id."""
    out = {}
    try:
        tids = os.listdir("/proc/%d/task" % pid)
    except FileNotFoundError:
        return out
    for tid in tids:
        try:
            out[tid] = cpu_seconds(pid, tid)
        except (FileNotFoundError, ProcessLookupError):
            pass
    return out


def perfdhcp(rate, seconds):
    """One step: CLIENT_PROCS perfdhcp processes, each a relay agent of its own (giaddr
    CLIENT_IPS[i]) with its own CLIENTS / CLIENT_PROCS clients, together initiate the given
    rate, and wait half a second for the answers still on their way at the end. Returns the
    summed counts and the delays of both exchanges (DO: DISCOVER-OFFER, RA: REQUEST-ACK),
    the output, and perfdhcp's own load: its CPU seconds (user+system, from wait4) and the
    busiest thread's share of the sending time, the highest of all processes."""
    procs, logs, sizes, usages = [], [], [], []
    try:
        for i in range(CLIENT_PROCS):
            cmd = ("ip", "netns", "exec", NS_CLI, "perfdhcp", "-4", "-g", "single", "-l", CLIENT_IPS[i],
                   "-b", "mac=00:0c:01:%02x:03:04" % (0x02 + 0x10 * i), "-r", str(rate // CLIENT_PROCS),
                   "-R", str(CLIENTS // CLIENT_PROCS), "-p", str(seconds), "-W", "500000", SERVER_IP)
            if CLIENT_CPUS:
                cmd = ("taskset", "-c", CLIENT_CPUS) + cmd
            logs.append(tempfile.TemporaryFile("w+"))
            procs.append(subprocess.Popen(cmd, stdout=logs[-1], stderr=subprocess.STDOUT, text=True))
        killer = threading.Timer(seconds + 60, lambda: [p.kill() for p in procs])
        killer.start()
        try:
            # ip netns exec (and taskset) exec perfdhcp in the same process
            for proc in procs:
                sizes += enlarge_client_buffer(proc.pid, time.monotonic() + 5)
            t0, c0 = time.monotonic(), [thread_cpu(proc.pid) for proc in procs]
            time.sleep(max(0.0, seconds - 0.2))
            t1, c1 = time.monotonic(), [thread_cpu(proc.pid) for proc in procs]
            for proc in procs:
                _, status, usage = os.wait4(proc.pid, 0)
                proc.returncode = os.waitstatus_to_exitcode(status)
                usages.append(usage)
        finally:
            killer.cancel()
        outs = []
        for log in logs:
            log.seek(0)
            outs.append(log.read())
    finally:
        for proc in procs:
            if proc.returncode is None:
                proc.kill()
                proc.wait()
        for log in logs:
            log.close()
    busiest = max((b[t] - a.get(t, 0.0) for a, b in zip(c0, c1) for t in b), default=0.0) / (t1 - t0)
    client = {"rcvbuf": sizes, "cpu_s": sum(u.ru_utime + u.ru_stime for u in usages), "busiest": busiest}
    res = {}
    for out in outs:
        for name, block in re.findall(r"\*{3}Statistics for:\s*(\S+?)\*{3}(.*?)(?=\*{3}|\Z)", out, re.S):
            def num(label):
                m = re.search(label + r":\s*([0-9.]+)", block)
                return float(m.group(1)) if m else 0.0
            r = res.setdefault(name, {"sent": 0.0, "received": 0.0, "drops": 0.0, "delay_sum": 0.0, "max": 0.0})
            r["sent"] += num("sent packets")
            r["received"] += num("received packets")
            r["drops"] += num("drops")
            r["delay_sum"] += num("avg delay") * num("received packets")
            r["max"] = max(r["max"], num("max delay"))
    for r in res.values():
        r["avg"] = r["delay_sum"] / r["received"] if r["received"] else 0.0
    if not all("Statistics for" in out for out in outs):
        res = {}  # a process gave no statistics: no figures for the step
    return res, "\n".join(outs), client


def measure(pid, rate, seconds):
    """One step at the given rate: the figures of the step, or None when perfdhcp gave none.
    The datagrams dropped by full receive buffers are counted on both sides: the server's
    and the client's (perfdhcp's)."""
    load = load_average()
    c0 = cpu_seconds(pid)
    s0, k0 = udp_receive_buffer_drops(NS_SRV), udp_receive_buffer_drops(NS_CLI)
    res, out, client = perfdhcp(rate, seconds)
    cpu = cpu_seconds(pid) - c0
    server_drops, client_drops = udp_receive_buffer_drops(NS_SRV) - s0, udp_receive_buffer_drops(NS_CLI) - k0
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
           "client_drops": client_drops, "client_cpu_s": client["cpu_s"], "client_busiest": client["busiest"],
           "client_rcvbuf": client["rcvbuf"], "offered": do["sent"] / (rate * seconds)}
    if os.environ.get("DHCP_BENCH_VERBOSE"):
        print("   step %6d/s: offered %3.0f%%, %8.0f exchanges/s, loss %.2f%%, cpu %.1f us, load %.1f, dropped by "
              "full buffers: server %d, client %d; perfdhcp: cpu %.2f s, busiest thread %.0f%%, buffers %s" % (
                  rate, row["offered"] * 100, row["exchanges_s"], row["loss"] * 100, row["cpu_us"], load,
                  server_drops, client_drops, client["cpu_s"], client["busiest"] * 100,
                  "/".join("%dK" % (b >> 10) for b in client["rcvbuf"]) or "not found"), flush=True)
    return row


def step_up(pid, seconds):
    """Steps the rate up; returns the highest step held under 1% loss (or None) and the
    first step lost. The machine is shared: a step that loses is tried once more before it
    counts as lost, and the steps go on until two in a row are lost. A step perfdhcp could
    not offer in full (fewer than OFFERED of its DISCOVERs sent, twice) ends the stepping:
    the server's limit is then above the client's, and the result is marked so."""
    best, first_lost, failed = None, None, 0
    for rate in RATES:
        row = None
        for _ in range(2):
            row = measure(pid, rate, seconds)
            if row and row["loss"] < 0.01 and row["offered"] >= OFFERED:
                break
        if row and row["offered"] < OFFERED:
            if best:
                best = dict(best, client_limit=row)
            break
        if row and row["loss"] < 0.01:
            best, failed = row, 0
        else:
            first_lost = first_lost or row
            failed += 1
            if failed >= 2:
                break
    if best and best["rate"] == RATES[-1]:
        best = dict(best, top=True)
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


def nimbo_ini(work, clients=None):
    """Writes Nimbo's settings for the run (DHCP only, a pool for the clients) into the work
    folder; returns the file's path."""
    ini = os.path.join(work, "Nimbo.ini")
    with open(ini, "w") as f:
        f.write("[NIMBO]\nNIMBO_Services=4\n[TFTP]\nTFTP_RootDirectory=%s\n" % work)
        f.write("[DHCP]\nDHCP_IP_Pool=10.78.1.0\nDHCP_PoolSize=%d\nDHCP_IP_Mask=255.255.0.0\n" % (
            (CLIENTS if clients is None else clients) + 100))
        f.write("DHCP_BootFile=\\boot\\bios.0\nDHCP_LeaseTime=3600\nDHCP_PingAddress=0\nDHCP_PersistantLeases=0\n")
    return ini


def bench_nimbo(nimbo, work, seconds, desktop):
    proc = start([nimbo, "-i", nimbo_ini(work)], 3.0)
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


def client_limit(row):
    """Why the client rather than the server may have set this figure ('' when it did not):
    perfdhcp could not offer the next step in full (below OFFERED of its DISCOVERs), or its
    receive buffers dropped answers at the step held or at the first step lost."""
    why = []
    if "client_limit" in row:
        why.append("next step offered %.0f%%" % (row["client_limit"]["offered"] * 100))
    if row.get("top"):
        why.append("highest step held")
    if row["client_drops"]:
        why.append("%d client buffer drops at the step held" % row["client_drops"])
    lost = row.get("lost_step")
    if lost and lost["client_drops"]:
        why.append("%d client buffer drops at the first step lost" % lost["client_drops"])
    return ", ".join(why)


def median_row(rows):
    """The round whose exchanges/s is the median (the lower middle one of an even count), with
    the medians of the CPU time and latencies over all rounds, every round's figure, load and
    whether the client was the limit in it."""
    rows = [r for r in rows if r]
    if not rows:
        return None
    rows.sort(key=lambda r: r["exchanges_s"])
    out = dict(rows[(len(rows) - 1) // 2])
    for key in ("cpu_us", "do_avg", "ra_avg", "max_ms"):
        out[key] = median(r[key] for r in rows)
    out["loads"] = [r["load"] for r in rows]
    out["all"] = [r["exchanges_s"] for r in rows]
    out["client_rounds"] = [client_limit(r) for r in rows]
    return out


def main():
    args = program_and_rounds(__doc__)
    if args is None:
        return 2
    nimbo, rounds = args
    # a plain kill ends the run through the same clean-up as ctrl-C
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else int(os.environ.get("DHCP_BENCH_SECONDS", 4))
    servers = [("Nimbo", "nimbo", lambda w: bench_nimbo(nimbo, w, seconds, False)),
               ("Nimbo, desktop connected", "desktop", lambda w: bench_nimbo(nimbo, w, seconds, True)),
               ("Kea (memfile, 1 thread)", "kea", lambda w: bench_kea(w, seconds)),
               ("dnsmasq", "dnsmasq", lambda w: bench_dnsmasq(w, seconds))]
    # DHCP_BENCH_SERVERS picks some of them ("nimbo desktop kea dnsmasq", all by default)
    picked = os.environ.get("DHCP_BENCH_SERVERS", "").split()
    servers = [(name, fn) for name, key, fn in servers if not picked or key in picked]
    results = {name: [] for name, _ in servers}
    with veth_work_dir(NS_SRV, NS_CLI, IF_SRV, IF_CLI, SERVER_IP + "/16", CLIENT_IPS[0] + "/16") as work:
        for ip in CLIENT_IPS[1:]:
            sh("ip", "addr", "add", ip + "/16", "dev", IF_CLI, ns=NS_CLI)
        for rnd in range(rounds):
            for name, fn in servers:
                row = fn(work)
                results[name].append(row)
                print("round %d  %-26s %s" % (rnd + 1, name, "no step held" if not row else
                      "%.0f/s held at step %d/s (load %.1f)%s" % (
                          row["exchanges_s"], row["rate"], row["load"],
                          ", perfdhcp could not offer the next step" if "client_limit" in row else
                          ", the highest step" if "top" in row else "")),
                      flush=True)
    med = {name: median_row(rows) for name, rows in results.items()}
    print("\nperfdhcp (%d processes, single-threaded, receive buffer %d KB each%s), %d clients, %d s per step, "
          "highest step held under 1%% loss, median of %d rounds; '>=' marks a server the client could not "
          "load further (next step offered below %.0f%%, or the highest step held)" % (
              CLIENT_PROCS, CLIENT_RCVBUF >> 10, ", on CPUs " + CLIENT_CPUS if CLIENT_CPUS else "", CLIENTS,
              seconds, rounds, OFFERED * 100))
    print("| server | exchanges/s held, median (rounds) | x Kea | x dnsmasq | avg latency ms (DO/RA) | max latency ms "
          "| µs CPU/exchange | load avg | first step lost: loss, dropped by server / client buffers "
          "| perfdhcp busiest thread, held / step after | client the limit? |")
    print("|---|---|---|---|---|---|---|---|---|---|---|")
    kea, dns = med.get("Kea (memfile, 1 thread)"), med.get("dnsmasq")
    for name, _ in servers:
        m = med[name]
        if not m:
            print("| %s | none held | - | - | - | - | - | - | - | - | - |" % name)
            continue
        ratio = lambda ref: "%.2f" % (m["exchanges_s"] / ref["exchanges_s"]) if ref else "-"  # noqa: E731
        lost, limit = m.get("lost_step"), m.get("client_limit")
        nxt = lost or limit
        limited = [i + 1 for i, why in enumerate(m["client_rounds"]) if why]
        print("| %s | %s%.0f (%s) | %s | %s | %.3f / %.3f | %.3f | %.1f | %s | %s%s | %.0f%% / %s | %s |" % (
            name, ">= " if limit or m.get("top") else "", m["exchanges_s"], ", ".join("%.0f" % v for v in m["all"]), ratio(kea),
            ratio(dns), m["do_avg"], m["ra_avg"], m["max_ms"], m["cpu_us"], ", ".join("%.1f" % v for v in m["loads"]),
            "%d/s: %.1f%%, %d / %d" % (lost["rate"], lost["loss"] * 100, lost["server_drops"], lost["client_drops"])
            if lost else "-", "; %d/s offered only %.0f%%" % (limit["rate"], limit["offered"] * 100) if limit else "",
            m["client_busiest"] * 100, "%.0f%%" % (nxt["client_busiest"] * 100) if nxt else "-",
            "no" if not limited else "yes in round%s %s: %s" % (
                "s" if len(limited) > 1 else "", ", ".join(map(str, limited)),
                "; ".join(m["client_rounds"][i - 1] for i in limited))))
    doc = __doc__
    print("\n" + doc[doc.index("Settings of every server"):doc.index("Needs root")].rstrip())
    return 0


if __name__ == "__main__":
    sys.exit(main())
