#pragma once
// How ZelTool's commands write: records for scripts on stdout as UTF-8 lines,
// reasons and callback reports on stderr.

#include <string>

#include "support/log_callback.h"

namespace zeltool {

void PrintLine(const std::wstring& text);
// "ZelTool COMMAND: TEXT" on stderr.
void PrintError(const wchar_t* command, const std::wstring& text);
// A LogCallback that prints errors and warnings (levels up to 2) as
// "LEVEL: TEXT" on stderr and ignores progress.
intptr_t PrintReport(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char* function,
                     int32_t line, ErrorRecord* record);
// The same for every level, progress included; line ends at the end of a
// message are dropped.
intptr_t PrintEveryReport(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char* function,
                          int32_t line, ErrorRecord* record);

}  // namespace zeltool
