#include "support/logging/console_output.h"

#include <cwchar>
#include <string>

#include "support/fs/code_page.h"

namespace {

constexpr size_t kLineUnits = 1024;

}  // namespace

void WriteConsoleLine(const SYSTEMTIME& time, DWORD threadId, int32_t level, const wchar_t* text, uint32_t eventId) {
  wchar_t line[kLineUnits];
  const unsigned long code = eventId != 0 ? (eventId & 0xFFFF) : static_cast<unsigned long>(level) * 10000;
  int length = _snwprintf(line, kLineUnits - 1, L"[%05lu] (%02d:%02d:%02d.%03d):{0x%04X} %s\n", code, time.wHour,
                          time.wMinute, time.wSecond, time.wMilliseconds, threadId, text);
  if (length < 0) {
    // Cut: the line still ends.
    length = kLineUnits - 1;
    line[length - 1] = L'\n';
  }
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  if (output == nullptr || output == INVALID_HANDLE_VALUE) return;
  DWORD mode = 0;
  DWORD written = 0;
  if (GetConsoleMode(output, &mode)) {
    WriteConsoleW(output, line, static_cast<DWORD>(length), &written, nullptr);
    return;
  }
  std::wstring redirected(line, static_cast<size_t>(length - 1));
  redirected += L"\r\n";
  const std::string bytes = WideToNarrow(redirected);
  WriteFile(output, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}
