#pragma once
// The DebugLogger's configuration: the record taken by Configure, the
// settings the logger thread works with, and the reading of the logger's
// registry values, once at start and again at every poll of the running
// logger (each time with its own rules for missing or invalid values).

#include <cstdint>
#include <memory>
#include <string>

class Registry;

// Told after every successful (re)open of the log file, on the logger thread.
class LogFileListener {
 public:
  virtual void OnLogFileOpened() = 0;

 protected:
  ~LogFileListener() = default;
};

constexpr size_t kConfigNameBytes = 257;
constexpr size_t kConfigHostListBytes = 2048;

// The record of Configure. Its text fields are zero-filled narrow buffers
// (ANSI code page) of fixed size that the record owns.
struct DebugLoggerConfig {
  DebugLoggerConfig();
  DebugLoggerConfig(const DebugLoggerConfig&) = delete;
  DebugLoggerConfig& operator=(const DebugLoggerConfig&) = delete;

  int32_t fileLevel = 0;
  int32_t eventLogLevel = 0;
  int32_t syslogLevel = 0;
  // Only 0..15 is taken, and then also enables the console.
  int32_t consoleLevel = 0;
  uint32_t syslogFacility = 0;
  int32_t fileSizeLimit = 0;
  bool dailyFile = false;
  std::unique_ptr<char[]> sourceName;      // kConfigNameBytes
  std::unique_ptr<char[]> syslogHostList;  // kConfigHostListBytes
  std::unique_ptr<char[]> logFile;         // kConfigNameBytes
  int32_t queueLimit = 0;
  int32_t fileAgeLimit = 0;
  bool blockingSyslog = true;
  bool syslogHeader = true;
  bool autoRoll = false;
  LogFileListener* fileListener = nullptr;
  // Only 0..2 is taken.
  int32_t encoding = 1;
};

// The four output levels and the event-log throttling period, as the
// registry sets them; the logger applies them to its admission state.
struct LoggerLevels {
  int32_t file = 3;
  int32_t eventLog = 2;
  int32_t syslog = 2;
  int32_t console = 3;
  int32_t eventLogTimeThreshold = 60;
};

// Log file encodings.
constexpr int32_t kEncodingAscii = 0;
constexpr int32_t kEncodingUtf8 = 1;
constexpr int32_t kEncodingUtf16LE = 2;

struct DebugLoggerSettings {
  std::string syslogHostList;
  uint32_t syslogFacility = 0;
  bool registryPolling = true;
  bool perUser = false;
  std::wstring registryKey;
  std::wstring logIdent;
  std::wstring sourceName;
  std::wstring logFile;
  std::wstring messageModule;
  std::wstring activeSourceName;
  std::wstring logFolder;
  std::wstring filePrefix;
  std::wstring fileIdent;
  int32_t fileSizeLimit = 2000000;
  bool dailyFile = false;
  int32_t queueLimit = 0;
  int32_t fileAgeLimit = 0;
  bool blockingSyslog = true;
  bool syslogHeader = true;
  bool autoRoll = false;
  bool fileEnabled = true;
  bool syslogEnabled = true;
  bool consoleEnabled = false;
  bool eventLogEnabled = true;
  bool dailyFolder = false;
  int32_t instanceNumber = 0;
  bool logRootNaming = false;
  // Stored as configured; values other than 0..2 are written as ASCII.
  int32_t encoding = kEncodingAscii;
  bool splitLines = false;
  bool reportEnvironmentOnOpen = true;
  LogFileListener* fileListener = nullptr;

  int32_t EffectiveEncoding() const {
    return encoding == kEncodingUtf8 || encoding == kEncodingUtf16LE ? encoding : kEncodingAscii;
  }
};

// Which outputs a poll switched on or off; the logger thread acts on them.
struct PollChanges {
  bool syslogEnabled = false;
  bool fileEnabled = false;
  bool eventLogEnabled = false;
};

// Reads the values of an open key with the rules of the first configuration,
// and hands CrashDumpFolder, CrashDumpType and CrashDumpCount to the crash path.
void ReadStartValues(Registry& key, int32_t defaultFileLevel, DebugLoggerSettings& settings, LoggerLevels& levels);
// Reads the values of an open key with the rules of a running logger's poll.
PollChanges ReadPollValues(Registry& key, int32_t defaultFileLevel, DebugLoggerSettings& settings,
                           LoggerLevels& levels);

// The log-file location of a log-root configuration: with a key, LogRoot,
// DailyLogFileFolder and LogFilePrefix from its parent and DebugLogFile from
// the key itself; settings.logFile holds the default folder on entry and the
// marker path ending in "_ident_source.txt" on return.
void ReadLogRootLocation(DebugLoggerSettings& settings);
// DebugLogFile of the key, replacing settings.logFile when present.
void ReadLogFileValue(DebugLoggerSettings& settings);
