// Driver INF files: sections of key = field, field lines, read the way Windows setup reads them.
//
// - Section and key names compare without case; sections of the same name are merged in
//   file order.
// - A line is "key = f1, f2, ..." or a key-less "f1, f2, ..."; ';' outside quotes starts a
//   comment; a '\' at the end of a line joins the next one; "..." quotes a field and "" in
//   it stands for one quote; blanks around unquoted text are dropped.
// - %name% is replaced by the value of name in [Strings] (%% is one %); unknown tokens stay.
// - UTF-16LE text with its byte-order mark is read as well as 8-bit text (UTF-8 mark skipped).
// - A field longer than kInfMaxField characters, or a file larger than kInfMaxFile bytes,
//   refuses the whole file.
#pragma once
#include <cstddef>
#include <map>
#include <string>
#include <vector>

constexpr size_t kInfMaxField = 4096;
constexpr size_t kInfMaxFile = 32u << 20;

// The public GUID of the network device class.
constexpr const char* kNetClassGuid = "{4d36e972-e325-11ce-bfc1-08002be10318}";

enum InfResult : int {
    INF_OK = 0,
    INF_OPEN_FAILED = 1,  // missing, unreadable or not a regular file
    INF_TOO_LONG = 2,     // a field or the file is too long
    INF_WRONG_CLASS = 3,  // [Version] names another device class
};

struct InfLine {
    std::string key;  // empty on a key-less line
    bool hasKey = false;
    std::vector<std::string> fields;  // field 1 is fields[0]
};

class InfFile {
public:
    // Reads the file. requiredClass (nullptr: any) must equal [Version] Class without case or,
    // when Class is missing, [Version] ClassGUID must be the class's GUID (only "Net" known).
    int Open(const std::string& path, const char* requiredClass);
    // The same over text already in memory (the file's bytes).
    int Parse(const std::string& bytes, const char* requiredClass);

    bool HasSection(const std::string& name) const { return Section(name) != nullptr; }
    // The merged lines of a section; nullptr when there is none.
    const std::vector<InfLine>* Section(const std::string& name) const;
    // First line of the section with this key; nullptr when none.
    const InfLine* FindLine(const std::string& section, const std::string& key) const;
    // Field n of a line (0 the key, 1 the first value); false when the line has no such field.
    static bool Field(const InfLine& line, int n, std::string* out);
    // Field 1 of the first line with this key in the section; false when none.
    bool Value(const std::string& section, const std::string& key, std::string* out) const;

private:
    std::map<std::string, std::vector<InfLine>> sections_;  // by upper-case name
};

// ASCII comparison without case.
bool InfEqualNoCase(const std::string& a, const std::string& b);
