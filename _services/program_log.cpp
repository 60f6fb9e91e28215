#include "_services/program_log.h"

#include <string>

#include "_services/host_records.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/eventlog.h"

namespace {
// Texts for the user always go out; log lines while a desktop is connected or a log file named.
bool Wanted(int level) {
    if (level < 0) return true;
    return level <= CurrentLogLevel() && !ConsoleRowClosed() &&
           (ConsoleState() == CONSOLE_CONNECTED || LogFileConfigured());
}

// A text notice with its NUL; a text longer than one frame takes is cut to what it takes.
void TextToConsole(uint32_t id, const char* text, size_t length) {
    if (length <= kConsoleTextMax) {
        ToConsole(id, text, length + 1, false);
        return;
    }
    const std::string cut(text, kConsoleTextMax);
    ToConsole(id, cut.c_str(), cut.size() + 1, false);
}

void Write(int level, const char* line, size_t length) {
    if (level < 0) {
        TextToConsole(level == kLogError ? NOTICE_ERROR : NOTICE_WARNING, line, length);
        if (level == kLogError && SettingsSnapshot().NIMBO_UseEventLog) ReportSystemEvent(ProgramTitle, line);
        return;
    }
    TextToConsole(NOTICE_LOG, line, length);
    if (!LogFileConfigured()) return;
    GlobalSettings s = SettingsSnapshot();
    if (s.NIMBO_LogFile[0]) {
        s.NIMBO_LogFile[sizeof s.NIMBO_LogFile - 1] = '\0';
        AppendLogFile(s.NIMBO_LogFile, line, length);
    }
}

constexpr ProgramLog kProgramLog{Wanted, Write};
}  // namespace

void InstallProgramLog() { SetProgramLog(&kProgramLog); }
