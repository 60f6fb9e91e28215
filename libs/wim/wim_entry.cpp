#include "libs/wim/wim_entry.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "libs/log/log.h"
#include "libs/platform/atomic_file.h"
#include "libs/platform/profile.h"
#include "libs/wim/archive_callbacks.h"
#include "libs/wim/item_select.h"
#include "libs/wim/wim_error.h"
#include "libs/wim/wim_handler.h"
#include "libs/wim/wim_update.h"
#include "libs/wim/wim_xml.h"

using namespace NArchive::NWim;

namespace {

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

std::string SlashPath(const char* path) {
  std::string p = path ? path : "";
  for (char& c : p)
    if (c == '\\') c = '/';
  return p;
}

std::string InFolder(const char* folder, const std::string& name) {
  std::string f = SlashPath(folder);
  if (!f.empty() && f.back() != '/') f += '/';
  return f + name;
}

// Reads the header and the XML data of a WIM (install.esd files included).
std::unique_ptr<nimbo::XmlDocument> ReadWimXml(const char* path, WimHeader& header) {
  FileCloser file(open(SlashPath(path).c_str(), O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (file.get() < 0 || fstat(file.get(), &st) != 0) return nullptr;
  if (WimReadHeader(file.get(), header) != arc::S_OK) return nullptr;
  const WimResource& xml = header.xml;
  if (xml.IsCompressed() || xml.originalSize < 2 || xml.originalSize > kMaxXmlSize ||
      !WimResourceFits(xml, uint64_t(st.st_size)))
    return nullptr;
  std::string text(size_t(xml.originalSize), '\0');
  if (!WimPreadAll(file.get(), text.data(), text.size(), xml.offset)) return nullptr;
  auto document = std::make_unique<nimbo::XmlDocument>(text, nimbo::kXmlSourceText);
  if (!document->GetRootElement() || document->loadState == 2) return nullptr;
  return document;
}

constexpr uint32_t kNameBuffer = 300;

bool CopyWholeFile(int in, int out) {
  struct stat st;
  return fstat(in, &st) == 0 && WimCopyRange(in, 0, out, 0, uint64_t(st.st_size));
}

}  // namespace

int WimArchBit(int archCode) {
  switch (archCode) {
    case kWimArchX86: return kWimBitX86;
    case kWimArchX64: return kWimBitX64;
    case kWimArchIa64: return kWimBitIa64;
    case kWimArchArm: return kWimBitArm;
    case kWimArchArm64: return kWimBitArm64;
    default: return 0;
  }
}

ArchiveOpResult ExtractFromWimFile(const char* wimPath, const char* nameOrPattern, const char* outputFolder,
                                   int /*ignored*/, bool withPaths, bool usePattern) {
  if (!wimPath || !outputFolder) return ARCHIVE_ERR_FILE_OPEN;
  FileCloser file(open(SlashPath(wimPath).c_str(), O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return ARCHIVE_ERR_FILE_OPEN;
  CHandler handler;
  if (handler.Open(file.get(), false) != arc::S_OK) return ARCHIVE_ERR_OPEN;
  // Paths are lower-cased for patterns; exact names compare without case, beyond ASCII too.
  std::string name = nameOrPattern ? nameOrPattern : "";
  if (!usePattern) name = WimUtf16ToUtf8(WimLowerCase(Utf8ToUtf16(name)));
  ItemSelector selector(name.c_str(), usePattern);
  std::vector<uint32_t> chosen;
  for (uint32_t i = 0; i < handler.GetNumberOfItems(); ++i) {
    WimItemInfo info;
    if (handler.GetItem(i, info) != arc::S_OK) return ARCHIVE_ERR_OPEN;
    if (info.isDir) continue;
    if (selector.Selects(WimUtf16ToUtf8(WimLowerCase(info.path)))) chosen.push_back(i);
  }
  if (chosen.empty()) return ARCHIVE_ERR_NO_ITEM;
  arc::CArchiveExtractCallback callback;
  callback.Init(SlashPath(outputFolder), withPaths);
  if (handler.Extract(chosen.data(), uint32_t(chosen.size()), false, callback) != arc::S_OK) return ARCHIVE_ERR_EXTRACT;
  return callback.ErrorCount() ? ARCHIVE_ERR_ITEM_DATA : ARCHIVE_OK;
}

int GetWimBootImageArch(const char* wimPath, uint32_t* bootIndex, int* archCode) {
  WimHeader header;
  auto document = ReadWimXml(wimPath, header);
  if (!document || header.bootIndex == 0) return 1;
  if (bootIndex) *bootIndex = header.bootIndex;
  int arch = -1;
  uint32_t n = 1;
  for (int r = WimXmlFirstImageInfo(document.get(), nullptr, nullptr, &arch, nullptr, nullptr); r == 0;
       r = WimXmlNextImageInfo(document.get(), nullptr, nullptr, &arch, nullptr, nullptr), ++n) {
    if (n == header.bootIndex) {
      if (archCode) *archCode = arch;
      return 0;
    }
  }
  return 1;
}

int GetWimImagesSummary(const char* wimPath, char* name, uint32_t* capacityLength, int* archBits, int* major,
                        int* minor) {
  WimHeader header;
  auto document = ReadWimXml(wimPath, header);
  if (!document) return 1;
  char text[kNameBuffer];
  uint32_t length = kNameBuffer;
  int arch, imageMajor, imageMinor;
  if (WimXmlFirstImageInfo(document.get(), text, &length, &arch, &imageMajor, &imageMinor) != 0) return 1;
  const uint32_t capacity = capacityLength ? *capacityLength : 0;
  uint32_t word = capacity;  // capacity until a common prefix has been cut
  std::string accumulated;
  if (archBits && WimArchBit(arch)) *archBits = WimArchBit(arch);
  if (length > 0 && length < capacity) accumulated.assign(text, length);
  if (major && imageMajor >= 0) *major = imageMajor;
  if (minor && imageMinor >= 0) *minor = imageMinor;
  for (;;) {
    length = kNameBuffer;
    if (WimXmlNextImageInfo(document.get(), text, &length, &arch, &imageMajor, &imageMinor) != 0) break;
    if (archBits) *archBits = *archBits == -1 ? WimArchBit(arch) : (*archBits | WimArchBit(arch));
    if (length > 0) {
      if (!accumulated.empty()) {
        size_t common = 0;
        while (common < accumulated.size() && common < length && accumulated[common] == text[common]) ++common;
        accumulated.resize(common);
        word = uint32_t(common);
      } else if (length <= word && length < capacity) {
        accumulated.assign(text, length);
      }
    }
    if (major && imageMajor >= 0 && imageMajor != *major) *major = -1;
    if (minor && imageMinor >= 0 && imageMinor != *minor) *minor = -1;
  }
  if (name && capacity) std::memcpy(name, accumulated.c_str(), accumulated.size() + 1);
  if (capacityLength) *capacityLength = uint32_t(accumulated.size());
  return 0;
}

int GetWimBootImageInfo(const char* wimPath, char* name, uint32_t* capacityLength, int* archBits, int* major,
                        int* minor) {
  WimHeader header;
  auto document = ReadWimXml(wimPath, header);
  if (!document || header.bootIndex == 0) return 1;
  char text[kNameBuffer];
  uint32_t length = kNameBuffer;
  int arch, imageMajor, imageMinor;
  uint32_t n = 1;
  for (int r = WimXmlFirstImageInfo(document.get(), text, &length, &arch, &imageMajor, &imageMinor); r == 0; ++n,
           length = kNameBuffer,
           r = WimXmlNextImageInfo(document.get(), text, &length, &arch, &imageMajor, &imageMinor)) {
    if (n != header.bootIndex) continue;
    if (archBits) *archBits = WimArchBit(arch);
    if (name && capacityLength && *capacityLength) {
      bool fits = length > 0 && length < *capacityLength;
      std::memcpy(name, fits ? text : "", fits ? length + 1 : 1);
      *capacityLength = fits ? length : 0;
    }
    if (major && imageMajor >= 0) *major = imageMajor;
    if (minor && imageMinor >= 0) *minor = imageMinor;
    break;
  }
  return 0;
}

// ---- injection ------------------------------------------------------------------------

void LogInjectedItems(const char* destinationWim, const std::vector<arc::CDirItem>& items) {
  for (const arc::CDirItem& item : items) {
    const std::string path = WimUtf16ToUtf8(item.ImagePath);
    const char* folderMark = (item.Attrib & arc::kAttribDirectory) ? "\\" : "";
    switch (item.Result & 0xFF00) {
      case arc::kItemAdded:
        LogLine(LOG_BINL, 1, "BINL Inf: Injected\tOK, %s  Added [%d]%s%s", destinationWim, int(item.ImageIndex),
                path.c_str(), folderMark);
        break;
      case arc::kItemReplaced:
        LogLine(LOG_BINL, 1, "BINL Inf: Injected\tOK, %s  Updated [%d]%s", destinationWim, int(item.ImageIndex),
                path.c_str());
        break;
      case arc::kItemPresent:
        LogLine(LOG_BINL, 1, "BINL Warn: Not injecting [%d]%s%s; Already in %s", int(item.ImageIndex), path.c_str(),
                folderMark, destinationWim);
        break;
      default: break;
    }
  }
}

bool WimUpdateCopy(const char* sourceWim, const char* destinationWim, std::vector<arc::CDirItem>& items,
                   bool unshared) {
  WimClearFailure();
  if (!sourceWim || !destinationWim) return false;
  const std::string destination = SlashPath(destinationWim);
  FileCloser input(open(SlashPath(sourceWim).c_str(), O_RDONLY | O_CLOEXEC));
  if (input.get() < 0) return WimFail("opening the source");
  CHandler handler;
  errno = 0;
  if (handler.Open(input.get(), true) != arc::S_OK) return WimFail("reading the source");
  for (const arc::CDirItem& item : items)
    if (item.ImageIndex > handler.Database().imageCount) return WimFail("no such image", 0);
  AtomicFile out;
  if (!out.Open(destination, 0644)) return WimFail("creating the copy");
  bool ok = CopyWholeFile(input.get(), out.fd());
  if (!ok) WimFail("copying the source");
  if (ok) {
    CArchiveUpdateCallback callback(&items);
    COutHandler writer;
    const uint32_t n = uint32_t(items.size());
    ok = (unshared ? writer.UpdateItemsInPlaceUnshared(out.fd(), n, &callback, &handler)
                   : writer.UpdateItemsInPlace(out.fd(), n, &callback, &handler)) == arc::S_OK;
  }
  if (ok && !out.Commit()) ok = WimFail("replacing the target");
  if (!ok) {
    WimFail("updating the copy", 0);
    for (arc::CDirItem& item : items) item.Result = 0;
    return false;
  }
  return true;
}

namespace {

bool ListSource(const std::string& source, const std::u16string& imagePath, uint32_t image,
                std::vector<arc::CDirItem>& items) {
  struct stat st;
  if (stat(source.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  arc::CDirItem item;
  item.Size = uint64_t(st.st_size);
  item.MTime = WimFileTimeFromUnix(st.st_mtim.tv_sec, st.st_mtim.tv_nsec);
  item.ATime = WimFileTimeFromUnix(st.st_atim.tv_sec, st.st_atim.tv_nsec);
  item.CTime = item.MTime;
  size_t slash = source.rfind('/');
  item.Name = Utf8ToUtf16(source.substr(slash == std::string::npos ? 0 : slash + 1));
  item.FullPath = source;
  item.Attrib = (st.st_mode & S_IWUSR) ? 0x20 : 0x21;
  item.ImagePath = imagePath;
  item.ImageIndex = image;
  items.push_back(std::move(item));
  return true;
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = opendir(folder.c_str());
  if (!dir) return names;
  while (struct dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    if (stat((folder + name).c_str(), &st) == 0 && S_ISREG(st.st_mode)) names.push_back(name);
  }
  closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

const char* CompanionBuild(int archCode) {
  switch (archCode) {
    case kWimArchX86: return "Nimbo1.tmp";
    case kWimArchX64: return "Nimbo2.tmp";
    case kWimArchArm: return "Nimbo3.tmp";
    case kWimArchArm64: return "Nimbo4.tmp";
    default: return nullptr;
  }
}

}  // namespace

int InjectIntoBootWim(int mode, const char* sourceWim, const char* destinationWim, uint32_t image, int archCode,
                      const char* assetFolder, const char* nicFolder, const char* tempFolder) {
  WimClearFailure();
  if (mode < 0 || mode > 2 || !sourceWim || !destinationWim) return -1;
  std::vector<arc::CDirItem> items;
  if (nicFolder && *nicFolder) {
    std::string folder = InFolder(nicFolder, "");
    for (const std::string& name : FilesIn(folder))
      if (name != "NimboReadme.txt")
        ListSource(folder + name, u"\\$WinPEDriver$\\NIC\\" + Utf8ToUtf16(name), image, items);
  }
  const std::string inf = InFolder(assetFolder, "../../../NimboAsset.inf");
  struct stat st;
  const bool infExists = assetFolder && stat(inf.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  bool companion = mode < 2;
  if (!companion && infExists) {
    char value[300];
    companion = GetProfileValue("NIMBOPENET", "DeviceName", "", value, sizeof value, inf.c_str()) > 0 ||
                GetProfileValue("NIMBOPENET", "EndProcess", "", value, sizeof value, inf.c_str()) > 0;
  }
  if (companion) {
    if (infExists) ListSource(inf, u"\\Windows\\System32\\NimboAsset.inf", image, items);
    // Windows PE starts the shell Winpeshl.ini names: it comes only with the program it names.
    const char* build = CompanionBuild(archCode);
    if (build && ListSource(InFolder(tempFolder, build), u"\\Windows\\System32\\NimboPENet.exe", image, items))
      ListSource(InFolder(tempFolder, "Nimbo6.tmp"), u"\\Windows\\System32\\Winpeshl.ini", image, items);
  }
  if (!items.empty()) ListSource(InFolder(tempFolder, "Nimbo5.tmp"), u"\\Nimbo.txt", image, items);
  if (items.empty()) return 0;

  if (!WimUpdateCopy(sourceWim, destinationWim, items)) return -1;
  LogInjectedItems(destinationWim, items);
  return int(items.size());
}
