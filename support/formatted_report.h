#pragma once
// A report with arguments, formatted with SafeFormat into a zeroed buffer of
// `Units` wide characters with a count of Units - 1 (so at most Units - 2
// characters; longer output is cut, refused arguments leave it empty), then
// handed to a callback with the caller's error record. The callback is tested
// before formatting, so nothing is formatted for nobody, and again before the
// call.

#include <cstddef>
#include <cstdint>

#include "support/log_callback.h"
#include "support/logging/debug_log.h"

template <size_t Units, typename... Args>
void SendFormatted(LogCallback callback, ErrorRecord* record, int32_t level, const char* function, int32_t line,
                   const wchar_t* format, Args... args) {
  if (!IsUsableCallback(callback)) return;
  wchar_t message[Units] = {};
  SafeFormat(message, static_cast<int>(Units - 1), format, args...);
  if (!IsUsableCallback(callback)) return;
  callback(level, 0, 0, 0, message, function, line, record);
}
