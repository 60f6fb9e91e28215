#!/usr/bin/env python3
"""PXE clients under QEMU boot into Nimbo's menu.

Everything runs in network namespaces this test makes: the server namespace holds a bridge
with the client's tap device and Nimbo (DHCP or proxyDHCP, BINL and TFTP); in proxy mode a
second namespace, joined to the bridge by a veth pair, runs dnsmasq as the plain DHCP server
(--port=0, no PXE options). QEMU runs under TCG; every wait is bounded.

usage: pxe_boot_test.py NIMBO SCENARIO   (bios, uefi, proxy-bios, proxy-uefi, nwa-boot, nwa-boot-uefi,
                                          held-off, no-boot-file, wds-uefi)

nwa-boot (BIOS) and nwa-boot-uefi boot the host's Linux kernel from the menu. Its append line
carries the address tokens $IP_CLNT$, $IP_BSRV$, $IP_GWAY$ and $IP_MASK$; the server namespace
has a second interface listed before the client's, so the boot server's address must be the
one the client reached. The initramfs prints the kernel command line on the serial console,
loads the network and NFS modules, configures the network from those addresses, mounts Nimbo's
NFS export as its root (vers=3, tcp) and switches to it; the root's /sbin/init (mode 0755)
prints its marker.

wds-uefi runs boot-manager mode 3 with a WDS asset: the UEFI client is offered bootmgfw.efi
with option 252 naming its store (read on the client's tap) and fetches it over TFTP.

no-boot-file needs no QEMU: with BINL on and no DHCP_BootFile, BINL takes the default list
of the mode, says so, and DHCP answers a client in the second namespace.

held-off needs no QEMU: a preparation that stops keeps DHCP from answering a client in the
second namespace, and a completed one lets it answer.
Exit codes: 0 passed, 1 failed, 77 skipped (not root, or a tool is missing).
"""
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "support"))
import initramfs  # noqa: E402
from netns import SKIP, cannot_make_namespaces, missing_tools  # noqa: E402

MARKER = "NIMBO-NWA-KERNEL-UP"
NFS_MARKER = "NIMBO-NFS-ROOT-INIT-RAN"
SERVER_IP = "10.77.0.1"
GATEWAY = "10.77.0.254"
MASK = "255.255.255.0"
OTHER_IP = "10.88.0.1"  # the server's other interface, listed first
# The kernel line's address part as the menu file carries it, and as the kernel must see it.
TOKENS = "ip=$IP_CLNT$:$IP_BSRV$:$IP_GWAY$:$IP_MASK$::eth0:off"
FILLED = re.compile(r"ip=10\.77\.0\.(\d+):%s:%s:%s::eth0:off" % tuple(re.escape(a) for a in (SERVER_IP, GATEWAY, MASK)))
# Modules the initramfs loads (with what they need): the two network cards and NFS version 3.
MODULES = ("e1000", "virtio_pci", "virtio_net", "nfsv3")
BOOT_LIST = ("\\BM\\PXENIMBO\\BIOS\\pxenimbo.0|6?\\BM\\PXENIMBO\\EFI32\\pxenimbo.efi|"
             "7?\\BM\\PXENIMBO\\EFI64\\pxenimbo.efi|9?\\BM\\PXENIMBO\\EFI64\\pxenimbo.efi")
# Boot-manager mode 3: EFI clients get the boot manager and, in option 252, its store.
BM3_LIST = ("\\BM\\PXENIMBO\\BIOS\\pxenimbo.0|6?\\BM\\MICROSOFT\\EFI32\\bootmgfw.efi|"
            "7?\\BM\\MICROSOFT\\EFI64\\bootmgfw.efi|9?\\BM\\MICROSOFT\\EFI64\\bootmgfw.efi|"
            "a?\\BM\\MICROSOFT\\EFIARM32\\bootmgfw.efi|b?\\BM\\MICROSOFT\\EFIARM64\\bootmgfw.efi")
OVMF_CODE = "/usr/share/OVMF/OVMF_CODE_4M.fd"
OVMF_VARS = "/usr/share/OVMF/OVMF_VARS_4M.fd"

