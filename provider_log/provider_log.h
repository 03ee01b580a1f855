#pragma once
// The provider's own diagnostic log: one text file per computer and UTC day,
// %TEMP%\YYYYMMDD\COMPUTERNAME_log_YYYYMMDD.txt.

#include <string>

#include "support/log_callback.h"

// The LogCallback the provider hands its components. Writes the message when
// its level passes the threshold, drops an exact repeat of the previous
// message, and returns `record` (holding a copy of the message) when it is a
// valid error record, else null. Never fails towards its caller.
intptr_t WriteProviderLog(int32_t level, int32_t a, int32_t b, int32_t c, const wchar_t* message,
                          const char* function, int32_t line, ErrorRecord* record);

// The log's threshold: with 3 or less, levels above it are not written; above
// 3, every level is.
int GetLogLevel();
// The folder below which day folders are made; empty until the first write
// takes it from TEMP.
std::wstring GetLogFolder();
// 0, or -1 when `folder` is missing or empty or `level` lies outside -1..17.
int SetLogLevelAndFolder(const wchar_t* folder, int level);
// Event-log entry type for a level: error (1), warning (2) or information (4).
int LevelToEventType(int level);
