// A crash while another thread keeps the logger busy, or while a second
// thread faults too: one whole report reaches the log file, and the process
// ends with -2. The crash runs in a
// child process (a death test, which runs the test again up to the dying
// statement), writing into the parent's folder.

#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/logging/debug_log.h"
#include "support/text/zel_string.h"
#include "support/threads/exception_filter.h"
#include "support/threads/stack_trace.h"
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

enum class Scene { kQuiet, kBusy, kTwoFaults };

// In the child: a busy thread keeps the logger writing, and one worker (or
// two) faults under the default handler.
[[noreturn]] void CrashWhileLogging(const std::wstring& key, const std::wstring& log, Scene scene) {
  // The symbols are loaded beforehand: what is tested is the takeover, and a
  // first symbol load slower than the crash deadline (a busy machine) would
  // cut the report's stack short.
  alignas(16) CONTEXT context;
  RtlCaptureContext(&context);
  ZELString warmUp;
  FormatCallStack(GetCurrentThread(), &context, warmUp);
  const DefaultHandler handler(nullptr);
  if (!StartDebugLogger(L"FernwickLoggerTest", key.c_str(), true, log.c_str(), nullptr)) _exit(3);
  if (scene == Scene::kBusy) CloseHandle(CreateThread(nullptr, 0, LogWithoutPause, nullptr, 0, nullptr));
  Sleep(300);
  CloseHandle(CreateThread(nullptr, 0, Fault, nullptr, 0, nullptr));
  if (scene == Scene::kTwoFaults) CloseHandle(CreateThread(nullptr, 0, Fault, nullptr, 0, nullptr));
  Sleep(60000);
  _exit(4);
}

using CrashTakeoverTest = LoggerTest;

TEST_F(CrashTakeoverTest, OneWholeReportReachesTheFileWhileOthersLogOrFault) {
  ::testing::FLAGS_gtest_death_test_style = "threadsafe";
  const std::wstring folder = ParentFolder(path());
  const struct {
    Scene scene;
    const wchar_t* file;
  } kScenes[] = {{Scene::kQuiet, L"quiet.log"}, {Scene::kBusy, L"busy.log"}, {Scene::kTwoFaults, L"two.log"}};
  for (const auto& test : kScenes) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(test.scene));
    EXPECT_EXIT(CrashWhileLogging(key_, folder + L"\\" + test.file, test.scene), ::testing::ExitedWithCode(-2), "");
    const std::string text = Read(test.file);
    EXPECT_NE(std::string::npos, text.find("DefaultHandler - exception caught thread Id=0x"));
    EXPECT_NE(std::string::npos, text.find("Exception code: C0000005 ACCESS_VIOLATION"));
    EXPECT_NE(std::string::npos, text.find("------------------End Stack Trace------------------"));
    EXPECT_EQ(test.scene == Scene::kBusy, text.find("busy entry 0") != std::string::npos);
  }
  SetEnvironmentVariableW(kFolderVariable, nullptr);
}

}  // namespace
