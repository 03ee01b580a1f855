#include "support/log_callback.h"

#include <cstdarg>
#include <cwchar>

bool IsUsableCallback(LogCallback callback) {
  if (callback == nullptr) return false;
  return IsBadWritePtr(reinterpret_cast<void*>(callback), 8) == 1;
}

void LogFormatted(LogCallback callback, int32_t level, const char* function, int32_t line, ErrorRecord* record,
                  const wchar_t* format, ...) {
  if (!IsUsableCallback(callback)) return;
  wchar_t message[kLogMessageUnits];
  va_list args;
  va_start(args, format);
  const int written = vswprintf(message, kLogMessageUnits, format, args);
  va_end(args);
  // vswprintf fails rather than truncates; keep what fitted, terminated.
  if (written < 0) message[kLogMessageUnits - 1] = L'\0';
  callback(level, 0, 0, 0, message, function, line, record);
}
