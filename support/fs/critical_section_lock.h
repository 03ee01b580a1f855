#pragma once
// The library's recursive lock and its scoped guard.

#include <atomic>
#include <cstdint>
#include <windows.h>

class CriticalSectionLock {
 public:
  CriticalSectionLock();
  ~CriticalSectionLock();
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

  void Enter();
  // Enters within `milliseconds` (polling) or answers false.
  bool TryEnter(DWORD milliseconds);
  void Leave();
  // An indication only: read without locking.
  bool IsLocked() const;

 private:
  CRITICAL_SECTION* section_ = nullptr;
  std::atomic<DWORD> owner_{0};
  int64_t depth_ = 0;
};

class ScopedLock {
 public:
  explicit ScopedLock(CriticalSectionLock& lock) : lock_(&lock) { lock_->Enter(); }
  ~ScopedLock() { lock_->Leave(); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;

 private:
  CriticalSectionLock* lock_;
};
