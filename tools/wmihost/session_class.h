#pragma once
// The provider's WMI class as the host defines it, and a direct reader of
// an instance's key and counters.

#include <array>
#include <memory>
#include <optional>
#include <string>

#include <windows.h>
#include <wbemcli.h>

#include "tools/wmihost/wbem_object.h"

namespace wmihost {

extern const wchar_t kSessionClassName[];  // "Win32_PerfRawData_Fernwick_Router_Session"
extern const wchar_t kSessionKeyName[];    // "Name"
// The four uint32 counters, in the order the provider writes them.
extern const std::array<const wchar_t*, 4> kSessionCounterNames;

// The session class: key "Name" (string), then the four counters (uint32).
std::shared_ptr<ClassDefinition> SessionClassDefinition();

// An instance's values; an unset value is empty.
struct SessionValues {
  std::optional<std::wstring> name;
  std::array<std::optional<DWORD>, 4> counters;
};

// Reads the key and the counters of `object` through IWbemClassObject::Get,
// independently of property handles. Returns the first failing HRESULT.
HRESULT ReadSessionValues(IUnknown* object, SessionValues* values);

}  // namespace wmihost
