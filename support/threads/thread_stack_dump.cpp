#include <cstring>

#include "support/fs/unique_handle.h"
#include "support/fs/system_error.h"
#include "support/logging/debug_log.h"
#include "support/registry/registry.h"
#include "support/threads/stack_trace.h"
#include "support/threads/symbol_engine.h"
#include "support/threads/thread.h"

namespace {

constexpr size_t kStackCopySize = 4096;
constexpr size_t kFrameCopySize = 512;
// The chain walk runs while its thread is suspended, some microseconds a
// link: a corrupt frame pointer into a list laid out upwards would keep the
// thread stopped for seconds. Well beyond what is stored, so a long walk is
// still told as such.
constexpr int kChainWalkLimit = 4096;

// The memory-map region that holds `address`; false when there is none.
bool QueryRegion(uint64_t address, MEMORY_BASIC_INFORMATION& region) {
  return VirtualQuery(reinterpret_cast<const void*>(static_cast<uintptr_t>(address)), &region, sizeof(region)) != 0;
}

// The number of bytes from `address` to the end of its region when the region
// is committed, readable and no guard page; 0 otherwise.
uint64_t ReadableSpan(uint64_t address) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  MEMORY_BASIC_INFORMATION region;
  if (!QueryRegion(address, region) || region.State != MEM_COMMIT || (region.Protect & kReadable) == 0 ||
      (region.Protect & PAGE_GUARD) != 0) {
    return 0;
  }
  return reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize - address;
}

// Whether [address, address+size) lies inside [start, start+length), without
// an addition that could wrap past the top of the address space.
bool Contains(uint64_t start, uint64_t length, uint64_t address, uint64_t size) {
  return address >= start && address - start <= length && size <= length - (address - start);
}

// Copies what is readable of [source, source+length) with the memory map as
// the bound: the copy stops before an uncommitted, protected or guard page
// instead of touching it, so a stack's end never faults, and no exception is
// raised while another thread is suspended. Returns the bytes copied.
size_t CopyReadable(void* destination, uint64_t source, size_t length) {
  auto* out = static_cast<unsigned char*>(destination);
  size_t copied = 0;
  while (copied < length) {
    // Stops at the top of the address space rather than wrapping to its bottom.
    if (source + copied < source) break;
    const uint64_t span = ReadableSpan(source + copied);
    if (span == 0) break;
    const size_t chunk = static_cast<size_t>(span < length - copied ? span : length - copied);
    std::memcpy(out + copied, reinterpret_cast<const void*>(static_cast<uintptr_t>(source + copied)), chunk);
    copied += chunk;
  }
  return copied;
}

bool ReadWords(uint64_t address, uint64_t* words, size_t count) {
  return CopyReadable(words, address, count * sizeof(uint64_t)) == count * sizeof(uint64_t);
}

// What is copied from a suspended thread.
struct ThreadSnapshot {
  CONTEXT context;
  uint64_t stackPointer = 0;
  uint64_t framePointer = 0;
  uint64_t stackStart = 0;
  uint64_t frameStart = 0;
  // The allocation of the thread's stack: the unwinder reads it from the
  // copy only, never live.
  const void* stackAllocation = nullptr;
  size_t stackLength = 0;
  size_t frameLength = 0;
  bool frameTaken = false;
  int walked = 0;
  unsigned char stack[kStackCopySize];
  unsigned char frame[kFrameCopySize];
  ThreadCallStackFrames frames;
};

// Runs while the target is suspended: reads registers and raw memory into
// the snapshot only (no lock, no log, no heap).
bool Capture(HANDLE thread, ThreadSnapshot& snapshot) {
  CONTEXT& context = snapshot.context;
  std::memset(&context, 0, sizeof(context));
  context.ContextFlags = CONTEXT_FULL;
  if (!GetThreadContext(thread, &context)) return false;
  snapshot.stackPointer = context.Rsp;
  snapshot.framePointer = context.Rbp;
  const uint64_t start = context.Rsp & ~uint64_t{15};
  const uint64_t frame = context.Rbp & ~uint64_t{15};
  uint64_t length = frame - start + 512;
  if (length < 1024) length = 1024;
  if (length > kStackCopySize) length = kStackCopySize;
  snapshot.stackStart = start;
  snapshot.stackLength = CopyReadable(snapshot.stack, start, static_cast<size_t>(length));
  MEMORY_BASIC_INFORMATION region;
  if (snapshot.stackLength != 0 && QueryRegion(start, region)) snapshot.stackAllocation = region.AllocationBase;
  if (frame < start || frame - start > length) {
    snapshot.frameTaken = true;
    snapshot.frameStart = frame;
    snapshot.frameLength = CopyReadable(snapshot.frame, frame, kFrameCopySize);
  }
  snapshot.walked = ExtractCallStackFrames(context.Rbp, context.Rsp, context.Rip, snapshot.frames);
  return true;
}

