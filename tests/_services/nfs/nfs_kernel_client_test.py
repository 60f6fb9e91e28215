#!/usr/bin/env python3
"""The NFS server against the Linux kernel's NFS client.

The program serves an export from one network namespace; in a second namespace, joined to the
first by a veth pair, QEMU boots the host's Debian kernel with a busybox initramfs that loads the
NFS modules and mounts the export with versions 3 and 2. The guest checks what a Linux root over
NFS needs: folders and programs with their own modes (a 0755 script and a 0755 program run from
the mount), a symbolic link shown and followed as a link, and `ls -a` listing "." and "..".
Needs root and network namespaces; exits 77 (skipped) without them.
Usage: nfs_kernel_client_test.py <path to nimbo_headless>
"""
import os
import shutil
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import initramfs  # noqa: E402
import netns  # noqa: E402
import nfs_live_test as live  # noqa: E402

check = live.check
NS_SERVER, NS_CLIENT = "nimbo-nfsk-srv", "nimbo-nfsk-cli"
SERVER_IP = "10.77.0.1"
MODULES = ["virtio_pci", "virtio_net", "nfsv3", "nfsv2"]

# Runs in the guest; every line the test reads starts with "@@".
INIT = r"""#!/bin/sh
export PATH=/bin
/bin/busybox --install -s /bin
mkdir -p /proc /sys /dev /mnt /tmp
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for m in $(cat /modules/order); do insmod /modules/$m; done
ip link set lo up
ip link set eth0 up
ip addr add 10.0.2.15/24 dev eth0
ip route add default via 10.0.2.2
for v in 3 2; do
  if mount -t nfs -o vers=$v,nolock,proto=tcp,port=2049,mountport=1058,mountproto=tcp,addr=@SERVER@ @SERVER@:/ /mnt; then
    echo "@@ v$v mounted"
    for p in /mnt/bin /mnt/bin/run.sh /mnt/bin/busybox /mnt/bin/link /mnt/private /mnt/private/data.txt; do
      echo "@@ v$v stat $(stat -c '%A' $p) $p"
    done
    echo "@@ v$v readlink $(readlink /mnt/bin/link)"
    echo "@@ v$v dots $(ls -a /mnt | grep -c '^\.\.\?$')"
    echo "@@ v$v script $(/mnt/bin/run.sh 2>&1)"
    echo "@@ v$v program $(/mnt/bin/busybox echo program-ran 2>&1)"
    echo "@@ v$v through-link $(/mnt/bin/link 2>&1)"
    echo "@@ v$v cd-private $(cd /mnt/private && cat data.txt 2>&1)"
    ls -la /mnt /mnt/bin
    umount /mnt
  else
    echo "@@ v$v mount-failed"
  fi
done
echo "@@ done"
poweroff -f
"""


def make_tree(root):
    os.makedirs(os.path.join(root, "bin"))
    os.makedirs(os.path.join(root, "private"))
    with open(os.path.join(root, "bin", "run.sh"), "w") as f:
        f.write("#!/bin/sh\necho script-ran\n")
    shutil.copyfile("/bin/busybox", os.path.join(root, "bin", "busybox"))
    os.symlink("run.sh", os.path.join(root, "bin", "link"))
    with open(os.path.join(root, "private", "data.txt"), "w") as f:
        f.write("private-data\n")
    for rel, mode in (("bin", 0o755), ("bin/run.sh", 0o755), ("bin/busybox", 0o755), ("private", 0o750),
                      ("private/data.txt", 0o640), ("", 0o755)):
        os.chmod(os.path.join(root, rel), mode)


def make_initrd(path, release):
    image = initramfs.Initramfs()
    image.add_busybox()
    loaded = image.add_modules(release, MODULES)
    image.add_data("modules/order", ("\n".join(loaded) + "\n").encode())
    image.add_data("init", INIT.replace("@SERVER@", SERVER_IP).encode(), 0o100755)
    image.write(path)


def wait_listening(ports, deadline):
    while time.time() < deadline:
        out = subprocess.run(["ip", "netns", "exec", NS_SERVER, "ss", "-Hltn"], capture_output=True,
                             text=True).stdout
        if all(":%d " % p in out for p in ports):
            return True
        time.sleep(0.2)
    return False


