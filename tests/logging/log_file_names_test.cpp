#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/unique_handle.h"
#include "support/logging/log_file_names.h"
#include "tests/fs/scratch_folder.h"

namespace {

std::tm Date(int year, int month, int day) {
  std::tm date = {};
  date.tm_year = year - 1900;
  date.tm_mon = month - 1;
  date.tm_mday = day;
  return date;
}

// Sets a file's last-write time, and its creation time when asked, to a
// local wall-clock hour of January 2024.
struct Written {
  WORD day, hour;
};
void Stamp(const std::wstring& path, Written written, bool creation) {
  const SYSTEMTIME local = {2024, 1, 0, written.day, written.hour, 0, 0, 0};
  SYSTEMTIME utc;
  FILETIME time;
  ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &local, &utc));
  ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
  UniqueHandle file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(file);
  EXPECT_TRUE(SetFileTime(file.get(), creation ? &time : nullptr, nullptr, &time));
}

}  // namespace

class LogFileNamesTest : public ::testing::Test, protected ScratchFolder {
 protected:
  // "t.log" and the log-root names of HOST's relay 1, both rolling, in the
  // scratch folder.
  LogFileNaming RollingPlainNaming() {
    LogFileNaming naming;
    naming.logFile = Path(L"t.log");
    naming.autoRoll = true;
    return naming;
  }
  LogFileNaming RollingRootNaming() {
    LogFileNaming naming;
    naming.logRootNaming = true;
    naming.autoRoll = true;
    naming.logFolder = path();
    naming.computerName = L"HOST";
    naming.fileIdent = L"relay";
    naming.instanceNumber = 1;
    return naming;
  }
};

TEST_F(LogFileNamesTest, PlainNamingInsertsInstanceDateAndRollBeforeTheExtension) {
  struct Case {
    const wchar_t* pattern;
    int32_t instance;
    bool daily, autoRoll, newFile;
    const wchar_t* expected;
  } cases[] = {
      {L"trace.log", 0, false, false, false, L"trace.log"},
      {L"trace.log", 2, true, true, false, L"trace-002-20240131_000.log"},
      {L"trace.log", 0, true, false, false, L"trace20240131.log"},
      {L"trace.log", 7, false, false, false, L"trace-007.log"},
      {L"trace.log", 0, false, false, true, L"trace_000.log"},
      {L"trace", 0, true, false, false, L"trace20240131"},
      {L"a.b\\trace", 0, true, false, false, L"a20240131.b\\trace"},
  };
  for (const Case& c : cases) {
    LogFileNaming naming;
    naming.logFile = Path(c.pattern);
    naming.instanceNumber = c.instance;
    naming.dailyFile = c.daily;
    naming.autoRoll = c.autoRoll;
    EXPECT_EQ(Path(c.expected), ChooseLogFilePath(naming, Date(2024, 1, 31), c.newFile)) << c.pattern;
  }
}

TEST_F(LogFileNamesTest, RollNumberFollowsTheHighestExistingFile) {
  for (int i = 0; i <= 4; ++i) File(L"trace_00" + std::to_wstring(i) + L".log");
  File(L"trace_x9.log");
  File(L"other_007.log");
  LogFileNaming naming;
  naming.logFile = Path(L"trace.log");
  naming.autoRoll = true;
  EXPECT_EQ(Path(L"trace_005.log"), ChooseLogFilePath(naming, Date(2024, 1, 31), false));
  File(L"trace_005.log");
  EXPECT_EQ(Path(L"trace_006.log"), ChooseLogFilePath(naming, Date(2024, 1, 31), false));
}

