#include "support/logging/event_log_output.h"

#include "support/registry/registry.h"

namespace {

constexpr size_t kKeyPathChars = 259;
constexpr DWORD kModulePathChars = 258;

bool TypeAndDefaultId(int32_t level, WORD* type, uint32_t* id) {
  switch (level) {
    case 0:
    case 1:
      *type = EVENTLOG_ERROR_TYPE;
      *id = kEventIdError;
      return true;
    case 2:
      *type = EVENTLOG_WARNING_TYPE;
      *id = kEventIdWarning;
      return true;
    case 3:
      *type = EVENTLOG_INFORMATION_TYPE;
      *id = kEventIdInformation;
      return true;
    case 5:
      *type = EVENTLOG_INFORMATION_TYPE;
      *id = kEventIdAlways;
      return true;
    default:
      return false;
  }
}

bool IsNtPlatform() {
  OSVERSIONINFOW version = {};
  version.dwOSVersionInfoSize = sizeof version;
  // Deprecated for version checks; here only the platform family is asked.
#ifdef _MSC_VER
#pragma warning(suppress : 4996)
#endif
  const BOOL known = GetVersionExW(&version);
  return known && version.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

}  // namespace

void EventLogOutput::WriteEventSourceKeys(const std::wstring& sourceName, const std::wstring& messageModule) {
  const std::wstring path =
      (L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + sourceName).substr(0, kKeyPathChars);
  Registry key(HKEY_LOCAL_MACHINE, path.c_str(), false);
  if (!key.Create()) return;
  HMODULE module = messageModule.empty() ? GetModuleHandleW(nullptr) : GetModuleHandleW(messageModule.c_str());
  wchar_t modulePath[kModulePathChars + 1] = {};
  if (module != nullptr && GetModuleFileNameW(module, modulePath, kModulePathChars) != 0) {
    key.SetDWORD(L"TypesSupported", 7);
    key.SetString(L"EventMessageFile", modulePath);
  }
  key.Close();
}

void EventLogOutput::Open(const std::wstring& sourceName, const std::wstring& messageModule) {
  if (handle_ != nullptr || sourceName.empty() || !IsNtPlatform()) return;
  WriteEventSourceKeys(sourceName, messageModule);
  handle_ = RegisterEventSourceW(nullptr, sourceName.c_str());
}

void EventLogOutput::Close() {
  if (handle_ == nullptr) return;
  DeregisterEventSource(handle_);
  handle_ = nullptr;
}

void EventLogOutput::Report(int32_t level, const wchar_t* text, uint32_t eventId) {
  WORD type = 0;
  uint32_t id = 0;
  if (handle_ == nullptr || !TypeAndDefaultId(level, &type, &id)) return;
  if (eventId != 0) id = eventId;
  const wchar_t* strings[] = {text};
  ReportEventW(handle_, type, 0, id, nullptr, 1, 0, strings, nullptr);
}
