#!/usr/bin/python3
"""The desktop under DHCP load: what the desktop costs and whether DHCP notices it.

The real program with its desktop runs in a network namespace on a virtual X server (Xvfb,
with openbox as window manager so that the window can be minimised), DHCP only, log level
at its default (every exchange gives several log lines), leases listed. perfdhcp (one
process, package kea-admin) in a second namespace joined by a veth pair drives it with 500
clients at 200 exchanges/s for a number of seconds, three times:
  1. the window shown as it opens, its last tab in front: the log, which scrolls with every
     pass (the DHCP tab's lease list is kept up to date behind it);
  2. the window minimised (xdotool windowminimize);
  3. the program without a desktop (nimbo_headless), same settings and load.
Reported per phase: CPU of the process and of its GUI thread (share of one core), DHCP loss
(DISCOVERs and REQUESTs without an answer) and average/maximum latency. For phase 1 also the
longest time a log line or row waited between its notice reaching the desktop and the pass
that showed it (the program writes it to the file named by NIMBO_GUI_STATS). "desktop" is
the process's CPU less that of the headless program under the same load.

Then, unless GUI_BENCH_QUICK=1, the DHCP ceiling with and without the desktop: the rate is
stepped up as in bench/dhcp_bench.py (four perfdhcp processes, 3,000 clients) until two steps
in a row lose 1% or more; the highest step held is reported for both.

Every round runs the three phases and, unless quick, both ceilings; each figure is printed
for every round and as the median of the rounds, with the load average of the machine at
each phase. Needs root.
Usage: gui_bench.py <nimbo> <nimbo_headless> [seconds per phase (10)] [rounds ($BENCH_ROUNDS, else 3)]
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import dhcp_bench as dhcp  # noqa: E402
from benchlib import load_average, median, sh, stop, veth_work_dir  # noqa: E402

CLIENTS = 500
RATE = 200
DISPLAY_NUMBER = 90 + os.getpid() % 100


def thread_seconds(pid, tid):
    try:
        return dhcp.cpu_seconds(pid, tid)
    except (FileNotFoundError, ProcessLookupError):
        return 0.0


def load_phase(pid, seconds, procs=1, clients=CLIENTS, rate=RATE):
    """perfdhcp at the rate for the given seconds; the process's and its main thread's CPU
    share of one core, and the DHCP figures."""
    saved = dhcp.CLIENT_PROCS, dhcp.CLIENT_IPS, dhcp.CLIENTS
    dhcp.CLIENT_PROCS, dhcp.CLIENT_IPS, dhcp.CLIENTS = procs, dhcp.CLIENT_IPS[:procs], clients
    try:
        load = load_average()
        t0, c0, g0 = time.monotonic(), dhcp.cpu_seconds(pid), thread_seconds(pid, pid)
        res, out, _ = dhcp.perfdhcp(rate, seconds)
        t1, c1, g1 = time.monotonic(), dhcp.cpu_seconds(pid), thread_seconds(pid, pid)
    finally:
        dhcp.CLIENT_PROCS, dhcp.CLIENT_IPS, dhcp.CLIENTS = saved
    do, ra = res.get("DISCOVER-OFFER"), res.get("REQUEST-ACK")
    if not do or not ra or not do["sent"]:
        raise RuntimeError("perfdhcp gave no figures:\n" + out)
    lost = (do["sent"] - do["received"]) + (ra["sent"] - ra["received"])
    return {"cpu": (c1 - c0) / (t1 - t0), "gui": (g1 - g0) / (t1 - t0), "loss": lost / (do["sent"] + ra["sent"]),
            "exchanges_s": ra["received"] / seconds, "avg_ms": (do["avg"] + ra["avg"]) / 2,
            "max_ms": max(do["max"], ra["max"]), "load": load}


def idle_cpu(pid, seconds=2.0):
    t0, c0 = time.monotonic(), dhcp.cpu_seconds(pid)
    time.sleep(seconds)
    return (dhcp.cpu_seconds(pid) - c0) / (time.monotonic() - t0)


def in_ns(*cmd, env=None, **kw):
    full = ("ip", "netns", "exec", dhcp.NS_SRV) + (("env",) + tuple("%s=%s" % i for i in env.items()) if env else ()) + cmd
    return subprocess.Popen(full, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)


def wait_window(display, timeout=30):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        r = subprocess.run(["xdotool", "search", "--onlyvisible", "--name", "^Nimbo"], capture_output=True, text=True,
                           env=dict(os.environ, DISPLAY=display))
        ids = r.stdout.split()
        if ids:
            return ids[0]
        time.sleep(0.3)
    raise RuntimeError("the desktop window did not appear")


def run_desktop(nimbo, work, seconds):
    display = ":%d" % DISPLAY_NUMBER
    runtime = tempfile.mkdtemp(prefix="nimbo-gui-bench-")
    os.chmod(runtime, 0o700)
    stats = os.path.join(runtime, "stats")
    xvfb = in_ns("Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp")
    wm = prog = None
    try:
        time.sleep(1.0)
        env = {"DISPLAY": display, "XDG_RUNTIME_DIR": runtime}
        wm = in_ns("openbox", env=env)
        time.sleep(0.5)
        prog = in_ns(nimbo, "-i", dhcp.nimbo_ini(work, CLIENTS),
                     env=dict(env, QT_QPA_PLATFORM="xcb", NIMBO_GUI_STATS=stats))
        window = wait_window(display)
        time.sleep(2.0)
        pid = prog.pid
        # ip netns exec and env exec the program in the same process
        idle = idle_cpu(pid)
        shown = load_phase(pid, seconds)
        time.sleep(1.5)
        try:
            with open(stats) as f:
                fields = f.read().split()
            shown["longest_wait_ms"] = int(fields[fields.index("longest_wait_ms") + 1])
        except (OSError, ValueError, IndexError):
            shown["longest_wait_ms"] = "not reported"  # a program without the figure
        shown["idle"] = idle
        subprocess.run(["xdotool", "windowminimize", "--sync", window], env=dict(os.environ, DISPLAY=display),
                       timeout=10, capture_output=True)
        time.sleep(1.0)
        minimised = load_phase(pid, seconds)
        return shown, minimised
    finally:
        for p in (prog, wm, xvfb):
            if p:
                stop(p, 15)
        shutil.rmtree(runtime, ignore_errors=True)


def run_headless(headless, work, seconds):
    prog = in_ns(headless, "-i", dhcp.nimbo_ini(work, CLIENTS))
    try:
        time.sleep(3.0)
        return load_phase(prog.pid, seconds)
    finally:
        stop(prog)


def ceiling(program, work, seconds, desktop):
    """The DHCP ceiling of bench/dhcp_bench.py's stepping, with the desktop (on Xvfb) or without."""
    display = ":%d" % (DISPLAY_NUMBER + 1)
    runtime = tempfile.mkdtemp(prefix="nimbo-gui-bench-")
    os.chmod(runtime, 0o700)
    procs = []
    try:
        env = None
        if desktop:
            procs.append(in_ns("Xvfb", display, "-screen", "0", "1280x1024x24", "-nolisten", "tcp"))
            time.sleep(1.0)
            env = {"DISPLAY": display, "XDG_RUNTIME_DIR": runtime, "QT_QPA_PLATFORM": "xcb"}
        procs.append(in_ns(program, "-i", dhcp.nimbo_ini(work), env=env))
        time.sleep(4.0)
        return dhcp.step_up(procs[-1].pid, seconds)
    finally:
        for p in reversed(procs):
            stop(p, 15)
        shutil.rmtree(runtime, ignore_errors=True)