# The menu title "Nimbo v4.6.0 multi-OS PXE Boot/Install Menu" as tesseract reads vesamenu's
# font: "N" may come out as "M", "OS" as "05", "/" as "-" or "-e".
TITLE = re.compile(r"[NM]imbo v?4\.6\.0 multi-\w\w PXE Boot\W{1,2}e?Install Menu")


def read_ppm(path):
    """Width, height and RGB bytes of a binary PPM (QEMU's screendump)."""
    with open(path, "rb") as f:
        data = f.read()
    fields, i = [], 0
    while len(fields) < 4:
        while data[i:i + 1].isspace():
            i += 1
        if data[i:i + 1] == b"#":
            i = data.index(b"\n", i)
            continue
        j = i
        while not data[j:j + 1].isspace():
            j += 1
        fields.append(data[i:j])
        i = j
    if fields[0] != b"P6":
        raise ValueError("not a binary PPM")
    width, height = int(fields[1]), int(fields[2])
    return width, height, data[i + 1:i + 1 + width * height * 3]


def write_title_band(path, width, height, pixels, top, bottom, scale=3):
    """Rows top..bottom as a grey picture: near-white pixels black, the rest white, enlarged."""
    rows = []
    for y in range(top, min(bottom, height)):
        line = bytearray()
        for x in range(width):
            at = (y * width + x) * 3
            line += (b"\x00" if min(pixels[at:at + 3]) >= 250 else b"\xff") * scale
        rows += [bytes(line)] * scale
    with open(path, "wb") as f:
        f.write(b"P5\n%d %d\n255\n" % (width * scale, len(rows)))
        f.write(b"".join(rows))


def log(*args):
    print(*args, flush=True)


def run(*cmd, check=True):
    return subprocess.run(cmd, check=check, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)


def kernel_image():
    """The newest Debian kernel that has its modules (the Linux scenarios load some), or None."""
    release = initramfs.kernel_release()
    return "/boot/vmlinuz-" + release if release else None


def copy_program_tree(root, init_text):
    """A root folder for NFS: busybox with its libraries and /sbin/init; folders and programs
    have mode 0755, which must come through NFS for the kernel to run them."""
    def put(target, source, mode):
        full = os.path.join(root, target.strip("/"))
        os.makedirs(os.path.dirname(full), exist_ok=True)
        shutil.copyfile(source, full)
        os.chmod(full, mode)

    for source in ["/bin/busybox"] + initramfs.shared_libraries("/bin/busybox"):
        put(source, os.path.realpath(source), 0o755)
    init = os.path.join(root, "sbin", "init")
    os.makedirs(os.path.dirname(init), exist_ok=True)
    with open(init, "w") as f:
        f.write(init_text)
    os.chmod(init, 0o755)
    for folder in ("dev", "proc"):
        os.makedirs(os.path.join(root, folder), exist_ok=True)
    for folder, _, _ in os.walk(root):
        os.chmod(folder, 0o755)


def make_initrd(path, release=None):
    """An initramfs whose /init prints the marker on the serial console and powers off. With a
    kernel release, /init first prints the kernel command line, loads that kernel's network and
    NFS modules, sets the address from the command line's ip= part (as the menu's tokens were
    filled in) and switches to Nimbo's NFS export as its root."""
    image = initramfs.Initramfs()
    image.add_busybox()
    nfs_part = ""
    if release:
        loads = "".join("/bin/busybox insmod /modules/%s 2>/dev/null\n" % name
                        for name in image.add_modules(release, MODULES))
        # ip=client:server:gateway:mask::eth0:off
        nfs_part = ("/bin/busybox mount -t proc proc /proc\n"
                    "CMDLINE=$(/bin/busybox cat /proc/cmdline)\n"
                    "/bin/busybox echo \"NIMBO-CMDLINE: $CMDLINE\"\n"
                    + loads +
                    "for w in $CMDLINE; do case $w in ip=*) IPS=${w#ip=};; esac; done\n"
                    "IFS=: read CLNT BSRV GWAY MASK REST <<EOF\n$IPS\nEOF\n"
                    "n=0; while [ $n -lt 50 ] && ! /bin/busybox ifconfig eth0 $CLNT netmask $MASK up 2>/dev/null; do\n"
                    "  /bin/busybox sleep 0.2; n=$((n+1)); done\n"
                    "/bin/busybox mkdir -p /newroot\n"
                    "/bin/busybox mount -t nfs -o vers=3,proto=tcp,nolock,addr=$BSRV $BSRV:/ /newroot && "
                    "exec /bin/busybox switch_root /newroot /sbin/init\n"
                    "/bin/busybox echo NIMBO-NFS-ROOT-FAILED\n")
    init = ("#!/bin/busybox sh\n"
            "/bin/busybox mkdir -p /proc /dev\n"
            "/bin/busybox mount -t devtmpfs dev /dev 2>/dev/null\n"
            "/bin/busybox echo %s > /dev/ttyS0\n"
            "/bin/busybox echo %s\n"
            "%s"
            "/bin/busybox poweroff -f\n" % (MARKER, MARKER, nfs_part))
    image.add_data("init", init.encode(), 0o100755)
    image.write(path)


