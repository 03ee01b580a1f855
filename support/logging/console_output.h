#pragma once
// The logger's console output: one line per entry on standard output,
// "[code] (hh:mm:ss.mmm):{0xTHREAD} text". A real console gets the UTF-16
// text; a redirected output (pipe or file, where the console call fails)
// gets the line in the ANSI code page with CR LF, as text-mode output would.

#include <cstdint>

#include <windows.h>

void WriteConsoleLine(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text, uint32_t eventId);
