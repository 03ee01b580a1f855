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

// An empty folder of its own, the current directory while `body` runs (the
// folder a hive-file rename writes to). True when it is still empty after.
template <typename Body>
bool LeavesCurrentDirectoryEmpty(Body body) {
  char previous[MAX_PATH] = {}, temp[MAX_PATH] = {};
  GetCurrentDirectoryA(MAX_PATH, previous);
  GetTempPathA(MAX_PATH, temp);
  const std::string folder = std::string(temp) + "FernwickRenameCwd_" + std::to_string(GetCurrentProcessId());
  CreateDirectoryA(folder.c_str(), nullptr);
  SetCurrentDirectoryA(folder.c_str());
  body();
  SetCurrentDirectoryA(previous);
  // Only an empty folder can be removed.
  return RemoveDirectoryA(folder.c_str()) != 0;
}

// Sets a key's DACL: an empty one refuses everybody, a null one admits everybody.
void SetKeyAccess(HKEY root, const std::string& path, bool refuseAll) {
  HKEY key = nullptr;
  ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExA(root, path.c_str(), 0, WRITE_DAC, &key));
  SECURITY_DESCRIPTOR descriptor;
  InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION);
  ACL empty;
  InitializeAcl(&empty, sizeof(empty), ACL_REVISION);
  SetSecurityDescriptorDacl(&descriptor, TRUE, refuseAll ? &empty : nullptr, FALSE);
  EXPECT_EQ(ERROR_SUCCESS, RegSetKeySecurity(key, DACL_SECURITY_INFORMATION, &descriptor));
  RegCloseKey(key);
}

// Subkeys and values directly below a key, or -1 when it cannot be opened.
int KeyEntries(HKEY root, const std::string& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExA(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return -1;
  DWORD subKeys = 0, values = 0;
  RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, &subKeys, nullptr, nullptr, &values, nullptr, nullptr, nullptr,
                   nullptr);
  RegCloseKey(key);
  return static_cast<int>(subKeys + values);
}

}  // namespace

using RegistryRenameTest = ScratchKeyTest;

TEST_F(RegistryRenameTest, MovesTheWholeSubtreeAndRestoresThePrivileges) {
  PutString("Name", "value", Sub("Source"));
  PutString("Deep", "down", Sub("Source\\Child\\Grandchild"));
  const DWORD backupBefore = PrivilegeAttributes("SeBackupPrivilege");
  const DWORD restoreBefore = PrivilegeAttributes("SeRestorePrivilege");

  Registry parent(path_.c_str(), true, false);
  ASSERT_TRUE(parent.Open(true));
  bool renamed = false;
  EXPECT_TRUE(LeavesCurrentDirectoryEmpty([&] { renamed = parent.RenameKey("Source", "Destination"); }))
      << "the rename left a file behind";
  ASSERT_TRUE(renamed);
  EXPECT_EQ(0, parent.GetErrorCode());
  EXPECT_FALSE(KeyExists(Sub("Source")));
  DWORD type = 0, size = 0;
  EXPECT_TRUE(ValueInfo(WidePath() + L"\\Destination", L"Name", &type, &size));
  EXPECT_TRUE(ValueInfo(WidePath() + L"\\Destination\\Child\\Grandchild", L"Deep", &type, &size));
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

TEST_F(RegistryRenameTest, AFailedCopyLeavesTheDestinationEmptyAndTheSourceInPlace) {
  PutString("Name", "value", Sub("Source"));
  PutString("Inner", "value", Sub("Source\\Readable"));
  CreateKey(Sub("Source\\Unreadable"));
  SetKeyAccess(root_, Sub("Source\\Unreadable"), true);

  Registry parent(path_.c_str(), true, false);
  ASSERT_TRUE(parent.Open(true));
  EXPECT_FALSE(parent.RenameKey("Source", "Destination"));
  EXPECT_EQ(ERROR_ACCESS_DENIED, parent.GetErrorCode());
  EXPECT_EQ(0, KeyEntries(root_, Sub("Destination"))) << "nothing of a partial copy stays";
  EXPECT_EQ(3, KeyEntries(root_, Sub("Source")));
  SetKeyAccess(root_, Sub("Source\\Unreadable"), false);
}

TEST(RegistryPrivileges, NeedATokenAndIgnoreANullState) {
  // Outside a rename the object holds no token.
  Registry registry(false);
  EXPECT_EQ(nullptr, registry.EnablePrivilege("SeBackupPrivilege"));
  EXPECT_EQ(nullptr, registry.EnablePrivilege(L"NoSuchPrivilege"));
  registry.RestorePrivilege(nullptr);
}
