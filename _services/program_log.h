// The service host's program log: the lines of every tag without a sink go to the console
// link while a desktop is connected and to the log file while one is named, within the log
// level; error notices also reach the system event log when the settings ask for it.
#pragma once

// Installs it into the logging layer; idempotent. The settings store and the Console thread
// call it, so that it is in place before a line could be read.
void InstallProgramLog();
