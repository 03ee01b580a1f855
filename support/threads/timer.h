#pragma once
// One-shot timers on one shared timer thread. The thread is created by the
// first Start and keeps pending timers in a min-heap by due tick; it sleeps
// until the earliest is due or the heap changes, takes a due timer out and
// calls its OnTimer on the timer thread, without the heap's lock held, so a
// callback may start or stop timers, its own included. A repeating timer
// starts itself again from its callback.
//
// Ticks are the system's millisecond tick count and are compared by signed
// 32-bit difference, so the order survives the counter's wrap.

#include <cstdint>
#include <vector>

#include "support/fs/critical_section_lock.h"
#include "support/threads/thread.h"

class Timer;

class TimerListener {
 public:
  virtual ~TimerListener() = default;
  virtual void OnTimer(Timer* timer) = 0;
};

// True when due tick `a` comes strictly before due tick `b`.
inline bool TickBefore(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b) < 0; }

class TimerThread;

class Timer {
 public:
  Timer() = default;
  explicit Timer(int32_t interval) : interval_(interval) {}
  Timer(TimerListener* listener, int32_t interval) : listener_(listener), interval_(interval) {}
  Timer(TimerListener* listener, int32_t id, int32_t interval) : id_(id), listener_(listener), interval_(interval) {}
  // Stops a pending timer. Never destroy a timer whose OnTimer is running.
  virtual ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;

  // Schedules (or reschedules) the timer `interval` ms from now; false for a
  // negative interval or when the timer thread cannot run.
  bool Start();
  bool Start(int32_t interval);
  void Stop();
  // Runs on the timer thread; by default tells the listener, if any.
  virtual void OnTimer();

  // Milliseconds until due; 0 and false once overdue.
  bool GetRemainingTime(int32_t& milliseconds) const;
  void SetInterval(int32_t milliseconds) { interval_ = milliseconds; }
  bool IsActive() const { return active_; }
  int32_t GetId() const { return id_; }
  uint32_t GetDueTick() const { return dueTick_; }

  // The system tick count, plus an offset that lets a host see the
  // counter's wrap without waiting 49.7 days.
  static uint32_t GetTickCount();
  static void SetTickOffset(uint32_t offset);
  static TimerThread* GetTimerThread();
  static void SetTimerThread(TimerThread* thread);
  // The heap of the current timer thread is well ordered (true when none).
  static bool CheckHeap();

 private:
  friend class TimerThread;

  bool active_ = false;
  uint32_t startTick_ = 0;
  uint32_t dueTick_ = 0;
  // The due tick the heap last placed the timer by.
  uint32_t scheduledTick_ = 0;
  int32_t heapPosition_ = 0;
  int32_t id_ = -1;
  TimerListener* listener_ = nullptr;
  int32_t interval_ = -1;
};

// Keeps the timer thread alive: the thread, once started, is stopped when
// the last of these static objects is destroyed. The library defines three,
// with the process-wide timer lock between the second and the third
// (support/library_objects.inc), so that the last release runs after the
// lock is gone; the loader serialises unload. The thread holds its module
// loaded while it runs (support/threads/thread.h), so a module unloads only
// once StopTimerThread has ended it; at a program's exit the last release
// waits a bounded time.
struct TimerThreadReference {
  TimerThreadReference();
  ~TimerThreadReference();
};

// Ends the timer thread, waiting at most kTimerStopMilliseconds; pending
// timers are left inactive. A later Start creates the thread again. A host
// module calls it before it is unloaded.
constexpr int32_t kTimerStopMilliseconds = 10000;
void StopTimerThread();

// Guards the creation and destruction of the timer thread.
extern CriticalSectionLock timerLock;

class TimerThread : public Thread {
 public:
  TimerThread();
  // Stop the thread first; pending timers are left inactive.
  ~TimerThread() override;

  bool Schedule(Timer* timer);
  void Cancel(Timer* timer);
  bool CheckHeap();

 protected:
  void Run() override;

 private:
  Timer* At(int32_t position) const { return heap_[static_cast<size_t>(position)]; }
  int32_t Count() const { return static_cast<int32_t>(heap_.size()) - 1; }
  void Place(Timer* timer, int32_t position);
  void SiftUp(int32_t position);
  void SiftDown(int32_t position);

  // Positions from 1: slot 0 is unused.
  std::vector<Timer*> heap_{nullptr};
  CriticalSectionLock lock_;
  Event wake_{false, false};
};
