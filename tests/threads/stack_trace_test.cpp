// Stack diagnostics checked against what the platform and the compiler say
// independently: the memory map, __FILE__/__LINE__ of a captured context,
// the environment and the executable's own path.

#include "support/threads/stack_trace.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <malloc.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "support/threads/symbol_engine.h"
#include "tests/common/recording_sink.h"
#include "tests/threads/stack_test_support.h"

namespace {

std::string Narrow(const std::wstring& text) { return std::string(text.begin(), text.end()); }

size_t CountContaining(const std::vector<std::string>& texts, const std::string& part) {
  return static_cast<size_t>(std::count_if(
      texts.begin(), texts.end(), [&](const std::string& text) { return text.find(part) != std::string::npos; }));
}

std::string Hex16(uint64_t value) {
  char text[32];
  std::snprintf(text, sizeof(text), "%016llX", static_cast<unsigned long long>(value));
  return text;
}

class ScopedVariable {
 public:
  ScopedVariable(const char* name, const char* value) : name_(name) {
    char old[4096];
    const DWORD length = GetEnvironmentVariableA(name, old, sizeof(old));
    if (length != 0 && length < sizeof(old)) saved_ = old;
    hadValue_ = length != 0;
    SetEnvironmentVariableA(name, value);
  }
  ~ScopedVariable() { SetEnvironmentVariableA(name_, hadValue_ ? saved_.c_str() : nullptr); }

