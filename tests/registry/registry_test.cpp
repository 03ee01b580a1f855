#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/registry/registry.h"
#include "tests/maintenance/machine_state.h"
#include "tests/registry/scratch_key.h"

using RegistryTest = ScratchKeyTest;

TEST_F(RegistryTest, OpenCreateAndPathReplacementRules) {
  Registry missing(Sub("Absent").c_str(), true, false);
  EXPECT_FALSE(missing.Open());
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.GetErrorCode());

  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(true));
  // A new path is refused while open; the old path and handle stay usable.
  EXPECT_FALSE(registry.Open(Sub("Other").c_str()));
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_STREQ(path_.c_str(), registry.GetPath());
  EXPECT_FALSE(registry.Create(L"Other"));
  EXPECT_STREQ(path_.c_str(), registry.GetPath());
  EXPECT_TRUE(registry.Open());
  EXPECT_TRUE(registry.Create());
  EXPECT_TRUE(registry.SetDWORD("StillOpen", 7));

  // The path survives close and reopen; a wide path is stored narrow.
  registry.Close();
  EXPECT_TRUE(registry.Open());
  registry.Close();
  const std::wstring widePath(path_.begin(), path_.end());
  ASSERT_TRUE(registry.Create((widePath + L"\\Created").c_str()));
  EXPECT_STREQ(Sub("Created").c_str(), registry.GetPath());
  EXPECT_TRUE(KeyExists(Sub("Created")));
}

TEST_F(RegistryTest, ValueNameCacheDecidesReadsWithoutAskingThePlatform) {
  PutDword("Counter", 5);
  Registry cached(path_.c_str(), true, true);
  ASSERT_TRUE(cached.Open(true));

  DWORD value = 0;
  EXPECT_TRUE(cached.HasValue(L"COUNTER"));
  EXPECT_TRUE(cached.GetDWORD("cOuNtEr", &value));
  EXPECT_EQ(5u, value);

  // Stored after the cache was filled: the platform has it, the cache does
  // not, and the read fails with error 0 because the platform is not asked.
  PutDword("Later", 9);
  value = 0;
  EXPECT_FALSE(cached.GetDWORD("Later", &value));
  EXPECT_EQ(0, cached.GetErrorCode());
  EXPECT_EQ(0u, value);
  cached.RefreshValueNames();
  EXPECT_TRUE(cached.GetDWORD("Later", &value));
  EXPECT_EQ(9u, value);

  // Writes through the object do not update the cache either.
  EXPECT_TRUE(cached.SetString("Written", "x"));
  char text[8] = {};
  EXPECT_FALSE(cached.GetString("Written", text, sizeof(text)));
  EXPECT_EQ(0, cached.GetErrorCode());

  // The same read without a cache goes to the platform.
  Registry uncached(path_.c_str(), true, false);
  ASSERT_TRUE(uncached.Open());
  EXPECT_TRUE(uncached.GetString("Written", text, sizeof(text)));
  EXPECT_STREQ("x", text);
  EXPECT_FALSE(uncached.GetDWORD("Absent", &value));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, uncached.GetErrorCode());
}

TEST_F(RegistryTest, CreateWithPathOnExistingKeyKeepsTheCacheButCreateWithoutPathRefreshes) {
  PutDword("Present", 1);
  Registry registry(HKEY_CURRENT_USER, L"", true);
  ASSERT_TRUE(registry.Create(path_.c_str()));
  DWORD value = 0;
  EXPECT_FALSE(registry.GetDWORD("Present", &value));
  EXPECT_EQ(0, registry.GetErrorCode());

  registry.Close();
  ASSERT_TRUE(registry.Create());
  EXPECT_TRUE(registry.GetDWORD("Present", &value));
}

