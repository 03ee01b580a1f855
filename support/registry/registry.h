#pragma once
// One key of the Windows registry: named by a root key and a path below it,
// opened or created on demand, with typed value access, subkey walks and
// recursive deletion. Every operation answers true or false and leaves the
// platform code of the last failing call in GetErrorCode().
//
// Text comes in narrow (ANSI code page) and wide (UTF-16) forms. The key path
// is always held and handed to the platform in narrow form; value names go to
// the platform in the form the caller gave them. A wide path the code page
// has no exact form for is never used: Open, Create and DeleteKey fail with
// ERROR_NO_UNICODE_TRANSLATION. Subkey names are enumerated the same way.

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include <windows.h>

class Registry {
 public:
  // View selector that opens and creates keys in the 32-bit view.
  static constexpr int32_t kView32Bit = 1;
  // Last error of a DeleteKey refused because the key is a registry link.
  static constexpr LONG kLinkRootError = ERROR_SYMLINK_CLASS_DISABLED;

  Registry(const char* path, bool currentUser, bool cacheValueNames);
  Registry(const wchar_t* path, bool currentUser, bool cacheValueNames);
  Registry(HKEY root, const char* path, bool cacheValueNames);
  Registry(HKEY root, const wchar_t* path, bool cacheValueNames);
  explicit Registry(bool cacheValueNames = false);
  Registry(int32_t view, bool cacheValueNames);
  virtual ~Registry();
  Registry(const Registry&) = delete;
  Registry& operator=(const Registry&) = delete;

  // --- Key lifecycle ---------------------------------------------------
  // True at once when the key is already open.
  bool Open(bool writable = false);
  // Refused (false, error 0) while a key is open; the old path stays.
  bool Open(const char* path, bool writable = false);
  bool Open(const wchar_t* path, bool writable = false);
  bool Create();
  // Refused while a key is open. Never refreshes the value-name cache.
  bool Create(const char* path);
  bool Create(const wchar_t* path);
  void Close();
  // Deletes the key with its whole subtree; a key that does not exist counts
  // as deleted. Refused while the key is open or when the path is empty.
  // Registry links are never followed: a link inside the tree is removed as
  // a link, and a key that is itself a link is left with kLinkRootError.
  bool DeleteKey();
  bool DeleteKey(const char* path);
  bool DeleteKey(const wchar_t* path);

  // --- Subkeys and values of the open key ------------------------------
  bool GetSubKeyCount(uint64_t* count);
  bool GetValueCount(uint64_t* count);
  // Name and/or full path of subkey number `index`, each cut to fit its
  // buffer. The narrow form needs the full-path buffer.
  bool EnumKey(DWORD index, char* fullPath, size_t fullPathSize, char* name = nullptr, size_t nameSize = 0);
  bool EnumKey(DWORD index, wchar_t* fullPath, size_t fullPathSize, wchar_t* name = nullptr, size_t nameSize = 0);
  // This key's path joined with `name`, cut to fit. An empty path gives the
  // bare name.
  bool MakeSubKeyPath(const char* name, char* output, size_t outputSize) const;
  bool MakeSubKeyPath(const wchar_t* name, wchar_t* output, size_t outputSize) const;
  // Points `child` at subkey number `index` and opens it for reading.
  bool OpenSubKey(DWORD index, Registry& child);
  bool EnumValueName(DWORD index, char* name, DWORD nameSize);
  bool EnumValueName(DWORD index, wchar_t* name, DWORD nameSize);
  // `dataSize` is the capacity on entry and the value's size on return. On
  // success a zero byte is written at data[*dataSize], so the buffer must
  // have one byte more than the capacity declared.
  bool EnumValue(DWORD index, char* name, DWORD nameSize, DWORD* type, BYTE* data, DWORD* dataSize);
  bool EnumValue(DWORD index, wchar_t* name, DWORD nameSize, DWORD* type, BYTE* data, DWORD* dataSize);
  // Looks the name up in the value-name cache only.
  bool HasValue(const char* name) const;
  bool HasValue(const wchar_t* name) const;
  void RefreshValueNames();