 private:
  const char* name_;
  std::string saved_;
  bool hadValue_ = false;
};

TEST(SymbolPath, JoinsFoldersAndVariablesInOrderAndReportsUnsetOnes) {
  char folder[MAX_PATH];
  GetCurrentDirectoryA(MAX_PATH, folder);
  char module[MAX_PATH];
  GetModuleFileNameA(nullptr, module, MAX_PATH);
  const std::string executableFolder = std::filesystem::path(module).parent_path().string();
  char root[MAX_PATH];
  ASSERT_NE(GetEnvironmentVariableA("SYSTEMROOT", root, MAX_PATH), 0u);

  SymbolEngine engine;
  char path[SymbolEngine::kSymbolPathSize];
  {
    ScopedVariable symbols("_NT_SYMBOL_PATH", nullptr);
    ScopedVariable alternate("_NT_ALTERNATE_SYMBOL_PATH", nullptr);
    RecordingSink sink;
    ASSERT_EQ(engine.GetSymbolPath(path, sizeof(path)), path);
    EXPECT_EQ(std::string(path), std::string(folder) + ";" + executableFolder + ";" + root);
    const auto texts = NarrowTexts(sink);
    EXPECT_EQ(CountContaining(texts, "Cannot get env value for _NT_SYMBOL_PATH"), 1u);
    EXPECT_EQ(CountContaining(texts, "Cannot get env value for _NT_ALTERNATE_SYMBOL_PATH"), 1u);
    EXPECT_EQ(texts.size(), 2u);
  }
  {
    ScopedVariable symbols("_NT_SYMBOL_PATH", "srv*c:\\symbols");
    ScopedVariable alternate("_NT_ALTERNATE_SYMBOL_PATH", "d:\\alt");
    const std::string full = std::string(folder) + ";" + executableFolder + ";srv*c:\\symbols;d:\\alt;" + root;
    EXPECT_EQ(std::string(engine.GetSymbolPath(path, sizeof(path))), full);
    // Every component fits, the whole path does not: it is cut.
    std::vector<char> small(full.size() - 5);
    EXPECT_EQ(std::string(engine.GetSymbolPath(small.data(), small.size())), full.substr(0, small.size() - 1));
  }
  EXPECT_EQ(engine.GetSymbolPath(nullptr, 10), nullptr);
}

TEST(SymbolPath, ExecutableFolderCutsAtTheLastSeparator) {
  const struct {
    const char* path;
    const char* folder;
  } kCases[] = {
      {"C:\\Program Files\\app.exe", "C:\\Program Files"},
      {"C:app.exe", "C:"},
      {"C:\\dir/sub/app.exe", "C:\\dir/sub"},
      {"app.exe", ""},
      {"\\app.exe", ""},
  };
  for (const auto& test : kCases) EXPECT_EQ(ExecutableFolder(test.path), test.folder) << test.path;
}

TEST(SymbolEngineLoading, AMissingDbgHelpIsReportedAndTriedAgain) {
  SymbolEngine engine;
  engine.SetLibraryLoader([](const char*) -> HMODULE {
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
  });
  RecordingSink sink;
  EXPECT_FALSE(engine.Initialize());
  EXPECT_FALSE(engine.IsInitialized());
  EXPECT_EQ(CountContaining(NarrowTexts(sink), "[StackTrace->Initialize] Cannot load library DbgHelp.dll"), 1u);
  engine.SetLibraryLoader(nullptr);
  ASSERT_TRUE(engine.Initialize());
  EXPECT_TRUE(engine.IsInitialized());
  engine.Unlock();
  EXPECT_EQ(CountContaining(NarrowTexts(sink), "Loaded "), 1u);
}

TEST(SymbolEngineLoading, AThreadEndingWithTheLockMakesTheEngineRefuse) {
  SymbolEngine engine;
  RecordingSink sink;
  ASSERT_TRUE(engine.Initialize());
  engine.Unlock();
  HANDLE holder = CreateThread(
      nullptr, 0, [](void* engine) -> DWORD { return static_cast<SymbolEngine*>(engine)->Acquire() ? 0 : 1; },
      &engine, 0, nullptr);
  ASSERT_NE(holder, nullptr);
  ASSERT_EQ(WaitForSingleObject(holder, 15000), WAIT_OBJECT_0);
  CloseHandle(holder);
  EXPECT_FALSE(engine.Initialize());
  EXPECT_FALSE(engine.Acquire());
  EXPECT_EQ(CountContaining(NarrowTexts(sink), "Symbol engine abandoned by a thread that ended holding it"), 1u);
  EXPECT_EQ(CountContaining(NarrowTexts(sink), "Symbol engine unusable"), 1u);
}

// Two threads waiting when the holder ends: one is told of the abandonment,
// and the other, which gets the lock after it, must not use DbgHelp either.
TEST(SymbolEngineLoading, NoWaiterUsesTheEngineAfterItsHolderEnded) {
  struct Shared {
    SymbolEngine engine;
    HANDLE end = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::atomic<int> acquired{0};
  } shared;
  RecordingSink sink;
  const auto holder = [](void* state) -> DWORD {
    auto& shared = *static_cast<Shared*>(state);
    if (!shared.engine.Acquire()) return 1;
    return WaitForSingleObject(shared.end, 15000);
  };
  const auto waiter = [](void* state) -> DWORD {
    auto& shared = *static_cast<Shared*>(state);
    if (!shared.engine.Acquire()) return 0;
    ++shared.acquired;
    shared.engine.Unlock();
    return 0;
  };
  HANDLE threads[3] = {CreateThread(nullptr, 0, holder, &shared, 0, nullptr)};
  Sleep(300);
  threads[1] = CreateThread(nullptr, 0, waiter, &shared, 0, nullptr);
  threads[2] = CreateThread(nullptr, 0, waiter, &shared, 0, nullptr);
  Sleep(300);
  SetEvent(shared.end);
  EXPECT_EQ(WaitForMultipleObjects(3, threads, TRUE, 15000), WAIT_OBJECT_0);
  for (HANDLE thread : threads) CloseHandle(thread);
  CloseHandle(shared.end);
  EXPECT_EQ(shared.acquired, 0);
  EXPECT_EQ(CountContaining(NarrowTexts(sink), "Symbol engine abandoned by a thread that ended holding it"), 1u);
}

TEST(MemoryDumpRows, WholeRowsOnlyAndUnreadableBytesStayMarked) {
  {
    unsigned char data[20];
    for (int i = 0; i < 20; ++i) data[i] = static_cast<unsigned char>(0x3E + i);
    RecordingSink sink;
    MemoryDump(0x1000, data, sizeof(data));
    const auto texts = NarrowTexts(sink);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Memory dump 0000000000001000, length 16");
    EXPECT_EQ(texts[1], "  0000000000001000: 3E 3F 40 41 42 43 44 45 46 47 48 49 4A 4B 4C 4D  *>?@ABCDEFGHIJKLM*");
  }
  {
    GuardedPage page;
    unsigned char* end = page.ReadableEnd();
    const unsigned char bytes[8] = {0x00, 0x7F, 'a', 'b', 0xFF, ' ', '~', 0x1F};
    std::memcpy(end - 8, bytes, 8);
    RecordingSink sink;
    MemoryDump(end - 8, 32);
    const auto texts = NarrowTexts(sink);
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0], "Memory dump " + Hex16(reinterpret_cast<uintptr_t>(end - 8)) + ", length 32");
    EXPECT_EQ(texts[1], "  " + Hex16(reinterpret_cast<uintptr_t>(end - 8)) +
                            ": 00 7F 61 62 FF 20 7E 1F ?? ?? ?? ?? ?? ?? ?? ??  *..ab. ~.........*");
  }
}

