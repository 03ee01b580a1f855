#include "support/environment/environment_report.h"

#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdio>
#include <ctime>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "support/environment/os_version.h"
#include "support/environment/perf_data.h"
#include "support/formatted_report.h"
#include "support/fs/code_page.h"
#include "support/fs/file_functions.h"
#include "support/fs/system_error.h"
#include "support/fs/unique_handle.h"
#include "support/logging/debug_log.h"
#include "support/threads/exception_filter.h"
#include "support/threads/structured_exception.h"

namespace {

constexpr size_t kLineUnits = 512;
constexpr int32_t kLevelError = 1;
constexpr int32_t kLevelWarning = 2;
constexpr int32_t kLevelLine = 3;
constexpr size_t kPathUnits = 260;
constexpr size_t kMaxWinsockEntries = 50;
// Performance data larger than this is not read: a source that keeps asking
// for more would otherwise grow the buffer without end.
constexpr DWORD kMaxPerfDataBytes = 64u << 20;

ErrorRecord g_record;

// A registry text of at most `units` characters, environment variables left
// as written.
bool ReadText(HKEY root, const wchar_t* key, const wchar_t* value, size_t units, std::wstring* text) {
  std::vector<wchar_t> buffer(units + 1, L'\0');
  DWORD bytes = static_cast<DWORD>(units * sizeof(wchar_t));
  if (RegGetValueW(root, key, value, RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, nullptr, buffer.data(),
                   &bytes) != ERROR_SUCCESS) {
    return false;
  }
  *text = buffer.data();
  return true;
}

struct Version {
  uint32_t part[4] = {};
  bool Read(const std::wstring& file) {
    return !file.empty() && GetModuleVersion(file.c_str(), &part[0], &part[1], &part[2], &part[3]);
  }
};

// A key opened for reading; empty when it cannot be opened.
UniqueKey OpenForReading(HKEY root, const std::wstring& path) {
  UniqueKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, key.receive()) != ERROR_SUCCESS) key.release();
  return key;
}

class WinsockSession {
 public:
  WinsockSession() : started_(WSAStartup(MAKEWORD(1, 1), &data_) == 0) {}
  ~WinsockSession() {
    if (started_) WSACleanup();
  }
  WinsockSession(const WinsockSession&) = delete;
  WinsockSession& operator=(const WinsockSession&) = delete;

 private:
  WSADATA data_{};
  bool started_;
};

template <typename Function>
Function Resolve(const wchar_t* module, const char* name) {
  const HMODULE handle = GetModuleHandleW(module);
  return handle == nullptr ? nullptr
                           : reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(handle, name)));
}

// Queries HKEY_PERFORMANCE_DATA into a buffer that starts at `initial` bytes
// and grows by `step` while the data does not fit. ERROR_SUCCESS with the
// bytes returned, or the failing error (ERROR_OUTOFMEMORY when it cannot grow).
LONG QueryPerformanceData(const wchar_t* value, DWORD initial, DWORD step, std::vector<BYTE>* data) {
  for (DWORD size = initial; size <= kMaxPerfDataBytes; size += step) {
    try {
      data->assign(size, 0);
    } catch (const std::bad_alloc&) {
      return ERROR_OUTOFMEMORY;
    }
    DWORD returned = size;
    const LONG result = RegQueryValueExW(HKEY_PERFORMANCE_DATA, value, nullptr, nullptr, data->data(), &returned);
    if (result == ERROR_SUCCESS) {
      data->resize(returned);
      return result;
    }
    if (result != ERROR_MORE_DATA) return result;
  }
  return ERROR_OUTOFMEMORY;
}

class PerformanceDataKey {
 public:
  PerformanceDataKey() = default;
  ~PerformanceDataKey() { RegCloseKey(HKEY_PERFORMANCE_DATA); }
  PerformanceDataKey(const PerformanceDataKey&) = delete;
  PerformanceDataKey& operator=(const PerformanceDataKey&) = delete;
};

}  // namespace

