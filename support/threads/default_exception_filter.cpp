#include <cstdlib>

#include "support/logging/debug_log.h"
#include "support/threads/exception_filter.h"

// The crash report comes between the announcement and the exit; the process
// ends at once either way, with no exit handlers run.
LONG WINAPI DefaultExceptionFilter(EXCEPTION_POINTERS*) {
  DebugLog(1, "DefaultHandler - exception caught thread Id=0x%X", GetCurrentThreadId());
  DebugLog(1, "DefaultHandler - Killing program");
  _exit(-2);
}
