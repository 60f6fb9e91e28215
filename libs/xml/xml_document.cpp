// XML document model: records, finders, loading and saving.
#include "libs/xml/xml_document.h"

#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>

#include "libs/platform/file_read.h"
#include "libs/xml/xml_internal.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

constexpr std::string_view kDefaultDeclaration = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\" ?>";
constexpr std::string_view kUtf8Mark = "\xEF\xBB\xBF";

std::size_t GetText(const std::string& stored, std::string* out, int asStored) {
  if (out == nullptr) return stored.size();
  *out = asStored ? stored : XmlUnescape(stored);
  return out->size();
}

}  // namespace

namespace xml_detail {

std::string Base64Encode(std::string_view bytes) {
  static constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  int onLine = 0;
  const auto put = [&](char ch) {
    out.push_back(ch);
    if (++onLine == 72) {
      out.append("\r\n");
      onLine = 0;
    }
  };
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const auto b0 = static_cast<unsigned char>(bytes[i]), b1 = static_cast<unsigned char>(bytes[i + 1]),
               b2 = static_cast<unsigned char>(bytes[i + 2]);
    put(kAlphabet[b0 >> 2]);
    put(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
    put(kAlphabet[((b1 & 15) << 2) | (b2 >> 6)]);
    put(kAlphabet[b2 & 63]);
  }
  const std::size_t left = bytes.size() - i;
  if (left > 0) {
    const auto b0 = static_cast<unsigned char>(bytes[i]);
    const auto b1 = left > 1 ? static_cast<unsigned char>(bytes[i + 1]) : 0u;
    put(kAlphabet[b0 >> 2]);
    put(kAlphabet[((b0 & 3) << 4) | (b1 >> 4)]);
    put(left > 1 ? kAlphabet[(b1 & 15) << 2] : '=');
    put('=');
  }
  return out;
}

std::string DecodeSourceText(std::string_view bytes) {
  const auto at = [&](std::size_t k) { return static_cast<unsigned char>(bytes[k]); };
  int utf16 = 0;  // 1 little endian, 2 big endian
  bool mark = false;
  if (bytes.size() >= 2 && at(0) == 0xFF && at(1) == 0xFE) {
    utf16 = 1;
    mark = true;
  } else if (bytes.size() >= 2 && at(0) == 0xFE && at(1) == 0xFF) {
    utf16 = 2;
    mark = true;
  } else if (bytes.size() >= 2 && at(0) != 0 && at(1) == 0) {
    utf16 = 1;
  } else if (bytes.size() >= 2 && at(0) == 0 && at(1) != 0) {
    utf16 = 2;
  }
  if (utf16 == 0) {
    const auto nul = bytes.find('\0');
    return std::string(nul == std::string_view::npos ? bytes : bytes.substr(0, nul));
  }
  std::u16string units;
  units.reserve(bytes.size() / 2);
  for (std::size_t k = 0; k + 1 < bytes.size(); k += 2) {
    const char16_t unit =
        utf16 == 1 ? static_cast<char16_t>(at(k) | (at(k + 1) << 8)) : static_cast<char16_t>((at(k) << 8) | at(k + 1));
    if (unit == 0) break;
    units.push_back(unit);
  }
  (void)mark;  // the mark itself becomes EF BB BF through the conversion
  return Utf16ToUtf8(units);
}

}  // namespace xml_detail

// ---------------------------------------------------------------------------------------
// Comments, CDATA sections, contents, attributes

XmlComment::XmlComment(XmlElement* owner_, int position_, std::string_view text_)
    : owner(owner_), text(text_), position(position_) {}
XmlComment::XmlComment(XmlElement* owner_, int position_, std::u16string_view wideText)
    : owner(owner_), text(XmlWideText(wideText)), position(position_) {}

XmlCData::XmlCData(XmlElement* owner_, int position_, std::string_view text_)
    : owner(owner_), text(text_), position(position_) {}
