#include "registration/old_counters.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include <windows.h>

#include "registration/com_registration.h"
#include "registration/existing_file.h"
#include "registration/wmi_classes.h"
#include "support/fs/code_page.h"
#include "support/fs/system_error.h"
#include "support/registry/registry.h"

namespace {

constexpr int32_t kErrorLevel = 1;
constexpr int32_t kProgressLevel = 4;
constexpr char kUserDataKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Installer\\UserData";
constexpr wchar_t kSharedDllsKey[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\SharedDLLs";
constexpr size_t kPathUnits = 260;

// What one superseded provider left behind; the procedure is the same for
// every one of them.
struct OldProvider {
  const char* function;
  // The DLL's file name as Installer components record it.
  const char* dllName;
  const char* performanceKeys[3];
  CLSID classId;
  const wchar_t* componentMessage;
  const wchar_t* unregisteredMessage;
  // Tried in order until one deletion succeeds; environment variables are
  // expanded.
  std::vector<const wchar_t*> fallbackPaths;
  bool hasSharedDllEntries;
  std::vector<const wchar_t*> wmiClasses;
};

const OldProvider kOldRouter = {
    "zel_wmi::RemoveOldRouterCounters",
    "FernwickRouterPerf.dll",
    {"SYSTEM\\ControlSet001\\Services\\Fernwick Router\\Performance",
     "SYSTEM\\ControlSet002\\Services\\Fernwick Router\\Performance",
     "SYSTEM\\CurrentControlSet\\Services\\Fernwick Router\\Performance"},
    {0x9a2bbbf9, 0xa024, 0x4699, {0xa0, 0xc4, 0x94, 0x0d, 0x16, 0x5e, 0xdb, 0x3a}},
    L"Delete FernwickRouterPerf.dll from [%ls]",
    L"Removed COM registration of FernwickRouterPerf.dll",
    {L"C:\\Program Files\\Halvorin\\QAV\\Router\\FernwickRouterPerf.dll"},
    false,
    {},
};

const OldProvider kOldAgent = {
    "zel_wmi::RemoveOldAgentCounters",
    "QAVPerfInfo.dll",
    {"SYSTEM\\ControlSet001\\Services\\Fernwick Server\\Performance",
     "SYSTEM\\ControlSet002\\Services\\Fernwick Server\\Performance",
     "SYSTEM\\CurrentControlSet\\Services\\Fernwick Server\\Performance"},
    {0xc6dd8e94, 0x1d5b, 0x4952, {0xa8, 0xb2, 0x0e, 0x66, 0x41, 0x56, 0x2d, 0x80}},
    L"Delete QAVPerfInfo.dll from [%ls]",
    L"Removed COM registration of QAVPerfInfo.dll",
    {L"%windir%\\system32\\QAVPerfInfo.dll", L"C:\\Windows\\system32\\QAVPerfInfo.dll"},
    true,
    {L"Win32_PerfFormattedData_FernwickServer_WMIObjects", L"Win32_PerfRawData_FernwickServer_WMIObjects"},
};

// True when `path` names the DLL itself: the whole text or its last path
// component, never a longer file name that merely contains it.
bool NamesDll(const std::wstring& path, const char* dllName) {
  const std::wstring name = NarrowToWide(dllName);
  if (path.size() < name.size() || path.compare(path.size() - name.size(), name.size(), name) != 0) return false;
  return path.size() == name.size() || path[path.size() - name.size() - 1] == L'\\';
}

// Searches the first user's Installer components for a value naming the
// DLL, deletes that component and answers the file path it recorded (empty
// when none was deleted). The path is read as UTF-16: a narrow read could
// turn it into a look-alike path of some other file.
std::wstring RemoveInstallerComponent(const OldProvider& provider, LogCallback callback) {
  Registry userData(HKEY_LOCAL_MACHINE, kUserDataKey, false);
  uint64_t users = 0;
  if (!userData.Open() || !userData.GetSubKeyCount(&users) || users == 0) return std::wstring();
  char firstUserPath[kPathUnits] = {};
  char firstUser[kPathUnits] = {};
  if (!userData.EnumKey(0, firstUserPath, sizeof(firstUserPath), firstUser, sizeof(firstUser))) return std::wstring();
  char componentsPath[kPathUnits] = {};
  const int length = std::snprintf(componentsPath, sizeof(componentsPath), "%s\\%s\\Components", kUserDataKey, firstUser);
  if (length < 0 || static_cast<size_t>(length) >= sizeof(componentsPath)) return std::wstring();

  Registry components(HKEY_LOCAL_MACHINE, componentsPath, false);
  uint64_t componentCount = 0;
  if (!components.Open() || !components.GetSubKeyCount(&componentCount)) return std::wstring();
  for (DWORD index = 0; index < componentCount; ++index) {
    char componentPath[2 * kPathUnits] = {};
    if (!components.EnumKey(index, componentPath, sizeof(componentPath))) continue;
    Registry component(HKEY_LOCAL_MACHINE, componentPath, false);
    uint64_t valueCount = 0;
    if (!component.Open() || !component.GetValueCount(&valueCount)) continue;
    for (DWORD value = 0; value < valueCount; ++value) {
      wchar_t name[kPathUnits + 1] = {};
      // Zero-filled: the read terminates the data with one byte only.
      wchar_t data[kPathUnits + 1] = {};
      DWORD type = 0;
      DWORD dataSize = kPathUnits * sizeof(wchar_t);
      if (!component.Open() ||
          !component.EnumValue(value, name, kPathUnits + 1, &type, reinterpret_cast<BYTE*>(data), &dataSize)) {
        continue;
      }
      if (type != REG_SZ || !NamesDll(data, provider.dllName)) continue;
      component.Close();
      Registry deletion(HKEY_LOCAL_MACHINE, componentPath, false);
      if (!deletion.DeleteKey()) continue;
      LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr, provider.componentMessage,
                   NarrowToWide(componentPath).c_str());
      data[kPathUnits - 1] = L'\0';
      return data;
    }
  }
  return std::wstring();
}

bool KeyExists(const char* path) {
  Registry key(HKEY_LOCAL_MACHINE, path, false);
  return key.Open();
}

void RemovePerformanceKeys(const OldProvider& provider, LogCallback callback) {
  for (const char* path : provider.performanceKeys) {
    // The registry class counts a missing key as deleted; only a key that
    // was there is reported.
    if (!KeyExists(path)) continue;
    Registry key(HKEY_LOCAL_MACHINE, path, false);
    if (key.DeleteKey()) {
      LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr, L"%ls\n",
                   NarrowToWide(path).c_str());
    } else if (key.GetErrorCode() == Registry::kLinkRootError) {
      LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr, zel_wmi::kLinkLeftMessage,
                   NarrowToWide(path).c_str());
    } else {
      // The deletion stopped at a key it may not open or delete; what it
      // left stays, and says so.
      const DWORD error = static_cast<DWORD>(key.GetErrorCode());
      LogFormatted(callback, kErrorLevel, provider.function, __LINE__, nullptr, L"Cannot delete %ls: %d - %ls",
                   NarrowToWide(path).c_str(), static_cast<int>(error), SystemErrorText(error).c_str());
    }
  }
}

