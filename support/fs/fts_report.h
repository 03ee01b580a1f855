#pragma once
// How the fts functions report: through the caller's callback, with the
// module's own error record, messages formatted into the fixed buffer.

#include <cstdint>
#include <cwchar>

#include "support/log_callback.h"

namespace fts {
namespace detail {

// The module's error record, handed to every callback call.
ErrorRecord* ModuleRecord();

// Progress integers of a report; all zero for plain messages.
struct Progress {
  int32_t level = 0;
  int32_t total = 0;
  int32_t position = 0;
};

inline void Send(LogCallback callback, int32_t level, Progress progress, const wchar_t* message,
                 const char* function, int32_t line) {
  if (!IsUsableCallback(callback)) return;
  callback(level, progress.level, progress.total, progress.position, message, function, line, ModuleRecord());
}

// A message with arguments; the callback is tested first so that nothing is
// formatted for nobody.
template <typename... Args>
void Report(LogCallback callback, int32_t level, const char* function, int32_t line, const wchar_t* format,
            Args... args) {
  if (!IsUsableCallback(callback)) return;
  wchar_t message[kLogMessageUnits] = {};
  if (std::swprintf(message, kLogMessageUnits - 1, format, args...) < 0) message[0] = L'\0';
  Send(callback, level, Progress{}, message, function, line);
}

}  // namespace detail
}  // namespace fts