// The numbers go on past their printed width; names that only look like
// this logger's (a leading zero beyond the width, letters, full-width
// digits) are not counted.
TEST_F(LogFileNamesTest, RollNumbersGoOnPastTheirWidth) {
  wchar_t name[32];
  for (int i = 0; i < 1000; ++i) {
    swprintf(name, 32, L"t_%03d.log", i);
    File(name);
  }
  const LogFileNaming plain = RollingPlainNaming();
  const LogFileNaming root = RollingRootNaming();
  const struct {
    const LogFileNaming& naming;
    const wchar_t* created;
    const wchar_t* expected;
  } steps[] = {
      {plain, L"t_01234.log", L"t_1000.log"},
      {plain, L"t_1000.log", L"t_1001.log"},
      {plain, L"t_12a4.log", L"t_1001.log"},
      {plain, L"t_\uFF19\uFF19\uFF19\uFF19.log", L"t_1001.log"},
      {root, L"HOST_relay_01_9999.txt", L"HOST_relay_01_10000.txt"},
      {root, L"x_HOST_relay_01_10000.txt", L"HOST_relay_01_10001.txt"},
      {root, L"HOST_relay_01_099999.txt", L"HOST_relay_01_10001.txt"},
  };
  for (const auto& step : steps) {
    File(step.created);
    EXPECT_EQ(Path(step.expected), ChooseLogFilePath(step.naming, Date(2024, 1, 31), false)) << step.created;
  }
}

// A path is never cut: a cut could drop the number a new file needs.
TEST_F(LogFileNamesTest, APathAtTheLengthLimitKeepsItsNumber) {
  for (size_t length : {kLogPathMaxChars - 4, kLogPathMaxChars + 8}) {
    LogFileNaming naming;
    naming.logFile = Path(std::wstring(length - path().size() - 5, L'p') + L".log");
    ASSERT_EQ(length, naming.logFile.size());
    const std::wstring chosen = ChooseLogFilePath(naming, Date(2024, 1, 31), true);
    EXPECT_EQ(length + 4, chosen.size());
    EXPECT_EQ(L"_000.log", chosen.substr(chosen.size() - 8));
  }
}

TEST_F(LogFileNamesTest, LogRootNamesInAllFourLayouts) {
  struct Case {
    bool daily, dayFolder;
    const wchar_t* expected;
  } cases[] = {
      {true, true, L"20240131\\HOST_relay_01_20240131_0003.txt"},
      {true, false, L"HOST_relay_01_20240131_0003.txt"},
      {false, true, L"20240131\\HOST_relay_01_0003.txt"},
      {false, false, L"HOST_relay_01_0003.txt"},
  };
  for (const Case& c : cases) {
    LogFileNaming naming;
    naming.logFolder = path();
    naming.computerName = L"HOST";
    naming.fileIdent = L"relay";
    naming.instanceNumber = 1;
    naming.dailyFile = c.daily;
    naming.dailyFolder = c.dayFolder;
    EXPECT_EQ(Path(c.expected), BuildLogRootFileName(naming, Date(2024, 1, 31), 3));
    naming.filePrefix = L"pre_";
    const std::wstring expected = c.expected;
    const size_t name = expected.rfind(L'\\') == std::wstring::npos ? 0 : expected.rfind(L'\\') + 1;
    EXPECT_EQ(Path(expected.substr(0, name) + L"pre_" + expected.substr(name)),
              BuildLogRootFileName(naming, Date(2024, 1, 31), 3));
  }
}

TEST_F(LogFileNamesTest, LogRootNumberContinuesTheNewestOrStartsANewOne) {
  LogFileNaming naming;
  naming.logRootNaming = true;
  naming.logFolder = path();
  naming.computerName = L"HOST";
  naming.fileIdent = L"relay";
  naming.instanceNumber = 1;
  naming.dailyFile = true;
  const std::tm today = Date(2024, 1, 31);
  EXPECT_EQ(Path(L"HOST_relay_01_20240131_0001.txt"), ChooseLogFilePath(naming, today, false));
  for (const wchar_t* n : {L"0001", L"0002", L"0003"}) File(std::wstring(L"x_HOST_relay_01_20240131_") + n + L".txt");
  File(L"HOST_relay_02_20240131_0009.txt");  // another instance
  File(L"HOST_relay_01_20240130_0007.txt");  // another day
  EXPECT_EQ(3, FindHighestFileNumber(naming, today));
  EXPECT_EQ(Path(L"HOST_relay_01_20240131_0003.txt"), ChooseLogFilePath(naming, today, false));
  EXPECT_EQ(Path(L"HOST_relay_01_20240131_0004.txt"), ChooseLogFilePath(naming, today, true));
  naming.autoRoll = true;
  EXPECT_EQ(Path(L"HOST_relay_01_20240131_0004.txt"), ChooseLogFilePath(naming, today, false));
}

