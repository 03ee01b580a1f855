// The environment report run once against Wine's real sources (and the
// stand-in OLE DB enumerator), its lines checked for order and against what
// the platform says directly; the formatting helpers against worked values.
#include <winsock2.h>
#include <windows.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/environment/environment_report.h"
#include "support/formatted_report.h"
#include "tests/common/log_capture.h"
#include "tests/environment/enumerator_registration.h"

namespace {

constexpr wchar_t kWinsockParameters[] = L"SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters";
constexpr wchar_t kTestCatalog[] = L"FernwickTestCatalog";
constexpr wchar_t kTcpIpProvider[] = L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider";
constexpr wchar_t kWinsockLibrary[] = L"%SystemRoot%\\system32\\ws2_32.dll";

void SetText(const std::wstring& key, const wchar_t* name, const std::wstring& value, DWORD type = REG_SZ) {
  RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, type, value.c_str(),
                  static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
}

// Wine's prefix has neither a name-space catalog nor a TCP/IP provider path;
// the test writes both (60 catalog entries) and removes them afterwards.
class WinsockEntries {
 public:
  WinsockEntries() {
    const std::wstring entries = std::wstring(kWinsockParameters) + L"\\" + kTestCatalog + L"\\Catalog_Entries";
    for (int i = 0; i < 60; ++i) {
      wchar_t name[16];
      swprintf(name, 16, L"%012d", i);
      SetText(entries + L"\\" + name, L"DisplayString", L"Provider " + std::to_wstring(i));
      SetText(entries + L"\\" + name, L"LibraryPath", kWinsockLibrary, REG_EXPAND_SZ);
    }
    SetText(kWinsockParameters, L"Current_NameSpace_Catalog", kTestCatalog);
    SetText(kTcpIpProvider, L"ProviderPath", kWinsockLibrary, REG_EXPAND_SZ);
  }
  ~WinsockEntries() {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kWinsockParameters, L"Current_NameSpace_Catalog");
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, (std::wstring(kWinsockParameters) + L"\\" + kTestCatalog).c_str());
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, kTcpIpProvider, L"ProviderPath");
  }
  WinsockEntries(const WinsockEntries&) = delete;
  WinsockEntries& operator=(const WinsockEntries&) = delete;
};

class FullReport : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    EnumeratorRegistration registration;
    WinsockEntries winsock;
    SetEnvironmentVariableW(L"FERNWICK_OLEDB_ROWS", L"SQLNCLI11|SQLOLEDB|SQLNCLI 10 x|sqloledb|MSDASQL");
    ReportEnvironment report;
    report.SetSink(LogCapture::Callback());
    {
      LogCapture log;
      report.ReportEnvironmentVersions();
      entries_ = new std::vector<CapturedLog>(log.entries());
    }
    // The same object again, as for a rolled log file, with a process
    // started in between: the kept parts are repeated, processes read anew.
    wchar_t self[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    ASSERT_TRUE(CreateProcessW(self, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                               &child));
    childId_ = child.dwProcessId;
    LogCapture log;
    report.ReportEnvironmentVersions();
    repeated_ = new std::vector<CapturedLog>(log.entries());
    TerminateProcess(child.hProcess, 0);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
  }
  static void TearDownTestSuite() {
    delete entries_;
    delete repeated_;
  }

  // Index of the first line of the report that begins with `prefix`, or -1.
  static int Find(const std::vector<CapturedLog>& report, const std::wstring& prefix) {
    for (size_t i = 0; i < report.size(); ++i) {
      if (report[i].message.compare(0, prefix.size(), prefix) == 0) return static_cast<int>(i);
    }
    return -1;
  }
  static int Find(const std::wstring& prefix) { return Find(*entries_, prefix); }
  static bool Has(const std::wstring& line) {
    for (const auto& e : *entries_) {
      if (e.message == line) return true;
    }
    return false;
  }

  static std::vector<CapturedLog>* entries_;
  static std::vector<CapturedLog>* repeated_;
  static DWORD childId_;
};
std::vector<CapturedLog>* FullReport::entries_ = nullptr;
std::vector<CapturedLog>* FullReport::repeated_ = nullptr;
DWORD FullReport::childId_ = 0;

