#include <clocale>

#include <windows.h>

#include "provider/module_state.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID /*reserved*/) {
  if (reason == DLL_PROCESS_ATTACH) {
    setlocale(LC_ALL, "");
    g_moduleHandle = instance;
  }
  return TRUE;
}
