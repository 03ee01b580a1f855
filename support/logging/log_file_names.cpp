#include "support/logging/log_file_names.h"

#include <cstdarg>
#include <cwchar>
#include <cwctype>
#include <functional>

#include <windows.h>

#include "support/fs/find_handle.h"

using fts::FindHandle;

namespace {

constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kTicksPerSecond = 10000000;  // file times count 100 ns
// Roll numbers grow past their printed width; longer runs of digits are
// someone else's names.
constexpr size_t kMaxNumberDigits = 9;
constexpr int32_t kHighestRollNumber = 999999999;

// Never cut: a path too long for the platform is refused whole by the caller.
std::wstring Format(const wchar_t* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  va_list measuring;
  va_copy(measuring, arguments);
  const int length = _vscwprintf(format, measuring);
  va_end(measuring);
  std::wstring text;
  if (length > 0) {
    text.resize(static_cast<size_t>(length) + 1);
    _vsnwprintf(&text[0], text.size(), format, arguments);
    text.resize(static_cast<size_t>(length));
  }
  va_end(arguments);
  return text;
}

int64_t Ticks(const FILETIME& time) {
  return static_cast<int64_t>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

FILETIME FromTicks(int64_t ticks) {
  return {static_cast<DWORD>(ticks), static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32)};
}

// The platform's local midnight that starts the day the age limit's days
// before `date`, as a UTC file time. Whole calendar days, so that a change
// of daylight saving time moves no file across the limit; the C run time's
// zone (the TZ variable) plays no part.
int64_t ExpiryThreshold(const std::tm& date, int32_t ageLimitDays) {
  SYSTEMTIME midnight = {};
  midnight.wYear = static_cast<WORD>(date.tm_year + 1900);
  midnight.wMonth = static_cast<WORD>(date.tm_mon + 1);
  midnight.wDay = static_cast<WORD>(date.tm_mday);
  FILETIME localTime;
  if (!SystemTimeToFileTime(&midnight, &localTime)) return 0;  // nothing is older: nothing is deleted
  // A limit reaching back before 1601 keeps everything (and cannot overflow).
  constexpr int64_t kTicksPerDay = kSecondsPerDay * kTicksPerSecond;
  if (ageLimitDays >= Ticks(localTime) / kTicksPerDay) return 0;
  const FILETIME firstKeptDay = FromTicks(Ticks(localTime) - ageLimitDays * kTicksPerDay);
  SYSTEMTIME local;
  SYSTEMTIME universal;
  FILETIME threshold;
  if (!FileTimeToSystemTime(&firstKeptDay, &local) || !TzSpecificLocalTimeToSystemTime(nullptr, &local, &universal) ||
      !SystemTimeToFileTime(&universal, &threshold)) {
    return 0;
  }
  return Ticks(threshold);
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

// The number in a name of the form head + number + tail, -1 for any other
// name. `head` may start with "*" (any run) and holds "?" for one digit of
// a date; the number has `width` to kMaxNumberDigits ASCII digits, and
// more than `width` only without a leading zero (as "%0*d" prints it); the
// comparison ignores case, as the platform's searches do.
int32_t NumberInName(const std::wstring& name, const std::wstring& head, size_t width, const std::wstring& tail) {
  if (name.size() < tail.size() || _wcsicmp(name.c_str() + name.size() - tail.size(), tail.c_str()) != 0) return -1;
  const size_t end = name.size() - tail.size();
  size_t start = end;
  while (start > 0 && name[start - 1] >= L'0' && name[start - 1] <= L'9') --start;
  const size_t digits = end - start;
  if (digits < width || digits > kMaxNumberDigits || (digits > width && name[start] == L'0')) return -1;
  const bool anyPrefix = !head.empty() && head[0] == L'*';
  const std::wstring fixed = anyPrefix ? head.substr(1) : head;
  if (start < fixed.size() || (!anyPrefix && start != fixed.size())) return -1;
  const size_t from = start - fixed.size();
  for (size_t i = 0; i < fixed.size(); ++i) {
    const wchar_t c = name[from + i];
    if (fixed[i] == L'?' ? c < L'0' || c > L'9' : towupper(fixed[i]) != towupper(c)) return -1;
  }
  return static_cast<int32_t>(wcstol(name.c_str() + start, nullptr, 10));
}

// A search for numbered names: the folder, the name's head and tail around
// the number, and its printed width.
struct NumberedNames {
  std::wstring folder;  // ends in a separator, or empty
  std::wstring head;
  size_t width;
  std::wstring tail;

  std::wstring Pattern() const { return folder + head + L"*" + tail; }
  // A folder's name counts too: its number is taken.
  int32_t NumberOf(const WIN32_FIND_DATAW& found) const { return NumberInName(found.cFileName, head, width, tail); }
};

void DeleteNumberedBefore(const NumberedNames& names, int64_t threshold, bool byCreationTime) {
  ForEachMatch(names.Pattern(), [&](const WIN32_FIND_DATAW& found) {
    if (IsDirectory(found) || names.NumberOf(found) < 0) return;
    const FILETIME& stamp = byCreationTime ? found.ftCreationTime : found.ftLastWriteTime;
    if (Ticks(stamp) < threshold) DeleteFileW((names.folder + found.cFileName).c_str());
  });
}

int32_t HighestNumber(const NumberedNames& names) {
  int32_t highest = -1;
  ForEachMatch(names.Pattern(), [&](const WIN32_FIND_DATAW& found) {
    const int32_t number = names.NumberOf(found);
    if (number > highest) highest = number;
  });
  return highest;
}

bool IsAllDigits(const wchar_t* name) {
  if (*name == L'\0') return false;
  for (; *name != L'\0'; ++name) {
    if (*name < L'0' || *name > L'9') return false;
  }
  return true;
}

std::wstring DateText(const std::tm& date) {
  return Format(L"%04d%02d%02d", date.tm_year + 1900, date.tm_mon + 1, date.tm_mday);
}

// The log-root files of one folder, for any date and number.
NumberedNames LogRootFiles(const LogFileNaming& naming, const std::wstring& folder) {
  return {folder + L"\\",
          Format(naming.dailyFile ? L"*%s_%s_%02d_????????_" : L"*%s_%s_%02d_", naming.computerName.c_str(),
                 naming.fileIdent.c_str(), naming.instanceNumber),
          4, L".txt"};
}

// Splits a plain base path into its folder and its name part.
NumberedNames PlainFiles(const std::wstring& base, const std::wstring& middle, const std::wstring& extension) {
  const std::wstring folder = FolderPart(base);
  return {folder, base.substr(folder.size()) + middle, 3, extension};
}

void DeleteOldPlainFiles(const LogFileNaming& naming, const std::wstring& base, const std::wstring& extension,
                         const std::tm& date) {
  const int64_t threshold = ExpiryThreshold(date, naming.fileAgeLimitDays);
  const NumberedNames dated = PlainFiles(base, L"", extension);
  ForEachMatch(dated.Pattern(), [&](const WIN32_FIND_DATAW& found) {
    // A date is exactly eight digits.
    const bool isDated = wcslen(found.cFileName) == dated.head.size() + 8 + extension.size() &&
                         NumberInName(found.cFileName, dated.head, 8, extension) >= 0;
    if (!IsDirectory(found) && isDated && Ticks(found.ftLastWriteTime) < threshold) {
      DeleteFileW((dated.folder + found.cFileName).c_str());
    }
  });
  DeleteNumberedBefore(PlainFiles(base, L"????????_", extension), threshold, false);
}

std::wstring ChoosePlainPath(const LogFileNaming& naming, const std::tm& date, bool newFileRequired) {
  const std::wstring& path = naming.logFile;
  const size_t dot = path.rfind(L'.');
  const std::wstring extension = dot == std::wstring::npos ? std::wstring() : path.substr(dot);
  std::wstring base = path.substr(0, path.size() - extension.size());
  if (naming.instanceNumber != 0) {
    base += Format(L"-%03d", naming.instanceNumber);
    if (naming.dailyFile) base += L"-";
  }
  if (naming.dailyFile && naming.fileAgeLimitDays > 0) DeleteOldPlainFiles(naming, base, extension, date);
  if (naming.dailyFile) base += DateText(date);
  if (naming.autoRoll || newFileRequired) {
    const int32_t highest = HighestNumber(PlainFiles(base, L"_", extension));
    if (highest >= kHighestRollNumber) return std::wstring();
    base += Format(L"_%03d", highest + 1);
  }
  return base + extension;
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
  const NumberedNames names{naming.logFolder + dayFolder + L"\\",
                            Format(L"*%s_%s_%02d%s_", naming.computerName.c_str(), naming.fileIdent.c_str(),
                                   naming.instanceNumber, dayPart.c_str()),
                            4, L".txt"};
  const int32_t highest = HighestNumber(names);
  return highest < 0 ? 0 : highest;
}

void DeleteOldLogRootFiles(const LogFileNaming& naming, const std::tm& date) {
  const int64_t threshold = ExpiryThreshold(date, naming.fileAgeLimitDays);
  ForEachMatch(naming.logFolder + L"\\????????", [&](const WIN32_FIND_DATAW& found) {
    if (!IsDirectory(found) || !IsAllDigits(found.cFileName)) return;
    const std::wstring dayFolder = naming.logFolder + L"\\" + found.cFileName;
    DeleteNumberedBefore(LogRootFiles(naming, dayFolder), threshold, true);
    RemoveDirectoryW(dayFolder.c_str());
  });
  DeleteNumberedBefore(LogRootFiles(naming, naming.logFolder), threshold, false);
}

std::wstring ChooseLogFilePath(const LogFileNaming& naming, const std::tm& date, bool newFileRequired) {
  if (!naming.logRootNaming) return ChoosePlainPath(naming, date, newFileRequired);
  if (naming.dailyFile && naming.fileAgeLimitDays > 0) DeleteOldLogRootFiles(naming, date);
  const int32_t highest = FindHighestFileNumber(naming, date);
  const bool continueNewest = !naming.autoRoll && !newFileRequired;
  if (!continueNewest && highest >= kHighestRollNumber) return std::wstring();
  const int32_t number = continueNewest ? (highest < 1 ? 1 : highest) : highest + 1;
  return BuildLogRootFileName(naming, date, number);
}