TEST(FrameChainWalk, FollowsRisingChainsAndStopsAtBadLinks) {
  FakeStack stack;
  // Five frames, each 64 bytes above the last, then a link back down.
  for (int i = 0; i < 5; ++i) stack.Link(i, i + 1, 0x401000 + i);
  stack.LinkTo(5, stack.FrameAddress(2), 0x402000);
  ThreadCallStackFrames frames;
  EXPECT_EQ(ExtractCallStackFrames(stack.FrameAddress(0), 0x1234, 0x400000, frames), 6);
  ASSERT_EQ(frames.count, 6);
  EXPECT_EQ(frames.frames[0].AddrPC.Offset, 0x400000u);
  EXPECT_EQ(frames.frames[1].AddrPC.Offset, 0x401000u);
  EXPECT_EQ(frames.frames[1].AddrFrame.Offset, stack.FrameAddress(1));
  EXPECT_EQ(frames.frames[3].AddrStack.Offset, 0x1234u);
  EXPECT_EQ(frames.frames[0].Params[0], stack.Word(0, 2));
  EXPECT_EQ(frames.frames[0].Params[3], stack.Word(0, 5));

  // A link to itself, and a link into memory that is reserved but not committed.
  stack.LinkTo(1, stack.FrameAddress(1), 0x403000);
  EXPECT_EQ(ExtractCallStackFrames(stack.FrameAddress(0), 0, 1, frames), 2);
  GuardedPage page;
  stack.LinkTo(1, reinterpret_cast<uintptr_t>(page.ReadableEnd()), 0x403000);
  EXPECT_EQ(ExtractCallStackFrames(stack.FrameAddress(0), 0, 1, frames), 2);
  EXPECT_EQ(ExtractCallStackFrames(reinterpret_cast<uintptr_t>(page.ReadableEnd()), 0, 1, frames), 0);
  // A zero return address ends the chain after its frame.
  stack.LinkTo(0, stack.FrameAddress(1), 0);
  EXPECT_EQ(ExtractCallStackFrames(stack.FrameAddress(0), 0, 1, frames), 1);
}

TEST(FrameChainWalk, StoresNinetyNineOfALongChain) {
  FakeStack stack(160);
  for (int i = 0; i < 150; ++i) stack.Link(i, i + 1, 0x500000 + i);
  stack.LinkTo(150, 0, 0x600000);
  ThreadCallStackFrames frames;
  EXPECT_EQ(ExtractCallStackFrames(stack.FrameAddress(0), 0, 1, frames), 151);
  EXPECT_EQ(frames.count, ThreadCallStackFrames::kStoredLimit);
}

