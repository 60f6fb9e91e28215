#!/usr/bin/python3
"""What one DHCP exchange (DISCOVER/OFFER + REQUEST/ACK) costs the program, in figures that do
not depend on the load of the machine: the instructions it runs in user space (all threads,
counted by callgrind) and the system calls it makes (counted by the kernel's tracepoints,
perf stat), each divided by the exchanges completed. The CPU times of bench/run dhcp move with
the load of a shared machine and with the step measured; these do not, so two builds can be
compared on a busy machine.

Each program runs as bench/dhcp_bench.py runs it (DHCP only, log level at its default, no log
file, probes off) in a namespace of its own joined by a veth pair to a client namespace, where
four perfdhcp relays (1,000 clients) ask at a fixed low rate: first a warm-up, so that every
client holds its lease as in the steady state of the benchmark, then the counted run. Two
patterns: steady (requests arrive about one at a time, so each read takes one or two) and
bursts (the program is stopped 150 ms of every 200 ms, so that requests wait and are read in
batches, as at the top rates of the benchmark). Requests per read (recvmmsg) are printed with
each figure: the per-read costs (a wake-up, poll, one receive and one send call) spread over
them. Under callgrind the program runs some fifty times slower: 200 exchanges a second keep it
within its pace.

Needs root, perfdhcp (kea-admin), valgrind and perf (linux-perf); installs the missing ones.
Usage: dhcp_cost.py PROGRAM [PROGRAM ...] (nimbo_headless builds, e.g. a release build of an
older commit and one of this tree). $DHCP_COST_SECONDS: length of each counted run (20).
"""
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

from benchlib import sh, stop, veth_work_dir
from dhcp_bench import nimbo_ini

TAG = "%d" % os.getpid()
NS_SRV, NS_CLI = "ncs" + TAG, "ncc" + TAG
IF_SRV, IF_CLI = "cvs" + TAG, "cvc" + TAG
SERVER_IP = "10.78.0.1"
CLIENT_IPS = ["10.78.0.%d" % (2 + i) for i in range(4)]
CLIENTS_EACH = 250
RATE = 200            # exchanges a second, all relays together
WARM_SECONDS = 40     # every client asks about eight times: all hold leases
SECONDS = int(os.environ.get("DHCP_COST_SECONDS", 20))
PATTERNS = ("steady", "bursts")


