#pragma once
// Runs ZelTool from the test's own bin folder as a separate process and
// collects its exit code and output.

#include <chrono>
#include <string>
#include <vector>

#include <windows.h>

#include "tests/fs/scratch_folder.h"
#include "tests/tools/child_process.h"

struct ZelToolRun {
  DWORD exitCode = 0xFFFFFFFF;  // also when the tool did not start or end
  std::vector<std::string> lines;
  std::string errors;  // standard error, line ends as "\n"
};

// Wine's crash debugger is switched off for the child: a tool that crashes,
// on purpose or not, must end rather than wait in the debugger.
inline ZelToolRun RunZelTool(const std::wstring& arguments) {
  wchar_t overrides[512] = {};
  GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 512);
  const std::wstring saved = overrides;
  SetEnvironmentVariableW(L"WINEDLLOVERRIDES", (saved.empty() ? L"" : saved + L";").append(L"winedbg.exe=d").c_str());
  tools_test::ChildProcess tool;
  const bool started = tool.Start(ExecutableFolder() + L"\\ZelTool.exe", arguments);
  SetEnvironmentVariableW(L"WINEDLLOVERRIDES", saved.empty() ? nullptr : saved.c_str());
  ZelToolRun run;
  if (!started) return run;
  while (auto line = tool.NextLine(std::chrono::seconds(20))) run.lines.push_back(*line);
  run.exitCode = tool.WaitForExit(std::chrono::seconds(60)).value_or(0xFFFFFFFF);
  for (char c : tool.ErrorText()) {
    if (c != '\r') run.errors += c;
  }
  return run;
}
