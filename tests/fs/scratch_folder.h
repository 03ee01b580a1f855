#pragma once
// A folder of the test's own under TEMP, removed with its contents when the
// test ends; files are written with the standard library, not the code under
// test.

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

class ScratchFolder {
 public:
  ScratchFolder() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = std::filesystem::temp_directory_path() /
            (L"fernwick_fs_" + std::to_wstring(GetCurrentProcessId()) + L"_" +
             std::filesystem::path(info != nullptr ? info->name() : "bench").wstring());
    std::filesystem::remove_all(root_);
    std::filesystem::create_directories(root_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The folder's path without a trailing backslash.
  std::wstring path() const { return root_.wstring(); }
  std::wstring Path(const std::wstring& relative) const { return (root_ / relative).wstring(); }

  void Folder(const std::wstring& relative) const { std::filesystem::create_directories(root_ / relative); }
  void File(const std::wstring& relative, const std::string& content = "x") const {
    std::filesystem::create_directories((root_ / relative).parent_path());
    std::ofstream out(root_ / relative, std::ios::binary);
    out << content;
  }
  bool Exists(const std::wstring& relative) const { return std::filesystem::exists(root_ / relative); }
  // The file's bytes; empty when it cannot be read.
  std::string Read(const std::wstring& relative) const {
    std::ifstream in(root_ / relative, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }

 private:
  std::filesystem::path root_;
};

// A path the test made of ASCII characters, in the narrow form.
inline std::string NarrowPath(const std::wstring& text) { return std::string(text.begin(), text.end()); }

// The directory of the running test executable, where the test DLLs sit.
inline std::wstring ExecutableFolder() {
  wchar_t path[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  return std::filesystem::path(path).parent_path().wstring();
}
