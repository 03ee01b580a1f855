#include "tools/zeltool/logger_options.h"

#include <cstdio>

#include "support/logging/debug_logger.h"

namespace zeltool {

bool ParseLoggerCommandLine(int argc, const wchar_t* const* argv, const char* usage, LoggerOptions& options,
                            const std::function<bool(tools::ArgumentList& args, const std::wstring& option)>& other) {
  const bool parsed =
      tools::ParseCommandLine(argc, argv, "ZelTool", usage, [&](tools::ArgumentList& args, const std::wstring& option) {
        if (option == L"--key") return args.TakeText(option, &options.key);
        if (option == L"--user") {
          options.perUser = true;
          return true;
        }
        if (option == L"--source") return args.TakeText(option, &options.source);
        if (option == L"--file") return args.TakeText(option, &options.file);
        if (option == L"--root") return args.TakeText(option, &options.root);
        if (option == L"--ident") return args.TakeText(option, &options.ident);
        return other ? other(args, option) : args.RejectUnknown(option);
      });
  if (!parsed) return false;
  const char* problem = nullptr;
  if (options.file.empty() == options.root.empty()) {
    problem = "give either --file or --root";
  } else if (!options.ident.empty() && options.root.empty()) {
    problem = "--ident goes with --root";
  }
  if (problem == nullptr) return true;
  std::fprintf(stderr, "ZelTool: %s\n%s", problem, usage);
  return false;
}

bool StartLogger(const LoggerOptions& options) {
  if (!options.file.empty()) {
    return StartDebugLogger(options.source.c_str(), options.key.c_str(), options.perUser, options.file.c_str(),
                            nullptr);
  }
  return StartDebugLogger(options.ident.c_str(), options.source.c_str(), options.key.c_str(), options.perUser,
                          options.root.c_str(), nullptr);
}

}  // namespace zeltool