TEST_F(RegistryTest, StringReadsTellOverflowFromTruncation) {
  PutDword("Number", 1);
  PutString("Text300", std::string(299, 'a'));
  PutString("Text600", std::string(599, 'b'));
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open());

  char output[100];
  std::memset(output, '#', sizeof(output));
  EXPECT_FALSE(registry.GetString("Number", output, sizeof(output)));
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_EQ('#', output[0]) << "a value of another type must leave the output alone";

  // 600 bytes do not fit the 512-byte scratch buffer of a small output.
  EXPECT_FALSE(registry.GetString("Text600", output, sizeof(output)));
  EXPECT_EQ(ERROR_MORE_DATA, registry.GetErrorCode());

  // 300 bytes fit the scratch buffer and are cut to the output.
  ASSERT_TRUE(registry.GetString("Text300", output, sizeof(output)));
  EXPECT_EQ(std::string(99, 'a'), output);

  // An output of 513 or more brings its own scratch size.
  std::vector<char> large(700, '#');
  ASSERT_TRUE(registry.GetString("Text600", large.data(), static_cast<DWORD>(large.size())));
  EXPECT_EQ(std::string(599, 'b'), large.data());

  // The wide scratch buffer holds 512 characters (1024 bytes): 300
  // characters fit, 600 do not.
  wchar_t wideOutput[100];
  EXPECT_FALSE(registry.GetString(L"Text600", wideOutput, 100));
  EXPECT_EQ(ERROR_MORE_DATA, registry.GetErrorCode());
  ASSERT_TRUE(registry.GetString(L"Text300", wideOutput, 100));
  EXPECT_EQ(std::wstring(99, L'a'), wideOutput);

  EXPECT_FALSE(registry.GetString("Text300", output, 0));
  EXPECT_FALSE(registry.GetString("Text300", static_cast<char*>(nullptr), 10));
}

TEST_F(RegistryTest, WideStringsExpansionAndDefaults) {
  SetEnvironmentVariableW(L"FERNWICK_REGISTRY_TEST", L"expanded");
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(true));
  ASSERT_TRUE(registry.SetString(L"Wide", std::wstring(400, L'w').c_str()));  // 802 bytes
  PutValue("Expand", REG_EXPAND_SZ, "<%FERNWICK_REGISTRY_TEST%>", 27);

  wchar_t output[600];
  // 802 bytes exceed a 512-character buffer only in bytes, not in characters.
  ASSERT_TRUE(registry.GetString(L"Wide", output, 600));
  EXPECT_EQ(std::wstring(400, L'w'), output);
  wchar_t small[50];
  ASSERT_TRUE(registry.GetString(L"Wide", small, 50));
  EXPECT_EQ(std::wstring(49, L'w'), small);

  ASSERT_TRUE(registry.GetString(L"Expand", output, 600));
  EXPECT_STREQ(L"<expanded>", output);
  // An expansion longer than the output is cut like any other string.
  char cut[6];
  ASSERT_TRUE(registry.GetString("Expand", cut, sizeof(cut)));
  EXPECT_STREQ("<expa", cut);

  registry.GetString(L"Absent", small, 50, L"fallback");
  EXPECT_STREQ(L"fallback", small);
  registry.GetString("Absent", cut, sizeof(cut), "toolongdefault");
  EXPECT_STREQ("toolo", cut);
  registry.GetString("Absent", cut, sizeof(cut), static_cast<const char*>(nullptr));
  EXPECT_STREQ("", cut);
}

TEST_F(RegistryTest, ByteReadsNeverWritePastTheCapacity) {
  std::vector<BYTE> stored(100);
  for (size_t i = 0; i < stored.size(); ++i) stored[i] = static_cast<BYTE>(i + 1);
  PutValue("Blob", REG_BINARY, stored.data(), static_cast<DWORD>(stored.size()));
  PutDword("Number", 3);
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open());

  std::vector<BYTE> buffer(120, 0xEE);
  DWORD size = 0;
  EXPECT_FALSE(registry.GetBytes("Blob", buffer.data(), 50, &size));
  EXPECT_EQ(ERROR_MORE_DATA, registry.GetErrorCode());
  EXPECT_EQ(std::vector<BYTE>(120, 0xEE), buffer);

  ASSERT_TRUE(registry.GetBytes(L"Blob", buffer.data(), 100, &size));
  EXPECT_EQ(100u, size);
  EXPECT_TRUE(std::equal(stored.begin(), stored.end(), buffer.begin()));
  EXPECT_EQ(0xEE, buffer[100]);

  EXPECT_FALSE(registry.GetBytes("Number", buffer.data(), 100, &size));
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_FALSE(registry.GetBytes("Blob", nullptr, 100, &size));

  // A large capacity brings a scratch buffer of its own size.
  std::vector<BYTE> big(2000, 0x5A);
  Registry writer(path_.c_str(), true, false);
  ASSERT_TRUE(writer.Open(true));
  ASSERT_TRUE(writer.SetBytes(L"Big", big.data(), 2000));
  std::vector<BYTE> bigRead(2000, 0);
  ASSERT_TRUE(registry.GetBytes("Big", bigRead.data(), 2000, &size));
  EXPECT_EQ(big, bigRead);
}

