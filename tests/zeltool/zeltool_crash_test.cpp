// ZelTool crash and stack in child processes: this Windows process reads the
// child's full exit code (Wine hands Linux only its low byte), then the log
// file the child's logger wrote.
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/fs/scratch_folder.h"
#include "tests/tools/zeltool_run.h"

namespace {

// -2, as the default filter ends the process.
constexpr DWORD kCrashExit = 0xFFFFFFFE;

// Runs "ZelTool COMMAND --file LOG" with a fresh log, checks its exit code
// and returns the log's lines.
std::vector<std::string> LogOfRun(const std::wstring& command, DWORD expectedExit) {
  ScratchFolder scratch;
  const std::wstring log = scratch.Path(L"zeltool.log");
  EXPECT_EQ(expectedExit, RunZelTool(command + L" --file \"" + log + L"\"").exitCode) << command.c_str();
  std::ifstream stream(std::filesystem::path(log), std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(stream)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  size_t start = 0;
  for (size_t end; (end = bytes.find('\n', start)) != std::string::npos; start = end + 1) {
    lines.push_back(bytes.substr(start, end - start));
  }
  return lines;
}

// Each of `expected` is found in a later line than the one before it; the
// index of the last one's line.
size_t ExpectInOrder(const std::vector<std::string>& lines, const std::vector<std::string>& expected) {
  size_t at = 0;
  for (const auto& part : expected) {
    while (at < lines.size() && lines[at].find(part) == std::string::npos) ++at;
    EXPECT_LT(at, lines.size()) << "not found in order: " << part;
    if (at == lines.size()) return at;
    ++at;
  }
  return at - 1;
}

// The hexadecimal number after `label` in `line`.
uint64_t NumberAfter(const std::string& line, const std::string& label) {
  const size_t at = line.find(label);
  return at == std::string::npos ? 0 : std::strtoull(line.c_str() + at + label.size(), nullptr, 16);
}

TEST(ZelToolCrash, AccessViolationReportLocatesTheFaultInTheCallsThatMadeIt) {
  const auto lines = LogOfRun(L"crash --kind access", kCrashExit);
  const size_t fault = ExpectInOrder(lines, {"DefaultHandler - exception caught thread Id=0x",
                                             "DefaultHandler - Killing program",
                                             "Exception code: C0000005 ACCESS_VIOLATION", "Fault address:  "});
  ASSERT_LT(fault + 1, lines.size());
  // The executable sits above 4 GiB: the address and the instruction pointer
  // must keep their upper half to locate the fault.
  const uint64_t address = NumberAfter(lines[fault], "Fault address:  ");
  EXPECT_GT(address, 0xFFFFFFFFull);
  EXPECT_EQ(address, NumberAfter(lines[fault + 2], "EIP="));
  ExpectInOrder(lines, {"Registers:\tEAX=", "\t\tESI=", "\t\tCS=0033 ",
                        "------------------Begin Stack Trace------------------", "Stack Frame Context: ESP=",
                        "Symbol Information: zeltool::RaiseFault", "Source File: crash_commands.cpp, line",
                        "Symbol Information: zeltool::ProcessRequest", "Source File: crash_commands.cpp, line",
                        "Symbol Information: zeltool::HandleCommand", "Symbol Information: zeltool::RunCrash",
                        "------------------End Stack Trace------------------", "====== END OF LOG ======"});
}

TEST(ZelToolCrash, EveryKindIsReportedByItsCode) {
  const struct {
    const wchar_t* kind;
    const char* line;
  } kCases[] = {
      {L"divide", "Exception code: C0000094 INT_DIVIDE_BY_ZERO"},
      // A code outside the table of names.
      {L"raise", "Exception code: E0465257"},
  };
  for (const auto& test : kCases) {
    ExpectInOrder(LogOfRun(L"crash --kind " + std::wstring(test.kind), kCrashExit),
                  {test.line, "------------------Begin Stack Trace------------------",
                   "Symbol Information: zeltool::RaiseFault", "------------------End Stack Trace------------------"});
  }
}

// Holding a lock every other thread needs, on the logger's own thread (its
// file listener, at the first open), on a worker: each ends the process
// with -2, soon, with the report in the log.
TEST(ZelToolCrash, AwkwardPlacesStillEndWithTheReportAndMinusTwo) {
  for (const wchar_t* place : {L"--holding heap", L"--holding loader", L"--thread logger", L"--thread worker",
                               L"--thread worker --holding heap", L"--thread logger --holding loader"}) {
    SCOPED_TRACE(testing::Message() << std::string(place, place + wcslen(place)));
    // The process ends within 10 s of the fault; the bound leaves room for
    // the tool's start.
    const auto start = std::chrono::steady_clock::now();
    ExpectInOrder(LogOfRun(L"crash " + std::wstring(place), kCrashExit),
                  {"DefaultHandler - exception caught thread Id=0x", "Exception code: C0000005 ACCESS_VIOLATION",
                   "------------------Begin Stack Trace------------------"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(15));
  }
}

// A size limit the report crosses with auto roll: the crashing thread rolls
// the file itself, and the new file's environment report, written by that
// thread, must neither roll it again without end nor hold up the report.
TEST(ZelToolCrash, AReportThatRollsTheFileEndsWithMinusTwo) {
  ScratchFolder scratch;
  const std::wstring key = L"Software\\Fernwick\\CrashRollTest";
  for (const auto& [name, value] : {std::pair{L"DebugLogSize", 3000}, std::pair{L"DebugLogAutoRoll", 1}}) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueW(HKEY_CURRENT_USER, key.c_str(), name, REG_DWORD, &value, sizeof(value)));
  }
  const DWORD exitCode =
      RunZelTool(L"crash --user --key " + key + L" --file \"" + scratch.Path(L"roll.log") + L"\"").exitCode;
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  EXPECT_EQ(kCrashExit, exitCode);
  std::string report;
  size_t files = 0;
  for (const auto& file : std::filesystem::directory_iterator(scratch.Path(L""))) {
    std::ifstream stream(file.path(), std::ios::binary);
    report.append(std::istreambuf_iterator<char>(stream), std::istreambuf_iterator<char>());
    ++files;
  }
  // The control: the report rolled the file at least once and is all there.
  EXPECT_GE(files, 2u);
  EXPECT_NE(report.find("------------------End Stack Trace------------------"), std::string::npos);
  // Each file holds the limit's worth of the report: a few files, not a cascade.
  EXPECT_LE(files, 20u);
}

TEST(ZelToolCrash, StackOverflowIsReportedFromAFreshStack) {
  if (GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr) {
    GTEST_SKIP() << "Wine's exception dispatch overflows the stack again before any unhandled-exception filter runs";
  }
  ExpectInOrder(LogOfRun(L"crash --kind overflow", kCrashExit),
                {"Exception code: C00000FD STACK_OVERFLOW", "Symbol Information: zeltool::Recurse",
                 "------------------End Stack Trace------------------"});
}

TEST(ZelToolStack, LogsTheCallingThreadsStack) {
  ExpectInOrder(LogOfRun(L"stack", 0), {"Stack Frame Context: ESP=", "Symbol Information: zeltool::DumpOwnStack",
                                        "Source File: crash_commands.cpp, line", "Symbol Information: zeltool::RunStack",
                                        "====== END OF LOG ======"});
}

}  // namespace
