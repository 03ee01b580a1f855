#pragma once
// A minidump of a crashing process, for the debugger, beside the text report:
// DbgHelp's MiniDumpWriteDump writes it into the folder the logger's
// CrashDumpFolder value names, as <executable>_<process id>_<yyyymmdd_hhmmss>.dmp,
// and the folder keeps the newest CrashDumpCount files of that pattern.

#include <windows.h>

#include <cstdint>
#include <string>

struct CrashDumpSettings {
  std::wstring folder;  // empty: no dump
  uint32_t type = 0;    // MINIDUMP_TYPE flags; 0 is MiniDumpNormal
  uint32_t count = 10;  // dumps kept, the new one included
};

// The longest folder a dump is written to, in characters.
constexpr size_t kCrashDumpFolderChars = 260;
// Bounds the whole dump, waiting for the symbol engine included, so that a
// dump that cannot finish (DbgHelp blocked on a lock the crashed thread
// holds) does not keep the process alive; a dump cut off by it is reported
// as failed and its file goes when the process ends. Generous, since Wine's
// DbgHelp takes seconds for even a small process on a busy machine.
constexpr DWORD kCrashDumpWaitMilliseconds = 30000;
// Bounds the helper thread's start within that: a thread that has not run by
// then is blocked on a lock the crashed thread holds.
constexpr DWORD kCrashDumpStartMilliseconds = 2000;

// What the crash path uses from then on; a folder that is not a full path
// or is longer than kCrashDumpFolderChars switches dumps off.
void ConfigureCrashDump(const CrashDumpSettings& settings);

// Writes the dump of an exception raised on thread `threadId` from a helper
// thread (the faulting one may have no stack left) and waits for it at most
// kCrashDumpWaitMilliseconds. Logs "Crash dump: PATH" or "Crash dump failed:
// PATH [REASON: TEXT CODE]". True when the dump was written; false, and
// nothing logged, without a folder.
bool WriteCrashDump(EXCEPTION_POINTERS* exception, DWORD threadId);

// Whether a crash now would write a dump: the crash path's deadline then
// allows for it.
bool CrashDumpsEnabled();