TEST_F(RegistryTest, MultiStringsSkipEmptyItemsAndCutLongOnes) {
  const char withEmpty[] = "A\0\0B\0";  // A, an empty item, B, final terminator
  PutValue("Gaps", REG_MULTI_SZ, withEmpty, sizeof(withEmpty));
  std::string longData = std::string(600, 'L') + '\0' + "Next" + '\0' + '\0';
  PutValue("Long", REG_MULTI_SZ, longData.data(), static_cast<DWORD>(longData.size()));
  PutString("Plain", "text");
  // Stored without its terminators: the last item still ends at the data.
  PutValue("Unterminated", REG_MULTI_SZ, "X\0YZ", 4);

  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(true));
  std::vector<std::string> items{"kept"};
  ASSERT_TRUE(registry.GetMultiString("Gaps", items));
  EXPECT_EQ((std::vector<std::string>{"kept", "A", "B"}), items);

  items.clear();
  ASSERT_TRUE(registry.GetMultiString("Long", items));
  EXPECT_EQ((std::vector<std::string>{std::string(511, 'L'), "Next"}), items);

  items.clear();
  ASSERT_TRUE(registry.GetMultiString("Unterminated", items));
  EXPECT_EQ((std::vector<std::string>{"X", "YZ"}), items);

  EXPECT_FALSE(registry.GetMultiString("Plain", items));
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_FALSE(registry.GetMultiString("Absent", items));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.GetErrorCode());

  // Empty lists are a single terminator in either form.
  DWORD type = 0, size = 0;
  ASSERT_TRUE(registry.SetMultiString("EmptyNarrow", std::vector<std::string>{}));
  ASSERT_TRUE(ValueInfo(WidePath(), L"EmptyNarrow", &type, &size));
  EXPECT_EQ(static_cast<DWORD>(REG_MULTI_SZ), type);
  DWORD narrowSize = 0;
  ASSERT_TRUE(registry.GetValueSize("EmptyNarrow", &narrowSize));
  EXPECT_EQ(1u, narrowSize);
  ASSERT_TRUE(registry.SetMultiString(L"EmptyWide", std::vector<std::wstring>{}));
  ASSERT_TRUE(ValueInfo(WidePath(), L"EmptyWide", &type, &size));
  EXPECT_EQ(2u, size);

  // Round trip through both forms, larger than the 512-byte buffers.
  const std::vector<std::wstring> wide{std::wstring(300, L'p'), L"", L"q"};
  ASSERT_TRUE(registry.SetMultiString(L"Wide", wide));
  ASSERT_TRUE(ValueInfo(WidePath(), L"Wide", &type, &size));
  EXPECT_EQ((301u + 1u + 2u + 1u) * 2u, size);
  std::vector<std::wstring> wideRead;
  ASSERT_TRUE(registry.GetMultiString(L"Wide", wideRead));
  EXPECT_EQ((std::vector<std::wstring>{std::wstring(300, L'p'), L"q"}), wideRead);
}

