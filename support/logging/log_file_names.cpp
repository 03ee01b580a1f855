#include "support/logging/log_file_names.h"

#include <cwchar>
#include <cwctype>
#include <functional>

#include <windows.h>

#include "support/fs/find_handle.h"

using fts::FindHandle;

namespace {

constexpr int64_t kSecondsPerDay = 86400;
// 100-ns intervals between 1601-01-01 and 1970-01-01.
constexpr int64_t kFileTimeUnixEpoch = 116444736000000000LL;

std::wstring Format(const wchar_t* format, ...) {
  wchar_t buffer[kLogPathMaxChars + 1];
  va_list arguments;
  va_start(arguments, format);
  int written = _vsnwprintf(buffer, kLogPathMaxChars, format, arguments);
  va_end(arguments);
  buffer[kLogPathMaxChars] = L'\0';
  return std::wstring(buffer, written < 0 ? kLogPathMaxChars : static_cast<size_t>(written));
}

int64_t FileTimeToCalendarTime(const FILETIME& time) {
  const int64_t ticks = (static_cast<int64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
  return (ticks - kFileTimeUnixEpoch) / 10000000;
}

// Calendar time of the local midnight that starts `date`, minus the age limit.
int64_t ExpiryThreshold(const std::tm& date, int32_t ageLimitDays) {
  std::tm midnight = {};
  midnight.tm_year = date.tm_year;
  midnight.tm_mon = date.tm_mon;
  midnight.tm_mday = date.tm_mday;
  midnight.tm_isdst = -1;
  return static_cast<int64_t>(std::mktime(&midnight)) - ageLimitDays * kSecondsPerDay;
}

// Calls `visit` for every entry matching the wildcard pattern; search
// failures count as no match.
void ForEachMatch(const std::wstring& pattern, const std::function<void(const WIN32_FIND_DATAW&)>& visit) {
  WIN32_FIND_DATAW found;
  FindHandle search(FindFirstFileW(pattern.c_str(), &found));
  if (!search.valid()) return;
  do {
    visit(found);
  } while (FindNextFileW(search.get(), &found));
}

bool IsDirectory(const WIN32_FIND_DATAW& found) { return (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }

// Everything up to and including the last separator; empty for a bare name.
std::wstring FolderPart(const std::wstring& path) {
  const size_t separator = path.find_last_of(L"\\/:");
  return separator == std::wstring::npos ? std::wstring() : path.substr(0, separator + 1);
}

void DeleteFilesBefore(const std::wstring& pattern, const std::wstring& folder, int64_t threshold,
                       bool byCreationTime) {
  ForEachMatch(pattern, [&](const WIN32_FIND_DATAW& found) {
    if (IsDirectory(found)) return;
    const FILETIME& stamp = byCreationTime ? found.ftCreationTime : found.ftLastWriteTime;
    if (FileTimeToCalendarTime(stamp) < threshold) DeleteFileW((folder + found.cFileName).c_str());
  });
}

bool IsAllDigits(const wchar_t* name) {
  if (*name == L'\0') return false;
  for (; *name != L'\0'; ++name) {
    if (!iswdigit(*name)) return false;
  }
  return true;
}

std::wstring DateText(const std::tm& date) {
  return Format(L"%04d%02d%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
}

// File-name pattern of one log-root folder, for any date and number.
std::wstring LogRootFilePattern(const LogFileNaming& naming, const std::wstring& folder) {
  return Format(naming.dailyFile ? L"%s\\*%s_%s_%02d_????????_????.txt" : L"%s\\*%s_%s_%02d_????.txt",
                folder.c_str(), naming.computerName.c_str(), naming.fileIdent.c_str(), naming.instanceNumber);
}

void DeleteOldPlainFiles(const LogFileNaming& naming, const std::wstring& base, const std::wstring& extension,
                         const std::tm& date) {
  const int64_t threshold = ExpiryThreshold(date, naming.fileAgeLimitDays);
  const std::wstring folder = FolderPart(base);
  for (const wchar_t* suffix : {L"????????", L"????????_???"}) {
    DeleteFilesBefore(base + suffix + extension, folder, threshold, false);
  }
}

// One above the largest roll number of base + "_NNN" + extension; 0 for none.
int32_t NextRollNumber(const std::wstring& base, const std::wstring& extension) {
  // Found names carry no folder: the number follows the base's own name part.
  const size_t nameLength = base.size() - FolderPart(base).size();
  int32_t next = 0;
  ForEachMatch(base + L"_???" + extension, [&](const WIN32_FIND_DATAW& found) {
    if (wcslen(found.cFileName) <= nameLength + 1) return;
    const int32_t number = static_cast<int32_t>(wcstol(found.cFileName + nameLength + 1, nullptr, 10));
    if (number + 1 > next) next = number + 1;
  });
  return next;
}

std::wstring ChoosePlainPath(const LogFileNaming& naming, const std::tm& date, bool newFileRequired) {
  const std::wstring path = naming.logFile.substr(0, kLogPathMaxChars);
  const size_t dot = path.rfind(L'.');
  const std::wstring extension = dot == std::wstring::npos ? std::wstring() : path.substr(dot);
  std::wstring base = path.substr(0, path.size() - extension.size());
  if (naming.instanceNumber != 0) {
    base += Format(L"-%03d", naming.instanceNumber);
    if (naming.dailyFile) base += L"-";
  }
  if (naming.dailyFile && naming.fileAgeLimitDays > 0) DeleteOldPlainFiles(naming, base, extension, date);
  if (naming.dailyFile) base += DateText(date);
  if (naming.autoRoll || newFileRequired) base += Format(L"_%03d", NextRollNumber(base, extension));
  return (base + extension).substr(0, kLogPathMaxChars);
}

}  // namespace

std::wstring LogComputerName() {
  wchar_t name[127] = {};
  DWORD size = 127;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) return std::wstring();
  std::wstring upper(name, size);
  for (wchar_t& c : upper) c = static_cast<wchar_t>(towupper(c));
  return upper;
}

std::wstring BuildLogRootFileName(const LogFileNaming& naming, const std::tm& date, int32_t number) {
  const wchar_t* folder = naming.logFolder.c_str();
  const std::wstring day = DateText(date);
  const std::wstring dayFolder = naming.dailyFolder ? L"\\" + day : std::wstring();
  const std::wstring dayPart = naming.dailyFile ? L"_" + day : std::wstring();
  return Format(L"%s%s\\%s%s_%s_%02d%s_%04d.txt", folder, dayFolder.c_str(), naming.filePrefix.c_str(),
                naming.computerName.c_str(), naming.fileIdent.c_str(), naming.instanceNumber, dayPart.c_str(),
                number);
}

int32_t FindHighestFileNumber(const LogFileNaming& naming, const std::tm& date) {
  const std::wstring day = DateText(date);
  const std::wstring dayFolder = naming.dailyFolder ? L"\\" + day : std::wstring();
  const std::wstring dayPart = naming.dailyFile ? L"_" + day : std::wstring();
  const std::wstring pattern =
      Format(L"%s%s\\*%s_%s_%02d%s_????.txt", naming.logFolder.c_str(), dayFolder.c_str(),
             naming.computerName.c_str(), naming.fileIdent.c_str(), naming.instanceNumber, dayPart.c_str());
  int32_t highest = 0;
  ForEachMatch(pattern, [&](const WIN32_FIND_DATAW& found) {
    const size_t length = wcslen(found.cFileName);
    if (length < 8) return;
    const int32_t number = static_cast<int32_t>(wcstol(found.cFileName + length - 8, nullptr, 10));
    if (number > highest) highest = number;
  });
  return highest;
}

void DeleteOldLogRootFiles(const LogFileNaming& naming, const std::tm& date) {
  const int64_t threshold = ExpiryThreshold(date, naming.fileAgeLimitDays);
  ForEachMatch(naming.logFolder + L"\\????????", [&](const WIN32_FIND_DATAW& found) {
    if (!IsDirectory(found) || !IsAllDigits(found.cFileName)) return;
    const std::wstring dayFolder = naming.logFolder + L"\\" + found.cFileName;
    DeleteFilesBefore(LogRootFilePattern(naming, dayFolder), dayFolder + L"\\", threshold, true);
    RemoveDirectoryW(dayFolder.c_str());
  });
  DeleteFilesBefore(LogRootFilePattern(naming, naming.logFolder), naming.logFolder + L"\\", threshold, false);
}

std::wstring ChooseLogFilePath(const LogFileNaming& naming, const std::tm& date, bool newFileRequired) {
  if (!naming.logRootNaming) return ChoosePlainPath(naming, date, newFileRequired);
  if (naming.dailyFile && naming.fileAgeLimitDays > 0) DeleteOldLogRootFiles(naming, date);
  const int32_t highest = FindHighestFileNumber(naming, date);
  const bool continueNewest = !naming.autoRoll && !newFileRequired;
  const int32_t number = continueNewest ? (highest < 1 ? 1 : highest) : highest + 1;
  return BuildLogRootFileName(naming, date, number);
}
