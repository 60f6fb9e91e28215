#include "libs/platform/profile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "libs/platform/atomic_file.h"

namespace {
std::mutex g_profileLock;

bool ReadWhole(const char* path, std::string& out) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

char Lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool SameName(const std::string& a, const char* b) {
    size_t n = strlen(b);
    if (a.size() != n) return false;
    for (size_t i = 0; i < n; ++i)
        if (Lower(a[i]) != Lower(b[i])) return false;
    return true;
}

std::string LowerText(const std::string& s) {
    std::string out = s;
    for (char& c : out) c = Lower(c);
    return out;
}

std::string Trim(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return s.substr(b, e - b);
}

struct Line {
    std::string text;  // without the line end
    std::string end;   // "\r\n", "\n" or "" (last line)
};

std::vector<Line> SplitLines(const std::string& s) {
    std::vector<Line> lines;
    size_t pos = 0;
    while (pos < s.size()) {
        size_t nl = s.find('\n', pos);
        if (nl == std::string::npos) {
            lines.push_back({s.substr(pos), ""});
            break;
        }
        size_t end = nl;
        const char* term = "\n";
        if (end > pos && s[end - 1] == '\r') {
            --end;
            term = "\r\n";
        }
        lines.push_back({s.substr(pos, end - pos), term});
        pos = nl + 1;
    }
    return lines;
}

// Section header name when the line is "[name]", else false.
bool SectionName(const std::string& line, std::string* name) {
    std::string t = Trim(line);
    if (t.size() < 2 || t[0] != '[') return false;
    size_t close = t.find(']');
    if (close == std::string::npos) return false;
    *name = Trim(t.substr(1, close - 1));
    return true;
}

bool KeyValue(const std::string& line, std::string* key, std::string* value) {
    std::string t = Trim(line);
    if (t.empty() || t[0] == ';') return false;
    size_t eq = t.find('=');
    if (eq == std::string::npos) return false;
    *key = Trim(t.substr(0, eq));
    *value = Trim(t.substr(eq + 1));
    return true;
}

// Walks the key lines of the first section of that name until visit returns false.
template <class Visit>
bool ForEachKey(const char* section, const char* path, Visit visit) {
    std::string content;
    {
        std::lock_guard<std::mutex> lk(g_profileLock);
        if (!ReadWhole(path, content)) return false;
    }
    bool inSection = false, sectionSeen = false;
    for (const Line& l : SplitLines(content)) {
        std::string name, k, v;
        if (SectionName(l.text, &name)) {
            if (sectionSeen && inSection) break;  // first matching section only
            inSection = SameName(name, section);
            if (inSection) sectionSeen = true;
            continue;
        }
        if (inSection && KeyValue(l.text, &k, &v)) {
            if (v.size() >= 2 && (v.front() == '"' || v.front() == '\'') && v.back() == v.front())
                v = v.substr(1, v.size() - 2);
            if (v.size() > 2047) v.resize(2047);
            if (!visit(k, v)) break;
        }
    }
    return true;
}
}  // namespace

bool GetProfileSection(const char* section, std::unordered_map<std::string, std::string>* values, const char* path) {
    values->clear();
    return ForEachKey(section, path, [values](const std::string& k, std::string& v) {
        values->emplace(LowerText(k), std::move(v));
        return true;
    });
}

int GetProfileValue(const char* section, const char* key, const char* def, char* buf, int size, const char* path) {
    if (!buf || size <= 0) return 0;
    std::string value;
    bool found = false;
    ForEachKey(section, path, [&](const std::string& k, std::string& v) {
        if (!SameName(k, key)) return true;
        value = std::move(v);
        found = true;
        return false;
    });
    if (!found) value = def ? def : "";
    if (value.size() > 2047) value.resize(2047);
    size_t n = value.size() < static_cast<size_t>(size - 1) ? value.size() : static_cast<size_t>(size - 1);
    memcpy(buf, value.data(), n);
    buf[n] = '\0';
    return static_cast<int>(n);
}

bool WriteProfileValue(const char* section, const char* key, const char* value, const char* path) {
    return WriteProfileValues(section, {{key, value}}, path);
}

bool WriteProfileValues(const char* section, const std::vector<std::pair<std::string, std::string>>& values,
                        const char* path) {
    std::lock_guard<std::mutex> lk(g_profileLock);
    std::string content;
    bool exists = ReadWhole(path, content);
    if (!exists && errno != ENOENT) return false;
    std::vector<Line> lines = SplitLines(content);
    std::string newline = "\r\n";
    for (const Line& l : lines)
        if (!l.end.empty()) {
            newline = l.end;
            break;
        }

    // The first section of that name, its last non-blank line and its keys (first match wins).
    int sectionLine = -1, lastInSection = -1;
    std::unordered_map<std::string, size_t> keyLines;
    for (size_t i = 0; i < lines.size(); ++i) {
        std::string name, k, v;
        if (SectionName(lines[i].text, &name)) {
            if (sectionLine >= 0) break;
            if (SameName(name, section)) {
                sectionLine = static_cast<int>(i);
                lastInSection = static_cast<int>(i);
            }
            continue;
        }
        if (sectionLine < 0) continue;
        if (!Trim(lines[i].text).empty()) lastInSection = static_cast<int>(i);
        if (KeyValue(lines[i].text, &k, &v)) keyLines.emplace(LowerText(k), i);
    }
    std::vector<Line> added;
    std::unordered_map<std::string, size_t> addedKeys;
    for (const auto& [key, value] : values) {
        std::string kv = key + "=" + value;
        std::string lower = LowerText(key);
        if (auto it = keyLines.find(lower); it != keyLines.end()) {
            lines[it->second].text = kv;
        } else if (auto a = addedKeys.find(lower); a != addedKeys.end()) {
            added[a->second].text = kv;
        } else {
            addedKeys.emplace(lower, added.size());
            added.push_back({kv, newline});
        }
    }
    if (!added.empty()) {
        if (sectionLine >= 0) {
            if (lines[lastInSection].end.empty()) lines[lastInSection].end = newline;
            lines.insert(lines.begin() + lastInSection + 1, added.begin(), added.end());
        } else {
            if (!lines.empty() && lines.back().end.empty()) lines.back().end = newline;
            lines.push_back({std::string("[") + section + "]", newline});
            lines.insert(lines.end(), added.begin(), added.end());
        }
    }
    std::string out;
    out.reserve(content.size() + added.size() * 48);
    for (const Line& l : lines) {
        out += l.text;
        out += l.end;
    }
    return ReplaceFile(path, out.data(), out.size(), ExistingModeOr(path, 0644));
}

bool TruncateProfile(const char* path) {
    std::lock_guard<std::mutex> lk(g_profileLock);
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    close(fd);
    return true;
}
