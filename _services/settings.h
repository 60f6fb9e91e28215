// The settings store: the live GlobalSettings record, its INI keys, the settings writer
// queue and the working directory.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "_services/host_records.h"

enum SettingType : int32_t { SETTING_TEXT = 1, SETTING_INT = 4 };

struct SettingsRow {
    const char* keyPath;  // "SOFTWARE\\NIMBO" or "SOFTWARE\\NIMBO\\<section>"
    const char* key;      // INI key
    size_t offset;        // field offset in GlobalSettings
    int32_t type;         // SETTING_TEXT or SETTING_INT
    int32_t size;         // field size in bytes
};
extern const SettingsRow SettingsTable[70];

// Built-in defaults.
GlobalSettings DefaultGlobalSettings();

// The live record. Every thread reads a snapshot; only the Console thread (and start-up)
// replaces it. Individual fields may be read through the snapshot.
GlobalSettings SettingsSnapshot();
// The same record shared, immutable: no copy of the whole record per read (hot paths take
// one per batch of work). A change publishes a new one on the next call.
std::shared_ptr<const GlobalSettings> SettingsShared();
void SettingsReplace(const GlobalSettings& s);
void SettingsUpdate(const std::function<void(GlobalSettings&)>& edit);
int CurrentLogLevel();     // lock-free copy of LogLevel
bool LogFileConfigured();  // lock-free: NIMBO_LogFile is not empty

// INI path (set once by the bootstrap thread).
void SetIniPath(const std::string& path);
std::string IniPath();

// Working directory served by TFTP.
std::string WorkingDirectory();
bool SetWorkingDirectory(const std::string& path);  // only when it names a folder

int IniReadValue(const char* keyPath, const char* key, void* field, int size, int type, const char* iniPath);
int IniWriteValue(const char* keyPath, const char* key, const void* data, int length, int type, const char* iniPath);
// Every key of a section with its value (keys in lower case), in one read of the file.
bool IniReadSection(const char* keyPath, std::unordered_map<std::string, std::string>* values, const char* iniPath);
// Writes several keys of one section in a single replace of the file.
int IniWriteValues(const char* keyPath, const std::vector<std::pair<std::string, std::string>>& values,
                   const char* iniPath);
// Queues one write for the Registry thread. moreFollow: the write is not the last of its save;
// a save whose writes fail shows one box, once its last write has been tried.
int PostSettingWrite(const char* keyPath, const char* key, const void* data, int length, int type, const char* iniPath,
                     bool moreFollow = false);
void RegistryThread();
int LoadSettings();
int SaveSettings();
int DeleteSettings();
// What the INI file can keep of a record: text fields without control characters and
// address fields empty or a dotted IPv4 address. False with the first offending key in *why.
bool ValidGlobalSettings(const GlobalSettings& s, std::string* why);
// Request 209: replace the live record, reset the working directory, save. A record that
// is not valid is refused with a log line and nothing is stored. Returns false then.
bool StoreGlobalSettings(const GlobalSettings& s);

// Called when an INI write fails; the GUI installs a handler that closes the main window.
using IniFailureHandler = void (*)();
void SetIniFailureHandler(IniFailureHandler h);
