#pragma once
// The process-wide symbol engine over DbgHelp.dll. The library is loaded on
// first use rather than linked, so that a machine without it still runs and
// only loses its stack dumps; a failed load is tried again on the next use.
// DbgHelp is not thread-safe: every call into it happens under the engine's
// lock, which Initialize takes and the caller releases. The lock is taken
// with a bound, since crash reports and dumps need it: a holder that never
// lets go, or a dumper terminated while it held it, costs a report its
// stack, never the report.

#include <windows.h>

#include <dbghelp.h>

#include <atomic>
#include <cstddef>
#include <memory>
#include <string>

#include "support/fs/unique_handle.h"

// DbgHelp's entry points as resolved by name; null for a name the loaded
// library lacks (or before it is loaded).
struct DbgHelpFunctions {
  decltype(&::SymInitialize) SymInitialize = nullptr;
  decltype(&::SymGetOptions) SymGetOptions = nullptr;
  decltype(&::SymSetOptions) SymSetOptions = nullptr;
  decltype(&::StackWalk64) StackWalk64 = nullptr;
  decltype(&::SymFunctionTableAccess64) SymFunctionTableAccess64 = nullptr;
  decltype(&::SymGetModuleBase64) SymGetModuleBase64 = nullptr;
  decltype(&::SymGetModuleInfo64) SymGetModuleInfo64 = nullptr;
  decltype(&::SymGetSymFromAddr64) SymGetSymFromAddr64 = nullptr;
  decltype(&::SymGetLineFromAddr64) SymGetLineFromAddr64 = nullptr;
  decltype(&::SymCleanup) SymCleanup = nullptr;
  decltype(&::MiniDumpWriteDump) MiniDumpWriteDump = nullptr;
};

class SymbolEngine {
 public:
  // How the engine loads a library; replaceable so that a missing DbgHelp
  // can be simulated.
  using LibraryLoader = HMODULE (*)(const char* name);

  static constexpr size_t kSymbolPathSize = 8192;
  // Short enough that a crash report and its dump, each waiting once, still
  // end the process within seconds.
  static constexpr DWORD kLockWaitMilliseconds = 2000;

  // Computes the symbol path and opens the own process; loads nothing.
  SymbolEngine();
  ~SymbolEngine();
  SymbolEngine(const SymbolEngine&) = delete;
  SymbolEngine& operator=(const SymbolEngine&) = delete;

  // The search path: current folder, executable's folder, _NT_SYMBOL_PATH,
  // _NT_ALTERNATE_SYMBOL_PATH and SYSTEMROOT, ";"-joined, cut to size-1.
  // Returns the buffer, or null for a null buffer.
  char* GetSymbolPath(char* buffer, size_t size);

  // True with the lock held and the library loaded (release it with Unlock);
  // false, logged, with the lock not held: the library is missing, or the
  // lock was not free within kLockWaitMilliseconds (last error ERROR_TIMEOUT)
  // or was abandoned by a thread that ended holding it. DbgHelp's state is
  // unknown after that, so the engine then refuses for good.
  bool Acquire();
  // Acquire, then SymInitialize once; same contract.
  bool Initialize();
  bool IsInitialized() const { return initialized_; }
  void Unlock();
  // Whether thread `threadId` holds the lock now.
  bool HeldBy(DWORD threadId) const { return holder_ == threadId; }

  // Valid while the lock is held after a successful Initialize.
  const DbgHelpFunctions& Functions() const { return functions_; }
  HANDLE Process() const { return process_.get(); }
  const char* SymbolPath() const { return symbolPath_.get(); }

  void SetLibraryLoader(LibraryLoader loader);

 private:
  void LoadDbgHelp();
  bool Lock();

  UniqueHandle process_;
  DbgHelpFunctions functions_;
  bool initialized_ = false;
  std::unique_ptr<char[]> symbolPath_;
  // A mutex rather than a critical section: it is recursive, waits with a
  // bound and tells when its owner ended without releasing it.
  UniqueHandle lock_;
  std::atomic<DWORD> holder_{0};
  // Changed by the holder only.
  int depth_ = 0;
  std::atomic<bool> abandoned_{false};
  UniqueLibrary library_;
  std::atomic<LibraryLoader> loader_;
};

// The folder part of an executable's full path: cut at the last backslash,
// slash or colon (a colon stays, a separator goes); empty when there is no
// such character or it is the first one.
std::string ExecutableFolder(const std::string& path);

// The process-wide engine (support/library_objects.inc).
extern SymbolEngine StackTrace;
