#include "support/threads/event.h"

namespace {

DWORD Milliseconds(uint64_t timeout) {
  return timeout == kWaitForever ? INFINITE : static_cast<DWORD>(timeout);
}

}  // namespace

Event::Event(bool manualReset, bool initialState) { Create(manualReset, initialState); }

Event::Event(const char* name, bool manualReset, bool initialState)
    : handle_(CreateEventA(nullptr, manualReset, initialState, name)) {}

// Each of these closes the held event before making the new one, so that a
// name this object held is created afresh rather than reopened.
bool Event::Create(bool manualReset, bool initialState) {
  handle_.reset();
  handle_.reset(CreateEventA(nullptr, manualReset, initialState, nullptr));
  return handle_.get() != nullptr;
}

bool Event::Create(const char* name, bool manualReset, bool initialState, SECURITY_ATTRIBUTES* security) {
  if (name == nullptr) return false;
  handle_.reset();
  handle_.reset(CreateEventA(security, manualReset, initialState, name));
  return handle_.get() != nullptr;
}

bool Event::Open(const char* name) {
  if (name == nullptr) return false;
  handle_.reset();
  handle_.reset(OpenEventA(EVENT_ALL_ACCESS, FALSE, name));
  return handle_.get() != nullptr;
}

bool Event::Set() { return SetEvent(handle_.get()) != FALSE; }

bool Event::Reset() { return ResetEvent(handle_.get()) != FALSE; }

bool Event::IsSignalled() const { return WaitForSingleObject(handle_.get(), 0) == WAIT_OBJECT_0; }

int Event::Wait(uint64_t timeout) const {
  if (handle_.get() == nullptr) return -1;
  switch (WaitForSingleObject(handle_.get(), Milliseconds(timeout))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
      return 1;
    case WAIT_TIMEOUT:
      return 0;
    default:
      return -1;
  }
}

int Event::WaitForAny(int count, Event* const* events, uint64_t timeout, bool alertable) {
  if (count <= 0 || count > MAXIMUM_WAIT_OBJECTS || events == nullptr) return -1;
  HANDLE handles[MAXIMUM_WAIT_OBJECTS];
  for (int i = 0; i < count; ++i) handles[i] = events[i]->GetHandle();
  const DWORD result =
      WaitForMultipleObjectsEx(static_cast<DWORD>(count), handles, FALSE, Milliseconds(timeout), alertable);
  const DWORD n = static_cast<DWORD>(count);
  if (result < WAIT_OBJECT_0 + n) return static_cast<int>(result - WAIT_OBJECT_0) + 1;
  if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + n) return static_cast<int>(result - WAIT_ABANDONED_0) + 1;
  if (result == WAIT_TIMEOUT) return 0;
  if (result == WAIT_IO_COMPLETION) return -2;
  return -1;
}
