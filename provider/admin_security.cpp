#include "provider/admin_security.h"

#include <aclapi.h>

AdministratorsOnlySecurity::~AdministratorsOnlySecurity() {
  if (accessList_ != nullptr) LocalFree(accessList_);
  if (administrators_ != nullptr) FreeSid(administrators_);
}

bool AdministratorsOnlySecurity::Fail(Step step, DWORD error) {
  failedStep_ = step;
  errorNumber_ = error;
  SetLastError(error);
  return false;
}

bool AdministratorsOnlySecurity::Build() {
  if (!InitializeSecurityDescriptor(&descriptor_, SECURITY_DESCRIPTOR_REVISION)) {
    return Fail(Step::Descriptor, GetLastError());
  }
  SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
  if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0,
                                0, 0, &administrators_)) {
    return Fail(Step::Sid, GetLastError());
  }
  EXPLICIT_ACCESSW entry = {};
  entry.grfAccessPermissions = FILE_MAP_READ | FILE_MAP_WRITE;
  entry.grfAccessMode = SET_ACCESS;
  entry.grfInheritance = NO_INHERITANCE;
  entry.Trustee.TrusteeForm = TRUSTEE_IS_SID;
  entry.Trustee.TrusteeType = TRUSTEE_IS_GROUP;
  entry.Trustee.ptstrName = static_cast<LPWSTR>(administrators_);
  const DWORD aclResult = SetEntriesInAclW(1, &entry, nullptr, &accessList_);
  if (aclResult != ERROR_SUCCESS) return Fail(Step::AccessList, aclResult);
  if (!SetSecurityDescriptorDacl(&descriptor_, TRUE, accessList_, FALSE)) {
    return Fail(Step::AccessList, GetLastError());
  }
  attributes_.nLength = sizeof(attributes_);
  attributes_.lpSecurityDescriptor = &descriptor_;
  attributes_.bInheritHandle = TRUE;
  return true;
}
