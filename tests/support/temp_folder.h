// A temporary folder for a test: made fresh under /tmp, removed with all it holds when the
// object goes, and the few file helpers the tests need beside it.
#pragma once
#include <filesystem>
#include <string>

namespace nimbo::test {

class TempFolder {
public:
    // Makes <parent>/<prefix>XXXXXX (mode 0700); throws std::system_error when it cannot, so
    // that a test never goes on with an empty path.
    explicit TempFolder(const std::string& prefix = "nimbo-test-", const std::string& parent = "/tmp");
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return path_; }
    std::filesystem::path fspath() const { return path_; }
    // The path of rel inside the folder ("a/b" gives "<path>/a/b").
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }
    // Makes the folder rel (and its parents) inside; returns its path.
    std::string MakeFolder(const std::string& rel) const;
    // Writes bytes to the file rel inside (parent folders made, an old file replaced); returns its path.
    std::string Write(const std::string& rel, const std::string& bytes) const;
    // The bytes of the file rel inside ("" when it cannot be read).
    std::string Read(const std::string& rel) const;

private:
    std::string path_;
};

// Writes bytes to path, making its parent folders and replacing an old file; true on success.
bool WriteFile(const std::string& path, const std::string& bytes);
// The bytes of the file at path ("" when it cannot be read).
std::string ReadFile(const std::string& path);
// Removes path and everything beneath it, folders without write permission included.
void RemoveTree(const std::string& path);

}  // namespace nimbo::test