  // --- Reading values --------------------------------------------------
  // With the cache on, a name missing from it fails without asking the
  // platform. A value of another type fails with error 0.
  bool GetValueSize(const char* name, DWORD* size);
  bool GetValueSize(const wchar_t* name, DWORD* size);
  // REG_SZ or REG_EXPAND_SZ (expanded), cut to outputSize - 1 characters.
  bool GetString(const char* name, char* output, DWORD outputSize);
  bool GetString(const wchar_t* name, wchar_t* output, DWORD outputSize);
  void GetString(const char* name, char* output, DWORD outputSize, const char* defaultText);
  void GetString(const wchar_t* name, wchar_t* output, DWORD outputSize, const wchar_t* defaultText);
  // REG_BINARY; a value larger than `capacity` fails with ERROR_MORE_DATA and
  // leaves `data` untouched.
  bool GetBytes(const char* name, BYTE* data, DWORD capacity, DWORD* size);
  bool GetBytes(const wchar_t* name, BYTE* data, DWORD capacity, DWORD* size);
  bool GetQWORD(const char* name, uint64_t* value);
  bool GetQWORD(const wchar_t* name, uint64_t* value);
  bool GetDWORD(const char* name, DWORD* value);
  bool GetDWORD(const wchar_t* name, DWORD* value);
  // On failure stores `defaultValue` and returns false.
  bool GetDWORD(const char* name, DWORD* value, DWORD defaultValue);
  bool GetDWORD(const wchar_t* name, DWORD* value, DWORD defaultValue);
  bool GetValue(const char* name, int32_t* value);
  bool GetValue(const wchar_t* name, int32_t* value);
  bool GetValue(const char* name, uint32_t* value);
  bool GetValue(const wchar_t* name, uint32_t* value);
  bool GetValue(const char* name, bool* value);
  bool GetValue(const wchar_t* name, bool* value);
  bool GetValue(const char* name, int32_t* value, int32_t defaultValue);
  bool GetValue(const wchar_t* name, int32_t* value, int32_t defaultValue);
  bool GetValue(const char* name, uint32_t* value, uint32_t defaultValue);
  bool GetValue(const wchar_t* name, uint32_t* value, uint32_t defaultValue);
  bool GetValue(const char* name, bool* value, bool defaultValue);
  bool GetValue(const wchar_t* name, bool* value, bool defaultValue);
  // Appends the non-empty items (each cut to 511 characters); the list is not
  // cleared first.
  bool GetMultiString(const char* name, std::vector<std::string>& items);
  bool GetMultiString(const wchar_t* name, std::vector<std::wstring>& items);
  // Any type: the stored bytes exactly as they are, and their type.
  bool GetRawValue(const wchar_t* name, DWORD* type, std::vector<BYTE>* data);

  // --- Writing and deleting values -------------------------------------
  bool SetString(const char* name, const char* text);
  bool SetString(const wchar_t* name, const wchar_t* text);
  bool SetBytes(const char* name, const BYTE* data, DWORD size);
  bool SetBytes(const wchar_t* name, const BYTE* data, DWORD size);
  bool SetQWORD(const char* name, uint64_t value);
  bool SetQWORD(const wchar_t* name, uint64_t value);
  bool SetDWORD(const char* name, DWORD value);
  bool SetDWORD(const wchar_t* name, DWORD value);
  bool SetValue(const char* name, int32_t value);
  bool SetValue(const wchar_t* name, int32_t value);
  bool SetValue(const char* name, uint32_t value);
  bool SetValue(const wchar_t* name, uint32_t value);
  bool SetValue(const char* name, bool value);
  bool SetValue(const wchar_t* name, bool value);
  bool SetMultiString(const char* name, const std::vector<std::string>& items);
  bool SetMultiString(const wchar_t* name, const std::vector<std::wstring>& items);
  bool DeleteValue(const char* name);
  bool DeleteValue(const wchar_t* name);

