// 8.3 short names for the directory entries the WIM updater creates.
#pragma once
#include <cstddef>
#include <cstdint>

// CRC-16 (polynomial 0x1021, most significant bit first) over UTF-16 units, high byte first.
uint16_t ShortNameCrc16(const char16_t* units, size_t count);
// Writes the short name of a long name of length units (at most 12 units, no terminator)
// and returns its length: up to four base characters, '~', three characters from the CRC
// of the long name and up to three extension characters.
size_t MakeShortName83(const char16_t* longName, size_t length, char16_t* shortName);

// The upper-case form of a unit used in short names (ASCII letters only).
char16_t ShortNameUpper(char16_t c);
// False for units below 0x20 and for " & * + , . / : ; < = > ? [ \ ] ^ |.
bool IsLongNameChar(char16_t c);
