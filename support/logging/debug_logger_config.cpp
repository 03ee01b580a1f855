#include "support/logging/debug_logger_config.h"

#include "support/registry/registry.h"
#include "support/threads/crash_dump.h"

namespace {

constexpr int32_t kHighestLevel = 15;
constexpr DWORD kPathValueChars = 260;

bool ReadLevel(Registry& key, const wchar_t* name, int32_t* level) {
  int32_t value = 0;
  if (!key.GetValue(name, &value) || value < 0 || value > kHighestLevel) return false;
  *level = value;
  return true;
}

// Missing or invalid: `fallback`.
int32_t LevelOr(Registry& key, const wchar_t* name, int32_t fallback) {
  int32_t level = fallback;
  ReadLevel(key, name, &level);
  return level;
}

std::string ReadHostList(Registry& key) {
  char hosts[kConfigHostListBytes] = {};
  key.GetString("SysLogHost", hosts, kConfigHostListBytes);
  return hosts;
}

bool ReadPath(Registry& key, const wchar_t* name, std::wstring* path) {
  wchar_t text[kPathValueChars] = {};
  if (!key.GetString(name, text, kPathValueChars)) return false;
  *path = text;
  return true;
}

// Whether a switch read at a poll changed the member; stores the new value.
bool SwitchChanged(Registry& key, const wchar_t* name, bool fallback, bool* member) {
  bool value = fallback;
  key.GetValue(name, &value, fallback);
  if (value == *member) return false;
  *member = value;
  return true;
}

std::wstring ParentPath(const std::wstring& path) {
  const size_t separator = path.rfind(L'\\');
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator);
}

// The folder is read into one character more than it may have, so that a
// longer one, which the read cuts, is still seen as too long.
CrashDumpSettings ReadCrashDumpValues(Registry& key) {
  CrashDumpSettings settings;
  wchar_t folder[kCrashDumpFolderChars + 2] = {};
  if (key.GetString(L"CrashDumpFolder", folder, kCrashDumpFolderChars + 2)) settings.folder = folder;
  key.GetValue(L"CrashDumpType", &settings.type, 0u);
  key.GetValue(L"CrashDumpCount", &settings.count, 10u);
  return settings;
}

}  // namespace

DebugLoggerConfig::DebugLoggerConfig()
    : sourceName(new char[kConfigNameBytes]()),
      syslogHostList(new char[kConfigHostListBytes]()),
      logFile(new char[kConfigNameBytes]()) {}

void ReadStartValues(Registry& key, int32_t defaultFileLevel, DebugLoggerSettings& settings, LoggerLevels& levels) {
  levels.file = LevelOr(key, L"DebugLogLevel", defaultFileLevel);
  ReadLevel(key, L"EventLogLevel", &levels.eventLog);
  ReadLevel(key, L"SysLogLevel", &levels.syslog);
  if (ReadLevel(key, L"ConsoleLogLevel", &levels.console)) settings.consoleEnabled = true;
  key.GetValue(L"ConsoleLogEnabled", &settings.consoleEnabled);
  settings.syslogHostList = ReadHostList(key);
  key.GetValue(L"SysLogFacility", &settings.syslogFacility, 0u);
  key.GetValue(L"BlockingSyslog", &settings.blockingSyslog);
  key.GetValue(L"AddSyslogHeader", &settings.syslogHeader);
  key.GetValue(L"SysLogEnabled", &settings.syslogEnabled, !settings.syslogHostList.empty());
  key.GetValue(L"DebugLogSize", &settings.fileSizeLimit);
  key.GetValue(L"DebugLogAutoRoll", &settings.autoRoll);
  key.GetValue(L"DebugLogEnabled", &settings.fileEnabled, !settings.logFile.empty());
  key.GetValue(L"DebugLogDailyFile", &settings.dailyFile);
  key.GetValue(L"DebugLogMaxDailyFileAge", &settings.fileAgeLimit, 0);
  key.GetValue(L"DebugLogMaxEventQueue", &settings.queueLimit, 0);
  key.GetValue(L"DebugLogEncoding", &settings.encoding, kEncodingAscii);
  key.GetValue(L"EventLogEnabled", &settings.eventLogEnabled);
  if (!ReadPath(key, L"DebugLogIdent", &settings.fileIdent)) settings.fileIdent = settings.logIdent;
  key.GetValue(L"EventLogTimeThreshold", &levels.eventLogTimeThreshold, 60);
  ConfigureCrashDump(ReadCrashDumpValues(key));
}

PollChanges ReadPollValues(Registry& key, int32_t defaultFileLevel, DebugLoggerSettings& settings,
                           LoggerLevels& levels) {
  levels.file = LevelOr(key, L"DebugLogLevel", defaultFileLevel);
  levels.eventLog = LevelOr(key, L"EventLogLevel", 2);
  levels.syslog = LevelOr(key, L"SysLogLevel", 2);
  settings.consoleEnabled = ReadLevel(key, L"ConsoleLogLevel", &levels.console);
  if (!settings.consoleEnabled) levels.console = 3;
  key.GetValue(L"ConsoleLogEnabled", &settings.consoleEnabled);
  key.GetValue(L"DebugLogMaxDailyFileAge", &settings.fileAgeLimit, 0);
  key.GetValue(L"DebugLogEncoding", &settings.encoding, kEncodingAscii);
  key.GetValue(L"BlockingSyslog", &settings.blockingSyslog, true);
  key.GetValue(L"AddSyslogHeader", &settings.syslogHeader, true);
  PollChanges changes;
  changes.syslogEnabled = SwitchChanged(key, L"SysLogEnabled", !settings.syslogHostList.empty(),
                                        &settings.syslogEnabled);
  changes.fileEnabled = SwitchChanged(key, L"DebugLogEnabled", !settings.logFile.empty(), &settings.fileEnabled);
  changes.eventLogEnabled = SwitchChanged(key, L"EventLogEnabled", true, &settings.eventLogEnabled);
  key.GetValue(L"EventLogTimeThreshold", &levels.eventLogTimeThreshold, 60);
  return changes;
}

void ReadLogFileValue(DebugLoggerSettings& settings) {
  if (settings.registryKey.empty()) return;
  Registry key(settings.registryKey.c_str(), settings.perUser, false);
  if (key.Open()) ReadPath(key, L"DebugLogFile", &settings.logFile);
}

void ReadLogRootLocation(DebugLoggerSettings& settings) {
  if (settings.registryKey.empty()) return;
  const std::wstring parentPath = ParentPath(settings.registryKey);
  if (!parentPath.empty()) {
    Registry parent(parentPath.c_str(), settings.perUser, false);
    if (parent.Open()) {
      if (settings.logFile.empty()) ReadPath(parent, L"LogRoot", &settings.logFile);
      parent.GetValue(L"DailyLogFileFolder", &settings.dailyFolder, true);
      if (!ReadPath(parent, L"LogFilePrefix", &settings.filePrefix)) settings.filePrefix.clear();
    }
  }
  if (settings.logFile.empty()) {
    ReadLogFileValue(settings);
    const size_t separator = settings.logFile.rfind(L'\\');
    if (separator != std::wstring::npos) settings.logFile.erase(separator);
  }
  std::wstring folder = settings.logFile;
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  settings.logFolder = folder;
  if (settings.logFile.empty() || settings.logFile.back() != L'\\') settings.logFile += L'\\';
  settings.logFile += L"_" + settings.logIdent + L"_" + settings.sourceName + L".txt";
}
