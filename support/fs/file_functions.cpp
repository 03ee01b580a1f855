#include "support/fs/file_functions.h"

#include <cerrno>
#include <cstdlib>
#include <cwchar>
#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <windows.h>

#include "support/fs/code_page.h"

namespace {

constexpr size_t kPathUnits = 260;
constexpr size_t kPartUnits = 256;

// Runs the wide form of a function on a narrow path (null stays null).
template <typename Wide>
auto OnWide(const char* path, Wide wide) {
  if (path == nullptr) return wide(nullptr);
  const std::wstring converted = NarrowToWide(path);
  return wide(converted.c_str());
}

bool IsEmpty(const wchar_t* path) { return path == nullptr || path[0] == L'\0'; }

// The attribute test both existence checks share: a readable entry answers
// by its directory bit, an unreadable one by whether the failure means
// "exists but is held by someone else".
bool AttributesSay(const wchar_t* path, bool wantDirectory, bool (*heldElsewhere)(DWORD error)) {
  if (IsEmpty(path)) return false;
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) return ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == wantDirectory;
  return heldElsewhere(GetLastError());
}

bool FileHeldElsewhere(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION || error == ERROR_SHARING_BUFFER_EXCEEDED;
}

bool FolderHeldElsewhere(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_SHARING_BUFFER_EXCEEDED || error == ERROR_TOO_MANY_NAMES ||
         error == ERROR_TOO_MANY_SESS;
}

enum class PathPart { kDirectory, kBaseName, kExtension, kFileName };

std::wstring SplitPart(const wchar_t* path, PathPart part) {
  if (IsEmpty(path)) return std::wstring();
  wchar_t drive[kPartUnits] = {};
  wchar_t directory[kPartUnits] = {};
  wchar_t name[kPartUnits] = {};
  wchar_t extension[kPartUnits] = {};
  // A part too long for its buffer fails the split as a whole: empty result.
  if (_wsplitpath_s(path, drive, kPartUnits, directory, kPartUnits, name, kPartUnits, extension, kPartUnits) != 0) {
    return std::wstring();
  }
  switch (part) {
    case PathPart::kDirectory:
      return std::wstring(drive) + directory;
    case PathPart::kBaseName:
      return name;
    case PathPart::kExtension:
      return extension[0] == L'.' ? std::wstring(extension + 1) : std::wstring(extension);
    case PathPart::kFileName:
      return (std::wstring(name) + extension).substr(0, kPathUnits);
  }
  return std::wstring();
}

// Copies text that fits, terminated; text that does not fit is refused
// rather than cut, since a shortened path names another file.
template <typename Char>
bool CopyWhole(const std::basic_string<Char>& text, Char* output, size_t outputSize) {
  if (text.size() >= outputSize) {
    output[0] = Char('\0');
    return false;
  }
  std::char_traits<Char>::copy(output, text.c_str(), text.size() + 1);
  return true;
}

}  // namespace

bool FileExists(const wchar_t* path) { return AttributesSay(path, false, FileHeldElsewhere); }
bool FileExists(const char* path) { return OnWide(path, [](const wchar_t* wide) { return FileExists(wide); }); }

bool DirectoryExists(const wchar_t* path) { return AttributesSay(path, true, FolderHeldElsewhere); }
bool DirectoryExists(const char* path) {
  return OnWide(path, [](const wchar_t* wide) { return DirectoryExists(wide); });
}

int64_t FileSize(const wchar_t* path) {
  if (IsEmpty(path)) return -1;
  int descriptor = -1;
  if (_wsopen_s(&descriptor, path, _O_RDONLY | _O_BINARY, _SH_DENYNO, 0) != 0) return -1;
  const int64_t size = _filelengthi64(descriptor);
  _close(descriptor);
  return size;
}
int64_t FileSize(const char* path) { return OnWide(path, [](const wchar_t* wide) { return FileSize(wide); }); }

wchar_t GetDriveLetter(const wchar_t* path) {
  if (IsEmpty(path)) return 0;
  const bool letter = (path[0] >= L'a' && path[0] <= L'z') || (path[0] >= L'A' && path[0] <= L'Z');
  return letter && path[1] == L':' ? path[0] : 0;
}
char GetDriveLetter(const char* path) {
  return static_cast<char>(OnWide(path, [](const wchar_t* wide) { return GetDriveLetter(wide); }));
}

