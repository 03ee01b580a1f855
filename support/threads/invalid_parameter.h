#pragma once
// The run-time library's invalid-parameter reports: the handler logs the
// failed call and has a DumperThread dump the calling thread's stack, then
// returns so that the call fails to its caller as usual.

#include <windows.h>

#include <cstdint>

#include "support/fs/unique_handle.h"
#include "support/threads/thread.h"

// Dumps another thread's stack once, then ends.
class DumperThread : public Thread {
 public:
  // `target` is a real handle, owned by the creator.
  explicit DumperThread(HANDLE target);

 protected:
  void Run() override;

 private:
  HANDLE target_;
};

// The run time's handler signature; the texts are null in release builds.
void __cdecl InvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                     unsigned int line, uintptr_t reserved);

// Installs InvalidParameterHandler while it lives; the previous handler is
// not kept. MinGW programs run on msvcrt, whose hook is never called, so the
// handler goes to the universal run time that the process's C code uses.
class InvalidParameterHandlerInstaller {
 public:
  InvalidParameterHandlerInstaller();
  InvalidParameterHandlerInstaller(const InvalidParameterHandlerInstaller&) = delete;
  InvalidParameterHandlerInstaller& operator=(const InvalidParameterHandlerInstaller&) = delete;

  bool IsInstalled() const { return installed_; }

 private:
  UniqueLibrary runtime_;
  bool installed_ = false;
};