class ReportEnvironment::Recording {
 public:
  Recording(ReportEnvironment& report, std::vector<RecordedLine>& lines)
      : report_(report), previous_(report.recording_) {
    report_.recording_ = &lines;
  }
  ~Recording() { report_.recording_ = previous_; }
  Recording(const Recording&) = delete;
  Recording& operator=(const Recording&) = delete;

 private:
  ReportEnvironment& report_;
  std::vector<RecordedLine>* const previous_;
};

template <typename... Args>
void ReportEnvironment::Line(int32_t level, const char* function, int32_t line, const wchar_t* format,
                             Args... args) const {
  if (recording_ == nullptr) {
    SendFormatted<kLineUnits>(sink_, &g_record, level, function, line, format, args...);
    return;
  }
  wchar_t message[kLineUnits] = {};
  SafeFormat(message, static_cast<int>(kLineUnits - 1), format, args...);
  recording_->push_back({level, function, line, message});
  Replay({recording_->back()});
}

void ReportEnvironment::Replay(const std::vector<RecordedLine>& lines) const {
  for (const RecordedLine& line : lines) {
    if (!IsUsableCallback(sink_)) return;
    sink_(line.level, 0, 0, 0, line.text.c_str(), line.function.c_str(), line.line, &g_record);
  }
}

ReportEnvironment::ReportEnvironment() : sink_(&LogReportLine), startTime_(static_cast<int64_t>(std::time(nullptr))) {}

std::wstring ReportEnvironment::StripBlanks(const std::wstring& text) {
  const size_t first = text.find_first_not_of(L" \t");
  if (first == std::wstring::npos) return std::wstring();
  return text.substr(first, text.find_last_not_of(L" \t") - first + 1);
}

std::wstring ReportEnvironment::FormatUpTime(int64_t seconds) {
  wchar_t text[96];
  std::swprintf(text, 96, L"%d days %02d hrs %02d mins %02d secs", static_cast<int>(seconds / 86400),
                static_cast<int>(seconds / 3600 % 24), static_cast<int>(seconds / 60 % 60),
                static_cast<int>(seconds % 60));
  return text;
}

std::wstring ReportEnvironment::FormatTimeZone(const std::wstring& name, long secondsWest) {
  const long east = secondsWest < 0 ? -secondsWest : secondsWest;
  wchar_t offset[32];
  std::swprintf(offset, 32, L" (GMT%ls%02ld:%02ld)", secondsWest <= 0 ? L"+" : L"-", east / 3600, east / 60 % 60);
  return name + offset;
}

void ReportEnvironment::ReportEnvironmentVersions() {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  ScopedLock guard(keptLock_);
  const bool gathered = fixed_ != nullptr;
  std::unique_ptr<FixedParts> gathering = gathered ? nullptr : std::make_unique<FixedParts>();
  FixedParts& parts = gathered ? *fixed_ : *gathering;
  // The first report sends the fixed parts' lines as it records them.
  const auto fixedPart = [&](std::vector<RecordedLine>& lines, const auto& gather) {
    if (gathered) {
      Replay(lines);
      return;
    }
    const Recording recording(*this, lines);
    gather();
  };
  fixedPart(parts.process, [&] {
    std::wstring path;
    GetServiceInfo(&path, &parts.account);
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Current Process: %ls", path.c_str());
  });
  const std::time_t start = static_cast<std::time_t>(startTime_);
  wchar_t started[64] = {};
  const std::tm* local = std::localtime(&start);
  if (local != nullptr) std::wcsftime(started, 64, L"%b %d %Y %H:%M:%S", local);
  Line(kLevelLine, kFunction, __LINE__, L"[ENV] Current Process logged on as: %ls, Start Time: %ls, Uptime (seconds): %.f",
       parts.account.c_str(), started, std::difftime(std::time(nullptr), start));
  fixedPart(parts.machine, [&] {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Current Process id: %d", static_cast<int>(GetCurrentProcessId()));
    ReportHostAndVersion();
    parts.processorKnown = ReportProcessor();
  });
  if (parts.processorKnown) ReportSystemState();
  fixedPart(parts.components, [&] {
    ReportTcpIpProvider();
    ReportAddresses();
    ReportWinsockProviders();
    ReportXmlParser();
    ReportSqlProviders();
    ReportDataAccess();
  });
  ReportCurrentProcesses();
  if (!gathered) fixed_ = std::move(gathering);
}

