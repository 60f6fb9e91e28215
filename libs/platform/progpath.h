// Where the program lives.
#pragma once
#include <string>

// Folder of the running executable, without a trailing '/'; a last "Debug" or "Release"
// folder (any case) is left out.
std::string ProgramFolderPath();
