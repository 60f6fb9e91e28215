// Character references and UTF-8 / UTF-16 conversion.
#include "libs/xml/xml_text.h"

#include <cstdint>
#include <cstring>

namespace nimbo {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

// Appends the UTF-8 form of a Unicode scalar value.
template <typename Sink>
void PutUtf8(char32_t c, Sink&& put) {
  if (c < 0x80) {
    put(static_cast<char>(c));
  } else if (c < 0x800) {
    put(static_cast<char>(0xC0 | (c >> 6)));
    put(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    put(static_cast<char>(0xE0 | (c >> 12)));
    put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    put(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    put(static_cast<char>(0xF0 | (c >> 18)));
    put(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    put(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    put(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

bool IsScalar(std::uint32_t c) { return c <= 0x10FFFF && (c < 0xD800 || c > 0xDFFF); }

// Decodes one character at text[i] and advances i. An invalid sequence yields U+FFFD and
// consumes its maximal valid prefix (at least one byte).
char32_t DecodeUtf8(std::string_view text, std::size_t& i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) {
    ++i;
    return b0;
  }
  std::size_t need;
  char32_t c;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    c = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    c = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    c = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    ++i;
    return kReplacement;
  }
  ++i;
  for (std::size_t k = 0; k < need; ++k) {
    if (i >= text.size()) return kReplacement;
    const unsigned char b = byte(i);
    const unsigned char min = k == 0 ? lo : 0x80, max = k == 0 ? hi : 0xBF;
    if (b < min || b > max) return kReplacement;
    c = (c << 6) | (b & 0x3F);
    ++i;
  }
  return c;
}

int HexValue(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
  if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
  return -1;
}

// Walks an escaped text and hands every byte of its plain form to put().
template <typename Sink>
void Unescape(std::string_view text, Sink&& put) {
  static constexpr struct {
    std::string_view name;
    char ch;
  } kNamed[] = {{"amp;", '&'}, {"quot;", '"'}, {"apos;", '\''}, {"lt;", '<'}, {"gt;", '>'}};
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const char ch = text[i];
    if (ch != '&') {
      put(ch);
      ++i;
      continue;
    }
    if (i + 1 < n && text[i + 1] == '#') {
      std::size_t j = i + 2;
      const bool hex = j < n && (text[j] == 'x' || text[j] == 'X');
      if (hex) ++j;
      std::uint32_t value = 0;
      const std::uint32_t base = hex ? 16 : 10;
      for (; j < n; ++j) {
        const int digit = hex ? HexValue(text[j]) : (text[j] >= '0' && text[j] <= '9' ? text[j] - '0' : -1);
        if (digit < 0) break;
        // Saturate above the Unicode range so that long digit runs cannot overflow.
        value = value > 0x10FFFF ? value : value * base + static_cast<std::uint32_t>(digit);
      }
      if (j < n && text[j] == ';') ++j;  // only the terminator is consumed
      if (value != 0) PutUtf8(IsScalar(value) ? static_cast<char32_t>(value) : kReplacement, put);
      i = j;
      continue;
    }
    const std::string_view rest = text.substr(i + 1);
    bool named = false;
    for (const auto& entry : kNamed) {
      if (rest.starts_with(entry.name)) {
        put(entry.ch);
        i += 1 + entry.name.size();
        named = true;
        break;
      }
    }
    if (!named) {
      put('&');
      ++i;
    }
  }
}

template <typename Sink>
void Escape(std::string_view text, Sink&& put) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    switch (ch) {
      case '&':
        if (i + 1 < text.size() && text[i + 1] == '#')
          put("&");
        else
          put("&amp;");
        break;
      case '<': put("&lt;"); break;
      case '>': put("&gt;"); break;
      case '"': put("&quot;"); break;
      case '\'': put("&apos;"); break;
      default: put(std::string_view(&text[i], 1)); break;
    }
  }
}

std::string_view UpToNul(std::string_view text) {
  const auto nul = text.find('\0');
  return nul == std::string_view::npos ? text : text.substr(0, nul);
}

template <typename Sink>
void EncodeUtf16(std::string_view text, Sink&& put) {
  std::size_t i = 0;
  while (i < text.size()) {
    const char32_t c = DecodeUtf8(text, i);
    if (c < 0x10000) {
      put(static_cast<char16_t>(c));
    } else {
      put(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      put(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    }
  }
}

}  // namespace

std::string XmlEscape(std::string_view text) {
  std::string out;
  out.reserve(XmlEscapedLength(text));
  Escape(text, [&](std::string_view piece) { out.append(piece); });
  return out;
}

std::size_t XmlEscapedLength(std::string_view text) {
  std::size_t length = 0;
  Escape(text, [&](std::string_view piece) { length += piece.size(); });
  return length;
}

std::string XmlUnescape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  Unescape(text, [&](char ch) { out.push_back(ch); });
  return out;
}

bool XmlUnescapedEquals(std::string_view stored, std::string_view plain) {
  std::size_t k = 0;
  bool equal = true;
  Unescape(stored, [&](char ch) {
    if (k >= plain.size() || plain[k] != ch) equal = false;
    ++k;
  });
  return equal && k == plain.size();
}

std::u16string Utf8ToUtf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  EncodeUtf16(text, [&](char16_t unit) { out.push_back(unit); });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 3);
  const auto put = [&](char ch) { out.push_back(ch); };
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char16_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      PutUtf8(0x10000 + ((static_cast<char32_t>(unit) - 0xD800) << 10) + (text[i + 1] - 0xDC00), put);
      ++i;
    } else if (unit >= 0xD800 && unit <= 0xDFFF) {
      PutUtf8(kReplacement, put);
    } else {
      PutUtf8(unit, put);
    }
  }
  return out;
}

std::size_t XmlToUtf16(std::string& destination, std::string_view text) {
  const std::size_t before = destination.size();
  EncodeUtf16(UpToNul(text), [&](char16_t unit) {
    destination.push_back(static_cast<char>(unit & 0xFF));
    destination.push_back(static_cast<char>(unit >> 8));
  });
  return destination.size() - before;
}

void XmlWriteUtf16File(std::FILE* file, std::string_view text) {
  if (file == nullptr) return;
  std::string bytes;
  XmlToUtf16(bytes, text);
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
}

std::string XmlWideText(std::u16string_view wide) { return Utf16ToUtf8(wide); }

}  // namespace nimbo
