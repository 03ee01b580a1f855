// A module that, like some third-party libraries, takes over the process's
// unhandled-exception filter while it loads.
#include <windows.h>

namespace {
LONG WINAPI GrabbedFilter(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
}  // namespace

extern "C" __declspec(dllexport) LPTOP_LEVEL_EXCEPTION_FILTER GrabberFilter() { return GrabbedFilter; }

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
  if (reason == DLL_PROCESS_ATTACH) SetUnhandledExceptionFilter(GrabbedFilter);
  return TRUE;
}