def perfdhcp(rate, seconds):
    """The four relays at the given rate together; returns the exchanges completed (ACKs)."""
    procs = []
    for i, ip in enumerate(CLIENT_IPS):
        cmd = ("ip", "netns", "exec", NS_CLI, "perfdhcp", "-4", "-g", "single", "-l", ip,
               "-b", "mac=00:0c:01:%02x:03:04" % (0x02 + 0x10 * i), "-r", str(max(1, rate // len(CLIENT_IPS))),
               "-R", str(CLIENTS_EACH), "-p", str(seconds), "-W", "2000000", SERVER_IP)
        procs.append(subprocess.Popen(cmd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True))
    acks = 0
    for p in procs:
        try:
            out = p.communicate(timeout=seconds + 60)[0]
        except subprocess.TimeoutExpired:
            p.kill()
            out = p.communicate()[0]
        m = re.search(r"\*{3}Statistics for:\s*REQUEST-ACK\*{3}.*?received packets:\s*([0-9]+)", out, re.S)
        acks += int(m.group(1)) if m else 0
    return acks


def bursts(pid, until):
    """Stops the program 150 ms of every 200 ms until the event is set."""
    while not until.is_set():
        os.kill(pid, signal.SIGSTOP)
        time.sleep(0.15)
        os.kill(pid, signal.SIGCONT)
        time.sleep(0.05)


def counted_run(pid, pattern):
    """The counted run: the exchanges completed."""
    until = threading.Event()
    stopper = threading.Thread(target=bursts, args=(pid, until)) if pattern == "bursts" else None
    if stopper:
        stopper.start()
    try:
        return perfdhcp(RATE, SECONDS)
    finally:
        until.set()
        if stopper:
            stopper.join()
        os.kill(pid, signal.SIGCONT)


def start(program, work, wrapper=()):
    """Starts the program in the server namespace and waits until it answers (at most 2
    minutes); the clients then get their leases."""
    proc = subprocess.Popen(("ip", "netns", "exec", NS_SRV) + tuple(wrapper) + (program, "-i", nimbo_ini(work)),
                            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    for _ in range(60):
        time.sleep(2)
        if proc.poll() is not None:
            raise RuntimeError("%s did not start" % program)
        if perfdhcp(40, 1):
            perfdhcp(RATE, WARM_SECONDS)
            return proc
    stop(proc)
    raise RuntimeError("%s does not answer" % program)


def instructions(program, work, pattern):
    """User-space instructions per exchange under callgrind."""
    out = os.path.join(work, "callgrind.out")
    proc = start(program, work, ("valgrind", "--tool=callgrind", "--callgrind-out-file=" + out))
    try:
        sh("callgrind_control", "-z", str(proc.pid))
        exchanges = counted_run(proc.pid, pattern)
        sh("callgrind_control", "-d", str(proc.pid))
    finally:
        stop(proc, 30)
    dumps = [f for f in os.listdir(work) if f.startswith("callgrind.out.")]
    total = 0
    for name in dumps:
        m = re.search(r"^summary:\s*([0-9]+)", open(os.path.join(work, name)).read(), re.M)
        total += int(m.group(1)) if m else 0
        os.remove(os.path.join(work, name))
    if os.path.exists(out):
        os.remove(out)
    return total / exchanges if exchanges else None


def system_calls(program, work, pattern):
    """System calls per exchange and requests per read, the program running natively."""
    proc = start(program, work)
    counts = os.path.join(work, "perf-stat.txt")
    try:
        perf = subprocess.Popen(("perf", "stat", "-x", ",", "-o", counts, "-e",
                                 "raw_syscalls:sys_enter,syscalls:sys_enter_recvmmsg", "-p", str(proc.pid)),
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        time.sleep(1)
        exchanges = counted_run(proc.pid, pattern)
        perf.send_signal(signal.SIGINT)
        perf.wait(30)
    finally:
        stop(proc)
    found = {}
    for line in open(counts):
        fields = line.strip().split(",")
        if len(fields) > 2 and fields[0].isdigit():
            found[fields[2]] = int(fields[0])
    calls, reads = found.get("raw_syscalls:sys_enter"), found.get("syscalls:sys_enter_recvmmsg")
    if not exchanges or calls is None or not reads:
        return None, None
    return calls / exchanges, 2 * exchanges / reads


def main():
    programs = [os.path.abspath(p) for p in sys.argv[1:]]
    if not programs or os.geteuid() != 0:
        print(__doc__)
        return 2
    need = [pkg for tool, pkg in (("perfdhcp", "kea-admin"), ("valgrind", "valgrind"), ("perf", "linux-perf"))
            if not shutil.which(tool)]
    if need:
        subprocess.run(("apt-get", "install", "-y", "-qq", "--no-install-recommends") + tuple(need), check=True,
                       env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"), stdout=subprocess.DEVNULL)
    rows = []
    with veth_work_dir(NS_SRV, NS_CLI, IF_SRV, IF_CLI, SERVER_IP + "/16", CLIENT_IPS[0] + "/16") as work:
        for ip in CLIENT_IPS[1:]:
            sh("ip", "addr", "add", ip + "/16", "dev", IF_CLI, ns=NS_CLI)
        for program in programs:
            for pattern in PATTERNS:
                with tempfile.TemporaryDirectory(dir=work) as run:
                    os.chmod(run, 0o755)
                    ir = instructions(program, run, pattern)
                with tempfile.TemporaryDirectory(dir=work) as run:
                    os.chmod(run, 0o755)
                    calls, per_read = system_calls(program, run, pattern)
                rows.append((program, pattern, ir, calls, per_read))
                print("%s, %s: %s instructions, %s system calls per exchange, %s requests per read" % (
                    program, pattern, "%.0f" % ir if ir else "-", "%.2f" % calls if calls else "-",
                    "%.1f" % per_read if per_read else "-"), flush=True)
    print("\n%d exchanges/s for %d s, 1,000 clients holding leases; instructions: user space, all threads "
          "(callgrind); system calls: all threads (perf stat)" % (RATE, SECONDS))
    print("| program | pattern | instructions / exchange | system calls / exchange | requests per read |")
    print("|---|---|---|---|---|")
    for program, pattern, ir, calls, per_read in rows:
        print("| %s | %s | %s | %s | %s |" % (program, pattern, "%.0f" % ir if ir else "-",
                                             "%.2f" % calls if calls else "-", "%.1f" % per_read if per_read else "-"))
    return 0


if __name__ == "__main__":
    sys.exit(main())
