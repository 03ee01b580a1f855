#include "support/threads/crash_dump.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwchar>
#include <vector>

#include "support/fs/find_handle.h"
#include "support/fs/system_error.h"
#include "support/fs/unique_handle.h"
#include "support/logging/debug_log.h"
#include "support/threads/symbol_engine.h"

namespace {

constexpr size_t kPathChars = kCrashDumpFolderChars + MAX_PATH + 64;

// Set outside a crash, read on the crash path without the heap.
struct PublishedSettings {
  SRWLOCK lock = SRWLOCK_INIT;
  wchar_t folder[kCrashDumpFolderChars + 1] = {};
  DWORD type = 0;
  DWORD count = 10;
};
PublishedSettings published;
std::atomic<bool> dumpsEnabled{false};

// One dump in flight: the helper fills it, and whichever of the helper and
// the waiting crash path settles the outcome first decides the log line. The
// waiting thread writes it: once the crash path has the log file to itself,
// only the crashing thread's lines reach it.
struct Outcome {
  wchar_t path[kPathChars] = {};
  const wchar_t* step = nullptr;  // null: written
  DWORD error = 0;
};

struct DumpJob {
  EXCEPTION_POINTERS* exception = nullptr;
  DWORD threadId = 0;
  wchar_t path[kPathChars] = {};
  std::atomic<bool> named{false};
  // Each side fills its own and then publishes it: the one published first
  // is complete when read, however late the other side comes.
  Outcome byHelper;
  Outcome byWaiter;
  std::atomic<const Outcome*> settled{nullptr};
  wchar_t folder[kCrashDumpFolderChars + 1] = {};
  DWORD removeError = 0;
  bool written = false;
};
DumpJob job;
// Set while a job is in flight, and for good once one was cut off by the time
// bound: its helper may still use the job.
std::atomic<bool> jobBusy{false};
// The number of the job a helper may still claim, 0 once claimed or given up;
// a helper that starts late finds its number gone and leaves the job alone.
std::atomic<uint64_t> openTicket{0};
uint64_t ticketsIssued = 0;

// The executable's file name without its folder and extension.
bool ExecutableStem(wchar_t (&stem)[MAX_PATH]) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  if (length == 0 || length >= MAX_PATH) return false;
  const wchar_t* slash = std::wcsrchr(path, L'\\');
  std::wcsncpy(stem, slash != nullptr ? slash + 1 : path, MAX_PATH - 1);
  stem[MAX_PATH - 1] = L'\0';
  wchar_t* dot = std::wcsrchr(stem, L'.');
  if (dot != nullptr) *dot = L'\0';
  return stem[0] != L'\0';
}

bool AllDigits(const wchar_t* text, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (text[i] < L'0' || text[i] > L'9') return false;
  }
  return true;
}

// The "yyyymmdd_hhmmss" of a name of our pattern "<stem>_<pid>_<stamp>.dmp",
// or empty for any other name.
std::wstring StampOfOwnDump(const std::wstring& name, const wchar_t* stem) {
  const size_t stemLength = std::wcslen(stem);
  constexpr size_t kTail = 1 + 15 + 4;  // "_yyyymmdd_hhmmss.dmp"
  if (name.size() < stemLength + 2 + kTail ||
      CompareStringOrdinal(name.c_str(), static_cast<int>(stemLength), stem, static_cast<int>(stemLength), TRUE) !=
          CSTR_EQUAL ||
      name[stemLength] != L'_') {
    return std::wstring();
  }
  const size_t pidLength = name.size() - stemLength - 1 - kTail;
  const wchar_t* pid = name.c_str() + stemLength + 1;
  const wchar_t* stamp = pid + pidLength + 1;
  if (pidLength == 0 || !AllDigits(pid, pidLength) || stamp[-1] != L'_' || !AllDigits(stamp, 8) ||
      stamp[8] != L'_' || !AllDigits(stamp + 9, 6) || std::wcscmp(stamp + 15, L".dmp") != 0) {
    return std::wstring();
  }
  return std::wstring(stamp, 15);
}

