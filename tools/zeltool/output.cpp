#include "tools/zeltool/output.h"

#include <cstdio>
#include <windows.h>

#include "support/fs/code_page.h"

namespace zeltool {

void PrintLine(const std::wstring& text) {
  std::fputs(WideToNarrow(text + L"\n", CP_UTF8).c_str(), stdout);
}

void PrintError(const wchar_t* command, const std::wstring& text) {
  std::fprintf(stderr, "ZelTool %s: %s\n", WideToNarrow(command, CP_UTF8).c_str(),
               WideToNarrow(text, CP_UTF8).c_str());
}

intptr_t PrintReport(int32_t level, int32_t a, int32_t b, int32_t c, const wchar_t* message, const char* function,
                     int32_t line, ErrorRecord* record) {
  if (level > 2) return 0;
  return PrintEveryReport(level, a, b, c, message, function, line, record);
}

intptr_t PrintEveryReport(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*, int32_t,
                          ErrorRecord*) {
  if (message == nullptr || message[0] == L'\0') return 0;
  std::wstring text = message;
  while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
  std::fprintf(stderr, "%d: %s\n", level, WideToNarrow(text, CP_UTF8).c_str());
  return 0;
}

}  // namespace zeltool
