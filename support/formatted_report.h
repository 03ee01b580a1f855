#pragma once
// A report with arguments, formatted into a fixed buffer of `Units` wide
// characters (at most Units - 2 of them written), then handed to a callback
// with the caller's error record. The callback is tested before formatting,
// so nothing is formatted for nobody, and again before the call.

#include <cstddef>
#include <cstdint>
#include <cwchar>

#include "support/log_callback.h"

template <size_t Units, typename... Args>
void SendFormatted(LogCallback callback, ErrorRecord* record, int32_t level, const char* function, int32_t line,
                   const wchar_t* format, Args... args) {
  if (!IsUsableCallback(callback)) return;
  wchar_t message[Units] = {};
  if (std::swprintf(message, Units - 1, format, args...) < 0) message[0] = L'\0';
  if (!IsUsableCallback(callback)) return;
  callback(level, 0, 0, 0, message, function, line, record);
}