// Removes the oldest dumps of our pattern beyond `count`, never `kept` (the
// one just written) and nothing else: no other name, no folder, no link.
// Returns the first error of a removal that failed, else 0.
DWORD RemoveOldDumps(const wchar_t* folder, const wchar_t* stem, DWORD count, const wchar_t* kept) {
  const std::wstring prefix = std::wstring(folder) + L"\\";
  WIN32_FIND_DATAW found;
  const fts::FindHandle search(FindFirstFileExW((prefix + stem + L"_*.dmp").c_str(), FindExInfoBasic, &found,
                                                FindExSearchNameMatch, nullptr, 0));
  if (!search.valid()) return 0;
  std::vector<std::pair<std::wstring, std::wstring>> dumps;  // stamp, name
  do {
    if ((found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) continue;
    const std::wstring name = found.cFileName;
    std::wstring stamp = StampOfOwnDump(name, stem);
    if (!stamp.empty() && prefix + name != kept) dumps.emplace_back(std::move(stamp), name);
  } while (FindNextFileW(search.get(), &found));
  std::sort(dumps.begin(), dumps.end());
  DWORD firstError = 0;
  // The new dump counts as one of those kept.
  for (size_t excess = dumps.size() + 1 > count ? dumps.size() + 1 - count : 0, i = 0; i < excess; ++i) {
    if (!DeleteFileW((prefix + dumps[i].second).c_str()) && firstError == 0) firstError = GetLastError();
  }
  return firstError;
}

// Names the dump file "<folder>\<stem>_<pid>_<yyyymmdd_hhmmss>.dmp".
bool NameDump(const wchar_t* folder, const wchar_t* stem, wchar_t (&path)[kPathChars]) {
  SYSTEMTIME now;
  GetLocalTime(&now);
  const int written = std::swprintf(path, kPathChars, L"%ls\\%ls_%lu_%04u%02u%02u_%02u%02u%02u.dmp", folder, stem,
                                    static_cast<unsigned long>(GetCurrentProcessId()), now.wYear, now.wMonth,
                                    now.wDay, now.wHour, now.wMinute, now.wSecond);
  return written > 0 && static_cast<size_t>(written) < kPathChars;
}

// MiniDumpWriteDump reports HRESULTs; a wrapped Win32 error reads better bare.
DWORD PlainError(DWORD error) { return (error & 0xFFFF0000u) == 0x80070000u ? (error & 0xFFFFu) : error; }

// Settles the outcome, a null step meaning success; the first published wins.
void Report(Outcome& outcome, const wchar_t* path, const wchar_t* step, DWORD error) {
  if (job.settled.load() != nullptr) return;
  std::wcsncpy(outcome.path, path, kPathChars - 1);
  outcome.path[kPathChars - 1] = L'\0';
  outcome.step = step;
  outcome.error = error;
  const Outcome* unsettled = nullptr;
  job.settled.compare_exchange_strong(unsettled, &outcome);
}

// On the waiting thread: the settled outcome, and the old dumps' removal
// when the helper has finished.
void LogOutcome(bool helperFinished) {
  const Outcome* outcome = job.settled.load();
  if (outcome == nullptr) return;
  if (outcome->step == nullptr) {
    DebugLog(1, L"Crash dump: %ls", outcome->path);
  } else {
    const std::wstring text = SystemErrorText(outcome->error);
    DebugLog(1, L"Crash dump failed: %ls [%ls: %ls %lu]", outcome->path, outcome->step, text.c_str(),
             static_cast<unsigned long>(outcome->error));
  }
  if (helperFinished && job.removeError != 0) {
    DebugLog(1, L"Crash dump: old dumps in %ls not removed [%ls %lu]", job.folder,
             SystemErrorText(job.removeError).c_str(), static_cast<unsigned long>(job.removeError));
  }
}

// Writes the file and reports; on failure removes what it created.
void WriteDump(const wchar_t* folder, const wchar_t* stem, DWORD type, DWORD count) {
  if (!NameDump(folder, stem, job.path)) {
    Report(job.byHelper, folder, L"name", ERROR_FILENAME_EXCED_RANGE);
    return;
  }
  job.named = true;
  // CREATE_NEW: never another file, nor one a link put in our name's place.
  UniqueHandle file(
      CreateFileW(job.path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file) {
    Report(job.byHelper, job.path, L"CreateFile", GetLastError());
    return;
  }
  // Deleted when closed unless complete: a dump cut off by the time bound,
  // when the process ends under it, leaves no file a debugger would choke on.
  FILE_DISPOSITION_INFO disposition = {TRUE};
  SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition));
  // A crashing thread that holds the engine (a fault inside DbgHelp) waits for
  // this one and makes no call meanwhile: the dump goes ahead under its hold.
  const bool borrowed = StackTrace.HeldBy(job.threadId);
  if (!borrowed && !StackTrace.Acquire()) {
    Report(job.byHelper, job.path, L"symbol engine", GetLastError());
    return;
  }
  const DbgHelpFunctions& dbghelp = StackTrace.Functions();
  MINIDUMP_EXCEPTION_INFORMATION exception = {job.threadId, job.exception, FALSE};
  const BOOL written = dbghelp.MiniDumpWriteDump != nullptr &&
                       dbghelp.MiniDumpWriteDump(StackTrace.Process(), GetCurrentProcessId(), file.get(),
                                                 static_cast<MINIDUMP_TYPE>(type), &exception, nullptr, nullptr);
  const DWORD error = dbghelp.MiniDumpWriteDump != nullptr ? PlainError(GetLastError()) : ERROR_PROC_NOT_FOUND;
  if (!borrowed) StackTrace.Unlock();
  if (!written) {
    Report(job.byHelper, job.path, L"MiniDumpWriteDump", error);
    return;
  }
  disposition.DeleteFile = FALSE;
  if (!SetFileInformationByHandle(file.get(), FileDispositionInfo, &disposition, sizeof(disposition))) {
    Report(job.byHelper, job.path, L"keep", GetLastError());
    return;
  }
  file.reset();
  job.written = true;
  Report(job.byHelper, job.path, nullptr, 0);
  std::wcsncpy(job.folder, folder, kCrashDumpFolderChars);
  job.removeError = RemoveOldDumps(folder, stem, count, job.path);
}