// Every line of the repeated report that is not read anew equals the first
// report's line in the same place; the new process shows only in the second.
// (The up time's performance-data query is made once, and only the report
// that made it reports how it failed.)
TEST_F(FullReport, ARepeatedReportKeepsTheFixedLinesInPlaceAndReadsProcessesAnew) {
  const auto changing = [](const std::wstring& line) {
    for (const wchar_t* prefix : {L"[ENV] Current Process logged on as: ", L"[ENV] Running Process: ",
                                  L"[ENV] Total HD bytes: ", L"[ENV] System up time: ",
                                  L"[ENV] Error occurred while collecting performance data"}) {
      if (line.compare(0, wcslen(prefix), prefix) == 0) return true;
    }
    return line.find(L" KB") != std::wstring::npos || line.find(L"percent of memory") != std::wstring::npos;
  };
  const auto fixedLines = [&](const std::vector<CapturedLog>& lines) {
    std::vector<std::wstring> fixed;
    for (const auto& e : lines) {
      if (e.message.compare(0, 6, L"[ENV] ") == 0 && !changing(e.message)) fixed.push_back(e.message);
    }
    return fixed;
  };
  EXPECT_EQ(fixedLines(*entries_), fixedLines(*repeated_));
  const std::wstring child = L", ID: " + std::to_wstring(childId_);
  const auto shows = [&](const std::vector<CapturedLog>& lines) {
    for (const auto& e : lines) {
      if (e.message.compare(0, 23, L"[ENV] Running Process: ") == 0 && e.message.size() >= child.size() &&
          e.message.compare(e.message.size() - child.size(), child.size(), child) == 0) {
        return true;
      }
    }
    return false;
  };
  EXPECT_FALSE(shows(*entries_));
  EXPECT_TRUE(shows(*repeated_));
}

TEST_F(FullReport, LinesComeInTheReportsOrder) {
  const wchar_t* const order[] = {
      L"[ENV] Current Process: ", L"[ENV] Current Process logged on as: ", L"[ENV] Current Process id: ",
      L"[ENV] Computer Host Name: ", L"[ENV] Processor Identifier: ", L"[ENV] Number of Processors: ",
      L"[ENV] Total size of physical memory: ", L"[ENV] Total HD bytes: ", L"[ENV] Could not get System up time",
      L"[ENV] Local Time Zone: ", L"[ENV] TCP/IP provider (Winsock) File Version: ",
      L"[ENV] Local machine IP Address = ", L"[ENV] Winsock2 file: ", L"[ENV] Microsoft XML Parser", L"[ENV] SQLCLI provider is available: ", L"[ENV] Running Process: "};
  for (const std::vector<CapturedLog>* report : {entries_, repeated_}) {
    int previous = -1;
    for (const wchar_t* prefix : order) {
      const int at = Find(*report, prefix);
      EXPECT_GT(at, previous) << std::string(prefix, prefix + wcslen(prefix));
      previous = at;
    }
  }
  for (const auto& e : *entries_) {
    EXPECT_LE(e.message.size(), 510u);
    EXPECT_EQ(0u, e.message.find(L"[ENV] ")) << std::string(e.message.begin(), e.message.end());
  }
}

