#include "libs/wim/wim_collect.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

#include "libs/log/log.h"
#include "libs/platform/atomic_file.h"
#include "libs/wim/item_select.h"
#include "libs/wim/wim_entry.h"
#include "libs/wim/wim_error.h"
#include "libs/wim/wim_format.h"

using namespace NArchive::NWim;

namespace {

std::string SlashFolder(const char* folder) {
  std::string f = folder ? folder : "";
  for (char& c : f)
    if (c == '\\') c = '/';
  if (!f.empty() && f.back() != '/') f += '/';
  return f;
}

std::string Lower(std::string s) {
  for (char& c : s)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return s;
}

bool StartsNoCase(const std::string& s, const std::string& prefix) {
  return s.size() >= prefix.size() && Lower(s.substr(0, prefix.size())) == Lower(prefix);
}

// The image folder ('\'-separated, ending in '\') for a source folder ending in '/'.
std::string ImageFolder(const std::string& folder, const std::vector<std::string>& markers) {
  const std::string lower = Lower(folder);
  for (const std::string& marker : markers) {
    size_t at = lower.find(Lower(marker) + "/");
    if (at == std::string::npos) continue;
    std::string rest = folder.substr(at + marker.size());
    std::replace(rest.begin(), rest.end(), '/', '\\');
    return rest;
  }
  return "\\";
}

struct Walk {
  uint32_t image = 0;
  std::vector<arc::CDirItem>* items = nullptr;
  uint32_t* count = nullptr;
  uint32_t maximum = 0;
  std::vector<std::string> markers;
  std::vector<std::string> excluded;  // lower case, '\'
  bool pe = false;
};

arc::CDirItem MakeItem(const Walk& w, const std::string& source, const std::string& name, const std::string& imagePath,
                       const struct stat& st, bool folder) {
  arc::CDirItem item;
  item.Size = folder ? 0 : uint64_t(st.st_size);
  item.MTime = WimFileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  item.ATime = WimFileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  item.CTime = item.MTime;
  item.Name = Utf8ToUtf16(name);
  item.FullPath = source;
  item.Attrib = folder ? arc::kAttribDirectory : ((st.st_mode & S_IWUSR) ? 0x20 : 0x21);
  item.ImagePath = Utf8ToUtf16(imagePath);
  item.ImageIndex = w.image;
  return item;
}

// Walks the folder open at dirFd (owned), whose path is folder (ending in '/').
int WalkFolder(const Walk& w, int dirFd, const std::string& folder, int depth) {
  DIR* dir = fdopendir(dirFd);
  if (!dir) {
    close(dirFd);
    return -1;
  }
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  const std::string imageFolder = ImageFolder(folder, w.markers);
  int added = 0;
  for (const std::string& name : names) {
    struct stat st;
    if (fstatat(dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) continue;
    if (folder.size() + name.size() + 1 >= PATH_MAX) {
      added = -1;
      break;
    }
    const std::string source = folder + name;
    if (S_ISDIR(st.st_mode)) {
      if (w.pe && depth == 0 && name == "$WinPEDriver$") continue;
      if (depth + 1 >= kMaxTreeDepth) {
        added = -1;
        break;
      }
      int sub = openat(dirfd(dir), name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      int n = sub < 0 ? -1 : WalkFolder(w, sub, source + "/", depth + 1);
      if (n < 0) {
        added = -1;
        break;
      }
      if (n == 0) {
        w.items->push_back(MakeItem(w, source, name, imageFolder + name, st, true));
        ++*w.count;
        n = 1;
      }
      added += n;
      continue;
    }
    if (!S_ISREG(st.st_mode)) continue;  // links, devices, sockets
    const bool unattend = w.pe && StartsNoCase(name, "Unattend.xml");
    if (w.pe && depth == 0 && (name == "NimboReadme.txt" || StartsNoCase(name, "Autounattend.xml"))) continue;
    if (*w.count > w.maximum && (!w.pe || depth > 0 || unattend)) {
      added = -1;
      break;
    }
    const std::string imagePath = imageFolder + name;
    const std::string lowerPath = Lower(imagePath);
    if (std::find(w.excluded.begin(), w.excluded.end(), lowerPath) != w.excluded.end()) continue;
    w.items->push_back(MakeItem(w, source, name, imagePath, st, false));
    ++*w.count;
    ++added;
    if (unattend && depth == 0 && name.size() == 12) {
      w.items->push_back(MakeItem(w, source, name, "\\Autounattend.xml", st, false));
      ++*w.count;
      ++added;
    }
  }
  closedir(dir);
  return added;
}

int Collect(Walk& w, const char* folder, int depth) {
  const std::string root = SlashFolder(folder);
  if (root.empty() || root.size() >= PATH_MAX) return -1;
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const size_t before = w.items->size();
  const uint32_t countBefore = *w.count;
  int n = WalkFolder(w, fd, root, depth);
  if (n < 0) {
    w.items->resize(before);
    *w.count = countBefore;
  }
  return n;
}

}  // namespace

int CollectInstallFiles(uint32_t image, const char* folder, std::vector<arc::CDirItem>& items, uint32_t& count,
                        uint32_t maximum, const std::vector<std::string>& excluded) {
  Walk w;
  w.image = image;
  w.items = &items;
  w.count = &count;
  w.maximum = maximum;
  w.markers = {"/$OEM$/$Boot$/$1", "/$OEM$/$Install$/$1"};
  for (std::string e : excluded) {
    std::replace(e.begin(), e.end(), '/', '\\');
    w.excluded.push_back(Lower(e));
  }
  return Collect(w, folder, 0);
}

int CollectPeFiles(uint32_t image, const char* folder, int depth, std::vector<arc::CDirItem>& items, uint32_t& count,
                   uint32_t maximum) {
  if (depth < 0) return -1;
  Walk w;
  w.image = image;
  w.items = &items;
  w.count = &count;
  w.maximum = maximum;
  w.markers = {"/$OEM$/$1"};
  w.pe = true;
  return Collect(w, folder, depth);
}

int InjectIntoInstallWim(const char* targetWim, const char* secondWim, const char* folder) {
  WimClearFailure();
  if (!targetWim || !secondWim || !folder) return -1;
  std::string target = targetWim, second = secondWim;
  std::replace(target.begin(), target.end(), '\\', '/');
  std::replace(second.begin(), second.end(), '\\', '/');
  struct stat st;
  const bool targetExists = stat(target.c_str(), &st) == 0;
  std::vector<arc::CDirItem> items;
  uint32_t count = 0;
  // The list is bounded only by what the updater can hold.
  constexpr uint32_t kMaximumItems = 1000000;
  int n = CollectInstallFiles(0, folder, items, count, kMaximumItems, {"\\_AppSetup_\\NimboReadme.txt"});
  if (n < 0) return -1;
  if (n > 0) {
    if (Lower(target).find("/install.esd") != std::string::npos) {
      LogLine(LOG_BINL, 1, "BINL Err: Updating ESD files is not yet supported; %s", secondWim);
      return -1;
    }
    const bool haveTarget = targetExists || (RenameDurably(second, target) && stat(target.c_str(), &st) == 0);
    if (!haveTarget) {
      LogLine(LOG_BINL, 1, "BINL Err: Couldn't create %s", targetWim);
      return -1;
    }
    // The target keeps the image as it came; the second file is rebuilt from it.
    if (!WimUpdateCopy(target.c_str(), second.c_str(), items)) {
      LogLine(LOG_BINL, 1, "BINL Err: Updating %s (%s)", secondWim, WimFailureText());
      return -1;
    }
    LogInjectedItems(secondWim, items);
    return int(items.size());
  }
  if (targetExists) {
    // rename() replaces the second file in one step: it is never missing in between.
    if (!RenameDurably(target, second)) {
      LogLine(LOG_BINL, 1, "BINL Err: Updating %s (%s: %s)", secondWim, "renaming the source", LastErrorText());
      return -1;
    }
  }
  return 0;
}