// Midnight is the platform's, whatever the C run time's TZ variable says
// (as under Cygwin or MSYS shells): the files either side of it are set in
// the platform's local time.
TEST_F(LogFileNamesTest, PlainCleanUpDeletesOnlyExpiredFilesOfItsOwnPattern) {
  const Written old = {29, 23};  // before yesterday's midnight
  const Written yesterday = {30, 1};
  const struct {
    const wchar_t* name;
    Written written;
    bool kept;
  } files[] = {
      {L"trace-003-20240129.log", old, false}, {L"trace-003-20240129_002.log", old, false},
      {L"trace-003-20240129_1000.log", old, false}, {L"trace-003-20240129_x02.log", old, true},
      {L"trace-003-20240130.log", yesterday, true}, {L"trace-003-2024012.log", old, true},
      {L"trace-004-20240129.log", old, true},   {L"other-003-20240129.log", old, true},
      {L"trace-003-20240129.txt", old, true},  {L"trace-003-2024012x.log", old, true},
      {L"trace-003-copy0129_002.log", old, true},
  };
  for (const wchar_t* zone : {L"", L"XYZ-12", L"XYZ+12"}) {
    ASSERT_EQ(0, _wputenv_s(L"TZ", zone));
    _tzset();
    for (const auto& f : files) {
      File(f.name);
      Stamp(Path(f.name), f.written, false);
    }
    LogFileNaming naming;
    naming.logFile = Path(L"trace.log");
    naming.instanceNumber = 3;
    naming.dailyFile = true;
    naming.fileAgeLimitDays = 1;
    EXPECT_EQ(Path(L"trace-003-20240131.log"), ChooseLogFilePath(naming, Date(2024, 1, 31), false));
    for (const auto& f : files) EXPECT_EQ(f.kept, Exists(f.name)) << f.name << " TZ=" << zone;
  }
  _wputenv_s(L"TZ", L"");
  _tzset();
}

// Wine reports a file's last-write time as its creation time, so which of
// the two judges a file cannot be told apart here; both are set alike.
TEST_F(LogFileNamesTest, LogRootCleanUpDeletesExpiredFilesAndEmptiedDayFoldersOnly) {
  const Written old = {28, 23};  // before the threshold
  const Written recent = {29, 1};
  const struct {
    const wchar_t* name;
    Written written;
    bool kept;
  } files[] = {
      {L"20240120\\HOST_relay_01_20240120_0001.txt", old, false},
      {L"20240121\\pre_HOST_relay_01_20240121_0001.txt", old, false},
      {L"20240121\\HOST_relay_01_20240121_0002.txt", recent, true},
      {L"HOST_relay_01_20240119_0001.txt", old, false},
      {L"HOST_relay_01_20240129_0001.txt", recent, true},
      // Not this logger's files or folders.
      {L"2024013x\\HOST_relay_01_20240120_0001.txt", old, true},
      {L"20240122\\notes.txt", old, true},
      {L"HOST_other_01_20240119_0001.txt", old, true},
      {L"HOST_relay_02_20240119_0001.txt", old, true},
      {L"HOST_relay_01_20240119_0001.log", old, true},
      {L"HOST_relay_01_copy0119_0001.txt", old, true},
  };
  for (const auto& f : files) {
    File(f.name);
    Stamp(Path(f.name), f.written, true);
  }
  LogFileNaming naming;
  naming.logFolder = path();
  naming.computerName = L"HOST";
  naming.fileIdent = L"relay";
  naming.instanceNumber = 1;
  naming.dailyFile = true;
  naming.dailyFolder = true;
  naming.fileAgeLimitDays = 2;
  DeleteOldLogRootFiles(naming, Date(2024, 1, 31));
  for (const auto& f : files) EXPECT_EQ(f.kept, Exists(f.name)) << f.name;
  EXPECT_FALSE(Exists(L"20240120"));  // emptied, so removed
  EXPECT_TRUE(Exists(L"20240121"));
}

