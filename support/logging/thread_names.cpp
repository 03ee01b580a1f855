#include "support/logging/thread_names.h"

#include "support/fs/code_page.h"
#include "support/logging/debug_log.h"

ThreadNameRegistry::ThreadNameRegistry() : usable_(true) {}

ThreadNameRegistry::~ThreadNameRegistry() { usable_ = false; }

bool ThreadNameRegistry::AddThreadName(DWORD threadId, const char* name) {
  if (!usable_) return false;
  ScopedLock guard(lock_);
  names_[threadId] = name;
  return true;
}

bool ThreadNameRegistry::RemoveThreadName(DWORD threadId, std::string& name) {
  if (!usable_) return false;
  ScopedLock guard(lock_);
  const auto found = names_.find(threadId);
  if (found == names_.end()) return false;
  name = found->second;
  names_.erase(found);
  return true;
}

bool ThreadNameRegistry::FirstThreadName(Iterator& position, DWORD& threadId, std::string& name) {
  if (!usable_) return false;
  lock_.Enter();
  position = names_.begin();
  return NextThreadName(position, threadId, name);
}

bool ThreadNameRegistry::NextThreadName(Iterator& position, DWORD& threadId, std::string& name) {
  if (!usable_) return false;
  if (position == names_.end()) {
    lock_.Leave();
    return false;
  }
  threadId = position->first;
  name = position->second;
  ++position;
  return true;
}

ThreadNameRegistry& GetThreadNameRegistry() { return threadNameRegistry; }

void RegisterThreadName(const char* name) {
  if (name == nullptr) name = "Unnamed";
  const DWORD id = GetCurrentThreadId();
  threadNameRegistry.AddThreadName(id, name);
  DebugLog(3, L"[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"%s\"", id,
           NarrowToWide(name, CP_THREAD_ACP).c_str());
}

void UnregisterThreadName() {
  const DWORD id = GetCurrentThreadId();
  std::string name;
  if (!threadNameRegistry.RemoveThreadName(id, name)) return;
  DebugLog(3, L"[DIAG] EVENT=Unregister_thread, THREADID=0x%X, THREADNAME=\"%s\"", id,
           NarrowToWide(name, CP_THREAD_ACP).c_str());
}