void ReportEnvironment::ReportHostAndVersion() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  wchar_t host[256] = {};
  DWORD units = 256;
  if (!GetComputerNameExW(ComputerNameDnsHostname, host, &units)) wcscpy_s(host, L"Unknown");
  OSVERSIONINFOEXW version{};
  bool extended = false;
  if (!ReadOSVersion(&version, &extended)) return;
  if (extended) {
    Line(kLevelLine, kFunction, __LINE__,
         L"[ENV] Computer Host Name: %ls, OS Version: %d.%d, Build number %d, ServicePack Major %d, ServicePack "
         L"Minor %d",
         host, static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion),
         static_cast<int>(version.dwBuildNumber), static_cast<int>(version.wServicePackMajor),
         static_cast<int>(version.wServicePackMinor));
  } else {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Computer Host Name: %ls, OS Version: %d.%d, Build number %d", host,
         static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion),
         static_cast<int>(version.dwBuildNumber));
  }
}

void ReportEnvironment::ReportSystemInfo() {
  ScopedLock guard(keptLock_);
  if (ReportProcessor()) ReportSystemState();
}

bool ReportEnvironment::ReportProcessor() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportSystemInfo";
  constexpr wchar_t kCpuKey[] = L"HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";
  UniqueKey cpu = OpenForReading(HKEY_LOCAL_MACHINE, kCpuKey);
  if (cpu.get() == nullptr) {
    Line(kLevelError, kFunction, __LINE__, L"[ENV] Cannot open CPU config registry key: %ls", kCpuKey);
    return false;
  }
  std::wstring text;
  if (ReadText(cpu.get(), nullptr, L"Identifier", 100, &text)) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Processor Identifier: %ls", text.c_str());
  }
  if (ReadText(cpu.get(), nullptr, L"VendorIdentifier", 100, &text)) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Processor Vendor Identifier: %ls", text.c_str());
  }
  if (ReadText(cpu.get(), nullptr, L"ProcessorNameString", 100, &text)) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Processor Name String: %ls", StripBlanks(text).c_str());
  }
  // "~MHz" is a number (REG_DWORD) on every system that has it.
  DWORD megahertz = 0;
  DWORD bytes = sizeof(megahertz);
  if (RegGetValueW(cpu.get(), nullptr, L"~MHz", RRF_RT_REG_DWORD, nullptr, &megahertz, &bytes) == ERROR_SUCCESS) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Processor Speed: %d", static_cast<int>(megahertz));
  }
  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  Line(kLevelLine, kFunction, __LINE__, L"[ENV] Number of Processors: %d", static_cast<int>(system.dwNumberOfProcessors));
  return true;
}

void ReportEnvironment::ReportSystemState() {
  ReportSystemMemoryInfo();
  ReportDisk();
  ReportUpTime();
  ReportTimeZone();
}

void ReportEnvironment::ReportDisk() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportSystemInfo";
  using FreeSpaceEx = BOOL(WINAPI*)(LPCSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  const auto freeSpaceEx = Resolve<FreeSpaceEx>(L"kernel32.dll", "GetDiskFreeSpaceExA");
  long long total = 0;
  long long free = 0;
  if (freeSpaceEx != nullptr) {
    ULARGE_INTEGER available, totalBytes, freeBytes;
    if (!freeSpaceEx(nullptr, &available, &totalBytes, &freeBytes)) return;
    total = static_cast<long long>(totalBytes.QuadPart);
    free = static_cast<long long>(freeBytes.QuadPart);
  } else {
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, clusters = 0;
    if (!GetDiskFreeSpaceA(nullptr, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) return;
    const long long cluster = static_cast<long long>(bytesPerSector) * sectorsPerCluster;
    total = cluster * clusters;
    free = cluster * freeClusters;
  }
  Line(kLevelLine, kFunction, __LINE__, L"[ENV] Total HD bytes: %I64d, Total free bytes = %I64d", total, free);
}

void ReportEnvironment::ReportUpTime() {
  constexpr char kFunction[] = "ReportEnvironment::ReportSystemInfo";
  if (!upTimeRead_) {
    upTimeSeconds_ = GetUpTimeSecs(sink_);
    upTimeTick_ = GetTickCount64();
    upTimeRead_ = true;
  }
  // Counted on from the one query by the tick count, which runs with it.
  const int64_t seconds =
      upTimeSeconds_ > 0 ? upTimeSeconds_ + static_cast<int64_t>((GetTickCount64() - upTimeTick_) / 1000)
                         : upTimeSeconds_;
  if (seconds > 0) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] System up time: %ls", FormatUpTime(seconds).c_str());
  } else {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Could not get System up time information. [%I64d]",
         static_cast<long long>(seconds));
  }
}

