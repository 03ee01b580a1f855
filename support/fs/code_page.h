#pragma once
// Conversions between narrow and wide standard strings through a code page.

#include <string>

// Selects the system's ANSI code page.
constexpr int kAnsiCodePage = -1;

std::wstring NarrowToWide(const std::string& text, int codePage = kAnsiCodePage);
std::string WideToNarrow(const std::wstring& text, int codePage = kAnsiCodePage);
// The narrow form only when it names exactly the same text: false, with
// `narrow` untouched, when a character has no exact form in the code page
// (never a best-fit look-alike or the default character) or the text holds
// a zero.
bool WideToNarrowExact(const std::wstring& text, std::string* narrow, int codePage = kAnsiCodePage);
