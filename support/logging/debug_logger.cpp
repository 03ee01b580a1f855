#include "support/logging/debug_logger.h"

#include "support/environment/environment_report.h"
#include "support/logging/syslog_output.h"

#include <algorithm>

namespace {

constexpr int64_t kTicksPerMinute = 600000000;  // 100 ns units
constexpr DWORD kCrashQueueMilliseconds = 100;

// Leaves a lock entered before it was made.
class EnteredLock {
 public:
  explicit EnteredLock(CriticalSectionLock& lock) : lock_(lock) {}
  ~EnteredLock() { lock_.Leave(); }
  EnteredLock(const EnteredLock&) = delete;
  EnteredLock& operator=(const EnteredLock&) = delete;

 private:
  CriticalSectionLock& lock_;
};

int64_t FileTimeTicks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// The local time of an entry. The platform's local-time query costs about a
// microsecond under Wine; the offset from UTC only changes on the hour (or
// when the time zone is changed), so it is read once per UTC minute and kept
// with that minute in one word: the UTC minute above, the offset in minutes
// (biased to stay positive) in the low 16 bits.
void LocalTimeNow(SYSTEMTIME& local) {
  static std::atomic<int64_t> minuteAndOffset{-1};
  FILETIME utc;
  GetSystemTimeAsFileTime(&utc);
  const int64_t ticks = FileTimeTicks(utc);
  const int64_t minute = ticks / kTicksPerMinute;
  int64_t cached = minuteAndOffset.load(std::memory_order_relaxed);
  if (cached < 0 || (cached >> 16) != minute) {
    SYSTEMTIME localNow;
    SYSTEMTIME utcNow;
    GetLocalTime(&localNow);
    GetSystemTime(&utcNow);
    FILETIME localFile;
    FILETIME utcFile;
    SystemTimeToFileTime(&localNow, &localFile);
    SystemTimeToFileTime(&utcNow, &utcFile);
    const int64_t difference = FileTimeTicks(localFile) - FileTimeTicks(utcFile);
    // Whole minutes, rounded: the two queries may straddle a tick.
    const int64_t offset = (difference + (difference < 0 ? -1 : 1) * kTicksPerMinute / 2) / kTicksPerMinute;
    cached = (minute << 16) | ((offset + 0x8000) & 0xFFFF);
    minuteAndOffset.store(cached, std::memory_order_relaxed);
  }
  const int64_t localTicks = ticks + ((cached & 0xFFFF) - 0x8000) * kTicksPerMinute;
  const FILETIME localFile = {static_cast<DWORD>(localTicks), static_cast<DWORD>(localTicks >> 32)};
  FileTimeToSystemTime(&localFile, &local);
}

}  // namespace

DebugLogger::DebugLogger()
    : Thread("DebugLogger"),
      syslog_(std::make_unique<SyslogOutput>([](const std::wstring& text) { DebugLog(4, L"%s", text.c_str()); })),
      environmentReport_(std::make_unique<::ReportEnvironment>()) {}

DebugLogger::~DebugLogger() {
  // Entries logged from other statics' destructors are dropped from here on.
  SetReady(false);
  sink_ = nullptr;
  // The thread uses the members below: it must end before they go. It runs
  // here only at a program's exit (a module it started stays loaded while it
  // runs); one still held by an output after the bound is ended as the exit
  // would end it a moment later.
  if (!StopWithin(kLoggerStopMilliseconds) && !IsCurrentThread() && GetHandle() != nullptr) {
    TerminateThread(GetHandle(), ERROR_TIMEOUT);
  }
}

bool DebugLogger::StopWithin(DWORD milliseconds) {
  bool stopped = false;
  Thread::Stop(static_cast<int32_t>(milliseconds), stopped);
  return stopped;
}

bool DebugLogger::WaitUntilTaken(DWORD milliseconds) {
  if (IsCurrentThread()) return queued_.load() == 0;
  const DWORD start = GetTickCount();
  entryQueued_.Set();
  while (queued_.load() != 0) {
    if (GetTickCount() - start >= milliseconds) return false;
    Sleep(10);
  }
  return true;
}

bool DebugLogger::TakeOverForCrash(DWORD milliseconds) {
  crashThread_ = GetCurrentThreadId();
  const DWORD start = GetTickCount();
  const auto left = [&] {
    const DWORD spent = GetTickCount() - start;
    return spent < milliseconds ? milliseconds - spent : 0;
  };
  // Half the time at most: under a steady stream of entries the queue never
  // empties, and the file must still be had.
  WaitUntilTaken(milliseconds / 2);
  // The logger thread takes the outputs again for no further entry: retaken
  // at once after each, the lock would hardly ever be found free.
  crashWantsOutputs_ = true;
  // Kept until the process ends: the logger thread writes no more.
  if (outputLock_.TryEnter(left())) {
    if (file_.IsOpen()) {
      crashFileTaken_ = true;
      SetReady(true);
      // The queue's lock is only tried: its holder may wait for a lock the
      // crashing thread holds.
      if (queueLock_.TryEnter(left())) {
        const EnteredLock entered(queueLock_);
        for (const auto& entry : queue_) WriteForCrash(*entry);
        queue_.clear();
        queued_ = 0;
      }
      return true;
    }
    outputLock_.Leave();
  }
  // The logger goes on: the report may still reach the other outputs.
  crashWantsOutputs_ = false;
  return false;
}

