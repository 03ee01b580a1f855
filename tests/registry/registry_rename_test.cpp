#include <string>

#include <gtest/gtest.h>
#include <windows.h>

#include "support/registry/registry.h"
#include "tests/registry/scratch_key.h"

namespace {

// Attributes of a privilege in the process token, or ~0 when unknown.
DWORD PrivilegeAttributes(const char* name) {
  LUID luid = {};
  HANDLE token = nullptr;
  if (!LookupPrivilegeValueA(nullptr, name, &luid) || !OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
    return ~0u;
  }
  DWORD size = 0;
  GetTokenInformation(token, TokenPrivileges, nullptr, 0, &size);
  std::string buffer(size, '\0');
  DWORD attributes = ~0u;
  if (GetTokenInformation(token, TokenPrivileges, &buffer[0], size, &size)) {
    const auto* privileges = reinterpret_cast<const TOKEN_PRIVILEGES*>(buffer.data());
    for (DWORD i = 0; i < privileges->PrivilegeCount; ++i) {
      const LUID& candidate = privileges->Privileges[i].Luid;
      if (candidate.LowPart == luid.LowPart && candidate.HighPart == luid.HighPart) {
        attributes = privileges->Privileges[i].Attributes;
      }
    }
  }
  CloseHandle(token);
  return attributes;
}

bool FileExistsInCurrentDirectory(const char* name) { return GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

using RegistryRenameTest = ScratchKeyTest;

TEST_F(RegistryRenameTest, MovesTheWholeSubtreeAndRestoresThePrivileges) {
  PutString("Name", "value", Sub("Source"));
  PutString("Deep", "down", Sub("Source\\Child\\Grandchild"));
  const DWORD backupBefore = PrivilegeAttributes("SeBackupPrivilege");
  const DWORD restoreBefore = PrivilegeAttributes("SeRestorePrivilege");

  Registry parent(path_.c_str(), true, false);
  ASSERT_TRUE(parent.Open(true));
  ASSERT_TRUE(parent.RenameKey("Source", "Destination"));
  EXPECT_EQ(0, parent.GetErrorCode());
  EXPECT_FALSE(KeyExists(Sub("Source")));
  DWORD type = 0, size = 0;
  EXPECT_TRUE(ValueInfo(WidePath() + L"\\Destination", L"Name", &type, &size));
  EXPECT_TRUE(ValueInfo(WidePath() + L"\\Destination\\Child\\Grandchild", L"Deep", &type, &size));
  EXPECT_FALSE(FileExistsInCurrentDirectory("ZELTempRegistryKeys"));
  EXPECT_STREQ(path_.c_str(), parent.GetPath()) << "the object stays open on its own path";
  EXPECT_TRUE(parent.SetDWORD("StillOpen", 1));

  EXPECT_EQ(backupBefore, PrivilegeAttributes("SeBackupPrivilege"));
  EXPECT_EQ(restoreBefore, PrivilegeAttributes("SeRestorePrivilege"));

  // The wide form does the same.
  ASSERT_TRUE(parent.RenameKey(L"Destination", L"Again"));
  EXPECT_TRUE(KeyExists(Sub("Again\\Child\\Grandchild")));
  EXPECT_FALSE(KeyExists(Sub("Destination")));
}

TEST_F(RegistryRenameTest, RefusesAnExistingDestinationAndReportsAMissingSource) {
  PutString("Name", "source", Sub("Source"));
  PutString("Name", "taken", Sub("Taken"));
  Registry parent(path_.c_str(), true, false);
  ASSERT_TRUE(parent.Open(true));

  EXPECT_FALSE(parent.RenameKey("Source", "Taken"));
  EXPECT_EQ(0, parent.GetErrorCode());
  DWORD type = 0, size = 0;
  EXPECT_TRUE(ValueInfo(WidePath() + L"\\Source", L"Name", &type, &size));
  Registry taken(Sub("Taken").c_str(), true, false);
  ASSERT_TRUE(taken.Open());
  char text[16] = {};
  ASSERT_TRUE(taken.GetString("Name", text, sizeof(text)));
  EXPECT_STREQ("taken", text);

  EXPECT_FALSE(parent.RenameKey(L"Missing", L"Fresh"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, parent.GetErrorCode());
  EXPECT_TRUE(KeyExists(Sub("Fresh"))) << "the new destination stays, empty";
  EXPECT_FALSE(KeyExists(Sub("Missing")));
}

TEST_F(RegistryRenameTest, RefusesToMoveAKeyIntoItsOwnSubtree) {
  PutString("Name", "kept", Sub("Source"));
  Registry parent(path_.c_str(), true, false);
  ASSERT_TRUE(parent.Open(true));
  EXPECT_FALSE(parent.RenameKey("Source", "source\\Inner"));
  EXPECT_EQ(0, parent.GetErrorCode());
  DWORD type = 0, size = 0;
  EXPECT_TRUE(ValueInfo(WidePath() + L"\\Source", L"Name", &type, &size));
  EXPECT_FALSE(KeyExists(Sub("Source\\Inner")));
  // A sibling whose name merely starts with the source's is fine.
  EXPECT_TRUE(parent.RenameKey("Source", "SourceMoved"));
  EXPECT_TRUE(KeyExists(Sub("SourceMoved")));
}

TEST(RegistryPrivileges, NeedATokenAndIgnoreANullState) {
  // Outside a rename the object holds no token.
  Registry registry(false);
  EXPECT_EQ(nullptr, registry.EnablePrivilege("SeBackupPrivilege"));
  EXPECT_EQ(nullptr, registry.EnablePrivilege(L"NoSuchPrivilege"));
  registry.RestorePrivilege(nullptr);
}
