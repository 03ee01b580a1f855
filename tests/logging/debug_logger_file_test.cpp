#include <cerrno>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/logging/debug_logger.h"
#include "support/logging/log_file_names.h"
#include "tests/common/recording_sink.h"
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
  // The limit counts entries only: a file also holds its header, date and
  // thread report, and the end marker, which a file without entries shows.
  ASSERT_TRUE(Start(L"bare.log"));
  FlushAndStopDebugLogger();
  const size_t introduction = Read(L"bare.log").size();
  ASSERT_TRUE(Start(L"ring.log"));
  for (int i = 0; i < 30; ++i) DebugLog(3, L"entry %02d", i);
  FlushAndStopDebugLogger();
  std::wstring text = Normalize(Decode(L"ring.log", 1));
  EXPECT_EQ(0u, text.find(L"UTF-8 encoded\r\n"));
  const std::wstring kMarker = L"====== END OF LOG ======\r\n";
  // The newest line sits right before the first marker, after a wrap.
  EXPECT_NE(std::wstring::npos, text.find(L"{T} entry 29\r\n" + kMarker));
  EXPECT_EQ(std::wstring::npos, text.find(L"entry 00"));
  EXPECT_LE(Read(L"ring.log").size(), introduction + 1000 + 60);

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

// The report is larger than the limit: the roll counts only the entries
// after it, so each file holds its report and at most a limit's worth of
// entries (plus the line that crossed it), and the files stay few.
TEST_F(LoggerFileTest, ASmallLimitRollsOnEntriesOnlyAndEveryFileOpensWithItsReport) {
  SetReportEnvironmentOnOpen(true);
  Number(L"DebugLogSize", 1000);
  Number(L"DebugLogAutoRoll", 1);
  ASSERT_TRUE(Start(L"small.log"));
  constexpr int kEntries = 60;
  for (int i = 0; i < kEntries; ++i) DebugLog(3, L"entry %02d of the small files", i);
  // Stopping refuses new entries, and so the report of a file opened by the
  // last drain: the running logger writes them all first (bounded at 20 s).
  const auto lastWritten = [&] {
    wchar_t name[32];
    for (int n = 0; swprintf(name, 32, L"small_%03d.log", n), Exists(name); ++n) {
      if (Decode(name, 1).find(L"entry 59 of") != std::wstring::npos) return true;
    }
    return false;
  };
  for (int wait = 0; wait < 200 && !lastWritten(); ++wait) Sleep(100);
  FlushAndStopDebugLogger();
  std::wstring entries;
  int files = 0;
  for (wchar_t name[32]; swprintf(name, 32, L"small_%03d.log", files), Exists(name); ++files) {
    const std::wstring text = Decode(name, 1);
    const size_t report = text.find(L"[ENV] Current Process: ");
    EXPECT_NE(std::wstring::npos, report) << files;
    size_t entryBytes = 0;
    for (size_t at = text.find(L"} entry "); at != std::wstring::npos; at = text.find(L"} entry ", at + 1)) {
      EXPECT_LT(report, at) << files;
      const size_t start = text.rfind(L"\r\n", at) + 2;
      const std::wstring line = text.substr(start, text.find(L"\r\n", at) + 2 - start);
      entryBytes += line.size();
      entries += line;
    }
    EXPECT_GE(1100u, entryBytes) << files;
  }
  EXPECT_LE(4, files);
  EXPECT_GE(6, files);
  for (int i = 0; i < kEntries; ++i) {
    wchar_t text[64];
    swprintf(text, 64, L"entry %02d of", i);
    const size_t at = entries.find(text);
    EXPECT_TRUE(at != std::wstring::npos && entries.find(text, at + 1) == std::wstring::npos) << i;
  }
}

