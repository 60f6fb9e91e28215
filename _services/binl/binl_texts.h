// Fixed texts the preparation writes once: the help screen and the read-me files.
#pragma once
#include <string>

// Turns the LF line ends of a text into CR LF.
std::string Crlf(const char* text);
// The four banner lines that begin every read-me file, LF-terminated.
const char* ReadmeBanner();

// The F1 help screen in the boot menu's display-file form.
const std::string& F1HelpScreen();
// NWA_PXE/NimboReadme.txt.
const std::string& NwaReadmeText();