void ReportEnvironment::ReportTimeZone() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportSystemInfo";
  _tzset();
  const char* daylight = _tzname[1];
  const char* standard = _tzname[0];
  const char* name = daylight != nullptr && daylight[0] != '\0' ? daylight : standard != nullptr ? standard : "";
  const std::wstring zone = NarrowToWide(std::string(name).substr(0, kPathUnits - 1));
  Line(kLevelLine, kFunction, __LINE__, L"[ENV] Local Time Zone: %ls", FormatTimeZone(zone, _timezone).c_str());
}

void ReportEnvironment::ReportMemory(LogCallback sink) {
  static constexpr char kFunction[] = "ReportEnvironment::ReportSystemMemoryInfo";
  const auto line = [sink](const wchar_t* format, auto value) {
    SendFormatted<kLineUnits>(sink, &g_record, kLevelLine, kFunction, __LINE__, format, value);
  };
  using MemoryStatusEx = BOOL(WINAPI*)(LPMEMORYSTATUSEX);
  const auto memoryStatusEx = Resolve<MemoryStatusEx>(L"kernel32.dll", "GlobalMemoryStatusEx");
  if (memoryStatusEx != nullptr) {
    MEMORYSTATUSEX status{};
    status.dwLength = sizeof(status);
    if (memoryStatusEx(&status)) {
      line(L"[ENV] %ld percent of memory in use.", static_cast<long>(status.dwMemoryLoad));
      line(L"[ENV] Total size of physical memory: %I64d KB", static_cast<long long>(status.ullTotalPhys / 1024));
      line(L"[ENV] Size of physical memory available: %I64d KB", static_cast<long long>(status.ullAvailPhys / 1024));
      line(L"[ENV] Size of the committed memory limit: %I64d KB", static_cast<long long>(status.ullTotalPageFile / 1024));
      line(L"[ENV] Size of available memory to commit: %I64d KB", static_cast<long long>(status.ullAvailPageFile / 1024));
      line(L"[ENV] Total size of the user mode portion of the virtual address space of the QAV process: %I64d KB",
           static_cast<long long>(status.ullTotalVirtual / 1024));
      line(L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space "
           L"of the QAV process: %I64d KB",
           static_cast<long long>(status.ullAvailVirtual / 1024));
    }
  } else {
    MEMORYSTATUS status{};
    status.dwLength = sizeof(status);
    GlobalMemoryStatus(&status);
    line(L"[ENV] Total size of physical memory: %7ld KB", static_cast<long>(status.dwTotalPhys / 1024));
    line(L"[ENV] Size of physical memory available: %7ld KB", static_cast<long>(status.dwAvailPhys / 1024));
    line(L"[ENV] Size of the committed memory limit: %7ld KB", static_cast<long>(status.dwTotalPageFile / 1024));
    line(L"[ENV] Size of available memory to commit: %7ld KB", static_cast<long>(status.dwAvailPageFile / 1024));
    line(L"[ENV] Total size of the user mode portion of the virtual address space of the QAV process: %7ld KB",
         static_cast<long>(status.dwTotalVirtual / 1024));
    line(L"[ENV] Size of unreserved and uncommitted memory in the user mode portion of the virtual address space of "
         L"the QAV process: %7ld KB",
         static_cast<long>(status.dwAvailVirtual / 1024));
  }
  const UniqueLibrary psapi(LoadLibraryPreservingFilter(L"Psapi.dll"));
  if (!psapi) return;
  using MemoryInfo = BOOL(WINAPI*)(HANDLE, PPROCESS_MEMORY_COUNTERS, DWORD);
  const auto memoryInfo =
      reinterpret_cast<MemoryInfo>(reinterpret_cast<void*>(GetProcAddress(psapi.get(), "GetProcessMemoryInfo")));
  if (memoryInfo == nullptr) return;
  const UniqueHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, GetCurrentProcessId()));
  PROCESS_MEMORY_COUNTERS_EX counters{};
  counters.cb = sizeof(counters);
  if (process &&
      memoryInfo(process.get(), reinterpret_cast<PPROCESS_MEMORY_COUNTERS>(&counters), sizeof(counters))) {
    line(L"[ENV] Size of private memory of the QAV process: %I64d KB",
         static_cast<long long>(counters.PrivateUsage / 1024));
  }
}

