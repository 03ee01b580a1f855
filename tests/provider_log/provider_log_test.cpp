#include <clocale>
#include <cwctype>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "provider_log/provider_log.h"

namespace {

// Emptied at first use: Wine hands out process ids again, so an earlier run
// may have left a folder of the same name.
std::wstring TestRoot() {
  static const std::wstring root = [] {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"fernwick_log_test_" + std::to_wstring(GetCurrentProcessId());
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
    return path;
  }();
  CreateDirectoryW(root.c_str(), nullptr);
  return root;
}

std::wstring FreshFolder(const wchar_t* tag) { return TestRoot() + L"\\" + tag; }

std::wstring DayStamp() {
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
  gmtime_s(&utc, &now);
  wchar_t text[16];
  swprintf(text, 16, L"%04d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday);
  return text;
}

std::wstring LogFilePath(const std::wstring& folder) {
  wchar_t host[256];
  DWORD size = 255;
  if (!GetComputerNameExW(ComputerNameDnsHostname, host, &size)) wcscpy(host, L"Unknown");
  std::wstring upper(host);
  for (auto& unit : upper) unit = static_cast<wchar_t>(towupper(unit));
  return folder + L"\\" + DayStamp() + L"\\" + upper + L"_log_" + DayStamp() + L".txt";
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::vector<std::string> ReadLines(const std::wstring& path) {
  std::ifstream file(path.c_str(), std::ios::binary);
  std::stringstream content;
  content << file.rdbuf();
  std::vector<std::string> lines;
  std::string text = content.str();
  size_t start = 0;
  for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
    lines.push_back(text.substr(start, end - start));
  }
  EXPECT_EQ(start, text.size()) << "every line ends in CR LF";
  return lines;
}

intptr_t Log(int level, const wchar_t* message, ErrorRecord* record = nullptr, int line = 77) {
  return WriteProviderLog(level, 0, 0, 0, message, "Fixture::Function", line, record);
}

// The separator after the time stamp "MM/DD hh:mm:ss".
std::string AfterStamp(const std::string& line) { return line.size() > 14 ? line.substr(14) : line; }

}  // namespace

// Must run before anything else in this process sets the log folder.
TEST(ProviderLog, FirstWriteTakesTheFolderFromTempAndCreatesOneLevel) {
  ASSERT_EQ(GetLogFolder(), L"") << "an earlier test already fixed the folder";
  const std::wstring temp = FreshFolder(L"temp_one_level");
  ASSERT_FALSE(Exists(temp));
  SetEnvironmentVariableW(L"TEMP", temp.c_str());

  Log(1, L"first message");
  EXPECT_EQ(GetLogFolder(), temp);
  const auto lines = ReadLines(LogFilePath(temp));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(AfterStamp(lines[0]), "|E [Fixture::Function]- first message");
  EXPECT_EQ(GetLogLevel(), 3);
}

TEST(ProviderLog, RepeatsOfTheLastMessageAreDropped) {
  const std::wstring folder = FreshFolder(L"repeats");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  Log(1, L"A");
  Log(1, L"A");
  Log(2, L"B");
  Log(1, L"A");
  const auto lines = ReadLines(LogFilePath(folder));
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(AfterStamp(lines[0]), "|E [Fixture::Function]- A");
  EXPECT_EQ(AfterStamp(lines[1]), "|W [Fixture::Function]- B");
  EXPECT_EQ(AfterStamp(lines[2]), "|E [Fixture::Function]- A");
}

TEST(ProviderLog, LinesAreInTheUsersAnsiCodePageWhateverTheProcessLocale) {
  DWORD codePage = 0;
  GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                 reinterpret_cast<wchar_t*>(&codePage), sizeof(codePage) / sizeof(wchar_t));
  if (codePage != 1252) GTEST_SKIP() << "the expected bytes are those of code page 1252, the user's is " << codePage;
  // The host process runs in the "C" locale, which cannot encode the euro sign.
  ASSERT_STREQ(setlocale(LC_ALL, "C"), "C");
  const std::wstring folder = FreshFolder(L"code_page");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  Log(1, L"Gr\u00FC\u00DFe \u20AC\u00BD \u0416");
  const auto lines = ReadLines(LogFilePath(folder));
  ASSERT_EQ(lines.size(), 1u);
  // Windows-1252: u-umlaut FC, sharp s DF, euro 80, one half BD; no Cyrillic.
  EXPECT_EQ(AfterStamp(lines[0]), "|E [Fixture::Function]- Gr\xFC\xDF" "e \x80\xBD ?");
  EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C");
}

TEST(ProviderLog, FilteredMessageStillCreatesTheDayFolderAndBecomesTheLast) {
  const std::wstring folder = FreshFolder(L"threshold");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  Log(4, L"progress note");
  EXPECT_TRUE(Exists(folder + L"\\" + DayStamp()));
  EXPECT_FALSE(Exists(LogFilePath(folder)));
  Log(1, L"progress note");
  EXPECT_FALSE(Exists(LogFilePath(folder))) << "the identical message after it must be dropped";
  Log(3, L"a notice");
  const auto lines = ReadLines(LogFilePath(folder));
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(AfterStamp(lines[0]), "|  [Fixture::Function]- a notice");
}

