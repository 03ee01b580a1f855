#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_logger_config.h"
#include "support/registry/registry.h"

namespace {

// A per-user key of the test's own, written and removed with the platform's
// calls so that setups do not go through the class under test.
class ConfigKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    parent_ = L"Software\\FernwickLoggerTest_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
              std::wstring(test.begin(), test.end());
    path_ = parent_ + L"\\Product\\Logger";
    RegDeleteTreeW(HKEY_CURRENT_USER, parent_.c_str());
  }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, parent_.c_str()); }

  void Number(const wchar_t* name, DWORD value, const std::wstring& key = {}) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, (key.empty() ? path_ : key).c_str(), name,
                                             REG_DWORD, &value, sizeof value));
  }
  void Text(const wchar_t* name, const std::wstring& value, const std::wstring& key = {}) {
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_CURRENT_USER, (key.empty() ? path_ : key).c_str(), name, REG_SZ, value.c_str(),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
  }
  std::wstring Middle() const { return parent_ + L"\\Product"; }

  std::wstring parent_;
  std::wstring path_;
};

}  // namespace

TEST_F(ConfigKeyTest, StartValuesTakeValidValuesAndApplyTheStartDefaults) {
  Number(L"DebugLogLevel", 16);        // out of range: default file level
  Number(L"EventLogLevel", 1);
  Text(L"SysLogLevel", L"1");          // wrong type: kept
  Number(L"ConsoleLogLevel", 9);       // valid: also enables the console...
  Number(L"ConsoleLogEnabled", 0);     // ...which this, read after it, undoes
  Text(L"SysLogHost", L"h1,h2:1514");
  Number(L"DebugLogSize", 0xFFFFFFFF);  // signed: -1, no limit
  Number(L"DebugLogEncoding", 7);
  Number(L"DebugLogMaxEventQueue", 100);
  Text(L"DebugLogIdent", L"ident-from-key");
  Number(L"EventLogTimeThreshold", 5);

  DebugLoggerSettings settings;
  settings.autoRoll = true;  // DebugLogAutoRoll missing: kept
  LoggerLevels levels;
  levels.syslog = 7;
  Registry key(path_.c_str(), true, true);
  ASSERT_TRUE(key.Open());
  ReadStartValues(key, 4, settings, levels);
  EXPECT_EQ(4, levels.file);
  EXPECT_EQ(1, levels.eventLog);
  EXPECT_EQ(7, levels.syslog);
  EXPECT_EQ(9, levels.console);
  EXPECT_EQ(5, levels.eventLogTimeThreshold);
  EXPECT_FALSE(settings.consoleEnabled);
  EXPECT_EQ("h1,h2:1514", settings.syslogHostList);
  EXPECT_TRUE(settings.syslogEnabled);  // missing, with hosts
  EXPECT_FALSE(settings.fileEnabled);   // missing, with no log file
  EXPECT_EQ(-1, settings.fileSizeLimit);
  EXPECT_TRUE(settings.autoRoll);
  EXPECT_EQ(7, settings.encoding);
  EXPECT_EQ(kEncodingAscii, settings.EffectiveEncoding());
  EXPECT_EQ(100, settings.queueLimit);
  EXPECT_EQ(L"ident-from-key", settings.fileIdent);
}

TEST_F(ConfigKeyTest, PollFallsBackToFixedDefaultsAndReportsSwitchChanges) {
  Number(L"SysLogLevel", 12);
  Number(L"EventLogEnabled", 1);
  DebugLoggerSettings settings;
  settings.logFile = L"C:\\trace.log";
  settings.syslogEnabled = true;   // no hosts: the default turns it off
  settings.eventLogEnabled = false;
  settings.consoleEnabled = true;
  settings.blockingSyslog = false;
  settings.encoding = 2;
  LoggerLevels levels{1, 0, 0, 0, 30};
  Registry key(path_.c_str(), true, true);
  ASSERT_TRUE(key.Open());
  const PollChanges changes = ReadPollValues(key, 6, settings, levels);
  EXPECT_EQ(6, levels.file);
  EXPECT_EQ(2, levels.eventLog);
  EXPECT_EQ(12, levels.syslog);
  EXPECT_EQ(3, levels.console);
  EXPECT_EQ(60, levels.eventLogTimeThreshold);
  EXPECT_FALSE(settings.consoleEnabled);
  EXPECT_TRUE(settings.blockingSyslog);
  EXPECT_EQ(kEncodingAscii, settings.encoding);
  EXPECT_TRUE(changes.syslogEnabled);
  EXPECT_FALSE(settings.syslogEnabled);
  EXPECT_FALSE(changes.fileEnabled);
  EXPECT_TRUE(changes.eventLogEnabled);
  EXPECT_TRUE(settings.eventLogEnabled);
}

TEST_F(ConfigKeyTest, LogRootLocationComesFromTheParentThenTheKey) {
  Number(L"DebugLogLevel", 3);  // creates the key
  Text(L"LogRoot", L"D:\\Logs\\\\", Middle());
  Text(L"LogFilePrefix", L"pre_", Middle());
  Text(L"DebugLogFile", L"E:\\Other\\trace.log");
  const auto read = [this](const std::wstring& defaultFolder) {
    DebugLoggerSettings settings;
    settings.registryKey = path_;
    settings.perUser = true;
    settings.logIdent = L"relay";
    settings.sourceName = L"Source";
    settings.logFile = defaultFolder;
    ReadLogRootLocation(settings);
    return settings;
  };
  for (const std::wstring given : {L"", L"C:\\Given\\"}) {
    const std::wstring folder = given.empty() ? L"D:\\Logs" : L"C:\\Given";
    const DebugLoggerSettings settings = read(given);
    EXPECT_EQ(folder, settings.logFolder);
    EXPECT_EQ((given.empty() ? L"D:\\Logs\\\\" : given) + L"_relay_Source.txt", settings.logFile);
    EXPECT_EQ(L"pre_", settings.filePrefix);
    EXPECT_TRUE(settings.dailyFolder);
  }
  // Without LogRoot the folder of the key's DebugLogFile is used.
  RegDeleteKeyValueW(HKEY_CURRENT_USER, Middle().c_str(), L"LogRoot");
  Number(L"DailyLogFileFolder", 0, Middle());
  const DebugLoggerSettings settings = read(L"");
  EXPECT_EQ(L"E:\\Other", settings.logFolder);
  EXPECT_EQ(L"E:\\Other\\_relay_Source.txt", settings.logFile);
  EXPECT_FALSE(settings.dailyFolder);
}
