#include <cerrno>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "tests/common/short_registry_poll.h"
#include "tests/logging/logger_fixture.h"

using LoggerFileTest = LoggerTest;

TEST_F(LoggerFileTest, EachEncodingWritesItsHeaderAndLinesAndContinuesOnlyAMatchingFile) {
  const std::wstring headers[] = {L"", L"\uFEFFUTF-8 encoded\r\n", L"\uFEFFUTF-16LE encoded\r\n"};
  for (int encoding = 0; encoding <= 2; ++encoding) {
    const std::wstring file = L"trace" + std::to_wstring(encoding) + L".log";
    Number(L"DebugLogEncoding", static_cast<DWORD>(encoding));
    ASSERT_TRUE(Start(file));
    DebugLog(3, L"plain %d", 1);
    DebugLogUser(L"tag", 3, L"tagged \u00E9\u20AC");
    DebugLogId(1, 0x40001234, L"with id");
    DebugLog(4, L"above the file level");
    FlushAndStopDebugLogger();
    // The same encoding continues the file; split lines share one prefix.
    ASSERT_TRUE(Start(file));
    SetSplitLines(true);
    DebugLog(3, L"two\r\nlines  \r\n");
    FlushAndStopDebugLogger();

    const std::wstring accented = encoding == 0 ? L"??" : L"\u00E9\u20AC";
    const std::wstring expected = headers[encoding].substr(headers[encoding].empty() ? 0 : 1) + Today() +
                                  L"[30000] (T):{T} plain 1\r\n"
                                  L"[30000] (T):{T} {tag} tagged " + accented + L"\r\n"
                                  L"[04660] (T):{T} with id\r\n" + Today() +
                                  L"[30000] (T):{T} two\r\n"
                                  L"[30000] (T):{T} lines\r\n";
    EXPECT_EQ(expected, Normalize(Decode(file, encoding))) << "encoding " << encoding;

    // Another encoding never writes into this file: it takes a new number.
    Number(L"DebugLogEncoding", static_cast<DWORD>((encoding + 1) % 3));
    const std::string before = Read(file);
    ASSERT_TRUE(Start(file));
    DebugLog(3, L"elsewhere");
    FlushAndStopDebugLogger();
    EXPECT_EQ(before, Read(file));
    const std::wstring numbered = L"trace" + std::to_wstring(encoding) + L"_000.log";
    EXPECT_NE(std::wstring::npos, Normalize(Decode(numbered, (encoding + 1) % 3)).find(L"{T} elsewhere\r\n"));
  }
}

TEST_F(LoggerFileTest, ASizeLimitedFileWrapsEndsWithTheMarkerAndResumesThere) {
  Number(L"DebugLogSize", 1000);
  ASSERT_TRUE(Start(L"ring.log"));
  for (int i = 0; i < 30; ++i) DebugLog(3, L"entry %02d", i);
  FlushAndStopDebugLogger();
  std::wstring text = Normalize(Decode(L"ring.log", 1));
  EXPECT_EQ(0u, text.find(L"UTF-8 encoded\r\n"));
  const std::wstring kMarker = L"====== END OF LOG ======\r\n";
  // The newest line sits right before the first marker, after a wrap.
  EXPECT_NE(std::wstring::npos, text.find(L"{T} entry 29\r\n" + kMarker));
  EXPECT_EQ(std::wstring::npos, text.find(L"entry 00"));
  EXPECT_LE(Read(L"ring.log").size(), 1100u);

  ASSERT_TRUE(Start(L"ring.log"));
  DebugLog(3, L"after restart");
  FlushAndStopDebugLogger();
  text = Normalize(Decode(L"ring.log", 1));
  EXPECT_NE(std::wstring::npos, text.find(L"{T} entry 29\r\n" + Today()));
  EXPECT_NE(std::wstring::npos, text.find(L"{T} after restart\r\n" + kMarker));
  EXPECT_EQ(text.find(kMarker), text.find(L"after restart\r\n") + 15);
}

