#pragma once
// LOGGER-OPTIONS, shared by the commands that start the process-wide logger
// as a service would: --key KEY (its registry values configure the logger),
// --user (KEY under HKEY_CURRENT_USER), --source NAME (event source), and
// either --file PATH or --root FOLDER with an optional --ident IDENT.

#include <functional>
#include <string>

#include "support/logging/debug_logger_config.h"
#include "tools/common/arguments.h"

namespace zeltool {

struct LoggerOptions {
  std::wstring key;
  bool perUser = false;
  std::wstring source = L"ZelTool";
  std::wstring file;
  std::wstring root;
  std::wstring ident;
  bool identGiven = false;
};

// A command's own options and arguments, offered every item that is not a
// LOGGER-OPTION; it returns false for an unknown option or a bad value.
using CommandOptionHandler = std::function<bool(tools::ArgumentList& args, const std::wstring& item)>;

// Parses a command line made of LOGGER-OPTIONS and the command's own items
// (`other` may be empty when the command has none). On a bad line prints the
// error and `usage` on stderr and returns false.
bool ParseLoggerCommandLine(int argc, const wchar_t* const* argv, const char* tool, const char* usage,
                            LoggerOptions& options, const CommandOptionHandler& other);

// Starts the logger as the options say and waits until it is ready. When it
// does not become ready, prints why on stderr, stops what was started and
// returns false. `listener` is told of every log file opened.
bool StartLogger(const wchar_t* command, const LoggerOptions& options, LogFileListener* listener = nullptr);

}  // namespace zeltool
