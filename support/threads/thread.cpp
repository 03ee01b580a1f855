#include "support/threads/thread.h"

#include <cerrno>
#include <cstring>
#include <process.h>

#include "support/logging/debug_log.h"
#include "support/logging/thread_names.h"

namespace {

std::unique_ptr<char[]> CopyName(const char* name) {
  if (name == nullptr) return nullptr;
  const size_t size = strlen(name) + 1;
  std::unique_ptr<char[]> copy(new char[size]);
  memcpy(copy.get(), name, size);
  return copy;
}

std::unique_ptr<char[]> ConvertName(const wchar_t* name) {
  if (name == nullptr) return nullptr;
  const int size = WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
  if (size <= 0) return nullptr;
  std::unique_ptr<char[]> copy(new char[static_cast<size_t>(size)]);
  if (WideCharToMultiByte(CP_THREAD_ACP, 0, name, -1, copy.get(), size, nullptr, nullptr) <= 0) return nullptr;
  return copy;
}

int SystemPriority(int32_t level) {
  if (level < -2) return THREAD_PRIORITY_IDLE;
  if (level > 2) return THREAD_PRIORITY_TIME_CRITICAL;
  return level;  // -2..2 coincide with LOWEST..HIGHEST
}

int32_t LevelOf(int systemPriority) {
  switch (systemPriority) {
    case THREAD_PRIORITY_IDLE:
      return -100;
    case THREAD_PRIORITY_TIME_CRITICAL:
      return 100;
    case THREAD_PRIORITY_LOWEST:
    case THREAD_PRIORITY_BELOW_NORMAL:
    case THREAD_PRIORITY_ABOVE_NORMAL:
    case THREAD_PRIORITY_HIGHEST:
      return systemPriority;
    default:
      return 0;
  }
}

// Unregisters the thread's name however Run ends.
struct NameRegistration {
  explicit NameRegistration(const char* name) { RegisterThreadName(name != nullptr ? name : "Unnamed"); }
  ~NameRegistration() { UnregisterThreadName(); }
  NameRegistration(const NameRegistration&) = delete;
  NameRegistration& operator=(const NameRegistration&) = delete;
};

struct ThreadStart {
  Thread* thread;
  HMODULE module;
};

}  // namespace

HMODULE ReferenceLibraryModule() {
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCWSTR>(&ReferenceLibraryModule),
                     &module);
  return module;
}

Thread::Thread() : stopEvent_(true, false) {}

Thread::Thread(const char* name) : stopEvent_(true, false), name_(CopyName(name)) {}

Thread::Thread(const wchar_t* name) : stopEvent_(true, false), name_(ConvertName(name)) {}

Thread::~Thread() { Thread::Stop(-1); }

bool Thread::Start() {
  if (handle_.get() != nullptr) return false;
  stopEvent_.Reset();
  auto start = std::make_unique<ThreadStart>(ThreadStart{this, ReferenceLibraryModule()});
  unsigned id = 0;
  const uintptr_t handle = _beginthreadex(nullptr, 0, &Thread::Entry, start.get(), CREATE_SUSPENDED, &id);
  if (handle == 0) {
    DebugLog(1, "Thread::Start() - begin thread call failed, errno=%d", errno);
    if (start->module != nullptr) FreeLibrary(start->module);
    return false;
  }
  start.release();
  handle_.reset(reinterpret_cast<HANDLE>(handle));
  threadId_ = id;
  if (priorityLevel_ != 0) SetPriority(priorityLevel_);
  ResumeThread(handle_.get());
  return true;
}

unsigned __stdcall Thread::Entry(void* argument) {
  if (argument == nullptr) return 0;
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(argument));
  const HMODULE module = start->module;
  {
    NameRegistration registration(start->thread->name_.get());
    start->thread->Run();
  }
  // The object may be gone from here on (a stopper waiting for this thread
  // may destroy it), and FreeLibraryAndExitThread does not return: nothing
  // may be left to destroy.
  start.reset();
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
  return 0;
}

void Thread::Stop(int32_t timeout) {
  if (handle_.get() == nullptr) return;
  stopEvent_.Set();
  if (IsCurrentThread()) {
    handle_.reset();
    return;
  }
  if (WaitForSingleObject(handle_.get(), static_cast<DWORD>(timeout)) != WAIT_OBJECT_0) {
    DebugLog(1, "Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms", threadId_,
             reinterpret_cast<uint64_t>(handle_.get()), static_cast<int64_t>(timeout));
  }
  handle_.reset();
}

void Thread::Stop() { Stop(-1); }

void Thread::Stop(int32_t timeout, bool& stopped) {
  if (handle_.get() == nullptr) {
    stopped = true;
    return;
  }
  stopEvent_.Set();
  if (IsCurrentThread()) {
    stopped = false;
    return;
  }
  if (WaitForSingleObject(handle_.get(), static_cast<DWORD>(timeout)) != WAIT_OBJECT_0) {
    DebugLog(1, "Thread::Stop() - Timeout exceeded.  Thread not stopped. thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms",
             threadId_, reinterpret_cast<uint64_t>(handle_.get()), static_cast<int64_t>(timeout));
    stopped = false;
    return;
  }
  handle_.reset();
  stopped = true;
}

bool Thread::SignalStop() { return stopEvent_.Set(); }

bool Thread::IsRunning() const {
  return handle_.get() != nullptr && WaitForSingleObject(handle_.get(), 0) == WAIT_TIMEOUT;
}

void Thread::SetPriority(int32_t level) {
  priorityLevel_ = level;
  if (handle_.get() != nullptr) SetThreadPriority(handle_.get(), SystemPriority(level));
}

int32_t Thread::GetPriority() const {
  if (handle_.get() == nullptr) return priorityLevel_;
  return LevelOf(GetThreadPriority(handle_.get()));
}
