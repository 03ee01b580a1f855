#pragma once
// The platform and run-time calls of the file functions in their narrow (ANSI)
// and wide forms, so that each function is written once for both.

#include <direct.h>
#include <string>
#include <windows.h>

#include "support/fs/code_page.h"

namespace fts {
namespace detail {

template <typename Char>
struct CharApi;

template <>
struct CharApi<char> {
  using FindData = WIN32_FIND_DATAA;
  // No short names are read: the listings never use them.
  static HANDLE FindFirst(const char* pattern, FindData* data) {
    return FindFirstFileExA(pattern, FindExInfoBasic, data, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  }
  static BOOL FindNext(HANDLE search, FindData* data) { return FindNextFileA(search, data); }
  static DWORD Attributes(const char* path) { return GetFileAttributesA(path); }
  static int MakeDirectory(const char* path) { return _mkdir(path); }
  static std::wstring ToWide(const std::string& text) { return NarrowToWide(text); }
  static constexpr const char* kAllFiles = "*.*";
  // Formats that print a path of this form inside a wide message.
  static constexpr const wchar_t* kUnknownReadError = L"Unknown error to read [%hs]";
  static constexpr const wchar_t* kFileSizeError = L"Cannot get size of file : [%hs]";
  static constexpr const wchar_t* kCreateFolderError = L"Cannot create folder %hs [%ls %d]";
  static constexpr const wchar_t* kFolderIdentityError = L"Not entered, cannot identify folder: [%hs]";
  static constexpr const wchar_t* kFolderLoopWarning = L"Not entered, folder already on the path: [%hs]";
};

template <>
struct CharApi<wchar_t> {
  using FindData = WIN32_FIND_DATAW;
  static HANDLE FindFirst(const wchar_t* pattern, FindData* data) {
    return FindFirstFileExW(pattern, FindExInfoBasic, data, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  }
  static BOOL FindNext(HANDLE search, FindData* data) { return FindNextFileW(search, data); }
  static DWORD Attributes(const wchar_t* path) { return GetFileAttributesW(path); }
  static int MakeDirectory(const wchar_t* path) { return _wmkdir(path); }
  static std::wstring ToWide(const std::wstring& text) { return text; }
  static constexpr const wchar_t* kAllFiles = L"*.*";
  static constexpr const wchar_t* kUnknownReadError = L"Unknown error to read [%ls]";
  static constexpr const wchar_t* kFileSizeError = L"Cannot get size of file : [%ls]";
  static constexpr const wchar_t* kCreateFolderError = L"Cannot create folder %ls [%ls %d]";
  static constexpr const wchar_t* kFolderIdentityError = L"Not entered, cannot identify folder: [%ls]";
  static constexpr const wchar_t* kFolderLoopWarning = L"Not entered, folder already on the path: [%ls]";
};

}  // namespace detail
}  // namespace fts
