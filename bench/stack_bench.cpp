// StackBench: what a call-stack dump costs. Formats a call stack of 20 frames
// of our own, each with its symbol and source line (the first call, which
// loads DbgHelp and the symbols, and warm calls), beside
// RtlCaptureStackBackTrace of the same stack in the same run; then the dump of another, waiting thread into a sink that
// only counts lines, which is what DumpStackIfConfigured costs per dump; and
// the crash path's minidump of this small process (MiniDumpNormal), its size
// and the time WriteCrashDump takes.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <vector>

#include "support/logging/debug_logger.h"
#include "support/threads/crash_dump.h"
#include "support/threads/stack_trace.h"

#ifdef _MSC_VER
#define STACK_BENCH_NOINLINE __declspec(noinline)
#else
#define STACK_BENCH_NOINLINE __attribute__((noinline))
#endif

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kFrames = 20;
constexpr int kWarmRounds = 200;

double Microseconds(Clock::duration duration) { return std::chrono::duration<double, std::micro>(duration).count(); }

struct Figures {
  double median;
  double p99;
};

template <typename Work>
Figures Measure(int rounds, Work work) {
  std::vector<double> times;
  times.reserve(static_cast<size_t>(rounds));
  for (int i = 0; i < rounds; ++i) {
    const auto start = Clock::now();
    work();
    times.push_back(Microseconds(Clock::now() - start));
  }
  std::sort(times.begin(), times.end());
  return {times[times.size() / 2], times[std::min(times.size() - 1, times.size() * 99 / 100)]};
}

class CountingSink : public LogSink {
 public:
  void Write(ZELString&) override { lines.fetch_add(1, std::memory_order_relaxed); }
  std::atomic<long> lines{0};
};

STACK_BENCH_NOINLINE void MeasureAtDepth() {
  CONTEXT context;
  RtlCaptureContext(&context);
  void* frames[64];
  const int captured = RtlCaptureStackBackTrace(0, 64, frames, nullptr);

  ZELString first;
  const auto start = Clock::now();
  const DWORD result = FormatCallStack(GetCurrentThread(), &context, first);
  const double firstCall = Microseconds(Clock::now() - start);
  const Figures warm = Measure(kWarmRounds, [&] {
    ZELString text;
    FormatCallStack(GetCurrentThread(), &context, text);
  });
  const Figures capture = Measure(kWarmRounds * 10, [&] { RtlCaptureStackBackTrace(0, 64, frames, nullptr); });

  int symbols = 0;
  for (const wchar_t* at = first.GetWide(); at != nullptr && *at != 0; ++at) symbols += *at == L'!' ? 1 : 0;
  std::printf("stack of %d frames (RtlCaptureStackBackTrace); FormatCallStack: result %lu, %d frames named\n", captured,
              static_cast<unsigned long>(result), symbols);
  std::printf("| operation | median µs | p99 µs |\n|---|---:|---:|\n");
  std::printf("| FormatCallStack, first call | %.0f | |\n", firstCall);
  std::printf("| FormatCallStack, warm | %.1f | %.1f |\n", warm.median, warm.p99);
  std::printf("| RtlCaptureStackBackTrace | %.2f | %.2f |\n", capture.median, capture.p99);
  std::printf("| ratio, warm format / capture | %.0fx | |\n", warm.median / capture.median);
}

// Recurses until this frame, the ones above it and main make kFrames frames
// of our own, every one with a symbol and a source line; the volatile store
// after the call keeps every level's frame.
STACK_BENCH_NOINLINE int Descend(int depth) {
  if (depth == kFrames - 3) {
    MeasureAtDepth();
    return depth;
  }
  volatile int below = Descend(depth + 1);
  return below;
}

DWORD WINAPI Waiting(void* release) {
  WaitForSingleObject(static_cast<HANDLE>(release), INFINITE);
  return 0;
}

void MeasureOtherThread() {
  HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  HANDLE thread = CreateThread(nullptr, 0, Waiting, release, 0, nullptr);
  Sleep(50);
  CountingSink sink;
  AttachSink(&sink);
  const Figures dump = Measure(50, [&] { DumpThreadCallStack(thread); });
  DetachSink();
  SetEvent(release);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  CloseHandle(release);
  std::printf("| DumpThreadCallStack of a waiting thread, %ld lines each | %.0f | %.0f |\n", sink.lines.load() / 50,
              dump.median, dump.p99);
}

// A made-up exception at a captured context, dumped as the crash path would.
void MeasureCrashDump() {
  wchar_t temp[MAX_PATH];
  if (GetTempPathW(MAX_PATH, temp) == 0) return;
  const std::filesystem::path folder = std::filesystem::path(temp) / L"StackBenchDumps";
  std::error_code ignored;
  std::filesystem::create_directories(folder, ignored);
  CrashDumpSettings settings;
  settings.folder = folder.wstring();
  settings.count = 1;
  ConfigureCrashDump(settings);
  alignas(16) CONTEXT context;
  RtlCaptureContext(&context);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(context.Rip);
  EXCEPTION_POINTERS pointers = {&record, &context};
  CountingSink sink;
  AttachSink(&sink);
  constexpr int kDumps = 5;
  int written = 0;
  uintmax_t size = 0;
  std::vector<double> times;
  for (int i = 0; i < kDumps; ++i) {
    const auto start = Clock::now();
    written += WriteCrashDump(&pointers, GetCurrentThreadId()) ? 1 : 0;
    times.push_back(Microseconds(Clock::now() - start));
    // Out of the way of the next dump, whose name may carry the same second.
    for (const auto& entry : std::filesystem::directory_iterator(folder, ignored)) {
      size = entry.file_size(ignored);
      std::filesystem::remove(entry.path(), ignored);
    }
  }
  DetachSink();
  std::sort(times.begin(), times.end());
  std::filesystem::remove(folder, ignored);
  ConfigureCrashDump(CrashDumpSettings());
  std::printf("| WriteCrashDump, MiniDumpNormal, %d of %d written, %ju bytes | %.0f | %.0f (max) |\n", written, kDumps,
              size, times[kDumps / 2], times.back());
}

}  // namespace

int main() {
  Descend(0);
  MeasureOtherThread();
  MeasureCrashDump();
  return 0;
}
