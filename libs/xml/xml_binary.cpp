// The binary form of documents and their records, and Base64 text of binary data.
//
// Every record: a 16-byte head (u32 0, u32 kind, u32 0, u32 length of the rest), then its body;
// all integers 32-bit little-endian. Kinds: 0 document, 1 header, 2 element, 3 attribute,
// 4 comment, 5 CDATA section, 6 content.
#include <cstring>

#include "libs/xml/xml_document.h"
#include "libs/xml/xml_internal.h"
#include "libs/xml/xml_text.h"

namespace nimbo {
namespace {

enum RecordKind : std::uint32_t {
  kRecDocument = 0,
  kRecHeader = 1,
  kRecElement = 2,
  kRecAttribute = 3,
  kRecComment = 4,
  kRecCData = 5,
  kRecContent = 6
};
constexpr std::size_t kHead = 16;

void Put32(std::string* out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}
std::uint32_t Get32(std::string_view s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 0; i < 4; ++i) v |= static_cast<std::uint32_t>(static_cast<unsigned char>(s[at + i])) << (8 * i);
  return v;
}

// Wraps a body into a record of the kind.
std::string Record(std::uint32_t kind, const std::string& body) {
  std::string out;
  Put32(&out, 0);
  Put32(&out, kind);
  Put32(&out, 0);
  Put32(&out, static_cast<std::uint32_t>(body.size()));
  out += body;
  return out;
}

void PutText(std::string* out, std::string_view text) {
  Put32(out, static_cast<std::uint32_t>(text.size()));
  out->append(text);
}

// Checks a record's head against the bytes present; the body on success.
bool Body(std::string_view record, std::uint32_t kind, std::string_view* body) {
  if (record.size() < kHead || Get32(record, 0) != 0 || Get32(record, 8) != 0 || Get32(record, 4) != kind) return false;
  if (static_cast<std::uint64_t>(Get32(record, 12)) + kHead != record.size()) return false;
  *body = record.substr(kHead);
  return true;
}

// Reads a length-prefixed text at *at; false when it runs past the body.
bool GetText(std::string_view body, std::size_t* at, std::string* out) {
  if (body.size() < *at || body.size() - *at < 4) return false;
  const std::uint32_t n = Get32(body, *at);
  if (n > body.size() - *at - 4) return false;
  out->assign(body.substr(*at + 4, n));
  *at += 4 + n;
  return true;
}

// Splits a body into its records while at least a head remains and the next record
// starts with a zero word; a record whose length runs past the body ends the walk.
template <typename Fn>
void WalkRecords(std::string_view body, std::size_t at, Fn&& fn) {
  while (body.size() >= at + kHead && Get32(body, at) == 0) {
    const std::uint64_t size = static_cast<std::uint64_t>(Get32(body, at + 12)) + kHead;
    if (size > body.size() - at) return;
    fn(Get32(body, at + 4), body.substr(at, static_cast<std::size_t>(size)));
    at += static_cast<std::size_t>(size);
  }
}

bool PositionedText(std::string_view record, std::uint32_t kind, int* position, std::string* text) {
  std::string_view body;
  if (!Body(record, kind, &body) || body.size() < 8) return false;
  *position = static_cast<std::int32_t>(Get32(body, 0));
  std::size_t at = 4;
  return GetText(body, &at, text) && at == body.size();
}

std::string PositionedRecord(std::uint32_t kind, int position, const std::string& text) {
  std::string body;
  Put32(&body, static_cast<std::uint32_t>(position));
  PutText(&body, text);
  return Record(kind, body);
}

}  // namespace

// ---------------------------------------------------------------------------------------
// Base64

std::string XmlBase64Encode(std::string_view bytes) { return xml_detail::Base64Encode(bytes); }

std::size_t XmlBase64DecodeTo(std::string_view text, std::uint8_t* out, std::size_t capacity) {
  std::size_t written = 0;
  std::uint32_t group = 0;
  int count = 0, padding = 0;
  const auto emit = [&](std::uint8_t b) {
    if (out && written < capacity) out[written] = b;
    ++written;
  };
  for (char ch : text) {
    int v;
    if (ch >= 'A' && ch <= 'Z')
      v = ch - 'A';
    else if (ch >= 'a' && ch <= 'z')
      v = ch - 'a' + 26;
    else if (ch >= '0' && ch <= '9')
      v = ch - '0' + 52;
    else if (ch == '+')
      v = 62;
    else if (ch == '/')
      v = 63;
    else if (ch == '=') {
      v = 0;
      ++padding;
    } else
      continue;  // CR, LF and anything outside the alphabet
    group = (group << 6) | static_cast<std::uint32_t>(v);
    if (++count == 4) {
      emit(static_cast<std::uint8_t>(group >> 16));
      if (padding < 2) emit(static_cast<std::uint8_t>(group >> 8));
      if (padding < 1) emit(static_cast<std::uint8_t>(group));
      group = 0;
      count = 0;
      if (padding) break;
    }
  }
  return out ? (written < capacity ? written : capacity) : written;
}

