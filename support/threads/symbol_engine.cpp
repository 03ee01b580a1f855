#include "support/threads/symbol_engine.h"

#include <cstring>

#include "support/fs/system_error.h"
#include "support/logging/debug_log.h"
#include "support/threads/exception_filter.h"

namespace {

const char kGetSymbolPath[] = "SymbolEngine::GetSymbolPath";

HMODULE LoadThroughFilterChain(const char* name) { return LoadLibraryPreservingFilter(name); }

// Logs a component of the symbol path that could not be read.
void ReportMissingComponent(const char* format) {
  const DWORD error = GetLastError();
  DebugLog(2, format, kGetSymbolPath, SystemErrorTextNarrow(error).c_str(), static_cast<int>(error));
}

// Reads one environment variable into the buffer; false when it is unset,
// empty or does not fit.
bool ReadEnvironment(const char* name, char* buffer, size_t size) {
  const DWORD length = GetEnvironmentVariableA(name, buffer, static_cast<DWORD>(size));
  if (length >= size) SetLastError(ERROR_INSUFFICIENT_BUFFER);
  return length != 0 && length < size;
}

void AppendComponent(std::string& path, const char* component) {
  if (!path.empty()) path += ';';
  path += component;
}

template <typename Function>
void Resolve(HMODULE library, const char* name, Function& function) {
  function = reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(library, name)));
}

constexpr char kUnusableText[] = "Symbol engine unusable since a thread ended holding it: call stack left out";

}  // namespace

std::string ExecutableFolder(const std::string& path) {
  const size_t cut = path.find_last_of("\\/:");
  if (cut == std::string::npos || cut == 0) return std::string();
  return path.substr(0, path[cut] == ':' ? cut + 1 : cut);
}

SymbolEngine::SymbolEngine()
    : symbolPath_(new char[kSymbolPathSize]),
      lock_(CreateMutexW(nullptr, FALSE, nullptr)),
      loader_(LoadThroughFilterChain) {
  GetSymbolPath(symbolPath_.get(), kSymbolPathSize);
  process_.reset(OpenProcess(PROCESS_ALL_ACCESS, FALSE, GetCurrentProcessId()));
}

SymbolEngine::~SymbolEngine() {
  if (initialized_ && functions_.SymCleanup != nullptr) functions_.SymCleanup(process_.get());
}

char* SymbolEngine::GetSymbolPath(char* buffer, size_t size) {
  if (buffer == nullptr) {
    DebugLog(2, "%s Buffer is null", kGetSymbolPath);
    return nullptr;
  }
  if (size == 0) return buffer;
  std::string path;
  const DWORD limit = static_cast<DWORD>(size);

  const DWORD folderLength = GetCurrentDirectoryA(limit, buffer);
  if (folderLength != 0 && folderLength < limit) {
    AppendComponent(path, buffer);
  } else {
    ReportMissingComponent("[%s] Cannot get current folder name, the function returns error: %s. code (%d)");
  }

  const DWORD moduleLength = GetModuleFileNameA(nullptr, buffer, limit);
  if (moduleLength != 0 && moduleLength < limit) {
    const std::string folder = ExecutableFolder(buffer);
    if (!folder.empty()) AppendComponent(path, folder.c_str());
  } else {
    ReportMissingComponent("[%s] Cannot get module file name, the function returns error: %s. code (%d)");
  }

  static const struct {
    const char* name;
    const char* failure;
  } kVariables[] = {
      {"_NT_SYMBOL_PATH", "[%s] Cannot get env value for _NT_SYMBOL_PATH, the function returns error: %s. code (%d)"},
      {"_NT_ALTERNATE_SYMBOL_PATH",
       "[%s] Cannot get env value for _NT_ALTERNATE_SYMBOL_PATH, the function returns error: %s. code (%d)"},
      {"SYSTEMROOT", "[%s] Cannot get env value for SYSTEMROOT, the function returns error: %s. code (%d)"},
  };
  for (const auto& variable : kVariables) {
    if (ReadEnvironment(variable.name, buffer, size)) {
      AppendComponent(path, buffer);
    } else {
      ReportMissingComponent(variable.failure);
    }
  }

  OutputDebugStringA("Symbols Path: ");
  OutputDebugStringA(path.c_str());
  OutputDebugStringA("\n");
  const size_t length = path.size() < size ? path.size() : size - 1;
  std::memcpy(buffer, path.data(), length);
  buffer[length] = '\0';
  return buffer;
}

