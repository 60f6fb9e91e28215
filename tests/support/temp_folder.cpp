#include "tests/support/temp_folder.h"

#include <stdlib.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <system_error>

namespace nimbo::test {

namespace fs = std::filesystem;

TempFolder::TempFolder(const std::string& prefix, const std::string& parent) {
    std::string tmpl = parent + "/" + prefix + "XXXXXX";
    if (!mkdtemp(tmpl.data())) throw std::system_error(errno, std::generic_category(), "mkdtemp " + tmpl);
    path_ = tmpl;
}

TempFolder::~TempFolder() { RemoveTree(path_); }

std::string TempFolder::MakeFolder(const std::string& rel) const {
    const std::string p = *this / rel;
    std::error_code ec;
    fs::create_directories(p, ec);
    return p;
}

std::string TempFolder::Write(const std::string& rel, const std::string& bytes) const {
    const std::string p = *this / rel;
    WriteFile(p, bytes);
    return p;
}

std::string TempFolder::Read(const std::string& rel) const { return ReadFile(*this / rel); }

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::error_code ec;
    const fs::path parent = fs::path(path).parent_path();
    if (!parent.empty()) fs::create_directories(parent, ec);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

namespace {
// Gives the owner every permission on dir and the folders beneath it (not through links).
void OpenUp(const fs::path& dir) {
    std::error_code ec;
    fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add, ec);
    for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
        std::error_code ignored;
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) OpenUp(it->path());
    }
}
}  // namespace

void RemoveTree(const std::string& path) {
    if (path.empty()) return;
    std::error_code ec;
    fs::remove_all(path, ec);
    if (!ec) return;
    // A test may have taken the write permission from a folder inside: give it back, then again.
    OpenUp(path);
    fs::remove_all(path, ec);
}

}  // namespace nimbo::test
