#include "support/fs/code_page.h"

#include <windows.h>

namespace {
UINT ToPlatformCodePage(int codePage) { return codePage == kAnsiCodePage ? CP_ACP : static_cast<UINT>(codePage); }
}  // namespace

std::wstring NarrowToWide(const std::string& text, int codePage) {
  if (text.empty()) return std::wstring();
  const UINT cp = ToPlatformCodePage(codePage);
  const int inputLength = static_cast<int>(text.size());
  const int needed = MultiByteToWideChar(cp, 0, text.data(), inputLength, nullptr, 0);
  if (needed <= 0) return std::wstring();
  std::wstring result(static_cast<size_t>(needed), L'\0');
  const int converted = MultiByteToWideChar(cp, 0, text.data(), inputLength, &result[0], needed);
  if (converted <= 0) return std::wstring();
  result.resize(wcsnlen(result.c_str(), static_cast<size_t>(converted)));
  return result;
}

std::string WideToNarrow(const std::wstring& text, int codePage) {
  if (text.empty()) return std::string();
  const UINT cp = ToPlatformCodePage(codePage);
  const int inputLength = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(cp, 0, text.data(), inputLength, nullptr, 0, nullptr, nullptr);
  if (needed <= 0) return std::string();
  std::string result(static_cast<size_t>(needed), '\0');
  const int converted = WideCharToMultiByte(cp, 0, text.data(), inputLength, &result[0], needed, nullptr, nullptr);
  if (converted <= 0) return std::string();
  result.resize(strnlen(result.c_str(), static_cast<size_t>(converted)));
  return result;
}
