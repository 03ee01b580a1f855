#pragma once
// One admitted log entry on its way to the logger thread, and the direct sink
// that takes entries on the logging thread instead.

#include <cstdint>
#include <windows.h>

#include "support/text/zel_string.h"

struct LogEntry {
  uint32_t eventId = 0;
  uint32_t threadId = 0;
  int32_t level = 0;
  ZELString userTag;
  // Trailing white space already removed.
  ZELString text;
  // Local time at creation.
  SYSTEMTIME time = {};
  // A line of the environment report that introduces a newly opened log
  // file: the file's size limit does not count it.
  bool introducesFile = false;
};

// Receives the text of every admitted entry on the thread that logged it, so
// implementations must accept concurrent calls.
class LogSink {
 public:
  virtual void Write(ZELString& text) = 0;

 protected:
  ~LogSink() = default;
};
