#include "support/threads/timer.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "support/logging/debug_log.h"

namespace {

TimerThread* timerThread = nullptr;
std::atomic<uint32_t> tickOffset{0};
int timerThreadReferences = 0;

int32_t Difference(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

}  // namespace

TimerThreadReference::TimerThreadReference() { ++timerThreadReferences; }

// The last release finds the lock already destroyed; its Enter and Leave
// then do nothing.
TimerThreadReference::~TimerThreadReference() {
  if (--timerThreadReferences == 0) StopTimerThread();
}

void StopTimerThread() {
  ScopedLock guard(timerLock);
  if (timerThread == nullptr) return;
  bool stopped = false;
  timerThread->Stop(kTimerStopMilliseconds, stopped);
  // A thread that is still running (a callback that does not return, or a
  // stop from inside a callback) keeps its object: it is left, not freed.
  if (stopped) delete timerThread;
  timerThread = nullptr;
}

Timer::~Timer() {
  if (active_) Stop();
}

bool Timer::Start() {
  TimerThread* thread = nullptr;
  {
    ScopedLock guard(timerLock);
    if (timerThread == nullptr) timerThread = new TimerThread;
    // A thread that failed to start is tried again.
    if (timerThread->GetHandle() == nullptr) timerThread->Start();
    thread = timerThread;
  }
  return thread->Schedule(this);
}

bool Timer::Start(int32_t interval) {
  interval_ = interval;
  return Start();
}

void Timer::Stop() {
  if (TimerThread* thread = timerThread) thread->Cancel(this);
}

void Timer::OnTimer() {
  if (listener_ != nullptr) listener_->OnTimer(this);
}

bool Timer::GetRemainingTime(int32_t& milliseconds) const {
  milliseconds = Difference(dueTick_, GetTickCount());
  if (milliseconds >= 0) return true;
  milliseconds = 0;
  return false;
}

uint32_t Timer::GetTickCount() { return ::GetTickCount() + tickOffset.load(std::memory_order_relaxed); }

void Timer::SetTickOffset(uint32_t offset) { tickOffset = offset; }

TimerThread* Timer::GetTimerThread() { return timerThread; }

void Timer::SetTimerThread(TimerThread* thread) { timerThread = thread; }

bool Timer::CheckHeap() {
  TimerThread* thread = timerThread;
  return thread == nullptr || thread->CheckHeap();
}

TimerThread::TimerThread() : Thread("TimerThread") {}

TimerThread::~TimerThread() {
  ScopedLock guard(lock_);
  for (int32_t position = 1; position <= Count(); ++position) {
    At(position)->active_ = false;
    At(position)->heapPosition_ = 0;
  }
}

void TimerThread::Place(Timer* timer, int32_t position) {
  heap_[static_cast<size_t>(position)] = timer;
  timer->heapPosition_ = position;
}

void TimerThread::SiftUp(int32_t position) {
  Timer* timer = At(position);
  while (position > 1 && TickBefore(timer->dueTick_, At(position / 2)->dueTick_)) {
    Place(At(position / 2), position);
    position /= 2;
  }
  Place(timer, position);
}

void TimerThread::SiftDown(int32_t position) {
  Timer* timer = At(position);
  const int32_t count = Count();
  for (int32_t child = 2 * position; child <= count; child = 2 * position) {
    if (child + 1 <= count && TickBefore(At(child + 1)->dueTick_, At(child)->dueTick_)) ++child;
    if (!TickBefore(At(child)->dueTick_, timer->dueTick_)) break;
    Place(At(child), position);
    position = child;
  }
  Place(timer, position);
}

bool TimerThread::Schedule(Timer* timer) {
  if (GetHandle() == nullptr || timer->interval_ < 0) return false;
  ScopedLock guard(lock_);
  const uint32_t now = Timer::GetTickCount();
  timer->startTick_ = now;
  timer->dueTick_ = now + static_cast<uint32_t>(timer->interval_);
  if (timer->active_) {
    const int32_t moved = Difference(timer->dueTick_, timer->scheduledTick_);
    if (moved > 0) SiftDown(timer->heapPosition_);
    if (moved < 0) SiftUp(timer->heapPosition_);
  } else {
    try {
      heap_.push_back(timer);
    } catch (const std::bad_alloc&) {
      return false;  // the heap cannot grow: the timer is refused
    }
    timer->heapPosition_ = Count();
    timer->active_ = true;
    SiftUp(timer->heapPosition_);
  }
  timer->scheduledTick_ = timer->dueTick_;
  wake_.Set();
  return true;
}

void TimerThread::Cancel(Timer* timer) {
  ScopedLock guard(lock_);
  if (!timer->active_) return;
  const int32_t position = timer->heapPosition_;
  const int32_t count = Count();
  Timer* last = At(count);
  heap_.pop_back();
  timer->heapPosition_ = 0;
  timer->active_ = false;
  if (position < count) {
    Place(last, position);
    const int32_t moved = Difference(last->dueTick_, timer->scheduledTick_);
    if (moved > 0) SiftDown(position);
    if (moved < 0) SiftUp(position);
  }
  // The thread is not woken: finding nothing due, it sleeps again.
}

bool TimerThread::CheckHeap() {
  ScopedLock guard(lock_);
  const int32_t count = Count();
  for (int32_t position = 1; position <= count; ++position) {
    const Timer* timer = At(position);
    if (timer->heapPosition_ != position) return false;
    for (int32_t child = 2 * position; child <= 2 * position + 1 && child <= count; ++child) {
      if (Difference(timer->dueTick_, At(child)->dueTick_) > 0) return false;
    }
  }
  return true;
}

void TimerThread::Run() {
  DebugLog(4, "[DEBUG] EVENTMSG=\"TimerThread thread started\"");
  srand(GetThreadId() * static_cast<uint32_t>(reinterpret_cast<uintptr_t>(GetHandle())));
  Event* const events[] = {&StopEvent(), &wake_};
  for (;;) {
    uint64_t timeout = kWaitForever;
    {
      ScopedLock guard(lock_);
      uint32_t now = Timer::GetTickCount();
      while (Count() > 0 && Difference(At(1)->dueTick_, now) <= 0) {
        Timer* due = At(1);
        Cancel(due);
        lock_.Leave();
        due->OnTimer();
        lock_.Enter();
        now = Timer::GetTickCount();
      }
      if (Count() > 0) {
        const int32_t wait = Difference(At(1)->dueTick_, now);
        timeout = static_cast<uint64_t>(wait < 0 ? 0 : wait);
      }
    }
    switch (Event::WaitForAny(2, events, timeout, false)) {
      case 0:
      case 2:
        continue;
      case 1:
        DebugLog(4, "[DEBUG] EVENTMSG=\"TimerThread thread stopped\"");
        return;
      default:
        DebugLog(4, "[DEBUG] EVENTMSG=\"TimerThread thread stopped due to unexpected event\"");
        return;
    }
  }
}
