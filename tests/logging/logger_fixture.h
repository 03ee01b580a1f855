#pragma once
// Runs the process-wide logger against a per-user registry key and a
// scratch folder of the test's own, and reads its files back with the
// platform's own decoders, normalised so that whole files can be compared:
// times become "(T)", the test thread's id "{T}", logger thread ids "{L}",
// and the thread report's lines are left out.

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_logger.h"
#include "tests/fs/scratch_folder.h"

class LoggerTest : public ::testing::Test, protected ScratchFolder {
 protected:
  void SetUp() override {
    const std::string test = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    key_ = L"Software\\FernwickLoggerRun_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
           std::wstring(test.begin(), test.end());
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
    // Every value that would otherwise keep an earlier test's setting.
    for (const auto& value : {std::make_pair(L"DebugLogLevel", 3), std::make_pair(L"DebugLogSize", 0),
                              std::make_pair(L"DebugLogAutoRoll", 0), std::make_pair(L"DebugLogDailyFile", 0),
                              std::make_pair(L"DebugLogEncoding", 1), std::make_pair(L"EventLogEnabled", 0),
                              std::make_pair(L"ConsoleLogEnabled", 0), std::make_pair(L"SysLogEnabled", 0),
                              std::make_pair(L"DebugLogMaxEventQueue", 0)}) {
      Number(value.first, static_cast<DWORD>(value.second));
    }
    // Whole files are compared without the environment report.
    SetReportEnvironmentOnOpen(false);
  }
  void TearDown() override {
    FlushAndStopDebugLogger();
    SetSplitLines(false);
    SetReportEnvironmentOnOpen(true);
    RegDeleteTreeW(HKEY_CURRENT_USER, key_.c_str());
  }

  void Number(const wchar_t* name, DWORD value) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, key_.c_str(), name, REG_DWORD, &value, sizeof value));
  }

  bool Start(const std::wstring& file, LogFileListener* listener = nullptr) {
    const bool started = StartDebugLogger(L"FernwickLoggerTest", key_.c_str(), true, Path(file).c_str(), listener);
    loggerIds_.push_back(GetDebugLogger().GetThreadId());
    return started;
  }

  // The file's text after its byte-order mark, decoded by the platform.
  std::wstring Decode(const std::wstring& file, int encoding) const {
    const std::string bytes = Read(file);
    if (encoding == 2) {
      if (bytes.compare(0, 2, "\xFF\xFE") != 0) return L"<no UTF-16LE byte-order mark>";
      return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
    }
    if (encoding == 1) {
      if (bytes.compare(0, 3, "\xEF\xBB\xBF") != 0) return L"<no UTF-8 byte-order mark>";
      std::wstring text(bytes.size(), L'\0');
      text.resize(static_cast<size_t>(MultiByteToWideChar(CP_UTF8, 0, bytes.data() + 3,
                                                          static_cast<int>(bytes.size() - 3), &text[0],
                                                          static_cast<int>(text.size()))));
      return text;
    }
    return std::wstring(bytes.begin(), bytes.end());
  }

  std::wstring Normalize(const std::wstring& text) const {
    static const std::wregex kTime(L"\\(\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d\\d\\)");
    std::wstring result;
    size_t start = 0;
    while (start < text.size()) {
      size_t end = text.find(L"\r\n", start);
      end = end == std::wstring::npos ? text.size() : end + 2;
      std::wstring line = text.substr(start, end - start);
      start = end;
      if (line.find(L"EVENT=Thread_report") != std::wstring::npos) continue;
      line = std::regex_replace(line, kTime, L"(T)");
      Replace(line, Id(GetCurrentThreadId()), L"{T}");
      for (DWORD id : loggerIds_) Replace(line, Id(id), L"{L}");
      result += line;
    }
    return result;
  }

  static std::wstring Today() {
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t text[64];
    swprintf(text, 64, L"[30000] (T):{L} Current Date: %04d/%02d/%02d\r\n", now.wYear, now.wMonth, now.wDay);
    return text;
  }

  std::wstring key_;
  std::vector<DWORD> loggerIds_;

 private:
  static std::wstring Id(DWORD id) {
    wchar_t text[16];
    swprintf(text, 16, L"{0x%X}", static_cast<unsigned>(id));
    return text;
  }
  static void Replace(std::wstring& line, const std::wstring& from, const std::wstring& to) {
    const size_t at = line.find(from);
    if (at != std::wstring::npos) line.replace(at, from.size(), to);
  }
};
