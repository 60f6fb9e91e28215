#include "libs/wim/wim_xml.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

using nimbo::XmlDocument;
using nimbo::XmlElement;

namespace {

// The first text content of an element ("" when it has none).
std::string ElementText(const XmlElement* element) {
  std::string text;
  if (element && !element->GetContents().empty()) element->GetContents()[0]->GetValue(&text);
  return text;
}

XmlElement* Child(XmlElement* element, const char* path) {
  std::string rest = path;
  while (element && !rest.empty()) {
    size_t slash = rest.find('/');
    element = element->FindElement(rest.substr(0, slash));
    rest = slash == std::string::npos ? std::string() : rest.substr(slash + 1);
  }
  return element;
}

int ReadNumber(XmlElement* image, const char* path) {
  std::string text = ElementText(Child(image, path));
  if (text.empty() || text.size() > 9) return -1;
  int value;
  if (std::sscanf(text.c_str(), "%d", &value) != 1) return -1;
  return value;
}

int ImageInfo(XmlElement* image, char* name, uint32_t* capacityLength, int* arch, int* major, int* minor) {
  if (!image) {
    if (name && capacityLength && *capacityLength) name[0] = 0;
    if (capacityLength) *capacityLength = 0;
    if (arch) *arch = -1;
    if (major) *major = -1;
    if (minor) *minor = -1;
    return -1;
  }
  if (name && capacityLength && *capacityLength) {
    std::string text = ElementText(image->FindElement("NAME"));
    if (text.size() < *capacityLength) {
      std::memcpy(name, text.c_str(), text.size() + 1);
      *capacityLength = uint32_t(text.size());
    } else {
      name[0] = 0;
      *capacityLength = 0;
    }
  }
  if (arch) *arch = ReadNumber(image, "WINDOWS/ARCH");
  if (major) *major = ReadNumber(image, "WINDOWS/VERSION/MAJOR");
  if (minor) *minor = ReadNumber(image, "WINDOWS/VERSION/MINOR");
  return 0;
}

}  // namespace

int WimXmlFirstImageInfo(XmlDocument* document, char* name, uint32_t* capacityLength, int* arch, int* major,
                         int* minor) {
  XmlElement* root = document ? document->GetRootElement() : nullptr;
  XmlElement* image = root ? root->FindFirstElement("IMAGE") : nullptr;
  return ImageInfo(image, name, capacityLength, arch, major, minor);
}

int WimXmlNextImageInfo(XmlDocument* document, char* name, uint32_t* capacityLength, int* arch, int* major,
                        int* minor) {
  XmlElement* root = document ? document->GetRootElement() : nullptr;
  XmlElement* image = root ? root->FindNextElement("IMAGE") : nullptr;
  return ImageInfo(image, name, capacityLength, arch, major, minor);
}

namespace NArchive::NWim {

namespace {

void SetText(XmlElement* parent, const char* name, const std::string& text) {
  XmlElement* element = parent->FindElement(name, 1);
  element->RemoveAllContents();
  element->AddContent(text);
}

uint64_t ReadUnsigned(XmlElement* parent, const char* name) {
  std::string text = ElementText(parent->FindElement(name));
  return std::strtoull(text.c_str(), nullptr, 10);
}

std::string Decimal(uint64_t v) { return std::to_string(v); }

std::string Hex32(uint32_t v) {
  char text[22];
  std::snprintf(text, sizeof text, "0x%08X", v);
  return text;
}

}  // namespace

Status WimUpdate_RewriteXml(CHandler& handler, int outFd, uint64_t xmlOffset, uint64_t& xmlLength) {
  xmlLength = 0;
  const std::vector<uint8_t>& raw = handler.Database().xml;
  if (raw.size() < 2 || raw[0] != 0xFF || raw[1] != 0xFE) return kBadWim;
  auto document = std::make_unique<XmlDocument>(std::string_view(reinterpret_cast<const char*>(raw.data()), raw.size()),
                                                nimbo::kXmlSourceText);
  XmlElement* root = document->GetRootElement();
  std::string rootName;
  if (!root || document->loadState == 2 || (root->GetName(&rootName), rootName != "WIM")) return kBadWim;
  document->SetHeader(std::make_unique<nimbo::XmlHeader>(""));
  SetText(root, "TOTALBYTES", Decimal(xmlOffset));

  const auto& images = handler.Database().images;
  for (size_t i = 0; i < images.size(); ++i) {
    const WimImageRecord& record = images[i];
    if (!record.modified) continue;
    XmlElement* image = nullptr;
    for (XmlElement* e = root->FindFirstElement("IMAGE"); e; e = root->FindNextElement("IMAGE")) {
      nimbo::XmlAttribute* index = e->FindAttribute("INDEX");
      if (!index) break;
      if (index->GetValueInt() == int(i + 1)) {
        image = e;
        break;
      }
    }
    if (!image) continue;
    int64_t bytes = int64_t(ReadUnsigned(image, "TOTALBYTES")) + record.bytesAdded;
    SetText(image, "TOTALBYTES", Decimal(bytes < 0 ? 0 : uint64_t(bytes)));
    SetText(image, "DIRCOUNT", Decimal(ReadUnsigned(image, "DIRCOUNT") + record.foldersAdded));
    SetText(image, "FILECOUNT", Decimal(ReadUnsigned(image, "FILECOUNT") + record.filesAdded));
    uint64_t now = WimFileTimeNow();
    XmlElement* modified = image->FindElement("LASTMODIFICATIONTIME", 1);
    SetText(modified, "HIGHPART", Hex32(uint32_t(now >> 32)));
    SetText(modified, "LOWPART", Hex32(uint32_t(now)));
  }

  nimbo::XmlExportFormat format;
  format.indentWithSpaces = 0;
  format.indentCount = 0;
  format.noBreakDeclaration = format.noBreakComments = format.noBreakTags = format.noBreakContents = 1;
  document->SetExportFormat(format);
  std::string text;
  if (!document->Save(&text, 1, nimbo::kXmlSaveUtf16Text)) return arc::E_FAIL;
  while (text.size() >= 2 && text[text.size() - 1] == 0 && text[text.size() - 2] == 0) text.resize(text.size() - 2);
  if (!WimPwriteAll(outFd, text.data(), text.size(), xmlOffset)) return arc::E_FAIL;
  xmlLength = text.size();
  return arc::S_OK;
}

}  // namespace NArchive::NWim
