// A plug-in module that starts its logger and timer thread and is unloaded
// without stopping them: FreeLibrary returns, the threads keep the module
// mapped while they run, and once the host stops them the module goes.

#include <gtest/gtest.h>
#include <windows.h>

#include "support/fs/unique_handle.h"
#include "tests/fs/scratch_folder.h"

namespace {

constexpr DWORD kHangBound = 15000;

DWORD WINAPI Unload(void* module) { return FreeLibrary(static_cast<HMODULE>(module)) ? 1 : 0; }

// FreeLibrary on a thread of its own, so that a hang fails the test.
bool UnloadReturns(HMODULE module) {
  const UniqueHandle unloader(CreateThread(nullptr, 0, Unload, module, 0, nullptr));
  DWORD freed = 0;
  return unloader && WaitForSingleObject(unloader.get(), kHangBound) == WAIT_OBJECT_0 &&
         GetExitCodeThread(unloader.get(), &freed) && freed == 1;
}

TEST(ModuleUnloadTest, RunningLoggerAndTimerNeitherHangTheUnloadNorLoseTheirCode) {
  ScratchFolder scratch;
  const std::wstring path = ExecutableFolder() + L"\\logger_module.dll";
  HMODULE module = LoadLibraryW(path.c_str());
  ASSERT_NE(module, nullptr);
  using Start = BOOL (*)(const wchar_t*);
  using Stop = void (*)();
  const auto start = reinterpret_cast<Start>(reinterpret_cast<void*>(GetProcAddress(module, "StartModuleThreads")));
  const auto stop = reinterpret_cast<Stop>(reinterpret_cast<void*>(GetProcAddress(module, "StopModuleThreads")));
  ASSERT_TRUE(start != nullptr && stop != nullptr);
  ASSERT_TRUE(start(scratch.Path(L"module.log").c_str()));

  ASSERT_TRUE(UnloadReturns(module));
  EXPECT_EQ(GetModuleHandleW(path.c_str()), module) << "the module's threads no longer hold it";

  // The host's part before an unload: a reference of its own while it stops
  // the module's threads, then the unload.
  ASSERT_EQ(LoadLibraryW(path.c_str()), module);
  stop();
  ASSERT_TRUE(UnloadReturns(module));
  EXPECT_EQ(GetModuleHandleW(path.c_str()), nullptr);
  EXPECT_NE(scratch.Read(L"module.log").find("module logger started"), std::string::npos);
}

}  // namespace
