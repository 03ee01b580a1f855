#include <cstdio>
#include <cstring>

#include "support/fs/system_error.h"
#include "support/logging/debug_log.h"
#include "support/logging/readable_memory.h"
#include "support/threads/stack_trace.h"
#include "support/threads/symbol_engine.h"

namespace {

const char kPrintFrame[] = "PrintThreadCallStackFrame";
constexpr int kDumpFrameLimit = 100;
constexpr int kFormatFrameLimit = 101;
constexpr size_t kLineSize = 1024;
constexpr DWORD kModuleInfoSize = 584;

// Scratch records shared by every dump; used only under the engine lock.
struct Scratch {
  STACKFRAME64 frame;
  union {
    IMAGEHLP_SYMBOL64 symbol;
    char symbolBuffer[512];
  };
  IMAGEHLP_LINE64 line;
  IMAGEHLP_MODULE64 module;
  char moduleFileName[kLineSize];
};
Scratch scratch;

// Holds the engine lock from a successful Initialize to the end of a scope.
class EngineSession {
 public:
  EngineSession() : held_(StackTrace.Initialize()) {}
  ~EngineSession() {
    if (held_) StackTrace.Unlock();
  }
  EngineSession(const EngineSession&) = delete;
  EngineSession& operator=(const EngineSession&) = delete;
  bool Held() const { return held_; }

