#include "libs/platform/progpath.h"

#include <unistd.h>

#include <strings.h>

std::string ProgramFolderPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return ".";
    return ProgramFolderOf(std::string(buf, static_cast<size_t>(n)));
}

std::string ProgramFolderOf(const std::string& executablePath) {
    std::string p = executablePath;
    size_t slash = p.rfind('/');
    p = slash == std::string::npos ? std::string(".") : p.substr(0, slash);
    slash = p.rfind('/');
    if (slash != std::string::npos) {
        std::string last = p.substr(slash + 1);
        if (strcasecmp(last.c_str(), "Debug") == 0 || strcasecmp(last.c_str(), "Release") == 0)
            p = slash == 0 ? std::string("/") : p.substr(0, slash);
    }
    return p;
}
