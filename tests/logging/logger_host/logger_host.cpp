// A host program of the logger tests: configures the process-wide logger
// with the console and the event log as outputs (no log file), logs a few
// entries and stops. Its standard output and the event log reports are
// checked by the test that starts it.

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"

int main() {
  DebugLoggerConfig config;
  config.fileLevel = 3;
  config.eventLogLevel = 3;
  config.consoleLevel = 3;
  lstrcpynA(config.sourceName.get(), "FernwickLoggerHost", kConfigNameBytes);
  if (!StartDebugLogger(config)) return 2;
  DebugLog(3, L"console \u00E9");
  DebugLogId(1, 0x40001234, L"error with id");
  DebugLog(2, L"warning");
  DebugLog(4, L"above every level");
  FlushAndStopDebugLogger();
  return 0;
}
