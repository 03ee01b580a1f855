#include "support/fs/critical_section_lock.h"

#include <new>

CriticalSectionLock::CriticalSectionLock() {
  auto* section = new CRITICAL_SECTION;
  InitializeCriticalSection(section);
  section_ = section;
}

CriticalSectionLock::~CriticalSectionLock() {
  if (section_ == nullptr) return;
  DeleteCriticalSection(section_);
  delete section_;
  // Cleared so that a late Enter/Leave from another static's destructor is a
  // harmless no-op instead of a fault.
  section_ = nullptr;
  owner_ = 0;
}

void CriticalSectionLock::Enter() {
  if (section_ == nullptr) return;
  EnterCriticalSection(section_);
  ++depth_;
  owner_ = GetCurrentThreadId();
}

bool CriticalSectionLock::TryEnter(DWORD milliseconds) {
  if (section_ == nullptr) return false;
  const DWORD start = GetTickCount();
  while (!TryEnterCriticalSection(section_)) {
    if (GetTickCount() - start >= milliseconds) return false;
    Sleep(1);
  }
  ++depth_;
  owner_ = GetCurrentThreadId();
  return true;
}

void CriticalSectionLock::Leave() {
  if (section_ == nullptr || depth_ == 0) return;
  if (--depth_ == 0) owner_ = 0;
  LeaveCriticalSection(section_);
}

bool CriticalSectionLock::IsLocked() const { return owner_ != 0; }
