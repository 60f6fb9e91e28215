// Helpers shared by the UDP service tests: a log file to read back, temporary folders.
#pragma once
#include <stdlib.h>

#include <fstream>
#include <sstream>
#include <string>

#include "_services/settings.h"

inline std::string ReadWholeFile(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

inline std::string MakeTempFolder(const char* prefix) {
    std::string tmpl = std::string("/tmp/") + prefix + "XXXXXX";
    return mkdtemp(tmpl.data()) ? tmpl : std::string();
}

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
