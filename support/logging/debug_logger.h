#pragma once
// The process-wide diagnostic logger. The logging entry points on every
// thread consult its admission state without waiting for the logger thread:
// whether it is ready, the levels of its four outputs, an optional direct
// sink, and the locked queue that admitted entries go into. No operation of
// another thread waits for an output: the logger thread writes with a copy
// of the settings, never holding the lock the configuring threads take.
//
// Levels run 0..15, smaller is more important; an output takes an entry whose
// level is at most its own, and level 5 passes every output.

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>

#include "support/fs/critical_section_lock.h"
#include "support/logging/debug_log_file.h"
#include "support/logging/debug_logger_config.h"
#include "support/logging/event_log_output.h"
#include "support/logging/debug_log.h"
#include "support/logging/log_entry.h"
#include "support/threads/thread.h"

class ReportEnvironment;
class SyslogOutput;

// The level every output takes, used for reports about invalid entries.
constexpr int32_t kAlwaysLoggedLevel = 5;
// How long stopping the logger waits for its queue to reach the outputs.
constexpr DWORD kLoggerStopMilliseconds = 10000;

class DebugLogger : public Thread {
 public:
  DebugLogger();
  ~DebugLogger() override;

  bool IsReady() const { return ready_.load(std::memory_order_acquire); }
  void SetReady(bool ready) { ready_.store(ready, std::memory_order_release); }

  // Direct-sink mode: every admitted entry goes to the sink on the logging
  // thread; makes the logger ready. False for a null sink. Not owned.
  bool AttachSink(LogSink* sink);
  // Leaves direct-sink mode; the logger is no longer ready.
  void DetachSink();
  LogSink* GetSink() const { return sink_.load(std::memory_order_acquire); }
  bool HasNoSink() const { return GetSink() == nullptr; }

  int32_t GetDefaultDebugLogLevel() const { return defaultFileLevel_; }
  int32_t GetDebugLogLevel() const { return fileLevel_.load(std::memory_order_relaxed); }
  int32_t GetEventLogLevel() const { return eventLogLevel_.load(std::memory_order_relaxed); }
  int32_t GetSysLogLevel() const { return syslogLevel_.load(std::memory_order_relaxed); }
  int32_t GetConsoleLogLevel() const { return consoleLevel_.load(std::memory_order_relaxed); }
  int32_t GetHighestLevel() const { return highestLevel_.load(std::memory_order_relaxed); }
  int32_t GetEventLogTimeThreshold() const { return eventLogTimeThreshold_.load(std::memory_order_relaxed); }

  // Each stores its level and recomputes the highest level.
  void SetFileOutputLevel(int32_t level) { SetLevel(fileLevel_, level); }
  void SetEventLogOutputLevel(int32_t level) { SetLevel(eventLogLevel_, level); }
  void SetSysLogOutputLevel(int32_t level) { SetLevel(syslogLevel_, level); }
  void SetConsoleOutputLevel(int32_t level) { SetLevel(consoleLevel_, level); }
  void SetDefaultFileLevel(int32_t level) { defaultFileLevel_ = level; }
  void SetEventLogTimeThreshold(int32_t seconds) { eventLogTimeThreshold_.store(seconds, std::memory_order_relaxed); }
  void RecomputeHighestLevel();

  // Admits an entry whose text `format(ZELString&)` writes: to the sink,
  // on this thread, when one is attached; otherwise into the queue when some
  // output takes the level. The text loses its trailing white space. An
  // entry that cannot be allocated or queued is dropped.
  template <typename Format>
  void Admit(int32_t level, uint32_t eventId, const ZELString& userTag, const Format& format);
  // A throw while appending leaves the entry to its caller's unique_ptr.
  void AppendEntry(std::unique_ptr<LogEntry> entry);
  // The oldest entry (null when none) and how many remain after it.
  std::unique_ptr<LogEntry> TakeOldestEntry(size_t& remaining);

  // Stops the thread, waiting at most `milliseconds` for the queue to reach
  // the outputs; true when the thread has ended. A thread still busy with an
  // output that cannot take its entries is left to finish on its own.
  bool StopWithin(DWORD milliseconds);
  // For the crash path: lets the logger write what is queued for at most
  // `milliseconds`, then makes the calling thread the log file's only
  // writer: what the logger did not take and every entry the caller logs
  // from then on go straight to the open file. Never waits for the calling
  // thread itself, nor for longer than asked. False (entries are then
  // queued as before) when no file is open or the logger thread keeps the
  // outputs busy all that time. The process is meant to end soon after.
  bool TakeOverForCrash(DWORD milliseconds);
  // Ends the file as a stop would, on the thread that took it over.
  void CloseForCrash();
  // Waits at most `milliseconds` for the logger thread to take every queued
  // entry (never on that thread itself); true when the queue is empty.
  bool WaitUntilTaken(DWORD milliseconds);

