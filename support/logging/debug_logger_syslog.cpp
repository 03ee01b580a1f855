// Syslog's place in the logger thread's work. The syslog output itself
// (targets, connections, message format) is not part of this library yet:
// with no targets these calls have nothing to do.

#include "support/logging/debug_logger.h"

void DebugLogger::StartSyslog() {}

void DebugLogger::ConnectSyslogTargets() {}

void DebugLogger::SendSyslog(const SYSTEMTIME&, DWORD, int32_t, const char*, uint32_t, const char*) {}

void DebugLogger::StopSyslog() {}