TEST_F(RegistryTest, NumbersRoundTripThroughEveryTypedForm) {
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open(true));
  ASSERT_TRUE(registry.SetValue("Signed", int32_t{-5}));
  ASSERT_TRUE(registry.SetValue(L"Unsigned", uint32_t{4000000000u}));
  ASSERT_TRUE(registry.SetValue("Flag", true));
  ASSERT_TRUE(registry.SetQWORD(L"Big", 0x1122334455667788ull));
  ASSERT_TRUE(registry.SetString("Text", "12"));

  int32_t signedValue = 0;
  uint32_t unsignedValue = 0;
  bool flag = false;
  uint64_t big = 0;
  DWORD raw = 0;
  EXPECT_TRUE(registry.GetValue(L"Signed", &signedValue));
  EXPECT_EQ(-5, signedValue);
  EXPECT_TRUE(registry.GetValue("Unsigned", &unsignedValue));
  EXPECT_EQ(4000000000u, unsignedValue);
  EXPECT_TRUE(registry.GetValue("Flag", &flag));
  EXPECT_TRUE(flag);
  EXPECT_TRUE(registry.GetDWORD(L"Flag", &raw));
  EXPECT_EQ(1u, raw);
  EXPECT_TRUE(registry.GetQWORD("Big", &big));
  EXPECT_EQ(0x1122334455667788ull, big);

  // Reads of another type fail with error 0 and leave the output alone,
  // except the forms with a default, which store it.
  raw = 77;
  EXPECT_FALSE(registry.GetDWORD("Big", &raw));
  EXPECT_EQ(ERROR_MORE_DATA, registry.GetErrorCode()) << "8 bytes do not fit a DWORD read";
  EXPECT_FALSE(registry.GetDWORD("Text", &raw));
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_EQ(77u, raw);
  EXPECT_FALSE(registry.GetQWORD("Signed", &big));
  EXPECT_FALSE(registry.GetDWORD("Absent", &raw, 42));
  EXPECT_EQ(42u, raw);
  EXPECT_FALSE(registry.GetValue(L"Absent", &signedValue, -1));
  EXPECT_EQ(-1, signedValue);
  EXPECT_FALSE(registry.GetValue("Absent", &flag, false));
  EXPECT_FALSE(flag);
  EXPECT_FALSE(registry.GetQWORD(static_cast<const char*>(nullptr), &big));
  EXPECT_FALSE(registry.GetDWORD("Signed", nullptr));

  EXPECT_TRUE(registry.DeleteValue("Signed"));
  EXPECT_FALSE(registry.DeleteValue(L"Signed"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, registry.GetErrorCode());
}

TEST_F(RegistryTest, EnumeratesSubKeysAndValues) {
  CreateKey(Sub("Alpha"));
  CreateKey(Sub("Beta"));
  PutDword("One", 1);
  PutString("Two", "zwei");
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open());

  uint64_t count = 99;
  ASSERT_TRUE(registry.GetSubKeyCount(&count));
  EXPECT_EQ(2u, count);
  ASSERT_TRUE(registry.GetValueCount(&count));
  EXPECT_EQ(2u, count);
  EXPECT_FALSE(registry.GetSubKeyCount(nullptr));

  char fullPath[300] = {};
  char name[4] = {};
  ASSERT_TRUE(registry.EnumKey(0, fullPath, sizeof(fullPath), name, sizeof(name)));
  EXPECT_STREQ("Alp", name);
  EXPECT_STREQ(Sub("Alpha").c_str(), fullPath);
  char shortPath[6] = {};
  ASSERT_TRUE(registry.EnumKey(1, shortPath, sizeof(shortPath)));
  EXPECT_STREQ(path_.substr(0, 5).c_str(), shortPath);
  EXPECT_FALSE(registry.EnumKey(0, static_cast<char*>(nullptr), 0, name, sizeof(name)));
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_FALSE(registry.EnumKey(2, fullPath, sizeof(fullPath)));
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, registry.GetErrorCode());

  wchar_t wideName[16] = {};
  ASSERT_TRUE(registry.EnumKey(1, nullptr, 0, wideName, 16));
  EXPECT_STREQ(L"Beta", wideName);

  Registry child(false);
  ASSERT_TRUE(registry.OpenSubKey(1, child));
  EXPECT_STREQ(Sub("Beta").c_str(), child.GetPath());
  EXPECT_STREQ("Beta", child.GetKeyName());
  EXPECT_FALSE(registry.OpenSubKey(5, child));
  EXPECT_FALSE(registry.OpenSubKey(0, registry));

  std::vector<std::string> names;
  char valueName[32];
  for (DWORD index = 0; registry.EnumValueName(index, valueName, sizeof(valueName)); ++index) names.push_back(valueName);
  EXPECT_EQ(ERROR_NO_MORE_ITEMS, registry.GetErrorCode());
  EXPECT_EQ(2u, names.size());

  // The data gets a zero byte just after it, inside the one extra byte the
  // caller keeps beyond the declared capacity.
  const DWORD twoIndex = names[0] == "Two" ? 0 : 1;
  wchar_t wideValueName[32];
  BYTE data[16];
  std::memset(data, 0xEE, sizeof(data));
  DWORD type = 0;
  DWORD dataSize = 15;
  ASSERT_TRUE(registry.EnumValue(twoIndex, wideValueName, 32, &type, data, &dataSize));
  EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
  EXPECT_STREQ(L"Two", wideValueName);
  EXPECT_EQ(10u, dataSize);
  EXPECT_EQ(0, data[10]);
  EXPECT_EQ(0xEE, data[11]);

  std::memset(data, 0xEE, sizeof(data));
  dataSize = 5;
  ASSERT_TRUE(registry.EnumValue(twoIndex, valueName, sizeof(valueName), &type, data, &dataSize));
  EXPECT_EQ(5u, dataSize);
  EXPECT_EQ(0, data[5]);
  EXPECT_EQ(0xEE, data[6]);
  dataSize = 3;
  EXPECT_FALSE(registry.EnumValue(twoIndex, valueName, sizeof(valueName), &type, data, &dataSize));
  EXPECT_EQ(ERROR_MORE_DATA, registry.GetErrorCode());
}

