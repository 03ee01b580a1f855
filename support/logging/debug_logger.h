#pragma once
// The process-wide diagnostic logger. The logging entry points on every
// thread consult its admission state without waiting for the logger thread:
// whether it is ready, the levels of its four outputs, an optional direct
// sink, and the locked queue that admitted entries go into.
//
// Levels run 0..15, smaller is more important; an output takes an entry whose
// level is at most its own, and level 5 passes every output.

#include <atomic>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>

#include "support/fs/critical_section_lock.h"
#include "support/logging/log_entry.h"
#include "support/threads/thread.h"

// The level every output takes, used for reports about invalid entries.
constexpr int32_t kAlwaysLoggedLevel = 5;

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
