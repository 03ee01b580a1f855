#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/threads/timer.h"

namespace {

// Records which timers fired, in order, and whether each fired at or after
// its due tick.
class FiringLog : public TimerListener {
 public:
  void OnTimer(Timer* timer) override {
    const bool late = static_cast<int32_t>(Timer::GetTickCount() - timer->GetDueTick()) >= 0;
    std::lock_guard<std::mutex> guard(mutex_);
    ids_.push_back(timer->GetId());
    allOnTime_ = allOnTime_ && late;
    fired_.Set();
  }
  std::vector<int32_t> ids() {
    std::lock_guard<std::mutex> guard(mutex_);
    return ids_;
  }
  bool allAtOrAfterDue() {
    std::lock_guard<std::mutex> guard(mutex_);
    return allOnTime_;
  }
  // Waits until `count` timers have fired.
  void WaitFor(size_t count) {
    while (ids().size() < count) fired_.Wait(kWaitForever);
  }

 private:
  std::mutex mutex_;
  std::vector<int32_t> ids_;
  bool allOnTime_ = true;
  Event fired_{false, false};
};

TEST(Timer, FiresInDueOrderAtOrAfterItsDueTick) {
  FiringLog log;
  Timer slow(&log, 200, 200);
  Timer fast(&log, 100, 100);
  Timer now(&log, 0, 0);
  ASSERT_TRUE(slow.Start());
  ASSERT_TRUE(fast.Start());
  ASSERT_TRUE(now.Start());
  EXPECT_TRUE(Timer::CheckHeap());
  log.WaitFor(3);
  // Started in the order 200, 100, 0; unless the starts were far apart, the
  // due ticks (and so the firing) come in the order 0, 100, 200.
  if (!TickBefore(fast.GetDueTick(), slow.GetDueTick()) || !TickBefore(now.GetDueTick(), fast.GetDueTick())) {
    GTEST_SKIP() << "the machine stalled for 100 ms between the starts";
  }
  EXPECT_EQ(log.ids(), (std::vector<int32_t>{0, 100, 200}));
  EXPECT_TRUE(log.allAtOrAfterDue());
  EXPECT_FALSE(slow.IsActive());
  // Fired at or after its due tick: nothing remains (true only when the
  // check falls in the due millisecond itself).
  int32_t remaining = 5;
  slow.GetRemainingTime(remaining);
  EXPECT_EQ(remaining, 0);
}

TEST(Timer, KeepsItsOrderAcrossTheTickCountersWrap) {
  // Now is 60 ms before the counter wraps: the second timer's due tick is a
  // small number, the first's a large one.
  Timer::SetTickOffset(0u - ::GetTickCount() - 60u);
  FiringLog log;
  Timer afterWrap(&log, 2, 150);
  Timer beforeWrap(&log, 1, 20);
  ASSERT_TRUE(afterWrap.Start());
  ASSERT_TRUE(beforeWrap.Start());
  EXPECT_LT(afterWrap.GetDueTick(), beforeWrap.GetDueTick());
  log.WaitFor(2);
  Timer::SetTickOffset(0);
  EXPECT_EQ(log.ids(), (std::vector<int32_t>{1, 2}));
  EXPECT_TRUE(log.allAtOrAfterDue());
}

TEST(Timer, RestartingMovesATimerAndStoppingOrDestroyingRemovesIt) {
  FiringLog log;
  Timer first(&log, 1, 100);
  Timer second(&log, 2, 200);
  auto destroyed = std::make_unique<Timer>(&log, 3, 50);
  Timer stopped(&log, 4, 60);
  ASSERT_TRUE(first.Start());
  ASSERT_TRUE(second.Start());
  ASSERT_TRUE(destroyed->Start());
  ASSERT_TRUE(stopped.Start());
  ASSERT_TRUE(first.Start(300));  // later: down the heap
  ASSERT_TRUE(second.Start(150)); // earlier: up
  int32_t remaining = -1;
  second.GetRemainingTime(remaining);
  EXPECT_TRUE(remaining >= 0 && remaining <= 150) << "due by the new interval: " << remaining;
  EXPECT_TRUE(Timer::CheckHeap());
  destroyed.reset();
  stopped.Stop();
  stopped.Stop();  // not active: nothing
  EXPECT_TRUE(Timer::CheckHeap());
  log.WaitFor(2);
  EXPECT_EQ(log.ids(), (std::vector<int32_t>{2, 1}));

  Timer negative(&log, 5, -1);
  EXPECT_FALSE(negative.Start());
  EXPECT_FALSE(negative.IsActive());
}

// A timer that starts itself again from its own callback, and meanwhile
// stops and starts another timer from the timer thread.
class Repeater : public Timer {
 public:
  Repeater(Timer& other, int rounds) : Timer(5), other_(other), rounds_(rounds) {}
  Event done{true, false};
  int fired = 0;

 protected:
  void OnTimer() override {
    ++fired;
    other_.Stop();
    other_.Start();
    if (fired < rounds_) {
      Start();
    } else {
      done.Set();
    }
  }

 private:
  Timer& other_;
  int rounds_;
};

TEST(Timer, ACallbackRestartsItselfAndControlsOtherTimers) {
  FiringLog log;
  Timer bystander(&log, 9, 10000);
  Repeater repeater(bystander, 20);
  ASSERT_TRUE(repeater.Start());
  EXPECT_EQ(repeater.done.Wait(kWaitForever), 1);
  EXPECT_EQ(repeater.fired, 20);
  EXPECT_TRUE(bystander.IsActive());
  bystander.Stop();
  EXPECT_TRUE(log.ids().empty());
}

// Several threads start and stop timers at random while the timer thread
// fires them: the heap stays ordered and every timer still pending at the
// end fires.
TEST(Timer, StaysOrderedUnderConcurrentStartsAndStops) {
  FiringLog log;
  constexpr int kThreads = 4;
  constexpr int kTimersEach = 25;
  std::vector<std::unique_ptr<Timer>> timers;
  for (int i = 0; i < kThreads * kTimersEach; ++i) timers.push_back(std::make_unique<Timer>(&log, i, 0));
  std::atomic<bool> ordered{true};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 random(static_cast<unsigned>(t));
      for (int step = 0; step < 2000; ++step) {
        Timer& timer = *timers[static_cast<size_t>(t * kTimersEach + static_cast<int>(random() % kTimersEach))];
        if (random() % 3 == 0) {
          timer.Stop();
        } else {
          timer.Start(static_cast<int32_t>(random() % 40));
        }
        if (step % 50 == 0 && !Timer::CheckHeap()) ordered = false;
      }
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_TRUE(ordered);
  EXPECT_TRUE(Timer::CheckHeap());
  // (A timer restarted while its callback starts may show its new due tick
  // there, so lateness is not judged here.)
  for (const auto& timer : timers) {
    while (timer->IsActive()) Sleep(10);
  }
  EXPECT_TRUE(Timer::CheckHeap());
}

}  // namespace
