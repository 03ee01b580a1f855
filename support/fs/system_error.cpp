#include "support/fs/system_error.h"

#include <memory>

#include "support/fs/code_page.h"

namespace {
struct LocalFreeDeleter {
  void operator()(wchar_t* text) const { LocalFree(text); }
};
}  // namespace

std::wstring SystemErrorText(DWORD errorNumber) {
  wchar_t* raw = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
      errorNumber, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), reinterpret_cast<wchar_t*>(&raw), 0, nullptr);
  std::unique_ptr<wchar_t, LocalFreeDeleter> owned(raw);
  if (length == 0 || raw == nullptr) return std::wstring();
  std::wstring text(raw, length);
  while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n')) text.pop_back();
  return text;
}

std::string SystemErrorTextNarrow(DWORD errorNumber) { return WideToNarrow(SystemErrorText(errorNumber)); }
