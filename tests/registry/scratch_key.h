#pragma once
// A registry key of the test's own, removed with everything below it when the
// test ends, plus direct platform helpers so setups and checks do not go
// through the class under test.

#include <string>

#include <gtest/gtest.h>
#include <windows.h>

class ScratchKeyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "Software\\FernwickRegistryTest_" + std::to_string(GetCurrentProcessId()) + "_" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name();
    RegDeleteTreeA(root_, path_.c_str());
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                             nullptr));
    RegCloseKey(key);
  }
  void TearDown() override { RegDeleteTreeA(root_, path_.c_str()); }

  std::string Sub(const std::string& relative) const { return path_ + "\\" + relative; }

  void CreateKey(const std::string& fullPath) {
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(root_, fullPath.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                             nullptr));
    RegCloseKey(key);
  }
  bool KeyExists(const std::string& fullPath, REGSAM view = 0) const {
    HKEY key = nullptr;
    if (RegOpenKeyExA(root_, fullPath.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  void PutValue(const char* name, DWORD type, const void* data, DWORD size, const std::string& fullPath = {}) {
    const std::string& target = fullPath.empty() ? path_ : fullPath;
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(root_, target.c_str(), name, type, data, size));
  }
  void PutString(const char* name, const std::string& text, const std::string& fullPath = {}) {
    PutValue(name, REG_SZ, text.c_str(), static_cast<DWORD>(text.size() + 1), fullPath);
  }
  void PutDword(const char* name, DWORD value) { PutValue(name, REG_DWORD, &value, sizeof(value)); }
  // Type and size in bytes as stored (UTF-16 for strings), or false when
  // there is no such value.
  bool ValueInfo(const std::wstring& fullPath, const wchar_t* name, DWORD* type, DWORD* size) const {
    return RegGetValueW(root_, fullPath.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, type, nullptr, size) ==
           ERROR_SUCCESS;
  }
  std::wstring WidePath() const { return std::wstring(path_.begin(), path_.end()); }

  HKEY root_ = HKEY_CURRENT_USER;
  std::string path_;
};
