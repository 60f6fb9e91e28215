#include "libs/wim/item_select.h"

#include "libs/regex/regex_engine.h"

namespace {

char16_t UpperUnit(char16_t c) {
  if (c >= u'a' && c <= u'z') return char16_t(c - 32);
  if ((c >= 0xE0 && c <= 0xFE && c != 0xF7)) return char16_t(c - 32);  // Latin-1 letters
  return c;
}

std::u16string BackslashPath(const std::string& path) {
  std::u16string wide = Utf8ToUtf16(path);
  for (char16_t& c : wide)
    if (c == u'/') c = u'\\';
  return wide;
}

}  // namespace

std::u16string Utf8ToUtf16(const std::string& text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned char b = s[i];
    uint32_t cp;
    size_t len;
    if (b < 0x80) {
      cp = b;
      len = 1;
    } else if ((b & 0xE0) == 0xC0) {
      cp = b & 0x1F;
      len = 2;
    } else if ((b & 0xF0) == 0xE0) {
      cp = b & 0x0F;
      len = 3;
    } else if ((b & 0xF8) == 0xF0) {
      cp = b & 0x07;
      len = 4;
    } else {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    bool ok = i + len <= n;
    for (size_t k = 1; ok && k < len; ++k) {
      if ((s[i + k] & 0xC0) != 0x80)
        ok = false;
      else
        cp = (cp << 6) | (s[i + k] & 0x3F);
    }
    static const uint32_t kMin[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (!ok || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out += u'\uFFFD';
      ++i;
      continue;
    }
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out += char16_t(0xD800 + (cp >> 10));
      out += char16_t(0xDC00 + (cp & 0x3FF));
    } else {
      out += char16_t(cp);
    }
    i += len;
  }
  return out;
}

struct ItemSelector::Compiled {
  explicit Compiled(const std::u16string& pattern) : regex(pattern.c_str(), 0) {}
  CRegexT<char16_t> regex;
};

ItemSelector::ItemSelector(const char* nameOrPattern, bool usePattern) : usePattern_(usePattern) {
  std::string text = nameOrPattern ? nameOrPattern : "";
  std::u16string wide = Utf8ToUtf16(text);
  compiled_ = std::make_unique<Compiled>(wide);
  for (char16_t& c : wide) c = (c == u'/') ? u'\\' : UpperUnit(c);
  name_ = wide;
}

ItemSelector::~ItemSelector() = default;

bool ItemSelector::Selects(const std::string& itemPath) const {
  std::u16string path = BackslashPath(itemPath);
  if (usePattern_) {
    CBufferT<int> result = compiled_->regex.Match(path.c_str(), -1);
    return result.GetSize() > 0 && result[0] != 0;
  }
  if (path.size() != name_.size()) return false;
  for (size_t i = 0; i < path.size(); ++i)
    if (UpperUnit(path[i]) != name_[i]) return false;
  return true;
}