void ReportEnvironment::ReportTcpIpProvider() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  std::wstring path;
  Version version;
  if (ReadText(HKEY_LOCAL_MACHINE, L"SYSTEM\\CurrentControlSet\\Services\\Tcpip\\ServiceProvider", L"ProviderPath",
               kPathUnits, &path) &&
      version.Read(path)) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] TCP/IP provider (Winsock) File Version: %d.%d.%d.%d (%ls)",
         version.part[0], version.part[1], version.part[2], version.part[3], path.c_str());
  } else {
    Line(kLevelLine, kFunction, __LINE__,
         L"[ENV] Unable to find TCP/IP provider (Winsock) file or read its version information");
  }
}

void ReportEnvironment::ReportAddresses() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  const WinsockSession winsock;
  char host[256] = {};
  if (gethostname(host, 255) != 0) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Unable to provide HostName ");
    return;
  }
#ifdef _MSC_VER
#pragma warning(suppress : 4996)  // Winsock 1.1, IPv4 addresses only
#endif
  const hostent* entry = gethostbyname(host);
  if (entry == nullptr) {
    const int error = WSAGetLastError();
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] HOSTINFO_ERROR : %ls (%d)",
         SystemErrorText(static_cast<DWORD>(error)).c_str(), error);
    return;
  }
  if (entry->h_addrtype != AF_INET || entry->h_length != sizeof(in_addr)) return;
  for (char** address = entry->h_addr_list; *address != nullptr; ++address) {
    in_addr ipv4;
    std::memcpy(&ipv4, *address, sizeof(ipv4));
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
    const char* dotted = inet_ntoa(ipv4);
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Local machine IP Address = %ls",
         NarrowToWide(dotted != nullptr ? dotted : "").c_str());
  }
}

