// crash and stack: the crash diagnostics from the command line. crash raises
// a fault a few calls deep under the library's default handler, whose report
// goes to the log before the process ends with -2; stack logs the calling
// thread's stack.

#include <windows.h>

#include <string>

#include "support/logging/debug_logger.h"
#include "support/threads/exception_filter.h"
#include "support/threads/stack_trace.h"
#include "tools/zeltool/commands.h"
#include "tools/zeltool/logger_options.h"
#include "tools/zeltool/output.h"

// Each function keeps its own frame and its own result: GCC would otherwise
// drop an unused result (and with it the division) and turn the calls into
// jumps that leave no frame.
#if defined(_MSC_VER)
#define ZELTOOL_NOINLINE __declspec(noinline)
#elif defined(__clang__)
#define ZELTOOL_NOINLINE __attribute__((noinline))
#else
#define ZELTOOL_NOINLINE __attribute__((noipa))
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
volatile int dividend = 1;
volatile int divisor = 0;
volatile bool keepRecursing = true;
volatile int faultResult = 0;

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
      return dividend / divisor;
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

const struct {
  const wchar_t* name;
  FaultKind kind;
} kFaultKinds[] = {{L"access", FaultKind::kAccess},
                   {L"divide", FaultKind::kDivide},
                   {L"overflow", FaultKind::kOverflow},
                   {L"raise", FaultKind::kRaise}};

}  // namespace

const char kCrashUsage[] =
    "  crash [--kind access|divide|overflow|raise] LOGGER-OPTIONS\n"
    "        faults on purpose under the default handler; the report goes to the log, exit code -2\n";
const char kStackUsage[] = "  stack LOGGER-OPTIONS\n        logs the calling thread's stack\n";

int RunCrash(int argc, wchar_t** argv) {
  LoggerOptions options;
  FaultKind kind = FaultKind::kAccess;
  const bool parsed = ParseLoggerCommandLine(
      argc, argv, "ZelTool crash", kCrashUsage, options, [&](tools::ArgumentList& args, const std::wstring& item) {
        if (item != L"--kind") return args.RejectUnknown(item);
        std::wstring value;
        if (!args.TakeText(item, &value)) return false;
        for (const auto& entry : kFaultKinds) {
          if (value != entry.name) continue;
          kind = entry.kind;
          return true;
        }
        return args.Fail(L"--kind takes access, divide, overflow or raise");
      });
  if (!parsed) return kExitUsage;
  if (!StartLogger(L"crash", options)) return kExitLoggerNotReady;
  DefaultHandler handler(nullptr);
  faultResult = HandleCommand(kind);
  // Not reached: the default filter ends the process.
  FlushAndStopDebugLogger();
  return kExitFailed;
}

namespace {

ZELTOOL_NOINLINE int DumpOwnStack() {
  CONTEXT context;
  RtlCaptureContext(&context);
  return DumpCallStack(GetCurrentThread(), &context);
}

}  // namespace

int RunStack(int argc, wchar_t** argv) {
  LoggerOptions options;
  if (!ParseLoggerCommandLine(argc, argv, "ZelTool stack", kStackUsage, options, nullptr)) return kExitUsage;
  if (!StartLogger(L"stack", options)) return kExitLoggerNotReady;
  const int dumped = DumpOwnStack();
  FlushAndStopDebugLogger();
  if (dumped != 0) return kExitOk;
  PrintError(L"stack", L"the symbol engine could not be initialised");
  return kExitFailed;
}

}  // namespace zeltool
