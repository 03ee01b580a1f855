#pragma once
// The process's unhandled-exception filter as a chain of handlers: the newest
// owns the filter, and every module the library loads goes through a loader
// that puts that filter back, since a module's start-up may install its own.

#include <windows.h>

// The library's default filter (the crash report); a DefaultHandler built
// without a filter installs it.
LONG WINAPI DefaultExceptionFilter(EXCEPTION_POINTERS* exception);
// While armed, the default filter's process ends with -2 at most 9 seconds
// after the filter began, however its report fares. A
// DefaultHandler arms it and the last one disarms it.
void ArmCrashWatchdog();
void DisarmCrashWatchdog();

class DefaultHandler {
 public:
  explicit DefaultHandler(LPTOP_LEVEL_EXCEPTION_FILTER filter = nullptr);
  virtual ~DefaultHandler();
  DefaultHandler(const DefaultHandler&) = delete;
  DefaultHandler& operator=(const DefaultHandler&) = delete;

  // Makes this handler's filter the process's filter again.
  void Reinstall();

  static DefaultHandler* GetTopHandler();
  // Reinstalls the top handler's filter when `anything` is not null.
  static void ReassertTopFilter(const void* anything);

 private:
  LPTOP_LEVEL_EXCEPTION_FILTER filter_;
  DefaultHandler* next_;
};

HMODULE LoadLibraryPreservingFilter(const char* name);
HMODULE LoadLibraryPreservingFilter(const wchar_t* name);
HMODULE LoadLibraryPreservingFilter(const char* name, HANDLE file, DWORD flags);
HMODULE LoadLibraryPreservingFilter(const wchar_t* name, HANDLE file, DWORD flags);
