// Version numbers of files and loaded modules, from their version resource.
#include <cwchar>
#include <vector>
#include <windows.h>

#include "support/fs/code_page.h"
#include "support/fs/file_functions.h"
#include "support/fs/fts_report.h"
#include "support/fs/system_error.h"

using fts::detail::kLevelWarning;

namespace {

constexpr size_t kPathUnits = 260;
constexpr char kVersionExt[] = "fts::GetModuleVersionExt";

struct VersionOut {
  uint32_t* major;
  uint32_t* minor;
  uint32_t* build;
  uint32_t* revision;

  void Set(uint32_t mostSignificant, uint32_t leastSignificant) const {
    Store(major, HIWORD(mostSignificant));
    Store(minor, LOWORD(mostSignificant));
    Store(build, HIWORD(leastSignificant));
    Store(revision, LOWORD(leastSignificant));
  }
  static void Store(uint32_t* out, uint32_t value) {
    if (out != nullptr) *out = value;
  }
};

bool ReadFixedVersion(const wchar_t* file, const VersionOut& out) {
  DWORD ignored = 0;
  const DWORD size = GetFileVersionInfoSizeW(file, &ignored);
  if (size == 0) return false;
  std::vector<BYTE> data(size);
  if (!GetFileVersionInfoW(file, 0, size, data.data())) return false;
  void* block = nullptr;
  UINT length = 0;
  if (!VerQueryValueW(data.data(), L"\\", &block, &length) || block == nullptr ||
      length < sizeof(VS_FIXEDFILEINFO)) {
    return false;
  }
  const auto* info = static_cast<const VS_FIXEDFILEINFO*>(block);
  if (info->dwSignature != VS_FFI_SIGNATURE) return false;
  out.Set(info->dwFileVersionMS, info->dwFileVersionLS);
  return true;
}

// The file name of a module loaded in this process; empty when it is not
// loaded or its name cannot be read.
std::wstring LoadedModuleFile(const wchar_t* name) {
  const HMODULE module = GetModuleHandleW(name);
  if (module == nullptr) return std::wstring();
  wchar_t file[kPathUnits] = {};
  const DWORD length = GetModuleFileNameW(module, file, kPathUnits);
  if (length == 0 || length >= kPathUnits) return std::wstring();
  return file;
}

}  // namespace

bool GetFileVersion(const wchar_t* path, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision) {
  const VersionOut out{major, minor, build, revision};
  out.Set(0, 0);
  if (path == nullptr || path[0] == L'\0' || std::wcslen(path) >= kPathUnits) return false;
  if (ReadFixedVersion(path, out)) return true;
  if (std::wcschr(path, L'%') == nullptr) return false;
  wchar_t full[kPathUnits] = {};
  return GetFullPath(path, full, kPathUnits) && ReadFixedVersion(full, out);
}

bool GetModuleVersion(const wchar_t* name, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision) {
  const VersionOut out{major, minor, build, revision};
  out.Set(0, 0);
  if (name == nullptr || name[0] == L'\0') return false;
  const std::wstring file = LoadedModuleFile(name);
  return GetFileVersion(file.empty() ? name : file.c_str(), major, minor, build, revision);
}

bool GetModuleVersion(const char* name, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision) {
  if (name == nullptr) return GetModuleVersion(static_cast<const wchar_t*>(nullptr), major, minor, build, revision);
  return GetModuleVersion(NarrowToWide(name).c_str(), major, minor, build, revision);
}

namespace fts {

bool GetModuleVersionExt(const wchar_t* name, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision,
                         LogCallback callback) {
  const VersionOut out{major, minor, build, revision};
  out.Set(0, 0);
  if (name == nullptr || name[0] == L'\0') {
    detail::Send(callback, kLevelWarning, detail::Progress{}, L"Module name is empty", kVersionExt, __LINE__);
    return false;
  }
  const std::wstring file = LoadedModuleFile(name);
  if (file.empty()) {
    const DWORD error = GetLastError();
    detail::Report(callback, kLevelWarning, kVersionExt, __LINE__,
                   L"Cannot get module name [%ls], the function returns error: %ls. code (%d)", name,
                   SystemErrorText(error).c_str(), static_cast<int>(error));
    return false;
  }
  if (!GetFileVersion(file.c_str(), major, minor, build, revision)) {
    const DWORD error = GetLastError();
    detail::Report(callback, kLevelWarning, kVersionExt, __LINE__,
                   L"Could not get file version [%ls], the function returns error: %ls. code (%d)", name,
                   SystemErrorText(error).c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

}  // namespace fts
