#include <string>
#include <thread>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/text/charset_table.h"

namespace {

class CharsetKeys : public ::testing::Test {
 protected:
  void SetUp() override {
    path_ = "Software\\FernwickCharsetTest_" + std::to_string(GetCurrentProcessId());
    RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str());
  }
  void TearDown() override { RegDeleteTreeA(HKEY_CURRENT_USER, path_.c_str()); }

  void Charset(const std::string& name, DWORD codePage) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CURRENT_USER, (path_ + "\\" + name).c_str(), "InternetEncoding",
                                             REG_DWORD, &codePage, sizeof(codePage)));
  }
  void Alias(const std::string& name, const std::string& target) {
    ASSERT_EQ(ERROR_SUCCESS, RegSetKeyValueA(HKEY_CURRENT_USER, (path_ + "\\" + name).c_str(), "AliasForCharset",
                                             REG_SZ, target.c_str(), static_cast<DWORD>(target.size() + 1)));
  }

  std::string path_;
};

// Reads one value straight from the platform, for the reference walk.
bool ReadValue(HKEY root, const std::wstring& key, const wchar_t* name, DWORD flags, void* data, DWORD size) {
  return RegGetValueW(root, key.c_str(), name, flags, nullptr, data, &size) == ERROR_SUCCESS;
}

}  // namespace

TEST_F(CharsetKeys, ResolvesAliasChainsAndDropsDanglingAliases) {
  Charset("third", 1250);
  Alias("First", "second");  // resolvable only after "second" is
  Alias("second", "THIRD");
  Alias("dangling", "nowhere");
  Alias("loop-a", "loop-b");
  Alias("loop-b", "loop-a");
  Charset("both", 28591);
  Alias("both", "third");  // a charset that also names an alias stays a charset

  CharsetMap table;
  BuildCharsetTable(table, HKEY_CURRENT_USER, path_.c_str());
  const CharsetMap expected = {{L"both", 28591}, {L"First", 1250}, {L"second", 1250}, {L"third", 1250}};
  EXPECT_EQ(expected, table);
  EXPECT_EQ(1250, table.at(L"FIRST")) << "keys ignore letter case";
}

TEST_F(CharsetKeys, AMissingDatabaseGivesAnEmptyTable) {
  CharsetMap table;
  BuildCharsetTable(table, HKEY_CURRENT_USER, path_.c_str());
  EXPECT_TRUE(table.empty());
}

// The process-wide table against a walk of the same database done here with
// the platform's own calls.
TEST(CharsetTable, HoldsTheSystemDatabaseWithItsAliases) {
  const std::wstring database = L"MIME\\Database\\Charset";
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CLASSES_ROOT, database.c_str(), 0, KEY_READ, &key));
  size_t charsets = 0;
  size_t aliasesChecked = 0;
  wchar_t name[256];
  for (DWORD index = 0;; ++index) {
    DWORD nameUnits = 256;
    if (RegEnumKeyExW(key, index, name, &nameUnits, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    const std::wstring subkey = database + L"\\" + name;
    DWORD codePage = 0;
    wchar_t target[257] = {};
    if (ReadValue(HKEY_CLASSES_ROOT, subkey, L"InternetEncoding", RRF_RT_REG_DWORD, &codePage, sizeof(codePage))) {
      ++charsets;
      EXPECT_EQ(static_cast<int32_t>(codePage), CharsetTable.at(name)) << name;
    } else if (ReadValue(HKEY_CLASSES_ROOT, subkey, L"AliasForCharset", RRF_RT_REG_SZ, target, sizeof(target)) &&
               ReadValue(HKEY_CLASSES_ROOT, database + L"\\" + target, L"InternetEncoding", RRF_RT_REG_DWORD,
                         &codePage, sizeof(codePage))) {
      ++aliasesChecked;
      EXPECT_EQ(static_cast<int32_t>(codePage), CharsetTable.at(name)) << name << " -> " << target;
    }
  }
  RegCloseKey(key);
  EXPECT_GT(charsets, 0u) << "the prefix has no MIME database";
  EXPECT_GT(aliasesChecked, 0u);

  int32_t codePage = 0;
  EXPECT_TRUE(FindCharsetCodePage(L"UTF-8", &codePage));
  EXPECT_EQ(65001, codePage);
  EXPECT_FALSE(FindCharsetCodePage(L"no-such-charset", &codePage));
  EXPECT_FALSE(FindCharsetCodePage(nullptr, &codePage));
}

namespace {

// COM initialisation is per thread: each case runs on a thread of its own.
// Only the multithreaded apartment is ever entered: under Wine a
// single-threaded one costs seconds to leave.
template <typename Body>
void OnFreshThread(Body body) {
  std::thread(body).join();
}

// S_FALSE while the thread is still initialised, S_OK once it was not; the
// probe undoes its own call.
HRESULT Probe(DWORD model) {
  const HRESULT hr = CoInitializeEx(nullptr, model);
  if (SUCCEEDED(hr)) CoUninitialize();
  return hr;
}

}  // namespace

TEST(ComInitializer, BalancesExactlyItsOwnSuccessfulCall) {
  OnFreshThread([] {
    {
      ComInitializer com(COINIT_MULTITHREADED);
      EXPECT_EQ(S_OK, com.Result());
      EXPECT_TRUE(com.IsInitialized());
      EXPECT_EQ(S_FALSE, Probe(COINIT_MULTITHREADED));
    }
    EXPECT_EQ(S_OK, Probe(COINIT_MULTITHREADED)) << "the destructor undid the initialisation";
  });
  OnFreshThread([] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    ComInitializer com(COINIT_MULTITHREADED);
    EXPECT_EQ(S_FALSE, com.Result());
    com.Uninitialize();
    EXPECT_EQ(S_FALSE, Probe(COINIT_MULTITHREADED)) << "the thread's own initialisation must survive";
    com.Uninitialize();
    CoUninitialize();
    EXPECT_EQ(S_OK, Probe(COINIT_MULTITHREADED)) << "one CoUninitialize per successful call";
  });
}

TEST(ComInitializer, ReportsAnotherModelByExceptionOnlyWhenAsked) {
  OnFreshThread([] {
    ASSERT_EQ(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    {
      ComInitializer quiet(COINIT_APARTMENTTHREADED);
      EXPECT_EQ(RPC_E_CHANGED_MODE, quiet.Result());
      EXPECT_FALSE(quiet.IsInitialized());
      quiet.Uninitialize();
    }
    EXPECT_EQ(S_FALSE, Probe(COINIT_MULTITHREADED)) << "a failed initialisation undoes nothing";
    try {
      ComInitializer loud(COINIT_APARTMENTTHREADED, false, true);
      ADD_FAILURE() << "no exception";
    } catch (const init_exception& error) {
      EXPECT_EQ(RPC_E_CHANGED_MODE, error.Result());
      EXPECT_STREQ(
          "A previous call to CoInitializeEx specified a different concurrency model for the calling thread, or the "
          "thread that called CoInitializeEx currently belongs to the neutral threaded apartment.",
          error.what());
    }
    CoUninitialize();
  });
  OnFreshThread([] {
    ComInitializer com(COINIT_MULTITHREADED);
    com.Initialize(COINIT_APARTMENTTHREADED);  // refused: the thread is in the multithreaded apartment
    EXPECT_EQ(RPC_E_CHANGED_MODE, com.Result());
    EXPECT_TRUE(com.IsInitialized()) << "the first success is still owned";
    com.Uninitialize();
    EXPECT_EQ(S_OK, Probe(COINIT_MULTITHREADED));
  });
}
