#!/usr/bin/env python3
"""NFS version 3 over TCP on loopback: Nimbo against nfs-ganesha (VFS backend, MaxRead and
MaxWrite 32768), the same libnfs clients in the same run, in a private network namespace:
  nfs-cat of a 1 GiB file, nfs-cp of a 256 MiB file up, nfs-ls -R over 10,000 files.
Prints seconds and MB/s (MB = 10^6 bytes). Needs root. Usage: nfs_bench.py <nimbo_headless>
"""
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HOST = "127.0.0.1"


def listening(port):
    return (":%d " % port) in subprocess.run(["ss", "-Hltn"], capture_output=True, text=True).stdout


def wait_port(port, proc, seconds=30):
    end = time.time() + seconds
    while time.time() < end and proc.poll() is None:
        if listening(port):
            return True
        time.sleep(0.2)
    return False


def timed(cmd):
    t0 = time.time()
    r = subprocess.run(cmd, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=1800)
    dt = time.time() - t0
    if r.returncode != 0:
        print("  %s failed: %s" % (" ".join(cmd), r.stderr.decode(errors="replace").strip()))
        return None
    return dt


def measure(name, url_of, data, results):
    big = os.path.getsize(os.path.join(data, "big.bin"))
    up = os.path.getsize(os.path.join(data, "..", "up.bin"))
    rows = [
        ("nfs-cat 1 GiB", ["nfs-cat", url_of("big.bin")], big),
        ("nfs-cp 256 MiB up", ["nfs-cp", os.path.join(data, "..", "up.bin"), url_of("up-%s.bin" % name)], up),
        ("nfs-ls -R 10,000 files", ["nfs-ls", "-R", url_of("many/")], 0),
    ]
    for label, cmd, size in rows:
        results.setdefault(label, {})[name] = (timed(cmd), size)


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def main():
    nimbo = os.path.abspath(sys.argv[1])
    if os.environ.get("NIMBO_PRIVATE_NET") != "1":
        env = dict(os.environ, NIMBO_PRIVATE_NET="1")
        # A private /run too: nfs-ganesha needs an rpcbind of its own.
        return subprocess.call(["unshare", "-n", "-m", "sh", "-c",
                                'ip link set lo up && mount -t tmpfs tmpfs /run && exec "$0" "$@"',
                                sys.executable, __file__, nimbo], env=env)
    ganesha = shutil.which("ganesha.nfsd") or "/usr/bin/ganesha.nfsd"
    work = tempfile.mkdtemp(prefix="nfs_bench.", dir="/dev/shm" if os.path.isdir("/dev/shm") else None)
    data = os.path.join(work, "export")
    os.makedirs(os.path.join(data, "many"))
    subprocess.run("head -c %d /dev/urandom > %s/big.bin" % (1 << 30, data), shell=True, check=True)
    subprocess.run("head -c %d /dev/urandom > %s/up.bin" % (256 << 20, work), shell=True, check=True)
    for i in range(10000):
        open(os.path.join(data, "many", "file%05d.txt" % i), "w").close()
    results = {}
    try:
        ini = os.path.join(work, "Nimbo.ini")
        with open(ini, "w") as f:
            f.write("[NIMBO]\nNIMBO_Services=1024\nNIMBO_LogFile=%s/nimbo.log\n" % work)
            f.write("[NFS]\nNFS_RootDir=%s\nNFS_SecurityLevel=0\nNFS_Transport=1\n" % data)
        p = subprocess.Popen([nimbo, "-i", ini], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_port(2049, p):
            measure("nimbo", lambda rel: "nfs://%s//%s" % (HOST, rel), data, results)
        else:
            print("Nimbo did not start")
        stop(p)

        conf = os.path.join(work, "ganesha.conf")
        with open(conf, "w") as f:
            f.write("""NFS_CORE_PARAM { Protocols = 3; NFS_Port = 2049; MNT_Port = 20048;
  Enable_NLM = false; Enable_RQUOTA = false; }
NFSV4 { Graceless = true; }
EXPORT { Export_Id = 1; Path = "%s"; Pseudo = "/export"; Access_Type = RW; Squash = No_Root_Squash;
  Protocols = 3; Transports = TCP; SecType = sys; MaxRead = 32768; MaxWrite = 32768;
  FSAL { Name = VFS; } }
""" % data)
        rpcbind = subprocess.Popen(["rpcbind", "-f", "-w"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_port(111, rpcbind)
        g = subprocess.Popen([ganesha, "-F", "-f", conf, "-L", os.path.join(work, "ganesha.log"),
                              "-p", os.path.join(work, "ganesha.pid")],
                             stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if wait_port(2049, g):
            time.sleep(1)
            measure("ganesha", lambda rel: "nfs://%s%s/%s?nfsport=2049&mountport=20048" % (HOST, data, rel), data, results)
        else:
            print("nfs-ganesha did not start; see its log:")
            print(open(os.path.join(work, "ganesha.log")).read()[-2000:])
        stop(g)
        stop(rpcbind)
    finally:
        shutil.rmtree(work, ignore_errors=True)

    print("\nNFS v3 over TCP on loopback (seconds; MB/s)")
    print("%-24s %18s %18s" % ("", "Nimbo", "nfs-ganesha"))
    for label, by in results.items():
        cells = []
        for name in ("nimbo", "ganesha"):
            dt, size = by.get(name, (None, 0))
            if dt is None:
                cells.append("failed")
            elif size:
                cells.append("%.2f s %7.1f MB/s" % (dt, size / dt / 1e6))
            else:
                cells.append("%.2f s" % dt)
        print("%-24s %18s %18s" % (label, cells[0], cells[1]))
    return 0


if __name__ == "__main__":
    sys.exit(main())
