// The DebugLogger's thread: it opens the outputs, becomes ready, and then,
// woken by the first entry queued (5 ms after its last pass while entries
// keep coming), every 200 ms, or when stopped, writes all queued entries, watching the queue's length against its limit, and polls
// the registry every 30 s. It works with its own copy of the settings and
// holds the output lock, never the settings lock, while it writes.

#include "support/environment/environment_report.h"
#include "support/logging/console_output.h"
#include "support/logging/debug_logger.h"
#include "support/logging/registry_poll.h"
#include "support/registry/registry.h"
#include "support/text/zel_string.h"
#include "support/threads/structured_exception_translation.h"

namespace {

constexpr DWORD kWakeMilliseconds = 200;
// After a pass that wrote entries the thread lets the next ones gather this
// long instead of being woken for each: every wake-up is a round trip to the
// system (to wineserver under Wine).
constexpr DWORD kGatherMilliseconds = 5;
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
  {
    ScopedLock guard(settingsLock_);
    settings_.activeSourceName = settings_.sourceName;
  }
  RefreshOutputSettings();
  {
    ScopedLock output(outputLock_);
    StartSyslog();
    if (outputSettings_.eventLogEnabled) eventLog_.Open(outputSettings_.activeSourceName, outputSettings_.messageModule);
    file_.Reopen();
    NoteFileState();
  }
  // From here on only: a fault in a file listener at the first open is a
  // crash of the process, not an entry lost.
  StructuredExceptionTranslation translation;
  SetReady(true);
  if (environmentReportPending_.exchange(false)) RunEnvironmentReport();
  DWORD lastReopenTick = GetTickCount();
  DWORD lastPollTick = lastReopenTick;
  bool busy = false;
  while (true) {
    ConnectSyslogTargets();
    const bool stopping = WaitForWork(busy);
    RefreshOutputSettings();
    busy = DrainQueue(stopping, lastReopenTick);
    if (stopping) break;
    // Unsigned differences of tick counts survive the counter's wrap.
    if (outputSettings_.registryPolling && GetTickCount() - lastPollTick > RegistryPollMilliseconds() &&
        !outputSettings_.registryKey.empty()) {
      lastPollTick = GetTickCount();
      PollRegistry();
    }
  }
  ScopedLock output(outputLock_);
  file_.Close();
  NoteFileState();
  eventLog_.Close();
  StopSyslog();
}

bool DebugLogger::WaitForWork(bool busy) {
  if (busy) {
    StopEvent().Wait(kGatherMilliseconds);
    return StopEvent().IsSignalled();
  }
  bool idle;
  {
    ScopedLock guard(queueLock_);
    idle = queue_.empty();
    loggerWaiting_ = idle;
  }
  Event* const events[] = {&StopEvent(), &entryQueued_};
  Event::WaitForAny(2, events, idle ? kWakeMilliseconds : 0, false);
  {
    ScopedLock guard(queueLock_);
    loggerWaiting_ = false;
  }
  return StopEvent().IsSignalled();
}

void DebugLogger::RefreshOutputSettings() {
  ScopedLock guard(settingsLock_);
  outputSettings_ = settings_;
  if (fileDateReset_) file_.SetFileDateToday();
  fileDateReset_ = false;
}

bool DebugLogger::DrainQueue(bool stopping, DWORD& lastReopenTick) {
  bool dispatched = false;
  if (stopping) {
    // Under the queue's lock: an entry is either queued before this or
    // refused, never left behind after the last drain.
    ScopedLock guard(queueLock_);
    SetReady(false);
  }
  // Per entry, so that a crash report can take the file over between two.
  while (!crashWantsOutputs_.load()) {
    ScopedLock output(outputLock_);
    const bool newDay = outputSettings_.dailyFile && !IsToday(file_.GetFileDate());
    const bool retry =
        (!file_.IsOpen() || file_.IsFailed()) && GetTickCount() - lastReopenTick > kReopenRetryMilliseconds;
    if (outputSettings_.fileEnabled && (newDay || retry)) {
      file_.Reopen();
      lastReopenTick = GetTickCount();
    }
    size_t remaining = 0;
    const std::unique_ptr<LogEntry> entry = TakeOldestEntry(remaining);
    if (!entry) break;
    dispatched = true;
    try {
      // A stopping logger does not wait for syslog's buffers: what is left
      // goes to the other outputs at their pace.
      DispatchEntry(*entry, remaining, stopping);
    } catch (...) {
      // Translated faults included: the entry is lost for the outputs it had
      // not reached yet, and the thread goes on.
      Announce(entry->time, 1, kDispatchException);
    }
  }
  NoteFileState();
  return dispatched;
}

