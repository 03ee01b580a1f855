#include "provider_log/event_source.h"

#include <cwchar>
#include <string>

#include "provider_log/provider_log.h"
#include "support/fs/code_page.h"
#include "support/fs/system_error.h"
#include "support/registry/registry.h"

namespace {

constexpr int32_t kErrorLevel = 1;
constexpr int32_t kWarningLevel = 2;
constexpr char kStartFunction[] = "StartLogging";
constexpr char kInstallFunction[] = "InstallEventSource";
constexpr wchar_t kApplicationLogKey[] = L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\";
constexpr size_t kKeyPathUnits = 260;
constexpr size_t kModulePathUnits = 260;
constexpr DWORD kAllEventTypes = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;

bool IsEmpty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }

// Copies at most `units` - 1 characters and terminates.
void CopyName(wchar_t* target, const wchar_t* source, size_t units) {
  wcsncpy(target, source, units - 1);
  target[units - 1] = L'\0';
}

// The source's key, or empty when the name would not name exactly one key
// below the Application log: an empty name would address the log's own key,
// a backslash a key of some other source, and a cut name another source.
// The registry class hands key paths to the platform in the ANSI code page,
// so a name without an exact form there (a look-alike of a backslash, a
// script the code page lacks) would land on some other source's key.
std::wstring SourceKeyPath(const wchar_t* sourceName) {
  if (IsEmpty(sourceName) || std::wcschr(sourceName, L'\\') != nullptr) return std::wstring();
  std::string narrowName;
  if (!WideToNarrowExact(sourceName, &narrowName)) return std::wstring();
  std::wstring path = std::wstring(kApplicationLogKey) + sourceName;
  if (path.size() >= kKeyPathUnits) return std::wstring();
  return path;
}

}  // namespace

bool InstallEventSource(const wchar_t* sourceName, LogCallback callback) {
  const HMODULE module = GetModuleHandleW(L"");
  const DWORD moduleError = GetLastError();
  const std::wstring keyPath = SourceKeyPath(sourceName);
  if (keyPath.empty()) {
    LogFormatted(callback, kErrorLevel, kInstallFunction, __LINE__, nullptr, L"Invalid event source name: [%ls]",
                 sourceName != nullptr ? sourceName : L"");
    return false;
  }
  Registry key(HKEY_LOCAL_MACHINE, keyPath.c_str(), false);
  if (!key.Create()) {
    const DWORD error = static_cast<DWORD>(key.GetErrorCode());
    LogFormatted(callback, kErrorLevel, kInstallFunction, __LINE__, nullptr,
                 L"Could not create registry record: %ls - %d - %ls", keyPath.c_str(), static_cast<int>(error),
                 SystemErrorText(error).c_str());
    return false;
  }
  if (module == nullptr) {
    LogFormatted(callback, kWarningLevel, kInstallFunction, __LINE__, nullptr,
                 L"Could get module handle for: %ls - %d - %ls", L"", static_cast<int>(moduleError),
                 SystemErrorText(moduleError).c_str());
  }
  wchar_t messageFile[kModulePathUnits] = {};
  const DWORD length = GetModuleFileNameW(module, messageFile, kModulePathUnits - 1);
  // A full buffer means the name was cut: a cut path names no message file.
  if (length == 0 || length >= kModulePathUnits - 1) {
    const DWORD error = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    LogFormatted(callback, kErrorLevel, kInstallFunction, __LINE__, nullptr,
                 L"Could get module handle for: %ls - %d - %ls", messageFile, static_cast<int>(error),
                 SystemErrorText(error).c_str());
    return false;
  }
  key.SetDWORD(L"TypesSupported", kAllEventTypes);
  return key.SetString(L"EventMessageFile", messageFile);
}

int StartLogging(const wchar_t* logName, int level, const wchar_t* sourceName, LogSettings* settings) {
  if (settings == nullptr || IsEmpty(sourceName)) return -1;
  *settings = LogSettings{};
  CopyName(settings->sourceName, sourceName, kLogSettingsNameUnits);
  // Every platform a 64-bit module runs on is of the NT family, which has
  // event sources.
  InstallEventSource(sourceName, WriteProviderLog);
  settings->eventSource = RegisterEventSourceW(nullptr, sourceName);
  if (settings->eventSource == nullptr) {
    const DWORD error = GetLastError();
    LogFormatted(WriteProviderLog, kErrorLevel, kStartFunction, __LINE__, nullptr,
                 L"Could register event for: %ls - %d - %ls", sourceName, static_cast<int>(error),
                 SystemErrorText(error).c_str());
  }
  if (IsEmpty(logName)) return -1;
  settings->level = (level >= -1 && level <= 17) ? level : 3;
  CopyName(settings->logName, logName, kLogSettingsNameUnits);
  return 0;
}
