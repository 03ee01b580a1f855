#pragma once
// Class definitions and the host's class and instance objects. One object
// implements both IWbemClassObject and IWbemObjectAccess, so a
// QueryInterface between the two returns the same pointer.
//
// Value semantics, as the provider sees them:
// - Strings travel as VT_BSTR through Get/Put and as UTF-16 text with its
//   terminator through the property handles; uint32 values travel as VT_I4
//   and as 4 bytes or a DWORD.
// - A property that was never written (or was Put as VT_NULL) is unset: Get
//   answers VT_NULL, ReadPropertyValue answers WBEM_S_FALSE with 0 bytes and
//   ReadDWORD WBEM_S_FALSE with 0. A string set to "" is present: 2 bytes,
//   the terminator alone.
// - ReadPropertyValue always stores the value's full size, terminator
//   included, in the byte count. When that exceeds the buffer it answers
//   WBEM_E_BUFFER_TOO_SMALL and leaves the buffer untouched.
// - Handles come from GetPropertyHandle on any object of the class and stay
//   valid for every object of that class. A handle that names no property
//   gives WBEM_E_INVALID_PARAMETER; a DWORD operation on a string property
//   gives WBEM_E_TYPE_MISMATCH.
// - SpawnInstance copies the class object's values (its defaults, normally
//   all unset) into a new instance; on an instance it gives
//   WBEM_E_INVALID_OPERATION. Clone copies values and kind.
// - Operations the provider does not use answer WBEM_E_NOT_SUPPORTED.
// Each object guards its values with its own lock.

#include <memory>
#include <string>
#include <vector>

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "tools/wmihost/fault_plan.h"

namespace wmihost {

struct PropertyDefinition {
  std::wstring name;
  CIMTYPE type;  // CIM_STRING or CIM_UINT32
};

// The shape of a class, shared by its class objects and all their instances,
// together with the fault plan that all of them consult.
class ClassDefinition {
 public:
  // Throws std::invalid_argument for a property type other than CIM_STRING
  // and CIM_UINT32.
  ClassDefinition(std::wstring name, std::vector<PropertyDefinition> properties);

  const std::wstring& Name() const { return name_; }
  const std::vector<PropertyDefinition>& Properties() const { return properties_; }
  // Position of the property, names compared without regard to case as WMI
  // does; -1 when the class has no such property.
  int IndexOf(const wchar_t* propertyName) const;
  // Consulted for SpawnInstance, Clone, QueryObjectAccess, GetPropertyHandle,
  // ReadPropertyValue, WritePropertyValue and WriteDWORD.
  FaultPlan& Faults() { return faults_; }

 private:
  const std::wstring name_;
  const std::vector<PropertyDefinition> properties_;
  FaultPlan faults_;
};

// A new class object of `definition`, with every value unset.
Microsoft::WRL::ComPtr<IWbemClassObject> NewClassObject(std::shared_ptr<ClassDefinition> definition);

}  // namespace wmihost
