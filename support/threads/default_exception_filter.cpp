#include <cstdlib>

#include "support/fs/unique_handle.h"
#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/threads/crash_dump.h"
#include "support/threads/crash_report.h"
#include "support/threads/exception_filter.h"

namespace {

struct CrashReport {
  EXCEPTION_POINTERS* exception;
  DWORD threadId;
};

void WriteCrashReport(const CrashReport& report) {
  DebugLog(1, "DefaultHandler - exception caught thread Id=0x%X", static_cast<unsigned>(report.threadId));
  DebugLog(1, "DefaultHandler - Killing program");
  LogExceptionReport(report.exception);
  WriteCrashDump(report.exception, report.threadId);
}

DWORD WINAPI WriteCrashReportThread(void* report) {
  WriteCrashReport(*static_cast<const CrashReport*>(report));
  return 0;
}

}  // namespace

// After a stack overflow the faulting thread has a few pages of stack left,
// too few for formatting and DbgHelp: the report is then written by a thread
// with a stack of its own while the faulting one waits.
LONG WINAPI DefaultExceptionFilter(EXCEPTION_POINTERS* exception) {
  const CrashReport report = {exception, GetCurrentThreadId()};
  const bool overflow = exception != nullptr && exception->ExceptionRecord != nullptr &&
                        exception->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
  const UniqueHandle writer(overflow ? CreateThread(nullptr, 0, WriteCrashReportThread,
                                                    const_cast<CrashReport*>(&report), 0, nullptr)
                                     : nullptr);
  if (writer) {
    WaitForSingleObject(writer.get(), INFINITE);
  } else {
    WriteCrashReport(report);
  }
  // Every queued entry, the report included, reaches its outputs first.
  FlushAndStopDebugLogger();
  // At once: no exit handlers, no static destructors.
  _exit(-2);
}
