// The crash report's parts in this process: code names against the SDK's
// constants, logical addresses against DbgHelp's own section lookup, the
// report's lines for a made-up exception, the invalid-parameter path through
// the universal run time, and the registry-controlled dump of a thread.

#include "support/threads/crash_report.h"

#include <dbghelp.h>
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "support/threads/crash_dump.h"
#include "support/threads/invalid_parameter.h"
#include "support/threads/stack_trace.h"
#include "support/threads/symbol_engine.h"
#include "support/threads/thread.h"
#include "tests/common/recording_sink.h"
#include "tests/fs/scratch_folder.h"
#include "tests/threads/stack_test_support.h"

namespace {

size_t CountStarting(const std::vector<std::string>& texts, const std::string& prefix) {
  size_t count = 0;
  for (const auto& text : texts) count += text.rfind(prefix, 0) == 0 ? 1 : 0;
  return count;
}

TEST(ExceptionNames, TableCodesByTheirSdkNames) {
  const struct {
    DWORD code;
    const char* name;
  } kCases[] = {
      {EXCEPTION_GUARD_PAGE, "GUARD_PAGE"},
      {EXCEPTION_DATATYPE_MISALIGNMENT, "DATATYPE_MISALIGNMENT"},
      {EXCEPTION_BREAKPOINT, "BREAKPOINT"},
      {EXCEPTION_SINGLE_STEP, "SINGLE_STEP"},
      {EXCEPTION_ACCESS_VIOLATION, "ACCESS_VIOLATION"},
      {EXCEPTION_IN_PAGE_ERROR, "IN_PAGE_ERROR"},
      {EXCEPTION_INVALID_HANDLE, "INVALID_HANDLE"},
      {EXCEPTION_ILLEGAL_INSTRUCTION, "ILLEGAL_INSTRUCTION"},
      {EXCEPTION_NONCONTINUABLE_EXCEPTION, "NONCONTINUABLE_EXCEPTION"},
      {EXCEPTION_INVALID_DISPOSITION, "INVALID_DISPOSITION"},
      {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, "ARRAY_BOUNDS_EXCEEDED"},
      {EXCEPTION_FLT_DENORMAL_OPERAND, "FLT_DENORMAL_OPERAND"},
      {EXCEPTION_FLT_DIVIDE_BY_ZERO, "FLT_DIVIDE_BY_ZERO"},
      {EXCEPTION_FLT_INEXACT_RESULT, "FLT_INEXACT_RESULT"},
      {EXCEPTION_FLT_INVALID_OPERATION, "FLT_INVALID_OPERATION"},
      {EXCEPTION_FLT_OVERFLOW, "FLT_OVERFLOW"},
      {EXCEPTION_FLT_STACK_CHECK, "FLT_STACK_CHECK"},
      {EXCEPTION_FLT_UNDERFLOW, "FLT_UNDERFLOW"},
      {EXCEPTION_INT_DIVIDE_BY_ZERO, "INT_DIVIDE_BY_ZERO"},
      {EXCEPTION_INT_OVERFLOW, "INT_OVERFLOW"},
      {EXCEPTION_PRIV_INSTRUCTION, "PRIV_INSTRUCTION"},
      {EXCEPTION_STACK_OVERFLOW, "STACK_OVERFLOW"},
  };
  for (const auto& test : kCases) EXPECT_STREQ(ExceptionCodeName(test.code), test.name) << std::hex << test.code;
}

TEST(ExceptionNames, OtherCodesTakeNtdllsTextOrKeepThePreviousOne) {
  char reference[512];
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleA("NTDLL.DLL"),
                     0xC0000017, 0, reference, sizeof(reference), nullptr);
  const std::string before = ExceptionCodeName(0xE0F0F0F0);
  if (length != 0) {
    EXPECT_STREQ(ExceptionCodeName(0xC0000017), reference);
  } else {
    // This system names nothing: the shared text stays as it was.
    EXPECT_EQ(ExceptionCodeName(0xC0000017), before);
  }
}