std::string XmlBase64Decode(std::string_view text) {
  std::string out(XmlBase64DecodeTo(text, nullptr, 0), '\0');
  XmlBase64DecodeTo(text, reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  return out;
}

namespace {
std::string LinesToUnderscores(std::string text) {
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2) text.replace(at, 2, "__");
  return text;
}
std::string UnderscoresToLines(std::string text) {
  for (std::size_t at = 0; (at = text.find("__", at)) != std::string::npos; at += 2) text.replace(at, 2, "\r\n");
  return text;
}
}  // namespace

std::size_t XmlAttribute::SetBinaryValue(const void* bytes, std::size_t length) {
  value = LinesToUnderscores(XmlBase64Encode(std::string_view(static_cast<const char*>(bytes), bytes ? length : 0)));
  return value.size();
}

std::size_t XmlAttribute::GetBinaryValue(std::string* out) const {
  if (value.empty()) return 0;
  const std::string bytes = XmlBase64Decode(UnderscoresToLines(XmlUnescape(value)));
  if (out) *out = bytes;
  return bytes.size();
}

XmlAttribute* XmlElement::AddBinaryAttribute(std::string_view attrName, const void* bytes, std::size_t length) {
  AddAttribute(attrName, "");
  attributes.back()->SetBinaryValue(bytes, length);
  return attributes.back().get();
}

bool XmlContent::GetBinary(std::string* out) const {
  if (!out) return false;
  if (binary) {
    out->assign(reinterpret_cast<const char*>(binaryValue.Data()), binaryValue.Size());
    return true;
  }
  if (text.empty()) return false;
  *out = XmlBase64Decode(text);
  return true;
}

// ---------------------------------------------------------------------------------------
// Records

bool XmlAttribute::SaveBinary(std::string* out) const {
  std::string body;
  PutText(&body, name);
  PutText(&body, value);
  *out = Record(kRecAttribute, body);
  return true;
}

bool XmlAttribute::LoadBinary(std::string_view record) {
  std::string_view body;
  std::size_t at = 0;
  std::string n, v;
  if (!Body(record, kRecAttribute, &body) || !GetText(body, &at, &n) || !GetText(body, &at, &v) || at != body.size())
    return false;
  name = n;
  value = v;
  return true;
}

bool XmlComment::SaveBinary(std::string* out) const {
  *out = PositionedRecord(kRecComment, position, text);
  return true;
}
bool XmlComment::LoadBinary(std::string_view record) { return PositionedText(record, kRecComment, &position, &text); }
bool XmlCData::SaveBinary(std::string* out) const {
  *out = PositionedRecord(kRecCData, position, text);
  return true;
}
bool XmlCData::LoadBinary(std::string_view record) { return PositionedText(record, kRecCData, &position, &text); }

bool XmlContent::SaveBinary(std::string* out) const {
  std::string body;
  Put32(&body, static_cast<std::uint32_t>(position));
  Put32(&body, binary ? 1 : 0);
  if (binary)
    PutText(&body, std::string_view(reinterpret_cast<const char*>(binaryValue.Data()), binaryValue.Size()));
  else
    PutText(&body, text);
  *out = Record(kRecContent, body);
  return true;
}

bool XmlContent::LoadBinary(std::string_view record) {
  std::string_view body;
  if (!Body(record, kRecContent, &body) || body.size() < 12) return false;
  const std::uint32_t flag = Get32(body, 4);
  if (flag > 1) return false;
  std::size_t at = 8;
  std::string bytes;
  if (!GetText(body, &at, &bytes) || at != body.size()) return false;
  position = static_cast<std::int32_t>(Get32(body, 0));
  binary = flag == 1;
  if (binary) {
    binaryValue = ZBuffer(bytes.size());
    if (!bytes.empty()) std::memcpy(binaryValue.Data(), bytes.data(), bytes.size());
    text.clear();
  } else {
    text = bytes;
  }
  return true;
}

