// Where the program lives.
#pragma once
#include <string>

// Folder of the running executable, without a trailing '/'; a last "Debug" or "Release"
// folder (any case) is left out.
std::string ProgramFolderPath();

// The folder part of an executable's path with the same rule (for tests).
std::string ProgramFolderOf(const std::string& executablePath);
