#include "support/logging/debug_logger.h"

#include <algorithm>
#include <exception>

DebugLogger::DebugLogger() : Thread("DebugLogger") {}

DebugLogger::~DebugLogger() {
  // Entries logged from other statics' destructors are dropped from here on.
  SetReady(false);
  sink_ = nullptr;
  // The thread uses the members below: stop it before they go.
  Thread::Stop(-1);
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

void DebugLogger::SetFileOutputLevel(int32_t level) {
  fileLevel_ = level;
  RecomputeHighestLevel();
}

void DebugLogger::SetEventLogOutputLevel(int32_t level) {
  eventLogLevel_ = level;
  RecomputeHighestLevel();
}

void DebugLogger::SetSysLogOutputLevel(int32_t level) {
  syslogLevel_ = level;
  RecomputeHighestLevel();
}

void DebugLogger::SetConsoleOutputLevel(int32_t level) {
  consoleLevel_ = level;
  RecomputeHighestLevel();
}

void DebugLogger::RecomputeHighestLevel() {
  highestLevel_ = std::max({GetDebugLogLevel(), GetEventLogLevel(), GetSysLogLevel(), GetConsoleLogLevel()});
}

void DebugLogger::Queue(ZELString& text, const ZELString& userTag, int32_t level, uint32_t eventId) {
  text.Strip(ZELString::kStripTrailing);
  if (LogSink* sink = GetSink()) {
    sink->Write(text);
    return;
  }
  if (level > GetHighestLevel() && level != kAlwaysLoggedLevel) return;
  try {
    auto entry = std::make_unique<LogEntry>();
    entry->eventId = eventId;
    entry->threadId = GetCurrentThreadId();
    entry->level = level;
    entry->userTag = userTag;
    entry->text = text;
    GetLocalTime(&entry->time);
    // The stopping logger clears ready under this lock before its last
    // drain, so an entry either gets into that drain or is refused here.
    ScopedLock guard(queueLock_);
    if (!IsReady()) return;
    AppendEntry(std::move(entry));
  } catch (const std::exception&) {
    // Out of memory: the entry is dropped, unreported.
  }
}

void DebugLogger::AppendEntry(std::unique_ptr<LogEntry> entry) {
  ScopedLock guard(queueLock_);
  queue_.push_back(std::move(entry));
}

std::unique_ptr<LogEntry> DebugLogger::TakeOldestEntry(size_t& remaining) {
  ScopedLock guard(queueLock_);
  std::unique_ptr<LogEntry> oldest;
  if (!queue_.empty()) {
    oldest = std::move(queue_.front());
    queue_.pop_front();
  }
  remaining = queue_.size();
  return oldest;
}


namespace {
DebugLogger debugLogger;
}  // namespace

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