// A corrupt frame pointer into a long list laid out upwards (nodes allocated
// in order, the link first) reads as a chain too: the walk, which runs while
// its thread is suspended, stops long before its end.
TEST(FrameChainWalk, AChainLongerThanAnyStackIsCutOff) {
  constexpr size_t kNodes = size_t{1} << 20;
  std::vector<uint64_t> list(2 * kNodes);
  for (size_t i = 0; i + 2 < list.size(); i += 2) {
    list[i] = reinterpret_cast<uintptr_t>(&list[i + 2]);
    list[i + 1] = 0x500000;
  }
  ThreadCallStackFrames frames;
  const int walked = ExtractCallStackFrames(reinterpret_cast<uintptr_t>(list.data()), 0, 1, frames);
  EXPECT_GT(walked, ThreadCallStackFrames::kStoredLimit);
  EXPECT_LT(static_cast<size_t>(walked), kNodes);
}

TEST(CurrentThreadDump, NamesTheCapturingFunctionWithItsFileAndLine) {
  const CapturedContext captured = CaptureHere();
  {
    RecordingSink sink;
    EXPECT_EQ(DumpCallStack(GetCurrentThread(), &captured.context), 1);
    const auto texts = NarrowTexts(sink);
    EXPECT_EQ(CountContaining(texts, "Stack Frame Context: ESP=" + Hex16(captured.context.Rsp) +
                                         "  EBP=" + Hex16(captured.context.Rbp)),
              1u);
    EXPECT_EQ(CountContaining(texts, "PrintThreadCallStackFrame - Symbol Information: CaptureHere"), 1u);
    EXPECT_EQ(CountContaining(texts, "PrintThreadCallStackFrame - Source File: " + captured.FileName() + ", line " +
                                         captured.PaddedLine()),
              1u);
  }
  {
    ZELString text;
    EXPECT_EQ(FormatCallStack(GetCurrentThread(), &captured.context, text), 0u);
    const std::string output = Narrow(text.GetWide());
    EXPECT_EQ(output.rfind("#-----    Call Stack   -----\n", 0), 0u);
    EXPECT_NE(output.find("#\t1:\t" + captured.ModuleName() + "!CaptureHere\n"), std::string::npos) << output;
    EXPECT_NE(output.find(captured.FileName() + "(" + std::to_string(captured.line) + ") "), std::string::npos)
        << output;
  }
}

TEST(CurrentThreadDump, CutsASourceNameLongerThanTheLine) {
  const CapturedContext captured = CaptureInLongNamedFile();
  ZELString text;
  FormatCallStack(GetCurrentThread(), &captured.context, text);
  const std::string output = Narrow(text.GetWide());
  const size_t start = output.find("#\t\t");
  ASSERT_NE(start, std::string::npos) << output;
  const std::string line = output.substr(start, output.find('\n', start) + 1 - start);
  EXPECT_EQ(line.size(), 1023u);
  EXPECT_NE(line.find("long_source_name.cpp(" + std::to_string(captured.line) + ") +"), std::string::npos);
}

TEST(OtherThreadDump, CapturesAWaitingThreadAndLeavesItRunning) {
  WaitingThread waiting;
  RecordingSink sink;
  ASSERT_TRUE(DumpThreadCallStack(waiting.Handle()));
  const auto texts = NarrowTexts(sink);
  EXPECT_EQ(CountContaining(texts, "Stack Frame Context: ESP="), 1u);
  // Below the system's wait functions, which keep no frame chain.
  EXPECT_EQ(CountContaining(texts, "PrintThreadCallStackFrame - Symbol Information: BlockInWait"), 1u);
  // Not left suspended: the previous suspend count is 0.
  EXPECT_EQ(SuspendThread(waiting.Handle()), 0u);
  ResumeThread(waiting.Handle());
  EXPECT_TRUE(waiting.Finish());
}

TEST(OtherThreadDump, RefusesTheCallerAndEndedThreads) {
  RecordingSink sink;
  EXPECT_FALSE(DumpThreadCallStack(GetCurrentThread()));
  HANDLE ended = CreateThread(
      nullptr, 0, [](void*) -> DWORD { return 0; }, nullptr, 0, nullptr);
  ASSERT_NE(ended, nullptr);
  WaitForSingleObject(ended, INFINITE);
  EXPECT_FALSE(DumpThreadCallStack(ended));
  CloseHandle(ended);
  EXPECT_FALSE(DumpThreadCallStack(nullptr));
  const auto texts = NarrowTexts(sink);
  EXPECT_EQ(CountContaining(texts, "Stack Frame Context"), 0u);
  EXPECT_EQ(CountContaining(texts, "Failed to"), 3u);
}

