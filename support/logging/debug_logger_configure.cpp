// The DebugLogger's configuration operations, setters and getters, and the
// free functions that reach them on the process-wide logger.

#include <cstring>

#include "support/fs/code_page.h"
#include "support/logging/debug_logger.h"
#include "support/registry/registry.h"

namespace {

constexpr int32_t kHighestLevel = 15;
constexpr int32_t kHighestInstanceNumber = 998;
constexpr DWORD kReadyPollMilliseconds = 100;

// Narrow configuration text is in the thread's ANSI code page.
std::wstring FromThreadCodePage(const char* text) {
  return text == nullptr ? std::wstring() : NarrowToWide(text, CP_THREAD_ACP);
}

std::wstring Text(const wchar_t* text) { return text == nullptr ? std::wstring() : std::wstring(text); }

bool IsLevel(int32_t level) { return level >= 0 && level <= kHighestLevel; }

// Waits while the thread runs and the logger is not ready yet.
bool WaitUntilReady(bool started) {
  if (!started) return false;
  DebugLogger& logger = GetDebugLogger();
  while (!logger.IsReady()) {
    if (!logger.IsRunning()) return false;
    Sleep(kReadyPollMilliseconds);
  }
  return true;
}

}  // namespace

LoggerLevels DebugLogger::CurrentLevels() const {
  return {GetDebugLogLevel(), GetEventLogLevel(), GetSysLogLevel(), GetConsoleLogLevel(), GetEventLogTimeThreshold()};
}

void DebugLogger::ApplyLevels(const LoggerLevels& levels) {
  fileLevel_ = levels.file;
  eventLogLevel_ = levels.eventLog;
  syslogLevel_ = levels.syslog;
  consoleLevel_ = levels.console;
  eventLogTimeThreshold_ = levels.eventLogTimeThreshold;
  RecomputeHighestLevel();
}

int DebugLogger::WriteRegistryValue(const wchar_t* name, int32_t value) {
  Registry key(HKEY_LOCAL_MACHINE, settings_.registryKey.c_str(), false);
  if (!key.Open(true)) return -1;
  return key.SetValue(name, value) ? 1 : 0;
}

bool DebugLogger::Configure(const DebugLoggerConfig& config) {
  {
    ScopedLock guard(settingsLock_);
    settings_.sourceName = FromThreadCodePage(config.sourceName.get());
    settings_.logFile = FromThreadCodePage(config.logFile.get());
    settings_.syslogHostList = config.syslogHostList.get();
    settings_.syslogFacility = config.syslogFacility;
    settings_.fileSizeLimit = config.fileSizeLimit;
    settings_.dailyFile = config.dailyFile;
    settings_.queueLimit = config.queueLimit;
    settings_.fileAgeLimit = config.fileAgeLimit;
    settings_.blockingSyslog = config.blockingSyslog;
    settings_.syslogHeader = config.syslogHeader;
    settings_.autoRoll = config.autoRoll;
    settings_.fileListener = config.fileListener;
    fileLevel_ = config.fileLevel;
    eventLogLevel_ = config.eventLogLevel;
    syslogLevel_ = config.syslogLevel;
    if (IsLevel(config.consoleLevel)) {
      consoleLevel_ = config.consoleLevel;
      settings_.consoleEnabled = true;
    }
    RecomputeHighestLevel();
    fileDateReset_ = true;
    settings_.registryPolling = false;
  }
  SetDebugLogEncoding(config.encoding);
  return Start();
}

bool DebugLogger::ConfigureFromRegistry(const wchar_t* registryKey, bool perUser) {
  {
    ScopedLock guard(settingsLock_);
    settings_.syslogHostList.clear();
    settings_.registryKey = Text(registryKey);
    settings_.perUser = perUser;
    settings_.fileIdent = settings_.logIdent;
    if (!settings_.registryKey.empty()) {
      Registry key(settings_.registryKey.c_str(), perUser, true);
      if (key.Open()) {
        LoggerLevels levels = CurrentLevels();
        ReadStartValues(key, GetDefaultDebugLogLevel(), settings_, levels);
        ApplyLevels(levels);
      }
    }
    fileDateReset_ = true;
  }
  return Start();
}

