// Whole-text pattern test used by the TFTP settings parsers.
#pragma once

bool TftpRegexMatchWhole(const char* text, const char* pattern);
