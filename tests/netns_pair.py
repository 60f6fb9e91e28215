"""Two network namespaces joined by a veth pair: a network of its own for the tests and
benchmarks that need real peers. Needs root."""
import os
import signal
import subprocess


def _ip(*args, ns=None):
    cmd = ("ip",) + args if ns is None else ("ip", "netns", "exec", ns, "ip") + args
    r = subprocess.run(cmd, capture_output=True, text=True, timeout=30)
    if r.returncode != 0:
        raise RuntimeError("%s: %s" % (" ".join(cmd), r.stderr))


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
