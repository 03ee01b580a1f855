#include "support/fs/code_page.h"

#include <utility>

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

bool WideToNarrowExact(const std::wstring& text, std::string* narrow, int codePage) {
  if (narrow == nullptr || text.find(L'\0') != std::wstring::npos) return false;
  if (text.empty()) {
    narrow->clear();
    return true;
  }
  UINT cp = ToPlatformCodePage(codePage);
  if (cp == CP_ACP) cp = GetACP();
  // UTF-8 takes neither flag nor default character: an unpaired surrogate
  // is its only unconvertible input.
  const bool utf8 = cp == CP_UTF8;
  const DWORD flags = utf8 ? WC_ERR_INVALID_CHARS : WC_NO_BEST_FIT_CHARS;
  BOOL usedDefault = FALSE;
  BOOL* usedDefaultOut = utf8 ? nullptr : &usedDefault;
  const int inputLength = static_cast<int>(text.size());
  const int needed = WideCharToMultiByte(cp, flags, text.data(), inputLength, nullptr, 0, nullptr, usedDefaultOut);
  if (needed <= 0 || usedDefault) return false;
  std::string result(static_cast<size_t>(needed), '\0');
  const int converted =
      WideCharToMultiByte(cp, flags, text.data(), inputLength, &result[0], needed, nullptr, usedDefaultOut);
  if (converted != needed || usedDefault) return false;
  // The way back must give the same text, whatever the code page's tables do.
  if (NarrowToWide(result, static_cast<int>(cp)) != text) return false;
  *narrow = std::move(result);
  return true;
}
