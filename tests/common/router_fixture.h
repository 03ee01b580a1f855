#pragma once
// Test helpers that play the router service (the writer of the shared
// counter block) and observe the process (threads, handles).

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cwchar>
#include <functional>
#include <vector>

#include "provider/shared_mem.h"

// Creates the router block under its real name, as the router does.
class RouterWriter {
 public:
  RouterWriter() { Start(); }

  bool Start() {
    if (!block_.Initialize(kRouterBlockName, kSessionSlotCount, kSharedMemReadWrite, nullptr)) return false;
    ZeroMemory(block_.MutableView(), sizeof(wmirouter_perf_t));
    return true;
  }
  // The router exits: its handle goes, and with the last handle the block.
  void Stop() { block_.Release(); }

  wmirouter_perf_t& Block() { return *block_.MutableView(); }

  // Counters of a session: base+1 .. base+4 in catalogue order.
  void SetSession(int slot, const wchar_t* name, uint32_t base) {
    wmirouter_session_t& session = Block().sessions[slot];
    wcsncpy(session.name, name, kSessionNameUnits);
    session.bypass_msg_received = base + 1;
    session.bypass_msg_sent = base + 2;
    session.msg_sent2relay = base + 3;
    session.relay_msg_received = base + 4;
  }
  void ClearSession(int slot) { ZeroMemory(&Block().sessions[slot], sizeof(wmirouter_session_t)); }
  void Publish() { ++Block().update_stamp; }

 private:
  WMISharedMem<wmirouter_perf_t> block_{true};
};

// Identifiers of this process's threads, in snapshot order.
inline std::vector<DWORD> ProcessThreadIds() {
  std::vector<DWORD> ids;
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return ids;
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ids.push_back(entry.th32ThreadID);
  }
  CloseHandle(snapshot);
  return ids;
}

inline int ProcessThreadCount() { return static_cast<int>(ProcessThreadIds().size()); }

// Handles open in this process. Where the platform does not count them (Wine
// answers 0), counts the valid handle values among the first kProbedHandles:
// handle values are handed out lowest free first, so in a test process that
// covers them all, leaked ones included.
inline DWORD ProcessHandleCount() {
  DWORD count = 0;
  if (GetProcessHandleCount(GetCurrentProcess(), &count) && count != 0) return count;
  constexpr uintptr_t kProbedHandles = 2048;
  for (uintptr_t value = 4; value < 4 * kProbedHandles; value += 4) {
    DWORD flags = 0;
    if (GetHandleInformation(reinterpret_cast<HANDLE>(value), &flags)) ++count;
  }
  return count;
}

// Polls `condition` for up to 20 seconds: the provider copies counters every
// 100 ms, so anything it must pick up shows well within that, and the bound
// leaves room for a loaded machine that takes seconds to end a thread.
inline bool Eventually(const std::function<bool()>& condition) {
  for (int attempt = 0; attempt < 400; ++attempt) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}
