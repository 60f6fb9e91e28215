// Profile-style access: XML files read and written like INI files, a value addressed by a
// path of element names and an attribute name.
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

// Walks the '\'-separated path from the root (first child of each name, compared
// unescaped); the root for the empty path.
XmlElement* Walk(XmlDocument* doc, std::string_view path, bool create) {
  XmlElement* e = doc->GetRootElement();
  while (e && !path.empty()) {
    const std::size_t cut = path.find('\\');
    const std::string_view part = path.substr(0, cut);
    XmlElement* next = e->FindElement(part);
    if (!next && create) {
      next = e->AddChildElement("x");
      next->SetName(part);  // the name as given, never parsed as a tag
    }
    e = next;
    path = cut == std::string_view::npos ? std::string_view() : path.substr(cut + 1);
  }
  return e;
}

// Runs fn on the caller's document, or on one loaded from the file for this call (saved
// again when save is set).
template <typename Fn>
auto WithDocument(const char* fileName, XmlDocument* document, bool save, Fn&& fn) {
  if (document) return fn(document);
  XmlDocument doc(fileName ? fileName : "", kXmlSourceFile);
  auto result = fn(&doc);
  if (save) doc.Save(nullptr, 1, kXmlSaveUtf8File);
  return result;
}

std::string ReadString(std::string_view path, std::string_view attribute, const char* fileName, XmlDocument* document) {
  return WithDocument(fileName, document, false, [&](XmlDocument* doc) {
    std::string value;
    XmlElement* e = Walk(doc, path, false);
    XmlAttribute* a = e ? e->FindAttribute(attribute) : nullptr;
    if (a) a->GetValue(&value);
    return value;
  });
}

}  // namespace

std::size_t XmlDocument::GetAttributeByPath(std::string_view path, std::string_view attribute, char* buffer,
                                            std::size_t size) {
  XmlElement* e = Walk(this, path, false);
  XmlAttribute* a = e ? e->FindAttribute(attribute) : nullptr;
  if (!a) return 0;
  std::string value;
  a->GetValue(&value);
  if (buffer && value.size() < size) std::memcpy(buffer, value.c_str(), value.size() + 1);
  return value.size();
}

void XmlDocument::SetAttributeByPath(std::string_view path, std::string_view attribute, const char* value) {
  XmlElement* e = Walk(this, path, true);
  if (!e) return;
  if (attribute.empty()) {
    if (e->parent) e->parent->RemoveChild(e);  // the root itself is never deleted
    return;
  }
  XmlAttribute* a = e->FindAttribute(attribute);
  if (!value) {
    if (a) e->RemoveAttribute(a);
    return;
  }
  if (!a) a = e->FindAttribute(attribute, 1, "");
  a->SetValue(value);
}

std::size_t XmlProfileGetString(std::string_view path, std::string_view attribute, const char* def, char* buffer,
                                std::size_t size, const char* fileName, XmlDocument* document) {
  const std::string value = ReadString(path, attribute, fileName, document);
  const std::string& text = value.empty() ? std::string(def ? def : "") : value;
  if (buffer && text.size() < size) std::memcpy(buffer, text.c_str(), text.size() + 1);
  return text.size();
}

namespace {
std::string Typed(std::string_view path, std::string_view attribute, const std::string& def, const char* fileName,
                  XmlDocument* document, std::size_t limit) {
  std::string value = ReadString(path, attribute, fileName, document);
  if (value.empty()) value = def;
  if (value.size() > limit) value.resize(limit);  // the typed texts are bounded
  return value;
}
}  // namespace

int XmlProfileGetInt(std::string_view path, std::string_view attribute, int def, const char* fileName,
                     XmlDocument* document) {
  return std::atoi(Typed(path, attribute, std::to_string(def), fileName, document, 100).c_str());
}
unsigned XmlProfileGetUInt(std::string_view path, std::string_view attribute, unsigned def, const char* fileName,
                           XmlDocument* document) {
  return static_cast<unsigned>(
      std::strtoul(Typed(path, attribute, std::to_string(def), fileName, document, 100).c_str(), nullptr, 10));
}
std::int64_t XmlProfileGetInt64(std::string_view path, std::string_view attribute, std::int64_t def,
                                const char* fileName, XmlDocument* document) {
  return std::strtoll(Typed(path, attribute, std::to_string(def), fileName, document, 100).c_str(), nullptr, 10);
}
std::uint64_t XmlProfileGetUInt64(std::string_view path, std::string_view attribute, std::uint64_t def,
                                  const char* fileName, XmlDocument* document) {
  return std::strtoull(Typed(path, attribute, std::to_string(def), fileName, document, 100).c_str(), nullptr, 10);
}
double XmlProfileGetFloat(std::string_view path, std::string_view attribute, double def, const char* fileName,
                          XmlDocument* document) {
  char text[64];
  std::snprintf(text, sizeof text, "%f", def);
  return std::atof(Typed(path, attribute, text, fileName, document, 30).c_str());
}