bool DebugLogger::ConfigureWithLogFile(const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                                       const wchar_t* defaultLogFile, LogFileListener* listener) {
  {
    ScopedLock guard(settingsLock_);
    settings_.sourceName = Text(sourceName);
    settings_.logFile = Text(defaultLogFile);
    settings_.registryKey = Text(registryKey);
    settings_.perUser = perUser;
    settings_.fileListener = listener;
    ReadLogFileValue(settings_);
  }
  return ConfigureFromRegistry(registryKey, perUser);
}

bool DebugLogger::ConfigureWithLogFile(const char* sourceName, const char* registryKey, bool perUser,
                                       const char* defaultLogFile, LogFileListener* listener) {
  return ConfigureWithLogFile(FromThreadCodePage(sourceName).c_str(), FromThreadCodePage(registryKey).c_str(),
                              perUser, FromThreadCodePage(defaultLogFile).c_str(), listener);
}

bool DebugLogger::ConfigureWithLogRoot(const wchar_t* logIdent, const wchar_t* sourceName,
                                       const wchar_t* registryKey, bool perUser, const wchar_t* defaultLogFolder,
                                       LogFileListener* listener) {
  {
    ScopedLock guard(settingsLock_);
    settings_.logRootNaming = true;
    if (settings_.instanceNumber == 0) settings_.instanceNumber = 1;
    settings_.sourceName = Text(sourceName);
    settings_.logIdent = Text(logIdent);
    settings_.logFile = Text(defaultLogFolder);
    settings_.registryKey = Text(registryKey);
    settings_.perUser = perUser;
    settings_.fileListener = listener;
    ReadLogRootLocation(settings_);
  }
  return ConfigureFromRegistry(registryKey, perUser);
}

bool DebugLogger::ConfigureWithLogRoot(const char* logIdent, const char* sourceName, const char* registryKey,
                                       bool perUser, const char* defaultLogFolder, LogFileListener* listener) {
  return ConfigureWithLogRoot(FromThreadCodePage(logIdent).c_str(), FromThreadCodePage(sourceName).c_str(),
                              FromThreadCodePage(registryKey).c_str(), perUser,
                              FromThreadCodePage(defaultLogFolder).c_str(), listener);
}

bool DebugLogger::SetDebugLogLevel(int32_t level) {
  if (level > kHighestLevel) return false;
  ScopedLock guard(settingsLock_);
  if (!settings_.registryKey.empty() && WriteRegistryValue(L"DebugLogLevel", level) == 0) return false;
  SetFileOutputLevel(level);
  return true;
}

void DebugLogger::SetDefaultDebugLogLevel(int32_t level) {
  if (IsLevel(level)) SetDefaultFileLevel(level);
}

void DebugLogger::SetDebugLogEncoding(int32_t encoding) {
  if (encoding < kEncodingAscii || encoding > kEncodingUtf16LE) return;
  ScopedLock guard(settingsLock_);
  settings_.encoding = encoding;
  if (!settings_.registryKey.empty()) WriteRegistryValue(L"DebugLogEncoding", encoding);
}

void DebugLogger::SetInstanceNumber(int32_t number) {
  if (number < 1 || number > kHighestInstanceNumber) return;
  ScopedLock guard(settingsLock_);
  settings_.instanceNumber = number;
}

void DebugLogger::SetFileOpenedListener(LogFileListener* listener) {
  ScopedLock guard(settingsLock_);
  settings_.fileListener = listener;
}

void DebugLogger::SetMessageModule(const wchar_t* name) {
  ScopedLock guard(settingsLock_);
  settings_.messageModule = Text(name);
}

void DebugLogger::SetMessageModule(const char* name) { SetMessageModule(FromThreadCodePage(name).c_str()); }

void DebugLogger::SetLogIdent(const wchar_t* name) {
  ScopedLock guard(settingsLock_);
  settings_.logIdent = Text(name);
}

void DebugLogger::SetLogIdent(const char* name) { SetLogIdent(FromThreadCodePage(name).c_str()); }

bool DebugLogger::SetSplitLines(bool split) {
  ScopedLock guard(settingsLock_);
  const bool previous = settings_.splitLines;
  settings_.splitLines = split;
  return previous;
}

void DebugLogger::SetReportEnvironmentOnOpen(bool report) {
  ScopedLock guard(settingsLock_);
  settings_.reportEnvironmentOnOpen = report;
}

