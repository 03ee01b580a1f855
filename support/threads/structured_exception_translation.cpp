#include "support/threads/structured_exception_translation.h"

#include <initializer_list>

#ifdef _MSC_VER

namespace {

void Translate(unsigned int code, EXCEPTION_POINTERS* info) {
  if (code == EXCEPTION_STACK_OVERFLOW) return;  // left to the crash handler
  throw StructuredException(code, info);
}

}  // namespace

StructuredExceptionTranslation::StructuredExceptionTranslation() : previous_(_set_se_translator(Translate)) {}

StructuredExceptionTranslation::~StructuredExceptionTranslation() { _set_se_translator(previous_); }

#else

namespace {

// The innermost translation scope of this thread, null when there is none.
thread_local StructuredExceptionTranslation* t_scope = nullptr;

}  // namespace

// Entered from a redirected context with the faulting address (plus one, so
// that it lies inside the faulting instruction as a return address after a
// call would) on top of the stack. The stub's unwind information makes the
// faulting frame its caller, so the throw unwinds from there.
extern "C" [[noreturn]] void FernwickThrowStructuredException() { StructuredExceptionTranslation::ThrowFault(); }

void StructuredExceptionTranslation::ThrowFault() {
  FaultCopy& fault = t_scope->fault_;
  throw StructuredException(fault.record.ExceptionCode, &fault.pointers);
}

asm(R"(
  .text
  .globl FernwickStructuredExceptionStub
  .def FernwickStructuredExceptionStub; .scl 2; .type 32; .endef
  .seh_proc FernwickStructuredExceptionStub
FernwickStructuredExceptionStub:
  pushq %rbp
  .seh_pushreg %rbp
  movq %rsp, %rbp
  .seh_setframe %rbp, 0
  .seh_endprologue
  andq $-16, %rsp
  subq $32, %rsp
  call FernwickThrowStructuredException
  int3
  .seh_endproc
)");

extern "C" void FernwickStructuredExceptionStub();

namespace {

// System modules that probe memory under their own exception handlers
// (IsBadReadPtr and its relatives); faults inside them are theirs.
bool RaisedInsideSystemModule(const void* address) {
  HMODULE module = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          static_cast<LPCWSTR>(address), &module)) {
    return false;
  }
  for (const wchar_t* name : {L"ntdll.dll", L"kernel32.dll", L"kernelbase.dll"}) {
    if (module == GetModuleHandleW(name)) return true;
  }
  return false;
}

bool IsTranslated(DWORD code) {
  // System error codes only: C++ throws, debugger notices and the like pass.
  return (code & 0xF0000000u) == 0xC0000000u && code != EXCEPTION_STACK_OVERFLOW;
}

}  // namespace

LONG CALLBACK StructuredExceptionTranslation::Handler(EXCEPTION_POINTERS* info) {
  StructuredExceptionTranslation* scope = t_scope;
  if (scope == nullptr || !IsTranslated(info->ExceptionRecord->ExceptionCode) ||
      RaisedInsideSystemModule(info->ExceptionRecord->ExceptionAddress)) {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  FaultCopy& fault = scope->fault_;
  fault.record = *info->ExceptionRecord;
  fault.record.ExceptionRecord = nullptr;
  fault.context = *info->ContextRecord;
  fault.pointers.ExceptionRecord = &fault.record;
  fault.pointers.ContextRecord = &fault.context;

  CONTEXT* context = info->ContextRecord;
  context->Rsp -= sizeof(DWORD64);
  *reinterpret_cast<DWORD64*>(context->Rsp) = context->Rip + 1;
  context->Rip = reinterpret_cast<DWORD64>(&FernwickStructuredExceptionStub);
  return EXCEPTION_CONTINUE_EXECUTION;
}

StructuredExceptionTranslation::StructuredExceptionTranslation()
    : handler_(AddVectoredExceptionHandler(1, Handler)), outer_(t_scope) {
  t_scope = this;
}

StructuredExceptionTranslation::~StructuredExceptionTranslation() {
  t_scope = outer_;
  if (handler_ != nullptr) RemoveVectoredExceptionHandler(handler_);
}

#endif