TEST(RegistryPaths, JoinNamesAndSplitTheLastComponent) {
  char output[32];
  Registry plain(HKEY_CURRENT_USER, "A\\B", false);
  ASSERT_TRUE(plain.MakeSubKeyPath("Sub", output, sizeof(output)));
  EXPECT_STREQ("A\\B\\Sub", output);
  Registry trailing(HKEY_CURRENT_USER, L"A\\B\\", false);
  ASSERT_TRUE(trailing.MakeSubKeyPath("Sub", output, sizeof(output)));
  EXPECT_STREQ("A\\B\\Sub", output);
  Registry empty(HKEY_CURRENT_USER, "", false);
  wchar_t wideOutput[8];
  ASSERT_TRUE(empty.MakeSubKeyPath(L"Sub", wideOutput, 8));
  EXPECT_STREQ(L"Sub", wideOutput);
  ASSERT_TRUE(plain.MakeSubKeyPath("Subkey", output, 5));
  EXPECT_STREQ("A\\B\\", output);
  EXPECT_FALSE(plain.MakeSubKeyPath("Sub", output, 0));
  EXPECT_FALSE(plain.MakeSubKeyPath("Sub", static_cast<char*>(nullptr), 10));

  EXPECT_STREQ("C", Registry("A\\B\\C", true, false).GetKeyName());
  EXPECT_STREQ("A", Registry("A", true, false).GetKeyName());
  EXPECT_EQ(nullptr, empty.GetKeyName());
  EXPECT_EQ(nullptr, empty.GetPath());
  EXPECT_EQ(HKEY_CURRENT_USER, empty.GetRootKey());
  EXPECT_EQ(HKEY_LOCAL_MACHINE, Registry(true).GetRootKey());
}

TEST_F(RegistryTest, DeleteKeyRemovesDeepTreesAndAcceptsMissingKeys) {
  // Several siblings on every level, so deleting one must not shift the
  // indices still to be visited.
  for (const char* first : {"a", "b", "c"}) {
    for (const char* second : {"x", "y", "z"}) {
      CreateKey(Sub(std::string(first) + "\\" + second + "\\deeper\\leaf"));
    }
  }
  PutDword("Top", 1);
  Registry registry(path_.c_str(), true, false);
  ASSERT_TRUE(registry.Open());
  EXPECT_FALSE(registry.DeleteKey());
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_FALSE(registry.DeleteKey(path_.c_str()));
  registry.Close();

  ASSERT_TRUE(registry.DeleteKey());
  EXPECT_FALSE(KeyExists(path_));

  Registry missing(false);
  EXPECT_TRUE(missing.DeleteKey(Sub("Never\\There").c_str()));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, missing.GetErrorCode());
}

