// A plug-in module of the logger tests: it links the library, so it has a
// process-wide logger and timer thread of its own, starts both, and stops
// them when its host asks.

#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/threads/timer.h"

namespace {
// Never due while the test runs: it only keeps the timer thread busy.
constexpr int32_t kTimerInterval = 600000;
Timer moduleTimer(kTimerInterval);
}  // namespace

extern "C" __declspec(dllexport) BOOL StartModuleThreads(const wchar_t* logFile) {
  if (!StartDebugLogger(L"FernwickLoggerModule", L"", false, logFile, nullptr)) return FALSE;
  DebugLog(3, L"module logger started");
  return moduleTimer.Start() ? TRUE : FALSE;
}

extern "C" __declspec(dllexport) void StopModuleThreads() {
  moduleTimer.Stop();
  StopTimerThread();
  FlushAndStopDebugLogger();
}
