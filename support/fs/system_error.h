#pragma once
// The system's message text for an error number, as every log message quotes
// it: neutral language, trailing CR and LF removed, empty when there is none.

#include <string>
#include <windows.h>

std::wstring SystemErrorText(DWORD errorNumber);
// The same in the ANSI code page, for narrow log formats.
std::string SystemErrorTextNarrow(DWORD errorNumber);
