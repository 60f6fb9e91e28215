// Fixed texts the preparation writes once: the help screen and the read-me files.
#pragma once
#include <string>

// The F1 help screen in the boot menu's display-file form.
const std::string& F1HelpScreen();
// NWA_PXE/NimboReadme.txt.
const std::string& NwaReadmeText();
