"""Helpers shared by the Python benchmarks: the namespaces of a run, commands in a
namespace, the load average and stopping a server."""
import contextlib
import os
import signal
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "support"))
from netns import delete_namespaces, make_veth_pair  # noqa: E402


def sh(*cmd, ns=None, timeout=60, check=True):
    """Runs a command (inside network namespace ns when given); raises on failure when check."""
    if ns:
        cmd = ("ip", "netns", "exec", ns) + cmd
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(cmd), r.stderr))
    return r


def load_average():
    """The one-minute load average of the machine."""
    return float(open("/proc/loadavg").read().split()[0])


def stop(proc, wait=10):
    """SIGTERM, then SIGKILL when the process has not ended after wait seconds."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(wait)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(5)


@contextlib.contextmanager
def veth_work_dir(ns_srv, ns_cli, if_srv, if_cli, srv_cidr, cli_cidr):
    """The two namespaces joined by a veth pair and a temporary folder (mode 755) for the
    run; both are removed at the end."""
    made = False
    try:
        make_veth_pair(ns_srv, ns_cli, if_srv, if_cli, srv_cidr, cli_cidr)
        made = True
        with tempfile.TemporaryDirectory() as work:
            os.chmod(work, 0o755)
            yield work
    finally:
        if made:
            delete_namespaces(ns_srv, ns_cli)


def program_and_rounds(doc):
    """The program to measure (argv[1], else the environment's NIMBO_BENCH_PROGRAM) and the
    number of rounds (argv[2], else BENCH_ROUNDS, else 3), or None after printing the usage
    when there is no program or the caller is not root."""
    program = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("NIMBO_BENCH_PROGRAM", "")
    if not program or os.geteuid() != 0:
        print(doc)
        return None
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else int(os.environ.get("BENCH_ROUNDS", 3))
    return os.path.abspath(program), rounds


def median(values):
    """The median of the values (the lower middle one of an even count); None when empty."""
    values = sorted(v for v in values if v is not None)
    return values[(len(values) - 1) // 2] if values else None


def udp_receive_buffer_drops(ns=None):
    """UDP datagrams dropped for a full receive buffer in the namespace (RcvbufErrors)."""
    text = sh("cat", "/proc/net/snmp", ns=ns).stdout
    lines = [line.split() for line in text.splitlines() if line.startswith("Udp:")]
    return int(lines[1][lines[0].index("RcvbufErrors")])
