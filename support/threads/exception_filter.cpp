#include "support/threads/exception_filter.h"

namespace {

// Installed and removed by the process's controlling thread only, so plain
// variables suffice.
DefaultHandler* topHandler = nullptr;
// The filter the last installation replaced. A flag of its own, because "no
// filter" is a value worth restoring: leaving ours installed after the last
// handler is gone would point the process at a module that may unload.
LPTOP_LEVEL_EXCEPTION_FILTER savedFilter = nullptr;
bool haveSavedFilter = false;

// Puts the top handler's filter back after a load that succeeded, keeping
// the loader's last error for the caller.
HMODULE AfterLoad(HMODULE module) {
  if (module != nullptr && topHandler != nullptr) {
    const DWORD error = GetLastError();
    topHandler->Reinstall();
    SetLastError(error);
  }
  return module;
}

}  // namespace

DefaultHandler::DefaultHandler(LPTOP_LEVEL_EXCEPTION_FILTER filter)
    : filter_(filter != nullptr ? filter : DefaultExceptionFilter), next_(topHandler) {
  topHandler = this;
  savedFilter = SetUnhandledExceptionFilter(filter_);
  haveSavedFilter = true;
  ArmCrashWatchdog();
}

DefaultHandler::~DefaultHandler() {
  // Only the innermost destructor restores: the saved filter is one slot.
  if (haveSavedFilter) {
    SetUnhandledExceptionFilter(savedFilter);
    filter_ = savedFilter;
    savedFilter = nullptr;
    haveSavedFilter = false;
  }
  if (topHandler == this) topHandler = next_;
  if (topHandler == nullptr) DisarmCrashWatchdog();
}

void DefaultHandler::Reinstall() { SetUnhandledExceptionFilter(filter_); }

DefaultHandler* DefaultHandler::GetTopHandler() { return topHandler; }

void DefaultHandler::ReassertTopFilter(const void* anything) {
  if (anything != nullptr && topHandler != nullptr) topHandler->Reinstall();
}

HMODULE LoadLibraryPreservingFilter(const char* name) { return AfterLoad(LoadLibraryA(name)); }

HMODULE LoadLibraryPreservingFilter(const wchar_t* name) { return AfterLoad(LoadLibraryW(name)); }

HMODULE LoadLibraryPreservingFilter(const char* name, HANDLE file, DWORD flags) {
  return AfterLoad(LoadLibraryExA(name, file, flags));
}

HMODULE LoadLibraryPreservingFilter(const wchar_t* name, HANDLE file, DWORD flags) {
  return AfterLoad(LoadLibraryExW(name, file, flags));
}
