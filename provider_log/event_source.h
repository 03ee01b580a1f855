#pragma once
// Event-log source setup beside the provider log: the registry entries of a
// source under the Application log, and a settings record for a host that
// logs through both.

#include <cstdint>

#include <windows.h>

#include "support/log_callback.h"

constexpr size_t kLogSettingsNameUnits = 255;

// Filled by StartLogging. The event-source handle belongs to the caller,
// who releases it with DeregisterEventSource.
struct LogSettings {
  HANDLE eventSource;
  wchar_t sourceName[kLogSettingsNameUnits];
  int32_t level;
  wchar_t logName[kLogSettingsNameUnits];
};

// Installs and registers the event source `sourceName` and fills `settings`
// with it, `level` (3 when outside -1..17) and `logName`. -1 when `settings`
// or the source name is missing, or when `logName` is missing or empty (the
// source is registered all the same). Changes nothing of the provider log.
int StartLogging(const wchar_t* logName, int level, const wchar_t* sourceName, LogSettings* settings);

// Writes "TypesSupported" and "EventMessageFile" (the process's executable)
// under the Application log's key of `sourceName`, creating it if needed.
// True when the message file was written.
bool InstallEventSource(const wchar_t* sourceName, LogCallback callback);
