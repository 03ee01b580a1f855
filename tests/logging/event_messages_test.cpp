#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "tests/fs/scratch_folder.h"

namespace {

// The text the platform's formatter builds for `id` from the module's
// message table, with one insertion string.
std::wstring FormatFrom(HMODULE module, DWORD id, const wchar_t* insertion) {
  wchar_t* text = nullptr;
  const DWORD_PTR arguments[] = {reinterpret_cast<DWORD_PTR>(insertion)};
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY, module, id, 0,
      reinterpret_cast<wchar_t*>(&text), 0, reinterpret_cast<va_list*>(const_cast<DWORD_PTR*>(arguments)));
  std::wstring result(text == nullptr ? L"" : text, length);
  LocalFree(text);
  return result;
}

}  // namespace

TEST(EventMessagesTest, EveryDefaultIdResolvesInEveryModuleThatCarriesTheTable) {
  // The modules are built into the test executable's own folder.
  for (const wchar_t* name : {L"\\FernwickRouterSessionPerf.dll", L"\\ZelTool.exe"}) {
    const std::wstring path = ExecutableFolder() + name;
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(nullptr, module) << path;
    for (DWORD id : {0xEFFF2710u, 0xAFFF4E20u, 0x6FFF7530u, 0x6FFFC350u}) {
      EXPECT_EQ(L"entry text\r\n", FormatFrom(module, id, L"entry text")) << path << " " << std::hex << id;
    }
    // An id the table does not hold stays unresolved.
    EXPECT_EQ(L"", FormatFrom(module, 0x6FFF9C40u, L"x"));
    FreeLibrary(module);
  }
  EXPECT_EQ(L"own\r\n", FormatFrom(GetModuleHandleW(nullptr), 0xAFFF4E20u, L"own"));
}
