#include <functional>
#include <iterator>
#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/threads/exception_filter.h"
#include "tests/fs/scratch_folder.h"

namespace {

LONG WINAPI FilterA(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI FilterB(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }
LONG WINAPI FilterC(EXCEPTION_POINTERS*) { return EXCEPTION_CONTINUE_SEARCH; }

// The process's filter, read back without changing it.
LPTOP_LEVEL_EXCEPTION_FILTER CurrentFilter() {
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
  SetUnhandledExceptionFilter(current);
  return current;
}

class FilterChain : public ::testing::Test {
 protected:
  void SetUp() override { SetUnhandledExceptionFilter(FilterC); }
  void TearDown() override { SetUnhandledExceptionFilter(nullptr); }
};

TEST_F(FilterChain, TheNewestHandlerOwnsTheFilterAndDestructionGivesItBack) {
  {
    DefaultHandler outer(FilterA);
    EXPECT_EQ(CurrentFilter(), FilterA);
    EXPECT_EQ(DefaultHandler::GetTopHandler(), &outer);
    {
      DefaultHandler inner(FilterB);
      EXPECT_EQ(CurrentFilter(), FilterB);
      EXPECT_EQ(DefaultHandler::GetTopHandler(), &inner);
    }
    EXPECT_EQ(CurrentFilter(), FilterA);
    EXPECT_EQ(DefaultHandler::GetTopHandler(), &outer);
  }
  // The saved filter is one slot, spent by the inner handler.
  EXPECT_EQ(CurrentFilter(), FilterA);
  EXPECT_EQ(DefaultHandler::GetTopHandler(), nullptr);

  {
    DefaultHandler only(FilterA);
  }
  EXPECT_EQ(CurrentFilter(), FilterA) << "the only handler restores what was there before it";

  SetUnhandledExceptionFilter(nullptr);
  {
    DefaultHandler only(FilterB);
  }
  EXPECT_EQ(CurrentFilter(), nullptr) << "no filter before is restored as no filter";
}

TEST_F(FilterChain, ReassertingPutsTheTopFilterBackOnlyForANonNullPointer) {
  DefaultHandler handler(FilterA);
  SetUnhandledExceptionFilter(FilterB);
  DefaultHandler::ReassertTopFilter(nullptr);
  EXPECT_EQ(CurrentFilter(), FilterB);
  DefaultHandler::ReassertTopFilter(&handler);
  EXPECT_EQ(CurrentFilter(), FilterA);
}

TEST_F(FilterChain, AModuleThatInstallsItsOwnFilterDoesNotKeepIt) {
  const std::wstring wide = ExecutableFolder() + L"\\filter_grabber.dll";
  const std::string narrow(wide.begin(), wide.end());

  // Without a handler the module's filter stays: the module really takes it.
  HMODULE plain = LoadLibraryPreservingFilter(wide.c_str());
  ASSERT_NE(plain, nullptr);
  auto grabberFilter = reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER (*)()>(
      reinterpret_cast<void*>(GetProcAddress(plain, "GrabberFilter")));
  ASSERT_NE(grabberFilter, nullptr);
  const LPTOP_LEVEL_EXCEPTION_FILTER grabbed = grabberFilter();
  EXPECT_EQ(CurrentFilter(), grabbed);
  FreeLibrary(plain);

  DefaultHandler handler(FilterA);
  const std::function<HMODULE()> loads[] = {
      [&] { return LoadLibraryPreservingFilter(narrow.c_str()); },
      [&] { return LoadLibraryPreservingFilter(wide.c_str()); },
      [&] { return LoadLibraryPreservingFilter(narrow.c_str(), nullptr, 0); },
      [&] { return LoadLibraryPreservingFilter(wide.c_str(), nullptr, 0); },
  };
  for (size_t form = 0; form < std::size(loads); ++form) {
    HMODULE module = loads[form]();
    ASSERT_NE(module, nullptr) << "form " << form;
    EXPECT_EQ(CurrentFilter(), FilterA) << "form " << form;
    FreeLibrary(module);
  }
}

TEST_F(FilterChain, AFailedLoadChangesNothingAndKeepsTheLastError) {
  DefaultHandler handler(FilterA);
  SetUnhandledExceptionFilter(FilterB);
  EXPECT_EQ(LoadLibraryPreservingFilter(L"no_such_module_here.dll"), nullptr);
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(CurrentFilter(), FilterB);
}

}  // namespace