# A plain DHCPDISCOVER from the client namespace: prints "OFFER <address>" or "NONE".
DISCOVER_CLIENT = r"""
import os, socket, struct, sys, time
xid = os.getpid() & 0xFFFFFFFF
mac = bytes.fromhex("525400123458")
pkt = struct.pack("!BBBBIHH4s4s4s4s16s64s128s", 1, 1, 6, 0, xid, 0, 0x8000, b"\0" * 4, b"\0" * 4,
                  b"\0" * 4, b"\0" * 4, mac + b"\0" * 10, b"\0" * 64, b"\0" * 128)
pkt += bytes([99, 130, 83, 99, 53, 1, 1, 255])
s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BROADCAST, 1)
s.setsockopt(socket.SOL_SOCKET, socket.SO_BINDTODEVICE, b"veth1")
s.bind(("0.0.0.0", 68))
s.settimeout(0.5)
end = time.time() + float(sys.argv[1])
while time.time() < end:
    s.sendto(pkt, ("255.255.255.255", 67))
    try:
        data, _ = s.recvfrom(2048)
    except socket.timeout:
        continue
    if len(data) >= 240 and data[0] == 2 and struct.unpack("!I", data[4:8])[0] == xid:
        print("OFFER", socket.inet_ntoa(data[16:20]))
        sys.exit(0)
print("NONE")
"""


class Monitor:
    """QEMU's human monitor on a unix socket."""

    def __init__(self, path, deadline=20):
        end = time.time() + deadline
        while True:
            try:
                self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                self.sock.connect(path)
                break
            except OSError:
                self.sock.close()
                if time.time() > end:
                    raise
                time.sleep(0.2)
        self.sock.settimeout(20)
        self._until_prompt()

    def _until_prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                break
            data += chunk
        return data

    def command(self, text):
        self.sock.sendall(text.encode() + b"\n")
        return self._until_prompt()

    def close(self):
        self.sock.close()


# Prints the boot file and option 252 of every DHCP reply that reaches the client's tap.
SNIFFER = r"""
import socket, struct, sys, time
s = socket.socket(socket.AF_PACKET, socket.SOCK_RAW, socket.htons(3))
s.bind(("tap0", 0))
s.settimeout(1)
end = time.time() + float(sys.argv[1])
while time.time() < end:
    try:
        pkt = s.recv(4096)
    except socket.timeout:
        continue
    ip = pkt[14:]
    if pkt[12:14] != b"\x08\x00" or len(ip) < 28 or ip[9] != 17:
        continue
    ihl = (ip[0] & 15) * 4
    sport, dport = struct.unpack("!HH", ip[ihl:ihl + 4])
    bootp = ip[ihl + 8:]
    if sport not in (67, 4011) or len(bootp) < 240 or bootp[236:240] != b"\x63\x82\x53\x63":
        continue
    opts, i = {}, 240
    while i + 1 < len(bootp) and bootp[i] != 255:
        if bootp[i] == 0:
            i += 1
            continue
        opts[bootp[i]] = bootp[i + 2:i + 2 + bootp[i + 1]]
        i += 2 + bootp[i + 1]
    text = lambda b: b.split(b"\0")[0].decode(errors="replace")
    print("REPLY file=%s opt67=%s opt252=%s" % (text(bootp[108:236]), text(opts.get(67, b"")), text(opts.get(252, b""))),
          flush=True)
"""


