#pragma once
// Conversions between narrow and wide standard strings through a code page.

#include <string>

// Selects the system's ANSI code page.
constexpr int kAnsiCodePage = -1;

std::wstring NarrowToWide(const std::string& text, int codePage = kAnsiCodePage);
std::string WideToNarrow(const std::wstring& text, int codePage = kAnsiCodePage);