void ReportEnvironment::ReportWinsockProviders() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  const std::wstring parameters = L"SYSTEM\\CurrentControlSet\\Services\\Winsock2\\Parameters";
  std::wstring catalog;
  if (!ReadText(HKEY_LOCAL_MACHINE, parameters.c_str(), L"Current_NameSpace_Catalog", 256, &catalog)) return;
  const UniqueKey entries = OpenForReading(HKEY_LOCAL_MACHINE, parameters + L"\\" + catalog + L"\\Catalog_Entries");
  if (entries.get() == nullptr) return;
  for (DWORD index = 0; index < kMaxWinsockEntries; ++index) {
    wchar_t name[256] = {};
    DWORD units = 256;
    if (RegEnumKeyExW(entries.get(), index, name, &units, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    std::wstring display;
    std::wstring library;
    if (!ReadText(entries.get(), name, L"DisplayString", kPathUnits, &display) ||
        !ReadText(entries.get(), name, L"LibraryPath", kPathUnits, &library)) {
      continue;
    }
    wchar_t full[kPathUnits] = {};
    if (GetFullPath(library.c_str(), full, kPathUnits)) library = full;
    Version version;
    if (version.Read(library)) {
      Line(kLevelLine, kFunction, __LINE__, L"[ENV] Winsock2 file: %ls, Version: %d.%d.%d.%d (%ls)", display.c_str(),
           version.part[0], version.part[1], version.part[2], version.part[3], library.c_str());
    } else {
      Line(kLevelLine, kFunction, __LINE__, L"[ENV] Winsock2 file: %ls (%ls)", display.c_str(), library.c_str());
    }
  }
}

void ReportEnvironment::ReportXmlParser() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  static const struct {
    const wchar_t* key;
    const wchar_t* name;
  } kParsers[] = {
      {L"SOFTWARE\\Classes\\CLSID\\{88d96a06-f192-11d4-a65f-0040963251e5}\\InprocServer32", L"Microsoft XML Parser 6.0"},
      {L"SOFTWARE\\Classes\\CLSID\\{88d969c1-f192-11d4-a65f-0040963251e5}\\InprocServer32", L"Microsoft XML Parser 4.0"},
      {L"SOFTWARE\\Classes\\CLSID\\{f5078f33-c551-11d3-89b9-0000f81fe221}\\InprocServer32", L"Microsoft XML Parser 3.0"},
  };
  for (const auto& parser : kParsers) {
    std::wstring path;
    Version version;
    if (ReadText(HKEY_LOCAL_MACHINE, parser.key, nullptr, kPathUnits, &path) && version.Read(path)) {
      Line(kLevelLine, kFunction, __LINE__, L"[ENV] %ls: %ls, Version: %d.%d.%d.%d", parser.name, path.c_str(),
           version.part[0], version.part[1], version.part[2], version.part[3]);
      return;
    }
  }
  Line(kLevelLine, kFunction, __LINE__, L"[ENV] Unable to find Microsoft XML Parser Version information");
}

void ReportEnvironment::ReportSqlProviders() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  for (const auto& name : provider_list(sink_)) {
    if (name.find(L"SQLNCLI") != std::wstring::npos && name.find(L' ') == std::wstring::npos) {
      Line(kLevelLine, kFunction, __LINE__, L"[ENV] SQLCLI provider is available: [%ls]", name.c_str());
    } else if (_wcsicmp(name.c_str(), L"SQLOLEDB") == 0) {
      Line(kLevelLine, kFunction, __LINE__, L"[ENV] MSSQL OLEDB provider is available: [%ls]", name.c_str());
    }
  }
}

void ReportEnvironment::ReportDataAccess() const {
  constexpr char kFunction[] = "ReportEnvironment::ReportEnvironmentVersions";
  std::wstring text;
  if (ReadText(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\DataAccess", L"FullInstallVer", 256, &text)) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] MDAC version: %ls", text.c_str());
  }
  const UniqueKey ado = OpenForReading(HKEY_LOCAL_MACHINE,
                        L"SOFTWARE\\Classes\\CLSID\\{00000507-0000-0010-8000-00AA006D2EA4}\\InprocServer32");
  if (ado.get() == nullptr) return;
  Version version;
  if (ReadText(ado.get(), nullptr, nullptr, kPathUnits, &text) && version.Read(text)) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] MSADO15.DLL: %ls, Version: %d.%d.%d.%d", text.c_str(),
         version.part[0], version.part[1], version.part[2], version.part[3]);
  } else {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Unable to find MSADO15.DLL Version information");
  }
}

