/* The export gives the DLL something to link; tests only read its version. */
__declspec(dllexport) int FernwickVersionProbe(void) { return 1; }