// The snapshot whose copied stack the unwinder reads; set only while the
// engine lock is held.
const ThreadSnapshot* walkedSnapshot = nullptr;

// Serves the unwinder's reads of the stack from the copy, as the frames were
// when the thread was stopped, and code and unwind data from the memory map's
// readable pages. A read of the stack beyond the copy fails: the live stack
// has moved on and may be gone.
BOOL CALLBACK ReadSnapshotMemory(HANDLE, DWORD64 address, void* buffer, DWORD size, DWORD* read) {
  const ThreadSnapshot& snapshot = *walkedSnapshot;
  size_t copied = 0;
  MEMORY_BASIC_INFORMATION region;
  if (Contains(snapshot.stackStart, snapshot.stackLength, address, size)) {
    std::memcpy(buffer, snapshot.stack + (address - snapshot.stackStart), size);
    copied = size;
  } else if (snapshot.stackAllocation == nullptr || !QueryRegion(address, region) ||
             region.AllocationBase != snapshot.stackAllocation) {
    copied = CopyReadable(buffer, address, size);
  }
  if (read != nullptr) *read = static_cast<DWORD>(copied);
  return copied == size ? TRUE : FALSE;
}

// Unwinds the snapshot's context with DbgHelp, which knows how frames without
// a frame pointer (system code, optimised code) are laid out; the frame chain
// alone stops at the first such frame. Returns the number of frames walked.
int UnwindSnapshot(const ThreadSnapshot& snapshot, ThreadCallStackFrames& frames) {
  const DbgHelpFunctions& dbghelp = StackTrace.Functions();
  frames.count = 0;
  if (dbghelp.StackWalk64 == nullptr) return 0;
  alignas(16) CONTEXT context = snapshot.context;
  STACKFRAME64 frame = {};
  frame.AddrPC = {context.Rip, 0, AddrModeFlat};
  frame.AddrStack = {context.Rsp, 0, AddrModeFlat};
  frame.AddrFrame = {context.Rbp, 0, AddrModeFlat};
  walkedSnapshot = &snapshot;
  int walked = 0;
  while (walked < ThreadCallStackFrames::kCapacity &&
         dbghelp.StackWalk64(IMAGE_FILE_MACHINE_AMD64, StackTrace.Process(), GetCurrentThread(), &frame, &context,
                             ReadSnapshotMemory, dbghelp.SymFunctionTableAccess64, dbghelp.SymGetModuleBase64,
                             nullptr) == TRUE &&
         frame.AddrPC.Offset != 0) {
    if (frames.count < ThreadCallStackFrames::kStoredLimit) frames.frames[frames.count++] = frame;
    ++walked;
  }
  walkedSnapshot = nullptr;
  return walked;
}

}  // namespace

int ExtractCallStackFrames(uint64_t framePointer, uint64_t stackPointer, uint64_t programCounter,
                           ThreadCallStackFrames& frames) {
  frames.count = 0;
  int walked = 0;
  uint64_t pointer = framePointer;
  uint64_t pc = programCounter;
  while (pointer != 0 && walked < kChainWalkLimit) {
    // The saved frame pointer, the return address and four parameter slots.
    uint64_t words[6] = {};
    if (!ReadWords(pointer, words, 2)) return walked;
    const bool withParameters = words[0] != 0;
    if (withParameters && !ReadWords(pointer + 16, words + 2, 4)) return walked;
    if (frames.count < ThreadCallStackFrames::kStoredLimit) {
      STACKFRAME64& record = frames.frames[frames.count];
      std::memset(&record, 0, sizeof(record));
      record.AddrPC = {pc, 0, AddrModeFlat};
      record.AddrFrame = {pointer, 0, AddrModeFlat};
      record.AddrStack = {stackPointer, 0, AddrModeFlat};
      if (withParameters) std::memcpy(record.Params, words + 2, sizeof(record.Params));
      ++frames.count;
    }
    ++walked;
    pc = words[1];
    if (pc == 0) break;
    // A chain that does not climb would never end.
    if (words[0] <= pointer) break;
    pointer = words[0];
  }
  return walked;
}

