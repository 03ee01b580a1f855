#pragma once
// The reporting contract shared by the provider, the registration library and
// the support library: one callback type, one error record, and the test that
// decides whether a callback may be called at all.

#include <cstdint>
#include <windows.h>

constexpr int32_t kErrorRecordTag = 51;
constexpr size_t kErrorRecordTextUnits = 2050;
// Messages are formatted into this many UTF-16 units (at most one fewer
// characters).
constexpr size_t kLogMessageUnits = 2048;

struct ErrorRecord {
  int32_t tag = kErrorRecordTag;
  wchar_t text[kErrorRecordTextUnits] = {};
};

using LogCallback = intptr_t (*)(int32_t level, int32_t a, int32_t b, int32_t c, const wchar_t* message,
                                 const char* function, int32_t line, ErrorRecord* record);

// A callback is usable when it is not null and its first 8 bytes are not
// writable: true of every code address, false of a pointer into data.
bool IsUsableCallback(LogCallback callback);

// Formats a message (printf rules, at most kLogMessageUnits - 1 units) and
// hands it to the callback when the callback is usable.
void LogFormatted(LogCallback callback, int32_t level, const char* function, int32_t line, ErrorRecord* record,
                  const wchar_t* format, ...);