TEST(LogicalAddress, SectionAndOffsetAsDbgHelpFindsThem) {
  HMODULE dbghelp = LoadLibraryA("dbghelp.dll");
  ASSERT_NE(dbghelp, nullptr);
  const auto imageNtHeader =
      reinterpret_cast<decltype(&::ImageNtHeader)>(reinterpret_cast<void*>(GetProcAddress(dbghelp, "ImageNtHeader")));
  ASSERT_NE(imageNtHeader, nullptr);
  auto* base = reinterpret_cast<unsigned char*>(GetModuleHandleA(nullptr));
  const IMAGE_NT_HEADERS* nt = imageNtHeader(base);
  ASSERT_NE(nt, nullptr);
  const IMAGE_SECTION_HEADER* first = IMAGE_FIRST_SECTION(nt);
  const auto* code = reinterpret_cast<const unsigned char*>(&CaptureHere);
  const DWORD codeRva = static_cast<DWORD>(code - base);
  for (WORD i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
    const IMAGE_SECTION_HEADER& header = first[i];
    if (codeRva < header.VirtualAddress || codeRva >= header.VirtualAddress + header.Misc.VirtualSize) continue;
    char name[MAX_PATH] = {};
    DWORD section = 0;
    uintptr_t offset = 1;
    ASSERT_TRUE(GetLogicalAddress(base + header.VirtualAddress, name, MAX_PATH, section, offset));
    EXPECT_EQ(section, i + 1u);
    EXPECT_EQ(offset, 0u);
    char module[MAX_PATH];
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    EXPECT_STREQ(name, module);
    ASSERT_TRUE(GetLogicalAddress(code, name, MAX_PATH, section, offset));
    EXPECT_EQ(section, i + 1u);
    EXPECT_EQ(offset, codeRva - header.VirtualAddress);
  }
  char name[MAX_PATH];
  DWORD section = 0;
  uintptr_t offset = 0;
  // The headers lie before every section; the heap is in no module.
  EXPECT_FALSE(GetLogicalAddress(base + 16, name, MAX_PATH, section, offset));
  std::vector<char> heap(64);
  EXPECT_FALSE(GetLogicalAddress(heap.data(), name, MAX_PATH, section, offset));
  FreeLibrary(dbghelp);
}

TEST(CrashReport, LinesInOrderWithFullWidthAddresses) {
  CapturedContext captured = CaptureHere();
  captured.context.Rax = 0x0123456789ABCDEFull;
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(0x00007FF612345678ull);
  EXCEPTION_POINTERS pointers = {&record, &captured.context};
  RecordingSink sink;
  LogExceptionReport(&pointers);
  const auto texts = NarrowTexts(sink);
  ASSERT_GE(texts.size(), 8u);
  EXPECT_EQ(texts[0], "Exception code: C0000005 ACCESS_VIOLATION");
  EXPECT_EQ(texts[1], "Fault address:  00007FF612345678");
  EXPECT_EQ(texts[2].rfind("Registers:\tEAX=0123456789ABCDEF EBX=", 0), 0u);
  EXPECT_EQ(texts[3].rfind("\t\tESI=", 0), 0u);
  EXPECT_NE(texts[3].find("  EBP="), std::string::npos);
  EXPECT_EQ(texts[4].rfind("\t\tCS=", 0), 0u);
  EXPECT_EQ(texts[5], "------------------Begin Stack Trace------------------");
  EXPECT_EQ(texts[6].rfind("Stack Frame Context:", 0), 0u);
  EXPECT_EQ(texts.back(), "------------------End Stack Trace------------------");
  EXPECT_EQ(CountStarting(texts, "PrintThreadCallStackFrame - Symbol Information: CaptureHere"), 1u);
}

// A thread that holds the symbol engine, as a dump stuck in DbgHelp would.
class EngineHolder {
 public:
  EngineHolder()
      : held_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        release_(CreateEventW(nullptr, TRUE, FALSE, nullptr)),
        thread_(CreateThread(nullptr, 0, Hold, this, 0, nullptr)) {
    WaitForSingleObject(held_, 15000);
  }
  ~EngineHolder() {
    SetEvent(release_);
    WaitForSingleObject(thread_, 15000);
    CloseHandle(thread_);
    CloseHandle(release_);
    CloseHandle(held_);
  }
  EngineHolder(const EngineHolder&) = delete;
  EngineHolder& operator=(const EngineHolder&) = delete;

 private:
  static DWORD WINAPI Hold(void* self) {
    auto* holder = static_cast<EngineHolder*>(self);
    if (!StackTrace.Initialize()) return 1;
    SetEvent(holder->held_);
    WaitForSingleObject(holder->release_, 15000);
    StackTrace.Unlock();
    return 0;
  }
  HANDLE held_;
  HANDLE release_;
  HANDLE thread_;
};

