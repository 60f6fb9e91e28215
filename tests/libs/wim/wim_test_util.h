// Helpers for the WIM tests: running the wimlib tools, file trees (the temporary folder and the
// file helpers are the shared ones).
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <vector>

#include "tests/support/temp_folder.h"

namespace wimtest {

namespace fs = std::filesystem;

// Runs a shell command; returns its standard output, the exit status in *status.
inline std::string Run(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen((command + " 2>/dev/null").c_str(), "r");
  if (!pipe) {
    if (status) *status = -1;
    return out;
  }
  char buffer[4096];
  size_t n;
  while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
  int rc = pclose(pipe);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

inline std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) lines.push_back(line);
  return lines;
}

using nimbo::test::ReadFile;
using nimbo::test::WriteFile;

// Deterministic bytes that compress poorly.
inline std::string Noise(size_t size, uint32_t seed) {
  std::string s(size, '\0');
  for (char& c : s) {
    seed = seed * 1103515245u + 12345u;
    c = char(seed >> 16);
  }
  return s;
}

// Text that compresses well and spans several chunks.
inline std::string Text(size_t size) {
  std::string s;
  for (int line = 0; s.size() < size; ++line) s += "line " + std::to_string(line) + " of the sample text\n";
  s.resize(size);
  return s;
}

using nimbo::test::TempFolder;

// A source tree with an empty folder, an empty file, a hard link and a symbolic link.
inline void MakeSampleTree(const fs::path& root) {
  WriteFile(root / "a.txt", "hello\n");
  WriteFile(root / "dir" / "big.bin", Noise(200000, 7));
  WriteFile(root / "dir" / "sub" / "text.txt", Text(300000));
  WriteFile(root / "emptyfile", "");
  fs::create_directories(root / "empty");
  fs::create_hard_link(root / "a.txt", root / "dir" / "hard.txt");
  fs::create_symlink("a.txt", root / "link");
}

inline std::string Quote(const fs::path& p) { return "'" + p.string() + "'"; }

// wimlib-imagex capture (or append when the file exists); true on success.
inline bool Capture(const fs::path& source, const fs::path& wim, const std::string& name, const std::string& options) {
  int status = 0;
  const char* verb = fs::exists(wim) ? "append" : "capture";
  Run(std::string("wimlib-imagex ") + verb + " " + Quote(source) + " " + Quote(wim) + " '" + name + "' " + options +
          " >/dev/null",
      &status);
  return status == 0;
}

// Paths of an image as wimlib lists them ("/dir/file"), without the root, sorted.
inline std::vector<std::string> WimlibList(const fs::path& wim, int image) {
  std::vector<std::string> lines = Lines(Run("wimlib-imagex dir " + Quote(wim) + " " + std::to_string(image)));
  lines.erase(std::remove(lines.begin(), lines.end(), "/"), lines.end());
  std::sort(lines.begin(), lines.end());
  return lines;
}

inline std::string WimlibExtract(const fs::path& wim, int image, const std::string& path, int* status = nullptr) {
  return Run("wimextract " + Quote(wim) + " " + std::to_string(image) + " '" + path + "' --to-stdout", status);
}

inline bool WimlibVerify(const fs::path& wim) {
  int status = 0;
  std::string out = Run("(wimlib-imagex verify " + Quote(wim) + " 2>&1; echo \"exit $?\")", &status);
  status = out.find("exit 0") == std::string::npos;
  if (status != 0) ADD_FAILURE() << out;
  return status == 0;
}

// "Key: value" lines of wiminfo for an image (or the whole file with image 0).
inline std::string WimInfoValue(const fs::path& wim, int image, const std::string& key) {
  std::string out = Run("wiminfo " + Quote(wim) + (image ? " " + std::to_string(image) : std::string()));
  for (const std::string& line : Lines(out)) {
    if (line.rfind(key + ":", 0) == 0) {
      std::string v = line.substr(key.size() + 1);
      v.erase(0, v.find_first_not_of(' '));
      return v;
    }
  }
  return {};
}

}  // namespace wimtest
