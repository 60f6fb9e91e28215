// Helpers shared by the parts of the XML library; not part of its interface.
#pragma once

#include <string>
#include <string_view>

namespace nimbo::xml_detail {

// Base64 with the standard alphabet and '=' padding; CR LF after every 72 characters.
std::string Base64Encode(std::string_view bytes);

// The UTF-8 text of a loaded source: the encoding is found from a byte-order mark or, without
// one, from the first two bytes; UTF-16 is converted (its mark becoming EF BB BF); the text
// ends at its first NUL character.
std::string DecodeSourceText(std::string_view bytes);

}  // namespace nimbo::xml_detail
