// The module's entry routine and its COM server exports.

#include <new>

#include <windows.h>

#include "provider/class_factory.h"
#include "provider/module_state.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  // The run-time library's locale is left alone: it is shared by the whole
  // host process. The provider log converts its lines itself.
  if (reason == DLL_PROCESS_ATTACH) g_moduleHandle = instance;
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!IsEqualCLSID(clsid, CLSID_FernwickRouterSessionPerf)) return CLASS_E_CLASSNOTAVAILABLE;
  return HandOutNewObject(new (std::nothrow) CPerfFactory(), iid, out);
}

STDAPI DllCanUnloadNow() {
  return (g_serverLockCount.load() == 0 && g_liveObjectCount.load() == 0) ? S_OK : S_FALSE;
}