std::wstring Expanded(const wchar_t* path) {
  wchar_t expanded[kPathUnits] = {};
  const DWORD length = ExpandEnvironmentStringsW(path, expanded, kPathUnits);
  if (length == 0 || length > kPathUnits) return path;
  return expanded;
}

// Every path the superseded DLL is known to live at.
std::vector<std::wstring> DllPaths(const OldProvider& provider, const std::wstring& installedPath) {
  std::vector<std::wstring> paths;
  if (!installedPath.empty()) paths.push_back(installedPath);
  for (const wchar_t* path : provider.fallbackPaths) paths.push_back(Expanded(path));
  return paths;
}

// Drops the reference counts the system keeps for the DLL's own paths;
// entries of every other file stay.
void RemoveSharedDllEntries(const OldProvider& provider, const std::wstring& installedPath, LogCallback callback) {
  Registry sharedDlls(HKEY_LOCAL_MACHINE, kSharedDllsKey, false);
  uint64_t valueCount = 0;
  if (!sharedDlls.Open(true) || !sharedDlls.GetValueCount(&valueCount)) return;
  const std::vector<std::wstring> dllPaths = DllPaths(provider, installedPath);
  std::vector<std::wstring> owned;
  for (DWORD index = 0; index < valueCount; ++index) {
    wchar_t name[2 * kPathUnits] = {};
    if (!sharedDlls.EnumValueName(index, name, 2 * kPathUnits)) continue;
    for (const auto& path : dllPaths) {
      if (_wcsicmp(name, path.c_str()) == 0) {
        owned.push_back(name);
        break;
      }
    }
  }
  for (const auto& name : owned) {
    if (sharedDlls.DeleteValue(name.c_str())) {
      LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr, L"Removed shared DLL entry [%ls]",
                   name.c_str());
    }
  }
}

void DeleteDllFile(const OldProvider& provider, const std::wstring& installedPath, LogCallback callback) {
  if (!installedPath.empty() && zel_wmi::IsExistingFile(installedPath.c_str())) {
    DeleteFileW(installedPath.c_str());
    return;
  }
  std::vector<std::wstring> tried;
  DWORD error = 0;
  for (const wchar_t* path : provider.fallbackPaths) {
    tried.push_back(Expanded(path));
    if (DeleteFileW(tried.back().c_str())) return;
    error = GetLastError();
  }
  for (size_t index = 0; index + 1 < tried.size(); ++index) {
    LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr, L"Cannot delete: %ls",
                 tried[index].c_str());
  }
  LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr, L"Cannot delete: %ls, %d: %ls",
               tried.back().c_str(), static_cast<int>(error), SystemErrorText(error).c_str());
}

bool RemoveOldCounters(const OldProvider& provider, LogCallback callback) {
  const std::wstring installedPath = RemoveInstallerComponent(provider, callback);
  RemovePerformanceKeys(provider, callback);
  if (provider.hasSharedDllEntries) RemoveSharedDllEntries(provider, installedPath, callback);
  // Files are deleted only for a product whose registration was there: on
  // a machine that never had it, nothing is touched.
  const bool registered = zel_wmi::IsRegisteredCOM(provider.classId);
  if (zel_wmi::UnregisterCOM(provider.classId, callback) && registered) {
    LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr, provider.unregisteredMessage);
    DeleteDllFile(provider, installedPath, callback);
  } else if (!installedPath.empty() && zel_wmi::IsExistingFile(installedPath.c_str())) {
    // Without a registration removed (none there, or one that could not
    // be) nothing shows the file is still that product's DLL, so it stays;
    // the message keeps its path, which no record holds any more.
    LogFormatted(callback, kProgressLevel, provider.function, __LINE__, nullptr,
                 L"Left in place, no registration removed: %ls", installedPath.c_str());
  }
  for (const wchar_t* className : provider.wmiClasses) zel_wmi::RemoveClassFromWBEM(className, callback);
  return true;
}

}  // namespace

namespace zel_wmi {

bool RemoveOldRouterCounters(LogCallback callback) { return RemoveOldCounters(kOldRouter, callback); }

bool RemoveOldAgentCounters(LogCallback callback) { return RemoveOldCounters(kOldAgent, callback); }

}  // namespace zel_wmi
