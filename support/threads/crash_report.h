#pragma once
// The crash report of the unhandled-exception filter: exception code and
// name, fault address, registers and the faulting thread's stack, logged at
// level 3. Custom filters may write it too.

#include <windows.h>

#include <cstdint>

void LogExceptionReport(const EXCEPTION_POINTERS* exception);

// The system's name for an exception code. Codes outside the library's table
// are looked up in NTDLL's messages, in one process-wide buffer that keeps
// its previous text when the lookup fails (empty at first).
const char* ExceptionCodeName(DWORD code);

// The module that holds `address` (its file name into `name`), the 1-based
// number of the section within it and the offset in that section.
bool GetLogicalAddress(const void* address, char* name, DWORD nameSize, DWORD& section, uintptr_t& offset);
