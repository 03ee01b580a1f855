#include "registration/com_registration.h"

#include <cwchar>
#include <string>

#include <objbase.h>

#include "registration/existing_file.h"
#include "support/fs/system_error.h"
#include "support/registry/registry.h"

namespace {

constexpr int32_t kErrorLevel = 1;
constexpr int32_t kProgressLevel = 4;
constexpr char kRegisterFunction[] = "zel_wmi::RegisterCOM";
constexpr char kUnregisterFunction[] = "zel_wmi::UnregisterCOM";
constexpr DWORD kModulePathUnits = 260;
constexpr int kGuidTextUnits = 128;
// The class key format keeps the double backslash of its origin; the
// platform folds it, so the key is the one COM activation looks up.
constexpr wchar_t kClassKeyFormat[] = L"Software\\Classes\\CLSID\\\\%ls";

bool IsEmpty(const wchar_t* text) { return text == nullptr || *text == L'\0'; }
const wchar_t* OrEmpty(const wchar_t* text) { return text ? text : L""; }

std::wstring GuidText(const CLSID& clsid) {
  wchar_t text[kGuidTextUnits] = {};
  if (StringFromGUID2(clsid, text, kGuidTextUnits - 1) == 0) return std::wstring();
  return text;
}

// The class key path, or empty (after logging) when the identifier has no
// text form.
std::wstring ClassKeyPath(const CLSID& clsid, LogCallback callback, const char* function) {
  const std::wstring guid = GuidText(clsid);
  if (guid.empty()) {
    LogFormatted(callback, kErrorLevel, function, __LINE__, nullptr, L"Wrong guid: %ls", guid.c_str());
    return std::wstring();
  }
  wchar_t path[1024] = {};
  swprintf(path, 1024, kClassKeyFormat, guid.c_str());
  return path;
}

// Creates one subkey of the class key and sets its default value; a subkey
// that cannot be created is skipped.
void WriteSubKey(const std::wstring& classKey, const wchar_t* name, const wchar_t* defaultValue,
                 const wchar_t* threadingModel = nullptr) {
  Registry subKey(HKEY_LOCAL_MACHINE, (classKey + L"\\" + name).c_str(), false);
  if (!subKey.Create()) return;
  if (defaultValue != nullptr) subKey.SetString(L"", defaultValue);
  if (threadingModel != nullptr) subKey.SetString(L"ThreadingModel", threadingModel);
}

}  // namespace

namespace zel_wmi {

bool RegisterCOM(const CLSID& clsid, HMODULE moduleHandle, const wchar_t* friendlyName, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback) {
  if (moduleHandle == nullptr) {
    LogFormatted(callback, kErrorLevel, kRegisterFunction, __LINE__, nullptr, L"Instance handler should not be 0");
    return false;
  }
  wchar_t filePath[kModulePathUnits] = {};
  const DWORD length = GetModuleFileNameW(moduleHandle, filePath, kModulePathUnits);
  // A full buffer means the name was cut; registering a cut path would point
  // COM at the wrong file.
  if (length == 0 || length >= kModulePathUnits) {
    const DWORD error = length == 0 ? GetLastError() : static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER);
    LogFormatted(callback, kErrorLevel, kRegisterFunction, __LINE__, nullptr,
                 L"Cannot get filename from handler: %lld with error: %ls - %d",
                 static_cast<long long>(reinterpret_cast<intptr_t>(moduleHandle)), SystemErrorText(error).c_str(),
                 static_cast<int>(error));
    return false;
  }
  return RegisterCOM(clsid, filePath, friendlyName, progId, versionIndependentProgId, callback);
}

bool RegisterCOM(const CLSID& clsid, const wchar_t* filePath, const wchar_t* friendlyName, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback) {
  if (IsEmpty(friendlyName)) {
    LogFormatted(callback, kErrorLevel, kRegisterFunction, __LINE__, nullptr, L"COM object name is empty for %ls",
                 OrEmpty(filePath));
    return false;
  }
  if (IsEmpty(progId)) {
    LogFormatted(callback, kErrorLevel, kRegisterFunction, __LINE__, nullptr,
                 L"Prog ID of COM object name is empty for %ls", OrEmpty(filePath));
    return false;
  }
  if (IsEmpty(filePath)) {
    LogFormatted(callback, kErrorLevel, kRegisterFunction, __LINE__, nullptr, L"File path is empty");
    return false;
  }
  if (!IsExistingFile(filePath)) {
    LogFormatted(callback, kErrorLevel, kRegisterFunction, __LINE__, nullptr, L"Cannot find: %ls", filePath);
    return false;
  }
  const std::wstring classKey = ClassKeyPath(clsid, callback, kRegisterFunction);
  if (classKey.empty()) return false;

  // An existing registration is never rewritten.
  Registry existing(HKEY_LOCAL_MACHINE, classKey.c_str(), false);
  if (existing.Open()) return true;

  Registry classRegistry(HKEY_LOCAL_MACHINE, classKey.c_str(), false);
  if (!classRegistry.Create()) {
    const DWORD error = static_cast<DWORD>(classRegistry.GetErrorCode());
    LogFormatted(callback, kErrorLevel, kRegisterFunction, __LINE__, nullptr,
                 L"Cannot create registry path: %ls for {%ls} with error: %ls - %d", classKey.c_str(), filePath,
                 SystemErrorText(error).c_str(), static_cast<int>(error));
    return false;
  }
  classRegistry.SetString(L"", friendlyName);
  classRegistry.Close();

  WriteSubKey(classKey, L"InprocServer32", filePath, L"Both");
  WriteSubKey(classKey, L"NotInsertable", nullptr);
  WriteSubKey(classKey, L"ProgID", progId);
  if (!IsEmpty(versionIndependentProgId)) WriteSubKey(classKey, L"VersionIndependentProgID", versionIndependentProgId);
  return true;
}

bool UnregisterCOM(const CLSID& clsid, LogCallback callback) {
  const std::wstring classKey = ClassKeyPath(clsid, callback, kUnregisterFunction);
  if (classKey.empty()) return false;
  Registry classRegistry(HKEY_LOCAL_MACHINE, classKey.c_str(), false);
  if (classRegistry.DeleteKey()) return true;
  if (classRegistry.GetErrorCode() == Registry::kLinkRootError) {
    LogFormatted(callback, kProgressLevel, kUnregisterFunction, __LINE__, nullptr, kLinkLeftMessage, classKey.c_str());
  }
  return false;
}

bool IsRegisteredCOM(const CLSID& clsid) {
  const std::wstring classKey = ClassKeyPath(clsid, nullptr, kUnregisterFunction);
  if (classKey.empty()) return false;
  Registry classRegistry(HKEY_LOCAL_MACHINE, classKey.c_str(), false);
  return classRegistry.Open();
}

}  // namespace zel_wmi