XmlCData::XmlCData(XmlElement* owner_, int position_, std::u16string_view wideText)
    : owner(owner_), text(XmlWideText(wideText)), position(position_) {}

XmlContent::XmlContent(XmlElement* owner_, int position_, std::string_view text_, int asIs, std::size_t byteLength)
    : owner(owner_), position(position_) {
  SetValue(text_, asIs, byteLength);
}
XmlContent::XmlContent(XmlElement* owner_, int position_, std::u16string_view wideText, int asIs)
    : owner(owner_), position(position_) {
  SetValue(XmlWideText(wideText), asIs, 0);
}

void XmlContent::SetValue(std::string_view value, int asIs, std::size_t byteLength) {
  if (byteLength > value.size()) byteLength = value.size();  // never read past the caller's text
  if (binary) {
    const std::string_view bytes = byteLength ? value.substr(0, byteLength) : value;
    binaryValue = ZBuffer(bytes.size());
    if (!bytes.empty()) std::memcpy(binaryValue.Data(), bytes.data(), bytes.size());
    return;
  }
  if (byteLength != 0)
    text = xml_detail::Base64Encode(value.substr(0, byteLength));
  else
    text = asIs ? std::string(value) : XmlEscape(value);
}

std::size_t XmlContent::GetValue(std::string* out, int asStored) const {
  if (binary) return 0;
  return GetText(text, out, asStored);
}

XmlAttribute::XmlAttribute(std::string_view name_, std::string_view value_, int asIs, int temporary_)
    : temporary(temporary_ != 0) {
  SetName(name_, asIs);
  SetValue(value_, asIs);
}
XmlAttribute::XmlAttribute(std::u16string_view wideName, std::u16string_view wideValue, int asIs, int temporary_)
    : XmlAttribute(XmlWideText(wideName), XmlWideText(wideValue), asIs, temporary_) {}

void XmlAttribute::SetName(std::string_view text, int asIs) {
  name = asIs ? std::string(text) : XmlEscape(text);
  while (!name.empty() && name.back() == ' ') name.pop_back();
}

void XmlAttribute::SetValue(std::string_view text, int asIs) { value = asIs ? std::string(text) : XmlEscape(text); }

std::size_t XmlAttribute::GetName(std::string* out, int asStored) const { return GetText(name, out, asStored); }
std::size_t XmlAttribute::GetValue(std::string* out, int asStored) const { return GetText(value, out, asStored); }

int XmlAttribute::GetValueInt() const {
  const std::string plain = XmlUnescape(value);
  std::size_t i = 0;
  while (i < plain.size() && (plain[i] == ' ' || (plain[i] >= '\t' && plain[i] <= '\r'))) ++i;
  bool negative = false;
  if (i < plain.size() && (plain[i] == '+' || plain[i] == '-')) negative = plain[i++] == '-';
  long long number = 0;
  for (; i < plain.size() && plain[i] >= '0' && plain[i] <= '9'; ++i) {
    number = number * 10 + (plain[i] - '0');
    if (number > static_cast<long long>(INT_MAX) + 1) number = static_cast<long long>(INT_MAX) + 1;
  }
  if (negative) number = -number;
  if (number > INT_MAX) number = INT_MAX;
  return static_cast<int>(number);
}

// ---------------------------------------------------------------------------------------
// Elements

XmlElement::XmlElement(XmlElement* parent_, std::string_view tagText, int tagKeptWhole_, int temporary_)
    : tagKeptWhole(tagKeptWhole_), parent(parent_), temporary(temporary_ != 0) {
  ParseTag(tagText, tagKeptWhole_);
}
XmlElement::XmlElement(XmlElement* parent_, std::u16string_view wideTagText, int tagKeptWhole_, int temporary_)
    : XmlElement(parent_, XmlWideText(wideTagText), tagKeptWhole_, temporary_) {}

XmlElement::~XmlElement() { DropBorrowed(); }

