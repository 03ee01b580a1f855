#pragma once
// The narrow and wide platform calls behind Registry's two text forms, so each
// operation is written once and still calls the platform function of its own
// form.

#include <cstring>
#include <cwchar>
#include <string>

#include <windows.h>

#include "support/fs/code_page.h"

template <typename Char>
struct RegistryPlatform;

template <>
struct RegistryPlatform<char> {
  static std::string FromNarrow(const std::string& text) { return text; }
  static size_t Length(const char* text) { return strlen(text); }
  static size_t BoundedLength(const char* text, size_t limit) { return strnlen(text, limit); }
  static LSTATUS QueryValue(HKEY key, const char* name, DWORD* type, BYTE* data, DWORD* size) {
    return RegQueryValueExA(key, name, nullptr, type, data, size);
  }
  static LSTATUS SetValue(HKEY key, const char* name, DWORD type, const BYTE* data, DWORD size) {
    return RegSetValueExA(key, name, 0, type, data, size);
  }
  static LSTATUS DeleteValue(HKEY key, const char* name) { return RegDeleteValueA(key, name); }
  static LSTATUS EnumValue(HKEY key, DWORD index, char* name, DWORD* nameSize, DWORD* type, BYTE* data,
                           DWORD* dataSize) {
    return RegEnumValueA(key, index, name, nameSize, nullptr, type, data, dataSize);
  }
  // Read as UTF-16 and narrowed only when exact: a name the code page lacks
  // would come back as question marks or a look-alike, the name of some
  // other key.
  static LSTATUS EnumKey(HKEY key, DWORD index, char* name, DWORD nameSize) {
    wchar_t wideName[kWideKeyNameUnits] = {};
    const LSTATUS result = RegEnumKeyW(key, index, wideName, kWideKeyNameUnits);
    if (result != ERROR_SUCCESS) return result;
    std::string narrowName;
    if (!WideToNarrowExact(wideName, &narrowName)) return ERROR_NO_UNICODE_TRANSLATION;
    if (narrowName.size() >= nameSize) return ERROR_MORE_DATA;
    std::memcpy(name, narrowName.c_str(), narrowName.size() + 1);
    return ERROR_SUCCESS;
  }
  // Key names have at most 255 characters.
  static constexpr DWORD kWideKeyNameUnits = 256;
  static DWORD ExpandEnvironment(const char* text, char* output, DWORD outputSize) {
    return ExpandEnvironmentStringsA(text, output, outputSize);
  }
  static BOOL LookupPrivilege(const char* name, LUID* luid) { return LookupPrivilegeValueA(nullptr, name, luid); }
  static LSTATUS CreateKey(HKEY parent, const char* name, HKEY* key, DWORD* disposition) {
    return RegCreateKeyExA(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key,
                           disposition);
  }
  static LSTATUS OpenKey(HKEY parent, const char* name, HKEY* key) {
    return RegOpenKeyExA(parent, name, 0, KEY_ALL_ACCESS, key);
  }
  static LSTATUS CopyTree(HKEY source, HKEY destination) { return RegCopyTreeA(source, nullptr, destination); }
  static LSTATUS DeleteTree(HKEY parent, const char* name) { return RegDeleteTreeA(parent, name); }
};

template <>
struct RegistryPlatform<wchar_t> {
  static std::wstring FromNarrow(const std::string& text) { return NarrowToWide(text); }
  static size_t Length(const wchar_t* text) { return wcslen(text); }
  static size_t BoundedLength(const wchar_t* text, size_t limit) { return wcsnlen(text, limit); }
  static LSTATUS QueryValue(HKEY key, const wchar_t* name, DWORD* type, BYTE* data, DWORD* size) {
    return RegQueryValueExW(key, name, nullptr, type, data, size);
  }
  static LSTATUS SetValue(HKEY key, const wchar_t* name, DWORD type, const BYTE* data, DWORD size) {
    return RegSetValueExW(key, name, 0, type, data, size);
  }
  static LSTATUS DeleteValue(HKEY key, const wchar_t* name) { return RegDeleteValueW(key, name); }
  static LSTATUS EnumValue(HKEY key, DWORD index, wchar_t* name, DWORD* nameSize, DWORD* type, BYTE* data,
                           DWORD* dataSize) {
    return RegEnumValueW(key, index, name, nameSize, nullptr, type, data, dataSize);
  }
  static LSTATUS EnumKey(HKEY key, DWORD index, wchar_t* name, DWORD nameSize) {
    return RegEnumKeyW(key, index, name, nameSize);
  }
  static DWORD ExpandEnvironment(const wchar_t* text, wchar_t* output, DWORD outputSize) {
    return ExpandEnvironmentStringsW(text, output, outputSize);
  }
  static BOOL LookupPrivilege(const wchar_t* name, LUID* luid) { return LookupPrivilegeValueW(nullptr, name, luid); }
  static LSTATUS CreateKey(HKEY parent, const wchar_t* name, HKEY* key, DWORD* disposition) {
    return RegCreateKeyExW(parent, name, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr, key,
                           disposition);
  }
  static LSTATUS OpenKey(HKEY parent, const wchar_t* name, HKEY* key) {
    return RegOpenKeyExW(parent, name, 0, KEY_ALL_ACCESS, key);
  }
  static LSTATUS CopyTree(HKEY source, HKEY destination) { return RegCopyTreeW(source, nullptr, destination); }
  static LSTATUS DeleteTree(HKEY parent, const wchar_t* name) { return RegDeleteTreeW(parent, name); }
};

