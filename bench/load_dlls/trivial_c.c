/* A DLL with nothing of its own: the loader's floor for the load benchmark. */
#include <windows.h>

__declspec(dllexport) int TrivialValue(void) { return 1; }
