#include "provider/call_security.h"

#include <objbase.h>
#include "provider/wbem_result.h"
#include "support/fs/unique_handle.h"

int GetImpersonationLevel() {
  HANDLE opened = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &opened)) {
    const DWORD error = GetLastError();
    // No impersonation token: the thread runs as the process itself.
    return (error == ERROR_NO_IMPERSONATION_TOKEN || error == ERROR_NO_TOKEN) ? 4 : 1;
  }
  const UniqueHandle token(opened);
  SECURITY_IMPERSONATION_LEVEL level = SecurityAnonymous;
  DWORD size = 0;
  if (!GetTokenInformation(token.get(), TokenImpersonationLevel, &level, sizeof(level), &size)) return 1;
  switch (level) {
    case SecurityAnonymous: return 1;
    case SecurityIdentification: return 2;
    case SecurityImpersonation: return 3;
    case SecurityDelegation: return 4;
    default: return 1;
  }
}

CallSecurity CheckCallSecurity() {
  const HRESULT impersonation = CoImpersonateClient();
  if (FAILED(impersonation) && impersonation != RPC_E_CALL_COMPLETE) return {impersonation, impersonation};
  if (GetImpersonationLevel() < 3) {
    RevertToSelf();
    return {impersonation, WbemResult(WBEM_E_ACCESS_DENIED)};
  }
  return {impersonation, S_OK};
}