TEST(CrashReport, WrittenWithoutTheStackWhileTheSymbolEngineIsHeld) {
  CapturedContext captured = CaptureHere();
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  EXCEPTION_POINTERS pointers = {&record, &captured.context};
  WaitingThread waiting;
  {
    EngineHolder holder;
    RecordingSink sink;
    LogExceptionReport(&pointers);
    EXPECT_FALSE(DumpThreadCallStack(waiting.Handle()));
    const auto texts = NarrowTexts(sink);
    EXPECT_EQ(texts.front(), "Exception code: C0000005 ACCESS_VIOLATION");
    EXPECT_EQ(CountStarting(texts, "Symbol engine held by thread 0x"), 2u);
    EXPECT_EQ(CountStarting(texts, "------------------End Stack Trace------------------"), 1u);
    EXPECT_EQ(CountStarting(texts, "Stack Frame Context"), 0u);
  }
  // Released, the engine serves the next report.
  RecordingSink sink;
  LogExceptionReport(&pointers);
  EXPECT_EQ(CountStarting(NarrowTexts(sink), "PrintThreadCallStackFrame - Symbol Information: CaptureHere"), 1u);
}

// A folder that is not a full path would follow the current directory,
// whatever it is at the crash; the full-path control is the tests below.
TEST(CrashDump, OnlyAFullFolderPathIsUsed) {
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  CONTEXT context = {};
  EXCEPTION_POINTERS pointers = {&record, &context};
  for (const wchar_t* folder : {L"dumps", L"C:dumps", L"\\dumps", L".\\dumps", L"%NoSuchVariable%\\dumps"}) {
    RecordingSink sink;
    CrashDumpSettings settings;
    settings.folder = folder;
    ConfigureCrashDump(settings);
    EXPECT_FALSE(WriteCrashDump(&pointers, GetCurrentThreadId()));
    ConfigureCrashDump(CrashDumpSettings());
    const auto texts = NarrowTexts(sink);
    ASSERT_EQ(texts.size(), 1u);
    EXPECT_EQ(texts[0].rfind("CrashDumpFolder is not a full path: ", 0), 0u) << texts[0];
  }
}

