#pragma once
// ZelTool's commands. Each family lives in a file of its own and is listed in
// the dispatch table of main.cpp.

namespace zeltool {

enum ExitCode {
  kExitOk = 0,
  kExitFailed = 1,
  kExitUsage = 2,
  kExitLoggerNotReady = 3,
};

// A command receives the arguments after its own name; argv[0] is the
// command name, so the tools' option parser reads them as it reads a
// program's command line.
using CommandMain = int (*)(int argc, wchar_t** argv);

struct Command {
  const wchar_t* name;
  // One or more usage lines, each ending in a line feed.
  const char* usage;
  CommandMain run;
};

// File functions (file_commands.cpp).
extern const char kCrcUsage[];
extern const char kVersionUsage[];
extern const char kLsUsage[];
int RunCrc(int argc, wchar_t** argv);
int RunVersion(int argc, wchar_t** argv);
int RunLs(int argc, wchar_t** argv);

// WMI maintenance (maintenance_commands.cpp).
extern const char kMofUsage[];
extern const char kCleanupUsage[];
extern const char kEventSourceUsage[];
int MofMain(int argc, wchar_t** argv);
int CleanupMain(int argc, wchar_t** argv);
int EventSourceMain(int argc, wchar_t** argv);

// Environment report (env_commands.cpp).
extern const char kEnvUsage[];
int RunEnv(int argc, wchar_t** argv);

// The logger from the command line (log_commands.cpp).
extern const char kLogUsage[];
int RunLog(int argc, wchar_t** argv);

// Crash diagnostics (crash_commands.cpp).
extern const char kCrashUsage[];
extern const char kStackUsage[];
int RunCrash(int argc, wchar_t** argv);
int RunStack(int argc, wchar_t** argv);

}  // namespace zeltool
