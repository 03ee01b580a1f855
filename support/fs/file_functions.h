#pragma once
// Small file, folder and module functions: existence tests, sizes, drive and
// path parts, free space, version numbers, and the fts folder functions that
// report through a callback. Narrow forms use the ANSI code page.

#include <cstdint>
#include <string>

#include "support/log_callback.h"

// False for a null or empty path and for a folder; true for a file held
// open by another process.
bool FileExists(const char* path);
bool FileExists(const wchar_t* path);
bool DirectoryExists(const char* path);
bool DirectoryExists(const wchar_t* path);

// Size in bytes, -1 when the file cannot be opened for reading.
int64_t FileSize(const char* path);
int64_t FileSize(const wchar_t* path);

// The drive letter as written ("d:\x" gives 'd'), 0 when there is none.
char GetDriveLetter(const char* path);
wchar_t GetDriveLetter(const wchar_t* path);

// Bytes free to the caller on the folder's volume.
bool GetFreeDiskSpace(const char* folder, uint64_t* bytes);
bool GetFreeDiskSpace(const wchar_t* folder, uint64_t* bytes);

// Parts of a path: "C:\Logs\trace.old.txt" gives "C:\Logs\", "trace.old",
// "txt" and "trace.old.txt".
std::string ExtractDirectory(const char* path);
std::wstring ExtractDirectory(const wchar_t* path);
std::string ExtractBaseName(const char* path);
std::wstring ExtractBaseName(const wchar_t* path);
std::string ExtractExtension(const char* path);
std::wstring ExtractExtension(const wchar_t* path);
std::string ExtractFileName(const char* path);
std::wstring ExtractFileName(const wchar_t* path);

// Expands environment variables and resolves paths that begin with a dot
// against the current directory; other paths are copied as they are.
bool GetFullPath(const char* path, char* output, size_t outputSize);
bool GetFullPath(const wchar_t* path, wchar_t* output, size_t outputSize);

// The fixed file version of a file, or of a module loaded in this process
// (a name that is not loaded is read as a file path).
bool GetFileVersion(const wchar_t* path, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision);
bool GetModuleVersion(const char* name, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision);
bool GetModuleVersion(const wchar_t* name, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision);

namespace fts {

// The version of a loaded module, with a report for each failure.
bool GetModuleVersionExt(const wchar_t* name, uint32_t* major, uint32_t* minor, uint32_t* build, uint32_t* revision,
                         LogCallback callback);

// Creates the folder and every missing folder above it.
bool ForceDirectory(const char* path, LogCallback callback);
bool ForceDirectory(const wchar_t* path, LogCallback callback);

// Total size of the folder's files (and its whole tree's when recursive);
// -1 for a null folder.
int64_t FolderSize(const char* folder, LogCallback callback, bool recursive);
int64_t FolderSize(const wchar_t* folder, LogCallback callback, bool recursive);

}  // namespace fts
