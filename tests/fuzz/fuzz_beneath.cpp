// The root confinement: any path, opened, looked up without case, stat'ed or read as a link,
// must never reach a file outside the root. The first byte picks the call; the rest is the path.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

#include "libs/platform/beneath.h"
#include "tests/fuzz/fuzz_util.h"

namespace {

struct Tree {
    std::string root;
    int rootFd = -1;
    Tree() {
        const std::string top = FuzzFolder();
        root = top + "/root";
        mkdir(root.c_str(), 0755);
        mkdir((top + "/outside").c_str(), 0755);
        std::ofstream(top + "/outside/secret") << "secret";
        mkdir((root + "/Boot").c_str(), 0755);
        mkdir((root + "/Boot/EFI").c_str(), 0755);
        std::ofstream(root + "/Boot/PXEboot.N12") << "pxe";
        std::ofstream(root + "/twin") << "1";
        std::ofstream(root + "/TWIN") << "2";
        symlink("PXEboot.N12", (root + "/Boot/alias").c_str());
        symlink("..", (root + "/Boot/EFI/parent").c_str());
        symlink("../..", (root + "/Boot/up").c_str());
        symlink("/", (root + "/slash").c_str());
        symlink((top + "/outside").c_str(), (root + "/abs").c_str());
        symlink("loop", (root + "/loop").c_str());
        rootFd = open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        if (rootFd < 0) abort();
    }
};

const Tree& TheTree() {
    static const Tree tree;
    return tree;
}

// Aborts unless the descriptor names the root or something beneath it.
void CheckInside(int fd) {
    if (fd < 0) return;
    char link[64], target[4096];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    close(fd);
    if (n < 0) abort();
    const std::string path(target, size_t(n)), &root = TheTree().root;
    if (path != root && path.compare(0, root.size() + 1, root + "/") != 0) abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 4096) return 0;
    const Tree& tree = TheTree();
    const std::string path(reinterpret_cast<const char*>(data) + 1, size - 1);
    if (path.find('\0') != std::string::npos) return 0;
    const int root = tree.rootFd;
    struct stat st;
    std::string found, text;
    switch (data[0] % 6) {
        case 0: CheckInside(OpenBeneath(root, path, O_RDONLY | O_NONBLOCK)); break;
        case 1: CheckInside(OpenBeneathNoCase(root, path, O_RDONLY | O_NONBLOCK, CaseMatch::Unique, &found)); break;
        case 2:
            CheckInside(OpenBeneathNoCase(root, path, O_PATH, CaseMatch::First, &found));
            if (FindBeneathNoCase(root, path, CaseMatch::First, true, &found))
                CheckInside(OpenBeneath(root, found, O_PATH));
            break;
        case 3:
            CheckInside(OpenBeneath(root, path, O_PATH | O_NOFOLLOW));
            LstatBeneath(root, path, &st);
            ReadLinkBeneath(root, path, &text);
            break;
        case 4:
            if (StatBeneath(root, path, &st) && S_ISREG(st.st_mode) && st.st_size == 6) {
                // Only the file outside holds six bytes: reaching it is an escape.
                abort();
            }
            break;
        default: {
            BeneathEntry entry;
            if (entry.Open(root, path)) {
                CheckInside(fcntl(entry.dir(), F_DUPFD_CLOEXEC, 0));
                if (StatEntry(entry.dir(), entry.name().c_str(), &st) && S_ISREG(st.st_mode) && st.st_size == 6)
                    abort();
            }
            break;
        }
    }
    return 0;
}
