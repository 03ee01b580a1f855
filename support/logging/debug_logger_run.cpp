// The DebugLogger's thread: it opens the outputs, becomes ready, and then
// every 200 ms (or when stopped) writes all queued entries, watching the
// queue's length against its limit, and polls the registry every 30 s.

#include "support/environment/environment_report.h"
#include "support/logging/console_output.h"
#include "support/logging/debug_logger.h"
#include "support/logging/registry_poll.h"
#include "support/registry/registry.h"
#include "support/text/zel_string.h"
#include "support/threads/structured_exception_translation.h"

namespace {

constexpr DWORD kWakeMilliseconds = 200;
constexpr DWORD kReopenRetryMilliseconds = 300000;

constexpr wchar_t kQueueExceeded[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Exceeded, EVENTMSG=\"Dropping messages except for log file\"";
constexpr wchar_t kQueueThreshold[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Warning, EVENTMSG=\"Event queue has exceeded 75%\"";
constexpr wchar_t kQueueBelowHalf[] =
    L"[DIAG] EVENT=DebugLog_Max_Event_Queue_Threshold_Enabled, EVENTMSG=\"Event queue has dropped below 50%, "
    L"re-enabling all logging.\"";
constexpr wchar_t kDispatchException[] =
    L"[DIAG] EVENT=DebugLog_Exception, EVENTMSG=\"DebugLog thread exception handled.\"";

bool Takes(int32_t outputLevel, int32_t level) { return level <= outputLevel || level == kAlwaysLoggedLevel; }

bool IsToday(const std::tm& date) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  return date.tm_year + 1900 == now.wYear && date.tm_mon + 1 == now.wMonth && date.tm_mday == now.wDay;
}

}  // namespace

void DebugLogger::Run() {
  StructuredExceptionTranslation translation;
  {
    ScopedLock guard(settingsLock_);
    settings_.activeSourceName = settings_.sourceName;
    StartSyslog();
    if (settings_.eventLogEnabled) eventLog_.Open(settings_.activeSourceName, settings_.messageModule);
    file_.Reopen();
  }
  SetReady(true);
  if (environmentReportPending_.exchange(false)) RunEnvironmentReport();
  DWORD lastReopenTick = GetTickCount();
  DWORD lastPollTick = lastReopenTick;
  while (true) {
    ConnectSyslogTargets();
    const bool stopping = StopEvent().Wait(kWakeMilliseconds) == 1;
    DrainQueue(stopping, lastReopenTick);
    if (stopping) break;
    // Unsigned differences of tick counts survive the counter's wrap.
    if (settings_.registryPolling && GetTickCount() - lastPollTick > RegistryPollMilliseconds() &&
        !settings_.registryKey.empty()) {
      lastPollTick = GetTickCount();
      PollRegistry();
    }
  }
  ScopedLock guard(settingsLock_);
  file_.Close();
  eventLog_.Close();
  StopSyslog();
}

void DebugLogger::DrainQueue(bool stopping, DWORD& lastReopenTick) {
  while (true) {
    if (stopping) {
      // Under the queue's lock: an entry is either queued before this or
      // refused, never left behind after the last drain.
      ScopedLock guard(queueLock_);
      SetReady(false);
    }
    {
      ScopedLock guard(settingsLock_);
      const bool newDay = settings_.dailyFile && !IsToday(file_.GetFileDate());
      const bool retry =
          (!file_.IsOpen() || file_.IsFailed()) && GetTickCount() - lastReopenTick > kReopenRetryMilliseconds;
      if (settings_.fileEnabled && (newDay || retry)) {
        file_.Reopen();
        lastReopenTick = GetTickCount();
      }
    }
    size_t remaining = 0;
    const std::unique_ptr<LogEntry> entry = TakeOldestEntry(remaining);
    if (!entry) return;
    try {
      ScopedLock guard(settingsLock_);
      DispatchEntry(*entry, remaining);
    } catch (...) {
      // Translated faults included: the entry is lost for the outputs it had
      // not reached yet, and the thread goes on.
      ScopedLock guard(settingsLock_);
      Announce(entry->time, 1, kDispatchException);
    }
  }
}

void DebugLogger::DispatchEntry(const LogEntry& entry, size_t remaining) {
  TrackQueueLength(entry.time, remaining);
  const wchar_t* text = entry.text.HasText() ? entry.text.GetWide() : L"";
  Deliver(entry.time, entry.threadId, entry.level, text, entry.eventId, entry.userTag.GetWide(), queueDropping_);
}

void DebugLogger::TrackQueueLength(const SYSTEMTIME& time, size_t remaining) {
  const int32_t limit = settings_.queueLimit;
  if (limit <= 0) return;
  const int64_t waiting = static_cast<int64_t>(remaining);
  if (waiting > limit) {
    if (!queueDropping_) Announce(time, 0, kQueueExceeded);
    queueDropping_ = true;
  } else if (waiting > limit * 3 / 4) {
    if (!queueWarned_) Announce(time, 1, kQueueThreshold);
    queueWarned_ = true;
  } else if (waiting < limit / 2) {
    if (queueDropping_) Announce(time, 1, kQueueBelowHalf);
    queueDropping_ = false;
    queueWarned_ = false;
  }
}

void DebugLogger::Deliver(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text,
                          uint32_t eventId, const wchar_t* userTag, bool fileOnly) {
  if (!fileOnly) {
    if (settings_.eventLogEnabled && Takes(GetEventLogLevel(), level)) eventLog_.Report(level, text, eventId);
    if (settings_.consoleEnabled && Takes(GetConsoleLogLevel(), level)) {
      WriteConsoleLine(time, threadId, level, text, eventId);
    }
    if (settings_.syslogEnabled && !settings_.syslogHostList.empty()) {
      const ZELString narrowText(text);
      const bool tagged = userTag != nullptr && *userTag != L'\0';
      const ZELString narrowTag(tagged ? userTag : L"");
      SendSyslog(time, threadId, level, narrowText.GetNarrow(), eventId, tagged ? narrowTag.GetNarrow() : nullptr);
    }
  }
  const wchar_t* fileTag = fileOnly || userTag == nullptr ? L"" : userTag;
  file_.WriteEntry(time, threadId, level, text, eventId, fileTag);
}

void DebugLogger::Announce(const SYSTEMTIME& time, int32_t level, const wchar_t* text) {
  Deliver(time, GetCurrentThreadId(), level, text, 0, nullptr, false);
}

void DebugLogger::PollRegistry() {
  ScopedLock guard(settingsLock_);
  Registry key(settings_.registryKey.c_str(), settings_.perUser, true);
  if (!key.Open()) return;
  LoggerLevels levels = CurrentLevels();
  const PollChanges changes = ReadPollValues(key, GetDefaultDebugLogLevel(), settings_, levels);
  key.Close();
  ApplyLevels(levels);
  if (changes.syslogEnabled) {
    if (settings_.syslogEnabled) {
      StartSyslog();
    } else {
      StopSyslog();
    }
  }
  if (changes.fileEnabled) {
    if (settings_.fileEnabled) {
      file_.Reopen();
    } else {
      file_.Close();
    }
  }
  if (changes.eventLogEnabled) {
    if (settings_.eventLogEnabled) {
      eventLog_.Open(settings_.activeSourceName, settings_.messageModule);
    } else {
      eventLog_.Close();
    }
  }
}

void DebugLogger::ReportEnvironment() {
  if (IsReady()) {
    RunEnvironmentReport();
  } else {
    environmentReportPending_ = true;
  }
}

void DebugLogger::RunEnvironmentReport() { environmentReport_->ReportEnvironmentVersions(); }
