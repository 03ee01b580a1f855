// The logger thread's use of the syslog output: the settings it is started,
// connected and fed with, from the thread's own copy of the settings.

#include "support/logging/debug_logger.h"
#include "support/logging/syslog_output.h"

void DebugLogger::StartSyslog() {
  if (outputSettings_.syslogEnabled) syslog_->Start(outputSettings_.syslogHostList);
}

void DebugLogger::ConnectSyslogTargets() {
  ScopedLock output(outputLock_);
  syslog_->Connect();
}

void DebugLogger::SendSyslog(const SYSTEMTIME& time, DWORD threadId, int32_t level, const char* text,
                             uint32_t eventId, const char* userTag, bool mayWait) {
  syslog_->Send({time, threadId, level, eventId, text, userTag, outputSettings_.syslogFacility,
                outputSettings_.syslogHeader, outputSettings_.activeSourceName.c_str()},
               GetSysLogLevel(), mayWait && outputSettings_.blockingSyslog);
}

void DebugLogger::StopSyslog() { syslog_->Stop(); }