void SymbolEngine::SetLibraryLoader(LibraryLoader loader) {
  loader_ = loader != nullptr ? loader : LoadThroughFilterChain;
}

void SymbolEngine::LoadDbgHelp() {
  library_.reset(loader_.load()("DbgHelp.dll"));
  if (!library_) {
    const DWORD error = GetLastError();
    DebugLog(2, "[%s] Cannot load library DbgHelp.dll, the function returns error: %s. code (%d)",
             "StackTrace->Initialize", SystemErrorTextNarrow(error).c_str(), static_cast<int>(error));
    return;
  }
  HMODULE library = library_.get();
  Resolve(library, "SymInitialize", functions_.SymInitialize);
  Resolve(library, "SymGetOptions", functions_.SymGetOptions);
  Resolve(library, "SymSetOptions", functions_.SymSetOptions);
  Resolve(library, "StackWalk64", functions_.StackWalk64);
  Resolve(library, "SymFunctionTableAccess64", functions_.SymFunctionTableAccess64);
  Resolve(library, "SymGetModuleBase64", functions_.SymGetModuleBase64);
  Resolve(library, "SymGetModuleInfo64", functions_.SymGetModuleInfo64);
  Resolve(library, "SymGetSymFromAddr64", functions_.SymGetSymFromAddr64);
  Resolve(library, "SymGetLineFromAddr64", functions_.SymGetLineFromAddr64);
  Resolve(library, "SymCleanup", functions_.SymCleanup);
  Resolve(library, "MiniDumpWriteDump", functions_.MiniDumpWriteDump);
  char name[MAX_PATH];
  const DWORD length = GetModuleFileNameA(library, name, MAX_PATH);
  if (length != 0 && length < MAX_PATH) DebugLog(3, "Loaded %s", name);
}

bool SymbolEngine::Lock() {
  if (abandoned_) {
    DebugLog(1, "%s", kUnusableText);
    return false;
  }
  const DWORD waited = lock_ ? WaitForSingleObject(lock_.get(), kLockWaitMilliseconds) : WAIT_FAILED;
  if (waited == WAIT_OBJECT_0 && !abandoned_) {
    ++depth_;
    holder_ = GetCurrentThreadId();
    return true;
  }
  if (waited == WAIT_OBJECT_0) {
    // Got after another waiter was told of the abandonment.
    ReleaseMutex(lock_.get());
    DebugLog(1, "%s", kUnusableText);
  } else if (waited == WAIT_ABANDONED) {
    abandoned_ = true;
    depth_ = 0;
    holder_ = 0;
    ReleaseMutex(lock_.get());
    DebugLog(1, "Symbol engine abandoned by a thread that ended holding it: call stack left out");
  } else if (waited == WAIT_TIMEOUT) {
    DebugLog(1, "Symbol engine held by thread 0x%X for over %lu ms: call stack left out",
             static_cast<unsigned>(holder_.load()), static_cast<unsigned long>(kLockWaitMilliseconds));
  } else {
    const DWORD error = GetLastError();
    DebugLog(1, "Symbol engine lock failed: %s (%lu)", SystemErrorTextNarrow(error).c_str(),
             static_cast<unsigned long>(error));
  }
  SetLastError(ERROR_TIMEOUT);
  return false;
}

void SymbolEngine::Unlock() {
  if (--depth_ == 0) holder_ = 0;
  ReleaseMutex(lock_.get());
}

bool SymbolEngine::Acquire() {
  if (!Lock()) return false;
  if (!library_) LoadDbgHelp();
  if (library_) return true;
  Unlock();
  return false;
}

bool SymbolEngine::Initialize() {
  if (!Acquire()) return false;
  if (initialized_) return true;
  const DWORD options = functions_.SymGetOptions != nullptr ? functions_.SymGetOptions() : 0;
  if (functions_.SymSetOptions != nullptr)
    functions_.SymSetOptions(options | SYMOPT_DEFERRED_LOADS | SYMOPT_LOAD_LINES);
  initialized_ =
      functions_.SymInitialize != nullptr && functions_.SymInitialize(process_.get(), symbolPath_.get(), TRUE) == TRUE;
  if (initialized_) return true;
  Unlock();
  return false;
}