std::atomic<bool> keepSpinning{true};

// A variable-size frame makes the compiler address it through RBP, and its
// unwind data tells the unwinder to trust RBP.
STACK_TEST_NOINLINE DWORD WINAPI SpinWithFramePointer(void*) {
  volatile char* frame = static_cast<volatile char*>(alloca(16 + (keepSpinning ? 1 : 0)));
  while (keepSpinning) frame[0] = 1;
  return 0;
}

// Registers a suspended thread could hold; the dump reads its stack and
// unwinds it from a copy, which none of these may lead outside of.
TEST(OtherThreadDump, HostileRegistersNeverFault) {
  HANDLE spinning = CreateThread(nullptr, 0, SpinWithFramePointer, nullptr, 0, nullptr);
  ASSERT_NE(spinning, nullptr);
  Sleep(50);
  ASSERT_EQ(SuspendThread(spinning), 0u);
  alignas(16) CONTEXT original = {};
  original.ContextFlags = CONTEXT_FULL;
  ASSERT_TRUE(GetThreadContext(spinning, &original));
  const uint64_t stack = original.Rsp & ~uint64_t{15};
  const uint64_t hostile[] = {0,
                              ~uint64_t{0},
                              ~uint64_t{7},
                              ~uint64_t{6},
                              0xFFFFFFFFFFFFF000ull,
                              0x00007FFFFFFFFFF8ull,
                              0x00007FFFFFFF0000ull,
                              0xFFFF800000000000ull,
                              0xFFFFF80000000000ull,
                              0x10,
                              0x12345678,
                              original.Rsp + 3,
                              original.Rbp + 1,
                              stack - 8,
                              stack - 16,
                              stack + 4096 - 8,
                              stack + 4096,
                              stack + 4096 + 512};
  std::vector<CONTEXT> contexts;
  for (const uint64_t value : hostile) {
    for (DWORD64 CONTEXT::*reg : {&CONTEXT::Rbp, &CONTEXT::Rsp, &CONTEXT::Rip}) {
      contexts.push_back(original);
      contexts.back().*reg = value;
    }
  }
  std::mt19937_64 random(27);
  for (int i = 0; i < 300; ++i) {
    contexts.push_back(original);
    CONTEXT& context = contexts.back();
    // Near the real stack half the time, so that copies and chains start.
    context.Rbp = i % 2 == 0 ? stack + random() % 8192 - 4096 : random();
    context.Rsp = i % 4 == 0 ? random() : original.Rsp;
    if (i % 8 == 0) context.Rip = random();
  }
  int dumped = 0;
  {
    RecordingSink sink;
    for (const CONTEXT& context : contexts) {
      alignas(16) CONTEXT hostileContext = context;
      ASSERT_TRUE(SetThreadContext(spinning, &hostileContext));
      dumped += DumpThreadCallStack(spinning) ? 1 : 0;
    }
  }
  // The dumps saw the hostile registers: some found nothing to walk.
  EXPECT_LT(dumped, static_cast<int>(contexts.size()));
  // The control: its own registers still give its stack.
  ASSERT_TRUE(SetThreadContext(spinning, &original));
  RecordingSink sink;
  ASSERT_TRUE(DumpThreadCallStack(spinning));
  EXPECT_EQ(CountContaining(NarrowTexts(sink), "Symbol Information: SpinWithFramePointer"), 1u);
  EXPECT_EQ(ResumeThread(spinning), 1u);
  keepSpinning = false;
  EXPECT_EQ(WaitForSingleObject(spinning, 15000), WAIT_OBJECT_0);
  CloseHandle(spinning);
}

}  // namespace