bool XmlElement::SaveBinary(std::string* out) {
  SwapInAllChildren();
  std::string body, rec;
  PutText(&body, name);
  for (const auto& a : attributes)
    if (a && a->SaveBinary(&rec)) body += rec;
  for (const auto& c : children)
    if (c && c->SaveBinary(&rec)) body += rec;
  for (const auto& c : contents)
    if (c && c->SaveBinary(&rec)) body += rec;
  for (const auto& c : comments)
    if (c && c->SaveBinary(&rec)) body += rec;
  for (const auto& c : cdataSections)
    if (c && c->SaveBinary(&rec)) body += rec;
  *out = Record(kRecElement, body);
  return true;
}

bool XmlElement::LoadBinary(std::string_view record) { return LoadBinaryDepth(record, 0); }

bool XmlElement::LoadBinaryDepth(std::string_view record, int depth) {
  std::string_view body;
  std::size_t at = 0;
  std::string storedName;
  if (depth > XmlDocument::kMaxDepth || !Body(record, kRecElement, &body) || !GetText(body, &at, &storedName))
    return false;
  DropBorrowed();
  attributes.clear();
  children.clear();
  comments.clear();
  contents.clear();
  cdataSections.clear();
  name = storedName;  // stored form, as saved
  // Loaded items keep the positions they were saved with, so that the text form is the same.
  WalkRecords(body, at, [&](std::uint32_t kind, std::string_view rec) {
    switch (kind) {
      case kRecAttribute: {
        auto a = std::make_unique<XmlAttribute>(std::string_view());
        if (a->LoadBinary(rec)) {
          a->owner = this;
          attributes.push_back(std::move(a));
        }
        break;
      }
      case kRecElement: {
        auto e = std::make_unique<XmlElement>(this, std::string_view());
        if (e->LoadBinaryDepth(rec, depth + 1)) AppendChild(std::move(e));
        break;
      }
      case kRecContent: {
        auto c = std::make_unique<XmlContent>(this, 0);
        if (c->LoadBinary(rec)) contents.push_back(std::move(c));
        break;
      }
      case kRecComment: {
        auto c = std::make_unique<XmlComment>(this, 0);
        if (c->LoadBinary(rec)) comments.push_back(std::move(c));
        break;
      }
      case kRecCData: {
        auto c = std::make_unique<XmlCData>(this, 0);
        if (c->LoadBinary(rec)) cdataSections.push_back(std::move(c));
        break;
      }
      default: break;  // records of other kinds are skipped
    }
  });
  return true;
}

bool XmlHeader::SaveBinary(std::string* out) const {
  std::string body, rec;
  PutText(&body, text);
  for (const auto& c : comments)
    if (c && c->SaveBinary(&rec)) body += rec;
  *out = Record(kRecHeader, body);
  return true;
}

bool XmlHeader::LoadBinary(std::string_view record) {
  std::string_view body;
  std::size_t at = 0;
  std::string declaration;
  if (!Body(record, kRecHeader, &body) || !GetText(body, &at, &declaration)) return false;
  text = declaration;
  comments.clear();
  WalkRecords(body, at, [&](std::uint32_t kind, std::string_view rec) {
    if (kind != kRecComment) return;
    auto c = std::make_unique<XmlComment>(nullptr, 0);
    if (c->LoadBinary(rec)) comments.push_back(std::move(c));
  });
  return true;
}

bool XmlDocument::SaveBinary(std::string* out) const {
  std::string body, rec;
  if (header && header->SaveBinary(&rec)) body += rec;
  if (root && root->SaveBinary(&rec)) body += rec;
  *out = Record(kRecDocument, body);
  return true;
}

bool XmlDocument::LoadBinary(std::string_view form) {
  std::string_view body;
  if (!Body(form, kRecDocument, &body)) return false;
  std::unique_ptr<XmlHeader> newHeader;
  std::unique_ptr<XmlElement> newRoot;
  WalkRecords(body, 0, [&](std::uint32_t kind, std::string_view rec) {
    if (kind == kRecHeader && !newHeader) {
      auto h = std::make_unique<XmlHeader>();
      if (h->LoadBinary(rec)) newHeader = std::move(h);
    } else if (kind == kRecElement && !newRoot) {
      auto e = std::make_unique<XmlElement>(nullptr, std::string_view());
      if (e->LoadBinary(rec)) newRoot = std::move(e);
    }
  });
  if (!newRoot) return false;
  saveOnDestroy = false;
  Clear();
  header = std::move(newHeader);
  root = std::move(newRoot);
  loadState = 0;
  return true;
}

}  // namespace nimbo