namespace {
template <typename List>
std::size_t FindChildFrom(const List& children, std::size_t from, std::string_view name) {
  for (std::size_t k = from; k < children.size(); ++k)
    if (children[k] && XmlUnescapedEquals(children[k]->name, name)) return k;
  return children.size();
}
}  // namespace

XmlElement* XmlElement::FindElement(std::string_view name_, int create, std::string_view text, int temporary_) {
  const std::size_t k = FindChildFrom(children, 0, name_);
  if (k < children.size()) return children[k].get();
  if (!create) return nullptr;
  return AppendChild(std::make_unique<XmlElement>(this, text.empty() ? name_ : text, 0, temporary_));
}

XmlElement* XmlElement::FindFirstElement(std::string_view name_, int create, std::string_view text, int temporary_) {
  const std::size_t k = FindChildFrom(children, 0, name_);
  findCursor = static_cast<std::uint32_t>(k);
  if (k < children.size()) return children[k].get();
  if (!create) return nullptr;
  return AppendChild(std::make_unique<XmlElement>(this, text.empty() ? name_ : text, 0, temporary_));
}

XmlElement* XmlElement::FindNextElement(std::string_view name_, int create, std::string_view text, int temporary_) {
  // The cursor starts before the first child, so that a first call finds the first match.
  const std::size_t from = findCursor == UINT32_MAX ? 0 : static_cast<std::size_t>(findCursor) + 1;
  const std::size_t k = FindChildFrom(children, from, name_);
  findCursor = static_cast<std::uint32_t>(k < children.size() ? k : children.size());
  if (k < children.size()) return children[k].get();
  if (!create) return nullptr;
  return AppendChild(std::make_unique<XmlElement>(this, text.empty() ? name_ : text, 0, temporary_));
}

int XmlElement::AddContent(std::string_view text, int position, std::size_t byteLength) {
  contents.push_back(std::make_unique<XmlContent>(this, position, text, 0, byteLength));
  return static_cast<int>(contents.size());
}

int XmlElement::AddContent(std::u16string_view wideText, int position) {
  return AddContent(XmlWideText(wideText), position, 0);
}

void XmlElement::RemoveAllContents() {
  while (!contents.empty()) contents.pop_back();
}

XmlAttribute* XmlElement::FindAttribute(std::string_view name_, int create, std::string_view value, int temporary_) {
  for (const auto& attribute : attributes)
    if (attribute && XmlUnescapedEquals(attribute->name, name_)) return attribute.get();
  if (!create) return nullptr;
  auto attribute = std::make_unique<XmlAttribute>(name_, value, 0, temporary_);
  attribute->owner = this;
  attributes.push_back(std::move(attribute));
  return attributes.back().get();
}

std::size_t XmlElement::GetName(std::string* out, int asStored) const { return GetText(name, out, asStored); }

XmlElement* XmlElement::AppendChild(std::unique_ptr<XmlElement> child) {
  if (!child) return nullptr;
  child->parent = this;
  children.push_back(std::move(child));
  return children.back().get();
}

void XmlElement::RemoveAllChildren() {
  DropBorrowed();
  while (!children.empty()) children.pop_back();
}

void XmlElement::ApplyExportFormat(const XmlExportFormat& newFormat) {
  // Walks the tree without recursion, so that the depth of a tree built by a caller does
  // not matter.
  std::vector<XmlElement*> pending{this};
  while (!pending.empty()) {
    XmlElement* element = pending.back();
    pending.pop_back();
    element->format = newFormat;
    if (element->format.indentCount > 50) element->format.indentCount = 50;
    for (const auto& child : element->children)
      if (child) pending.push_back(child.get());
  }
}

