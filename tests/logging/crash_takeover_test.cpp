// A crash while another thread keeps the logger busy: the report still
// reaches the log file, and the process ends with -2. The crash runs in a
// child process (a death test, which runs the test again up to the dying
// statement), writing into the parent's folder.

#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/threads/exception_filter.h"
#include "tests/logging/logger_fixture.h"

namespace {

constexpr wchar_t kFolderVariable[] = L"FERNWICK_CRASH_TAKEOVER_FOLDER";

DWORD WINAPI LogWithoutPause(void*) {
  for (int i = 0;; ++i) DebugLog(1, "busy entry %d", i);
}

DWORD WINAPI Fault(void*) {
  *static_cast<volatile int*>(nullptr) = 1;
  return 0;
}

// The parent's folder, named to the children through the environment.
std::wstring ParentFolder(const std::wstring& own) {
  wchar_t folder[MAX_PATH] = {};
  if (GetEnvironmentVariableW(kFolderVariable, folder, MAX_PATH) != 0) return folder;
  SetEnvironmentVariableW(kFolderVariable, own.c_str());
  return own;
}

// In the child: a `busy` thread keeps the logger writing, and a worker
// faults under the default handler.
[[noreturn]] void CrashWhileLogging(const std::wstring& key, const std::wstring& log, bool busy) {
  const DefaultHandler handler(nullptr);
  if (!StartDebugLogger(L"FernwickLoggerTest", key.c_str(), true, log.c_str(), nullptr)) _exit(3);
  if (busy) CloseHandle(CreateThread(nullptr, 0, LogWithoutPause, nullptr, 0, nullptr));
  Sleep(300);
  CloseHandle(CreateThread(nullptr, 0, Fault, nullptr, 0, nullptr));
  Sleep(60000);
  _exit(4);
}

using CrashTakeoverTest = LoggerTest;

TEST_F(CrashTakeoverTest, ReportReachesTheFileWhileAnotherThreadKeepsLogging) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  const std::wstring folder = ParentFolder(path());
  for (const bool busy : {false, true}) {
    SCOPED_TRACE(busy ? "busy logger" : "quiet logger");
    const std::wstring file = busy ? L"busy.log" : L"quiet.log";
    EXPECT_EXIT(CrashWhileLogging(key_, folder + L"\\" + file, busy), ::testing::ExitedWithCode(-2), "");
    const std::string text = Read(file);
    EXPECT_NE(std::string::npos, text.find("DefaultHandler - exception caught thread Id=0x"));
    EXPECT_NE(std::string::npos, text.find("Exception code: C0000005 ACCESS_VIOLATION"));
    EXPECT_EQ(busy, text.find("busy entry 0") != std::string::npos);
  }
  SetEnvironmentVariableW(kFolderVariable, nullptr);
}

}  // namespace