void DebugLogger::DispatchEntry(const LogEntry& entry, size_t remaining, bool stopping) {
  TrackQueueLength(entry.time, remaining);
  const DebugLogFile::Introduction introduction(file_, entry.introducesFile);
  const wchar_t* text = entry.text.HasText() ? entry.text.GetWide() : L"";
  Deliver(entry.time, entry.threadId, entry.level, text, entry.eventId, entry.userTag.GetWide(), queueDropping_,
          !stopping);
}

void DebugLogger::TrackQueueLength(const SYSTEMTIME& time, size_t remaining) {
  const int32_t limit = outputSettings_.queueLimit;
  if (limit <= 0) return;
  const int64_t waiting = static_cast<int64_t>(remaining);
  if (waiting > limit) {
    if (!queueDropping_) Announce(time, 0, kQueueExceeded);
    queueDropping_ = true;
  } else if (waiting > static_cast<int64_t>(limit) * 3 / 4) {
    if (!queueWarned_) Announce(time, 1, kQueueThreshold);
    queueWarned_ = true;
  } else if (waiting < limit / 2) {
    if (queueDropping_) Announce(time, 1, kQueueBelowHalf);
    queueDropping_ = false;
    queueWarned_ = false;
  }
}

void DebugLogger::Deliver(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text,
                          uint32_t eventId, const wchar_t* userTag, bool fileOnly, bool syslogMayWait) {
  if (!fileOnly) {
    if (outputSettings_.eventLogEnabled && Takes(GetEventLogLevel(), level)) eventLog_.Report(level, text, eventId);
    if (outputSettings_.consoleEnabled && Takes(GetConsoleLogLevel(), level)) {
      WriteConsoleLine(time, threadId, level, text, eventId);
    }
    if (outputSettings_.syslogEnabled && !outputSettings_.syslogHostList.empty()) {
      const ZELString narrowText(text);
      const bool tagged = userTag != nullptr && *userTag != L'\0';
      const ZELString narrowTag(tagged ? userTag : L"");
      SendSyslog(time, threadId, level, narrowText.GetNarrow(), eventId, tagged ? narrowTag.GetNarrow() : nullptr,
                 syslogMayWait);
    }
  }
  const wchar_t* fileTag = fileOnly || userTag == nullptr ? L"" : userTag;
  file_.WriteEntry(time, threadId, level, text, eventId, fileTag);
}

void DebugLogger::Announce(const SYSTEMTIME& time, int32_t level, const wchar_t* text) {
  Deliver(time, GetCurrentThreadId(), level, text, 0, nullptr, false, true);
}

void DebugLogger::PollRegistry() {
  PollChanges changes;
  {
    ScopedLock guard(settingsLock_);
    Registry key(settings_.registryKey.c_str(), settings_.perUser, true);
    if (!key.Open()) return;
    LoggerLevels levels = CurrentLevels();
    changes = ReadPollValues(key, GetDefaultDebugLogLevel(), settings_, levels);
    key.Close();
    ApplyLevels(levels);
  }
  RefreshOutputSettings();
  ScopedLock output(outputLock_);
  if (changes.syslogEnabled) {
    if (outputSettings_.syslogEnabled) {
      StartSyslog();
    } else {
      StopSyslog();
    }
  }
  if (changes.fileEnabled) {
    if (outputSettings_.fileEnabled) {
      file_.Reopen();
    } else {
      file_.Close();
    }
    NoteFileState();
  }
  if (changes.eventLogEnabled) {
    if (outputSettings_.eventLogEnabled) {
      eventLog_.Open(outputSettings_.activeSourceName, outputSettings_.messageModule);
    } else {
      eventLog_.Close();
    }
  }
}

void DebugLogger::ReportEnvironment() {
  // A file the crash report rolls gets none: written by the crashing thread,
  // its lines would count as entries and roll the file again, without end.
  if (crashFileTaken_.load()) return;
  if (IsReady()) {
    RunEnvironmentReport();
  } else {
    environmentReportPending_ = true;
  }
}

void DebugLogger::RunEnvironmentReport() {
  // On the logger thread the report introduces the file just opened.
  const bool introduces = GetCurrentThreadId() == GetThreadId();
  if (introduces) {
    reportIntroducesFile_ = true;
    introducedEntries_ = 0;
  }
  environmentReport_->ReportEnvironmentVersions();
  if (introduces) reportIntroducesFile_ = false;
}
