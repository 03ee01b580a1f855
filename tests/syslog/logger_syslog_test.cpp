// The running logger's syslog output: a TCP server that goes away and comes
// back, the "[DIAG]" events in the log file, and the entries after the return
// at the server; SysLogEnabled switched off and on at the registry polls.

#include <algorithm>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/winsock.h"
#include "tests/common/short_registry_poll.h"
#include "tests/logging/logger_fixture.h"
#include "tests/syslog/rsyslog_server.h"
#include "tests/syslog/stalled_server.h"

namespace {

class LoggerSyslogTest : public LoggerTest {
 protected:
  void SetUp() override {
    LoggerTest::SetUp();
    std::string error;
    ASSERT_TRUE(server_.Attach(error)) << error;
    marker_ = "m" + std::to_string(GetCurrentProcessId()) + "_" + std::to_string(GetTickCount());
    const std::string hosts = "127.0.0.1:" + std::to_string(server_.TcpPort()) + "/tcp";
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CURRENT_USER, std::string(key_.begin(), key_.end()).c_str(),
                                             "SysLogHost", REG_SZ, hosts.c_str(),
                                             static_cast<DWORD>(hosts.size() + 1)));
    Number(L"SysLogEnabled", 1);
    Number(L"SysLogLevel", 3);
    Number(L"DebugLogLevel", 4);
  }

  size_t CountInFile(const std::wstring& file, const std::wstring& text) const {
    const std::wstring all = Decode(file, 1);
    size_t found = 0;
    for (size_t at = all.find(text); at != std::wstring::npos; at = all.find(text, at + 1)) ++found;
    return found;
  }
  // Waits up to 10 s until the log file holds `text` `count` times.
  size_t WaitInFile(const std::wstring& file, const std::wstring& text, size_t count) const {
    for (int poll = 0; poll < 100 && CountInFile(file, text) < count; ++poll) Sleep(100);
    return CountInFile(file, text);
  }

  std::wstring Wide(const std::string& text) const { return std::wstring(text.begin(), text.end()); }

  syslog_test::RsyslogServer server_;
  std::string marker_;
};

TEST_F(LoggerSyslogTest, ALostServerIsToldAndRejoinedOnALaterPass) {
  const std::wstring connected = L"[DIAG] EVENT=Syslog_connected, EVENTMSG=\"Connected to 127.0.0.1\"";
  ASSERT_TRUE(Start(L"syslog.log"));
  ASSERT_EQ(WaitInFile(L"syslog.log", connected, 1), 1u);
  DebugLog(3, L"%s before", Wide(marker_).c_str());
  ASSERT_EQ(server_.WaitForLines(marker_ + " before", 1).size(), 1u);

  ASSERT_TRUE(server_.Stop());
  const std::wstring lost = L"EVENTMSG=\"Connection lost to 127.0.0.1\"";
  for (int i = 0; i < 100 && CountInFile(L"syslog.log", lost) == 0; ++i) {
    DebugLog(3, L"while stopped %d", i);
    Sleep(100);
  }
  ASSERT_TRUE(server_.Start());
  ASSERT_EQ(WaitInFile(L"syslog.log", connected, 2), 2u);
  // No ANSI form for this character: syslog gets the narrow text's stand-in,
  // the file the character.
  DebugLog(3, L"%s after \u4E2D", Wide(marker_).c_str());
  FlushAndStopDebugLogger();

  const std::wstring text = Decode(L"syslog.log", 1);
  EXPECT_NE(text.find(L"[DIAG] EVENT=Syslog_disconnected, ERROR="), std::wstring::npos);
  EXPECT_NE(text.find(Wide(marker_) + L" after \u4E2D"), std::wstring::npos);
  const std::vector<std::string> after = server_.WaitForLines(marker_ + " after", 1);
  ASSERT_EQ(after.size(), 1u);
  EXPECT_NE(after[0].find(marker_ + " after ?"), std::string::npos);
  // Level 3, facility 0.
  EXPECT_EQ(after[0].rfind("imtcp <5>", 0), 0u);
}

