#pragma once
// Stack diagnostics on the symbol engine: a hex dump of the stack memory
// around the stack and frame pointers, then one block of lines per frame
// (program counter, module, symbol, source line), all through the logger at
// level 3. FormatCallStack gives the text form in a string instead.

#include <windows.h>

#include <dbghelp.h>

#include <cstddef>
#include <cstdint>

#include "support/text/zel_string.h"

#if !defined(_M_X64) && !defined(__x86_64__)
#error "The stack walk reads the x64 registers."
#endif

// Frames of a thread found by following its frame-pointer chain.
class ThreadCallStackFrames {
 public:
  static constexpr int kCapacity = 100;
  // The chain walk stores at most this many.
  static constexpr int kStoredLimit = 99;

  virtual ~ThreadCallStackFrames() = default;

  uint16_t count = 0;
  STACKFRAME64 frames[kCapacity] = {};
};

// Initialises DbgHelp ahead of the first dump (or logs why it cannot).
void InitializeSymbolEngine();

// One frame's block of lines. 0 for a null frame or an engine that is not
// initialised, else 1.
int PrintThreadCallStackFrame(const STACKFRAME64* frame);

// Rows of 16 bytes as hex and printable characters, labelled from `label`;
// an unreadable byte ends the dump. The one-address form dumps in place.
void MemoryDump(uint64_t label, const void* data, size_t length);
void MemoryDump(const void* address, size_t length);

// Dump the stack of the current thread (or the given one) from a context or
// from registers. 0 when there is nothing to walk or DbgHelp cannot be
// initialised, else 1.
int DumpExceptionCallStack(const EXCEPTION_POINTERS* exception);
int DumpCallStackFromRegisters(uint64_t programCounter, uint64_t stackPointer, uint64_t framePointer);
int DumpCallStack(HANDLE thread, const CONTEXT* context);

// Appends the call stack as text, one "#"-prefixed line per frame and one per
// source line, and sends each line to the debugger output. 0 on a normal
// end, else the platform error that ended the walk.
DWORD FormatCallStack(HANDLE thread, const CONTEXT* context, ZELString& output);

// Suspends another thread of this process just long enough to copy its
// registers and stack, then dumps them. Never the calling thread. True when
// the stack was captured and printed.
bool DumpThreadCallStack(HANDLE thread);

// Follows the frame-pointer chain from `framePointer`, storing at most 99
// frames. Returns the number walked; stops at a chain that does not move
// towards higher addresses or leaves readable memory, without faulting, and
// after 4096 links.
int ExtractCallStackFrames(uint64_t framePointer, uint64_t stackPointer, uint64_t programCounter,
                           ThreadCallStackFrames& frames);