  // --- Configuration (debug_logger_configure.cpp) ----------------------
  // Each changes the settings and answers whether the thread started (so
  // false also while it already runs; the new settings apply then too).
  bool Configure(const DebugLoggerConfig& config);
  bool ConfigureFromRegistry(const wchar_t* registryKey, bool perUser);
  bool ConfigureWithLogFile(const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                            const wchar_t* defaultLogFile, LogFileListener* listener);
  bool ConfigureWithLogFile(const char* sourceName, const char* registryKey, bool perUser,
                            const char* defaultLogFile, LogFileListener* listener);
  bool ConfigureWithLogRoot(const wchar_t* logIdent, const wchar_t* sourceName, const wchar_t* registryKey,
                            bool perUser, const wchar_t* defaultLogFolder, LogFileListener* listener);
  bool ConfigureWithLogRoot(const char* logIdent, const char* sourceName, const char* registryKey, bool perUser,
                            const char* defaultLogFolder, LogFileListener* listener);

  // Above 15: false. Writes DebugLogLevel to the key under
  // HKEY_LOCAL_MACHINE when it opens; a failed write is false.
  bool SetDebugLogLevel(int32_t level);
  void SetDefaultDebugLogLevel(int32_t level);
  // 0..2, also written to the key; the open file keeps its encoding.
  void SetDebugLogEncoding(int32_t encoding);
  void SetInstanceNumber(int32_t number);
  void SetFileOpenedListener(LogFileListener* listener);
  void SetMessageModule(const wchar_t* name);
  void SetMessageModule(const char* name);
  void SetLogIdent(const wchar_t* name);
  void SetLogIdent(const char* name);
  // Answers the previous value.
  bool SetSplitLines(bool split);
  void SetReportEnvironmentOnOpen(bool report);
  void SetDailyFile(bool daily);
  // The log file path in the thread's ANSI code page, cut to length - 1
  // characters; 0 when file logging is off or unconfigured.
  int GetDebugLogFileName(char* buffer, int length);
  bool IsFileLoggingActive();

  // Runs the environment report into the log: at once when the logger is
  // ready, else as soon as it is, so that the first file gets it too.
  void ReportEnvironment();

 protected:
  void Run() override;

 private:
  // Completes a queued entry's fields and appends it.
  void QueueEntry(std::unique_ptr<LogEntry> entry, int32_t level, uint32_t eventId, const ZELString& userTag);
  void SetLevel(std::atomic<int32_t>& output, int32_t level);

  std::atomic<bool> ready_{false};
  CriticalSectionLock queueLock_;
  std::deque<std::unique_ptr<LogEntry>> queue_;
  int32_t defaultFileLevel_ = 3;
  std::atomic<int32_t> fileLevel_{3};
  std::atomic<int32_t> eventLogLevel_{2};
  std::atomic<int32_t> syslogLevel_{2};
  std::atomic<int32_t> consoleLevel_{3};
  std::atomic<int32_t> highestLevel_{3};
  std::atomic<int32_t> eventLogTimeThreshold_{60};
  std::atomic<LogSink*> sink_{nullptr};
  // Entries in the queue, read without its lock by the crash path.
  std::atomic<size_t> queued_{0};
  // Set (under the queue's lock) while the logger thread waits for work
  // with an empty queue, so that the first entry queued wakes it.
  bool loggerWaiting_ = false;
  Event entryQueued_{false, false};
  // The thread writing a crash report (0: none), and whether it has taken
  // the log file over.
  std::atomic<DWORD> crashThread_{0};
  std::atomic<bool> crashFileTaken_{false};
  // Set by the crash path once it has given the logger its time.
  std::atomic<bool> crashWantsOutputs_{false};

  // --- The logger thread (debug_logger_run.cpp) ------------------------
  // Waits up to 200 ms for the first entry or the stop, or after a `busy`
  // pass a few ms for more; true when stopped.
  bool WaitForWork(bool busy);
  // Copies the settings for the outputs' use, so that no caller waits for
  // an output to change or read them.
  void RefreshOutputSettings();
  void NoteFileState() { fileOpen_ = file_.IsOpen(); }
  // True when it dispatched an entry.
  bool DrainQueue(bool stopping, DWORD& lastReopenTick);
  // On the crashing thread: the entry goes to the file at once.
  void WriteForCrash(const LogEntry& entry);
  void DispatchEntry(const LogEntry& entry, size_t remaining, bool stopping);
  void TrackQueueLength(const SYSTEMTIME& time, size_t remaining);
  // Delivers one text to the outputs in their order; with `fileOnly` to
  // the log file alone, without the user tag; syslog waits for a server's
  // buffer (a bounded time) only with `syslogMayWait`.
  void Deliver(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text, uint32_t eventId,
               const wchar_t* userTag, bool fileOnly, bool syslogMayWait);
  // A report of the logger itself, delivered at once, not queued.
  void Announce(const SYSTEMTIME& time, int32_t level, const wchar_t* text);
  void PollRegistry();
  void RunEnvironmentReport();
  // Syslog's part of the thread's work (debug_logger_syslog.cpp).
  void StartSyslog();
  void ConnectSyslogTargets();
  void SendSyslog(const SYSTEMTIME& time, DWORD threadId, int32_t level, const char* text, uint32_t eventId,
                  const char* userTag, bool mayWait);
  void StopSyslog();

