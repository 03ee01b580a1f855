#pragma once
// While an object of this class lives, hardware exceptions raised on the
// thread that created it (access violations, integer division by zero and the
// other system error codes) are thrown there as StructuredException, so that
// an ordinary try/catch on that thread handles them. The previous behaviour
// is restored when the object is destroyed. Stack overflows are not
// translated: the thread has no stack left to unwind with.
//
// MSVC builds use the run-time library's translator (/EHa). MinGW GCC has
// none that works for GCC frames; there a vectored handler redirects the
// faulting thread into a stub that throws. Code in which a translated fault
// may occur must then be compiled with -fnon-call-exceptions.

#include <windows.h>

#include "support/threads/structured_exception.h"

#ifdef _MSC_VER
#include <eh.h>
#endif

class StructuredExceptionTranslation {
 public:
  StructuredExceptionTranslation();
  ~StructuredExceptionTranslation();
  StructuredExceptionTranslation(const StructuredExceptionTranslation&) = delete;
  StructuredExceptionTranslation& operator=(const StructuredExceptionTranslation&) = delete;

#ifndef _MSC_VER
  // Called by the redirection stub on the faulting thread.
  [[noreturn]] static void ThrowFault();
#endif

 private:
#ifdef _MSC_VER
  _se_translator_function previous_;
#else
  // The fault being translated, copied off the stack that the throw reuses.
  struct FaultCopy {
    EXCEPTION_RECORD record;
    CONTEXT context;
    EXCEPTION_POINTERS pointers;
  };
  static LONG CALLBACK Handler(EXCEPTION_POINTERS* info);
  void* handler_ = nullptr;
  StructuredExceptionTranslation* outer_ = nullptr;
  FaultCopy fault_ = {};
#endif
};
