// Measures, on the caller's thread, a DebugLog call with three arguments
// (an int, a wide string and a double) when
//   (a) the logger is not ready: the entry is checked and dropped,
//   (b) the level is filtered out,
//   (c) the entry is admitted: handed to a direct sink that counts, and
//   (c') queued for the logger thread (drained outside the timing),
// each beside a bare _snwprintf of the same text in the same run; and the
// timer thread's lateness over 1000 timers at mixed intervals.
// Prints its figures; asserts nothing.

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <vector>

#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/threads/timer.h"

namespace {

constexpr int kCallsPerRun = 2000;
constexpr int kRuns = 101;

double Now() {
  static const double frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(f.QuadPart);
  }();
  LARGE_INTEGER counter;
  QueryPerformanceCounter(&counter);
  return static_cast<double>(counter.QuadPart) / frequency;
}

// One measured case: its set-up, the call, and the untimed work after each run.
struct Case {
  const char* name;
  std::function<void()> enter;
  std::function<void(int)> call;
  std::function<void()> leave;
  std::vector<double> nanoseconds = {};  // per call, one sample per run
  std::vector<double> ratios = {};       // to the bare format of the same run
};

double Median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

// Runs every case once per round, the bare format first, so that the ratios
// compare runs made under the same load of this shared machine.
void MeasureInterleaved(std::vector<Case>& cases) {
  for (int run = 0; run < kRuns; ++run) {
    double bare = 0;
    for (auto& c : cases) {
      c.enter();
      const double start = Now();
      for (int i = 0; i < kCallsPerRun; ++i) c.call(i);
      const double perCall = (Now() - start) * 1e9 / kCallsPerRun;
      c.leave();
      if (&c == &cases.front()) bare = perCall;
      c.nanoseconds.push_back(perCall);
      c.ratios.push_back(perCall / bare);
    }
  }
}

class CountingSink : public LogSink {
 public:
  void Write(ZELString& text) override { count_ += text.Length() > 0 ? 1 : 0; }
  long count() const { return count_; }

 private:
  std::atomic<long> count_{0};
};

void DrainQueue() {
  size_t remaining = 0;
  while (GetDebugLogger().TakeOldestEntry(remaining) != nullptr) {
  }
}

void BenchEntryPoints() {
  DebugLogger& logger = GetDebugLogger();
  const auto log = [](int level, int i) { DebugLog(level, L"entry %d of %s at %f", i, L"bench run", 1.5 * i); };
  wchar_t buffer[1024];
  CountingSink sink;
  const auto nothing = [] {};
  std::vector<Case> cases = {
      {"bare _snwprintf of the same text", nothing,
       [&](int i) { _snwprintf(buffer, 1023, L"entry %d of %s at %f", i, L"bench run", 1.5 * i); }, nothing},
      {"(a) logger not ready: checked, dropped", nothing, [&](int i) { log(3, i); }, nothing},
      {"(b) level filtered out", nothing, [&](int i) { log(9, i); }, nothing},
      {"(c) admitted, direct counting sink", [&] { logger.AttachSink(&sink); }, [&](int i) { log(3, i); },
       [&] { logger.DetachSink(); }},
      {"(c') admitted, queued", [&] { logger.SetReady(true); }, [&](int i) { log(3, i); },
       [&] {
         logger.SetReady(false);
         DrainQueue();
       }},
  };
  MeasureInterleaved(cases);

  std::printf("DebugLog, 3 arguments, on the caller's thread (medians of %d interleaved runs of %d calls)\n", kRuns,
              kCallsPerRun);
  for (const auto& c : cases) {
    std::printf("  %-38s %8.1f ns  %5.2fx bare\n", c.name, Median(c.nanoseconds), Median(c.ratios));
  }
  std::printf("  (sink counted %ld entries)\n", sink.count());
}

class LatenessRecorder : public TimerListener {
 public:
  explicit LatenessRecorder(size_t expected) : expected_(expected) {}
  void OnTimer(Timer* timer) override {
    late_.push_back(static_cast<int32_t>(Timer::GetTickCount() - timer->GetDueTick()));
    if (late_.size() == expected_) done_.Set();
  }
  std::vector<int32_t> Wait() {
    done_.Wait(kWaitForever);
    return late_;
  }

 private:
  size_t expected_;
  std::vector<int32_t> late_;  // written on the timer thread only
  Event done_{true, false};
};

void BenchTimerLateness() {
  constexpr size_t kTimers = 1000;
  LatenessRecorder recorder(kTimers);
  std::mt19937 random(12345);
  std::vector<std::unique_ptr<Timer>> timers;
  for (size_t i = 0; i < kTimers; ++i) {
    timers.push_back(std::make_unique<Timer>(&recorder, static_cast<int32_t>(i), static_cast<int32_t>(random() % 2000)));
  }
  for (auto& timer : timers) timer->Start();
  std::vector<int32_t> late = recorder.Wait();
  std::sort(late.begin(), late.end());
  std::printf("Timer lateness, %zu timers at intervals 0..1999 ms (fired tick - due tick)\n", kTimers);
  std::printf("  median %d ms, p99 %d ms, max %d ms\n", late[late.size() / 2], late[late.size() * 99 / 100],
              late.back());
}

}  // namespace

int main() {
  BenchEntryPoints();
  BenchTimerLateness();
  return 0;
}
