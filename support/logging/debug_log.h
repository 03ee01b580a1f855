#pragma once
// The logging entry points of the support library. Each entry is checked
// before it is formatted: its level against the process-wide logger's
// outputs, then every argument its format consumes against the memory the
// argument points to. An entry that fails is not formatted; a report naming
// it is logged at level 5 instead. Entries are dropped (after the checks)
// while the logger is not ready. Texts are cut at 1023 characters.

#include <cstdarg>
#include <cstdint>

#include "support/log_callback.h"

// The longest formatted text, in characters.
constexpr int kLogTextLimit = 1023;

void DebugLog(int32_t level, const char* format, ...);
void DebugLog(int32_t level, const wchar_t* format, ...);
void DebugLogId(int32_t level, uint32_t eventId, const char* format, ...);
void DebugLogId(int32_t level, uint32_t eventId, const wchar_t* format, ...);
void DebugLogUser(const char* userTag, int32_t level, const char* format, ...);
void DebugLogUser(const wchar_t* userTag, int32_t level, const wchar_t* format, ...);
void DebugLogUserId(const char* userTag, int32_t level, uint32_t eventId, const char* format, ...);
void DebugLogUserId(const wchar_t* userTag, int32_t level, uint32_t eventId, const wchar_t* format, ...);
// The same with an argument list, for functions that take their own.
void DebugLogV(const char* userTag, int32_t level, uint32_t eventId, const char* format, va_list args);
void DebugLogV(const wchar_t* userTag, int32_t level, uint32_t eventId, const wchar_t* format, va_list args);

// True when some output of the logger would take the level (level 5 always).
bool IsLevelEnabled(int32_t level);

// Checks the arguments like an entry at level 3, then formats at most
// count-1 characters, always terminated. Returns the formatter's result (-1
// when cut), or 0 with the buffer untouched when the arguments fail.
int SafeFormat(wchar_t* buffer, int count, const wchar_t* format, ...);

// `due` at most once per period for the caller's *lastTime (calendar
// seconds), `other` otherwise; the period is `seconds`, or the logger's event
// log time threshold when 0. Lock-free: of several threads only one wins.
int32_t ThrottleLevel(int64_t* lastTime, int32_t due, int32_t other, int32_t seconds);

// A LogCallback that logs the message at its level; 0 for a null message.
intptr_t LogReportLine(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char* function,
                       int32_t line, ErrorRecord* record);