bool ReportEnvironment::GetServiceInfo(std::wstring* path, std::wstring* account) {
  constexpr char kFunction[] = "ReportEnvironment::GetServiceInfo";
  wchar_t module[kPathUnits] = {};
  const DWORD length = GetModuleFileNameW(nullptr, module, kPathUnits);
  if (length == 0 || length >= kPathUnits) {
    const DWORD error = length == 0 ? GetLastError() : ERROR_INSUFFICIENT_BUFFER;
    Line(kLevelWarning, kFunction, __LINE__, L"GetModuleFileNameW Error: %ls (%d)", SystemErrorText(error).c_str(),
         static_cast<int>(error));
    return false;
  }
  *path = module;
  HANDLE rawToken = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &rawToken)) {
    const DWORD error = GetLastError();
    Line(kLevelError, kFunction, __LINE__, L"OpenProcessToken Error: %ls (%d)", SystemErrorText(error).c_str(),
         static_cast<int>(error));
    return false;
  }
  const UniqueHandle token(rawToken);
  DWORD size = 0;
  GetTokenInformation(token.get(), TokenUser, nullptr, 0, &size);
  if (size == 0) {
    const DWORD error = GetLastError();
    Line(kLevelError, kFunction, __LINE__, L"GetTokenInformation Error: %ls (%d)", SystemErrorText(error).c_str(),
         static_cast<int>(error));
    return false;
  }
  std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[size]);
  if (!buffer) {
    Line(kLevelError, kFunction, __LINE__, L"Cannot allocate buffer for token information");
    return false;
  }
  if (!GetTokenInformation(token.get(), TokenUser, buffer.get(), size, &size)) {
    const DWORD error = GetLastError();
    Line(kLevelError, kFunction, __LINE__, L"GetTokenInformation Error: %ls (%d)", SystemErrorText(error).c_str(),
         static_cast<int>(error));
    return false;
  }
  wchar_t name[1024] = {};
  wchar_t domain[1024] = {};
  DWORD nameUnits = 1024;
  DWORD domainUnits = 1024;
  SID_NAME_USE use;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(buffer.get());
  if (!LookupAccountSidW(nullptr, user->User.Sid, name, &nameUnits, domain, &domainUnits, &use)) {
    const DWORD error = GetLastError();
    Line(kLevelError, kFunction, __LINE__, L"LookupAccountSid Error: %ls (%d)", SystemErrorText(error).c_str(),
         static_cast<int>(error));
    return false;
  }
  *account = std::wstring(domain) + L"\\" + name;
  return true;
}

int64_t ReportEnvironment::GetUpTimeSecs(LogCallback sink) {
  constexpr char kFunction[] = "ReportEnvironment::GetUpTimeSecs";
  const PerformanceDataKey closeWhenDone;
  std::vector<BYTE> data;
  if (QueryPerformanceData(L"2", 8192, 1024, &data) != ERROR_SUCCESS) {
    SendFormatted<kLineUnits>(sink, &g_record, kLevelLine, kFunction, __LINE__,
                              L"[ENV] Error occurred while collecting performance data from the registry for System "
                              L"uptime");
    return -1;
  }
  const perf_data::UpTime upTime = perf_data::ReadUpTime(data.data(), data.size());
  if (upTime.status == perf_data::UpTime::Status::kBadHeader) {
    SendFormatted<kLineUnits>(sink, &g_record, kLevelLine, kFunction, __LINE__,
                              L"[ENV] Error occurred while collecting performance data from the registry for System "
                              L"uptime (HeaderLength = %d, TotalByteLength = %d)",
                              static_cast<int>(upTime.headerLength), static_cast<int>(upTime.totalByteLength));
  }
  return upTime.seconds;
}

int64_t ReportEnvironment::GetBootTime() {
  const int64_t upTime = GetUpTimeSecs(sink_);
  return upTime > 0 ? static_cast<int64_t>(std::time(nullptr)) - upTime : 0;
}

void ReportEnvironment::ReportCurrentProcesses() {
  constexpr char kFunction[] = "ReportEnvironment::ReportCurrentProcesses";
  using Snapshot = HANDLE(WINAPI*)(DWORD, DWORD);
  using Walk = BOOL(WINAPI*)(HANDLE, LPPROCESSENTRY32W);
  const auto snapshot = Resolve<Snapshot>(L"kernel32.dll", "CreateToolhelp32Snapshot");
  const auto first = Resolve<Walk>(L"kernel32.dll", "Process32FirstW");
  const auto next = Resolve<Walk>(L"kernel32.dll", "Process32NextW");
  if (snapshot == nullptr || first == nullptr || next == nullptr) {
    ReportCurrentProcessesNT();
    return;
  }
  // Processes only: the threads, heaps and modules of a full snapshot are not
  // walked, and would double its cost.
  const UniqueHandle processes(snapshot(TH32CS_SNAPPROCESS, 0));
  if (!processes) return;
  try {
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    for (BOOL more = first(processes.get(), &entry); more; more = next(processes.get(), &entry)) {
      if (entry.th32ProcessID == 0) continue;
      Line(kLevelLine, kFunction, __LINE__, L"[ENV] Running Process: %ls, ID: %u", entry.szExeFile,
           static_cast<unsigned>(entry.th32ProcessID));
    }
  } catch (const StructuredException& fault) {
    Line(kLevelError, kFunction, __LINE__, L"Failed to enumerate processes. Exception code : 0x%X",
         static_cast<unsigned>(fault.GetCode()));
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    Line(kLevelError, kFunction, __LINE__, L"Failed to enumerate processes. An unknown exception occurred.");
  }
}

