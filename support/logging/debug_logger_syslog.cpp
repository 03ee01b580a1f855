// The logger thread's use of the syslog output: the settings it is started,
// connected and fed with, under the settings lock where the thread reads them.

#include "support/logging/debug_logger.h"
#include "support/logging/syslog_output.h"

void DebugLogger::StartSyslog() {
  if (settings_.syslogEnabled) syslog_->Start(settings_.syslogHostList);
}

void DebugLogger::ConnectSyslogTargets() {
  bool blocking;
  {
    ScopedLock guard(settingsLock_);
    blocking = settings_.blockingSyslog;
  }
  // Connecting may wait; the configuring threads need not.
  syslog_->Connect(blocking);
}

void DebugLogger::SendSyslog(const SYSTEMTIME& time, DWORD threadId, int32_t level, const char* text,
                             uint32_t eventId, const char* userTag) {
  syslog_->Send({time, threadId, level, eventId, text, userTag, settings_.syslogFacility, settings_.syslogHeader,
                settings_.activeSourceName.c_str()},
               GetSysLogLevel());
}

void DebugLogger::StopSyslog() { syslog_->Stop(); }