  // --- Configuration helpers (debug_logger_configure.cpp) --------------
  LoggerLevels CurrentLevels() const;
  void ApplyLevels(const LoggerLevels& levels);
  // Writes one value of the key under HKEY_LOCAL_MACHINE: -1 when the key
  // does not open, else whether the write succeeded.
  int WriteRegistryValue(const wchar_t* name, int32_t value);

  // Guards the settings between the configuring threads and the logger
  // thread, which holds it only to copy them or to poll the registry.
  CriticalSectionLock settingsLock_;
  DebugLoggerSettings settings_;
  // Set by a configuration, applied by the logger thread.
  bool fileDateReset_ = false;
  // Held by whoever uses the outputs: the logger thread while it opens,
  // writes or closes them, or a crash report's writer for good.
  CriticalSectionLock outputLock_;
  // The logger thread's copy of the settings, which the outputs read.
  DebugLoggerSettings outputSettings_;
  DebugLogFile file_{*this, outputSettings_};
  std::atomic<bool> fileOpen_{false};
  EventLogOutput eventLog_;
  // Its connection events go through the logger like any entry. (Held by
  // pointer: its header brings in WinSock, which a host may include only
  // before <windows.h>.)
  std::unique_ptr<SyslogOutput> syslog_;
  // Notes the module's load time as the process start; reports through the
  // entry points. (Held by pointer: its header includes the entry points.)
  std::unique_ptr<::ReportEnvironment> environmentReport_;
  bool queueWarned_ = false;
  bool queueDropping_ = false;
  std::atomic<bool> environmentReportPending_{false};
  // Set while the logger thread runs the report into the file it opened,
  // with the number of its lines queued so far; used only on that thread.
  bool reportIntroducesFile_ = false;
  size_t introducedEntries_ = 0;
};

template <typename Format>
void DebugLogger::Admit(int32_t level, uint32_t eventId, const ZELString& userTag, const Format& format) {
  try {
    if (LogSink* sink = GetSink()) {
      ZELString text;
      format(text);
      text.Strip(ZELString::kStripTrailing);
      sink->Write(text);
    } else if (level <= GetHighestLevel() || level == kAlwaysLoggedLevel) {
      // Formatted in place: the entry's text is never copied.
      auto entry = std::make_unique<LogEntry>();
      format(entry->text);
      QueueEntry(std::move(entry), level, eventId, userTag);
    }
  } catch (const std::exception&) {
    // Out of memory: the entry is dropped, unreported.
  }
}

// The process-wide logger (support/library_objects.inc).
extern DebugLogger debugLogger;
DebugLogger& GetDebugLogger();

// The admission state of the process-wide logger, from any thread.
bool IsDebugLoggerReady();
bool HasNoSink();
bool AttachSink(LogSink* sink);
void DetachSink();
int32_t GetDebugLogLevel();
int32_t GetEventLogLevel();
int32_t GetSysLogLevel();
int32_t GetConsoleLogLevel();
int32_t GetEventLogTimeThreshold();

// The process-wide logger's configuration. The StartDebugLogger forms
// configure, then wait (polling every 100 ms) until the logger is ready;
// false when configuring fails or the thread ends first.
bool StartDebugLogger(const DebugLoggerConfig& config);
bool StartDebugLogger(const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                      const wchar_t* defaultLogFile, LogFileListener* listener);
bool StartDebugLogger(const char* sourceName, const char* registryKey, bool perUser, const char* defaultLogFile,
                      LogFileListener* listener);
bool StartDebugLogger(const wchar_t* logIdent, const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                      const wchar_t* defaultLogFolder, LogFileListener* listener);
bool StartDebugLogger(const char* logIdent, const char* sourceName, const char* registryKey, bool perUser,
                      const char* defaultLogFolder, LogFileListener* listener);
// Configures a log-root logger and returns without waiting.
bool StartDebugLogger(const wchar_t* logIdent, const wchar_t* sourceName, const wchar_t* registryKey, bool perUser,
                      const wchar_t* defaultLogFolder);
// Returns once every queued entry is written and the outputs are closed,
// or after kLoggerStopMilliseconds when an output cannot take its entries;
// the logger thread then writes what it holds when it can, and ends.
void FlushAndStopDebugLogger();
bool SetDebugLogLevel(int32_t level);
void SetDefaultDebugLogLevel(int32_t level);
void SetDebugLogEncoding(int32_t encoding);
void SetInstanceNumber(int32_t number);
void SetFileOpenedListener(LogFileListener* listener);
void SetMessageModule(const wchar_t* name);
void SetMessageModule(const char* name);
void SetLogIdent(const wchar_t* name);
void SetLogIdent(const char* name);
bool SetSplitLines(bool split);
void SetReportEnvironmentOnOpen(bool report);
void SetDailyFile(bool daily);
int GetDebugLogFileName(char* buffer, int length);
bool IsFileLoggingActive();
