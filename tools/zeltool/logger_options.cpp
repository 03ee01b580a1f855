#include "tools/zeltool/logger_options.h"

#include <cstdio>

#include "support/logging/debug_logger.h"
#include "tools/zeltool/output.h"

namespace zeltool {

bool ParseLoggerCommandLine(int argc, const wchar_t* const* argv, const char* tool, const char* usage,
                            LoggerOptions& options, const CommandOptionHandler& other) {
  const bool parsed =
      tools::ParseCommandLine(argc, argv, tool, usage, [&](tools::ArgumentList& args, const std::wstring& item) {
        if (item == L"--key") return args.TakeText(item, &options.key);
        if (item == L"--user") return options.perUser = true;
        if (item == L"--source") return args.TakeText(item, &options.source);
        if (item == L"--file") return args.TakeText(item, &options.file);
        if (item == L"--root") return args.TakeText(item, &options.root);
        if (item == L"--ident") return options.identGiven = args.TakeText(item, &options.ident);
        return other ? other(args, item) : args.RejectUnknown(item);
      });
  if (!parsed) return false;
  const char* problem = nullptr;
  if (options.file.empty() == options.root.empty()) {
    problem = "give exactly one of --file and --root";
  } else if (options.identGiven && options.root.empty()) {
    problem = "--ident goes with --root";
  }
  if (problem == nullptr) return true;
  std::fprintf(stderr, "%s: %s\n%s", tool, problem, usage);
  return false;
}

bool StartLogger(const wchar_t* command, const LoggerOptions& options, LogFileListener* listener) {
  const bool started =
      options.file.empty()
          ? StartDebugLogger(options.ident.c_str(), options.source.c_str(), options.key.c_str(), options.perUser,
                             options.root.c_str(), listener)
          : StartDebugLogger(options.source.c_str(), options.key.c_str(), options.perUser, options.file.c_str(),
                             listener);
  if (started) return true;
  PrintError(command, L"the logger did not become ready: its configuration failed or its thread ended");
  FlushAndStopDebugLogger();
  return false;
}

}  // namespace zeltool
