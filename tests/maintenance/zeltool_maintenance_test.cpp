// ZelTool's maintenance commands as an administrator runs them: a separate
// process that activates the MOF compiler (the stand-in) through COM.

#include <algorithm>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/code_page.h"
#include "tests/maintenance/machine_state.h"
#include "tests/maintenance/standin_fixture.h"
#include "tests/tools/zeltool_run.h"

namespace {

using namespace maintenance_test;

// The product's MOF file as a Windows path.
std::wstring ProductMof() {
  std::wstring path;
  for (const char* c = FERNWICK_MOF_PATH; *c != '\0'; ++c) path += *c == '/' ? L'\\' : static_cast<wchar_t>(*c);
  return path[0] == L'\\' ? L"Z:" + path : path;
}

using ZelToolMaintenanceTest = StandInTest;

}  // namespace

TEST_F(ZelToolMaintenanceTest, CompilesTheProductsMofFilesThroughTheMofCompiler) {
  // Every MOF file the product ships beside the provider.
  const std::wstring mof = ProductMof();
  const std::wstring folder = mof.substr(0, mof.find_last_of(L'\\') + 1);
  std::vector<std::wstring> files;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((folder + L"*.mof").c_str(), &found);
  ASSERT_NE(INVALID_HANDLE_VALUE, search);
  do {
    files.push_back(folder + found.cFileName);
  } while (FindNextFileW(search, &found));
  FindClose(search);
  ASSERT_NE(files.end(), std::find(files.begin(), files.end(), mof));

  for (const auto& file : files) {
    SCOPED_TRACE(WideToNarrow(file));
    RegDeleteTreeW(HKEY_CURRENT_USER, mof_standin::kRequestsKey);
    const ZelToolRun run = RunZelTool(L"mof compile \"" + file + L"\"");
    EXPECT_EQ(0u, run.exitCode) << run.errors;
    EXPECT_EQ("", run.errors);

    std::ifstream content(file.c_str(), std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(content)), std::istreambuf_iterator<char>());
    ASSERT_FALSE(bytes.empty());
    const auto requests = RecordedRequests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(L"CompileFile", requests[0].text.at(L"Method"));
    EXPECT_EQ(file, requests[0].text.at(L"FileName"));
    EXPECT_EQ(bytes.size(), requests[0].numbers.at(L"FileBytes"));
    EXPECT_EQ(0x108u, requests[0].numbers.at(L"Options"));
  }
}

TEST_F(ZelToolMaintenanceTest, ReportsEachOutcomeByExitCodeAndMessage) {
  struct Vector {
    std::wstring arguments;
    HRESULT compileResult;
    LONG phase;
    DWORD exitCode;
    std::string message;  // a line stderr must hold; empty: stderr is empty
  };
  const std::string mof = WideToNarrow(ProductMof());
  const Vector vectors[] = {
      {L"mof compile \"" + ProductMof() + L"\"", S_FALSE, 2, 1,
       "1: Error [1] MOF [" + mof + "] compilation failed with error : parsing, error code : 0, object number : 0\n"},
      {L"mof compile Z:\\no\\such.mof", S_OK, 0, 1, "1: Cannot find MOF file : Z:\\no\\such.mof\n"},
      {L"mof remove-class Win32_NoSuchClass", S_FALSE, 2, 1,
       "1: Error [1] MOF compilation failed with error : parsing, error code : 0, object number : 0\n"
       "2: Unknown class name: [Win32_NoSuchClass]\n"},
      {L"mof remove-class Win32_PerfRawData_Fernwick_Router_Session", S_OK, 0, 0, ""},
      // Look-alike names are refused, with nothing written or compiled.
      {L"mof remove-class Win32_\xFF33" L"ervice", S_OK, 0, 1, "1: Invalid class name: [Win32_"},
      {L"event-source install FernwickToolTest\xFF3C", S_OK, 0, 1, "1: Invalid event source name: [FernwickToolTest"},
      {L"cleanup router", S_OK, 0, 0, ""},
      {L"cleanup agent", S_OK, 0, 0, ""},
  };
  for (const auto& vector : vectors) {
    SCOPED_TRACE(WideToNarrow(vector.arguments));
    Answer(S_OK, vector.compileResult, vector.phase, S_OK, 0);
    const ZelToolRun run = RunZelTool(vector.arguments);
    EXPECT_EQ(vector.exitCode, run.exitCode);
    if (vector.message.empty()) {
      EXPECT_EQ("", run.errors);
    } else {
      EXPECT_NE(std::string::npos, run.errors.find(vector.message)) << run.errors;
    }
  }
}

TEST_F(ZelToolMaintenanceTest, InstallsAnEventSourceForItself) {
  const std::wstring key = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\FernwickToolTest";
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
  const ZelToolRun run = RunZelTool(L"event-source install FernwickToolTest");
  EXPECT_EQ(0u, run.exitCode) << run.errors;
  EXPECT_EQ(Number(7), ReadRaw(key, L"TypesSupported"));
  const RawValue file = ReadRaw(key, L"EventMessageFile");
  const std::wstring expected = ExecutableFolder() + L"\\ZelTool.exe";
  EXPECT_EQ(0, _wcsicmp(expected.c_str(), reinterpret_cast<const wchar_t*>(file.bytes.c_str())));
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
}

TEST_F(ZelToolMaintenanceTest, MalformedCommandLinesAreUsageErrors) {
  const wchar_t* const commandLines[] = {L"mof compile", L"mof frobnicate x.mof", L"cleanup both",
                                         L"event-source install", L"event-source remove Name"};
  for (const wchar_t* commandLine : commandLines) {
    const ZelToolRun run = RunZelTool(commandLine);
    EXPECT_EQ(2u, run.exitCode) << WideToNarrow(commandLine);
    EXPECT_NE(std::string::npos, run.errors.find("usage:"));
  }
  EXPECT_TRUE(RecordedRequests().empty());
}
