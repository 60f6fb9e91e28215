"""Small initramfs images for tests that boot the host's Debian kernel in QEMU: busybox with its
libraries, kernel modules with what they depend on, and an /init script of the test's own."""
import os
import re
import subprocess


def newc_archive(entries):
    """A cpio archive in the newc form: entries are (name, mode, data); a link's data is its text."""
    out = bytearray()
    ino = 1
    for name, mode, data in entries + [("TRAILER!!!", 0, b"")]:
        nb = name.encode() + b"\0"
        fields = [ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(nb), 0]
        out += b"070701" + b"".join(b"%08X" % f for f in fields) + nb
        out += b"\0" * ((4 - len(out) % 4) % 4)
        out += data
        out += b"\0" * ((4 - len(out) % 4) % 4)
        ino += 1
    return bytes(out)


def shared_libraries(program):
    """The libraries a dynamically linked program needs, as ldd lists them."""
    r = subprocess.run(["ldd", program], capture_output=True, text=True, timeout=30)
    libs = []
    for line in r.stdout.splitlines():
        m = re.search(r"(/\S+) \(0x", line)
        if m and os.path.exists(m.group(1)):
            libs.append(m.group(1))
    return libs


def kernel_release():
    """The release of the newest Debian kernel in /boot with its modules, or None."""
    found = []
    for name in os.listdir("/boot"):
        if name.startswith("vmlinuz-"):
            release = name[len("vmlinuz-"):]
            if os.path.exists("/lib/modules/%s/modules.dep" % release):
                found.append(release)
    return sorted(found)[-1] if found else None


def modules_in_load_order(release, names):
    """Paths of the named modules (without .ko) and of everything they need, each after what it
    needs; names that are built into the kernel are left out."""
    base = "/lib/modules/%s" % release
    deps = {}
    with open(os.path.join(base, "modules.dep")) as f:
        for line in f:
            target, _, rest = line.partition(":")
            deps[target] = rest.split()
    by_name = {os.path.basename(p).split(".ko")[0].replace("-", "_"): p for p in deps}
    order = []

    def visit(path):
        if path in order:
            return
        for d in reversed(deps.get(path, [])):
            visit(d)
        order.append(path)

    for n in names:
        p = by_name.get(n.replace("-", "_"))
        if p:
            visit(p)
    return [os.path.join(base, p) for p in order]


class Initramfs:
    def __init__(self):
        self.entries = []
        self.folders = set()

    def _folders_of(self, target):
        parts = target.strip("/").split("/")
        for i in range(1, len(parts)):
            folder = "/".join(parts[:i])
            if folder not in self.folders:
                self.folders.add(folder)
                self.entries.append((folder, 0o40755, b""))
        return "/".join(parts)

    def add_data(self, target, data, mode=0o100644):
        self.entries.append((self._folders_of(target), mode, data))

    def add_file(self, target, source, mode=0o100755):
        with open(source, "rb") as f:
            self.add_data(target, f.read(), mode)

    def add_busybox(self):
        """/bin/busybox with its libraries and /bin/sh as a link to it."""
        self.add_file("bin/busybox", "/bin/busybox")
        for lib in shared_libraries("/bin/busybox"):
            self.add_file(lib, os.path.realpath(lib))
        self.add_data("bin/sh", b"busybox", 0o120777)

    def add_modules(self, release, names):
        """The modules and what they need under /modules; returns their names in load order."""
        loaded = []
        for path in modules_in_load_order(release, names):
            name = os.path.basename(path)
            self.add_file("modules/" + name, path, 0o100644)
            loaded.append(name)
        return loaded

    def write(self, path):
        with open(path, "wb") as f:
            f.write(newc_archive(self.entries))
