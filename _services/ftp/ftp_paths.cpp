#include "_services/ftp/ftp_paths.h"

#include <algorithm>

namespace {
void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t p; (p = s.find(from)) != std::string::npos;) s.replace(p, from.size(), to);
}

bool IsDriveRoot(const std::string& s, size_t end) { return end == 2 && s[1] == ':'; }

// Resolves the first "/.." that is followed by '/' or ends the text; false when none is left.
bool ResolveOneParent(std::string& s) {
    for (size_t p = s.find("/.."); p != std::string::npos; p = s.find("/..", p + 1)) {
        size_t after = p + 3;
        if (after < s.size() && s[after] != '/') continue;  // "/..x" is a name
        if (p == 0) {
            s.erase(0, after == s.size() ? 2 : 3);  // "/.." -> "/", "/../x" -> "/x"
            return true;
        }
        size_t q = s.rfind('/', p - 1);
        if (q == std::string::npos) {
            if (IsDriveRoot(s, p)) {
                s.erase(p + 1, after == s.size() ? 2 : 3);  // C:/.. stays C:/
            } else {
                s.erase(0, after < s.size() ? after + 1 : after);  // "a/../b" -> "b"
            }
            return true;
        }
        s.erase(q, after - q);
        if (s.size() == 2 && s[1] == ':') s += '/';  // C:/a/.. -> C:/
        return true;
    }
    return false;
}
}  // namespace

bool SimplifyPath(std::string& s) {
    if (s.empty()) return false;
    std::replace(s.begin(), s.end(), '\\', '/');
    ReplaceAll(s, "//", "/");
    ReplaceAll(s, "/./", "/");
    if (s.compare(0, 2, "./") == 0) s.erase(0, 1);
    if (s.compare(0, 3, "../") == 0) s.erase(0, 2);
    if (s.size() >= 2 && s.compare(s.size() - 2, 2, "/.") == 0) s.pop_back();
    while (ResolveOneParent(s)) {}
    if (s.size() > 1 && s.back() == '/' && !(s.size() == 3 && s[1] == ':')) s.pop_back();
    if (s.empty() || s == "." || s == "..") s.assign(1, '/');
    return true;
}

bool BuildVirtualPath(const std::string& current, const char* argument, std::string* out) {
    if (!argument) {
        *out = current;
        return true;
    }
    std::string arg = argument;
    std::replace(arg.begin(), arg.end(), '\\', '/');
    std::string path;
    if (!arg.empty() && arg[0] == '/') {
        path = arg;
    } else {
        path = current + "/" + arg;
        if (path.size() > kFtpMaxJoin) return false;  // never cut a join: the rest may hold ".."
    }
    if (!SimplifyPath(path) || path.size() > kFtpMaxPath || path[0] != '/') return false;
    *out = path;
    return true;
}

bool BuildFullPath(const std::string& root, const std::string& current, const char* argument, std::string* full,
                   std::string* virtualOut, std::string* relative) {
    if (root.empty()) return false;
    std::string virt;
    if (!BuildVirtualPath(current, argument, &virt)) return false;
    std::string joined = root;
    if (virt != "/") {
        if (joined.back() == '/') joined.pop_back();
        joined += virt;
    }
    if (joined.size() > kFtpMaxPath) return false;
    *full = joined;
    if (relative) *relative = virt == "/" ? "." : virt.substr(1);
    if (virtualOut) *virtualOut = virt;
    return true;
}
