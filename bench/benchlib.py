"""Helpers shared by the Python benchmarks: commands in a namespace, the load average and
stopping a server."""
import signal
import subprocess


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
