#include "_services/program_log.h"

#include "_services/host_records.h"
#include "_services/settings.h"
#include "_services/start_threads.h"
#include "_services/to_console.h"
#include "libs/log/log.h"
#include "libs/platform/eventlog.h"

namespace {
// Texts for the user always go out; log lines while a desktop is connected or a log file named.
// A line only the desktop would read is not even formatted when it would not go to the
// desktop (none is connected, it is not keeping up, or it has its bound of lines for now).
bool Wanted(int level) {
    if (level < 0) return true;
    if (level > CurrentLogLevel() || ConsoleRowClosed()) return false;
    if (LogFileConfigured()) return true;
    return ConsoleWantsLine();
}

void Write(int level, const char* line, size_t length) {
    if (level < 0) {
        ToConsole(level == kLogError ? NOTICE_ERROR : NOTICE_WARNING, line, length + 1, false);
        if (level == kLogError && SettingsSnapshot().NIMBO_UseEventLog) ReportSystemEvent(ProgramTitle, line);
        return;
    }
    ConsoleLogLine(line, length);
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
