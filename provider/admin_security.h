#pragma once
// A security descriptor whose DACL admits only the built-in Administrators
// group (S-1-5-32-544) with map-read and map-write access, used for the router
// block when we create it and for the polling thread.

#include <windows.h>

class AdministratorsOnlySecurity {
 public:
  enum class Step { None, Descriptor, Sid, AccessList };

  AdministratorsOnlySecurity() = default;
  ~AdministratorsOnlySecurity();
  AdministratorsOnlySecurity(const AdministratorsOnlySecurity&) = delete;
  AdministratorsOnlySecurity& operator=(const AdministratorsOnlySecurity&) = delete;

  // On failure, failedStep() and errorNumber() tell which step and why; what
  // earlier steps allocated is freed by the destructor.
  bool Build();
  Step failedStep() const { return failedStep_; }
  DWORD errorNumber() const { return errorNumber_; }
  // The descriptor with handle inheritance on; valid after a successful Build.
  SECURITY_ATTRIBUTES* Attributes() { return &attributes_; }

 private:
  bool Fail(Step step, DWORD error);

  SECURITY_DESCRIPTOR descriptor_ = {};
  SECURITY_ATTRIBUTES attributes_ = {};
  PSID administrators_ = nullptr;
  PACL accessList_ = nullptr;
  Step failedStep_ = Step::None;
  DWORD errorNumber_ = 0;
};
