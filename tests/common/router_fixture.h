#pragma once
// Test helpers that play the router service (the writer of the shared
// counter block) and observe the process (threads, handles).

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cwchar>
#include <functional>

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

inline int ProcessThreadCount() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  THREADENTRY32 entry = {};
  entry.dwSize = sizeof(entry);
  int count = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) ++count;
  }
  CloseHandle(snapshot);
  return count;
}

inline DWORD ProcessHandleCount() {
  DWORD count = 0;
  GetProcessHandleCount(GetCurrentProcess(), &count);
  return count;
}

// Polls `condition` for up to five seconds: the provider copies counters every
// 100 ms, so anything it must pick up shows well within that.
inline bool Eventually(const std::function<bool()>& condition) {
  for (int attempt = 0; attempt < 100; ++attempt) {
    if (condition()) return true;
    Sleep(50);
  }
  return condition();
}