TEST(LogComputerNameTest, IsTheUpperCaseDnsHostName) {
  wchar_t name[128] = {};
  DWORD size = 128;
  ASSERT_TRUE(GetComputerNameExW(ComputerNameDnsHostname, name, &size));
  std::wstring expected(name);
  CharUpperW(&expected[0]);
  EXPECT_EQ(expected, LogComputerName());
}

// A folder's name takes its number (and is never deleted as expired); past
// the ninth digit no number is left, rather than one the search cannot see
// and so would hand out again.
TEST_F(LogFileNamesTest, AFolderTakesItsNumberAndTheLastNumberEndsTheRolls) {
  const LogFileNaming plain = RollingPlainNaming();
  const LogFileNaming root = RollingRootNaming();
  const struct {
    const LogFileNaming& naming;
    const wchar_t* folder;
    const wchar_t* file;
    const wchar_t* expected;
  } steps[] = {
      {plain, L"t_001.log", L"t_000.log", L"t_002.log"},
      {plain, nullptr, L"t_999999998.log", L"t_999999999.log"},
      {plain, nullptr, L"t_999999999.log", L""},
      {root, L"HOST_relay_01_0001.txt", nullptr, L"HOST_relay_01_0002.txt"},
      {root, L"HOST_relay_01_999999999.txt", nullptr, L""},
  };
  for (const auto& step : steps) {
    if (step.folder != nullptr) {
      ASSERT_TRUE(CreateDirectoryW(Path(step.folder).c_str(), nullptr));
    }
    if (step.file != nullptr) File(step.file);
    const std::wstring expected = *step.expected == L'\0' ? std::wstring() : Path(step.expected);
    EXPECT_EQ(expected, ChooseLogFilePath(step.naming, Date(2024, 1, 31), false)) << step.expected;
  }
}

// The age limit counts calendar days, not 86400-second spans: the day after
// a change back from daylight saving time (3 November 2024 in the zone the
// test runs in, America/New_York) a file written 30 minutes into yesterday
// is kept, one written before yesterday's midnight deleted.
TEST_F(LogFileNamesTest, TheAgeLimitCountsCalendarDaysAcrossADaylightSavingChange) {
  const struct {
    const wchar_t* name;
    SYSTEMTIME written;
    bool kept;
  } files[] = {
      {L"trace20241102.log", {2024, 11, 0, 2, 23, 30, 0, 0}, false},
      {L"trace20241103.log", {2024, 11, 0, 3, 0, 30, 0, 0}, true},
  };
  for (const auto& f : files) {
    File(f.name);
    SYSTEMTIME utc;
    FILETIME time;
    ASSERT_TRUE(TzSpecificLocalTimeToSystemTime(nullptr, &f.written, &utc));
    ASSERT_TRUE(SystemTimeToFileTime(&utc, &time));
    UniqueHandle file(CreateFileW(Path(f.name).c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ, nullptr,
                                  OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(file);
    ASSERT_TRUE(SetFileTime(file.get(), nullptr, nullptr, &time));
  }
  LogFileNaming naming;
  naming.logFile = Path(L"trace.log");
  naming.dailyFile = true;
  naming.fileAgeLimitDays = 1;
  ChooseLogFilePath(naming, Date(2024, 11, 4), false);
  for (const auto& f : files) EXPECT_EQ(f.kept, Exists(f.name)) << f.name;
}
