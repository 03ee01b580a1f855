#include "support/environment/os_version.h"

#include <cwchar>

namespace {

// Names of the versions after 2003, read from the true version numbers.
const wchar_t* LaterVersionName(const OSVERSIONINFOEXW& version, bool server) {
  const DWORD major = version.dwMajorVersion;
  const DWORD minor = version.dwMinorVersion;
  const DWORD build = version.dwBuildNumber;
  if (major == 6 && minor == 0) return server ? L"Windows Server 2008" : L"Windows Vista";
  if (major == 6 && minor == 1) return server ? L"Windows Server 2008 R2" : L"Windows 7";
  if (major == 6 && minor == 2) return server ? L"Windows Server 2012" : L"Windows 8";
  if (major == 6 && minor == 3) return server ? L"Windows Server 2012 R2" : L"Windows 8.1";
  if (major == 10 && minor == 0) {
    if (!server) return build >= 22000 ? L"Windows 11" : L"Windows 10";
    if (build >= 26100) return L"Windows Server 2025";
    if (build >= 20348) return L"Windows Server 2022";
    if (build >= 17763) return L"Windows Server 2019";
    return L"Windows Server 2016";
  }
  return L"Unknown";
}

const wchar_t* BaseName(const OSVERSIONINFOEXW& version, bool server) {
  const DWORD major = version.dwMajorVersion;
  const DWORD minor = version.dwMinorVersion;
  if (major == 4 && minor == 0) return L"Windows NT 4.0";
  if (major == 5 && minor == 0) return L"Microsoft\u00AE Windows\u00AE 2000";
  if (major == 5 && minor == 1) return L"Windows XP";
  if (major == 5 && minor == 2) return L"Microsoft\u00AE Windows\u00AE 2003";
  if (major >= 6) return LaterVersionName(version, server);
  return L"Unknown";
}

// The smallest digit 1 to 9 that occurs in the service-pack text, 0 when none.
int ServicePackDigit(const wchar_t* text) {
  for (wchar_t digit = L'1'; digit <= L'9'; ++digit) {
    if (std::wcschr(text, digit) != nullptr) return digit - L'0';
  }
  return 0;
}

void AppendEditionWords(const OSVERSIONINFOEXW& version, std::wstring& name) {
  const DWORD major = version.dwMajorVersion;
  const DWORD minor = version.dwMinorVersion;
  const WORD suite = version.wSuiteMask;
  if (version.wProductType == VER_NT_WORKSTATION) {
    if (major == 5 && minor == 1) name += (suite & VER_SUITE_PERSONAL) != 0 ? L" Home Edition" : L" Professional";
    if (major == 5 && minor == 0) name += L" Professional";
    if (major == 4) name += L" Workstation";
    return;
  }
  if (major == 5) {
    if ((suite & VER_SUITE_ENTERPRISE) != 0) name += L" Advanced";
    if ((suite & VER_SUITE_DATACENTER) != 0) name += L" DataCenter";
    if ((suite & VER_SUITE_TERMINAL) != 0) name += L" Terminal";
    if ((suite & VER_SUITE_BACKOFFICE) != 0) name += L" BackOffice";
    name += L" Server";
  }
  if (major == 4 && minor == 0) name += L" Server";
  if (version.wProductType == VER_NT_DOMAIN_CONTROLLER) name += L" Domain Controller";
}

// The version as the system itself knows it: RtlGetVersion does not depend
// on the caller's manifest, which GetVersionEx answers with 6.2 on later
// systems.
bool ReadTrueVersion(OSVERSIONINFOEXW* version) {
  using RtlGetVersionFunction = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto rtlGetVersion = reinterpret_cast<RtlGetVersionFunction>(
      reinterpret_cast<void*>(ntdll != nullptr ? GetProcAddress(ntdll, "RtlGetVersion") : nullptr));
  *version = OSVERSIONINFOEXW{};
  version->dwOSVersionInfoSize = sizeof(*version);
  return rtlGetVersion != nullptr && rtlGetVersion(version) == 0;
}

bool ReadReportedVersion(OSVERSIONINFOEXW* version, DWORD recordSize) {
  *version = OSVERSIONINFOEXW{};
  version->dwOSVersionInfoSize = recordSize;
#ifdef _MSC_VER
#pragma warning(suppress : 4996)  // deprecated; only the fallback where ntdll gives nothing
#endif
  return GetVersionExW(reinterpret_cast<OSVERSIONINFOW*>(version)) != FALSE;
}

}  // namespace

std::wstring ComposeOSVersionName(const OSVERSIONINFOEXW& version, bool extended) {
  const bool server = extended && version.wProductType != VER_NT_WORKSTATION;
  std::wstring name = BaseName(version, server);
  const int servicePack = ServicePackDigit(version.szCSDVersion);
  if (extended && (version.dwMajorVersion >= 5 || servicePack >= 6)) AppendEditionWords(version, name);
  if (servicePack != 0) name += std::wstring(L" ") + version.szCSDVersion;
  name += sizeof(void*) == 8 ? L" x64" : L" x86";
  return name;
}

bool ReadOSVersion(OSVERSIONINFOEXW* version, bool* extended) {
  *extended = ReadTrueVersion(version) || ReadReportedVersion(version, sizeof(OSVERSIONINFOEXW));
  return *extended || ReadReportedVersion(version, sizeof(OSVERSIONINFOW));
}

std::wstring GetOSVersionName() {
  OSVERSIONINFOEXW version;
  bool extended = false;
  if (!ReadOSVersion(&version, &extended)) return std::wstring();
  return ComposeOSVersionName(version, extended);
}
