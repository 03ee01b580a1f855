// crash and stack: the crash diagnostics from the command line. crash raises
// a fault a few calls deep under the library's default handler, whose report
// goes to the log before the process ends with -2, optionally while holding
// a lock other threads need or on another thread; stack logs the calling
// thread's stack.

#include <windows.h>

#include <string>

#include "support/fs/unique_handle.h"
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
enum class HeldLock { kNone, kHeap, kLoader };
enum class FaultThread { kCaller, kLogger, kWorker };

// How long the command waits for a faulting thread to end the process.
constexpr DWORD kFaultWaitMilliseconds = 60000;

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

template <typename Value>
struct Choice {
  const wchar_t* name;
  Value value;
};

const Choice<FaultKind> kFaultKinds[] = {{L"access", FaultKind::kAccess},
                                         {L"divide", FaultKind::kDivide},
                                         {L"overflow", FaultKind::kOverflow},
                                         {L"raise", FaultKind::kRaise}};
const Choice<HeldLock> kHeldLocks[] = {{L"heap", HeldLock::kHeap}, {L"loader", HeldLock::kLoader}};
const Choice<FaultThread> kFaultThreads[] = {{L"logger", FaultThread::kLogger}, {L"worker", FaultThread::kWorker}};

template <typename Value, size_t kCount>
bool TakeChoice(tools::ArgumentList& args, const std::wstring& item, const Choice<Value> (&choices)[kCount],
                const wchar_t* complaint, Value& value) {
  std::wstring text;
  if (!args.TakeText(item, &text)) return false;
  for (const auto& choice : choices) {
    if (text != choice.name) continue;
    value = choice.value;
    return true;
  }
  return args.Fail(complaint);
}

using LockLoaderLock = LONG(NTAPI*)(ULONG flags, ULONG* disposition, ULONG_PTR* cookie);

LockLoaderLock FindLoaderLock() {
  return reinterpret_cast<LockLoaderLock>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "LdrLockLoaderLock")));
}

struct FaultPlan {
  FaultKind kind = FaultKind::kAccess;
  HeldLock held = HeldLock::kNone;
};

// Takes the lock and faults with it held: it is never released.
ZELTOOL_NOINLINE int FaultHolding(const FaultPlan& plan) {
  if (plan.held == HeldLock::kHeap) HeapLock(GetProcessHeap());
  if (plan.held == HeldLock::kLoader) {
    ULONG_PTR cookie = 0;
    FindLoaderLock()(0, nullptr, &cookie);
  }
  return HandleCommand(plan.kind);
}

DWORD WINAPI FaultOnWorker(void* plan) {
  faultResult = FaultHolding(*static_cast<const FaultPlan*>(plan));
  return 0;
}

// Faults on the logger's thread when its first log file is opened.
class FaultingListener : public LogFileListener {
 public:
  explicit FaultingListener(const FaultPlan& plan) : plan_(plan) {}
  void OnLogFileOpened() override { faultResult = FaultHolding(plan_); }

 private:
  FaultPlan plan_;
};

}  // namespace

const char kCrashUsage[] =
    "  crash [--kind access|divide|overflow|raise] [--holding heap|loader] [--thread logger|worker] LOGGER-OPTIONS\n"
    "        faults on purpose under the default handler; the report goes to the log, exit code -2;\n"
    "        --holding faults while holding the process heap's lock or the loader lock; --thread faults\n"
    "        on the logger's thread (from its file listener, at the first open) or on a new worker thread\n";
const char kStackUsage[] = "  stack LOGGER-OPTIONS\n        logs the calling thread's stack\n";

int RunCrash(int argc, wchar_t** argv) {
  LoggerOptions options;
  FaultPlan plan;
  FaultThread where = FaultThread::kCaller;
  const bool parsed = ParseLoggerCommandLine(
      argc, argv, "ZelTool crash", kCrashUsage, options, [&](tools::ArgumentList& args, const std::wstring& item) {
        if (item == L"--kind") {
          return TakeChoice(args, item, kFaultKinds, L"--kind takes access, divide, overflow or raise", plan.kind);
        }
        if (item == L"--holding") return TakeChoice(args, item, kHeldLocks, L"--holding takes heap or loader", plan.held);
        if (item == L"--thread") return TakeChoice(args, item, kFaultThreads, L"--thread takes logger or worker", where);
        return args.RejectUnknown(item);
      });
  if (!parsed) return kExitUsage;
  if (plan.held == HeldLock::kLoader && FindLoaderLock() == nullptr) {
    PrintError(L"crash", L"this system offers no way to take the loader lock");
    return kExitFailed;
  }
  // Installed first: the logger's thread may fault while it starts.
  DefaultHandler handler(nullptr);
  FaultingListener listener(plan);
  if (!StartLogger(L"crash", options, where == FaultThread::kLogger ? &listener : nullptr)) return kExitLoggerNotReady;
  if (where == FaultThread::kCaller) faultResult = FaultHolding(plan);
  if (where == FaultThread::kWorker) {
    const UniqueHandle worker(CreateThread(nullptr, 0, FaultOnWorker, &plan, 0, nullptr));
    if (worker) WaitForSingleObject(worker.get(), kFaultWaitMilliseconds);
  }
  // Reached only when the fault did not end the process.
  PrintError(L"crash", L"the fault did not end the process");
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