// A thread that holds the loader lock, which a new thread needs before it
// runs: the dump's helper cannot start, and the crash path must not wait for
// it the whole bound. Runs first, so that the next test shows the dump path
// works again once the lock is free.
TEST(CrashDump, AHelperThatCannotStartIsGivenUpSoon) {
  using LockLoader = LONG(NTAPI*)(ULONG, ULONG*, ULONG_PTR*);
  using UnlockLoader = LONG(NTAPI*)(ULONG, ULONG_PTR);
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto lockLoader =
      reinterpret_cast<LockLoader>(reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrLockLoaderLock")));
  const auto unlockLoader = reinterpret_cast<UnlockLoader>(
      reinterpret_cast<void*>(GetProcAddress(ntdll, "LdrUnlockLoaderLock")));
  ASSERT_TRUE(lockLoader != nullptr && unlockLoader != nullptr);
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  CONTEXT context = {};
  EXCEPTION_POINTERS pointers = {&record, &context};
  ScratchFolder folder;
  CrashDumpSettings settings;
  settings.folder = folder.path();
  ConfigureCrashDump(settings);
  RecordingSink sink;
  ULONG_PTR cookie = 0;
  ASSERT_EQ(lockLoader(0, nullptr, &cookie), 0);
  const ULONGLONG start = GetTickCount64();
  const bool written = WriteCrashDump(&pointers, GetCurrentThreadId());
  const ULONGLONG elapsed = GetTickCount64() - start;
  unlockLoader(0, cookie);
  ConfigureCrashDump(CrashDumpSettings());
  EXPECT_FALSE(written);
  EXPECT_LT(elapsed, 15000u);
  const auto texts = NarrowTexts(sink);
  ASSERT_EQ(CountStarting(texts, "Crash dump failed: (not named) [helper thread did not start"), 1u);
  EXPECT_EQ(CountStarting(texts, "Crash dump"), 1u);
}

// A fault inside DbgHelp leaves the crashing thread holding the symbol
// engine while it waits for its dump; the control is ZelTool crash's dump.
TEST(CrashDump, WrittenWhileTheCrashingThreadHoldsTheSymbolEngine) {
  CapturedContext captured = CaptureHere();
  EXCEPTION_RECORD record = {};
  record.ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
  record.ExceptionAddress = reinterpret_cast<void*>(captured.context.Rip);
  EXCEPTION_POINTERS pointers = {&record, &captured.context};
  ScratchFolder folder;
  CrashDumpSettings settings;
  settings.folder = folder.path();
  ConfigureCrashDump(settings);
  RecordingSink sink;
  ASSERT_TRUE(StackTrace.Acquire());
  const bool written = WriteCrashDump(&pointers, GetCurrentThreadId());
  StackTrace.Unlock();
  ConfigureCrashDump(CrashDumpSettings());
  EXPECT_TRUE(written);
  const auto texts = NarrowTexts(sink);
  EXPECT_EQ(CountStarting(texts, "Crash dump: "), 1u);
  EXPECT_EQ(CountStarting(texts, "Crash dump failed"), 0u);
}

TEST(InvalidParameter, TheUniversalRunTimeReportsAndTheCallerIsDumped) {
  InvalidParameterHandlerInstaller installer;
  ASSERT_TRUE(installer.IsInstalled());
  HMODULE ucrt = GetModuleHandleA("ucrtbase.dll");
  ASSERT_NE(ucrt, nullptr);
  const auto close = reinterpret_cast<int(__cdecl*)(int)>(reinterpret_cast<void*>(GetProcAddress(ucrt, "_close")));
  ASSERT_NE(close, nullptr);
  RecordingSink sink;
  EXPECT_EQ(close(-1), -1);
  const auto texts = NarrowTexts(sink);
  // A release run time passes no texts.
  EXPECT_EQ(CountStarting(texts,
                          "Invalid parameter supplied to crt function expression 'unavailable', function "
                          "'unavailable', in file 'unavailable', line 0"),
            1u);
  EXPECT_EQ(CountStarting(texts, "Stack Frame Context: ESP="), 1u);
  EXPECT_EQ(CountStarting(texts, "Failed"), 0u);
}

class IdleThread : public Thread {
 public:
  IdleThread() : Thread("Idle") {}
  ~IdleThread() override { Stop(); }

 protected:
  void Run() override { StopEvent().Wait(kWaitForever); }
};

// Values under a scratch key of HKEY_LOCAL_MACHINE, removed afterwards.
class DumpSwitchKey {
 public:
  static constexpr const char* kPath = "Software\\FernwickTests\\StackDump";
  DumpSwitchKey() {
    RegCreateKeyExA(HKEY_LOCAL_MACHINE, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr);
  }
  ~DumpSwitchKey() {
    RegCloseKey(key_);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kPath);
  }
  void Set(const char* name, DWORD value) {
    RegSetValueExA(key_, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value), sizeof(value));
  }

 private:
  HKEY key_ = nullptr;
};

// The values of `values` at which a fresh thread's dump happened.
std::vector<int> DumpedAt(const char* key, int count, const std::vector<int>& values, int frequency) {
  IdleThread thread;
  EXPECT_TRUE(thread.Start());
  std::vector<int> dumped;
  for (int value : values) {
    RecordingSink sink;
    thread.DumpStackIfConfigured(key, count, value, frequency);
    if (CountStarting(NarrowTexts(sink), "Stack Frame Context:") == 1) dumped.push_back(value);
  }
  EXPECT_EQ(thread.GetLastDumpValue(), dumped.empty() ? 0 : dumped.back());
  return dumped;
}

TEST(RegistryControlledDump, CountAndFrequencyFromDefaultsOrTheRegistry) {
  const char* absent = "Software\\FernwickTests\\NoSuchKey";
  EXPECT_EQ(DumpedAt(absent, 5, {4, 5, 6, 7, 8}, 3), (std::vector<int>{5, 8}));
  EXPECT_EQ(DumpedAt(absent, 0, {1, 1, 2}, 3), (std::vector<int>{1, 1, 2}));
  EXPECT_EQ(DumpedAt(absent, 2, {1, 2, 3, 4}, -1), (std::vector<int>{2, 3, 4}));
  DumpSwitchKey key;
  key.Set("DumpThreadStackInfo", 0);
  EXPECT_TRUE(DumpedAt(DumpSwitchKey::kPath, 0, {1, 2}, 3).empty());
  key.Set("DumpThreadStackInfo", 1);
  key.Set("DumpThreadStackInfoCount", 2);
  key.Set("DumpThreadStackInfoFrequency", 1);
  EXPECT_EQ(DumpedAt(DumpSwitchKey::kPath, 5, {1, 2, 3, 4}, 3), (std::vector<int>{2, 3, 4}));
}

}  // namespace
