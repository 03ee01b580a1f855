// ZelTool: the support library's console tool. A small dispatcher: the first
// argument names the command, whose family file does the work.

#include <cstdio>
#include <cwchar>
#include <vector>

#include "tools/zeltool/commands.h"

namespace {

const std::vector<zeltool::Command> kCommands = {
    {L"crc", zeltool::kCrcUsage, zeltool::RunCrc},
    {L"version", zeltool::kVersionUsage, zeltool::RunVersion},
    {L"ls", zeltool::kLsUsage, zeltool::RunLs},
    {L"env", zeltool::kEnvUsage, zeltool::RunEnv},
    {L"log", zeltool::kLogUsage, zeltool::RunLog},
    {L"crash", zeltool::kCrashUsage, zeltool::RunCrash},
    {L"stack", zeltool::kStackUsage, zeltool::RunStack},
    {L"mof", zeltool::kMofUsage, zeltool::MofMain},
    {L"cleanup", zeltool::kCleanupUsage, zeltool::CleanupMain},
    {L"event-source", zeltool::kEventSourceUsage, zeltool::EventSourceMain},
};

void PrintUsage(FILE* stream) {
  std::fputs("usage: ZelTool COMMAND [OPTIONS] [ARGUMENTS]\n", stream);
  std::fputs("       ZelTool --help | ZelTool COMMAND --help\n", stream);
  std::fputs("commands:\n", stream);
  for (const auto& command : kCommands) {
    std::fputs(command.usage, stream);
  }
  std::fputs("exit codes: 0 done, 1 the operation failed, 2 usage error, 3 the logger did not become ready\n",
             stream);
}

bool IsHelp(const wchar_t* argument) {
  return std::wcscmp(argument, L"--help") == 0 || std::wcscmp(argument, L"-h") == 0 ||
         std::wcscmp(argument, L"/?") == 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    PrintUsage(stderr);
    return zeltool::kExitUsage;
  }
  if (IsHelp(argv[1])) {
    PrintUsage(stdout);
    return zeltool::kExitOk;
  }
  for (const auto& command : kCommands) {
    if (std::wcscmp(command.name, argv[1]) != 0) continue;
    if (argc > 2 && IsHelp(argv[2])) {
      std::fputs(command.usage, stdout);
      return zeltool::kExitOk;
    }
    return command.run(argc - 1, argv + 1);
  }
  std::fprintf(stderr, "ZelTool: unknown command %ls\n", argv[1]);
  PrintUsage(stderr);
  return zeltool::kExitUsage;
}
