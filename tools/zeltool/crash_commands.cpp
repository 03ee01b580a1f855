// crash and stack: the crash diagnostics from the command line. crash raises
// a fault a few calls deep under the library's default handler, whose report
// goes to the log before the process ends with -2; stack logs the calling
// thread's stack.

#include <windows.h>

#include <cstdio>
#include <string>

#include "support/logging/debug_logger.h"
#include "support/threads/exception_filter.h"
#include "support/threads/stack_trace.h"
#include "tools/zeltool/commands.h"
#include "tools/zeltool/logger_options.h"

#ifdef _MSC_VER
#define ZELTOOL_NOINLINE __declspec(noinline)
#else
#define ZELTOOL_NOINLINE __attribute__((noinline))
#endif

namespace zeltool {
namespace {

enum class FaultKind { kAccess, kDivide, kOverflow, kRaise };

// Outside the system's table of names, so the report shows what the system
// says of it (or nothing).
constexpr DWORD kRaisedCode = 0xE0465257;

// Volatile, so that the compiler cannot see the fault coming and turn it into
// a trap of its own or drop the recursion.
volatile int* volatile faultAddress = nullptr;
volatile int divisor = 0;
volatile bool keepRecursing = true;

// The store after the call keeps every level's frame alive, so the
// recursion cannot become a loop.
ZELTOOL_NOINLINE int Recurse(int depth) {
  volatile char frame[512];
  frame[0] = static_cast<char>(depth);
  if (!keepRecursing) return frame[0];
  const int below = Recurse(depth + 1);
  frame[1] = static_cast<char>(below);
  return below + frame[1];
}

ZELTOOL_NOINLINE int RaiseFault(FaultKind kind) {
  switch (kind) {
    case FaultKind::kAccess:
      *faultAddress = 1;
      return 0;
    case FaultKind::kDivide:
      return 1 / divisor;
    case FaultKind::kOverflow:
      return Recurse(0);
    case FaultKind::kRaise:
      RaiseException(kRaisedCode, EXCEPTION_NONCONTINUABLE, 0, nullptr);
      return 0;
  }
  return 0;
}

// Two frames of our own between the command and the fault; the additions
// keep the calls from becoming jumps that would leave no frame.
ZELTOOL_NOINLINE int ProcessRequest(FaultKind kind) { return RaiseFault(kind) + 1; }
ZELTOOL_NOINLINE int HandleCommand(FaultKind kind) { return ProcessRequest(kind) + 1; }

const char kCrashUsage[] =
    "  crash [--kind access|divide|overflow|raise] LOGGER-OPTIONS\n"
    "        faults on purpose under the default handler; the report goes to the log, exit code -2\n";
const char kStackUsage[] = "  stack LOGGER-OPTIONS\n        logs the calling thread's stack\n";

bool StartOrReport(const LoggerOptions& options) {
  if (StartLogger(options)) return true;
  std::fputs("ZelTool: the logger did not become ready\n", stderr);
  return false;
}

int RunCrash(int argc, wchar_t** argv) {
  LoggerOptions options;
  FaultKind kind = FaultKind::kAccess;
  const bool parsed = ParseLoggerCommandLine(argc, argv, kCrashUsage, options,
                                             [&](tools::ArgumentList& args, const std::wstring& option) {
                                               if (option != L"--kind") return args.RejectUnknown(option);
                                               std::wstring value;
                                               if (!args.TakeText(option, &value)) return false;
                                               const struct {
                                                 const wchar_t* name;
                                                 FaultKind kind;
                                               } kKinds[] = {{L"access", FaultKind::kAccess},
                                                             {L"divide", FaultKind::kDivide},
                                                             {L"overflow", FaultKind::kOverflow},
                                                             {L"raise", FaultKind::kRaise}};
                                               for (const auto& entry : kKinds) {
                                                 if (value == entry.name) {
                                                   kind = entry.kind;
                                                   return true;
                                                 }
                                               }
                                               return args.Fail(L"--kind takes access, divide, overflow or raise");
                                             });
  if (!parsed) return kExitUsage;
  if (!StartOrReport(options)) return kExitLoggerNotReady;
  DefaultHandler handler;
  HandleCommand(kind);
  // Not reached: the default filter ends the process.
  FlushAndStopDebugLogger();
  return kExitFailed;
}

ZELTOOL_NOINLINE int DumpOwnStack() {
  CONTEXT context;
  RtlCaptureContext(&context);
  return DumpCallStack(GetCurrentThread(), &context);
}

int RunStack(int argc, wchar_t** argv) {
  LoggerOptions options;
  if (!ParseLoggerCommandLine(argc, argv, kStackUsage, options, nullptr)) return kExitUsage;
  if (!StartOrReport(options)) return kExitLoggerNotReady;
  const int dumped = DumpOwnStack();
  FlushAndStopDebugLogger();
  if (dumped != 0) return kExitOk;
  std::fputs("ZelTool: the symbol engine could not be initialised\n", stderr);
  return kExitFailed;
}

}  // namespace

const Command kCrashCommand = {L"crash", kCrashUsage, RunCrash};
const Command kStackCommand = {L"stack", kStackUsage, RunStack};

}  // namespace zeltool
