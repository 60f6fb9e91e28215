#include "libs/wim/short_name.h"

namespace {

constexpr char16_t kCrcAlphabet[] = u"0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ#_~-@";

bool IsInvalidShortChar(char16_t c) {
  if (c < 0x20) return true;
  switch (c) {
    case u'"':
    case u'&':
    case u'*':
    case u'+':
    case u',':
    case u'/':
    case u':':
    case u';':
    case u'<':
    case u'=':
    case u'>':
    case u'?':
    case u'[':
    case u'\\':
    case u']':
    case u'^':
    case u'|': return true;
    default: return false;
  }
}

char16_t Upper(char16_t c) { return ShortNameUpper(c); }

// Copies units of [from, to) into out, at most limit output units, upper-cased; skipped
// units are dropped, a run of invalid units becomes one '_'. consumed receives how many
// input units were looked at.
size_t TakeUnits(const char16_t* from, const char16_t* to, size_t limit, bool skipDots, char16_t* out) {
  size_t n = 0;
  bool inInvalidRun = false;
  for (const char16_t* p = from; p < to && n < limit; ++p) {
    char16_t c = Upper(*p);
    if (c == u' ' || (skipDots && c == u'.')) continue;
    if (IsInvalidShortChar(c)) {
      if (!inInvalidRun) out[n++] = u'_';
      inInvalidRun = true;
      continue;
    }
    inInvalidRun = false;
    out[n++] = c;
  }
  return n;
}

}  // namespace

char16_t ShortNameUpper(char16_t c) { return (c >= u'a' && c <= u'z') ? char16_t(c - 32) : c; }

bool IsLongNameChar(char16_t c) { return c != u'.' && !IsInvalidShortChar(c); }

uint16_t ShortNameCrc16(const char16_t* units, size_t count) {
  uint16_t table[256];
  uint16_t crc = 0;
  for (int i = 0; i < 256; ++i) {
    crc = uint16_t(i << 8);
    for (int bit = 0; bit < 8; ++bit) crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    table[i] = crc;
  }
  uint16_t reg = table[255];
  for (size_t i = 0; i < count; ++i) {
    uint8_t bytes[2] = {uint8_t(units[i] >> 8), uint8_t(units[i])};
    for (uint8_t b : bytes) reg = uint16_t((reg << 8) ^ table[((reg >> 8) ^ b) & 0xFF]);
  }
  return reg;
}

size_t MakeShortName83(const char16_t* longName, size_t length, char16_t* shortName) {
  const char16_t* end = longName + length;
  const char16_t* dot = nullptr;
  for (const char16_t* p = longName; p < end; ++p)
    if (*p == u'.') dot = p;
  char16_t extension[3];
  size_t extensionLength = dot ? TakeUnits(dot + 1, end, 3, false, extension) : 0;
  char16_t base[8];
  const char16_t* baseEnd = dot ? dot : end;
  if (baseEnd - longName > 8) baseEnd = longName + 8;
  size_t baseLength = TakeUnits(longName, baseEnd, 8, true, base);
  size_t tilde = baseLength < 4 ? baseLength : 4;
  uint16_t crc = ShortNameCrc16(longName, length);
  size_t n = 0;
  for (size_t i = 0; i < tilde; ++i) shortName[n++] = base[i];
  shortName[n++] = u'~';
  shortName[n++] = kCrcAlphabet[crc / 1681];
  shortName[n++] = kCrcAlphabet[(crc % 1681) / 41];
  shortName[n++] = kCrcAlphabet[crc % 41];
  if (extensionLength) {
    shortName[n++] = u'.';
    for (size_t i = 0; i < extensionLength; ++i) shortName[n++] = extension[i];
  }
  return n;
}