TEST_F(LoggerFileTest, ARegistryChangeTakesEffectAtTheNextPollWithoutARestart) {
  const ShortRegistryPoll shortPoll;
  const wchar_t* kSourceKey = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\FernwickLoggerTest";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, kSourceKey);
  ASSERT_TRUE(Start(L"poll.log"));
  DebugLog(4, L"before the poll");
  Number(L"DebugLogLevel", 4);
  Number(L"EventLogEnabled", 1);
  for (int i = 0; i < 600 && GetDebugLogLevel() != 4; ++i) Sleep(100);
  ASSERT_EQ(4, GetDebugLogLevel());
  DebugLog(4, L"after the poll");
  FlushAndStopDebugLogger();
  EXPECT_EQ(Today() + L"[40000] (T):{T} after the poll\r\n", Normalize(Decode(L"poll.log", 1)).substr(15));
  // Switching the event log on registered the source.
  wchar_t self[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  wchar_t messageFile[MAX_PATH] = {};
  DWORD size = sizeof messageFile;
  ASSERT_EQ(ERROR_SUCCESS,
            RegGetValueW(HKEY_LOCAL_MACHINE, kSourceKey, L"EventMessageFile", RRF_RT_REG_SZ, nullptr, messageFile, &size));
  EXPECT_EQ(0, lstrcmpiW(self, messageFile));
}

TEST_F(LoggerFileTest, SettersRefuseOutOfRangeValuesAndReportTheConfiguredFile) {
  EXPECT_FALSE(SetDebugLogLevel(16));
  ASSERT_TRUE(Start(L"named.log"));
  const int level = GetDebugLogLevel();
  EXPECT_FALSE(SetDebugLogLevel(16));
  EXPECT_EQ(level, GetDebugLogLevel());
  char name[MAX_PATH] = {};
  const std::wstring expected = Path(L"named.log");
  EXPECT_EQ(static_cast<int>(expected.size()), GetDebugLogFileName(name, MAX_PATH));
  EXPECT_EQ(std::string(expected.begin(), expected.end()), name);
  EXPECT_EQ(5, GetDebugLogFileName(name, 6));
  EXPECT_EQ(0, GetDebugLogFileName(nullptr, 6));
  EXPECT_TRUE(IsFileLoggingActive());
  EXPECT_FALSE(SetSplitLines(true));
  EXPECT_TRUE(SetSplitLines(false));
  FlushAndStopDebugLogger();
  EXPECT_FALSE(IsFileLoggingActive());
}

TEST_F(LoggerFileTest, EnsureFileExistsCreatesFoldersAndRefusesABareServerName) {
  EXPECT_EQ(0, DebugLogFile::EnsureFileExists(Path(L"a\\b\\c.log")));
  EXPECT_TRUE(Exists(L"a\\b\\c.log"));
  File(L"kept.log", "content");
  EXPECT_EQ(0, DebugLogFile::EnsureFileExists(Path(L"kept.log")));
  EXPECT_EQ("content", Read(L"kept.log"));
  errno = 0;
  EXPECT_EQ(-1, DebugLogFile::EnsureFileExists(L"\\\\server"));
  EXPECT_EQ(EINVAL, errno);
}

TEST_F(LoggerFileTest, ALimitBelowOneLineRollsEveryEntryWithoutLosingAny) {
  Number(L"DebugLogSize", 40);
  Number(L"DebugLogAutoRoll", 1);
  ASSERT_TRUE(Start(L"tiny.log"));
  for (int i = 0; i < 3; ++i) DebugLog(3, L"tiny %d", i);
  FlushAndStopDebugLogger();
  std::wstring all;
  for (const wchar_t* name : {L"tiny_000.log", L"tiny_001.log", L"tiny_002.log", L"tiny_003.log"}) {
    all += Normalize(Decode(name, 1));
  }
  for (int i = 0; i < 3; ++i) {
    EXPECT_NE(std::wstring::npos, all.find(L"{T} tiny " + std::to_wstring(i) + L"\r\n====== END OF LOG ======\r\n"));
  }
  EXPECT_FALSE(Exists(L"tiny_004.log"));
}

// The first file is opened before the logger is ready, when logged lines
// are still dropped: its environment report is run once the logger is.
TEST_F(LoggerFileTest, TheFirstFileAndEveryLaterOneCarryTheEnvironmentReport) {
  SetReportEnvironmentOnOpen(true);
  Number(L"DebugLogSize", 20000);
  Number(L"DebugLogAutoRoll", 1);
  ASSERT_TRUE(Start(L"env.log"));
  FlushAndStopDebugLogger();
  const std::wstring first = Normalize(Decode(L"env_000.log", 1));
  EXPECT_NE(std::wstring::npos, first.find(L"[ENV] Current Process: "));
  EXPECT_NE(std::wstring::npos, first.find(L"[ENV] Current Process logged on as: "));
}
