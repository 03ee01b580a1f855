#include "provider_log/provider_log.h"

#include <share.h>

#include <cstdio>
#include <ctime>
#include <cwchar>
#include <cwctype>

#include <windows.h>

#include "support/fs/code_page.h"
#include "support/fs/critical_section_lock.h"

namespace {

constexpr size_t kFolderUnits = 260;
constexpr size_t kRecordCopyUnits = 2047;
constexpr const wchar_t kBaseName[] = L"log";
constexpr int kDefaultThreshold = 3;

// Serialises every caller: the polling thread and WMI's threads log at once.
CriticalSectionLock g_logLock;
int g_threshold = kDefaultThreshold;
wchar_t g_folder[kFolderUnits + 1] = {};
std::wstring g_lastMessage;

wchar_t LevelLetter(int level) {
  switch (level) {
    case 0: return L'C';
    case 1: return L'E';
    case 2: return L'W';
    case 4: return L'D';
    case 5: return L'O';
    default: return L' ';
  }
}

bool IsSharingError(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_SHARING_BUFFER_EXCEEDED ||
         error == ERROR_TOO_MANY_NAMES || error == ERROR_TOO_MANY_SESS;
}

// A folder another process holds open in a way that blocks the attribute
// query still counts as existing.
bool FolderExists(const wchar_t* path) {
  const DWORD attributes = GetFileAttributesW(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return IsSharingError(GetLastError());
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool EnsureFolder(const wchar_t* path) { return FolderExists(path) || CreateDirectoryW(path, nullptr) != 0; }

std::tm UtcNow() {
  const std::time_t now = std::time(nullptr);
  std::tm utc = {};
  gmtime_s(&utc, &now);
  return utc;
}

void ComputerNameUpper(wchar_t (&name)[256]) {
  DWORD size = 255;
  if (!GetComputerNameExW(ComputerNameDnsHostname, name, &size)) wcscpy(name, L"Unknown");
  for (wchar_t* unit = name; *unit != L'\0'; ++unit) *unit = static_cast<wchar_t>(towupper(*unit));
}

// The ANSI code page of the user's default locale, in which lines are written;
// the system's for a locale that has none.
int UserAnsiCodePage() {
  DWORD codePage = 0;
  const int units = GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_IDEFAULTANSICODEPAGE | LOCALE_RETURN_NUMBER,
                                   reinterpret_cast<wchar_t*>(&codePage), sizeof(codePage) / sizeof(wchar_t));
  return units != 0 && codePage != 0 ? static_cast<int>(codePage) : kAnsiCodePage;
}

ErrorRecord* FillRecord(ErrorRecord* record, const wchar_t* message) {
  if (record == nullptr || message == nullptr || message[0] == L'\0') return nullptr;
  if (IsBadWritePtr(record, 8) || record->tag != kErrorRecordTag) return nullptr;
  const size_t length = wcsnlen(message, kRecordCopyUnits);
  wmemcpy(record->text, message, length);
  wmemset(record->text + length, L'\0', kErrorRecordTextUnits - length);
  return record;
}

// Steps after the repeat check; the caller holds the lock.
void WriteLine(int level, const wchar_t* message, const char* function, int line) {
  if (g_folder[0] == L'\0') {
    // Without TEMP there is no log folder: skip writing.
    if (GetEnvironmentVariableW(L"TEMP", g_folder, kFolderUnits) == 0) {
      g_folder[0] = L'\0';
      return;
    }
    g_folder[kFolderUnits] = L'\0';
  }
  if (!EnsureFolder(g_folder)) return;

  const std::tm day = UtcNow();
  const size_t folderLength = wcslen(g_folder);
  const wchar_t* separator = (folderLength > 0 && g_folder[folderLength - 1] == L'\\') ? L"" : L"\\";
  wchar_t dayFolder[260];
  if (swprintf(dayFolder, 260, L"%ls%ls%04d%02d%02d", g_folder, separator, day.tm_year + 1900, day.tm_mon + 1,
               day.tm_mday) < 0) {
    return;
  }
  if (!EnsureFolder(dayFolder)) return;

  wchar_t computer[256];
  ComputerNameUpper(computer);
  wchar_t filePath[276];
  if (swprintf(filePath, 276, L"%ls\\%ls_%ls_%04d%02d%02d.txt", dayFolder, computer, kBaseName,
               day.tm_year + 1900, day.tm_mon + 1, day.tm_mday) < 0) {
    return;
  }

  if (g_threshold <= kDefaultThreshold && level > g_threshold) return;

  const std::tm now = UtcNow();
  wchar_t stamp[32];
  swprintf(stamp, 32, L"%02d/%02d %02d:%02d:%02d", now.tm_mon + 1, now.tm_mday, now.tm_hour, now.tm_min,
           now.tm_sec);
  wchar_t text[kLogMessageUnits];
  const wchar_t letter = LevelLetter(level);
  const char* functionName = function != nullptr ? function : "";
  const int written = level == 4
                          ? swprintf(text, kLogMessageUnits, L"%ls|%lc|%d| [%hs]- %ls\r\n", stamp, letter, line,
                                     functionName, message)
                          : swprintf(text, kLogMessageUnits, L"%ls|%lc [%hs]- %ls\r\n", stamp, letter, functionName,
                                     message);
  if (written < 0) {
    // Too long for the line buffer: keep what fits and still end the line.
    text[kLogMessageUnits - 3] = L'\r';
    text[kLogMessageUnits - 2] = L'\n';
    text[kLogMessageUnits - 1] = L'\0';
  }

  // Converted here rather than by the run-time library's locale: that locale
  // belongs to the whole host process and is not ours to change.
  static const int codePage = UserAnsiCodePage();
  const std::string narrow = WideToNarrow(text, codePage);
  FILE* file = _wfsopen(filePath, L"ab", _SH_DENYNO);
  if (file == nullptr) return;
  fwrite(narrow.data(), 1, narrow.size(), file);
  fclose(file);
}

}  // namespace

intptr_t WriteProviderLog(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char* function,
                          int32_t line, ErrorRecord* record) {
  if (message == nullptr || message[0] == L'\0') return 0;
  ScopedLock guard(g_logLock);
  ErrorRecord* result = FillRecord(record, message);
  try {
    if (g_lastMessage == message) return reinterpret_cast<intptr_t>(result);
    g_lastMessage = message;
    WriteLine(level, message, function, line);
  } catch (...) {
    // Logging must never take its caller down.
  }
  return reinterpret_cast<intptr_t>(result);
}

int GetLogLevel() {
  ScopedLock guard(g_logLock);
  return g_threshold;
}

std::wstring GetLogFolder() {
  ScopedLock guard(g_logLock);
  return g_folder;
}

int SetLogLevelAndFolder(const wchar_t* folder, int level) {
  if (folder == nullptr || folder[0] == L'\0' || level < -1 || level > 17) return -1;
  ScopedLock guard(g_logLock);
  g_threshold = level;
  wcsncpy(g_folder, folder, kFolderUnits);
  g_folder[kFolderUnits] = L'\0';
  return 0;
}

int LevelToEventType(int level) {
  if (level == 0 || level == 1) return EVENTLOG_ERROR_TYPE;
  if (level == 2) return EVENTLOG_WARNING_TYPE;
  return EVENTLOG_INFORMATION_TYPE;
}