def guest_checks(lines):
    got = {}
    for line in lines:
        if line.startswith("@@ "):
            parts = line[3:].split(" ", 2)
            if len(parts) == 3:
                got[(parts[0], parts[1], parts[2].split()[-1] if parts[1] == "stat" else "")] = parts[2]
            else:
                got[tuple(parts)] = ""
    check(("done",) in got, "the guest ran its checks to the end")
    for v in ("v3", "v2"):
        check((v, "mounted") in got, "%s: the kernel client mounts the export" % v)
        for path, mode in (("/mnt/bin", "drwxr-xr-x"), ("/mnt/bin/run.sh", "-rwxr-xr-x"),
                           ("/mnt/bin/busybox", "-rwxr-xr-x"), ("/mnt/bin/link", "lrwxrwxrwx"),
                           ("/mnt/private", "drwxr-x---"), ("/mnt/private/data.txt", "-rw-r-----")):
            seen = got.get((v, "stat", path), "")
            check(seen.startswith(mode + " "), "%s: %s is %s (%r)" % (v, path, mode, seen))
        check(got.get((v, "readlink", "")) == "run.sh", "%s: readlink gives the link's text" % v)
        check(got.get((v, "dots", "")) == "2", "%s: ls -a shows . and .." % v)
        check(got.get((v, "script", "")) == "script-ran", "%s: a 0755 script runs from the mount" % v)
        check(got.get((v, "program", "")) == "program-ran", "%s: a 0755 program runs from the mount" % v)
        check(got.get((v, "through-link", "")) == "script-ran", "%s: the script runs through the link" % v)
        check(got.get((v, "cd-private", "")) == "private-data", "%s: a 0750 folder can be entered" % v)


def parse_guest_output(text):
    lines = []
    for raw in text.splitlines():
        line = raw.strip("\r")
        # The console interleaves kernel lines; the test's lines start with "@@".
        at = line.find("@@ ")
        if at >= 0:
            lines.append(line[at:])
    return lines


def main():
    nimbo = os.path.abspath(sys.argv[1])
    if not netns.namespaces_possible():
        return netns.SKIP
    release = initramfs.kernel_release()
    missing = netns.missing_tools("qemu-system-x86_64", "ip", "ss")
    if missing or not release or not os.path.exists("/bin/busybox"):
        print("missing %s: install qemu-system-x86, busybox and linux-image-amd64 (tools/packages.d/nfs.txt)"
              % (missing or "busybox or a kernel in /boot"))
        return 1

    work = tempfile.mkdtemp(prefix="nimbo-nfsk-")
    root = os.path.join(work, "root")
    make_tree(root)
    make_initrd(os.path.join(work, "initrd.img"), release)
    ini = live.write_ini(work, root)
    netns.delete_namespaces(NS_SERVER, NS_CLIENT)
    proc = None
    try:
        netns.make_veth_pair(NS_SERVER, NS_CLIENT, "nfsk0", "nfsk1", SERVER_IP + "/24", "10.77.0.2/24")
        proc = subprocess.Popen(["ip", "netns", "exec", NS_SERVER, nimbo, "-i", ini], stdout=subprocess.DEVNULL,
                                stderr=subprocess.PIPE)
        check(wait_listening([111, 1058, 2049], time.time() + 20), "PORTMAP, MOUNT and NFS listen")
        qemu = ["ip", "netns", "exec", NS_CLIENT, "qemu-system-x86_64", "-accel", "tcg", "-m", "512",
                "-display", "none", "-vga", "none", "-no-reboot", "-serial", "stdio", "-monitor", "none",
                "-kernel", "/boot/vmlinuz-" + release, "-initrd", os.path.join(work, "initrd.img"),
                "-append", "console=ttyS0 rdinit=/init panic=-1 quiet",
                "-netdev", "user,id=n0,net=10.0.2.0/24", "-device", "virtio-net-pci,netdev=n0,romfile="]
        try:
            r = subprocess.run(qemu, capture_output=True, timeout=200)
            out = r.stdout.decode(errors="replace")
        except subprocess.TimeoutExpired as e:
            out = (e.stdout or b"").decode(errors="replace")
            check(False, "the guest powers off within 200 s")
        lines = parse_guest_output(out)
        guest_checks(lines)
        if live.FAILURES:
            print(out[-6000:])
    except Exception as e:  # a broken exchange is a failure, not a hang
        check(False, "exchange ended with %r" % e)
    finally:
        if proc:
            live.stop_program(proc)
        netns.delete_namespaces(NS_SERVER, NS_CLIENT)
        shutil.rmtree(work, ignore_errors=True)
    print("%d failure(s)" % len(live.FAILURES))
    return 1 if live.FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
