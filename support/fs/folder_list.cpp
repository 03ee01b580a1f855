#include "support/fs/folder_list.h"

#include <algorithm>
#include <limits>
#include <new>
#include <vector>

#include <windows.h>
#include <winternl.h>

#include "support/fs/char_api.h"
#include "support/fs/file_functions.h"
#include "support/fs/find_handle.h"
#include "support/fs/fts_report.h"
#include "support/fs/text_utils.h"
#include "support/fs/unique_handle.h"

using fts::FindHandle;
using fts::detail::CharApi;
using fts::detail::kLevelError;
using fts::detail::kLevelProgress;
using fts::detail::kLevelWarning;
using fts::detail::kLevelStep;
using fts::detail::Progress;
using fts::detail::Report;
using fts::detail::Send;

namespace {

template <typename Char>
using String = std::basic_string<Char>;
// File names of each folder read while listing the tree, keyed by the
// folder's path as the tree's set holds it.
template <typename Char>
using FileNameCache = std::map<String<Char>, std::set<String<Char>>>;

constexpr char kFolderNameList[] = "fts::FolderNameList";
constexpr char kFolderList[] = "fts::FolderList";
constexpr char kFilesList[] = "fts::FilesList";
constexpr wchar_t kNullFolder[] = L"Directory name cannot be empty";

int32_t CountOf(size_t count) {
  return count > static_cast<size_t>(std::numeric_limits<int32_t>::max()) ? std::numeric_limits<int32_t>::max()
                                                                          : static_cast<int32_t>(count);
}

template <typename Char>
String<Char> EnsureBackslash(const String<Char>& path) {
  if (path.empty() || path.back() == Char('\\')) return path;
  return path + Char('\\');
}

template <typename Char>
String<Char> RemoveBackslash(const String<Char>& path) {
  if (path.empty() || path.back() != Char('\\')) return path;
  return path.substr(0, path.size() - 1);
}

template <typename Char>
bool IsDotName(const Char* name) {
  return name[0] == Char('.') && (name[1] == Char('\0') || (name[1] == Char('.') && name[2] == Char('\0')));
}

bool IsListedFile(DWORD attributes) {
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 && (attributes & FILE_ATTRIBUTE_ARCHIVE) != 0;
}

// Junctions, symbolic links and mount points, and under Wine a Unix
// symbolic link to a folder: a tree walk never enters one, since it may lead
// back up the tree or into someone else's.
bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// A folder as the file system knows it, whatever the path that reached it.
struct FolderIdentity {
  DWORD volume = 0;
  ULONGLONG index = 0;
  bool operator==(const FolderIdentity& other) const { return volume == other.volume && index == other.index; }
};

template <typename Char>
UniqueHandle OpenFolder(const String<Char>& folder) {
  // Backup semantics open a folder; attribute access is all the queries need.
  return UniqueHandle(CreateFileW(CharApi<Char>::ToWide(folder).c_str(), FILE_READ_ATTRIBUTES,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

// The top of a walk: volume serial number and file index.
template <typename Char>
bool ReadTopIdentity(const String<Char>& folder, FolderIdentity* identity) {
  const UniqueHandle handle = OpenFolder(folder);
  BY_HANDLE_FILE_INFORMATION information;
  if (!handle || !GetFileInformationByHandle(handle.get(), &information)) return false;
  *identity = FolderIdentity{information.dwVolumeSerialNumber,
                             (ULONGLONG{information.nFileIndexHigh} << 32) | information.nFileIndexLow};
  return true;
}

// A folder below the top. Only a mount point leads to another volume, and a
// walk enters no reparse point, so the top's volume serial number holds. The
// file index (the same number GetFileInformationByHandle gives) comes from
// the file system's internal information alone: GetFileInformationByHandle
// also asks the volume for its serial number, which made a tree listing
// half as slow again.
template <typename Char>
bool ReadIdentityBelow(const String<Char>& folder, DWORD volume, FolderIdentity* identity) {
  using QueryCall = LONG(NTAPI*)(HANDLE, IO_STATUS_BLOCK*, void*, ULONG, FILE_INFORMATION_CLASS);
  static const auto query = reinterpret_cast<QueryCall>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryInformationFile")));
  // FILE_INTERNAL_INFORMATION's class and its one field, the file index.
  constexpr auto kInternalInformation = static_cast<FILE_INFORMATION_CLASS>(6);
  LARGE_INTEGER index = {};
  IO_STATUS_BLOCK status = {};
  const UniqueHandle handle = OpenFolder(folder);
  if (!handle || query == nullptr || query(handle.get(), &status, &index, sizeof(index), kInternalInformation) < 0) {
    return false;
  }
  *identity = FolderIdentity{volume, static_cast<ULONGLONG>(index.QuadPart)};
  return true;
}

template <typename Char, typename Visit>
void ForEachEntry(const String<Char>& pattern, Visit visit) {
  typename CharApi<Char>::FindData data;
  FindHandle search(CharApi<Char>::FindFirst(pattern.c_str(), &data));
  if (!search.valid()) return;
  do {
    visit(data);
  } while (CharApi<Char>::FindNext(search.get(), &data));
}

void ReportNullFolder(LogCallback callback, const char* function, int32_t line) {
  Send(callback, kLevelError, Progress{}, kNullFolder, function, line);
}

// One read of the folder gives its subfolders and, when asked, the files the
// default mask would list, so that a tree listing reads each folder once.
template <typename Char>
std::set<String<Char>> FolderNames(const Char* folder, LogCallback callback, std::set<String<Char>>* files,
                                   bool skipLinks) {
  std::set<String<Char>> names;
  if (folder == nullptr) {
    ReportNullFolder(callback, kFolderNameList, __LINE__);
    return names;
  }
  try {
    ForEachEntry<Char>(EnsureBackslash(String<Char>(folder)) + CharApi<Char>::kAllFiles, [&](const auto& data) {
      if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        if (IsDotName(data.cFileName) || (skipLinks && IsLink(data.dwFileAttributes))) return;
        Send(callback, kLevelProgress, Progress{2, -1, -1}, CharApi<Char>::ToWide(data.cFileName).c_str(),
             kFolderNameList, __LINE__);
        names.insert(data.cFileName);
      } else if (files != nullptr && IsListedFile(data.dwFileAttributes)) {
        files->insert(data.cFileName);
      }
    });
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    Report(callback, kLevelError, kFolderNameList, __LINE__, CharApi<Char>::kUnknownReadError, folder);
  }
  return names;
}

// The folders of a tree walk from its top down to the one being read.
using AncestorChain = std::vector<FolderIdentity>;

// Whether a subfolder may be entered: not when its identity is unknown or
// already on the path from the top, where a loop the link attributes missed
// would begin.
template <typename Char>
bool MayEnter(const String<Char>& path, LogCallback callback, AncestorChain* ancestors) {
  FolderIdentity identity;
  const DWORD volume = ancestors->empty() ? 0 : ancestors->front().volume;
  if (!ReadIdentityBelow(path, volume, &identity)) {
    Report(callback, kLevelWarning, kFolderList, __LINE__, CharApi<Char>::kFolderIdentityError, path.c_str());
    return false;
  }
  if (std::find(ancestors->begin(), ancestors->end(), identity) != ancestors->end()) {
    Report(callback, kLevelWarning, kFolderList, __LINE__, CharApi<Char>::kFolderLoopWarning, path.c_str());
    return false;
  }
  ancestors->push_back(identity);
  return true;
}

template <typename Char>
std::set<String<Char>> Folders(const Char* folder, LogCallback callback, bool recursive, int32_t depth,
                               FileNameCache<Char>* cache, AncestorChain* ancestors) {
  std::set<String<Char>> result;
  if (folder == nullptr) {
    ReportNullFolder(callback, kFolderList, __LINE__);
    return result;
  }
  // Progress is reported for the first two levels only.
  const bool reports = depth <= 1;
  const int32_t level = depth < 0 ? 1 : reports ? depth + 1 : 0;
  const String<Char> base(folder);
  const String<Char> self = RemoveBackslash(base);
  if (depth == 0) result.insert(self);
  AncestorChain topChain;
  if (recursive && ancestors == nullptr) {
    ancestors = &topChain;
    FolderIdentity top;
    if (ReadTopIdentity(base, &top)) topChain.push_back(top);
  }
  const auto names = FolderNames(folder, callback, cache != nullptr ? &(*cache)[self] : nullptr, true);
  const String<Char> parent = EnsureBackslash(base);
  if (!recursive) {
    for (const auto& name : names) result.insert(parent + name);
  } else {
    if (reports) {
      Send(callback, kLevelProgress, Progress{level, CountOf(names.size()), 0}, CharApi<Char>::ToWide(base).c_str(),
           kFolderList, __LINE__);
    }
    int32_t index = 0;
    for (const auto& name : names) {
      const String<Char> path = parent + name;
      if (reports) {
        Send(callback, kLevelStep, Progress{level, 0, index}, CharApi<Char>::ToWide(path).c_str(), kFolderList,
             __LINE__);
      }
      ++index;
      if (!MayEnter(path, callback, ancestors)) continue;
      result.insert(path);
      auto below = Folders(path.c_str(), callback, true, 0, cache, ancestors);
      ancestors->pop_back();
      result.insert(below.begin(), below.end());
    }
  }
  if (reports) Send(callback, kLevelProgress, Progress{level, -1, 0}, L"", kFolderList, __LINE__);
  return result;
}

template <typename Char>
bool IsDefaultMask(const Char* masks) {
  return masks == nullptr || masks[0] == Char('\0') || String<Char>(masks) == CharApi<Char>::kAllFiles;
}

// Several masks keep only the "*.ext" ones; a single mask is used as given.
template <typename Char>
std::vector<String<Char>> MaskPieces(const Char* masks) {
  const String<Char> list = IsDefaultMask(masks) ? String<Char>(CharApi<Char>::kAllFiles) : String<Char>(masks);
  auto pieces = fts::Split(list, Char(';'));
  if (pieces.size() <= 1) return pieces;
  std::vector<String<Char>> kept;
  for (auto& piece : pieces) {
    if (piece.size() > 2 && piece[0] == Char('*') && piece[1] == Char('.')) kept.push_back(std::move(piece));
  }
  return kept;
}

template <typename Char>
std::set<String<Char>> FileNames(const Char* folder, LogCallback callback, const Char* masks) {
  std::set<String<Char>> names;
  if (folder == nullptr) {
    ReportNullFolder(callback, kFilesList, __LINE__);
    return names;
  }
  try {
    const String<Char> parent = EnsureBackslash(String<Char>(folder));
    for (const auto& mask : MaskPieces(masks)) {
      ForEachEntry<Char>(parent + mask, [&](const auto& data) {
        if (IsListedFile(data.dwFileAttributes)) names.insert(data.cFileName);
      });
    }
  } catch (const std::bad_alloc&) {
    throw;
  } catch (...) {
    Report(callback, kLevelError, kFilesList, __LINE__, CharApi<Char>::kUnknownReadError, folder);
  }
  return names;
}

// The tree forms: every folder of the listing in set order, with progress,
// handing each folder's full file paths to `add`.
template <typename Char, typename Add>
void ForEachTreeFile(const Char* folder, LogCallback callback, bool recursive, const Char* masks, Add add) {
  FileNameCache<Char> cache;
  const bool useCache = IsDefaultMask(masks);
  auto folders = Folders(folder, callback, recursive, 0, useCache ? &cache : nullptr, nullptr);
  Send(callback, kLevelProgress, Progress{1, CountOf(folders.size()), 0}, L"", kFilesList, __LINE__);
  int32_t index = 0;
  for (const auto& path : folders) {
    const auto cached = cache.find(path);
    const auto names = cached != cache.end() ? std::move(cached->second) : FileNames(path.c_str(), callback, masks);
    Send(callback, kLevelStep, Progress{1, 0, index++}, CharApi<Char>::ToWide(path).c_str(), kFilesList, __LINE__);
    const String<Char> parent = EnsureBackslash(path);
    for (const auto& name : names) add(parent + name);
  }
  Send(callback, kLevelProgress, Progress{1, -1, 0}, L"", kFilesList, __LINE__);
}

template <typename Char>
void FilePaths(const Char* folder, LogCallback callback, bool recursive, std::set<String<Char>>& output,
               const Char* masks) {
  if (folder == nullptr) {
    ReportNullFolder(callback, kFilesList, __LINE__);
    return;
  }
  // Paths mostly arrive in order: the end is the usual place.
  ForEachTreeFile(folder, callback, recursive, masks,
                  [&](String<Char> path) { output.insert(output.end(), std::move(path)); });
}

}  // namespace

std::string EnsureTrailingBackslash(const std::string& path) { return EnsureBackslash(path); }
std::wstring EnsureTrailingBackslash(const std::wstring& path) { return EnsureBackslash(path); }
std::string RemoveTrailingBackslash(const std::string& path) { return RemoveBackslash(path); }
std::wstring RemoveTrailingBackslash(const std::wstring& path) { return RemoveBackslash(path); }

namespace fts {

std::set<std::string> FolderNameList(const char* folder, LogCallback callback) {
  return FolderNames<char>(folder, callback, nullptr, false);
}
std::set<std::wstring> FolderNameList(const wchar_t* folder, LogCallback callback) {
  return FolderNames<wchar_t>(folder, callback, nullptr, false);
}

std::set<std::string> FolderList(const char* folder, LogCallback callback, bool recursive, int32_t depth) {
  return Folders<char>(folder, callback, recursive, depth, nullptr, nullptr);
}
std::set<std::wstring> FolderList(const wchar_t* folder, LogCallback callback, bool recursive, int32_t depth) {
  return Folders<wchar_t>(folder, callback, recursive, depth, nullptr, nullptr);
}

std::set<std::string> FilesList(const char* folder, LogCallback callback, const char* masks) {
  return FileNames(folder, callback, masks);
}
std::set<std::wstring> FilesList(const wchar_t* folder, LogCallback callback, const wchar_t* masks) {
  return FileNames(folder, callback, masks);
}

void FilesList(const char* folder, LogCallback callback, bool recursive, std::set<std::string>& output,
               const char* masks) {
  FilePaths(folder, callback, recursive, output, masks);
}
void FilesList(const wchar_t* folder, LogCallback callback, bool recursive, std::set<std::wstring>& output,
               const wchar_t* masks) {
  FilePaths(folder, callback, recursive, output, masks);
}

int64_t FilesList(const wchar_t* folder, LogCallback callback, bool recursive, std::map<std::wstring, int64_t>& output,
                  const wchar_t* masks) {
  if (folder == nullptr) {
    ReportNullFolder(callback, kFilesList, __LINE__);
    return -1;
  }
  int64_t total = 0;
  ForEachTreeFile(folder, callback, recursive, masks, [&](std::wstring path) {
    const int64_t size = FileSize(path.c_str());
    if (size >= 0) total += size;
    output[std::move(path)] = size;
  });
  return total;
}

}  // namespace fts
