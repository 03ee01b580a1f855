#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/thread_names.h"
#include "support/threads/thread.h"
#include "tests/common/recording_sink.h"

namespace {

// Runs until stopped, or, when `ignoreStop`, until the test releases it.
class Worker : public Thread {
 public:
  using Thread::Thread;
  using Thread::Stop;
  ~Worker() override { Release(); Thread::Stop(-1); }

  bool ignoreStop = false;
  Event started{true, false};
  Event released{true, false};
  std::atomic<bool> finished{false};
  std::atomic<DWORD> runningId{0};

  bool StopSignalled() { return StopEvent().IsSignalled(); }
  void Release() { released.Set(); }

 protected:
  void Run() override {
    runningId = GetCurrentThreadId();
    started.Set();
    Event* stop = &StopEvent();
    Event* release = &released;
    Event* const waits[] = {ignoreStop ? release : stop};
    Event::WaitForAny(1, waits, kWaitForever, false);
    finished = true;
  }
};

// The names the registry holds, by walking it to the end.
std::map<DWORD, std::string> RegisteredNames() {
  std::map<DWORD, std::string> names;
  ThreadNameRegistry::Iterator position;
  DWORD id = 0;
  std::string name;
  for (bool more = GetThreadNameRegistry().FirstThreadName(position, id, name); more;
       more = GetThreadNameRegistry().NextThreadName(position, id, name)) {
    names[id] = name;
  }
  return names;
}

TEST(Thread, StartsOnceRunsRegisteredUnderItsNameAndStartsAgainAfterStop) {
  RecordingSink sink;
  const struct {
    std::function<Worker*()> make;
    std::string registeredAs;
  } cases[] = {
      {[] { return new Worker("Narrow"); }, "Narrow"},
      {[] { return new Worker(L"Wide\u00e9"); }, "Wide\xe9"},
      {[] { return new Worker(); }, "Unnamed"},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Worker> worker(c.make());
    ASSERT_TRUE(worker->Start());
    EXPECT_FALSE(worker->Start()) << "a second Start while running";
    ASSERT_EQ(worker->started.Wait(kWaitForever), 1);
    EXPECT_TRUE(worker->IsRunning());
    EXPECT_EQ(worker->GetThreadId(), worker->runningId.load());
    EXPECT_EQ(RegisteredNames()[worker->GetThreadId()], c.registeredAs);

    worker->Stop();
    EXPECT_TRUE(worker->finished);
    EXPECT_EQ(worker->GetHandle(), nullptr);
    EXPECT_FALSE(worker->IsRunning());
    EXPECT_EQ(RegisteredNames().count(worker->GetThreadId()), 0u);

    // Again, with the stop event reset for the new thread.
    worker->finished = false;
    worker->started.Reset();
    ASSERT_TRUE(worker->Start());
    ASSERT_EQ(worker->started.Wait(kWaitForever), 1);
    EXPECT_FALSE(worker->finished);
    bool stopped = false;
    worker->Stop(-1, stopped);
    EXPECT_TRUE(stopped);
    EXPECT_TRUE(worker->finished);
    EXPECT_EQ(worker->GetHandle(), nullptr);
  }
  EXPECT_TRUE(sink.StartingWith(L"Thread::Start()").empty()) << "a refused Start logs nothing";
  EXPECT_EQ(sink.StartingWith(L"[DIAG] EVENT=Register_thread").size(), 6u);
  EXPECT_EQ(sink.StartingWith(L"[DIAG] EVENT=Unregister_thread").size(), 6u);
}

TEST(Thread, StopOnANeverStartedThreadReturnsAtOnce) {
  Worker worker;
  worker.Stop();
  worker.Stop(0);
  bool stopped = false;
  worker.Stop(0, stopped);
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(worker.StopSignalled());
  EXPECT_FALSE(worker.IsRunning());
}

// With a flag a thread that did not end is kept; without one it is
// reported and abandoned, never terminated.
TEST(Thread, AHungThreadIsKeptWithAFlagAndOtherwiseReportedAndAbandoned) {
  RecordingSink sink;
  Worker worker;
  worker.ignoreStop = true;
  ASSERT_TRUE(worker.Start());
  ASSERT_EQ(worker.started.Wait(kWaitForever), 1);
  const DWORD id = worker.GetThreadId();
  const auto handle = reinterpret_cast<uint64_t>(worker.GetHandle());
  HANDLE watch = OpenThread(SYNCHRONIZE, FALSE, id);
  ASSERT_NE(watch, nullptr);

  bool stopped = true;
  worker.Stop(0, stopped);
  EXPECT_FALSE(stopped);
  EXPECT_NE(worker.GetHandle(), nullptr);
  EXPECT_TRUE(worker.IsRunning());
  EXPECT_EQ(sink.StartingWith(L"Thread::Stop() - Timeout exceeded.  Thread not stopped. thread Id=0x").size(), 1u);

  worker.Stop(0);
  EXPECT_EQ(worker.GetHandle(), nullptr);
  EXPECT_EQ(WaitForSingleObject(watch, 0), static_cast<DWORD>(WAIT_TIMEOUT)) << "the thread still runs";
  wchar_t expected[200];
  swprintf(expected, 200, L"Thread::Stop() - hung thread Id=0x%X, Handle=0x%llx, timeout=0 ms", id,
           static_cast<unsigned long long>(handle));
  EXPECT_EQ(sink.StartingWith(L"Thread::Stop() - hung"), std::vector<std::wstring>{expected});

  worker.Release();
  EXPECT_EQ(WaitForSingleObject(watch, INFINITE), static_cast<DWORD>(WAIT_OBJECT_0));
  EXPECT_TRUE(worker.finished);
  CloseHandle(watch);
}

TEST(Thread, PriorityLevelsMapToTheSystemScaleAndBack) {
  const struct {
    int32_t level;
    int system;
    int32_t readBack;
  } cases[] = {
      {-5, THREAD_PRIORITY_IDLE, -100},         {-2, THREAD_PRIORITY_LOWEST, -2},
      {-1, THREAD_PRIORITY_BELOW_NORMAL, -1},   {0, THREAD_PRIORITY_NORMAL, 0},
      {1, THREAD_PRIORITY_ABOVE_NORMAL, 1},     {2, THREAD_PRIORITY_HIGHEST, 2},
      {7, THREAD_PRIORITY_TIME_CRITICAL, 100},
  };
  for (const auto& c : cases) {
    Worker worker;
    worker.SetPriority(c.level);
    EXPECT_EQ(worker.GetPriority(), c.level) << "an idle object keeps the stored level";
    ASSERT_TRUE(worker.Start());
    EXPECT_EQ(GetThreadPriority(worker.GetHandle()), c.system) << c.level;
    EXPECT_EQ(worker.GetPriority(), c.readBack) << c.level;
    worker.SetPriority(0);
    EXPECT_EQ(GetThreadPriority(worker.GetHandle()), THREAD_PRIORITY_NORMAL);
    worker.Stop();
  }
}

TEST(Event, WaitsReportSignalTimeoutAndFailure) {
  Event manual(true, false);
  Event automatic(false, false);
  Event none;
  EXPECT_EQ(manual.Wait(0), 0);
  EXPECT_EQ(none.Wait(0), -1);
  EXPECT_FALSE(none.Set());
  ASSERT_TRUE(manual.Set());
  EXPECT_EQ(manual.Wait(kWaitForever), 1);
  EXPECT_TRUE(manual.IsSignalled()) << "manual reset stays set";
  ASSERT_TRUE(automatic.Set());
  EXPECT_EQ(automatic.Wait(kWaitForever), 1);
  EXPECT_FALSE(automatic.IsSignalled()) << "auto reset is consumed by the wait";

  Event* const both[] = {&automatic, &manual};
  EXPECT_EQ(Event::WaitForAny(2, both, 0, false), 2);
  manual.Reset();
  EXPECT_EQ(Event::WaitForAny(2, both, 0, false), 0);
  EXPECT_EQ(Event::WaitForAny(0, both, 0, false), -1);

  // An APC queued to the waiting thread ends an alertable wait.
  QueueUserAPC([](ULONG_PTR) {}, GetCurrentThread(), 0);
  EXPECT_EQ(Event::WaitForAny(2, both, kWaitForever, true), -2);
}

TEST(Event, NamedEventsAreSharedAndNullNamesRefused) {
  const std::string name = "FernwickEventTest_" + std::to_string(GetCurrentProcessId());
  Event created;
  ASSERT_TRUE(created.Create(name.c_str(), true, false, nullptr));
  Event opened;
  ASSERT_TRUE(opened.Open(name.c_str()));
  created.Set();
  EXPECT_TRUE(opened.IsSignalled());

  EXPECT_FALSE(opened.Create(nullptr, true, false, nullptr));
  EXPECT_FALSE(opened.Open(nullptr));
  EXPECT_TRUE(opened.IsSignalled()) << "a refused call leaves the held event alone";
  EXPECT_FALSE(Event().Open("FernwickNoSuchEvent_x"));
}

// The compare-exchange forms take (target, exchange, comparand): the order
// the platform's own functions do not share with every library.
TEST(Atomic, CompareExchangeTakesTheExchangeValueBeforeTheComparand) {
  volatile int32_t value = 12;
  EXPECT_EQ(AtomicCompareExchange(&value, 1, 11), 12);
  EXPECT_EQ(value, 12) << "comparand differs: no store";
  EXPECT_EQ(AtomicCompareExchange(&value, 1, 12), 12);
  EXPECT_EQ(value, 1);
  volatile int64_t wide = int64_t{1} << 40;
  EXPECT_EQ(AtomicCompareExchange64(&wide, 7, int64_t{1} << 40), int64_t{1} << 40);
  EXPECT_EQ(wide, 7);
  int target = 0;
  void* volatile pointer = nullptr;
  EXPECT_EQ(AtomicCompareExchangePointer(&pointer, &target, nullptr), nullptr);
  EXPECT_EQ(pointer, &target);
  EXPECT_EQ(AtomicExchangeAdd(&value, 3), 1) << "answers the previous value";
  EXPECT_EQ(AtomicIncrement(&value), 5) << "answers the new value";
}

}  // namespace
