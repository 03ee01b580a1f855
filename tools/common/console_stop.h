#pragma once
// Ctrl+C, Ctrl+Break and console close as a waitable event, so a tool's main
// loop can wait on "stop" together with its timer or other events.

#include <windows.h>

namespace tools {

class ConsoleStop {
 public:
  // Installs the console control handler; only one object may exist at a time.
  ConsoleStop();
  ~ConsoleStop();
  ConsoleStop(const ConsoleStop&) = delete;
  ConsoleStop& operator=(const ConsoleStop&) = delete;

  // Manual-reset; signalled once a stop was asked for.
  HANDLE Event() const;
  bool Requested() const;
};

}  // namespace tools