void ReportEnvironment::ReportCurrentProcessesNT() {
  constexpr char kFunction[] = "ReportEnvironment::ReportCurrentProcessesNT";
  wchar_t keyPath[kPathUnits] = {};
  std::swprintf(keyPath, kPathUnits, L"%ls\\%03x", L"software\\microsoft\\windows nt\\currentversion\\perflib", 9);
  const UniqueKey perflib = OpenForReading(HKEY_LOCAL_MACHINE, keyPath);
  if (perflib.get() == nullptr) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Could not open performance registry key!");
    return;
  }
  DWORD bytes = 0;
  if (RegQueryValueExW(perflib.get(), L"Counters", nullptr, nullptr, nullptr, &bytes) != ERROR_SUCCESS) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Could not open counter registry key!");
    return;
  }
  std::vector<wchar_t> counters;
  try {
    counters.assign(bytes / sizeof(wchar_t) + 1, L'\0');
  } catch (const std::bad_alloc&) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Out of Memory!");
    return;
  }
  if (RegQueryValueExW(perflib.get(), L"Counters", nullptr, nullptr, reinterpret_cast<BYTE*>(counters.data()),
                       &bytes) != ERROR_SUCCESS) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Could Not Read the counter Names!");
    return;
  }
  std::wstring processIndex;
  uint32_t idProcessIndex = 0;
  perf_data::FindProcessCounterIndexes(counters.data(), bytes / sizeof(wchar_t), &processIndex, &idProcessIndex);
  const PerformanceDataKey closeWhenDone;
  std::vector<BYTE> data;
  const LONG result = QueryPerformanceData(processIndex.c_str(), 51200, 25600, &data);
  if (result == ERROR_OUTOFMEMORY) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Could Not Allocate Performance Data!");
    return;
  }
  std::vector<perf_data::Process> processes;
  if (result != ERROR_SUCCESS || data.empty() ||
      !perf_data::ReadProcesses(data.data(), data.size(), idProcessIndex, &processes)) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Could Not Obtain Performance Data!");
    return;
  }
  for (const auto& process : processes) {
    Line(kLevelLine, kFunction, __LINE__, L"[ENV] Running Process: %ls, ID: %u", process.name.c_str(),
         static_cast<unsigned>(process.id));
  }
}

bool ReportEnvironment::GetServiceFileVersion(const wchar_t* service, std::wstring* path, uint32_t version[4]) {
  if (service == nullptr || path == nullptr || version == nullptr) return false;
  const UniqueServiceHandle manager(OpenSCManagerW(nullptr, L"ServicesActive", SC_MANAGER_CONNECT));
  if (!manager) return false;
  const UniqueServiceHandle handle(OpenServiceW(manager.get(), service, SERVICE_QUERY_CONFIG));
  if (!handle) return false;
  DWORD bytes = 0;
  QueryServiceConfigW(handle.get(), nullptr, 0, &bytes);
  if (bytes == 0) return false;
  std::vector<BYTE> buffer(bytes);
  auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
  if (!QueryServiceConfigW(handle.get(), config, bytes, &bytes) || config->lpBinaryPathName == nullptr) return false;
  std::wstring executable = config->lpBinaryPathName;
  if (!executable.empty() && executable[0] == L'"') executable.erase(0, 1);
  const size_t extension = executable.find(L".exe");
  if (extension != std::wstring::npos) executable.resize(extension + 4);
  if (!GetFileVersion(executable.c_str(), &version[0], &version[1], &version[2], &version[3])) return false;
  *path = executable;
  return true;
}
