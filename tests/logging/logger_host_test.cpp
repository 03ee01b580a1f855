#include <chrono>
#include <regex>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/fs/scratch_folder.h"
#include "tests/tools/child_process.h"

// The console line reaches a redirected standard output (where the console
// call fails), and the event source is installed with the host as its
// message file. (The reports themselves are checked by the logger_host_events
// test: Wine prints their strings only on debug channels that a process
// started from here cannot turn on.)
TEST(LoggerHostTest, ConsoleLinesReachAPipeAndTheEventSourceNamesTheHost) {
  const std::wstring host = ExecutableFolder() + L"\\logger_host.exe";
  tools_test::ChildProcess child;
  ASSERT_TRUE(child.Start(host, L""));
  const std::regex kVariable("\\(\\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\):\\{0x[0-9A-F]{4,}\\}");
  std::string console;
  while (const auto line = child.NextLine(std::chrono::seconds(20))) console += *line + "\n";
  EXPECT_EQ(child.WaitForExit(std::chrono::seconds(20)), DWORD{0});
  EXPECT_EQ(
      "[30000] (T):{I} console \xE9\n"
      "[04660] (T):{I} error with id\n"
      "[20000] (T):{I} warning\n",
      std::regex_replace(console, kVariable, "(T):{I}"));

  // The source's key names the host, which carries the message table.
  wchar_t messageFile[MAX_PATH] = {};
  DWORD size = sizeof messageFile;
  ASSERT_EQ(ERROR_SUCCESS, RegGetValueW(HKEY_LOCAL_MACHINE,
                                        L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\FernwickLoggerHost",
                                        L"EventMessageFile", RRF_RT_REG_SZ, nullptr, messageFile, &size));
  EXPECT_EQ(0, lstrcmpiW(host.c_str(), messageFile));
  DWORD types = 0;
  size = sizeof types;
  RegGetValueW(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\FernwickLoggerHost",
               L"TypesSupported", RRF_RT_REG_DWORD, nullptr, &types, &size);
  EXPECT_EQ(7u, types);
}
