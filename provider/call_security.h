#pragma once
// The check every WMI-facing operation starts with: impersonate the client
// and refuse callers below the impersonate level.

#include <windows.h>

// COM impersonation levels: 1 anonymous, 2 identify, 3 impersonate, 4 delegate.
int GetImpersonationLevel();

struct CallSecurity {
  // The impersonation call's result; RPC_E_CALL_COMPLETE (no call context)
  // is tolerated.
  HRESULT impersonation;
  // S_OK when the call may go on, else the HRESULT to return.
  HRESULT verdict;
  bool allowed() const { return verdict == S_OK; }
};

CallSecurity CheckCallSecurity();
