#pragma once
// Folder and file listings of the fts family. Results are ordered sets (plain
// code-unit order, no duplicates). Failures and progress go to the callback;
// a folder that cannot be searched simply yields nothing.

#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "support/log_callback.h"

// A non-empty path gets a trailing backslash when it has none.
std::string EnsureTrailingBackslash(const std::string& path);
std::wstring EnsureTrailingBackslash(const std::wstring& path);
// Drops one trailing backslash.
std::string RemoveTrailingBackslash(const std::string& path);
std::wstring RemoveTrailingBackslash(const std::wstring& path);

namespace fts {

// Names of the folder's immediate subfolders.
std::set<std::string> FolderNameList(const char* folder, LogCallback callback);
std::set<std::wstring> FolderNameList(const wchar_t* folder, LogCallback callback);

// The folder itself (when depth is 0) and its subfolders' paths, the whole
// tree when recursive; no path ends with a backslash. Folder links
// (reparse points) are neither listed nor entered, and a recursive walk
// never enters a folder already on its path from the top, so each folder of
// the tree comes once and the walk ends.
std::set<std::string> FolderList(const char* folder, LogCallback callback, bool recursive, int32_t depth = 0);
std::set<std::wstring> FolderList(const wchar_t* folder, LogCallback callback, bool recursive, int32_t depth = 0);

// Names of the folder's files that match the semicolon-separated masks
// ("*.*" when null or empty). Only files with the archive attribute count.
std::set<std::string> FilesList(const char* folder, LogCallback callback, const char* masks = nullptr);
std::set<std::wstring> FilesList(const wchar_t* folder, LogCallback callback, const wchar_t* masks = nullptr);

// Adds the full path of every matching file of the folders FolderList gives.
void FilesList(const char* folder, LogCallback callback, bool recursive, std::set<std::string>& output,
               const char* masks = nullptr);
void FilesList(const wchar_t* folder, LogCallback callback, bool recursive, std::set<std::wstring>& output,
               const wchar_t* masks = nullptr);

// As above with each file's size (-1 when unreadable); returns the total of
// the readable sizes, -1 for a null folder.
int64_t FilesList(const wchar_t* folder, LogCallback callback, bool recursive, std::map<std::wstring, int64_t>& output,
                  const wchar_t* masks = nullptr);

}  // namespace fts
