// The module's self-registration exports, called by regsvr32 and installers.

#include <windows.h>

#include "provider/class_factory.h"
#include "provider/module_state.h"
#include "registration/com_registration.h"

namespace {
constexpr wchar_t kFriendlyName[] = L"Fernwick Router Session";
constexpr wchar_t kProgId[] = L"Fernwick.Router.Session.1";
// Existing installations carry the friendly name as the version-independent
// ProgID; it stays that way so their registrations keep matching.
constexpr const wchar_t* kVersionIndependentProgId = kFriendlyName;
}  // namespace

STDAPI DllRegisterServer() {
  return zel_wmi::RegisterCOM(CLSID_FernwickRouterSessionPerf, g_moduleHandle, kFriendlyName, kProgId,
                              kVersionIndependentProgId, nullptr)
             ? S_OK
             : E_FAIL;
}

STDAPI DllUnregisterServer() {
  return zel_wmi::UnregisterCOM(CLSID_FernwickRouterSessionPerf, nullptr) ? S_OK : E_FAIL;
}