TEST_F(RegistryTest, ClosedObjectRefusesEverythingWithoutFaulting) {
  Registry registry(path_.c_str(), true, true);
  char text[8];
  wchar_t wideText[8];
  BYTE data[8];
  DWORD number = 0;
  uint64_t count = 0;
  std::vector<std::string> items;
  EXPECT_FALSE(registry.GetString("x", text, sizeof(text)));
  EXPECT_FALSE(registry.GetString(L"x", wideText, 8));
  EXPECT_FALSE(registry.GetBytes("x", data, sizeof(data), &number));
  EXPECT_FALSE(registry.GetDWORD("x", &number));
  EXPECT_FALSE(registry.GetValueSize("x", &number));
  EXPECT_FALSE(registry.GetMultiString("x", items));
  EXPECT_FALSE(registry.GetSubKeyCount(&count));
  EXPECT_FALSE(registry.EnumKey(0, text, sizeof(text)));
  EXPECT_FALSE(registry.EnumValueName(0, text, sizeof(text)));
  EXPECT_FALSE(registry.SetString("x", "y"));
  EXPECT_FALSE(registry.SetMultiString("x", items));
  EXPECT_FALSE(registry.DeleteValue("x"));
  EXPECT_FALSE(registry.HasValue(static_cast<const char*>(nullptr)));
  registry.RefreshValueNames();
  registry.Close();
  EXPECT_EQ(0, registry.GetErrorCode());
  EXPECT_FALSE(registry.RenameKey("a", "b"));
  EXPECT_EQ(ERROR_INVALID_HANDLE, registry.GetErrorCode());
}

TEST_F(RegistryTest, ThirtyTwoBitViewDeletesOnlyItsOwnTree) {
  root_ = HKEY_LOCAL_MACHINE;
  const std::string base = "Software\\FernwickViewTest_" + std::to_string(GetCurrentProcessId());
  Registry native(HKEY_LOCAL_MACHINE, (base + "\\Shared\\Native").c_str(), false);
  ASSERT_TRUE(native.Create());
  native.Close();
  Registry wow(Registry::kView32Bit, false);
  ASSERT_TRUE(wow.Create((base + "\\Shared\\Wow").c_str()));
  wow.Close();
  ASSERT_FALSE(KeyExists(base + "\\Shared\\Wow")) << "the platform does not redirect the 32-bit view";

  EXPECT_TRUE(wow.DeleteKey(base.c_str()));
  EXPECT_FALSE(KeyExists(base, KEY_WOW64_32KEY));
  EXPECT_TRUE(KeyExists(base + "\\Shared\\Native"));
  RegDeleteTreeA(HKEY_LOCAL_MACHINE, base.c_str());
}

