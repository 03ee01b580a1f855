#pragma once
// A LogCallback for tests that records every call, process-wide.

#include <mutex>
#include <string>
#include <vector>

#include "support/log_callback.h"

struct CapturedLog {
  int level;
  std::wstring message;
  std::string function;
  // The three integers of the call (the listings' progress values).
  int a = 0;
  int b = 0;
  int c = 0;
};

class LogCapture {
 public:
  LogCapture() { Entries().clear(); }
  static LogCallback Callback() { return &Record; }
  std::vector<CapturedLog> entries() const {
    std::lock_guard<std::mutex> guard(Mutex());
    return Entries();
  }

 private:
  static intptr_t Record(int32_t level, int32_t a, int32_t b, int32_t c, const wchar_t* message,
                         const char* function, int32_t, ErrorRecord*) {
    std::lock_guard<std::mutex> guard(Mutex());
    Entries().push_back({level, message ? message : L"", function ? function : "", a, b, c});
    return 0;
  }
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::vector<CapturedLog>& Entries() {
    static std::vector<CapturedLog> entries;
    return entries;
  }
};
