#pragma once
// An owned operating-system event and the library's waits on events.

#include <cstdint>
#include <windows.h>

#include "support/fs/unique_handle.h"

// The 64-bit timeout of the waits: all ones waits without limit, anything
// else is taken as 32-bit milliseconds.
constexpr uint64_t kWaitForever = ~uint64_t{0};

class Event {
 public:
  Event() = default;
  Event(bool manualReset, bool initialState);
  Event(const char* name, bool manualReset, bool initialState);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  bool Create(bool manualReset, bool initialState);
  bool Create(const char* name, bool manualReset, bool initialState, SECURITY_ATTRIBUTES* security);
  bool Open(const char* name);

  bool Set();
  bool Reset();
  bool IsSignalled() const;
  // 1 when signalled (or abandoned), 0 on timeout, -1 on failure.
  int Wait(uint64_t timeout) const;
  HANDLE GetHandle() const { return handle_.get(); }

  // Waits for any one of `count` events (at most MAXIMUM_WAIT_OBJECTS): i+1
  // when event i was signalled, 0 on timeout, -2 when an APC or I/O completion
  // ended an alertable wait, -1 on failure.
  static int WaitForAny(int count, Event* const* events, uint64_t timeout, bool alertable);

 private:
  UniqueHandle handle_;
};
