"""Network namespaces for the tests and benchmarks that need real peers, and the checks that
skip a test where this machine cannot make them.

A test that cannot run here exits with SKIP (77), which CTest counts as skipped (the test's
SKIP_RETURN_CODE); a tool the test needs that is missing is a failure, never a skip.

- cannot_make_namespaces() / namespaces_possible(): may this machine make network namespaces?
- reenter_in_private_net(): runs the calling script again inside a private network namespace.
- veth_pair() / make_veth_pair() / delete_namespaces(): two named namespaces joined by a veth pair.
- missing_tools() / tool_runs(): what the test needs to find on the machine.
- start_test(): usage, skip and missing clients, the first steps of a namespace test.
- sh(): one shell command line that must succeed (addresses, routes, bind mounts).
"""
import contextlib
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SKIP = 77
# Set in the environment of a script run again inside its private network namespace.
INSIDE = "NIMBO_PRIVATE_NET"


def _ip(*args, ns=None):
    cmd = ("ip",) + args if ns is None else ("ip", "netns", "exec", ns, "ip") + args
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(cmd), r.stderr))


def cannot_make_namespaces(mount=False):
    """Why this machine cannot make a network namespace (with mount=True, a mount namespace
    beside it), or None when it can."""
    if os.geteuid() != 0:
        return "needs root for network namespaces"
    cmd = ["unshare", "-n"] + (["-m"] if mount else []) + ["true"]
    if subprocess.run(cmd, capture_output=True, timeout=30).returncode != 0:
        return "this machine cannot make network namespaces"
    return None


def namespaces_possible(mount=False):
    """True when this machine lets the test make network namespaces; else says why not."""
    why = cannot_make_namespaces(mount)
    if why:
        print("skipped: " + why, flush=True)
    return why is None


def inside_private_net():
    """True in a script that reenter_in_private_net() has run again in its namespace."""
    return os.environ.get(INSIDE) == "1"


def reenter_in_private_net(script, *args, mount=False, env=None, timeout=None):
    """None inside the private network namespace of the test; outside it, runs script with args
    there (loopback up; with mount=True in a mount namespace of its own too) and gives its exit
    code, or SKIP when the machine cannot make one."""
    if inside_private_net():
        return None
    if not namespaces_possible(mount):
        return SKIP
    env = dict(os.environ if env is None else env, **{INSIDE: "1"})
    cmd = ["unshare", "-n"] + (["-m"] if mount else [])
    cmd += ["sh", "-c", 'ip link set lo up && exec "$0" "$@"', sys.executable, os.path.abspath(script)]
    return subprocess.run(cmd + [str(a) for a in args], env=env, timeout=timeout).returncode


def main_with_work_folder(script, inner, work_env, prefix, timeout):
    """The main of a test that runs in a private network and mount namespace with a work folder
    of its own: outside, the folder is made, the script run again inside and the folder removed
    afterwards; inside, inner(program, work) runs. The program is the script's first argument."""
    program = os.path.abspath(sys.argv[1])
    if inside_private_net():
        return inner(program, os.environ[work_env])
    work = tempfile.mkdtemp(prefix=prefix)
    os.chmod(work, 0o755)
    try:
        return reenter_in_private_net(script, program, mount=True, env=dict(os.environ, **{work_env: work}),
                                      timeout=timeout)
    finally:
        subprocess.run(["rm", "-rf", work])


def sh(cmd):
    """Runs cmd with the shell; raises RuntimeError with its error output when it fails."""
    r = subprocess.run(cmd, shell=True, capture_output=True, text=True)
    if r.returncode != 0:
        raise RuntimeError("%s: %s" % (cmd, r.stderr))


def wait_udp_ports(ports, tries=100, pause=0.1):
    """Waits (bounded) until something listens on every UDP port given, in this namespace;
    True when they all are bound."""
    for _ in range(tries):
        out = subprocess.run(["ss", "-uln"], capture_output=True, text=True).stdout
        if all(":%d " % p in out for p in ports):
            return True
        time.sleep(pause)
    return False


def make_veth_pair(ns_a, ns_b, if_a, if_b, addr_a=None, addr_b=None):
    """Creates both namespaces with loopback up, the veth pair between them, the given
    addresses (CIDR text, or None) and both ends up."""
    _ip("netns", "add", ns_a)
    _ip("netns", "add", ns_b)
    _ip("link", "add", if_a, "type", "veth", "peer", "name", if_b)
    for ns, ifname, addr in ((ns_a, if_a, addr_a), (ns_b, if_b, addr_b)):
        _ip("link", "set", ifname, "netns", ns)
        _ip("link", "set", "lo", "up", ns=ns)
        if addr:
            _ip("addr", "add", addr, "dev", ifname, ns=ns)
        _ip("link", "set", ifname, "up", ns=ns)


def delete_namespaces(*names):
    """Kills what still runs in the namespaces and deletes them (the veth pair goes with them)."""
    for ns in names:
        pids = subprocess.run(["ip", "netns", "pids", ns], capture_output=True, text=True).stdout.split()
        for pid in pids:
            try:
                os.kill(int(pid), signal.SIGKILL)
            except (ProcessLookupError, ValueError):
                pass
        subprocess.run(["ip", "netns", "del", ns], capture_output=True)


@contextlib.contextmanager
def veth_pair(ns_a, ns_b, if_a, if_b, addr_a=None, addr_b=None):
    """make_veth_pair() for the time of a with block: the namespaces are deleted after it, also
    when the test is ended with SIGTERM (CTest's time-out)."""
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(1))
    try:
        make_veth_pair(ns_a, ns_b, if_a, if_b, addr_a, addr_b)
        yield
    finally:
        delete_namespaces(ns_a, ns_b)


def missing_tools(*names):
    """The names of the programs that are not found on PATH."""
    return [n for n in names if not shutil.which(n)]


def tool_runs(cmd):
    """True when the command runs and exits with 0 (a program that is there and works)."""
    try:
        return subprocess.run(cmd, capture_output=True, timeout=10).returncode == 0
    except (OSError, subprocess.TimeoutExpired):
        return False


def start_test(doc, argc, clients, packages):
    """The first steps of a test that makes named namespaces: the usage (doc) unless the command
    line has argc words, the skip where the machine cannot make namespaces, and the failure when
    a client the test runs is missing. clients: (name, command that runs only where it works).
    Gives None when the test may go on, else its exit code."""
    if len(sys.argv) != argc:
        print(doc)
        return 2
    if not namespaces_possible():
        return SKIP
    # The clients are part of the test: a missing one is a failure, never a skip.
    missing = [name for name, cmd in clients if not tool_runs(cmd)]
    if missing:
        print("FAIL missing test clients: %s (%s lists their packages)" % (", ".join(missing), packages), flush=True)
        return 1
    return None


def main(argv):
    """For the shell tests: `netns.py check [--mount]` exits 0 where this machine can make
    network namespaces and SKIP (saying why) where it cannot."""
    if len(argv) < 2 or argv[1] != "check" or any(a != "--mount" for a in argv[2:]):
        print("usage: netns.py check [--mount]", file=sys.stderr)
        return 2
    return 0 if namespaces_possible(mount="--mount" in argv[2:]) else SKIP


if __name__ == "__main__":
    sys.exit(main(sys.argv))