  // --- Privileges and rename (registry_rename.cpp) ---------------------
  // Enables the privilege in the token opened by RenameKey and returns its
  // previous state, or null on failure.
  std::unique_ptr<TOKEN_PRIVILEGES> EnablePrivilege(const char* privilegeName);
  std::unique_ptr<TOKEN_PRIVILEGES> EnablePrivilege(const wchar_t* privilegeName);
  // Puts a state returned by EnablePrivilege back; null does nothing.
  void RestorePrivilege(std::unique_ptr<TOKEN_PRIVILEGES> previousState);
  // Moves subkey `source` of the open key, with everything below it, to the
  // new subkey `destination`. Refused without change (error 0) when the
  // destination already exists.
  bool RenameKey(const char* source, const char* destination);
  bool RenameKey(const wchar_t* source, const wchar_t* destination);

  // --- Accessors -------------------------------------------------------
  // Null when the path is empty.
  const char* GetPath() const;
  // The path's last component; null when the path is empty.
  const char* GetKeyName() const;
  HKEY GetRootKey() const { return root_; }
  LONG GetErrorCode() const { return lastError_; }
  // Takes effect at the next open or create.
  void SetView(int32_t view) { view_ = view; }

 private:
  struct AsciiCaseLess {
    bool operator()(const std::string& left, const std::string& right) const;
  };

  REGSAM AccessMask(REGSAM base) const;
  struct HeldPath;
  static HeldPath HeldPathOf(const char* path);
  static HeldPath HeldPathOf(const wchar_t* path);
  void HoldPath(const HeldPath& path);
  bool OpenWithPath(const HeldPath& path, bool writable);
  bool CreateWithPath(const HeldPath& path);
  bool DeleteKeyWithPath(const HeldPath& path);
  bool QueryKeyInfo(DWORD* subKeys, DWORD* values, uint64_t* count);
  // Stores the platform's code in last error; always false.
  bool StoreFailure(LONG code);
  template <typename Char>
  std::basic_string<Char> JoinSubKeyPath(const Char* name) const;
  template <typename Char>
  bool PassesCacheTest(const Char* name) const;
  template <typename Char>
  bool QueryValue(const Char* name, DWORD* type, void* data, DWORD* size);
  template <typename Char>
  bool SetRawValue(const Char* name, DWORD type, const void* data, DWORD size);
  template <typename Char>
  bool QueryFixedSizeValue(const Char* name, bool nameRequired, DWORD expectedType, void* value, DWORD size);
  template <typename Char>
  bool GetValueSizeAs(const Char* name, DWORD* size);
  template <typename Char>
  void GetStringOrDefaultAs(const Char* name, Char* output, DWORD outputSize, const Char* defaultText);
  template <typename Char>
  bool SetStringAs(const Char* name, const Char* text);
  template <typename Char>
  bool DeleteValueAs(const Char* name);
  template <typename Char>
  bool MakeSubKeyPathAs(const Char* name, Char* output, size_t outputSize) const;
  template <typename Char>
  bool EnumKeyAs(DWORD index, Char* fullPath, size_t fullPathSize, Char* name, size_t nameSize);
  template <typename Char>
  bool EnumValueAs(DWORD index, Char* name, DWORD nameSize, DWORD* type, BYTE* data, DWORD* dataSize);
  template <typename Char>
  bool GetStringAs(const Char* name, Char* output, DWORD outputSize);
  template <typename Char>
  bool GetBytesAs(const Char* name, BYTE* data, DWORD capacity, DWORD* size);
  template <typename Char>
  bool GetMultiStringAs(const Char* name, std::vector<std::basic_string<Char>>& items);
  template <typename Char>
  bool SetMultiStringAs(const Char* name, const std::vector<std::basic_string<Char>>& items);
  template <typename Char>
  std::unique_ptr<TOKEN_PRIVILEGES> EnablePrivilegeAs(const Char* privilegeName);
  template <typename Char>
  bool RenameKeyAs(const Char* source, const Char* destination);

  std::string path_;
  // False for a UTF-16 path without an exact narrow form.
  bool pathExact_ = true;
  HKEY root_;
  HKEY key_ = nullptr;
  bool cacheValueNames_;
  int32_t view_ = 0;
  HANDLE token_ = INVALID_HANDLE_VALUE;
  std::set<std::string, AsciiCaseLess> valueNames_;
  LONG lastError_ = 0;
};
