// The system event log (syslog, error priority).
#pragma once

// Reports one error entry under the given source name; the log is opened once.
bool ReportSystemEvent(const char* source, const char* text);
