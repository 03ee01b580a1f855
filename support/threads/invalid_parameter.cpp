#include "support/fs/unique_handle.h"
#include "support/threads/invalid_parameter.h"

#include <stdlib.h>

#include "support/logging/debug_log.h"
#include "support/threads/exception_filter.h"
#include "support/threads/stack_trace.h"

namespace {

constexpr int kDumperTimeoutSeconds = 15;

const wchar_t* OrUnavailable(const wchar_t* text) { return text != nullptr ? text : L"unavailable"; }

}  // namespace

DumperThread::DumperThread(HANDLE target) : Thread("Stack Dumper Thread"), target_(target) {}

void DumperThread::Run() {
  if (!DumpThreadCallStack(target_)) {
    DebugLog(1, "Failed to output thread call stack (Handle=0x%I64X)",
             static_cast<uint64_t>(reinterpret_cast<uintptr_t>(target_)));
  }
}

void __cdecl InvalidParameterHandler(const wchar_t* expression, const wchar_t* function, const wchar_t* file,
                                     unsigned int line, uintptr_t) {
  DebugLog(3, L"Invalid parameter supplied to crt function expression '%s', function '%s', in file '%s', line %d",
           OrUnavailable(expression), OrUnavailable(function), OrUnavailable(file), static_cast<int>(line));
  HANDLE self = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), GetCurrentThread(), GetCurrentProcess(), &self, 0, FALSE,
                       DUPLICATE_SAME_ACCESS)) {
    DebugLog(2, "Failed to duplicate HANDLE for dumper process");
    return;
  }
  const UniqueHandle selfOwner(self);
  {
    DumperThread dumper(self);
    if (!dumper.Start()) {
      DebugLog(2, "Failed to start dumper thread");
    } else {
      // This thread waits here while the dumper suspends and reads it.
      if (WaitForSingleObject(dumper.GetHandle(), kDumperTimeoutSeconds * 1000) != WAIT_OBJECT_0) {
        TerminateThread(dumper.GetHandle(), 0xFFFFFFFF);
        DebugLog(2, "Dumper thread failed to complete within %d seconds and was terminated", kDumperTimeoutSeconds);
      }
      dumper.Stop();
    }
  }
}

#ifdef _MSC_VER
InvalidParameterHandlerInstaller::InvalidParameterHandlerInstaller() {
  _set_invalid_parameter_handler(InvalidParameterHandler);
  installed_ = true;
}
#else
InvalidParameterHandlerInstaller::InvalidParameterHandlerInstaller()
    : runtime_(LoadLibraryPreservingFilter("ucrtbase.dll")) {
  if (!runtime_) return;
  using SetHandler = _invalid_parameter_handler(__cdecl*)(_invalid_parameter_handler);
  const auto set = reinterpret_cast<SetHandler>(
      reinterpret_cast<void*>(GetProcAddress(runtime_.get(), "_set_invalid_parameter_handler")));
  if (set == nullptr) return;
  set(InvalidParameterHandler);
  installed_ = true;
}
#endif