bool GetFreeDiskSpace(const wchar_t* folder, uint64_t* bytes) {
  if (bytes == nullptr || !DirectoryExists(folder)) return false;
  using FreeSpaceEx = BOOL(WINAPI*)(LPCWSTR, PULARGE_INTEGER, PULARGE_INTEGER, PULARGE_INTEGER);
  const auto freeSpaceEx = reinterpret_cast<FreeSpaceEx>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"KERNEL32.DLL"), "GetDiskFreeSpaceExW")));
  ULARGE_INTEGER available;
  if (freeSpaceEx != nullptr && freeSpaceEx(folder, &available, nullptr, nullptr)) {
    *bytes = available.QuadPart;
    return true;
  }
  wchar_t drive = GetDriveLetter(folder);
  if (drive == 0) {
    wchar_t current[kPathUnits] = {};
    const DWORD length = GetCurrentDirectoryW(kPathUnits, current);
    if (length == 0 || length >= kPathUnits) return false;
    drive = GetDriveLetter(current);
  }
  const wchar_t root[] = {drive, L':', L'\\', L'\0'};
  DWORD sectorsPerCluster = 0;
  DWORD bytesPerSector = 0;
  DWORD freeClusters = 0;
  DWORD clusters = 0;
  if (!GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters)) return false;
  *bytes = static_cast<uint64_t>(bytesPerSector) * sectorsPerCluster * freeClusters;
  return true;
}
bool GetFreeDiskSpace(const char* folder, uint64_t* bytes) {
  return OnWide(folder, [bytes](const wchar_t* wide) { return GetFreeDiskSpace(wide, bytes); });
}

std::wstring ExtractDirectory(const wchar_t* path) { return SplitPart(path, PathPart::kDirectory); }
std::wstring ExtractBaseName(const wchar_t* path) { return SplitPart(path, PathPart::kBaseName); }
std::wstring ExtractExtension(const wchar_t* path) { return SplitPart(path, PathPart::kExtension); }
std::wstring ExtractFileName(const wchar_t* path) { return SplitPart(path, PathPart::kFileName); }
std::string ExtractDirectory(const char* path) {
  return OnWide(path, [](const wchar_t* wide) { return WideToNarrow(ExtractDirectory(wide)); });
}
std::string ExtractBaseName(const char* path) {
  return OnWide(path, [](const wchar_t* wide) { return WideToNarrow(ExtractBaseName(wide)); });
}
std::string ExtractExtension(const char* path) {
  return OnWide(path, [](const wchar_t* wide) { return WideToNarrow(ExtractExtension(wide)); });
}
std::string ExtractFileName(const char* path) {
  return OnWide(path, [](const wchar_t* wide) { return WideToNarrow(ExtractFileName(wide)); });
}

bool GetFullPath(const wchar_t* path, wchar_t* output, size_t outputSize) {
  if (output == nullptr || outputSize == 0) return false;
  output[0] = L'\0';
  if (IsEmpty(path)) return false;
  wchar_t work[kPathUnits] = {};
  if (std::wcschr(path, L'%') != nullptr) {
    const DWORD needed = ExpandEnvironmentStringsW(path, work, kPathUnits - 1);
    if (needed == 0 || needed > kPathUnits - 1) return false;
  } else if (!CopyWhole(std::wstring(path), work, kPathUnits)) {
    return false;
  }
  if (work[0] != L'.') return CopyWhole(std::wstring(work), output, outputSize);
  const DWORD capacity = outputSize > MAXDWORD ? MAXDWORD : static_cast<DWORD>(outputSize);
  const DWORD length = GetFullPathNameW(work, capacity, output, nullptr);
  if (length == 0 || length >= capacity) {
    output[0] = L'\0';
    return false;
  }
  return true;
}

bool GetFullPath(const char* path, char* output, size_t outputSize) {
  if (output == nullptr || outputSize == 0) return false;
  output[0] = '\0';
  wchar_t full[kPathUnits - 1] = {};
  if (!OnWide(path, [&full](const wchar_t* wide) { return GetFullPath(wide, full, kPathUnits - 1); })) return false;
  // A result the ANSI code page cannot spell would name another file.
  const std::string narrow = WideToNarrow(full);
  if (NarrowToWide(narrow) != full) return false;
  return CopyWhole(narrow, output, outputSize);
}
