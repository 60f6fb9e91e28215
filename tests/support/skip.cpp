#include "tests/support/skip.h"

#include <net/if.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace nimbo::test {

bool IsRoot() { return geteuid() == 0; }

bool OnPath(const std::string& program) {
    if (program.find('/') != std::string::npos) return access(program.c_str(), X_OK) == 0;
    const char* path = getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && access((dir + "/" + program).c_str(), X_OK) == 0) return true;
        start = end + 1;
    }
    return false;
}

bool EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) return false;
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    ifreq ifr{};
    strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    bool ok = ioctl(s, SIOCGIFFLAGS, &ifr) == 0;
    ifr.ifr_flags |= IFF_UP;
    ok = ok && ioctl(s, SIOCSIFFLAGS, &ifr) == 0;
    close(s);
    return ok;
}

std::string NeedRoot() { return IsRoot() ? "" : "needs root"; }

std::string NeedPrivateNetwork() { return EnterPrivateNetwork() ? "" : "needs a private network namespace (root)"; }

std::string NeedTools(std::initializer_list<const char*> programs) {
    std::string missing;
    for (const char* p : programs)
        if (!OnPath(p)) missing += std::string(missing.empty() ? "" : ", ") + p;
    return missing.empty() ? "" : "needs " + missing + " (not installed)";
}

}  // namespace nimbo::test
