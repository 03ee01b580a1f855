// Registers the built module with the platform's own regsvr32, activates the
// class through COM, and unregisters it again.

#include <string>

#include <gtest/gtest.h>
#include <objbase.h>
#include <windows.h>

#include "tests/registration/machine_keys.h"
#include "tools/wmihost/host_session.h"

namespace {

const std::wstring kProviderClassKey = L"Software\\Classes\\CLSID\\{72390812-EE29-4307-9B19-ACF198DDB068}";

// Runs a command line and returns its exit code, or -1 when it cannot start.
long RunAndWait(std::wstring commandLine) {
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    return -1;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD exitCode = 0;
  GetExitCodeProcess(process.hProcess, &exitCode);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(exitCode);
}

class SelfRegistrationTest : public ClassKeyTest {
 protected:
  SelfRegistrationTest() : ClassKeyTest(kProviderClassKey) {}
};

}  // namespace

TEST_F(SelfRegistrationTest, Regsvr32RegistersTheProviderAndComActivatesIt) {
  const std::wstring module = wmihost::ProviderPathBesideExecutable();
  ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(module.c_str()));
  ASSERT_EQ(0, RunAndWait(L"regsvr32.exe /s \"" + module + L"\""));

  EXPECT_EQ(L"Fernwick Router Session", ReadMachineString(kProviderClassKey, nullptr));
  EXPECT_EQ(L"Both", ReadMachineString(kProviderClassKey + L"\\InprocServer32", L"ThreadingModel"));
  EXPECT_EQ(0, _wcsicmp(module.c_str(), ReadMachineString(kProviderClassKey + L"\\InprocServer32", nullptr).c_str()));
  EXPECT_TRUE(MachineKeyExists(kProviderClassKey + L"\\NotInsertable"));
  EXPECT_EQ(L"Fernwick.Router.Session.1", ReadMachineString(kProviderClassKey + L"\\ProgID", nullptr));
  EXPECT_EQ(L"Fernwick Router Session", ReadMachineString(kProviderClassKey + L"\\VersionIndependentProgID", nullptr));

  // COM finds the class through the keys just written and loads the module.
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
  IUnknown* provider = nullptr;
  const HRESULT created =
      CoCreateInstance(wmihost::kProviderClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, reinterpret_cast<void**>(&provider));
  EXPECT_EQ(S_OK, created);
  ASSERT_NE(nullptr, provider);
  EXPECT_NE(nullptr, GetModuleHandleW(module.c_str())) << "the instance must come from the registered module";
  provider->Release();
  CoUninitialize();

  ASSERT_EQ(0, RunAndWait(L"regsvr32.exe /s /u \"" + module + L"\""));
  EXPECT_FALSE(MachineKeyExists(kProviderClassKey));
  // Unregistering again finds nothing and still succeeds.
  EXPECT_EQ(0, RunAndWait(L"regsvr32.exe /s /u \"" + module + L"\""));
}