std::size_t XmlProfileGetBinary(std::string_view path, std::string_view attribute, const char* def, std::uint8_t* out,
                                std::size_t capacity, const char* fileName, XmlDocument* document) {
  std::string value = ReadString(path, attribute, fileName, document);
  if (value.empty() && def) value = def;
  if (value.empty()) return 0;
  for (std::size_t at = 0; (at = value.find("__", at)) != std::string::npos; at += 2) value.replace(at, 2, "\r\n");
  return XmlBase64DecodeTo(value, out, capacity);
}

int XmlProfileSetString(std::string_view path, std::string_view attribute, const char* value, const char* fileName,
                        XmlDocument* document) {
  return WithDocument(fileName, document, true, [&](XmlDocument* doc) {
    doc->SetAttributeByPath(path, attribute, value);
    return 1;
  });
}

namespace {
template <typename T>
int SetFormatted(std::string_view path, std::string_view attribute, const char* format, T value, const char* fileName,
                 XmlDocument* document) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return XmlProfileSetString(path, attribute, text, fileName, document);
}
}  // namespace

int XmlProfileSetInt(std::string_view path, std::string_view attribute, int value, const char* fileName,
                     XmlDocument* document) {
  return SetFormatted(path, attribute, "%i", value, fileName, document);
}
int XmlProfileSetUInt(std::string_view path, std::string_view attribute, unsigned value, const char* fileName,
                      XmlDocument* document) {
  return SetFormatted(path, attribute, "%u", value, fileName, document);
}
int XmlProfileSetInt64(std::string_view path, std::string_view attribute, std::int64_t value, const char* fileName,
                       XmlDocument* document) {
  return SetFormatted(path, attribute, "%" PRId64, value, fileName, document);
}
int XmlProfileSetUInt64(std::string_view path, std::string_view attribute, std::uint64_t value, const char* fileName,
                        XmlDocument* document) {
  return SetFormatted(path, attribute, "%" PRIu64, value, fileName, document);
}
int XmlProfileSetFloat(std::string_view path, std::string_view attribute, double value, const char* fileName,
                       XmlDocument* document) {
  return SetFormatted(path, attribute, "%f", value, fileName, document);
}
int XmlProfileSetWideString(std::string_view path, std::string_view attribute, std::u16string_view value,
                            const char* fileName, XmlDocument* document) {
  return XmlProfileSetString(path, attribute, Utf16ToUtf8(value).c_str(), fileName, document);
}
int XmlProfileSetBinary(std::string_view path, std::string_view attribute, const void* bytes, std::size_t length,
                        const char* fileName, XmlDocument* document) {
  std::string text = XmlBase64Encode(std::string_view(static_cast<const char*>(bytes), bytes ? length : 0));
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) text.replace(at, 2, "__");
  return XmlProfileSetString(path, attribute, text.c_str(), fileName, document);
}

int XmlProfileSetElementName(std::string_view path, std::string_view newName, const char* fileName,
                             XmlDocument* document) {
  return WithDocument(fileName, document, true, [&](XmlDocument* doc) {
    XmlElement* e = Walk(doc, path, false);
    if (!e) return 0;
    e->SetName(newName);
    return 1;
  });
}

int XmlProfileListAttributes(std::string_view path, std::vector<std::string>* names, std::vector<std::string>* values,
                             const char* fileName) {
  XmlDocument doc(fileName ? fileName : "", kXmlSourceFile);
  XmlElement* e = Walk(&doc, path, false);
  if (!e) return 0;
  int n = 0;
  for (const auto& a : e->attributes) {
    if (!a) continue;
    std::string name, value;
    a->GetName(&name);
    a->GetValue(&value);
    if (names) names->push_back(name);
    if (values) values->push_back(value);
    ++n;
  }
  return n;
}

int XmlProfileListChildren(std::string_view path, std::vector<std::string>* names, const char* fileName) {
  XmlDocument doc(fileName ? fileName : "", kXmlSourceFile);
  XmlElement* e = Walk(&doc, path, false);
  if (!e) return 0;
  int n = 0;
  for (const auto& c : e->children) {
    if (!c) continue;
    std::string name;
    c->GetName(&name);
    if (names) names->push_back(name);
    ++n;
  }
  return n;
}

}  // namespace nimbo