// TZ set only for the C run time (as under Cygwin or MSYS shells) moves
// neither the file's date nor the day change: one of the two zones puts the
// run time's date on another day than the platform's at any hour but noon.
TEST_F(LoggerFileTest, TheFileNameAndItsEntryDatesFollowThePlatformClockWhateverTZSays) {
  Number(L"DebugLogDailyFile", 1);
  for (const wchar_t* zone : {L"XYZ-12", L"XYZ+12"}) {
    ASSERT_EQ(0, _wputenv_s(L"TZ", zone));
    _tzset();
    const std::wstring base = std::wstring(L"day") + (zone[3] == L'-' ? L"east" : L"west");
    ASSERT_TRUE(Start(base + L".log"));
    for (int i = 0; i < 5; ++i) DebugLog(3, L"dated %d", i);
    SYSTEMTIME now;
    GetLocalTime(&now);
    FlushAndStopDebugLogger();
    wchar_t name[64];
    swprintf(name, 64, L"%ls%04d%02d%02d.log", base.c_str(), now.wYear, now.wMonth, now.wDay);
    const std::wstring text = Decode(name, 1);
    wchar_t stamp[16];
    swprintf(stamp, 16, L"(%02d/%02d ", now.wMonth, now.wDay);
    size_t lines = 0;
    for (size_t at = text.find(L"\r\n["); at != std::wstring::npos; at = text.find(L"\r\n[", at + 1), ++lines) {
      EXPECT_EQ(stamp, text.substr(text.find(L'(', at), 7)) << zone;
    }
    EXPECT_LE(5u, lines) << zone;
    EXPECT_EQ(text.find(L"Current Date"), text.rfind(L"Current Date")) << zone;
  }
  _wputenv_s(L"TZ", L"");
  _tzset();
}

// With an ASCII file at the path and UTF-8 configured the logger needs a new
// numbered file. Beyond the platform's path limit none can be made: one
// message says so and file output stops, without recursion. The control, a
// few characters shorter, goes on in the numbered file.
TEST_F(LoggerFileTest, WhenNoNewPathCanBeMadeOneMessageSaysSoAndFileOutputStops) {
  for (const bool atLimit : {false, true}) {
    const size_t length = atLimit ? kLogPathMaxChars - 2 : kLogPathMaxChars - 8;
    const std::wstring name = std::wstring(length - path().size() - 5, atLimit ? L'l' : L'c') + L".log";
    ASSERT_EQ(length, Path(name).size());
    File(name, "ascii\r\n");
    RecordingSink sink;
    DebugLoggerSettings settings;
    settings.logFile = Path(name);
    settings.encoding = kEncodingUtf8;
    settings.reportEnvironmentOnOpen = false;
    DebugLogFile file(GetDebugLogger(), settings);
    EXPECT_EQ(!atLimit, file.Open());
    if (atLimit) {
      EXPECT_FALSE(file.Open());  // not retried, not reported again
    }
    const SYSTEMTIME time = {2024, 1, 0, 31, 12, 0, 0, 0};
    EXPECT_EQ(!atLimit, file.WriteEntry(time, 1, 3, L"numbered", 0, L"")) << atLimit;
    file.Close();
    EXPECT_EQ("ascii\r\n", Read(name));
    const std::wstring numbered = name.substr(0, name.size() - 4) + L"_000.log";
    EXPECT_EQ(!atLimit, Exists(numbered) && Decode(numbered, 1).find(L"} numbered\r\n") != std::wstring::npos);
    EXPECT_EQ(atLimit ? 1u : 0u, sink.StartingWith(L"[DIAG] Debug trace file path").size());
  }
}

// A queue limit whose three quarters exceed 32 bits warns of nothing; a user
// tag beyond its limit is cut, and its entry kept.
TEST_F(LoggerFileTest, TheSmallLimitsKeepTheirEntries) {
  Number(L"DebugLogMaxEventQueue", 800000000);
  ASSERT_TRUE(Start(L"limits.log"));
  DebugLogUser(std::wstring(2000, L'w').c_str(), 3, L"wide");
  DebugLogUser(std::string(2000, 'n').c_str(), 3, "narrow");
  FlushAndStopDebugLogger();
  const std::wstring text = Normalize(Decode(L"limits.log", 1));
  EXPECT_NE(std::wstring::npos, text.find(L"{T} {" + std::wstring(900, L'w')));
  EXPECT_NE(std::wstring::npos, text.find(L"{T} {" + std::wstring(900, L'n')));
  EXPECT_EQ(std::wstring::npos, text.find(L"Invalid log entry"));
  EXPECT_EQ(std::wstring::npos, text.find(L"Threshold_Warning"));
}