std::size_t XmlElement::EstimateSize() const {
  // List capacities of the record layout: children 20, attributes 20, comments 10,
  // contents 4, CDATA sections 10, or the counts when larger.
  const auto capacity = [](std::size_t count, std::size_t initial) { return count > initial ? count : initial; };
  std::size_t size = 160 + name.size();
  for (const auto& a : attributes)
    if (a) size += a->name.size() + a->value.size() + 32;
  for (const auto& c : comments)
    if (c) size += c->text.size() + 24;
  for (const auto& c : cdataSections)
    if (c) size += c->text.size() + 24;
  for (const auto& c : contents)
    if (c) size += (c->binary ? c->binaryValue.Size() : c->text.size()) + 48;
  for (const auto& child : children)
    if (child) size += child->EstimateSize();
  size += 4 * (capacity(children.size(), 20) + capacity(attributes.size(), 20) + capacity(comments.size(), 10) +
               capacity(contents.size(), 4) + capacity(cdataSections.size(), 10));
  return size;
}

// ---------------------------------------------------------------------------------------
// Header

XmlHeader::XmlHeader(std::string_view text_) : text(text_) {}
XmlHeader::XmlHeader(std::u16string_view wideText) : text(XmlWideText(wideText)) {}

void XmlHeader::SetDeclaration(std::string_view encoding) {
  text = "<?xml version=\"1.0\" encoding=\"";
  text.append(encoding);
  text.append("\" standalone=\"yes\" ?>");
}

void XmlHeader::AddComment(std::string_view commentText, int position) {
  comments.push_back(std::make_unique<XmlComment>(nullptr, position, commentText));
}

// ---------------------------------------------------------------------------------------
// Document

XmlDocument::XmlDocument() { LoadDefaults(); }

XmlDocument::XmlDocument(std::string_view source, int kind, XmlTransform* transform) { Load(source, kind, transform); }

XmlDocument::XmlDocument(std::u16string_view wideFileName, XmlTransform* transform) { Load(wideFileName, transform); }

XmlDocument::~XmlDocument() { Clear(); }

void XmlDocument::Clear() {
  if (saveOnDestroy) Save(nullptr, 1, kXmlSaveUtf8File);
  if (root) root->RemoveAllChildren();
  root.reset();
  header.reset();
  sourceName.clear();
}

void XmlDocument::LoadDefaults() {
  header = std::make_unique<XmlHeader>(kDefaultDeclaration);
  root = std::make_unique<XmlElement>(nullptr, "root");
}

int XmlDocument::Load(std::string_view source, int kind, XmlTransform* transform) {
  Clear();
  loadState = 0;
  wideName = false;
  if (kind == kXmlSourceFile) {
    sourceName.assign(source);
    std::string bytes;
    if (source.empty() || !ReadWholeFile(sourceName, &bytes)) {
      LoadDefaults();  // the name is kept, so that Save() creates the file
      return 1;
    }
    if (transform) bytes = transform->Decode(bytes);
    return ParseText(xml_detail::DecodeSourceText(bytes), transform);
  }
  if (kind == kXmlSourceText) {
    const bool empty = source.empty() || (source[0] == '\0' && (source.size() < 2 || source[1] == '\0'));
    if (empty) {
      LoadDefaults();
      return 1;
    }
    return ParseText(xml_detail::DecodeSourceText(source), transform);
  }
  // No other source kind exists: an empty document with the defaults.
  LoadDefaults();
  return 1;
}

int XmlDocument::Load(std::u16string_view wideFileName, XmlTransform* transform) {
  const int result = Load(XmlWideText(wideFileName), kXmlSourceFile, transform);
  wideName = true;
  return result;
}

int XmlDocument::LoadWideText(std::u16string_view wideText) { return Load(XmlWideText(wideText), kXmlSourceText); }

