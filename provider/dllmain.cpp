// The module's entry routine and its COM server exports.

#include <clocale>
#include <new>

#include <windows.h>

#include "provider/class_factory.h"
#include "provider/module_state.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    // Log lines are written in the user's code page.
    setlocale(LC_ALL, "");
    g_moduleHandle = instance;
  }
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
