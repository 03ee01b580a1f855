#pragma once
// How the fts functions report: through the caller's callback, with the
// module's own error record, messages formatted into the fixed buffer.

#include <cstdint>

#include "support/formatted_report.h"
#include "support/log_callback.h"

namespace fts {
namespace detail {

// Levels of the fts functions' reports.
constexpr int32_t kLevelError = 1;
constexpr int32_t kLevelWarning = 2;
constexpr int32_t kLevelProgress = 3;
constexpr int32_t kLevelStep = 4;

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

template <typename... Args>
void Report(LogCallback callback, int32_t level, const char* function, int32_t line, const wchar_t* format,
            Args... args) {
  SendFormatted<kLogMessageUnits>(callback, ModuleRecord(), level, function, line, format, args...);
}

}  // namespace detail
}  // namespace fts