// A server that accepts and never reads, with blocking syslog on: the file
// takes every entry, and neither the caller's getters nor the stop wait for
// the server.
TEST_F(LoggerSyslogTest, AStalledServerHoldsUpNeitherTheFileNorTheCaller) {
  syslog_test::StalledServer stalled;
  ASSERT_TRUE(stalled.IsListening());
  const std::string hosts = stalled.HostList();
  ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CURRENT_USER, std::string(key_.begin(), key_.end()).c_str(),
                                           "SysLogHost", REG_SZ, hosts.c_str(), static_cast<DWORD>(hosts.size() + 1)));
  ASSERT_TRUE(Start(L"stalled.log"));
  DebugLog(3, L"first");
  ASSERT_EQ(WaitInFile(L"stalled.log", L"EVENT=Syslog_connected", 1), 1u);
  const std::wstring marker = Wide(marker_);
  const std::wstring padding(400, L'p');
  constexpr int kEntries = 20000;
  DWORD slowestGetter = 0;
  for (int i = 0; i < kEntries; ++i) {
    DebugLog(3, L"%s %d %s", marker.c_str(), i, padding.c_str());
    if (i % 500 != 0) continue;
    const DWORD before = GetTickCount();
    char name[MAX_PATH];
    EXPECT_TRUE(IsFileLoggingActive());
    EXPECT_GT(GetDebugLogFileName(name, MAX_PATH), 0);
    slowestGetter = std::max(slowestGetter, GetTickCount() - before);
  }
  const DWORD beforeStop = GetTickCount();
  FlushAndStopDebugLogger();
  // Hang bounds: behind a send the getters would wait its 2-s bound or more.
  EXPECT_LT(slowestGetter, 1000u);
  EXPECT_LT(GetTickCount() - beforeStop, 15000u);
  EXPECT_EQ(WaitInFile(L"stalled.log", padding + L"\r\n", kEntries), static_cast<size_t>(kEntries));
  // The control: the server was stalled enough to be given up on.
  EXPECT_GE(CountInFile(L"stalled.log", L"EVENTMSG=\"Connection lost to 127.0.0.1\""), 1u);
}

// The test waits for two polls. The file level, read at the same poll,
// tells when a poll has been made; entries logged after that are dispatched
// after the poll's switch.
TEST_F(LoggerSyslogTest, SysLogEnabledStopsAndStartsSyslogAtTheRegistryPoll) {
  const ShortRegistryPoll shortPoll;
  const auto waitForPoll = [](int level) {
    for (int i = 0; i < 450 && GetDebugLogLevel() != level; ++i) Sleep(100);
    return GetDebugLogLevel();
  };
  ASSERT_TRUE(Start(L"switch.log"));
  DebugLog(3, L"%s on before", Wide(marker_).c_str());
  ASSERT_EQ(server_.WaitForLines(marker_ + " on before", 1).size(), 1u);

  Number(L"SysLogEnabled", 0);
  Number(L"DebugLogLevel", 3);
  ASSERT_EQ(waitForPoll(3), 3);
  DebugLog(3, L"%s while off", Wide(marker_).c_str());

  Number(L"SysLogEnabled", 1);
  Number(L"DebugLogLevel", 4);
  ASSERT_EQ(waitForPoll(4), 4);
  DebugLog(3, L"%s on after", Wide(marker_).c_str());
  ASSERT_EQ(server_.WaitForLines(marker_ + " on after", 1).size(), 1u);
  FlushAndStopDebugLogger();

  // Had syslog not stopped, the entry in between would have gone over the
  // same connection ahead of the last one.
  const std::vector<std::string> received = server_.WaitForLines(marker_, 2);
  ASSERT_EQ(received.size(), 2u);
  EXPECT_NE(received[0].find(marker_ + " on before"), std::string::npos);
  EXPECT_NE(received[1].find(marker_ + " on after"), std::string::npos);
  EXPECT_EQ(CountInFile(L"switch.log", Wide(marker_) + L" while off"), 1u);
  // Started again: a new connection, reported at file level 4.
  EXPECT_EQ(CountInFile(L"switch.log", L"EVENT=Syslog_connected"), 2u);
}

}  // namespace
