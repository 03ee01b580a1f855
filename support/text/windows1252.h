#pragma once
// Windows-1252 through the library's own table, so the result does not depend
// on which code pages the system provides.

#include <cstddef>

namespace zel {

wchar_t Windows1252ToWide(unsigned char byte);
// 0 and code units below 0x100 keep their value; the table's characters map
// to their byte (U+FFFD to 0x81); anything else becomes '?'.
char WideToWindows1252(wchar_t unit);
// True when the unit survives WideToWindows1252 as itself.
bool IsWindows1252Character(wchar_t unit);

// Converts `count` units/bytes; the output holds at least `count` elements.
void Windows1252ToWide(const char* text, size_t count, wchar_t* output);
void WideToWindows1252(const wchar_t* text, size_t count, char* output);

}  // namespace zel
