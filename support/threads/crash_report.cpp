#include "support/threads/crash_report.h"

#include <cstdint>
#include <cstring>

#include "support/logging/debug_log.h"
#include "support/logging/readable_memory.h"
#include "support/threads/stack_trace.h"

namespace {

struct CodeName {
  DWORD code;
  const char* name;
};

const CodeName kCodeNames[] = {
    {0x80000001, "GUARD_PAGE"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
};

char systemCodeName[512];

}  // namespace

const char* ExceptionCodeName(DWORD code) {
  for (const auto& entry : kCodeNames) {
    if (entry.code == code) return entry.name;
  }
  char text[sizeof(systemCodeName)];
  if (FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleA("NTDLL.DLL"), code,
                     0, text, sizeof(text), nullptr) != 0) {
    std::memcpy(systemCodeName, text, sizeof(systemCodeName));
  }
  return systemCodeName;
}

// The 64-bit registers are printed in full: cut to their low halves, the
// fault address and the pointers of a 64-bit process could not be found.
void LogExceptionReport(const EXCEPTION_POINTERS* exception) {
  if (exception == nullptr || exception->ExceptionRecord == nullptr || exception->ContextRecord == nullptr) return;
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  const CONTEXT& context = *exception->ContextRecord;
  DebugLog(3, "Exception code: %08X %s", static_cast<unsigned>(record.ExceptionCode),
           ExceptionCodeName(record.ExceptionCode));
  DebugLog(3, "Fault address:  %016I64X", static_cast<uint64_t>(reinterpret_cast<uintptr_t>(record.ExceptionAddress)));
  DebugLog(3, "Registers:\tEAX=%016I64X EBX=%016I64X ECX=%016I64X EDX=%016I64X", context.Rax, context.Rbx, context.Rcx,
           context.Rdx);
  DebugLog(3, "\t\tESI=%016I64X EDI=%016I64X  EBP=%016I64X  ESP=%016I64X EIP=%016I64X FLG=%08X", context.Rsi,
           context.Rdi, context.Rbp, context.Rsp, context.Rip, static_cast<unsigned>(context.EFlags));
  DebugLog(3, "\t\tCS=%04X DS=%04X SS=%04X ES=%04X FS=%04X GS=%04X", context.SegCs, context.SegDs, context.SegSs,
           context.SegEs, context.SegFs, context.SegGs);
  DebugLog(3, "------------------Begin Stack Trace------------------");
  DumpExceptionCallStack(exception);
  DebugLog(3, "------------------End Stack Trace------------------");
}

bool GetLogicalAddress(const void* address, char* name, DWORD nameSize, DWORD& section, uintptr_t& offset) {
  MEMORY_BASIC_INFORMATION region;
  if (VirtualQuery(address, &region, sizeof(region)) == 0 || region.AllocationBase == nullptr) return false;
  const auto* base = static_cast<const unsigned char*>(region.AllocationBase);
  if (name == nullptr || nameSize == 0 ||
      GetModuleFileNameA(reinterpret_cast<HMODULE>(region.AllocationBase), name, nameSize) == 0) {
    return false;
  }

  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  if (!IsReadable(dos, sizeof(*dos)) || dos->e_magic != IMAGE_DOS_SIGNATURE) return false;
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  if (!IsReadable(nt, sizeof(*nt)) || nt->Signature != IMAGE_NT_SIGNATURE) return false;
  const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
  const WORD count = nt->FileHeader.NumberOfSections;
  if (!IsReadable(sections, sizeof(IMAGE_SECTION_HEADER) * (count > 0 ? count : 1))) return false;

  const uintptr_t rva = static_cast<const unsigned char*>(address) - base;
  for (WORD i = 0; i < count; ++i) {
    const IMAGE_SECTION_HEADER& header = sections[i];
    const DWORD extent =
        header.Misc.VirtualSize > header.SizeOfRawData ? header.Misc.VirtualSize : header.SizeOfRawData;
    if (rva >= header.VirtualAddress && rva <= uintptr_t{header.VirtualAddress} + extent) {
      section = i + 1u;
      offset = rva - header.VirtualAddress;
      return true;
    }
  }
  return false;
}