DWORD WINAPI WriteDumpThread(void* ticket) {
  uint64_t expected = reinterpret_cast<uintptr_t>(ticket);
  if (!openTicket.compare_exchange_strong(expected, 0)) return 0;
  wchar_t folder[kCrashDumpFolderChars + 1];
  DWORD type = 0;
  DWORD count = 0;
  AcquireSRWLockShared(&published.lock);
  std::wmemcpy(folder, published.folder, kCrashDumpFolderChars + 1);
  type = published.type;
  count = published.count;
  ReleaseSRWLockShared(&published.lock);
  wchar_t stem[MAX_PATH];
  if (!ExecutableStem(stem)) {
    Report(job.byHelper, folder, L"GetModuleFileName", GetLastError());
    return 0;
  }
  WriteDump(folder, stem, type, count);
  return 0;
}

// Whether the helper claimed its job within kCrashDumpStartMilliseconds; if
// not, the job is withdrawn. A new thread needs the loader lock, and under
// Wine the heap lock, before it runs: a crash on a thread holding either
// would otherwise keep the process for the whole bound.
bool HelperStarted(HANDLE writer, uint64_t ticket) {
  for (DWORD waited = 0; waited < kCrashDumpStartMilliseconds; waited += 10) {
    if (openTicket != ticket || WaitForSingleObject(writer, 10) == WAIT_OBJECT_0) return true;
  }
  uint64_t expected = ticket;
  return !openTicket.compare_exchange_strong(expected, 0);
}

// "X:\..." or "\\server\...": any other form follows the current directory
// or drive, whatever they are at the crash.
bool IsFullPath(const std::wstring& path) {
  const auto separator = [](wchar_t c) { return c == L'\\' || c == L'/'; };
  if (path.size() >= 2 && separator(path[0]) && separator(path[1])) return true;
  const wchar_t drive = static_cast<wchar_t>(path.empty() ? 0 : path[0] | 0x20);
  return path.size() >= 3 && drive >= L'a' && drive <= L'z' && path[1] == L':' && separator(path[2]);
}

}  // namespace

void ConfigureCrashDump(const CrashDumpSettings& settings) {
  std::wstring folder = settings.folder;
  while (!folder.empty() && (folder.back() == L'\\' || folder.back() == L'/')) folder.pop_back();
  const bool full = IsFullPath(settings.folder);
  const bool enabled = full && !folder.empty() && folder.size() <= kCrashDumpFolderChars;
  AcquireSRWLockExclusive(&published.lock);
  std::wmemset(published.folder, L'\0', kCrashDumpFolderChars + 1);
  if (enabled) std::wmemcpy(published.folder, folder.c_str(), folder.size());
  published.type = settings.type;
  published.count = settings.count != 0 ? settings.count : 10;
  ReleaseSRWLockExclusive(&published.lock);
  dumpsEnabled = enabled;
  if (!settings.folder.empty() && !full) {
    DebugLog(1, L"CrashDumpFolder is not a full path: %ls: no crash dumps", settings.folder.c_str());
  } else if (!folder.empty() && !enabled) {
    DebugLog(1, L"CrashDumpFolder longer than %u characters: no crash dumps",
             static_cast<unsigned>(kCrashDumpFolderChars));
  }
}

bool CrashDumpsEnabled() { return dumpsEnabled; }

bool WriteCrashDump(EXCEPTION_POINTERS* exception, DWORD threadId) {
  if (!dumpsEnabled) return false;
  if (jobBusy.exchange(true)) {
    DebugLog(1, "Crash dump failed: another dump is being written");
    return false;
  }
  job.exception = exception;
  job.threadId = threadId;
  job.named = false;
  job.settled = nullptr;
  job.removeError = 0;
  job.written = false;
  const uint64_t ticket = ++ticketsIssued;
  openTicket = ticket;
  const UniqueHandle writer(
      CreateThread(nullptr, 0, WriteDumpThread, reinterpret_cast<void*>(static_cast<uintptr_t>(ticket)), 0, nullptr));
  if (!writer) {
    Report(job.byWaiter, L"(not named)", L"CreateThread", GetLastError());
    LogOutcome(false);
    openTicket = 0;
    jobBusy = false;
    return false;
  }
  if (!HelperStarted(writer.get(), ticket)) {
    Report(job.byWaiter, L"(not named)", L"helper thread did not start", ERROR_TIMEOUT);
    LogOutcome(false);
    jobBusy = false;
    return false;
  }
  if (WaitForSingleObject(writer.get(), kCrashDumpWaitMilliseconds) != WAIT_OBJECT_0) {
    Report(job.byWaiter, job.named ? job.path : L"(not named)", L"not finished in time", ERROR_TIMEOUT);
    LogOutcome(false);
    return false;
  }
  LogOutcome(true);
  const bool written = job.written;
  jobBusy = false;
  return written;
}
