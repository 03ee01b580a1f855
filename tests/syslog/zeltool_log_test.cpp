// ZelTool log run as a separate process: configured by a per-user key like a
// service, it writes the log file and sends to the real rsyslogd.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/syslog/rsyslog_server.h"
#include "tests/tools/zeltool_run.h"

namespace {

TEST(ZelToolLogTest, UsageErrorsExitWithTwo) {
  for (const wchar_t* arguments : {L"log --file x.log", L"log text", L"log --file a --root b text",
                                   L"log --file a --ident i text", L"log --file a --level 16 text",
                                   L"log --file a one two", L"log --file a --colour red text"}) {
    const ZelToolRun outcome = RunZelTool(arguments);
    EXPECT_EQ(2u, outcome.exitCode) << arguments;
    EXPECT_NE(std::string::npos, outcome.errors.find("log [--key KEY]")) << arguments;
  }
}

TEST(ZelToolLogTest, LogsTheTextToTheFileAndToSyslog) {
  syslog_test::RsyslogServer server;
  std::string error;
  ASSERT_TRUE(server.Attach(error)) << error;
  const std::string key = "Software\\FernwickZelToolLog_" + std::to_string(GetCurrentProcessId());
  const std::string hosts = "127.0.0.1:" + std::to_string(server.UdpPort());
  HKEY handle;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &handle,
                                           nullptr));
  RegSetValueExA(handle, "SysLogHost", 0, REG_SZ, reinterpret_cast<const BYTE*>(hosts.c_str()),
                 static_cast<DWORD>(hosts.size() + 1));
  for (const auto& [name, value] :
       {std::pair<const char*, DWORD>{"SysLogEnabled", 1}, {"SysLogFacility", 1}, {"DebugLogEncoding", 0}}) {
    RegSetValueExA(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof value);
  }
  RegCloseKey(handle);
  ScratchFolder scratch;
  const std::wstring file = scratch.Path(L"zeltool.log");
  const std::string marker = "z" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());

  // "%d %s" stays text: TEXT is never a format.
  const ZelToolRun outcome =
      RunZelTool(L"log --user --key " + std::wstring(key.begin(), key.end()) + L" --file \"" + file +
                 L"\" --level 2 --event-id 1073746484 --tag T --count 3 \"" +
                 std::wstring(marker.begin(), marker.end()) + L" %d %s\"");
  RegDeleteTreeA(HKEY_CURRENT_USER, key.c_str());
  EXPECT_EQ(0u, outcome.exitCode) << outcome.errors;
  std::ifstream stream(std::filesystem::path(file), std::ios::binary);
  std::ostringstream text;
  text << stream.rdbuf();
  const std::string line = "{T} " + marker + " %d %s\r\n";
  size_t lines = 0;
  for (size_t at = text.str().find(line); at != std::string::npos; at = text.str().find(line, at + 1)) ++lines;
  EXPECT_EQ(3u, lines) << text.str();
  const std::vector<std::string> received = server.WaitForLines(marker, 3);
  ASSERT_EQ(3u, received.size());
  // Level 2 and facility 1; the code is the event id's low 16 bits.
  for (const std::string& line : received) {
    EXPECT_EQ(0u, line.rfind("imudp <12>", 0)) << line;
    EXPECT_NE(std::string::npos, line.find(": (#04660) {T} " + marker + " %d %s#012")) << line;
  }
}

}  // namespace
