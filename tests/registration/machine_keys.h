#pragma once
// Direct reads of HKEY_LOCAL_MACHINE, so checks do not go through the code
// under test.

#include <string>
#include <utility>

#include <gtest/gtest.h>
#include <windows.h>

inline bool MachineKeyExists(const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// The REG_SZ data of a value, or "<missing>".
inline std::wstring ReadMachineString(const std::wstring& path, const wchar_t* name) {
  wchar_t data[1024] = {};
  DWORD size = sizeof(data);
  if (RegGetValueW(HKEY_LOCAL_MACHINE, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return L"<missing>";
  }
  return data;
}

// Each test starts and ends without the class key.
class ClassKeyTest : public ::testing::Test {
 protected:
  explicit ClassKeyTest(std::wstring classKey) : classKey_(std::move(classKey)) {}
  void SetUp() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey_.c_str()); }
  void TearDown() override { RegDeleteTreeW(HKEY_LOCAL_MACHINE, classKey_.c_str()); }

  std::wstring classKey_;
};