void DebugLogger::SetDailyFile(bool daily) {
  ScopedLock guard(settingsLock_);
  settings_.dailyFile = daily;
}

int DebugLogger::GetDebugLogFileName(char* buffer, int length) {
  if (buffer == nullptr || length <= 0) return 0;
  ScopedLock guard(settingsLock_);
  if (!settings_.fileEnabled || settings_.logFile.empty()) return 0;
  const std::string name = WideToNarrow(settings_.logFile, CP_THREAD_ACP);
  const size_t copied = std::min(name.size(), static_cast<size_t>(length - 1));
  memcpy(buffer, name.data(), copied);
  buffer[copied] = '\0';
  return static_cast<int>(copied);
}

bool DebugLogger::IsFileLoggingActive() {
  ScopedLock guard(settingsLock_);
  return settings_.fileEnabled && fileOpen_.load();
}

bool StartDebugLogger(const DebugLoggerConfig& config) { return WaitUntilReady(GetDebugLogger().Configure(config)); }

bool StartDebugLogger(const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                      const wchar_t* defaultLogFile, LogFileListener* listener) {
  return WaitUntilReady(
      GetDebugLogger().ConfigureWithLogFile(sourceName, registryKey, perUser, defaultLogFile, listener));
}

bool StartDebugLogger(const char* sourceName, const char* registryKey, bool perUser, const char* defaultLogFile,
                      LogFileListener* listener) {
  return WaitUntilReady(
      GetDebugLogger().ConfigureWithLogFile(sourceName, registryKey, perUser, defaultLogFile, listener));
}

bool StartDebugLogger(const wchar_t* logIdent, const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                      const wchar_t* defaultLogFolder, LogFileListener* listener) {
  return WaitUntilReady(GetDebugLogger().ConfigureWithLogRoot(logIdent, sourceName, registryKey, perUser,
                                                              defaultLogFolder, listener));
}

bool StartDebugLogger(const char* logIdent, const char* sourceName, const char* registryKey, bool perUser,
                      const char* defaultLogFolder, LogFileListener* listener) {
  return WaitUntilReady(GetDebugLogger().ConfigureWithLogRoot(logIdent, sourceName, registryKey, perUser,
                                                              defaultLogFolder, listener));
}

bool StartDebugLogger(const wchar_t* logIdent, const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                      const wchar_t* defaultLogFolder) {
  return GetDebugLogger().ConfigureWithLogRoot(logIdent, sourceName, registryKey, perUser, defaultLogFolder,
                                               nullptr);
}

void FlushAndStopDebugLogger() {
  if (HasNoSink()) GetDebugLogger().StopWithin(kLoggerStopMilliseconds);
}

bool SetDebugLogLevel(int32_t level) { return GetDebugLogger().SetDebugLogLevel(level); }
void SetDefaultDebugLogLevel(int32_t level) { GetDebugLogger().SetDefaultDebugLogLevel(level); }
void SetDebugLogEncoding(int32_t encoding) { GetDebugLogger().SetDebugLogEncoding(encoding); }
void SetInstanceNumber(int32_t number) { GetDebugLogger().SetInstanceNumber(number); }
void SetFileOpenedListener(LogFileListener* listener) { GetDebugLogger().SetFileOpenedListener(listener); }
void SetMessageModule(const wchar_t* name) { GetDebugLogger().SetMessageModule(name); }
void SetMessageModule(const char* name) { GetDebugLogger().SetMessageModule(name); }
void SetLogIdent(const wchar_t* name) { GetDebugLogger().SetLogIdent(name); }
void SetLogIdent(const char* name) { GetDebugLogger().SetLogIdent(name); }
bool SetSplitLines(bool split) { return GetDebugLogger().SetSplitLines(split); }
void SetReportEnvironmentOnOpen(bool report) { GetDebugLogger().SetReportEnvironmentOnOpen(report); }
void SetDailyFile(bool daily) { GetDebugLogger().SetDailyFile(daily); }
int GetDebugLogFileName(char* buffer, int length) { return GetDebugLogger().GetDebugLogFileName(buffer, length); }
bool IsFileLoggingActive() { return GetDebugLogger().IsFileLoggingActive(); }
