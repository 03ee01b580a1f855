#pragma once
// Tests that reach the MOF compiler: the stand-in registered under the
// platform's class id in HKEY_LOCAL_MACHINE of the prefix, COM on the test
// thread, fresh answers and no recorded requests at the start of each test.

#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include "tests/fs/scratch_folder.h"
#include "tests/maintenance/machine_state.h"
#include "tests/mof_compiler_standin/standin_protocol.h"

namespace maintenance_test {

constexpr wchar_t kCimomKey[] = L"SOFTWARE\\Microsoft\\WBEM\\CIMOM";
constexpr wchar_t kAutoRecover[] = L"Autorecover MOFs";
constexpr wchar_t kCompilerClassKey[] = L"Software\\Classes\\CLSID\\{6DAF9757-2E37-11D2-AEC9-00C04FB68820}";

// One recorded request of the stand-in, its values as text (DWORDs in
// decimal, the buffer as raw bytes).
struct StandInRequest {
  std::map<std::wstring, std::wstring> text;
  std::map<std::wstring, DWORD> numbers;
  std::string buffer;
};

inline std::vector<StandInRequest> RecordedRequests() {
  std::vector<StandInRequest> requests;
  for (int number = 1;; ++number) {
    const std::wstring path = std::wstring(mof_standin::kRequestsKey) + L"\\" + std::to_wstring(number);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) break;
    StandInRequest request;
    for (DWORD index = 0;; ++index) {
      wchar_t name[256];
      DWORD nameSize = 256;
      DWORD type = 0;
      std::vector<BYTE> data(4096);
      DWORD dataSize = static_cast<DWORD>(data.size());
      if (RegEnumValueW(key, index, name, &nameSize, nullptr, &type, data.data(), &dataSize) != ERROR_SUCCESS) break;
      if (type == REG_DWORD) request.numbers[name] = *reinterpret_cast<DWORD*>(data.data());
      if (type == REG_SZ) request.text[name] = reinterpret_cast<wchar_t*>(data.data());
      if (type == REG_BINARY) request.buffer.assign(reinterpret_cast<char*>(data.data()), dataSize);
    }
    RegCloseKey(key);
    requests.push_back(request);
  }
  return requests;
}

class StandInTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    const std::wstring server = ExecutableFolder() + L"\\MofCompilerStandIn.dll";
    // A machine with a real MOF compiler keeps it; these tests then skip.
    wchar_t registered[MAX_PATH] = {};
    DWORD size = sizeof(registered);
    platformCompiler_ = RegGetValueW(HKEY_LOCAL_MACHINE, (std::wstring(kCompilerClassKey) + L"\\InprocServer32").c_str(),
                                     nullptr, RRF_RT_REG_SZ, nullptr, registered, &size) == ERROR_SUCCESS &&
                        _wcsicmp(registered, server.c_str()) != 0;
    if (platformCompiler_) return;
    WriteRaw(std::wstring(kCompilerClassKey) + L"\\InprocServer32", nullptr, Text(server));
    WriteRaw(std::wstring(kCompilerClassKey) + L"\\InprocServer32", L"ThreadingModel", Text(L"Both"));
    ASSERT_EQ(Text(server), ReadRaw(std::wstring(kCompilerClassKey) + L"\\InprocServer32", nullptr));
  }
  static void TearDownTestSuite() {
    if (platformCompiler_) return;
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, kCompilerClassKey);
    RegDeleteTreeW(HKEY_CURRENT_USER, mof_standin::kKey);
  }

  void SetUp() override {
    if (platformCompiler_) GTEST_SKIP() << "the platform's MOF compiler is registered";
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
    RegDeleteTreeW(HKEY_CURRENT_USER, mof_standin::kKey);
    Answer(0, 0, 0, 0, 0);
    savedAutoRecover_ = ReadRaw(kCimomKey, kAutoRecover);
  }
  void TearDown() override {
    if (platformCompiler_) return;
    WriteRaw(kCimomKey, kAutoRecover, savedAutoRecover_);
    CoUninitialize();
  }

  // What the stand-in answers from now on.
  static void Answer(HRESULT create, HRESULT compile, LONG phase, HRESULT status, LONG object) {
    const std::pair<const wchar_t*, DWORD> answers[] = {
        {mof_standin::kCreateResult, static_cast<DWORD>(create)},
        {mof_standin::kCompileResult, static_cast<DWORD>(compile)},
        {mof_standin::kPhase, static_cast<DWORD>(phase)},
        {mof_standin::kStatusResult, static_cast<DWORD>(status)},
        {mof_standin::kObjectNumber, static_cast<DWORD>(object)}};
    for (const auto& answer : answers) {
      RegSetKeyValueW(HKEY_CURRENT_USER, mof_standin::kKey, answer.first, REG_DWORD, &answer.second, sizeof(DWORD));
    }
  }

  static inline bool platformCompiler_ = false;
  RawValue savedAutoRecover_;  // the tests change the machine's auto-recovery list; it is put back
};

}  // namespace maintenance_test
