#pragma once
// Environment-variable expansion of registry text, grown until it fits.

#include <vector>

#include <windows.h>

// Expands `text` through `expand` (a form of ExpandEnvironmentStrings) into
// `expanded`, terminated. The size a sizing call reports is only an estimate:
// given a buffer, the platform may answer with a larger size, having written a
// partial text. Such an answer grows the buffer and expands again. False when
// the platform fails or the text never fits.
template <typename Char, typename Expand>
bool ExpandInFull(const Char* text, std::vector<Char>* expanded, Expand expand) {
  constexpr int kAttempts = 4;
  DWORD capacity = expand(text, nullptr, 0);
  for (int attempt = 0; attempt < kAttempts && capacity != 0; ++attempt) {
    expanded->assign(static_cast<size_t>(capacity) + 1, Char(0));
    const DWORD result = expand(text, expanded->data(), capacity);
    if (result == 0) return false;
    if (result <= capacity) return true;
    capacity = result;
  }
  return false;
}
