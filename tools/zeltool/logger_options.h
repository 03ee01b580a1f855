#pragma once
// LOGGER-OPTIONS, shared by the commands that start the process-wide logger
// as a service would: --key KEY (its registry values configure the logger),
// --user (KEY under HKEY_CURRENT_USER), --source NAME (event source), and
// either --file PATH or --root FOLDER with an optional --ident IDENT.

#include <functional>
#include <string>

#include "tools/common/arguments.h"

namespace zeltool {

struct LoggerOptions {
  std::wstring key;
  bool perUser = false;
  std::wstring source;
  std::wstring file;
  std::wstring root;
  std::wstring ident;
};

// Parses a command line made of LOGGER-OPTIONS and the command's own
// options, which go to `other` (it may be empty when there are none).
// Prints the error and `usage` on stderr and returns false on a bad line.
bool ParseLoggerCommandLine(int argc, const wchar_t* const* argv, const char* usage, LoggerOptions& options,
                            const std::function<bool(tools::ArgumentList& args, const std::wstring& option)>& other);

// Starts the logger as the options say and waits until it is ready.
bool StartLogger(const LoggerOptions& options);

}  // namespace zeltool
