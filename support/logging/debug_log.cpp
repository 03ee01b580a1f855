#include "support/logging/debug_log.h"

#include <cstdio>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <string>

#include "support/logging/debug_logger.h"
#include "support/logging/log_arguments.h"
#include "support/text/zel_string.h"
#include "support/threads/atomic.h"

namespace {

// The tag, cut to its limit (the check read no further).
ZELString UserTagText(const wchar_t* userTag) {
  if (userTag == nullptr) return ZELString();
  return ZELString(std::wstring(userTag, wcsnlen(userTag, kUserTagLimit)).c_str());
}

ZELString UserTagText(const char* userTag) {
  if (userTag == nullptr) return ZELString();
  return ZELString(std::string(userTag, strnlen(userTag, kUserTagLimit)).c_str(), Windows1252Flag);
}

// The entry's text, cut at kLogTextLimit characters: formatted on the stack
// (wiped afterwards, as ZELString wipes its own scratch), so that the text
// costs one allocation. A narrow text is formatted narrow, then converted
// with the thread's code page.
void FormatEntryText(ZELString& text, const wchar_t* format, va_list args) {
  wchar_t buffer[kLogTextLimit + 1];
  const int written = _vsnwprintf(buffer, kLogTextLimit, format, args);
  buffer[kLogTextLimit] = L'\0';
  const int length = written < 0 ? static_cast<int>(wcslen(buffer)) : written;
  text.Assign(buffer, length);
  SecureZeroMemory(buffer, static_cast<size_t>(length) * sizeof(wchar_t));
}

void FormatEntryText(ZELString& text, const char* format, va_list args) {
  char buffer[kLogTextLimit + 1];
  const int written = _vsnprintf(buffer, kLogTextLimit, format, args);
  buffer[kLogTextLimit] = '\0';
  const int length = written < 0 ? static_cast<int>(strlen(buffer)) : written;
  text.Assign(buffer, length, static_cast<UINT>(CP_THREAD_ACP));
  SecureZeroMemory(buffer, static_cast<size_t>(length));
}

template <typename Char>
void LogEntryV(const Char* userTag, int32_t level, uint32_t eventId, const Char* format, va_list args) {
  if (!IsLevelEnabled(level)) return;
  constexpr bool wideCall = sizeof(Char) == sizeof(wchar_t);
  if (!ValidateLogArguments(level, format, args, eventId, userTag, wideCall)) return;
  DebugLogger& logger = GetDebugLogger();
  if (!logger.IsReady()) return;
  logger.Admit(level, eventId, UserTagText(userTag), [&](ZELString& text) { FormatEntryText(text, format, args); });
}

}  // namespace

void DebugLogV(const wchar_t* userTag, int32_t level, uint32_t eventId, const wchar_t* format, va_list args) {
  LogEntryV(userTag, level, eventId, format, args);
}

void DebugLogV(const char* userTag, int32_t level, uint32_t eventId, const char* format, va_list args) {
  LogEntryV(userTag, level, eventId, format, args);
}

// The variadic forms differ only in where their list starts.
#define FERNWICK_FORWARD_LOG(userTag, level, eventId, format) \
  va_list args;                                                \
  va_start(args, format);                                      \
  DebugLogV(userTag, level, eventId, format, args);            \
  va_end(args)

void DebugLog(int32_t level, const char* format, ...) {
  FERNWICK_FORWARD_LOG(static_cast<const char*>(nullptr), level, 0, format);
}

void DebugLog(int32_t level, const wchar_t* format, ...) {
  FERNWICK_FORWARD_LOG(static_cast<const wchar_t*>(nullptr), level, 0, format);
}

void DebugLogId(int32_t level, uint32_t eventId, const char* format, ...) {
  FERNWICK_FORWARD_LOG(static_cast<const char*>(nullptr), level, eventId, format);
}

void DebugLogId(int32_t level, uint32_t eventId, const wchar_t* format, ...) {
  FERNWICK_FORWARD_LOG(static_cast<const wchar_t*>(nullptr), level, eventId, format);
}

void DebugLogUser(const char* userTag, int32_t level, const char* format, ...) {
  FERNWICK_FORWARD_LOG(userTag, level, 0, format);
}

void DebugLogUser(const wchar_t* userTag, int32_t level, const wchar_t* format, ...) {
  FERNWICK_FORWARD_LOG(userTag, level, 0, format);
}

void DebugLogUserId(const char* userTag, int32_t level, uint32_t eventId, const char* format, ...) {
  FERNWICK_FORWARD_LOG(userTag, level, eventId, format);
}

void DebugLogUserId(const wchar_t* userTag, int32_t level, uint32_t eventId, const wchar_t* format, ...) {
  FERNWICK_FORWARD_LOG(userTag, level, eventId, format);
}

#undef FERNWICK_FORWARD_LOG

bool IsLevelEnabled(int32_t level) {
  // The highest level is the largest of the four outputs' levels.
  return level <= GetDebugLogger().GetHighestLevel() || level == kAlwaysLoggedLevel;
}

int SafeFormat(wchar_t* buffer, int count, const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  int result = 0;
  if (ValidateLogArguments(3, format, args, 0, nullptr, true)) {
    if (buffer == nullptr || count <= 0) {
      result = -1;  // nothing fits
    } else {
      result = _vsnwprintf(buffer, static_cast<size_t>(count - 1), format, args);
      buffer[count - 1] = L'\0';
    }
  }
  va_end(args);
  return result;
}

int32_t ThrottleLevel(int64_t* lastTime, int32_t due, int32_t other, int32_t seconds) {
  if (lastTime == nullptr) return due;
  const int64_t threshold = seconds != 0 ? seconds : GetDebugLogger().GetEventLogTimeThreshold();
  const int64_t now = _time64(nullptr);
  const int64_t last = AtomicCompareExchange64(lastTime, 0, 0);  // an atomic read
  if (now - last > threshold && AtomicCompareExchange64(lastTime, now, last) == last) return due;
  return other;
}

intptr_t LogReportLine(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*, int32_t,
                       ErrorRecord*) {
  if (message == nullptr) return 0;
  DebugLog(level, L"%s", message);
  return 1;
}