class Test:
    def __init__(self, nimbo, scenario):
        self.nimbo = nimbo
        self.scenario = scenario
        self.proxy = scenario.startswith("proxy")
        self.client_ns = self.proxy or scenario in ("held-off", "no-boot-file")
        self.uefi = scenario.endswith("uefi")
        self.linux = scenario.startswith("nwa-boot")  # boots Linux with the tokens and the NFS root
        tag = "%d" % os.getpid()
        self.ns = "nimbo-pxe-" + tag
        self.ns2 = "nimbo-dhcp-" + tag
        self.tmp = tempfile.mkdtemp(prefix="nimbo-pxe-")
        self.root = os.path.join(self.tmp, "root")
        self.logfile = os.path.join(self.tmp, "nimbo.log")
        self.nfsroot = os.path.join(self.tmp, "nfsroot")
        self.procs = []

    # --- set-up -------------------------------------------------------------------------
    def network(self):
        ns, ns2 = self.ns, self.ns2
        run("ip", "netns", "add", ns)
        x = ["ip", "netns", "exec", ns]
        run(*x, "ip", "link", "set", "lo", "up")
        if self.linux:
            # Another interface, with its address listed before the client's network.
            run(*x, "ip", "link", "add", "vx0", "type", "veth", "peer", "name", "vx1")
            run(*x, "ip", "addr", "add", OTHER_IP + "/24", "dev", "vx0")
            run(*x, "ip", "link", "set", "vx0", "up")
            run(*x, "ip", "link", "set", "vx1", "up")
        run(*x, "ip", "link", "add", "br0", "type", "bridge")
        run(*x, "ip", "tuntap", "add", "dev", "tap0", "mode", "tap")
        run(*x, "ip", "link", "set", "tap0", "master", "br0")
        run(*x, "ip", "link", "set", "tap0", "up")
        run(*x, "ip", "addr", "add", SERVER_IP + "/24", "dev", "br0")
        run(*x, "ip", "link", "set", "br0", "up")
        if self.client_ns:
            run("ip", "netns", "add", ns2)
            run(*x, "ip", "link", "add", "veth0", "type", "veth", "peer", "name", "veth1", "netns", ns2)
            run(*x, "ip", "link", "set", "veth0", "master", "br0")
            run(*x, "ip", "link", "set", "veth0", "up")
            y = ["ip", "netns", "exec", ns2]
            run(*y, "ip", "link", "set", "lo", "up")
            run(*y, "ip", "addr", "add", "10.77.0.2/24", "dev", "veth1")
            run(*y, "ip", "link", "set", "veth1", "up")

    def tree(self):
        asset = os.path.join(self.root, "NWA_PXE", "TestLinux")
        os.makedirs(asset)
        kernel = kernel_image()
        if kernel:
            shutil.copyfile(kernel, os.path.join(asset, "vmlinuz"))
        else:
            with open(os.path.join(asset, "vmlinuz"), "wb") as f:
                f.write(b"no kernel on this machine")
        make_initrd(os.path.join(asset, "initrd.img"), initramfs.kernel_release() if self.linux else None)
        append = "initrd=::NWA_PXE/$HEAD_DIR$/initrd.img console=ttyS0 rdinit=/init panic=-1 quiet"
        if self.linux:
            append += " " + TOKENS
            copy_program_tree(self.nfsroot, "#!/bin/busybox sh\n/bin/busybox echo %s\n"
                                            "/bin/busybox poweroff -f\n" % NFS_MARKER)
        with open(os.path.join(asset, "NimboAsset.inf"), "w") as f:
            f.write("[PXENIMBO_MENU_ENTRY]\r\n"
                    "asset=Test Linux (busybox)\r\n"
                    "platform=x64\r\n"
                    "kernel_bios=::NWA_PXE/$HEAD_DIR$/vmlinuz\r\n"
                    "append_bios=%s\r\n"
                    "kernel_efi64=::NWA_PXE/$HEAD_DIR$/vmlinuz\r\n"
                    "append_efi64=%s\r\n" % (append, append))
        if self.scenario == "wds-uefi":
            self.wds_asset()
        services = 0x1 | 0x4 | 0x200 | (0x100 if self.proxy else 0)  # proxy mode: the bits 0x104
        services |= 0x400 if self.linux else 0  # NFS
        ini = os.path.join(self.tmp, "Nimbo.ini")
        with open(ini, "w") as f:
            f.write("[NIMBO]\nNIMBO_Services=%d\nNIMBO_LogFile=%s\n" % (services, self.logfile))
            f.write("[TFTP]\nTFTP_RootDirectory=%s\n" % self.root)
            if self.scenario == "wds-uefi":
                f.write("[DHCP]\nDHCP_BootFile=%s\nDHCP_BINL_BM_Mode=3\n" % BM3_LIST)
            else:
                f.write("[DHCP]\n")
                if self.scenario != "no-boot-file":
                    f.write("DHCP_BootFile=%s\n" % BOOT_LIST)
            if not self.proxy:
                f.write("DHCP_IP_Pool=10.77.0.100\nDHCP_PoolSize=20\nDHCP_IP_Mask=%s\n" % MASK)
            if self.linux:
                f.write("DHCP_DefaultGateway=%s\n" % GATEWAY)
                f.write("[NFS]\nNFS_RootDir=%s\n" % self.nfsroot)
        return ini

    def wds_asset(self):
        """An x64 WDS medium whose boot image (made by wimlib-imagex) carries the boot files."""
        asset = os.path.join(self.root, "WIA_WDS", "W11")
        pe = os.path.join(self.tmp, "pe")
        for rel, data in (("Windows/Boot/EFI/bootmgfw.efi", b"MZ not a real boot manager"),
                          ("Windows/Boot/PXE/pxeboot.n12", b"MZ pxeboot"), ("Windows/Boot/PXE/bootmgr.exe", b"MZ bootmgr"),
                          ("Windows/Boot/Fonts/wgl4_boot.ttf", b"font")):
            os.makedirs(os.path.dirname(os.path.join(pe, rel)), exist_ok=True)
            with open(os.path.join(pe, rel), "wb") as f:
                f.write(data)
        os.makedirs(os.path.join(asset, "boot"))
        os.makedirs(os.path.join(asset, "sources"))
        with open(os.path.join(asset, "boot", "boot.sdi"), "wb") as f:
            f.write(b"SDI")
        wim = os.path.join(asset, "sources", "boot.wim")
        run("wimlib-imagex", "capture", pe, wim, "Microsoft Windows PE", "--boot")
        run("wimlib-imagex", "info", wim, "1", "--image-property", "WINDOWS/ARCH=9")
        install = os.path.join(asset, "sources", "install.wim")
        run("wimlib-imagex", "capture", pe, install, "Windows 11 Pro")
        run("wimlib-imagex", "info", install, "1", "--image-property", "WINDOWS/ARCH=9")

    def wds_boot(self):
        """Mode 3: the UEFI client is offered the boot manager with option 252 naming its store,
        and fetches the boot manager. (The store is read by the boot manager itself, which the
        tests do not carry: its fetch is not checked here.)"""
        self.start("sniffer", [sys.executable, "-c", SNIFFER, "240"], self.ns)
        time.sleep(1)
        self.qemu()
        if not self.wait_log([r"TFTP Inf: </BM/MICROSOFT/EFI64/bootmgfw\.efi>: sent"], 240):
            return False
        with open(os.path.join(self.tmp, "sniffer.out"), errors="replace") as f:
            replies = f.read()
        log("DHCP replies on the wire:\n" + replies)
        if not re.search(r"opt252=\\BM\\MICROSOFT\\EFI64\\bcd", replies) or "bootmgfw.efi" not in replies:
            log("no reply with the boot manager and option 252 naming its store")
            return False
        store = os.path.join(self.root, "BM", "MICROSOFT", "EFI64", "bcd")
        r = run("hivexget", store, "Objects\\{51554E44-415F-4C4F-4D42-415249584F01}\\Elements\\12000004", "Element",
                check=False)
        if "Windows 11 Pro" not in r.stdout:
            log("the EFI64 store does not list the asset:", r.stdout, r.stderr)
            return False
        log("offered bootmgfw.efi with option 252, fetched it; the store lists:", r.stdout.strip())
        return True

    def start(self, name, cmd, ns):
        out = open(os.path.join(self.tmp, name + ".out"), "w")
        p = subprocess.Popen(["ip", "netns", "exec", ns] + cmd, stdout=out, stderr=subprocess.STDOUT,
                             stdin=subprocess.DEVNULL)
        self.procs.append((name, p))
        return p

    # --- waits --------------------------------------------------------------------------
    def log_text(self):
        try:
            with open(self.logfile, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    def wait_log(self, patterns, seconds):
        end = time.time() + seconds
        while time.time() < end:
            text = self.log_text()
            if all(re.search(p, text) for p in patterns):
                return True
            for name, p in self.procs:
                if name == "nimbo" and p.poll() is not None:
                    log("nimbo ended early with", p.returncode)
                    return False
            time.sleep(0.5)
        missing = [p for p in patterns if not re.search(p, self.log_text())]
        log("not found in the log within %ds: %s" % (seconds, missing))
        return False

    def ocr_title(self, shot):
        """Reads the menu title off a screendump: the white title text is cut out of the
        picture's top band by a threshold, enlarged and given to tesseract in two ways."""
        try:
            width, height, pixels = read_ppm(shot)
        except (OSError, ValueError):
            return ""
        texts = []
        for top, bottom, psm in ((0, 80, "6"), (12, 42, "7")):
            band = os.path.join(self.tmp, "band.pgm")
            write_title_band(band, width, height, pixels, top, bottom)
            r = run("tesseract", band, "stdout", "--psm", psm, check=False)
            texts.append(r.stdout)
            if TITLE.search(r.stdout):
                break
        return "\n".join(texts)

    def wait_title(self, mon, seconds):
        end = time.time() + seconds
        shot = os.path.join(self.tmp, "screen.ppm")
        text = ""
        while time.time() < end:
            mon.command("screendump " + shot)
            text = self.ocr_title(shot)
            match = TITLE.search(text)
            if match:
                log("menu title on screen:", match.group(0))
                return True
            time.sleep(3)
        log("title not seen; last OCR text:\n" + text)
        return False

    def wait_serial(self, path, seconds, marker=MARKER):
        """Waits for the marker on the serial console; gives up early once QEMU has ended
        (the guest powered off, or its kernel panicked and -no-reboot stopped it)."""
        end = time.time() + seconds
        while time.time() < end:
            ended = any(name == "qemu" and p.poll() is not None for name, p in self.procs)
            try:
                with open(path, errors="replace") as f:
                    if marker in f.read():
                        return True
            except OSError:
                pass
            if ended:
                return False
            time.sleep(1)
        return False

    def press_until_kernel(self, mon, seconds):
        end = time.time() + seconds
        while time.time() < end:
            if re.search(r"TFTP Inf: Read file <NWA_PXE/TestLinux/vmlinuz>", self.log_text()):
                return True
            mon.command("sendkey ret")
            time.sleep(3)
        log("the menu entry's kernel was not fetched within %ds" % seconds)
        return False

    def check_linux(self, serial):
        """The kernel saw the filled-in addresses, and the NFS root's init ran."""
        ok = self.wait_serial(serial, 240, NFS_MARKER)
        with open(serial, errors="replace") as f:
            console = f.read()
        line = next((l for l in console.splitlines() if "NIMBO-CMDLINE:" in l), "")
        log("kernel command line:", line or "(not printed)")
        m = FILLED.search(line)
        if not m or not 100 <= int(m.group(1)) < 120:
            log("the kernel line does not carry the client's, the boot server's, the gateway's and the "
                "mask's addresses")
            ok = False
        if "$IP_" in line.upper():
            log("a token reached the kernel unfilled")
            ok = False
        if not ok:
            log("--- serial console (end)\n" + console[-3000:])
            return False
        log("the NFS root's /sbin/init ran:", NFS_MARKER)
        return True

    # --- the scenario -------------------------------------------------------------------
    def qemu(self):
        mon = os.path.join(self.tmp, "monitor.sock")
        serial = os.path.join(self.tmp, "serial.txt")
        cmd = ["qemu-system-x86_64", "-accel", "tcg", "-m", "512", "-display", "none", "-vga", "std",
               "-monitor", "unix:%s,server,nowait" % mon, "-serial", "file:" + serial, "-no-reboot",
               "-netdev", "tap,id=n0,ifname=tap0,script=no,downscript=no"]
        if self.uefi:
            vars_copy = os.path.join(self.tmp, "vars.fd")
            shutil.copyfile(OVMF_VARS, vars_copy)
            cmd += ["-machine", "q35",
                    "-drive", "if=pflash,format=raw,unit=0,readonly=on,file=" + OVMF_CODE,
                    "-drive", "if=pflash,format=raw,unit=1,file=" + vars_copy,
                    "-device", "virtio-net-pci,netdev=n0,mac=52:54:00:12:34:57,romfile="]
        else:
            cmd += ["-device", "e1000,netdev=n0,mac=52:54:00:12:34:56", "-boot", "n"]
        self.start("qemu", cmd, self.ns)
        return mon, serial

    def discover(self, seconds):
        r = run("ip", "netns", "exec", self.ns2, sys.executable, "-c", DISCOVER_CLIENT, str(seconds), check=False)
        return r.stdout.strip()

    def offered_after(self, ini, patterns, what):
        """Starts the program, waits for the log lines and expects an offer to the client."""
        self.start("nimbo", [self.nimbo, "-i", ini, "-l", "9"], self.ns)
        if not self.wait_log(patterns + [r'BINL Inf: Preparation/Maintenance procedures "End"'], 90):
            return False
        answer = self.discover(10)
        if not answer.startswith("OFFER 10.77.0."):
            log("no offer %s:" % what, answer)
            return False
        log("%s:" % what, answer)
        return True

    def no_boot_file(self, ini):
        """No DHCP_BootFile: the preparation completes with the default list and DHCP answers."""
        return self.offered_after(
            ini, [r'BINL Inf: DHCP "Boot File" not set, the default list of boot-manager mode 1 is used'],
            "with BINL's default boot file")

    def held_off(self, ini):
        """A preparation that stops keeps BinlPreparationCount raised: DHCP answers nobody.
        Once a preparation completes, the same request is offered an address."""
        twin = os.path.join(self.root, "NWA_PXE", "off_TestLinux")
        os.makedirs(twin)
        nimbo = self.start("nimbo", [self.nimbo, "-i", ini, "-l", "9"], self.ns)
        if not self.wait_log([r"BINL Err: creating .*menu\.def"], 90):
            return False
        answer = self.discover(4)
        if answer != "NONE" or "DHCP Inf: Rcvd" in self.log_text():
            log("DHCP answered while the preparation held it off:", answer)
            return False
        log("no DHCP answer while the stopped preparation holds the count")
        nimbo.send_signal(signal.SIGINT)
        nimbo.wait(timeout=20)
        self.procs = [(n, p) for n, p in self.procs if p is not nimbo]
        os.rmdir(twin)
        os.rename(self.logfile, self.logfile + ".first")
        return self.offered_after(ini, [], "after the preparation completed")

    def run(self):
        self.network()
        ini = self.tree()
        if self.scenario == "no-boot-file":
            return self.no_boot_file(ini)
        if self.scenario == "held-off":
            return self.held_off(ini)
        self.start("nimbo", [self.nimbo, "-i", ini, "-l", "9"], self.ns)
        if not self.wait_log([r'BINL Inf: Preparation/Maintenance procedures "End"'], 90):
            return False
        if self.scenario == "wds-uefi":
            return self.wds_boot()
        if self.proxy:
            self.start("dnsmasq", ["dnsmasq", "--no-daemon", "--conf-file=/dev/null", "--port=0",
                                   "--interface=veth1", "--bind-interfaces", "--log-dhcp",
                                   "--dhcp-range=10.77.0.100,10.77.0.150,255.255.255.0,1h",
                                   "--dhcp-leasefile=" + os.path.join(self.tmp, "leases"),
                                   "--pid-file=" + os.path.join(self.tmp, "dnsmasq.pid")], self.ns2)
        mon_path, serial = self.qemu()
        platform = "EFI64" if self.uefi else "BIOS"
        program = "pxenimbo.efi" if self.uefi else "pxenimbo.0"
        sent = r"TFTP Inf: </BM/PXENIMBO/%s/%s>: sent"
        if not self.wait_log([sent % (platform, re.escape(program)),
                              sent % (platform, r"pxenimbo\.cfg/menu\.def"),
                              sent % (platform, r"vesamenu\.c32")], 240):
            return False
        log("boot program, menu.def and vesamenu.c32 fetched from Nimbo")
        if self.proxy and not re.search(r"PDHCP Inf: Sending DHCPACK", self.log_text()):
            log("no proxy acknowledgement in the log")
            return False
        mon = Monitor(mon_path)
        try:
            if self.linux and not kernel_image():
                log("no kernel image with its modules: linux-image-amd64 (tools/packages.d/binl.txt) is missing")
                return False
            if self.linux:
                # The menu's title is read in the bios and uefi scenarios; here Enter is pressed
                # until the menu's only entry fetches its kernel (the graphic menu takes minutes
                # to appear under software emulation on a busy machine, and reading it more).
                if not self.press_until_kernel(mon, 300):
                    return False
            elif not self.wait_title(mon, 120):
                return False
            if self.linux:
                if not self.wait_serial(serial, 180):
                    log("the kernel's marker did not reach the serial console")
                    return False
                log("the NWA kernel booted and printed its marker")
                return self.check_linux(serial)
        finally:
            mon.close()
        return True

    def cleanup(self):
        for name, p in reversed(self.procs):
            if p.poll() is None:
                p.send_signal(signal.SIGINT if name == "nimbo" else signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait()
        for ns in (self.ns, self.ns2):
            run("ip", "netns", "del", ns, check=False)
        if os.environ.get("NIMBO_KEEP_TEST_FILES"):
            log("files kept in", self.tmp)
        else:
            shutil.rmtree(self.tmp, ignore_errors=True)

    def dump(self):
        for name in ("nimbo.out", "qemu.out", "dnsmasq.out"):
            path = os.path.join(self.tmp, name)
            if os.path.exists(path):
                with open(path, errors="replace") as f:
                    log("--- %s (end)\n%s" % (name, f.read()[-3000:]))
        text = self.log_text()
        log("--- nimbo.log (end)\n" + "\n".join(text.splitlines()[-60:]))


def main():
    if len(sys.argv) != 3:
        print(__doc__)
        return 2
    nimbo, scenario = sys.argv[1], sys.argv[2]
    why = cannot_make_namespaces()
    if why:
        log("skipped: %s (and tap devices)" % why)
        return SKIP
    tools = ["ip"] if scenario in ("held-off", "no-boot-file") else ["ip", "qemu-system-x86_64", "tesseract"]
    tools += ["dnsmasq"] if scenario.startswith("proxy") else []
    tools += ["wimlib-imagex", "hivexget"] if scenario == "wds-uefi" else []
    if not os.path.exists("/dev/net/tun"):
        log("this machine has no tap devices (/dev/net/tun)")
        return SKIP
    missing = missing_tools(*tools)
    missing += [] if os.path.exists("/bin/busybox") else ["/bin/busybox"]
    missing += [OVMF_CODE] if scenario.endswith("uefi") and not os.path.exists(OVMF_CODE) else []
    if missing:
        # Every tool comes from tools/packages.d, which tools/test installs: a missing one fails.
        log("missing:", " ".join(missing))
        return 1
    t = Test(nimbo, scenario)
    ok = False
    try:
        ok = t.run()
        if ok is not True and ok != SKIP:
            t.dump()
    except Exception as e:  # a failed set-up step is a failure with its output
        log("error:", e, getattr(e, "stdout", ""))
        t.dump()
    finally:
        t.cleanup()
    if ok == SKIP:
        return SKIP
    log("PASSED" if ok else "FAILED", scenario)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
