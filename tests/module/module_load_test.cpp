// Loading the provider module builds the support library's process-wide
// objects inside the module itself, not only in programs that use the
// library directly.

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "tools/wmihost/host_session.h"

namespace {

std::string* debugOutput = nullptr;

// Debug output is raised as an exception that the platform handles when no
// debugger is attached; a vectored handler sees it first.
LONG CALLBACK RecordDebugOutput(EXCEPTION_POINTERS* pointers) {
  const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
  if (record.ExceptionCode == DBG_PRINTEXCEPTION_C && record.NumberParameters >= 2 && debugOutput != nullptr) {
    *debugOutput += reinterpret_cast<const char*>(record.ExceptionInformation[1]);
  }
  return EXCEPTION_CONTINUE_SEARCH;
}

}  // namespace

TEST(ModuleLoad, TheModulesOwnSymbolEngineComputesItsPathAtLoad) {
  const std::wstring path = wmihost::ProviderPathBesideExecutable();
  ASSERT_EQ(GetModuleHandleW(path.c_str()), nullptr);
  std::string output;
  debugOutput = &output;
  void* handler = AddVectoredExceptionHandler(1, RecordDebugOutput);
  HMODULE module = LoadLibraryW(path.c_str());
  RemoveVectoredExceptionHandler(handler);
  debugOutput = nullptr;
  ASSERT_NE(module, nullptr);
  FreeLibrary(module);

  // Once per load, and the path starts with the current folder.
  const std::string expected = "Symbols Path: " + std::filesystem::current_path().string() + ";";
  const size_t found = output.find(expected);
  EXPECT_NE(found, std::string::npos) << output;
  EXPECT_EQ(output.find("Symbols Path: ", found + 1), std::string::npos) << output;
}
