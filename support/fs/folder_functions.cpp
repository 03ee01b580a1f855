// The fts folder functions that report through a callback: creating a
// folder path and summing a folder's file sizes.
#include <vector>

#include "support/fs/char_api.h"
#include "support/fs/file_functions.h"
#include "support/fs/folder_list.h"
#include "support/fs/fts_report.h"
#include "support/fs/system_error.h"
#include "support/fs/text_utils.h"

using fts::detail::CharApi;
using fts::detail::kLevelError;
using fts::detail::kLevelProgress;
using fts::detail::kLevelStep;
using fts::detail::kLevelWarning;
using fts::detail::Progress;
using fts::detail::Report;
using fts::detail::Send;

namespace {

template <typename Char>
using String = std::basic_string<Char>;

constexpr char kForceDirectory[] = "fts::ForceDirectory";
constexpr char kFolderSize[] = "fts::FolderSize";

// The path's leading backslashes, kept so that a rooted path stays rooted,
// and its non-empty pieces. A network path's server and share form its root.
template <typename Char>
struct PathPieces {
  String<Char> root;
  std::vector<String<Char>> pieces;
  size_t rootPieces = 0;
};

template <typename Char>
PathPieces<Char> SplitPath(const String<Char>& path) {
  PathPieces<Char> result;
  const size_t leading = path.find_first_not_of(Char('\\'));
  result.root = path.substr(0, leading == String<Char>::npos ? path.size() : leading);
  result.pieces = fts::Split(path, Char('\\'));
  if (result.root.size() >= 2) result.rootPieces = 2;
  return result;
}

template <typename Char>
bool CreateFolders(const Char* path, LogCallback callback) {
  if (path == nullptr || path[0] == Char('\0')) {
    Send(callback, kLevelError, Progress{}, L"File path is null", kForceDirectory, __LINE__);
    return false;
  }
  const auto parts = SplitPath(String<Char>(path));
  if (parts.pieces.empty()) return false;
  String<Char> current = parts.root;
  for (size_t index = 0; index < parts.pieces.size(); ++index) {
    if (index > 0) current += Char('\\');
    current += parts.pieces[index];
    if (index < parts.rootPieces || DirectoryExists(current.c_str())) continue;
    // Another process may create the same folder at the same moment.
    if (CharApi<Char>::MakeDirectory(current.c_str()) == 0) continue;
    const DWORD error = GetLastError();
    if (DirectoryExists(current.c_str())) continue;
    Report(callback, kLevelError, kForceDirectory, __LINE__, CharApi<Char>::kCreateFolderError, current.c_str(),
           SystemErrorText(error).c_str(), static_cast<int>(error));
    return false;
  }
  return true;
}

template <typename Char>
int64_t SumFolder(const Char* folder, LogCallback callback, bool recursive) {
  if (folder == nullptr) {
    Send(callback, kLevelError, Progress{}, L"Directory name cannot be empty", kFolderSize, __LINE__);
    return -1;
  }
  // The folder is entered as the listing enters it, so that a trailing
  // backslash does not make it count twice.
  const String<Char> given(folder);
  const String<Char> self = RemoveTrailingBackslash(given);
  std::set<String<Char>> folders{self.empty() ? given : self};
  if (recursive) {
    auto tree = fts::FolderList(folder, callback, true, 0);
    folders.insert(tree.begin(), tree.end());
  }
  Send(callback, kLevelProgress, Progress{1, static_cast<int32_t>(folders.size()), 0}, L"", kFolderSize, __LINE__);
  int64_t total = 0;
  int32_t index = 0;
  for (const auto& path : folders) {
    const auto names = fts::FilesList(path.c_str(), callback, static_cast<const Char*>(nullptr));
    Send(callback, kLevelStep, Progress{1, 0, index++}, CharApi<Char>::ToWide(path).c_str(), kFolderSize, __LINE__);
    const String<Char> parent = EnsureTrailingBackslash(path);
    for (const auto& name : names) {
      const String<Char> file = parent + name;
      const int64_t size = FileSize(file.c_str());
      if (size >= 0) {
        total += size;
      } else {
        Report(callback, kLevelWarning, kFolderSize, __LINE__, CharApi<Char>::kFileSizeError, file.c_str());
      }
    }
  }
  Send(callback, kLevelProgress, Progress{1, -1, 0}, L"", kFolderSize, __LINE__);
  return total;
}

}  // namespace

namespace fts {

bool ForceDirectory(const char* path, LogCallback callback) { return CreateFolders(path, callback); }
bool ForceDirectory(const wchar_t* path, LogCallback callback) { return CreateFolders(path, callback); }

int64_t FolderSize(const char* folder, LogCallback callback, bool recursive) {
  return SumFolder(folder, callback, recursive);
}
int64_t FolderSize(const wchar_t* folder, LogCallback callback, bool recursive) {
  return SumFolder(folder, callback, recursive);
}

}  // namespace fts