int XmlDocument::ParseText(std::string text, XmlTransform* transform) {
  // A declaration is taken only from the very start of the text (after a byte-order mark).
  const std::size_t markLength = std::string_view(text).starts_with(kUtf8Mark) ? kUtf8Mark.size() : 0;
  std::size_t pos = 0;
  const std::size_t declarationEnd =
      std::string_view(text).substr(markLength).starts_with("<?") ? text.find("?>", markLength) : std::string::npos;
  if (declarationEnd != std::string::npos) {
    pos = declarationEnd + 2;
    header = std::make_unique<XmlHeader>(std::string_view(text).substr(0, pos));
  } else {
    sourceName.clear();
    loadState = 1;
    std::string declaration(kUtf8Mark);
    declaration.append(kDefaultDeclaration);
    header = std::make_unique<XmlHeader>(declaration);
  }
  if (transform) sourceName.clear();
  const std::size_t lt = text.find('<', pos);
  if (lt == std::string::npos) {
    sourceName.clear();
    loadState = 1;
    root = std::make_unique<XmlElement>(nullptr, "<root>");
    return 1;
  }
  tooDeep_ = false;
  root = header->ParseElement(nullptr, std::string_view(text).substr(lt), this);
  if (tooDeep_) {
    loadState = 2;
    root.reset();
    return 0;
  }
  return 1;
}

void XmlDocument::SetExportFormat(const XmlExportFormat& newFormat) {
  if (root) root->ApplyExportFormat(newFormat);
  if (header) {
    std::memcpy(header->formatBytes, &newFormat, sizeof header->formatBytes);
    header->noBreakDeclaration = newFormat.noBreakDeclaration;
    header->noBreakComments = newFormat.noBreakComments;
  }
}

void XmlDocument::SetHeader(std::unique_ptr<XmlHeader> newHeader) { header = std::move(newHeader); }

void XmlDocument::SetRootElement(std::unique_ptr<XmlElement> element) { root = std::move(element); }

std::unique_ptr<XmlElement> XmlDocument::DetachRootElement() {
  auto old = std::move(root);
  root = std::make_unique<XmlElement>(nullptr, "<root/>");
  return old;
}

int XmlDocument::Save(std::string* buffer, int escaped, int kind, XmlTransform* transform) {
  if (kind != kXmlSaveText && kind != kXmlSaveUtf16Text) return 0;
  if (buffer == nullptr) return 0;
  XmlTarget target;
  target.buffer = buffer;
  XmlHeader noHeader;  // without a header the UTF-16 output still starts with its mark
  noHeader.noBreakDeclaration = 1;
  const XmlHeader* useHeader = header ? header.get() : &noHeader;
  if (root) {
    root->Export(target, 1, escaped, kind, useHeader, transform);
  } else if (!transform) {
    useHeader->Export(target, 0, kind);
    useHeader->Export(target, 1, kind);
  }
  return 1;
}

int XmlDocument::Save(const char* fileName, int escaped, int kind, XmlTransform* transform) {
  if (kind != kXmlSaveUtf8File && kind != kXmlSaveUtf16File) return 0;
  const std::string name = fileName ? std::string(fileName) : sourceName;
  return SaveToFile(name, escaped, kind, transform);
}

int XmlDocument::Save(const char16_t* wideFileName, int escaped, int kind, XmlTransform* transform) {
  if (kind != kXmlSaveUtf8File && kind != kXmlSaveUtf16File) return 0;
  const std::string name = wideFileName ? XmlWideText(wideFileName) : sourceName;
  return SaveToFile(name, escaped, kind, transform);
}

int XmlDocument::SaveToFile(const std::string& fileName, int escaped, int kind, XmlTransform* transform) {
  if (fileName.empty()) return 0;
  std::FILE* file = std::fopen(fileName.c_str(), "wbe");
  if (file == nullptr) return 0;
  if (!header) header = std::make_unique<XmlHeader>();
  if (kind == kXmlSaveUtf16File) {
    std::fwrite("\xFF\xFE", 1, 2, file);
    header->SetDeclaration("UTF-16");
  } else {
    header->SetDeclaration("UTF-8");
  }
  XmlTarget target;
  target.file = file;
  if (root) {
    root->Export(target, 1, escaped, kind, header.get(), transform);
  } else if (!transform) {
    header->Export(target, 0, kind);
    header->Export(target, 1, kind);
  }
  const bool failed = std::ferror(file) != 0;
  return (std::fclose(file) == 0 && !failed) ? 1 : 0;
}

}  // namespace nimbo
