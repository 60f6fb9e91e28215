// Helpers shared by the UDP service tests: a log file to read back (the temporary folder and
// file reading are the shared ones).
#pragma once
#include <stdlib.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "_services/settings.h"
#include "tests/support/temp_folder.h"

using nimbo::test::ReadFile;
using nimbo::test::TempFolder;

// Sends the service log (every level) to a fresh file and returns its path.
inline std::string CaptureLog(const std::string& folder) {
    std::string path = folder + "/nimbo.log";
    std::remove(path.c_str());
    SettingsUpdate([&](GlobalSettings& s) {
        snprintf(s.NIMBO_LogFile, sizeof s.NIMBO_LogFile, "%s", path.c_str());
        s.LogLevel = 9;
    });
    return path;
}