TEST_F(FullReport, ValuesAgreeWithThePlatform) {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  EXPECT_TRUE(Has(L"[ENV] Current Process: " + std::wstring(path)));
  EXPECT_TRUE(Has(L"[ENV] Current Process id: " + std::to_wstring(GetCurrentProcessId())));
  SYSTEM_INFO system{};
  GetNativeSystemInfo(&system);
  EXPECT_TRUE(Has(L"[ENV] Number of Processors: " + std::to_wstring(system.dwNumberOfProcessors)));
  MEMORYSTATUSEX memory{};
  memory.dwLength = sizeof(memory);
  GlobalMemoryStatusEx(&memory);
  EXPECT_TRUE(Has(L"[ENV] Total size of physical memory: " + std::to_wstring(memory.ullTotalPhys / 1024) + L" KB"));
  const std::wstring exe = std::wstring(path).substr(std::wstring(path).rfind(L'\\') + 1);
  EXPECT_TRUE(Has(L"[ENV] Running Process: " + exe + L", ID: " + std::to_wstring(GetCurrentProcessId())));
  // Wine's address for its host name (see the platform notes).
  EXPECT_TRUE(Has(L"[ENV] Local machine IP Address = 192.0.2.2"));
  const int logon = Find(L"[ENV] Current Process logged on as: ");
  ASSERT_GE(logon, 0);
  EXPECT_NE(std::wstring::npos, (*entries_)[logon].message.find(L"\\"));
}

// The test prefix is set to Windows 10 (winecfg -v win10), which
// GetVersionEx tells a program without a compatibility manifest as 6.2.
TEST_F(FullReport, OsVersionIsTheSystemsOwnNotTheOneThisProgramIsTold) {
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlGetVersion")));
  ASSERT_NE(nullptr, rtlGetVersion);
  OSVERSIONINFOEXW system{};
  system.dwOSVersionInfoSize = sizeof(system);
  ASSERT_EQ(0, rtlGetVersion(&system));
  ASSERT_EQ(10u, system.dwMajorVersion) << "the test prefix should be set to Windows 10";
  OSVERSIONINFOW told{};
  told.dwOSVersionInfoSize = sizeof(told);
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
  ASSERT_TRUE(GetVersionExW(&told) && told.dwMajorVersion == 6) << "this program is told 6.2";
  const int at = Find(L"[ENV] Computer Host Name: ");
  ASSERT_GE(at, 0);
  const std::wstring& line = (*entries_)[at].message;
  const std::wstring expected = L", OS Version: 10." + std::to_wstring(system.dwMinorVersion) + L", Build number " +
                                std::to_wstring(system.dwBuildNumber) + L", ServicePack Major " +
                                std::to_wstring(system.wServicePackMajor) + L", ServicePack Minor " +
                                std::to_wstring(system.wServicePackMinor);
  ASSERT_GE(line.size(), expected.size());
  EXPECT_EQ(expected, line.substr(line.size() - expected.size()));
}

TEST_F(FullReport, SqlServerProvidersByName) {
  EXPECT_TRUE(Has(L"[ENV] SQLCLI provider is available: [SQLNCLI11]"));
  EXPECT_TRUE(Has(L"[ENV] MSSQL OLEDB provider is available: [SQLOLEDB]"));
  EXPECT_TRUE(Has(L"[ENV] MSSQL OLEDB provider is available: [sqloledb]"));
  int providerLines = 0;
  for (const auto& e : *entries_) {
    providerLines += e.message.find(L"provider is available") != std::wstring::npos;
  }
  EXPECT_EQ(3, providerLines);
}

