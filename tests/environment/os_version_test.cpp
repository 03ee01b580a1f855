// Version names from version records (documented names for the versions the
// table covers, true names for later ones), and the OLE DB provider list read
// through the stand-in enumerator registered for the test.
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/environment/os_version.h"
#include "tests/common/log_capture.h"
#include "tests/environment/enumerator_registration.h"

namespace {

OSVERSIONINFOEXW Record(DWORD major, DWORD minor, DWORD build, BYTE product, WORD suite, const wchar_t* servicePack) {
  OSVERSIONINFOEXW record{};
  record.dwOSVersionInfoSize = sizeof(record);
  record.dwMajorVersion = major;
  record.dwMinorVersion = minor;
  record.dwBuildNumber = build;
  record.wProductType = product;
  record.wSuiteMask = suite;
  wcscpy_s(record.szCSDVersion, servicePack);
  return record;
}

TEST(OsVersionName, NamesFromVersionRecords) {
  const struct {
    OSVERSIONINFOEXW record;
    bool extended;
    const wchar_t* name;
  } cases[] = {
      {Record(5, 2, 3790, VER_NT_SERVER, VER_SUITE_ENTERPRISE, L"Service Pack 2"), true,
       L"Microsoft\u00AE Windows\u00AE 2003 Advanced Server Service Pack 2 x64"},
      {Record(5, 2, 3790, VER_NT_DOMAIN_CONTROLLER, VER_SUITE_DATACENTER | VER_SUITE_TERMINAL, L""), true,
       L"Microsoft\u00AE Windows\u00AE 2003 DataCenter Terminal Server Domain Controller x64"},
      {Record(5, 1, 2600, VER_NT_WORKSTATION, VER_SUITE_PERSONAL, L""), true, L"Windows XP Home Edition x64"},
      {Record(5, 1, 2600, VER_NT_WORKSTATION, 0, L"Service Pack 3"), true, L"Windows XP Professional Service Pack 3 x64"},
      {Record(5, 0, 2195, VER_NT_WORKSTATION, 0, L"Service Pack 10"), true,
       L"Microsoft\u00AE Windows\u00AE 2000 Professional Service Pack 10 x64"},
      {Record(4, 0, 1381, VER_NT_WORKSTATION, 0, L"Service Pack 6a"), true, L"Windows NT 4.0 Workstation Service Pack 6a x64"},
      {Record(4, 0, 1381, VER_NT_SERVER, 0, L"Service Pack 5"), false, L"Windows NT 4.0 Service Pack 5 x64"},
      {Record(3, 51, 1057, VER_NT_WORKSTATION, 0, L""), true, L"Unknown x64"},
      {Record(6, 0, 6002, VER_NT_WORKSTATION, 0, L"Service Pack 2"), true, L"Windows Vista Service Pack 2 x64"},
      {Record(6, 1, 7601, VER_NT_WORKSTATION, 0, L"Service Pack 1"), true, L"Windows 7 Service Pack 1 x64"},
      {Record(6, 1, 7601, VER_NT_SERVER, 0, L""), true, L"Windows Server 2008 R2 x64"},
      {Record(6, 2, 9200, VER_NT_WORKSTATION, 0, L""), true, L"Windows 8 x64"},
      {Record(6, 3, 9600, VER_NT_WORKSTATION, 0, L""), true, L"Windows 8.1 x64"},
      {Record(10, 0, 19045, VER_NT_WORKSTATION, 0x100, L""), true, L"Windows 10 x64"},
      {Record(10, 0, 22631, VER_NT_WORKSTATION, 0, L""), true, L"Windows 11 x64"},
      {Record(10, 0, 17763, VER_NT_DOMAIN_CONTROLLER, 0, L""), true, L"Windows Server 2019 Domain Controller x64"},
      {Record(10, 0, 20348, VER_NT_SERVER, 0, L""), true, L"Windows Server 2022 x64"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.name, ComposeOSVersionName(c.record, c.extended))
        << c.record.dwMajorVersion << "." << c.record.dwMinorVersion;
  }
}

TEST(OsVersionName, RunningSystemIsNamedByItsTrueVersion) {
  // Wine's default prefix is Windows 7 SP1, which GetVersionEx reports as
  // it is; a Windows 10 prefix reports 6.2 there and 10.0 through ntdll.
  OSVERSIONINFOW reported{};
  reported.dwOSVersionInfoSize = sizeof(reported);
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
  ASSERT_TRUE(GetVersionExW(&reported));
  const std::wstring name = GetOSVersionName();
  if (reported.dwMajorVersion == 6 && reported.dwMinorVersion == 1) {
    EXPECT_EQ(0u, name.find(L"Windows 7")) << name;
  }
  EXPECT_EQ(std::wstring::npos, name.find(L"Windows XP")) << name;
  EXPECT_EQ(std::wstring::npos, name.find(L"Windows\u00AE 2000")) << name;
  EXPECT_EQ(L" x64", name.substr(name.size() - 4));
}

TEST(ProviderList, RowsOfTheRegisteredEnumeratorInOrder) {
  EnumeratorRegistration registration;
  ASSERT_TRUE(registration.registered());
  const std::wstring longName(200, L'L');
  SetEnvironmentVariableW(L"FERNWICK_OLEDB_ROWS", (L"SQLNCLI11|SQLOLEDB|SQLNCLI 10 x|MSDASQL|" + longName).c_str());
  LogCapture log;
  const auto names = provider_list(log.Callback());
  EXPECT_EQ((std::vector<std::wstring>{L"SQLNCLI11", L"SQLOLEDB", L"SQLNCLI 10 x", L"MSDASQL", longName.substr(0, 128)}),
            names);
  EXPECT_TRUE(log.entries().empty());
}

TEST(ProviderList, NoEnumeratorGivesNothingAndOneReport) {
  RegDeleteTreeW(HKEY_LOCAL_MACHINE, EnumeratorRegistration::kKey);
  LogCapture log;
  EXPECT_TRUE(provider_list(log.Callback()).empty());
  ASSERT_EQ(1u, log.entries().size());
  EXPECT_EQ(L"An error occurred during enumerating OLE DB providers. [" +
                std::to_wstring(static_cast<int>(REGDB_E_CLASSNOTREG)) + L"]",
            log.entries()[0].message);
  EXPECT_EQ(4, log.entries()[0].level);
}

}  // namespace
