// Key rename: the subtree is copied into a newly created key and the source is
// deleted only after a complete copy. The copy goes through RegCopyTree rather
// than a hive save and restore: Wine's RegRestoreKey reports success without
// restoring anything, which would lose the source.

#include <string>

#include "support/fs/code_page.h"
#include "support/fs/unique_handle.h"
#include "support/registry/registry.h"
#include "support/registry/registry_platform.h"

namespace {

constexpr char kBackupPrivilege[] = "SeBackupPrivilege";
constexpr char kRestorePrivilege[] = "SeRestorePrivilege";

std::wstring ToWide(const char* text) { return NarrowToWide(text); }
std::wstring ToWide(const wchar_t* text) { return text; }

// Deleting the source after copying it into its own subtree would delete the
// copy as well.
template <typename Char>
bool IsInsideSource(const Char* source, const Char* destination) {
  const std::wstring sourcePath = ToWide(source) + L"\\";
  const std::wstring destinationPath = ToWide(destination);
  if (destinationPath.size() < sourcePath.size()) return false;
  return CompareStringOrdinal(sourcePath.c_str(), static_cast<int>(sourcePath.size()), destinationPath.c_str(),
                              static_cast<int>(sourcePath.size()), TRUE) == CSTR_EQUAL;
}

// Opens the thread's token, or the process's when the thread has none, into
// the object's token field and closes it again at scope end.
class ScopedToken {
 public:
  explicit ScopedToken(HANDLE& field) : field_(field) {
    const DWORD access = TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY;
    HANDLE token = nullptr;
    if (OpenThreadToken(GetCurrentThread(), access, FALSE, &token) ||
        OpenProcessToken(GetCurrentProcess(), access, &token)) {
      field_ = token;
    }
  }
  ~ScopedToken() {
    if (IsOpen()) CloseHandle(field_);
    // A closed handle left in the field could later name an unrelated object.
    field_ = INVALID_HANDLE_VALUE;
  }
  ScopedToken(const ScopedToken&) = delete;
  ScopedToken& operator=(const ScopedToken&) = delete;
  bool IsOpen() const { return field_ != INVALID_HANDLE_VALUE && field_ != nullptr; }

 private:
  HANDLE& field_;
};

}  // namespace

template <typename Char>
std::unique_ptr<TOKEN_PRIVILEGES> Registry::EnablePrivilegeAs(const Char* privilegeName) {
  TOKEN_PRIVILEGES requested = {};
  if (privilegeName == nullptr ||
      !RegistryPlatform<Char>::LookupPrivilege(privilegeName, &requested.Privileges[0].Luid)) {
    return nullptr;
  }
  requested.PrivilegeCount = 1;
  requested.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
  auto previous = std::make_unique<TOKEN_PRIVILEGES>();
  DWORD returnedLength = 0;
  if (!AdjustTokenPrivileges(token_, FALSE, &requested, sizeof(TOKEN_PRIVILEGES), previous.get(),
                             &returnedLength)) {
    return nullptr;
  }
  return previous;
}

std::unique_ptr<TOKEN_PRIVILEGES> Registry::EnablePrivilege(const char* privilegeName) {
  return EnablePrivilegeAs(privilegeName);
}

std::unique_ptr<TOKEN_PRIVILEGES> Registry::EnablePrivilege(const wchar_t* privilegeName) {
  return EnablePrivilegeAs(privilegeName);
}

void Registry::RestorePrivilege(std::unique_ptr<TOKEN_PRIVILEGES> previousState) {
  if (previousState == nullptr) return;
  AdjustTokenPrivileges(token_, FALSE, previousState.get(), 0, nullptr, nullptr);
}

template <typename Char>
bool Registry::RenameKeyAs(const Char* source, const Char* destination) {
  using Platform = RegistryPlatform<Char>;
  lastError_ = 0;
  if (source == nullptr || destination == nullptr || IsInsideSource(source, destination)) return false;

  UniqueKey destinationKey;
  DWORD disposition = 0;
  LONG result = Platform::CreateKey(key_, destination, destinationKey.receive(), &disposition);
  if (result != ERROR_SUCCESS) return StoreFailure(result);
  if (disposition != REG_CREATED_NEW_KEY) return false;

  UniqueKey sourceKey;
  result = Platform::OpenKey(key_, source, sourceKey.receive());
  if (result != ERROR_SUCCESS) return StoreFailure(result);

  bool copied = false;
  {
    ScopedToken token(token_);
    if (!token.IsOpen()) return false;
    // Held for the copy, as a save and restore of the subtree requires, and
    // put back in reverse order.
    std::unique_ptr<TOKEN_PRIVILEGES> backupState = EnablePrivilege(kBackupPrivilege);
    std::unique_ptr<TOKEN_PRIVILEGES> restoreState = EnablePrivilege(kRestorePrivilege);
    result = Platform::CopyTree(sourceKey.get(), destinationKey.get());
    copied = result == ERROR_SUCCESS;
    // A failed copy leaves the destination empty, as if nothing was restored.
    if (!copied) Platform::DeleteTree(destinationKey.get(), nullptr);
    RestorePrivilege(std::move(restoreState));
    RestorePrivilege(std::move(backupState));
  }
  sourceKey.reset();
  destinationKey.reset();
  if (!copied) return StoreFailure(result);
  // The copy is complete; a source that cannot be deleted leaves both keys.
  Platform::DeleteTree(key_, source);
  return true;
}

bool Registry::RenameKey(const char* source, const char* destination) { return RenameKeyAs(source, destination); }

bool Registry::RenameKey(const wchar_t* source, const wchar_t* destination) {
  return RenameKeyAs(source, destination);
}
