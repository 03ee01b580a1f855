#pragma once
// The library's thread object: a subclass supplies Run, the base owns the
// handle, a manual-reset stop event, the name and the requested priority.
// Start creates the thread suspended, applies the priority and resumes it;
// Stop signals and waits with a timeout, and a thread that does not end in
// time is reported and abandoned (closed, never terminated). Called on the
// thread itself, Stop only signals: a thread never waits for itself.
//
// The thread holds a reference on the module this class is linked into and
// ends with FreeLibraryAndExitThread, so a host's FreeLibrary never unmaps
// code it still runs, and no unload has to wait for it under the loader
// lock: such a module stays loaded until its threads are stopped.

#include <cstdint>
#include <memory>
#include <windows.h>

#include "support/threads/atomic.h"
#include "support/threads/event.h"
#include "support/fs/unique_handle.h"

// A reference on the module the library is linked into, for a thread that
// ends with FreeLibraryAndExitThread; null when it cannot be had.
HMODULE ReferenceLibraryModule();

class Thread {
 public:
  Thread();
  explicit Thread(const char* name);
  explicit Thread(const wchar_t* name);
  virtual ~Thread();
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // False when a thread is held (running or ended but not yet stopped) or
  // cannot be created.
  virtual bool Start();
  // Milliseconds, -1 without limit. Safe on a thread never started.
  virtual void Stop(int32_t timeout);
  virtual void Stop();
  virtual bool SignalStop();
  // Like Stop, but a thread that does not end in time is kept (stopped =
  // false) so that the caller may wait again.
  void Stop(int32_t timeout, bool& stopped);

  bool IsRunning() const;
  bool IsCurrentThread() const { return threadId_ != 0 && threadId_ == ::GetCurrentThreadId(); }
  // The library's scale: below -2 idle (reads -100), -2..2 as the system's
  // lowest..highest, above 2 time-critical (reads 100).
  void SetPriority(int32_t level);
  int32_t GetPriority() const;
  HANDLE GetHandle() const { return handle_.get(); }
  DWORD GetThreadId() const { return threadId_; }
  const char* GetName() const { return name_.get(); }
  static DWORD CurrentThreadId() { return ::GetCurrentThreadId(); }

  // The counter value at which this thread's stack was last dumped.
  int32_t GetLastDumpValue() const { return lastDumpValue_; }
  void SetLastDumpValue(int32_t value) { lastDumpValue_ = value; }

  // Dumps this thread's stack, from another thread, when `value` is due by
  // the count and frequency under HKEY_LOCAL_MACHINE\keyPath
  // (DumpThreadStackInfo, DumpThreadStackInfoCount,
  // DumpThreadStackInfoFrequency) or by the defaults. A default count of 0
  // dumps on every call.
  void DumpStackIfConfigured(const char* keyPath, int32_t defaultCount, int32_t value, int32_t defaultFrequency);

 protected:
  // Run must return once this event is signalled.
  virtual void Run() = 0;
  Event& StopEvent() { return stopEvent_; }

 private:
  static unsigned __stdcall Entry(void* argument);

  int32_t priorityLevel_ = 0;
  int32_t lastDumpValue_ = 0;
  Event stopEvent_;
  UniqueHandle handle_;
  DWORD threadId_ = 0;
  std::unique_ptr<char[]> name_;
};
