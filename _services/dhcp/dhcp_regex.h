// Whole-text and search matches with the program's regular-expression engine.
#pragma once

bool DhcpMatchWhole(const char* text, const char* pattern);
bool DhcpSearch(const char* text, const char* pattern);
