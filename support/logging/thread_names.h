#pragma once
// The names of the library's threads by thread id, so that the ids in log
// lines can be read as names. A process-wide object: before it is built and
// after it is destroyed every operation does nothing.

#include <map>
#include <string>
#include <windows.h>

#include "support/fs/critical_section_lock.h"

class ThreadNameRegistry {
 public:
  using Iterator = std::map<DWORD, std::string>::const_iterator;

  ThreadNameRegistry();
  ~ThreadNameRegistry();
  ThreadNameRegistry(const ThreadNameRegistry&) = delete;
  ThreadNameRegistry& operator=(const ThreadNameRegistry&) = delete;

  bool AddThreadName(DWORD threadId, const char* name);
  // Copies the name out and forgets the thread; false when it was unknown.
  bool RemoveThreadName(DWORD threadId, std::string& name);
  // A walk in ascending id order that holds the lock from FirstThreadName
  // until NextThreadName reports the end: iterate to the end.
  bool FirstThreadName(Iterator& position, DWORD& threadId, std::string& name);
  bool NextThreadName(Iterator& position, DWORD& threadId, std::string& name);

 private:
  std::map<DWORD, std::string> names_;
  CriticalSectionLock lock_;
  // Static storage starts zeroed, so this reads false before construction.
  bool usable_;
};

// The process-wide registry (support/library_objects.inc).
extern ThreadNameRegistry threadNameRegistry;
ThreadNameRegistry& GetThreadNameRegistry();

// Records or forgets the calling thread, and logs the change.
void RegisterThreadName(const char* name);
void UnregisterThreadName();