def phase_row(label, r, alone):
    """One line of the table: a phase of a round, or the medians of every round."""
    desktop = r is not alone and alone is not None
    return "| %s | %.1f | %s | %s | %.2f | %.2f / %.1f | %s | %s |" % (
        label, r["cpu"] * 100, "%.1f" % (r["gui"] * 100) if desktop else "-",
        "%.1f" % ((r["cpu"] - alone["cpu"]) * 100) if desktop else "-", r["loss"] * 100, r["avg_ms"], r["max_ms"],
        r.get("longest_wait_ms", "-"), r["load_text"] if "load_text" in r else "%.1f" % r["load"])


def median_phase(rows):
    """The medians of a phase over the rounds (the desktop's share taken round by round)."""
    out = {}
    for key in ("cpu", "gui", "loss", "avg_ms", "max_ms", "desktop"):
        out[key] = median(r[key] for r in rows)
    waits = [r["longest_wait_ms"] for r in rows if isinstance(r.get("longest_wait_ms"), int)]
    if waits:
        out["longest_wait_ms"] = median(waits)
    out["load_text"] = ", ".join("%.1f" % r["load"] for r in rows)
    return out


def main():
    if len(sys.argv) < 3 or os.geteuid() != 0:
        print(__doc__)
        return 2
    nimbo, headless = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else 10
    rounds = int(sys.argv[4]) if len(sys.argv) > 4 else int(os.environ.get("BENCH_ROUNDS", 3))
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(143))
    quick = os.environ.get("GUI_BENCH_QUICK") == "1"
    print("%d DHCP clients at %d exchanges/s (perfdhcp), %d s per phase, %d rounds, Xvfb 1280x1024 with openbox" % (
        CLIENTS, RATE, seconds, rounds), flush=True)
    phases = ("desktop shown", "desktop minimised", "no desktop")
    results = {name: [] for name in phases}
    idles, ceilings = [], []
    with veth_work_dir(dhcp.NS_SRV, dhcp.NS_CLI, dhcp.IF_SRV, dhcp.IF_CLI, dhcp.SERVER_IP + "/16",
                       dhcp.CLIENT_IPS[0] + "/16") as work:
        for ip in dhcp.CLIENT_IPS[1:]:
            sh("ip", "addr", "add", ip + "/16", "dev", dhcp.IF_CLI, ns=dhcp.NS_CLI)
        print("| round | phase | process CPU % | GUI thread CPU % | desktop CPU % (less headless) | DHCP loss % "
              "| avg / max latency ms | longest row wait ms | load avg |")
        print("|---|---|---|---|---|---|---|---|---|")
        for rnd in range(rounds):
            shown, minimised = run_desktop(nimbo, work, seconds)
            alone = run_headless(headless, work, seconds)
            for name, r in zip(phases, (shown, minimised, alone)):
                r["desktop"] = r["cpu"] - alone["cpu"] if r is not alone else None
                results[name].append(r)
                print("| %d %s" % (rnd + 1, phase_row(name, r, alone)), flush=True)
            idles.append(shown["idle"])
            print("| %d | desktop idle, before the load | %.1f | | | | | | |" % (rnd + 1, shown["idle"] * 100),
                  flush=True)
            if not quick:
                step = 4
                pair = (ceiling(headless, work, step, False), ceiling(nimbo, work, step, True))
                ceilings.append(pair)
                for name, r in zip(("no desktop", "desktop connected"), pair):
                    print("round %d: DHCP ceiling, %s: %s" % (rnd + 1, name, "none held" if not r else
                          "%.0f exchanges/s held at step %d/s (load %.1f)" % (r["exchanges_s"], r["rate"], r["load"])),
                          flush=True)
        print("\nMedians of %d rounds (loads: every round's):" % rounds)
        print("| phase | process CPU % | GUI thread CPU % | desktop CPU % (less headless) | DHCP loss % "
              "| avg / max latency ms | longest row wait ms | load avg |")
        print("|---|---|---|---|---|---|---|---|")
        for name in phases:
            m = median_phase(results[name])
            if name == "no desktop":
                print(phase_row(name, m, m))
            else:
                print("| %s | %.1f | %.1f | %.1f | %.2f | %.2f / %.1f | %s | %s |" % (
                    name, m["cpu"] * 100, m["gui"] * 100, m["desktop"] * 100, m["loss"] * 100, m["avg_ms"],
                    m["max_ms"], m.get("longest_wait_ms", "-"), m["load_text"]))
        print("| desktop idle, before the load | %.1f | | | | | | |" % (median(idles) * 100))
        if ceilings:
            held = [(a, w) for a, w in ceilings if a and w]
            alone_s = median(a["exchanges_s"] for a, _ in held) if held else None
            gui_s = median(w["exchanges_s"] for _, w in held) if held else None
            ratio = median(w["exchanges_s"] / a["exchanges_s"] for a, w in held) if held else None
            print("DHCP ceiling (median of %d rounds): no desktop %s, desktop connected %s exchanges/s; "
                  "desktop-connected ceiling %s of the service alone (loads %s)" % (
                      len(held), "%.0f" % alone_s if alone_s else "-", "%.0f" % gui_s if gui_s else "-",
                      "%.0f%%" % (ratio * 100) if ratio else "-",
                      "; ".join("%.1f / %.1f" % (a["load"], w["load"]) for a, w in held)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