 private:
  bool held_;
};

void SetFlat(ADDRESS64& address, uint64_t offset) {
  address.Offset = offset;
  address.Segment = 0;
  address.Mode = AddrModeFlat;
}

void SetFrame(STACKFRAME64& frame, uint64_t programCounter, uint64_t stackPointer, uint64_t framePointer) {
  std::memset(&frame, 0, sizeof(frame));
  SetFlat(frame.AddrPC, programCounter);
  SetFlat(frame.AddrStack, stackPointer);
  SetFlat(frame.AddrFrame, framePointer);
}

// One StackWalk64 step on the engine's process for the x64 machine.
bool WalkStep(HANDLE thread, STACKFRAME64& frame, CONTEXT& context) {
  const DbgHelpFunctions& dbghelp = StackTrace.Functions();
  if (dbghelp.StackWalk64 == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return false;
  }
  SetLastError(0);
  return dbghelp.StackWalk64(IMAGE_FILE_MACHINE_AMD64, StackTrace.Process(), thread, &frame, &context, nullptr,
                             dbghelp.SymFunctionTableAccess64, dbghelp.SymGetModuleBase64, nullptr) == TRUE &&
         frame.AddrFrame.Offset != 0;
}

uint64_t ModuleBase(uint64_t address) {
  const DbgHelpFunctions& dbghelp = StackTrace.Functions();
  return dbghelp.SymGetModuleBase64 != nullptr ? dbghelp.SymGetModuleBase64(StackTrace.Process(), address) : 0;
}

// The symbol record filled for `address`, or null.
const IMAGEHLP_SYMBOL64* LookUpSymbol(uint64_t address, DWORD maxNameLength) {
  const DbgHelpFunctions& dbghelp = StackTrace.Functions();
  std::memset(scratch.symbolBuffer, 0, sizeof(scratch.symbolBuffer));
  scratch.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
  scratch.symbol.MaxNameLength = maxNameLength;
  DWORD64 displacement = 0;
  SetLastError(0);
  if (dbghelp.SymGetSymFromAddr64 == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (dbghelp.SymGetSymFromAddr64(StackTrace.Process(), address, &displacement, &scratch.symbol) != TRUE) {
    return nullptr;
  }
  scratch.symbolBuffer[sizeof(scratch.symbolBuffer) - 1] = '\0';
  return &scratch.symbol;
}

// The line record filled for `address`, or null.
const IMAGEHLP_LINE64* LookUpLine(uint64_t address, DWORD& displacement) {
  const DbgHelpFunctions& dbghelp = StackTrace.Functions();
  std::memset(&scratch.line, 0, sizeof(scratch.line));
  scratch.line.SizeOfStruct = sizeof(IMAGEHLP_LINE64);
  displacement = 0;
  SetLastError(0);
  if (dbghelp.SymGetLineFromAddr64 == nullptr) {
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
  }
  if (dbghelp.SymGetLineFromAddr64(StackTrace.Process(), address, &displacement, &scratch.line) != TRUE ||
      scratch.line.FileName == nullptr) {
    return nullptr;
  }
  return &scratch.line;
}

const char* AfterLastBackslash(const char* path) {
  const char* slash = std::strrchr(path, '\\');
  return slash != nullptr ? slash + 1 : path;
}

// Walks from the current scratch frame; the caller holds the engine lock.
int StackWalkDump(HANDLE thread, CONTEXT& context) {
  const uint64_t stack = scratch.frame.AddrStack.Offset;
  const uint64_t frame = scratch.frame.AddrFrame.Offset;
  DebugLog(3, "Stack Frame Context: ESP=%016I64X  EBP=%016I64X", stack, frame);

  const uint64_t start = stack & ~uint64_t{15};
  const uint64_t framePart = frame & ~uint64_t{15};
  int64_t length = static_cast<int64_t>(framePart - start + 512);
  if (length < 1024) length = 1024;
  if (length > 4096) length = 4096;
  MemoryDump(reinterpret_cast<const void*>(start), static_cast<size_t>(length));
  if (start + length < framePart || framePart < start) MemoryDump(reinterpret_cast<const void*>(framePart), 512);

  for (int walked = 0; walked < kDumpFrameLimit; ++walked) {
    if (!WalkStep(thread, scratch.frame, context)) {
      const DWORD error = GetLastError();
      if (error != 0 && error != ERROR_INVALID_ADDRESS) {
        DebugLog(3, "StackWalk failed with error code <%x> - %s", error, SystemErrorTextNarrow(error).c_str());
      }
      return 1;
    }
    PrintThreadCallStackFrame(&scratch.frame);
  }
  DebugLog(3, "Quitting StackWalkDump after %d iterations", kDumpFrameLimit);
  return 1;
}

// Dumps from a copy of `context` (the walk changes it); a missing context is
// walked as an empty one, since the x64 walk cannot go without.
int DumpFromContext(HANDLE thread, const CONTEXT* context) {
  EngineSession session;
  if (!session.Held()) return 0;
  alignas(16) CONTEXT copy;
  std::memset(&copy, 0, sizeof(copy));
  if (context != nullptr) copy = *context;
  SetFrame(scratch.frame, copy.Rip, copy.Rsp, copy.Rbp);
  return StackWalkDump(thread, copy);
}

// Formats "#\t\tFILE(LINE) +N bytes\n" into `line`, keeping the end of a file
// name too long for the line: its last components say the most.
void FormatSourceLine(char (&line)[kLineSize], const char* file, DWORD number, DWORD displacement) {
  char tail[64];
  std::snprintf(tail, sizeof(tail), "(%lu) %+ld bytes\n", static_cast<unsigned long>(number),
                static_cast<long>(displacement));
  const size_t room = kLineSize - 1 - std::strlen("#\t\t") - std::strlen(tail);
  const size_t fileLength = std::strlen(file);
  const char* kept = fileLength > room ? file + (fileLength - room) : file;
  std::snprintf(line, kLineSize, "#\t\t%s%s", kept, tail);
}

void EmitLine(ZELString& output, const char* line) {
  output.Append(line);
  OutputDebugStringA(line);
}

}  // namespace

void InitializeSymbolEngine() {
  EngineSession session;
  if (!session.Held()) DebugLog(3, "Error innitializing the symbol engine");
}

int PrintThreadCallStackFrame(const STACKFRAME64* frame) {
  if (frame == nullptr) {
    DebugLog(2, "[%s] Stack frame is null", kPrintFrame);
    return 0;
  }
  if (!StackTrace.IsInitialized()) {
    DebugLog(2, "[%s] Stack frame is not initialized", kPrintFrame);
    return 0;
  }
  const uint64_t pc = frame->AddrPC.Offset;
  const uint64_t base = ModuleBase(pc);
  DebugLog(3,
           "PC Address: %016I64X, Relative Address: %016I64X, ESP=%016I64X EBP=%016I64X, "
           "Parameters (1-4):(0x%016I64X 0x%016I64X 0x%016I64X 0x%016I64X)",
           pc, pc - base, frame->AddrStack.Offset, frame->AddrFrame.Offset, frame->Params[0], frame->Params[1],
           frame->Params[2], frame->Params[3]);

  if (base != 0) {
    const DWORD length =
        GetModuleFileNameA(reinterpret_cast<HMODULE>(base), scratch.moduleFileName, sizeof(scratch.moduleFileName));
    if (length == 0) {
      const DWORD error = GetLastError();
      DebugLog(3, "%s - GetModuleFileName failed with error code <%x> - %s", kPrintFrame, error,
               SystemErrorTextNarrow(error).c_str());
      return 1;
    }
    scratch.moduleFileName[sizeof(scratch.moduleFileName) - 1] = '\0';
    DebugLog(3, "%s - Module Name: %s", kPrintFrame, AfterLastBackslash(scratch.moduleFileName));
  } else {
    const DWORD error = GetLastError();
    DebugLog(3, "[%s] SymGetModuleBase failed with error code <%x> - %s", kPrintFrame, error,
             SystemErrorTextNarrow(error).c_str());
  }

  const IMAGEHLP_SYMBOL64* symbol = LookUpSymbol(pc, 480);
  if (symbol == nullptr) return 1;
  DebugLog(3, "%s - Symbol Information: %s", kPrintFrame, symbol->Name);

  DWORD displacement = 0;
  const IMAGEHLP_LINE64* line = LookUpLine(pc, displacement);
  if (line == nullptr) return 1;
  char file[kLineSize];
  std::strncpy(file, line->FileName, sizeof(file) - 1);
  file[sizeof(file) - 1] = '\0';
  const int number = static_cast<int>(line->LineNumber);
  if (displacement != 0) {
    DebugLog(3, "%s - Source File: %s, line %04d+%04d byte(s)", kPrintFrame, AfterLastBackslash(file), number,
             static_cast<int>(displacement));
  } else {
    DebugLog(3, "%s - Source File: %s, line %04d", kPrintFrame, AfterLastBackslash(file), number);
  }
  return 1;
}

void MemoryDump(uint64_t label, const void* data, size_t length) {
  const size_t rows = length / 16;
  DebugLog(3, "Memory dump %016I64X, length %I64d", label, static_cast<int64_t>(rows * 16));
  const auto* bytes = static_cast<const unsigned char*>(data);
  static const char kHex[] = "0123456789ABCDEF";
  for (size_t row = 0; row < rows; ++row) {
    char line[100];
    std::snprintf(line, sizeof(line), "%016llX: ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ?? ??  *................*",
                  static_cast<unsigned long long>(label + row * 16));
    char* hex = line + 18;
    char* text = std::strchr(line, '*') + 1;
    const unsigned char* rowBytes = bytes + row * 16;
    for (int k = 0; k < 16 && IsReadable(rowBytes + k, 1); ++k) {
      const unsigned char byte = rowBytes[k];
      hex[3 * k] = kHex[byte >> 4];
      hex[3 * k + 1] = kHex[byte & 15];
      // Printable in the "C" locale, whatever locale the process set.
      if (byte >= 0x20 && byte < 0x7F) text[k] = static_cast<char>(byte);
    }
    DebugLog(3, "  %s", line);
    if (!IsReadable(rowBytes + 16, 1)) return;
  }
}

void MemoryDump(const void* address, size_t length) {
  MemoryDump(reinterpret_cast<uintptr_t>(address), address, length);
}

int DumpExceptionCallStack(const EXCEPTION_POINTERS* exception) {
  if (exception == nullptr || exception->ExceptionRecord == nullptr || exception->ContextRecord == nullptr) return 0;
  return DumpFromContext(GetCurrentThread(), exception->ContextRecord);
}

int DumpCallStackFromRegisters(uint64_t programCounter, uint64_t stackPointer, uint64_t framePointer) {
  alignas(16) CONTEXT context;
  std::memset(&context, 0, sizeof(context));
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
  context.Rip = programCounter;
  context.Rsp = stackPointer;
  context.Rbp = framePointer;
  return DumpFromContext(GetCurrentThread(), &context);
}

int DumpCallStack(HANDLE thread, const CONTEXT* context) { return DumpFromContext(thread, context); }

DWORD FormatCallStack(HANDLE thread, const CONTEXT* context, ZELString& output) {
  output.Append("#-----    Call Stack   -----\n");
  EngineSession session;
  if (!session.Held()) return GetLastError();
  alignas(16) CONTEXT copy;
  std::memset(&copy, 0, sizeof(copy));
  if (context != nullptr) copy = *context;
  SetFrame(scratch.frame, copy.Rip, copy.Rsp, copy.Rbp);
  const DbgHelpFunctions& dbghelp = StackTrace.Functions();

  for (int number = 1; number <= kFormatFrameLimit; ++number) {
    if (!WalkStep(thread, scratch.frame, copy)) {
      const DWORD error = GetLastError();
      return error == ERROR_INVALID_ADDRESS ? 0 : error;
    }
    const uint64_t pc = scratch.frame.AddrPC.Offset;
    std::memset(&scratch.module, 0, sizeof(scratch.module));
    scratch.module.SizeOfStruct = kModuleInfoSize;
    if (ModuleBase(pc) != 0 && dbghelp.SymGetModuleInfo64 != nullptr) {
      dbghelp.SymGetModuleInfo64(StackTrace.Process(), pc, &scratch.module);
    }
    scratch.module.ModuleName[sizeof(scratch.module.ModuleName) - 1] = '\0';

    char line[kLineSize];
    const IMAGEHLP_SYMBOL64* symbol = LookUpSymbol(pc, 256);
    DWORD displacement = 0;
    const IMAGEHLP_LINE64* source = nullptr;
    if (symbol != nullptr) {
      std::snprintf(line, sizeof(line), "#\t%d:\t%s!%s\n", number, scratch.module.ModuleName, symbol->Name);
      EmitLine(output, line);
      source = LookUpLine(pc, displacement);
    }
    if (source == nullptr) {
      const DWORD error = GetLastError();
      if (error == ERROR_INVALID_ADDRESS) continue;
      return error;
    }
    FormatSourceLine(line, source->FileName, source->LineNumber, displacement);
    EmitLine(output, line);
  }
  return 0;
}
