// Text helpers of the XML library: character references and UTF-8 / UTF-16 conversion.
// Every routine is pure; none keeps state between calls.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace nimbo {

// Returns the escaped form of a text: '&' (unless it starts "&#"), '<', '>', '"' and '\''
// become "&amp;", "&lt;", "&gt;", "&quot;" and "&apos;"; every other byte is kept.
std::string XmlEscape(std::string_view text);
// Length of XmlEscape(text) without building it.
std::size_t XmlEscapedLength(std::string_view text);

// Returns the plain form of an escaped text: numeric references ("&#65;", "&#x41;", "&#X41;")
// become the UTF-8 form of their character, "&amp;" "&quot;" "&apos;" "&lt;" "&gt;" their
// character; any other '&' is kept. The result is never longer than the text.
std::string XmlUnescape(std::string_view text);
// True when XmlUnescape(stored) equals plain byte for byte; allocates nothing.
bool XmlUnescapedEquals(std::string_view stored, std::string_view plain);

// UTF-8 to UTF-16 and back. Invalid input (bad or truncated sequences, overlong forms,
// encoded surrogates, lone surrogates) becomes U+FFFD; input is never read past its end.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// Appends the UTF-16LE form of a text (up to its first NUL) to a byte buffer, without a
// terminating unit; returns the number of bytes appended (2 per unit).
std::size_t XmlToUtf16(std::string& destination, std::string_view text);
// Writes the UTF-16LE form of a text (up to its first NUL) to an open file; nothing else.
void XmlWriteUtf16File(std::FILE* file, std::string_view text);

// The 8-bit text a constructor takes from a wide text argument: its UTF-8 form.
std::string XmlWideText(std::u16string_view wide);

}  // namespace nimbo
