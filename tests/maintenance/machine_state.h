#pragma once
// The tests' own view of the machine, read and written with the plain
// platform calls so that no check goes through the code under test.

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include <windows.h>

namespace maintenance_test {

// A value's type and bytes; type REG_NONE with no bytes stands for "absent".
struct RawValue {
  DWORD type = REG_NONE;
  std::string bytes;
  bool operator==(const RawValue& other) const { return type == other.type && bytes == other.bytes; }
};

inline RawValue ReadRaw(const std::wstring& path, const wchar_t* name) {
  RawValue value;
  DWORD size = 0;
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, nullptr, &size) !=
      ERROR_SUCCESS) {
    return RawValue{};
  }
  value.bytes.resize(size);
  RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &value.type, &value.bytes[0],
               &size);
  value.bytes.resize(size);
  return value;
}

// Writes the value back as it was, or deletes it when it was absent.
inline void WriteRaw(const std::wstring& path, const wchar_t* name, const RawValue& value) {
  if (value.type == REG_NONE) {
    RegDeleteKeyValueW(HKEY_LOCAL_MACHINE, path.c_str(), name);
    return;
  }
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key, nullptr);
  RegSetValueExW(key, name, 0, value.type, reinterpret_cast<const BYTE*>(value.bytes.data()),
                 static_cast<DWORD>(value.bytes.size()));
  RegCloseKey(key);
}

// REG_MULTI_SZ bytes of the items, empty ones included, with the final
// terminator.
inline RawValue MultiString(const std::vector<std::wstring>& items) {
  std::wstring joined;
  for (const auto& item : items) joined += item + L'\0';
  joined += L'\0';
  RawValue value;
  value.type = REG_MULTI_SZ;
  value.bytes.assign(reinterpret_cast<const char*>(joined.data()), joined.size() * sizeof(wchar_t));
  return value;
}

inline RawValue Text(const std::wstring& text) {
  RawValue value;
  value.type = REG_SZ;
  value.bytes.assign(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * sizeof(wchar_t));
  return value;
}

inline RawValue Number(DWORD number) {
  RawValue value;
  value.type = REG_DWORD;
  value.bytes.assign(reinterpret_cast<const char*>(&number), sizeof(number));
  return value;
}

// Every key and value below `path`: keys as "path\", values as
// "path\|name", mapped to their contents.
using RegistrySnapshot = std::map<std::wstring, RawValue>;

inline void AddSubtree(const std::wstring& path, RegistrySnapshot* snapshot) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return;
  (*snapshot)[path + L"\\"] = RawValue{};
  std::vector<std::wstring> names;
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD size = 256;
    if (RegEnumValueW(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    (*snapshot)[path + L"\\|" + name] = ReadRaw(path, name);
  }
  for (DWORD index = 0;; ++index) {
    wchar_t name[256];
    DWORD size = 256;
    if (RegEnumKeyExW(key, index, name, &size, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    names.push_back(name);
  }
  RegCloseKey(key);
  for (const auto& name : names) AddSubtree(path + L"\\" + name, snapshot);
}

// `snapshot` without the key `key` and everything below it.
inline void WithoutKey(RegistrySnapshot* snapshot, const std::wstring& key) {
  const std::wstring prefix = key + L"\\";
  for (auto it = snapshot->begin(); it != snapshot->end();) {
    it = it->first.compare(0, prefix.size(), prefix) == 0 ? snapshot->erase(it) : std::next(it);
  }
}

inline bool KeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

inline bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Creates the file with its folders.
inline void StageFile(const std::wstring& path) {
  for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos; slash = path.find(L'\\', slash + 1)) {
    CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
  }
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
}

inline void RemoveFile(const std::wstring& path) {
  SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
  DeleteFileW(path.c_str());
}

// A registry link at `path` (HKEY_LOCAL_MACHINE) to the key `target` below
// HKEY_LOCAL_MACHINE; false when the platform refused.
inline bool MakeLink(const std::wstring& path, const std::wstring& target) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, REG_OPTION_CREATE_LINK, KEY_ALL_ACCESS, nullptr,
                      &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  // The target's native name, without a terminator.
  const std::wstring native = L"\\Registry\\Machine\\" + target;
  const LONG result = RegSetValueExW(key, L"SymbolicLinkValue", 0, REG_LINK,
                                     reinterpret_cast<const BYTE*>(native.data()),
                                     static_cast<DWORD>(native.size() * sizeof(wchar_t)));
  RegCloseKey(key);
  return result == ERROR_SUCCESS;
}

// The link key itself, never its target, is opened...
inline bool LinkExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, KEY_READ, &key) != ERROR_SUCCESS) {
    return false;
  }
  DWORD type = REG_NONE;
  const bool link = RegQueryValueExW(key, L"SymbolicLinkValue", nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
                    type == REG_LINK;
  RegCloseKey(key);
  return link;
}

// ...and removed with the native call, the only one that deletes a link.
inline void RemoveLink(const std::wstring& path) {
  using DeleteKeyCall = LONG(NTAPI*)(HANDLE);
  const auto deleteKey = reinterpret_cast<DeleteKeyCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtDeleteKey")));
  HKEY key = nullptr;
  if (!LinkExists(path) ||
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), REG_OPTION_OPEN_LINK, DELETE, &key) != ERROR_SUCCESS) {
    return;
  }
  deleteKey(key);
  RegCloseKey(key);
}

}  // namespace maintenance_test