TEST(ProviderLog, HighThresholdWritesEveryLevelAndProgressLinesCarryTheSourceLine) {
  const std::wstring folder = FreshFolder(L"verbose");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 5), 0);
  Log(7, L"odd level");
  Log(4, L"progress", nullptr, 123);
  Log(0, L"critical");
  Log(5, L"other");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  const auto lines = ReadLines(LogFilePath(folder));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(AfterStamp(lines[0]), "|  [Fixture::Function]- odd level");
  EXPECT_EQ(AfterStamp(lines[1]), "|D|123| [Fixture::Function]- progress");
  EXPECT_EQ(AfterStamp(lines[2]), "|C [Fixture::Function]- critical");
  EXPECT_EQ(AfterStamp(lines[3]), "|O [Fixture::Function]- other");
  // The stamp is "MM/DD hh:mm:ss".
  EXPECT_EQ(lines[0][2], '/');
  EXPECT_EQ(lines[0][5], ' ');
  EXPECT_EQ(lines[0][8], ':');
}

TEST(ProviderLog, ErrorRecordReceivesTheMessageCutTo2047Units) {
  const std::wstring folder = FreshFolder(L"record");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  ErrorRecord record;
  for (auto& unit : record.text) unit = L'#';
  const std::wstring longMessage(3000, L'x');
  EXPECT_EQ(Log(1, longMessage.c_str(), &record), reinterpret_cast<intptr_t>(&record));
  EXPECT_EQ(std::wstring(record.text), std::wstring(2047, L'x'));

  // Returned even when the line itself is filtered out.
  EXPECT_EQ(Log(4, L"filtered", &record), reinterpret_cast<intptr_t>(&record));
  EXPECT_STREQ(record.text, L"filtered");

  ErrorRecord wrongTag;
  wrongTag.tag = 7;
  EXPECT_EQ(Log(1, L"not copied", &wrongTag), 0);
  EXPECT_STREQ(wrongTag.text, L"");
}

TEST(ProviderLog, EmptyMessageWritesNothingAndReturnsNull) {
  const std::wstring folder = FreshFolder(L"empty");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  ErrorRecord record;
  EXPECT_EQ(Log(1, L"", &record), 0);
  EXPECT_EQ(Log(1, nullptr, &record), 0);
  EXPECT_STREQ(record.text, L"");
  EXPECT_FALSE(Exists(folder));
}

TEST(ProviderLog, FolderWhoseParentIsMissingWritesNothing) {
  const std::wstring folder = FreshFolder(L"missing_parent") + L"\\child";
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  ErrorRecord record;
  EXPECT_EQ(Log(1, L"nowhere to go", &record), reinterpret_cast<intptr_t>(&record));
  EXPECT_FALSE(Exists(folder));
}

TEST(ProviderLog, ConcurrentWritersLoseAndTearNoLine) {
  const std::wstring folder = FreshFolder(L"concurrent");
  ASSERT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);
  constexpr int kThreads = 8;
  constexpr int kMessages = 150;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t] {
      for (int m = 0; m < kMessages; ++m) {
        const std::wstring message = L"thread " + std::to_wstring(t) + L" message " + std::to_wstring(m);
        Log(1, message.c_str());
      }
    });
  }
  for (auto& thread : threads) thread.join();

  std::set<std::string> seen;
  for (const auto& line : ReadLines(LogFilePath(folder))) {
    const std::string prefix = "|E [Fixture::Function]- ";
    ASSERT_EQ(AfterStamp(line).compare(0, prefix.size(), prefix), 0) << line;
    seen.insert(AfterStamp(line).substr(prefix.size()));
  }
  EXPECT_EQ(seen.size(), static_cast<size_t>(kThreads * kMessages));
}

TEST(ProviderLogSettings, ValidatesLevelAndFolder) {
  const std::wstring folder = FreshFolder(L"settings");
  EXPECT_EQ(SetLogLevelAndFolder(folder.c_str(), 18), -1);
  EXPECT_EQ(SetLogLevelAndFolder(folder.c_str(), -2), -1);
  EXPECT_EQ(SetLogLevelAndFolder(L"", 3), -1);
  EXPECT_EQ(SetLogLevelAndFolder(nullptr, 3), -1);
  EXPECT_EQ(SetLogLevelAndFolder(folder.c_str(), -1), 0);
  EXPECT_EQ(GetLogLevel(), -1);
  EXPECT_EQ(GetLogFolder(), folder);
  Log(0, L"suppressed even at level 0");
  EXPECT_FALSE(Exists(LogFilePath(folder)));
  EXPECT_EQ(SetLogLevelAndFolder(folder.c_str(), 3), 0);

  EXPECT_EQ(LevelToEventType(0), 1);
  EXPECT_EQ(LevelToEventType(1), 1);
  EXPECT_EQ(LevelToEventType(2), 2);
  EXPECT_EQ(LevelToEventType(3), 4);
  EXPECT_EQ(LevelToEventType(42), 4);
}