bool DumpThreadCallStack(HANDLE thread) {
  const uint64_t callerHandle = reinterpret_cast<uintptr_t>(thread);
  HANDLE duplicate = nullptr;
  if (!DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &duplicate,
                       THREAD_SUSPEND_RESUME | THREAD_GET_CONTEXT | THREAD_QUERY_LIMITED_INFORMATION, FALSE, 0)) {
    const DWORD error = GetLastError();
    DebugLog(1, "Failed to get duplicate handle (Handle=0x%I64X, Error=%s (%ld))", callerHandle,
             SystemErrorTextNarrow(error).c_str(), static_cast<long>(error));
    return false;
  }
  const UniqueHandle duplicateOwner(duplicate);

  // Suspending the calling thread would never come back.
  const bool isCaller = GetThreadId(duplicate) == GetCurrentThreadId();
  if (isCaller || SuspendThread(duplicate) == static_cast<DWORD>(-1)) {
    const DWORD error = isCaller ? static_cast<DWORD>(ERROR_INVALID_PARAMETER) : GetLastError();
    DebugLog(1, "Failed to suspended thread Handle=0x%I64X, Error=%s (%ld)", callerHandle,
             SystemErrorTextNarrow(error).c_str(), static_cast<long>(error));
    return false;
  }
  // Large, and kept off the heap: nothing may be allocated while the target
  // is suspended, since it may hold the heap lock.
  static_assert(sizeof(ThreadSnapshot) < 48 * 1024, "the snapshot lives on the stack");
  ThreadSnapshot snapshot;
  const bool captured = Capture(duplicate, snapshot);
  const bool resumed = ResumeThread(duplicate) != static_cast<DWORD>(-1);
  const DWORD resumeError = GetLastError();
  if (!captured) {
    if (!resumed) DebugLog(1, "Failed to resume suspended thread Handle=0x%I64X", callerHandle);
    DebugLog(1, "Failed to get thread context for suspended thread Handle=0x%I64X", callerHandle);
    return false;
  }
  if (!resumed) {
    DebugLog(1, "Failed to resume suspended thread Handle=0x%I64X, Error=%s (%ld)", callerHandle,
             SystemErrorTextNarrow(resumeError).c_str(), static_cast<long>(resumeError));
    return false;
  }
  if (!StackTrace.Initialize()) {
    DebugLog(3, "Error innitializing the symbol engine");
    return false;
  }
  // The unwinder's frames when it finds any, else the frame chain's.
  ThreadCallStackFrames unwound;
  const int unwoundCount = UnwindSnapshot(snapshot, unwound);
  const ThreadCallStackFrames& frames = unwoundCount > 0 ? unwound : snapshot.frames;
  const int walked = unwoundCount > 0 ? unwoundCount : snapshot.walked;
  if (walked == 0) {
    StackTrace.Unlock();
    DebugLog(1, "Failed to extract call stack frames for thread Handle=0x%I64X", callerHandle);
    return false;
  }
  DebugLog(3, "Stack Frame Context: ESP=%016I64X  EBP=%016I64X", snapshot.stackPointer, snapshot.framePointer);
  MemoryDump(snapshot.stackStart, snapshot.stack, snapshot.stackLength);
  if (snapshot.frameTaken) MemoryDump(snapshot.frameStart, snapshot.frame, snapshot.frameLength);
  for (int i = 0; i < frames.count; ++i) PrintThreadCallStackFrame(&frames.frames[i]);
  if (walked > frames.count) {
    DebugLog(3, "Quitting StackWalkDump after %d iterations", static_cast<int>(frames.count));
  }
  StackTrace.Unlock();
  return true;
}

void Thread::DumpStackIfConfigured(const char* keyPath, int32_t defaultCount, int32_t value, int32_t defaultFrequency) {
  bool enabled = true;
  int32_t count = defaultCount;
  int32_t frequency = defaultFrequency;
  Registry key(HKEY_LOCAL_MACHINE, keyPath, false);
  if (key.Open(false)) {
    if (key.GetValue("DumpThreadStackInfo", &enabled)) {
      key.GetValue("DumpThreadStackInfoCount", &count);
      key.GetValue("DumpThreadStackInfoFrequency", &frequency);
    }
    key.Close();
  }
  if (!enabled) return;
  const int32_t last = GetLastDumpValue();
  const bool due = defaultCount == 0 || value == count || (defaultFrequency == -1 && last != 0 && value > count) ||
                   (frequency > 0 && last != 0 && value > count && value - last >= frequency);
  if (!due) return;
  if (!DumpThreadCallStack(GetHandle())) {
    DebugLog(1, "Failed to output thread call stack (thread Id=0x%X, Handle=0x%I64X)",
             static_cast<unsigned>(GetThreadId()), static_cast<uint64_t>(reinterpret_cast<uintptr_t>(GetHandle())));
  }
  SetLastDumpValue(value);
}
