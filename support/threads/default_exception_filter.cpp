#include <atomic>
#include <cstdlib>

#include "support/fs/unique_handle.h"
#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/threads/crash_dump.h"
#include "support/threads/crash_report.h"
#include "support/threads/exception_filter.h"

namespace {

// The crash path's bounds: the logger gets a few seconds to write what was
// queued before the crash, an overflow's report writer a few more; the
// process ends as soon as the report is written.
constexpr DWORD kLoggerWaitMilliseconds = 3000;
constexpr DWORD kWriterWaitMilliseconds = 6000;
// The process ends within 10 s of the fault whatever the report does; a
// stack walk that is slower than this (DbgHelp's first symbol load under a
// heavy load) is cut short rather than the host kept waiting. A dump the
// administrator asked for gets its own bound on top.
constexpr DWORD kCrashDeadlineMilliseconds = 9000;
constexpr UINT kCrashExitCode = static_cast<UINT>(-2);

DWORD CrashDumpAllowance() {
  return CrashDumpsEnabled() ? kCrashDumpStartMilliseconds + kCrashDumpWaitMilliseconds : 0;
}

DWORD CrashDeadline() { return kCrashDeadlineMilliseconds + CrashDumpAllowance(); }

VOID CALLBACK EndCrashedProcess(void*, BOOLEAN) {
  Sleep(CrashDeadline());
  TerminateProcess(GetCurrentProcess(), kCrashExitCode);
}

// Ends the process with -2 a fixed time after a crash began, should the
// report hang: DbgHelp takes the loader lock, which a thread stuck behind
// the heap lock the crashed thread holds may have. No thread can start then
// (a new thread takes the loader lock first), so the wait is registered
// beforehand and runs in the thread pool's wait thread, which exists already.
class CrashWatchdog {
 public:
  ~CrashWatchdog() { Disarm(); }

  void Arm() {
    if (wait_ != nullptr) return;
    crashed_.reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (crashed_ && !RegisterWaitForSingleObject(&wait_, crashed_.get(), EndCrashedProcess, nullptr, INFINITE,
                                                 WT_EXECUTEONLYONCE | WT_EXECUTEINWAITTHREAD)) {
      wait_ = nullptr;
    }
  }
  // Does not wait for the pool: safe under the loader lock.
  void Disarm() {
    if (wait_ != nullptr) UnregisterWait(wait_);
    wait_ = nullptr;
    crashed_.reset();
  }
  void Trigger() {
    if (crashed_) SetEvent(crashed_.get());
  }

 private:
  UniqueHandle crashed_;
  HANDLE wait_ = nullptr;
};

CrashWatchdog crashWatchdog;
// The thread whose fault is being reported (0: none yet).
std::atomic<DWORD> reportingThread{0};

struct CrashReport {
  EXCEPTION_POINTERS* exception;
  DWORD threadId;
};

void WriteCrashReport(const CrashReport& report) {
  // The report's lines go straight to the log file from here when the
  // logger thread cannot take them: it may be the crashed thread, or wait
  // for a lock the crashed thread holds.
  DebugLogger& logger = GetDebugLogger();
  const bool fileTaken = logger.TakeOverForCrash(kLoggerWaitMilliseconds);
  DebugLog(1, "DefaultHandler - exception caught thread Id=0x%X", static_cast<unsigned>(report.threadId));
  DebugLog(1, "DefaultHandler - Killing program");
  LogExceptionReport(report.exception);
  // Before the file is closed: the dump's outcome is a line of the report.
  WriteCrashDump(report.exception, report.threadId);
  if (fileTaken) {
    logger.CloseForCrash();
  } else {
    // Without a file the other outputs get the report, if the logger can.
    logger.WaitUntilTaken(kLoggerWaitMilliseconds);
  }
}

DWORD WINAPI WriteCrashReportThread(void* report) {
  WriteCrashReport(*static_cast<const CrashReport*>(report));
  return 0;
}

}  // namespace

void ArmCrashWatchdog() { crashWatchdog.Arm(); }

void DisarmCrashWatchdog() { crashWatchdog.Disarm(); }

// After a stack overflow the faulting thread has a few pages of stack left,
// too few for formatting and DbgHelp: the report is then written by a thread
// with a stack of its own while the faulting one waits, for a bounded time.
// Nothing here waits for the logger to stop: the report is on file when the
// writer returns, and the process ends at once, with no exit handlers, no
// static destructors and no module's detach code that could wait for a
// thread stuck behind a lock the crashed thread holds.
LONG WINAPI DefaultExceptionFilter(EXCEPTION_POINTERS* exception) {
  crashWatchdog.Trigger();
  DWORD reporting = 0;
  if (!reportingThread.compare_exchange_strong(reporting, GetCurrentThreadId())) {
    // One report at a time: a second one would take the log file from the
    // first mid-report. The first thread ends the process (the watchdog if it
    // cannot); a fault within the report itself ends it at once.
    if (reporting != GetCurrentThreadId()) Sleep(CrashDeadline());
    TerminateProcess(GetCurrentProcess(), kCrashExitCode);
    _exit(-2);
  }
  const CrashReport report = {exception, GetCurrentThreadId()};
  const bool overflow = exception != nullptr && exception->ExceptionRecord != nullptr &&
                        exception->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW;
  const UniqueHandle writer(overflow ? CreateThread(nullptr, 0, WriteCrashReportThread,
                                                    const_cast<CrashReport*>(&report), 0, nullptr)
                                     : nullptr);
  if (writer) {
    WaitForSingleObject(writer.get(), kWriterWaitMilliseconds + CrashDumpAllowance());
  } else {
    WriteCrashReport(report);
  }
  TerminateProcess(GetCurrentProcess(), kCrashExitCode);
  _exit(-2);
}
