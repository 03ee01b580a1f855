// ZelTool crash and stack in child processes: this Windows process reads the
// child's full exit code (Wine hands Linux only its low byte) and then the
// log file the child's logger wrote.

#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include "tests/tools/child_process.h"

namespace {

using namespace std::chrono_literals;

// -2, as the default filter ends the process.
constexpr DWORD kCrashExit = 0xFFFFFFFE;

std::wstring ZelTool() {
  wchar_t self[MAX_PATH];
  GetModuleFileNameW(nullptr, self, MAX_PATH);
  return (std::filesystem::path(self).parent_path() / L"ZelTool.exe").wstring();
}

// A fresh folder for one child's log, removed afterwards.
class LogFolder {
 public:
  explicit LogFolder(const std::wstring& name) {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    path_ = std::filesystem::path(temp) / (L"zeltool_" + name + L"_" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::remove_all(path_);
    std::filesystem::create_directories(path_);
  }
  ~LogFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::wstring LogFile() const { return (path_ / L"crash.log").wstring(); }

  // The lines of every file the logger wrote, as UTF-8 (or read from
  // UTF-16LE after its byte-order mark).
  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      std::ifstream stream(entry.path(), std::ios::binary);
      std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
      if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        const std::wstring wide(reinterpret_cast<const wchar_t*>(bytes.data() + 2), (bytes.size() - 2) / 2);
        const int size =
            WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
        std::string utf8(static_cast<size_t>(size), '\0');
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), size, nullptr,
                            nullptr);
        bytes = utf8;
      }
      size_t start = 0;
      for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
        lines.push_back(bytes.substr(start, end - start));
      }
    }
    return lines;
  }

 private:
  std::filesystem::path path_;
};

// Runs ZelTool with the crash debugger switched off, as a crashing child
// must be; the exit code, or empty when it did not end in time.
std::optional<DWORD> RunZelTool(const std::wstring& arguments, std::string* errors) {
  wchar_t overrides[512] = {};
  GetEnvironmentVariableW(L"WINEDLLOVERRIDES", overrides, 512);
  const std::wstring saved = overrides;
  SetEnvironmentVariableW(L"WINEDLLOVERRIDES", (saved.empty() ? L"" : saved + L";").append(L"winedbg.exe=d").c_str());
  tools_test::ChildProcess child;
  const bool started = child.Start(ZelTool(), arguments);
  SetEnvironmentVariableW(L"WINEDLLOVERRIDES", saved.empty() ? nullptr : saved.c_str());
  if (!started) return std::nullopt;
  const auto code = child.WaitForExit(60s);
  *errors = child.ErrorText();
  return code;
}

// Runs "ZelTool COMMAND --file LOG" with a fresh log, checks the exit code
// and returns the log's lines.
std::vector<std::string> LogOfRun(const std::wstring& name, const std::wstring& command, DWORD expectedExit) {
  LogFolder folder(name);
  std::string errors;
  const auto code = RunZelTool(command + L" --file \"" + folder.LogFile() + L"\"", &errors);
  EXPECT_EQ(code, std::optional<DWORD>(expectedExit)) << errors;
  return folder.Lines();
}

// Each of `expected` is found in a later line than the one before it.
void ExpectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  size_t at = 0;
  for (const auto& part : expected) {
    while (at < lines.size() && lines[at].find(part) == std::string::npos) ++at;
    ASSERT_LT(at, lines.size()) << "not found in order: " << part;
    ++at;
  }
}

TEST(ZelToolCrash, AccessViolationReportNamesTheFaultingCallsAndEndsWithMinusTwo) {
  ExpectInOrder(LogOfRun(L"access", L"crash --kind access", kCrashExit),
                {"DefaultHandler - exception caught thread Id=0x", "DefaultHandler - Killing program",
                 "Exception code: C0000005 ACCESS_VIOLATION", "Fault address:  ", "Registers:", "ESI=", "CS=",
                 "------------------Begin Stack Trace------------------",
                 "Stack Frame Context: ESP=", "Symbol Information: RaiseFault", "Source File: crash_commands.cpp, line",
                 "Symbol Information: ProcessRequest", "Source File: crash_commands.cpp, line",
                 "Symbol Information: HandleCommand", "------------------End Stack Trace------------------"});
}

TEST(ZelToolCrash, EveryKindIsReportedByItsCode) {
  const struct {
    const wchar_t* kind;
    const char* line;
  } kCases[] = {
      {L"divide", "Exception code: C0000094 INT_DIVIDE_BY_ZERO"},
      // A code the system has no name for.
      {L"raise", "Exception code: E0465257"},
  };
  for (const auto& test : kCases) {
    ExpectInOrder(LogOfRun(test.kind, L"crash --kind " + std::wstring(test.kind), kCrashExit),
                  {test.line, "------------------Begin Stack Trace------------------",
                   "Symbol Information: ", "------------------End Stack Trace------------------"});
  }
}

TEST(ZelToolCrash, StackOverflowIsReportedFromAFreshStack) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
    GTEST_SKIP() << "Wine's exception dispatch overflows the stack again before any unhandled-exception filter runs";
  }
  ExpectInOrder(LogOfRun(L"overflow", L"crash --kind overflow", kCrashExit),
                {"Exception code: C00000FD STACK_OVERFLOW", "Symbol Information: Recurse",
                 "------------------End Stack Trace------------------"});
}

TEST(ZelToolStack, LogsTheCallingThreadsStack) {
  ExpectInOrder(LogOfRun(L"stack", L"stack", 0),
                {"Stack Frame Context: ESP=", "Symbol Information: DumpOwnStack",
                 "Source File: crash_commands.cpp, line", "Symbol Information: RunStack"});
  std::string errors;
  EXPECT_EQ(RunZelTool(L"stack --file x --root y", &errors), std::optional<DWORD>(2u));
  EXPECT_EQ(RunZelTool(L"crash --kind sideways --file x", &errors), std::optional<DWORD>(2u));
}

}  // namespace