void DebugLogger::CloseForCrash() {
  if (crashFileTaken_.load() && crashThread_.load() == GetCurrentThreadId()) file_.Close();
}

void DebugLogger::WriteForCrash(const LogEntry& entry) {
  const wchar_t* text = entry.text.HasText() ? entry.text.GetWide() : L"";
  file_.WriteEntry(entry.time, entry.threadId, entry.level, text, entry.eventId, entry.userTag.GetWide());
}

bool DebugLogger::AttachSink(LogSink* sink) {
  if (sink == nullptr) return false;
  sink_.store(sink, std::memory_order_release);
  SetReady(true);
  return true;
}

void DebugLogger::DetachSink() {
  SetReady(false);
  sink_.store(nullptr, std::memory_order_release);
}

void DebugLogger::SetLevel(std::atomic<int32_t>& output, int32_t level) {
  output = level;
  RecomputeHighestLevel();
}

void DebugLogger::RecomputeHighestLevel() {
  highestLevel_ = std::max({GetDebugLogLevel(), GetEventLogLevel(), GetSysLogLevel(), GetConsoleLogLevel()});
}

void DebugLogger::QueueEntry(std::unique_ptr<LogEntry> entry, int32_t level, uint32_t eventId,
                             const ZELString& userTag) {
  entry->eventId = eventId;
  entry->threadId = GetCurrentThreadId();
  entry->level = level;
  entry->userTag = userTag;
  entry->text.Strip(ZELString::kStripTrailing);
  entry->introducesFile = entry->threadId == GetThreadId() && reportIntroducesFile_;
  LocalTimeNow(entry->time);
  const bool crashing = crashThread_.load() == GetCurrentThreadId();
  if (crashFileTaken_.load()) {
    // Only the crash report goes on; no other thread may hold it up.
    if (crashing) WriteForCrash(*entry);
    return;
  }
  // The crashing thread never waits long for the queue: the lock's holder
  // may wait for a lock the crashing thread holds.
  if (crashing) {
    if (!queueLock_.TryEnter(kCrashQueueMilliseconds)) return;
  } else {
    queueLock_.Enter();
  }
  const EnteredLock entered(queueLock_);
  // The stopping logger clears ready under this lock before its last
  // drain, so an entry either gets into that drain or is refused here.
  if (!IsReady()) return;
  if (entry->introducesFile) {
    // Ahead of the entries queued before the file opened, in report order,
    // so that the file starts with its report. Nothing is taken meanwhile:
    // the logger thread, the only taker, is running the report.
    const auto at = queue_.begin() + static_cast<std::ptrdiff_t>(std::min(introducedEntries_, queue_.size()));
    queue_.insert(at, std::move(entry));
    ++queued_;
    ++introducedEntries_;
    return;
  }
  AppendEntry(std::move(entry));
}

void DebugLogger::AppendEntry(std::unique_ptr<LogEntry> entry) {
  ScopedLock guard(queueLock_);
  queue_.push_back(std::move(entry));
  ++queued_;
  if (loggerWaiting_) {
    loggerWaiting_ = false;
    entryQueued_.Set();
  }
}

std::unique_ptr<LogEntry> DebugLogger::TakeOldestEntry(size_t& remaining) {
  ScopedLock guard(queueLock_);
  std::unique_ptr<LogEntry> oldest;
  if (!queue_.empty()) {
    oldest = std::move(queue_.front());
    queue_.pop_front();
    --queued_;
  }
  remaining = queue_.size();
  return oldest;
}


DebugLogger& GetDebugLogger() { return debugLogger; }

bool IsDebugLoggerReady() { return debugLogger.IsReady(); }
bool HasNoSink() { return debugLogger.HasNoSink(); }
bool AttachSink(LogSink* sink) { return debugLogger.AttachSink(sink); }
void DetachSink() { debugLogger.DetachSink(); }
int32_t GetDebugLogLevel() { return debugLogger.GetDebugLogLevel(); }
int32_t GetEventLogLevel() { return debugLogger.GetEventLogLevel(); }
int32_t GetSysLogLevel() { return debugLogger.GetSysLogLevel(); }
int32_t GetConsoleLogLevel() { return debugLogger.GetConsoleLogLevel(); }
int32_t GetEventLogTimeThreshold() { return debugLogger.GetEventLogTimeThreshold(); }
