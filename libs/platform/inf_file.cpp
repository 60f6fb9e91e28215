#include "libs/platform/inf_file.h"

#include <sys/stat.h>

#include "libs/platform/file_read.h"

namespace {

char Upper(char c) { return (c >= 'a' && c <= 'z') ? char(c - 32) : c; }

std::string UpperText(const std::string& s) {
    std::string out(s);
    for (char& c : out) c = Upper(c);
    return out;
}

bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f'; }

void PutUtf8(std::string* out, uint32_t cp) {
    if (cp < 0x80) {
        out->push_back(char(cp));
    } else if (cp < 0x800) {
        out->push_back(char(0xC0 | (cp >> 6)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out->push_back(char(0xE0 | (cp >> 12)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    } else {
        out->push_back(char(0xF0 | (cp >> 18)));
        out->push_back(char(0x80 | ((cp >> 12) & 0x3F)));
        out->push_back(char(0x80 | ((cp >> 6) & 0x3F)));
        out->push_back(char(0x80 | (cp & 0x3F)));
    }
}

// The file's text as 8-bit characters: UTF-16LE (with its mark) becomes UTF-8.
std::string DecodeText(const std::string& bytes) {
    if (bytes.size() >= 2 && uint8_t(bytes[0]) == 0xFF && uint8_t(bytes[1]) == 0xFE) {
        std::string out;
        out.reserve(bytes.size() / 2);
        size_t n = (bytes.size() - 2) / 2;
        auto unit = [&](size_t i) {
            return uint32_t(uint8_t(bytes[2 + 2 * i])) | (uint32_t(uint8_t(bytes[3 + 2 * i])) << 8);
        };
        for (size_t i = 0; i < n; ++i) {
            uint32_t u = unit(i);
            if (u >= 0xD800 && u < 0xDC00 && i + 1 < n && unit(i + 1) >= 0xDC00 && unit(i + 1) < 0xE000) {
                u = 0x10000 + ((u - 0xD800) << 10) + (unit(i + 1) - 0xDC00);
                ++i;
            } else if (u >= 0xD800 && u < 0xE000) {
                u = '?';
            }
            PutUtf8(&out, u);
        }
        return out;
    }
    if (bytes.size() >= 3 && uint8_t(bytes[0]) == 0xEF && uint8_t(bytes[1]) == 0xBB && uint8_t(bytes[2]) == 0xBF)
        return bytes.substr(3);
    return bytes;
}

// Cuts a physical line at its comment (';' outside quotes).
std::string StripComment(const std::string& line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"')
            quoted = !quoted;
        else if (line[i] == ';' && !quoted)
            return line.substr(0, i);
    }
    return line;
}

std::string Trim(const std::string& s) {
    size_t a = 0, b = s.size();
    while (a < b && IsBlank(s[a])) ++a;
    while (b > a && IsBlank(s[b - 1])) --b;
    return s.substr(a, b - a);
}

// Splits a logical line into key and fields. False when a part is too long.
bool Tokenize(const std::string& text, InfLine* line) {
    std::string cur;
    size_t keep = 0;
    bool quotedAny = false, inQuote = false, comma = false;
    auto finish = [&]() {
        cur.resize(keep);
        std::string f = cur;
        cur.clear();
        keep = 0;
        quotedAny = false;
        return f;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (inQuote) {
            if (c == '"') {
                if (i + 1 < text.size() && text[i + 1] == '"') {
                    cur += '"';
                    ++i;
                    keep = cur.size();
                } else {
                    inQuote = false;
                }
            } else {
                cur += c;
                keep = cur.size();
            }
        } else if (c == '"') {
            inQuote = quotedAny = true;
            keep = cur.size();
        } else if (c == '=' && !line->hasKey && !comma) {
            line->key = finish();
            line->hasKey = true;
        } else if (c == ',') {
            line->fields.push_back(finish());
            comma = true;
        } else if (IsBlank(c)) {
            if (!cur.empty() || quotedAny) cur += c;
        } else {
            cur += c;
            keep = cur.size();
        }
        if (cur.size() > kInfMaxField) return false;
    }
    if (keep > 0 || quotedAny || comma) line->fields.push_back(finish());
    return true;
}

// Replaces %name% by its [Strings] value; %% is one %; unknown names stay as written.
std::string Substitute(const std::string& s, const std::map<std::string, std::string>& strings) {
    if (s.find('%') == std::string::npos) return s;
    std::string out;
    size_t i = 0;
    while (i < s.size()) {
        size_t p = s.find('%', i);
        if (p == std::string::npos) break;
        size_t q = s.find('%', p + 1);
        if (q == std::string::npos) break;
        out.append(s, i, p - i);
        std::string name = s.substr(p + 1, q - p - 1);
        if (name.empty()) {
            out += '%';
        } else {
            auto it = strings.find(UpperText(name));
            if (it != strings.end())
                out += it->second;
            else
                out.append(s, p, q - p + 1);
        }
        i = q + 1;
    }
    out.append(s, i, std::string::npos);
    return out;
}

}  // namespace

bool InfEqualNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (Upper(a[i]) != Upper(b[i])) return false;
    return true;
}

int InfFile::Open(const std::string& path, const char* requiredClass) {
    sections_.clear();
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && uint64_t(st.st_size) > kInfMaxFile)
        return INF_TOO_LONG;
    std::vector<uint8_t> bytes;
    if (ReadRegularFile(path, &bytes) != FileRead::Ok) return INF_OPEN_FAILED;
    if (bytes.size() > kInfMaxFile) return INF_TOO_LONG;
    return Parse(std::string(bytes.begin(), bytes.end()), requiredClass);
}

int InfFile::Parse(const std::string& raw, const char* requiredClass) {
    sections_.clear();
    if (raw.size() > kInfMaxFile) return INF_TOO_LONG;
    std::string text = DecodeText(raw);
    std::vector<InfLine>* current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        // One logical line: physical lines joined while one ends in '\'.
        std::string logical;
        for (;;) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string physical = Trim(StripComment(text.substr(pos, end - pos)));
            pos = end + 1;
            if (!physical.empty() && physical.back() == '\\' && pos < text.size()) {
                physical.pop_back();
                logical += physical;
                continue;
            }
            logical += physical;
            break;
        }
        std::string line = Trim(logical);
        std::string clean;
        for (char c : line)
            if (c != '\0' && c != '\x1a') clean += c;
        if (clean.empty()) continue;
        if (clean[0] == '[') {
            size_t close = clean.find(']');
            if (close == std::string::npos) {
                current = nullptr;
                continue;
            }
            std::string name = Trim(clean.substr(1, close - 1));
            if (name.size() > kInfMaxField) return INF_TOO_LONG;
            current = &sections_[UpperText(name)];
            continue;
        }
        if (!current) continue;
        InfLine l;
        if (!Tokenize(clean, &l)) return INF_TOO_LONG;
        current->push_back(std::move(l));
    }

    std::map<std::string, std::string> strings;
    if (const std::vector<InfLine>* s = Section("Strings"))
        for (const InfLine& l : *s)
            if (l.hasKey && !l.fields.empty()) strings.emplace(UpperText(l.key), l.fields[0]);
    for (auto& [name, lines] : sections_) {
        if (name == "STRINGS") continue;
        for (InfLine& l : lines) {
            l.key = Substitute(l.key, strings);
            if (l.key.size() > kInfMaxField) return INF_TOO_LONG;
            for (std::string& f : l.fields) {
                f = Substitute(f, strings);
                if (f.size() > kInfMaxField) return INF_TOO_LONG;
            }
        }
    }

    if (requiredClass) {
        std::string cls, guid;
        if (Value("Version", "Class", &cls)) {
            if (!InfEqualNoCase(cls, requiredClass)) return INF_WRONG_CLASS;
        } else if (!InfEqualNoCase(requiredClass, "Net") || !Value("Version", "ClassGUID", &guid) ||
                   !InfEqualNoCase(guid, kNetClassGuid)) {
            return INF_WRONG_CLASS;
        }
    }
    return INF_OK;
}

const std::vector<InfLine>* InfFile::Section(const std::string& name) const {
    auto it = sections_.find(UpperText(name));
    return it == sections_.end() ? nullptr : &it->second;
}

const InfLine* InfFile::FindLine(const std::string& section, const std::string& key) const {
    const std::vector<InfLine>* s = Section(section);
    if (!s) return nullptr;
    for (const InfLine& l : *s)
        if (l.hasKey && InfEqualNoCase(l.key, key)) return &l;
    return nullptr;
}

bool InfFile::Field(const InfLine& line, int n, std::string* out) {
    if (n == 0) {
        if (!line.hasKey) return false;
        *out = line.key;
        return true;
    }
    if (n < 0 || size_t(n) > line.fields.size()) return false;
    *out = line.fields[size_t(n) - 1];
    return true;
}

bool InfFile::Value(const std::string& section, const std::string& key, std::string* out) const {
    const InfLine* l = FindLine(section, key);
    return l && Field(*l, 1, out);
}