// Another program's keys beside a tree of ours that holds, or is, a link
// into them: the deletion removes our keys and links, and the other
// program's keys keep every byte.
TEST(RegistryLinks, DeletionNeverFollowsALink) {
  using namespace maintenance_test;
  const std::wstring suffix = std::to_wstring(GetCurrentProcessId());
  const std::wstring victim = L"SOFTWARE\\FernwickVictim_" + suffix;
  const std::wstring own = L"SOFTWARE\\FernwickOwn_" + suffix;
  const struct {
    const wchar_t* link;  // below our tree; empty: our tree's root itself
    const wchar_t* target;  // below the other program's key
    bool deleted;
  } cases[] = {
      {L"\\Link", L"", true},
      {L"\\Plain\\Deep\\Link", L"\\Config", true},
      {L"\\Plain\\Dangling", L"\\NoSuchKey", true},
      {L"", L"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "link " << std::string(c.link, c.link + wcslen(c.link)));
    WriteRaw(victim, L"Name", Text(L"victim"));
    WriteRaw(victim, L"Count", Number(7));
    WriteRaw(victim + L"\\Config", L"Path", Text(L"C:\\Victim\\app.exe"));
    WriteRaw(victim + L"\\Config\\Deeper", L"Flag", Number(1));
    const std::wstring linkPath = own + c.link;
    if (*c.link != L'\0') WriteRaw(own + L"\\Plain\\Deep", L"Ours", Number(2));
    ASSERT_TRUE(MakeLink(linkPath, victim + c.target));
    RegistrySnapshot before;
    AddSubtree(victim, &before);

    Registry registry(HKEY_LOCAL_MACHINE, own.c_str(), false);
    EXPECT_EQ(c.deleted, registry.DeleteKey());
    EXPECT_EQ(c.deleted ? 0 : Registry::kLinkRootError, registry.GetErrorCode());
    RegistrySnapshot after;
    AddSubtree(victim, &after);
    EXPECT_EQ(before, after);
    // Our keys went, links included; a link as the root stays.
    EXPECT_EQ(!c.deleted, LinkExists(own));
    EXPECT_FALSE(c.deleted && KeyExists(own));

    RemoveLink(linkPath);
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, own.c_str());
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, victim.c_str());
  }
}

// Names without an exact form in the Western code page the tests run with: a
// fullwidth backslash best-fits to a real one, Cyrillic to question marks.
TEST_F(RegistryTest, WidePathsAndSubKeyNamesAreUsedExactlyOrNotAtAll) {
  ASSERT_EQ(1252u, GetACP()) << "the names below are chosen for the Western code page";
  CreateKey(Sub("Victim"));
  PutString("Kept", "victim", Sub("Victim"));
  const std::wstring base = WidePath() + L"\\";
  const std::wstring inexact[] = {base + L"Victim\xFF3C", base + L"\x0420\x043E\x0443\x0442\x0435\x0440"};
  for (const auto& path : inexact) {
    Registry byPath(HKEY_CURRENT_USER, path.c_str(), false);
    EXPECT_FALSE(byPath.Open());
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, byPath.GetErrorCode());
    EXPECT_FALSE(byPath.Create());
    EXPECT_FALSE(byPath.DeleteKey());
    EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, byPath.GetErrorCode());
    Registry later(true, false);
    EXPECT_FALSE(later.Create(path.c_str()));
    EXPECT_FALSE(later.DeleteKey(path.c_str()));
  }
  EXPECT_FALSE(KeyExists(Sub("??????")));
  DWORD type = 0;
  DWORD size = 0;
  EXPECT_TRUE(ValueInfo(WidePath() + L"\\Victim", L"Kept", &type, &size));

  // Control: a name the code page holds is carried, and a key of a name it
  // lacks is enumerated in UTF-16 only.
  Registry exact(HKEY_CURRENT_USER, (base + L"Caf\xE9").c_str(), false);
  ASSERT_TRUE(exact.Create());
  exact.Close();
  HKEY cyrillic = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(root_, inexact[1].c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                           &cyrillic, nullptr));
  RegCloseKey(cyrillic);
  Registry parent(path_.c_str(), true, false);
  ASSERT_TRUE(parent.Open());
  std::set<std::wstring> wide;
  std::set<std::string> narrow;
  for (DWORD index = 0; index < 3; ++index) {
    wchar_t wideName[64] = {};
    char narrowPath[512] = {};
    char narrowName[64] = {};
    EXPECT_TRUE(parent.EnumKey(index, nullptr, 0, wideName, 64));
    wide.insert(wideName);
    if (parent.EnumKey(index, narrowPath, sizeof(narrowPath), narrowName, sizeof(narrowName))) {
      narrow.insert(narrowName);
    } else {
      EXPECT_EQ(ERROR_NO_UNICODE_TRANSLATION, parent.GetErrorCode());
    }
  }
  EXPECT_EQ((std::set<std::wstring>{L"Caf\xE9", L"Victim", L"\x0420\x043E\x0443\x0442\x0435\x0440"}), wide);
  EXPECT_EQ((std::set<std::string>{"Caf\xE9", "Victim"}), narrow);
}