TEST_F(FullReport, WinsockProvidersAtMostFiftyWithExpandedPaths) {
  wchar_t expanded[MAX_PATH] = {};
  ExpandEnvironmentStringsW(kWinsockLibrary, expanded, MAX_PATH);
  DWORD ignored = 0;
  std::vector<BYTE> info(GetFileVersionInfoSizeW(expanded, &ignored));
  ASSERT_FALSE(info.empty());
  ASSERT_TRUE(GetFileVersionInfoW(expanded, 0, static_cast<DWORD>(info.size()), info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT length = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &length));
  const std::wstring version = std::to_wstring(HIWORD(fixed->dwFileVersionMS)) + L"." +
                               std::to_wstring(LOWORD(fixed->dwFileVersionMS)) + L"." +
                               std::to_wstring(HIWORD(fixed->dwFileVersionLS)) + L"." +
                               std::to_wstring(LOWORD(fixed->dwFileVersionLS));
  int winsockLines = 0;
  for (const auto& e : *entries_) winsockLines += e.message.find(L"[ENV] Winsock2 file: ") == 0;
  EXPECT_EQ(50, winsockLines);
  EXPECT_TRUE(Has(L"[ENV] Winsock2 file: Provider 0, Version: " + version + L" (" + expanded + L")"));
  EXPECT_TRUE(Has(L"[ENV] Winsock2 file: Provider 49, Version: " + version + L" (" + expanded + L")"));
  EXPECT_FALSE(Has(L"[ENV] Winsock2 file: Provider 50, Version: " + version + L" (" + expanded + L")"));
  EXPECT_TRUE(Has(L"[ENV] TCP/IP provider (Winsock) File Version: " + version + L" (" + kWinsockLibrary + L")"));
}

TEST(ReportFormatting, UpTimeTimeZoneAndBlanks) {
  EXPECT_EQ(L"1 days 01 hrs 01 mins 01 secs", ReportEnvironment::FormatUpTime(90061));
  EXPECT_EQ(L"0 days 00 hrs 00 mins 59 secs", ReportEnvironment::FormatUpTime(59));
  EXPECT_EQ(L"400 days 23 hrs 59 mins 59 secs", ReportEnvironment::FormatUpTime(400LL * 86400 + 86399));
  EXPECT_EQ(L"India Standard Time (GMT+05:30)", ReportEnvironment::FormatTimeZone(L"India Standard Time", -19800));
  EXPECT_EQ(L"Pacific (GMT-08:00)", ReportEnvironment::FormatTimeZone(L"Pacific", 28800));
  EXPECT_EQ(L"UTC (GMT+00:00)", ReportEnvironment::FormatTimeZone(L"UTC", 0));
  EXPECT_EQ(L"AMD Ryzen 7", ReportEnvironment::StripBlanks(L" \t AMD Ryzen 7\t  "));
  EXPECT_EQ(L"", ReportEnvironment::StripBlanks(L" \t \t"));
}

TEST(ReportSink, LinesAreCutAt510Characters) {
  LogCapture log;
  ErrorRecord record;
  const std::wstring longText(600, L'w');
  SendFormatted<512>(LogCapture::Callback(), &record, 3, "test", __LINE__, L"[ENV] %ls", longText.c_str());
  ASSERT_EQ(1u, log.entries().size());
  EXPECT_EQ(L"[ENV] " + longText.substr(0, 504), log.entries()[0].message);
}

unsigned char g_writableSink[64];

TEST(ReportSink, ASinkInWritableMemoryIsNeverCalled) {
  LogCapture log;
  ReportEnvironment report;
  report.SetSink(reinterpret_cast<LogCallback>(g_writableSink));
  report.ReportSystemMemoryInfo();
  report.ReportCurrentProcesses();
  EXPECT_TRUE(log.entries().empty());
  report.SetSink(LogCapture::Callback());
  report.ReportSystemMemoryInfo();
  EXPECT_FALSE(log.entries().empty());
}

TEST(ReportSources, PerformanceDataFallbacksOnWinesStubData) {
  LogCapture log;
  ReportEnvironment report;
  report.SetSink(LogCapture::Callback());
  report.ReportCurrentProcessesNT();
  EXPECT_EQ(-1, ReportEnvironment::GetUpTimeSecs(LogCapture::Callback()));
  EXPECT_EQ(0, report.GetBootTime());
  for (const auto& e : log.entries()) {
    EXPECT_EQ(std::wstring::npos, e.message.find(L"Running Process")) << std::string(e.message.begin(), e.message.end());
  }
  std::wstring service;
  uint32_t version[4] = {};
  EXPECT_FALSE(ReportEnvironment::GetServiceFileVersion(L"FernwickNoSuchService", &service, version));
}

}  // namespace
