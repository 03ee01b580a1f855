#include "support/registry/registry.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "support/fs/code_page.h"
#include "support/fs/unique_handle.h"
#include "support/registry/expand_text.h"
#include "support/registry/registry_platform.h"

namespace {

// Scratch buffers of the string, byte and multi-string reads hold this many
// units unless the caller's buffer or the value asks for more.
constexpr DWORD kScratchUnits = 512;
// Subkey names are at most 255 characters; the enumeration buffer has room
// for 260 and a terminator.
constexpr DWORD kSubKeyNameUnits = 261;
// Value names longer than this are left out of the cache.
constexpr DWORD kCachedNameUnits = 256;
// Multi-string items are kept to this many characters.
constexpr size_t kMultiStringItemUnits = 511;

std::string PathOrEmpty(const char* path) { return path ? std::string(path) : std::string(); }

char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

// Copies at most `size` - 1 characters of `text` and terminates `output`.
template <typename Char>
void CopyCut(const Char* text, size_t length, Char* output, size_t size) {
  const size_t copied = std::min(length, size - 1);
  std::copy(text, text + copied, output);
  output[copied] = Char(0);
}

// What a deletion opens each key with; keys are always opened with
// REG_OPTION_OPEN_LINK, so a link is the link key and never its target.
constexpr REGSAM kDeletionAccess = KEY_ENUMERATE_SUB_KEYS | KEY_QUERY_VALUE | DELETE;
constexpr wchar_t kLinkValueName[] = L"SymbolicLinkValue";

bool IsLinkKey(HKEY key) {
  DWORD type = REG_NONE;
  return RegQueryValueExW(key, kLinkValueName, nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
         type == REG_LINK;
}

// The native call deletes the key behind an open handle: the only way to
// remove a link key itself, and no second lookup by name that a link could
// redirect.
LONG DeleteOpenKey(HKEY key) {
  using DeleteKeyCall = LONG(NTAPI*)(HANDLE);
  using StatusToErrorCall = ULONG(NTAPI*)(LONG);
  struct NativeCalls {
    DeleteKeyCall deleteKey;
    StatusToErrorCall statusToError;
  };
  static const NativeCalls calls = [] {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return NativeCalls{
        reinterpret_cast<DeleteKeyCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "NtDeleteKey"))),
        reinterpret_cast<StatusToErrorCall>(reinterpret_cast<void*>(GetProcAddress(ntdll, "RtlNtStatusToDosError")))};
  }();
  if (calls.deleteKey == nullptr || calls.statusToError == nullptr) return ERROR_PROC_NOT_FOUND;
  const LONG status = calls.deleteKey(key);
  return status >= 0 ? ERROR_SUCCESS : static_cast<LONG>(calls.statusToError(status));
}

// Deletes the open key after everything below it. A link below is removed
// as a link and never entered, so the deletion stays inside this tree.
LONG DeleteOpenTree(HKEY key, REGSAM viewFlag) {
  DWORD subKeyCount = 0;
  LONG result = RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeyCount, nullptr, nullptr, nullptr, nullptr,
                                 nullptr, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return result;
  // Highest index first: deleting a subkey does not shift the ones left.
  for (DWORD index = subKeyCount; index-- > 0;) {
    wchar_t name[kSubKeyNameUnits] = {};
    result = RegEnumKeyW(key, index, name, kSubKeyNameUnits);
    if (result != ERROR_SUCCESS) return result;
    UniqueKey child;
    result = RegOpenKeyExW(key, name, REG_OPTION_OPEN_LINK, kDeletionAccess | viewFlag, child.receive());
    if (result != ERROR_SUCCESS) return result;
    result = IsLinkKey(child.get()) ? DeleteOpenKey(child.get()) : DeleteOpenTree(child.get(), viewFlag);
    if (result != ERROR_SUCCESS) return result;
  }
  return DeleteOpenKey(key);
}

DWORD ClampToDword(uint64_t value) { return static_cast<DWORD>(std::min<uint64_t>(value, MAXDWORD)); }

}  // namespace

bool Registry::AsciiCaseLess::operator()(const std::string& left, const std::string& right) const {
  return std::lexicographical_compare(left.begin(), left.end(), right.begin(), right.end(),
                                      [](char a, char b) { return AsciiLower(a) < AsciiLower(b); });
}

// A path and whether it names exactly the key the caller named.
struct Registry::HeldPath {
  std::string text;
  bool exact;
};

Registry::HeldPath Registry::HeldPathOf(const char* path) { return HeldPath{PathOrEmpty(path), true}; }

// A UTF-16 path without an exact narrow form could only name some other key
// (a best-fit look-alike, question marks): it is held for GetPath, and no
// open, create or deletion uses it.
Registry::HeldPath Registry::HeldPathOf(const wchar_t* path) {
  HeldPath held{std::string(), true};
  if (path != nullptr && !WideToNarrowExact(path, &held.text)) held = HeldPath{WideToNarrow(path), false};
  return held;
}

void Registry::HoldPath(const HeldPath& path) {
  path_ = path.text;
  pathExact_ = path.exact;
}

Registry::Registry(const char* path, bool currentUser, bool cacheValueNames)
    : path_(PathOrEmpty(path)),
      root_(currentUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE),
      cacheValueNames_(cacheValueNames) {}

Registry::Registry(const wchar_t* path, bool currentUser, bool cacheValueNames)
    : Registry(static_cast<const char*>(nullptr), currentUser, cacheValueNames) {
  HoldPath(HeldPathOf(path));
}

Registry::Registry(HKEY root, const char* path, bool cacheValueNames)
    : path_(PathOrEmpty(path)), root_(root), cacheValueNames_(cacheValueNames) {}

Registry::Registry(HKEY root, const wchar_t* path, bool cacheValueNames)
    : Registry(root, static_cast<const char*>(nullptr), cacheValueNames) {
  HoldPath(HeldPathOf(path));
}

Registry::Registry(bool cacheValueNames) : root_(HKEY_LOCAL_MACHINE), cacheValueNames_(cacheValueNames) {}

Registry::Registry(int32_t view, bool cacheValueNames)
    : root_(HKEY_LOCAL_MACHINE), cacheValueNames_(cacheValueNames), view_(view) {}

Registry::~Registry() { Close(); }

bool Registry::StoreFailure(LONG code) {
  lastError_ = code;
  return false;
}

REGSAM Registry::AccessMask(REGSAM base) const { return view_ == kView32Bit ? (base | KEY_WOW64_32KEY) : base; }

// --- Key lifecycle ------------------------------------------------------

bool Registry::Open(bool writable) {
  lastError_ = 0;
  if (key_ != nullptr) return true;
  if (!pathExact_) return StoreFailure(ERROR_NO_UNICODE_TRANSLATION);
  const REGSAM mask = AccessMask(writable ? (KEY_READ | KEY_WRITE) : KEY_READ);
  const LONG result = RegOpenKeyExA(root_, path_.c_str(), 0, mask, &key_);
  if (result != ERROR_SUCCESS) {
    key_ = nullptr;
    return StoreFailure(result);
  }
  if (cacheValueNames_) RefreshValueNames();
  return true;
}

bool Registry::OpenWithPath(const HeldPath& path, bool writable) {
  lastError_ = 0;
  if (key_ != nullptr) return false;
  HoldPath(path);
  return Open(writable);
}

bool Registry::Open(const char* path, bool writable) { return OpenWithPath(HeldPathOf(path), writable); }

bool Registry::Open(const wchar_t* path, bool writable) { return OpenWithPath(HeldPathOf(path), writable); }

bool Registry::Create() {
  lastError_ = 0;
  if (key_ != nullptr) return true;
  if (!pathExact_) return StoreFailure(ERROR_NO_UNICODE_TRANSLATION);
  DWORD disposition = 0;
  const LONG result = RegCreateKeyExA(root_, path_.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                      AccessMask(KEY_ALL_ACCESS), nullptr, &key_, &disposition);
  if (result != ERROR_SUCCESS) {
    key_ = nullptr;
    return StoreFailure(result);
  }
  if (disposition == REG_OPENED_EXISTING_KEY && cacheValueNames_) RefreshValueNames();
  return true;
}

bool Registry::CreateWithPath(const HeldPath& path) {
  lastError_ = 0;
  if (key_ != nullptr) return false;
  HoldPath(path);
  // A create with a new path keeps the cache as it was, whatever it finds.
  const bool cacheValueNames = cacheValueNames_;
  cacheValueNames_ = false;
  const bool created = Create();
  cacheValueNames_ = cacheValueNames;
  return created;
}

bool Registry::Create(const char* path) { return CreateWithPath(HeldPathOf(path)); }

bool Registry::Create(const wchar_t* path) { return CreateWithPath(HeldPathOf(path)); }

void Registry::Close() {
  if (key_ == nullptr) return;
  RegCloseKey(key_);
  key_ = nullptr;
}

bool Registry::DeleteKey() {
  lastError_ = 0;
  if (key_ != nullptr) return false;
  // An empty path would name the root itself.
  if (path_.empty()) return false;
  if (!pathExact_) return StoreFailure(ERROR_NO_UNICODE_TRANSLATION);
  UniqueKey key;
  const LONG opened =
      RegOpenKeyExA(root_, path_.c_str(), REG_OPTION_OPEN_LINK, AccessMask(kDeletionAccess), key.receive());
  if (opened != ERROR_SUCCESS) {
    // A key that does not exist counts as deleted; the code still tells.
    lastError_ = opened;
    return opened == ERROR_FILE_NOT_FOUND;
  }
  // A link as the root: its target is another tree, and the link itself
  // was not named as ours to remove.
  if (IsLinkKey(key.get())) return StoreFailure(kLinkRootError);
  const LONG result = DeleteOpenTree(key.get(), AccessMask(0));
  return result == ERROR_SUCCESS || StoreFailure(result);
}

bool Registry::DeleteKeyWithPath(const HeldPath& path) {
  if (key_ != nullptr) return false;
  HoldPath(path);
  return DeleteKey();
}

bool Registry::DeleteKey(const char* path) { return DeleteKeyWithPath(HeldPathOf(path)); }

bool Registry::DeleteKey(const wchar_t* path) { return DeleteKeyWithPath(HeldPathOf(path)); }

// --- Subkeys and values of the open key ---------------------------------

bool Registry::QueryKeyInfo(DWORD* subKeys, DWORD* values, uint64_t* count) {
  lastError_ = 0;
  if (key_ == nullptr || count == nullptr) return false;
  *count = 0;
  const LONG result = RegQueryInfoKeyA(key_, nullptr, nullptr, nullptr, subKeys, nullptr, nullptr, values, nullptr,
                                       nullptr, nullptr, nullptr);
  if (result != ERROR_SUCCESS) return StoreFailure(result);
  *count = subKeys ? *subKeys : *values;
  return true;
}

bool Registry::GetSubKeyCount(uint64_t* count) {
  DWORD subKeys = 0;
  return QueryKeyInfo(&subKeys, nullptr, count);
}

bool Registry::GetValueCount(uint64_t* count) {
  DWORD values = 0;
  return QueryKeyInfo(nullptr, &values, count);
}

template <typename Char>
std::basic_string<Char> Registry::JoinSubKeyPath(const Char* name) const {
  std::basic_string<Char> joined = RegistryPlatform<Char>::FromNarrow(path_);
  if (!joined.empty() && joined.back() != Char('\\')) joined += Char('\\');
  if (name != nullptr) joined += name;
  return joined;
}

template <typename Char>
bool Registry::MakeSubKeyPathAs(const Char* name, Char* output, size_t outputSize) const {
  if (output == nullptr || outputSize == 0) return false;
  const std::basic_string<Char> joined = JoinSubKeyPath(name);
  CopyCut(joined.c_str(), joined.size(), output, outputSize);
  return true;
}

bool Registry::MakeSubKeyPath(const char* name, char* output, size_t outputSize) const {
  return MakeSubKeyPathAs(name, output, outputSize);
}

bool Registry::MakeSubKeyPath(const wchar_t* name, wchar_t* output, size_t outputSize) const {
  return MakeSubKeyPathAs(name, output, outputSize);
}

template <typename Char>
bool Registry::EnumKeyAs(DWORD index, Char* fullPath, size_t fullPathSize, Char* name, size_t nameSize) {
  lastError_ = 0;
  if (key_ == nullptr) return false;
  Char subKeyName[kSubKeyNameUnits] = {};
  const LONG result = RegistryPlatform<Char>::EnumKey(key_, index, subKeyName, kSubKeyNameUnits);
  if (result != ERROR_SUCCESS) return StoreFailure(result);
  subKeyName[kSubKeyNameUnits - 1] = Char(0);
  if (name != nullptr && nameSize != 0) {
    CopyCut(subKeyName, RegistryPlatform<Char>::Length(subKeyName), name, nameSize);
  }
  if (fullPath != nullptr && fullPathSize != 0) {
    const std::basic_string<Char> joined = JoinSubKeyPath(subKeyName);
    CopyCut(joined.c_str(), joined.size(), fullPath, fullPathSize);
  }
  return true;
}

bool Registry::EnumKey(DWORD index, char* fullPath, size_t fullPathSize, char* name, size_t nameSize) {
  if (fullPath == nullptr || fullPathSize == 0) {
    lastError_ = 0;
    return false;
  }
  return EnumKeyAs(index, fullPath, fullPathSize, name, nameSize);
}

bool Registry::EnumKey(DWORD index, wchar_t* fullPath, size_t fullPathSize, wchar_t* name, size_t nameSize) {
  return EnumKeyAs(index, fullPath, fullPathSize, name, nameSize);
}

bool Registry::OpenSubKey(DWORD index, Registry& child) {
  if (&child == this) return false;
  child.Close();
  child.root_ = root_;
  child.HoldPath(HeldPath{std::string(), true});
  char name[kSubKeyNameUnits] = {};
  if (!EnumKeyAs<char>(index, nullptr, 0, name, kSubKeyNameUnits)) return false;
  child.path_ = JoinSubKeyPath<char>(name);
  return child.Open(false);
}

template <typename Char>
bool Registry::EnumValueAs(DWORD index, Char* name, DWORD nameSize, DWORD* type, BYTE* data, DWORD* dataSize) {
  lastError_ = 0;
  if (key_ == nullptr || name == nullptr || nameSize == 0) return false;
  if (data != nullptr && dataSize == nullptr) return false;
  DWORD nameLength = nameSize;
  const LONG result = RegistryPlatform<Char>::EnumValue(key_, index, name, &nameLength, type, data, dataSize);
  if (result != ERROR_SUCCESS) return StoreFailure(result);
  name[std::min(nameLength, nameSize - 1)] = Char(0);
  if (data != nullptr) data[*dataSize] = 0;
  return true;
}

bool Registry::EnumValueName(DWORD index, char* name, DWORD nameSize) {
  return EnumValueAs(index, name, nameSize, nullptr, nullptr, nullptr);
}

bool Registry::EnumValueName(DWORD index, wchar_t* name, DWORD nameSize) {
  return EnumValueAs(index, name, nameSize, nullptr, nullptr, nullptr);
}

bool Registry::EnumValue(DWORD index, char* name, DWORD nameSize, DWORD* type, BYTE* data, DWORD* dataSize) {
  return EnumValueAs(index, name, nameSize, type, data, dataSize);
}

bool Registry::EnumValue(DWORD index, wchar_t* name, DWORD nameSize, DWORD* type, BYTE* data, DWORD* dataSize) {
  return EnumValueAs(index, name, nameSize, type, data, dataSize);
}

bool Registry::HasValue(const char* name) const {
  return name != nullptr && valueNames_.count(name) != 0;
}

bool Registry::HasValue(const wchar_t* name) const {
  return name != nullptr && valueNames_.count(WideToNarrow(name)) != 0;
}

void Registry::RefreshValueNames() {
  lastError_ = 0;
  if (key_ == nullptr) return;
  valueNames_.clear();
  for (DWORD index = 0;; ++index) {
    char name[kCachedNameUnits + 1] = {};
    DWORD nameLength = kCachedNameUnits;
    const LONG result = RegEnumValueA(key_, index, name, &nameLength, nullptr, nullptr, nullptr, nullptr);
    if (result == ERROR_MORE_DATA) continue;
    if (result != ERROR_SUCCESS) {
      if (result != ERROR_NO_MORE_ITEMS) lastError_ = result;
      return;
    }
    valueNames_.insert(std::string(name, std::min(nameLength, kCachedNameUnits)));
  }
}

// --- Reading values -----------------------------------------------------

template <typename Char>
bool Registry::PassesCacheTest(const Char* name) const {
  return !cacheValueNames_ || HasValue(name);
}

template <typename Char>
bool Registry::QueryValue(const Char* name, DWORD* type, void* data, DWORD* size) {
  const LONG result = RegistryPlatform<Char>::QueryValue(key_, name, type, static_cast<BYTE*>(data), size);
  if (result != ERROR_SUCCESS) return StoreFailure(result);
  return true;
}

template <typename Char>
bool Registry::GetValueSizeAs(const Char* name, DWORD* size) {
  lastError_ = 0;
  if (key_ == nullptr || size == nullptr) return false;
  return QueryValue(name, nullptr, nullptr, size);
}

bool Registry::GetValueSize(const char* name, DWORD* size) { return GetValueSizeAs(name, size); }

bool Registry::GetValueSize(const wchar_t* name, DWORD* size) { return GetValueSizeAs(name, size); }

template <typename Char>
bool Registry::GetStringAs(const Char* name, Char* output, DWORD outputSize) {
  lastError_ = 0;
  if (key_ == nullptr || output == nullptr || outputSize == 0) return false;
  if (!PassesCacheTest(name)) return false;
  const DWORD scratchUnits = outputSize > kScratchUnits ? outputSize : kScratchUnits;
  // One unit beyond what the platform may fill, so the text is always
  // terminated even when the stored value is not.
  std::vector<Char> scratch(static_cast<size_t>(scratchUnits) + 1, Char(0));
  DWORD type = 0;
  DWORD scratchBytes = ClampToDword(static_cast<uint64_t>(scratchUnits) * sizeof(Char));
  if (!QueryValue(name, &type, scratch.data(), &scratchBytes)) return false;
  if (type != REG_SZ && type != REG_EXPAND_SZ) return false;
  const Char* text = scratch.data();
  std::vector<Char> expanded;
  // Expanded in full first, so a result longer than the output is cut like
  // any other string instead of being left unterminated; a failed expansion
  // leaves the raw text.
  if (type == REG_EXPAND_SZ && ExpandInFull(text, &expanded, &RegistryPlatform<Char>::ExpandEnvironment)) {
    text = expanded.data();
  }
  CopyCut(text, RegistryPlatform<Char>::Length(text), output, outputSize);
  return true;
}

bool Registry::GetString(const char* name, char* output, DWORD outputSize) {
  return GetStringAs(name, output, outputSize);
}

bool Registry::GetString(const wchar_t* name, wchar_t* output, DWORD outputSize) {
  return GetStringAs(name, output, outputSize);
}

template <typename Char>
void Registry::GetStringOrDefaultAs(const Char* name, Char* output, DWORD outputSize, const Char* defaultText) {
  if (GetStringAs(name, output, outputSize) || output == nullptr || outputSize == 0) return;
  const Char noText[1] = {Char(0)};
  const Char* fallback = defaultText ? defaultText : noText;
  CopyCut(fallback, RegistryPlatform<Char>::Length(fallback), output, outputSize);
}

void Registry::GetString(const char* name, char* output, DWORD outputSize, const char* defaultText) {
  GetStringOrDefaultAs(name, output, outputSize, defaultText);
}

void Registry::GetString(const wchar_t* name, wchar_t* output, DWORD outputSize, const wchar_t* defaultText) {
  GetStringOrDefaultAs(name, output, outputSize, defaultText);
}

template <typename Char>
bool Registry::GetBytesAs(const Char* name, BYTE* data, DWORD capacity, DWORD* size) {
  lastError_ = 0;
  if (key_ == nullptr || data == nullptr) return false;
  if (!PassesCacheTest(name)) return false;
  std::vector<BYTE> scratch(std::max(capacity, kScratchUnits), 0);
  // The platform is given the caller's capacity, not the scratch size, so a
  // value that would not fit the caller's buffer fails with ERROR_MORE_DATA.
  DWORD valueSize = capacity;
  DWORD type = 0;
  if (!QueryValue(name, &type, scratch.data(), &valueSize)) return false;
  if (type != REG_BINARY) return false;
  std::copy(scratch.begin(), scratch.begin() + valueSize, data);
  if (size != nullptr) *size = valueSize;
  return true;
}

bool Registry::GetBytes(const char* name, BYTE* data, DWORD capacity, DWORD* size) {
  return GetBytesAs(name, data, capacity, size);
}

bool Registry::GetBytes(const wchar_t* name, BYTE* data, DWORD capacity, DWORD* size) {
  return GetBytesAs(name, data, capacity, size);
}

template <typename Char>
bool Registry::QueryFixedSizeValue(const Char* name, bool nameRequired, DWORD expectedType, void* value,
                                   DWORD size) {
  lastError_ = 0;
  if (key_ == nullptr || value == nullptr || (nameRequired && name == nullptr)) return false;
  if (!PassesCacheTest(name)) return false;
  BYTE buffer[sizeof(uint64_t)] = {};
  DWORD type = 0;
  DWORD valueSize = size;
  if (!QueryValue(name, &type, buffer, &valueSize)) return false;
  if (type != expectedType) return false;
  std::memcpy(value, buffer, size);
  return true;
}

bool Registry::GetQWORD(const char* name, uint64_t* value) {
  return QueryFixedSizeValue(name, true, REG_QWORD, value, sizeof(uint64_t));
}

bool Registry::GetQWORD(const wchar_t* name, uint64_t* value) {
  return QueryFixedSizeValue(name, true, REG_QWORD, value, sizeof(uint64_t));
}

// The key's default value is read with a null name.
bool Registry::GetDWORD(const char* name, DWORD* value) {
  return QueryFixedSizeValue(name, false, REG_DWORD, value, sizeof(DWORD));
}

bool Registry::GetDWORD(const wchar_t* name, DWORD* value) {
  return QueryFixedSizeValue(name, false, REG_DWORD, value, sizeof(DWORD));
}

namespace {
// The typed GetValue forms: a DWORD read converted to the caller's type,
// written only on success, or the default when one is given.
template <typename Char, typename T>
bool ReadConverted(Registry& registry, const Char* name, T* value) {
  DWORD raw = 0;
  if (value == nullptr || !registry.GetDWORD(name, &raw)) return false;
  *value = static_cast<T>(raw);
  return true;
}

template <typename Char>
bool ReadConverted(Registry& registry, const Char* name, bool* value) {
  DWORD raw = 0;
  if (value == nullptr || !registry.GetDWORD(name, &raw)) return false;
  *value = raw != 0;
  return true;
}

template <typename Char, typename T>
bool ReadConvertedOrDefault(Registry& registry, const Char* name, T* value, T defaultValue) {
  if (ReadConverted(registry, name, value)) return true;
  if (value != nullptr) *value = defaultValue;
  return false;
}
}  // namespace

bool Registry::GetDWORD(const char* name, DWORD* value, DWORD defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}
bool Registry::GetDWORD(const wchar_t* name, DWORD* value, DWORD defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}
bool Registry::GetValue(const char* name, int32_t* value) { return ReadConverted(*this, name, value); }
bool Registry::GetValue(const wchar_t* name, int32_t* value) { return ReadConverted(*this, name, value); }
bool Registry::GetValue(const char* name, uint32_t* value) { return ReadConverted(*this, name, value); }
bool Registry::GetValue(const wchar_t* name, uint32_t* value) { return ReadConverted(*this, name, value); }
bool Registry::GetValue(const char* name, bool* value) { return ReadConverted(*this, name, value); }
bool Registry::GetValue(const wchar_t* name, bool* value) { return ReadConverted(*this, name, value); }

bool Registry::GetValue(const char* name, int32_t* value, int32_t defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}
bool Registry::GetValue(const wchar_t* name, int32_t* value, int32_t defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}
bool Registry::GetValue(const char* name, uint32_t* value, uint32_t defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}
bool Registry::GetValue(const wchar_t* name, uint32_t* value, uint32_t defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}
bool Registry::GetValue(const char* name, bool* value, bool defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}
bool Registry::GetValue(const wchar_t* name, bool* value, bool defaultValue) {
  return ReadConvertedOrDefault(*this, name, value, defaultValue);
}

template <typename Char>
bool Registry::GetMultiStringAs(const Char* name, std::vector<std::basic_string<Char>>& items) {
  lastError_ = 0;
  if (key_ == nullptr) return false;
  if (!PassesCacheTest(name)) return false;
  DWORD valueBytes = 0;
  if (!GetValueSize(name, &valueBytes)) return false;
  const DWORD scratchBytes = valueBytes > kScratchUnits ? valueBytes : kScratchUnits;
  // Rounded up to whole units plus one, so the last item is terminated even
  // when the stored data is not.
  std::vector<Char> scratch(scratchBytes / sizeof(Char) + 2, Char(0));
  DWORD type = 0;
  DWORD returnedBytes = scratchBytes;
  if (!QueryValue(name, &type, scratch.data(), &returnedBytes)) return false;
  if (type != REG_MULTI_SZ) return false;
  const size_t units = returnedBytes / sizeof(Char);
  for (size_t offset = 0; offset < units;) {
    const Char* item = scratch.data() + offset;
    const size_t length = RegistryPlatform<Char>::BoundedLength(item, units - offset);
    if (length != 0) items.emplace_back(item, std::min(length, kMultiStringItemUnits));
    offset += length + 1;
  }
  return true;
}

bool Registry::GetMultiString(const char* name, std::vector<std::string>& items) {
  return GetMultiStringAs(name, items);
}

bool Registry::GetMultiString(const wchar_t* name, std::vector<std::wstring>& items) {
  return GetMultiStringAs(name, items);
}

bool Registry::GetRawValue(const wchar_t* name, DWORD* type, std::vector<BYTE>* data) {
  lastError_ = 0;
  if (key_ == nullptr || type == nullptr || data == nullptr || !PassesCacheTest(name)) return false;
  DWORD valueBytes = 0;
  if (!GetValueSize(name, &valueBytes)) return false;
  std::vector<BYTE> bytes(std::max<DWORD>(valueBytes, 1));
  DWORD returnedBytes = valueBytes;
  if (!QueryValue(name, type, bytes.data(), &returnedBytes)) return false;
  bytes.resize(returnedBytes);
  *data = std::move(bytes);
  return true;
}

// --- Writing and deleting values ----------------------------------------

template <typename Char>
bool Registry::SetRawValue(const Char* name, DWORD type, const void* data, DWORD size) {
  lastError_ = 0;
  if (key_ == nullptr) return false;
  if (data == nullptr && size != 0) return false;
  const LONG result =
      RegistryPlatform<Char>::SetValue(key_, name, type, static_cast<const BYTE*>(data), size);
  if (result != ERROR_SUCCESS) return StoreFailure(result);
  return true;
}

template <typename Char>
bool Registry::SetStringAs(const Char* name, const Char* text) {
  if (text == nullptr) {
    lastError_ = 0;
    return false;
  }
  return SetRawValue(name, REG_SZ, text, ClampToDword((RegistryPlatform<Char>::Length(text) + 1) * sizeof(Char)));
}

bool Registry::SetString(const char* name, const char* text) { return SetStringAs(name, text); }

bool Registry::SetString(const wchar_t* name, const wchar_t* text) { return SetStringAs(name, text); }

bool Registry::SetBytes(const char* name, const BYTE* data, DWORD size) {
  return SetRawValue(name, REG_BINARY, data, size);
}

bool Registry::SetBytes(const wchar_t* name, const BYTE* data, DWORD size) {
  return SetRawValue(name, REG_BINARY, data, size);
}

bool Registry::SetQWORD(const char* name, uint64_t value) {
  return SetRawValue(name, REG_QWORD, &value, sizeof(value));
}

bool Registry::SetQWORD(const wchar_t* name, uint64_t value) {
  return SetRawValue(name, REG_QWORD, &value, sizeof(value));
}

bool Registry::SetDWORD(const char* name, DWORD value) { return SetRawValue(name, REG_DWORD, &value, sizeof(value)); }

bool Registry::SetDWORD(const wchar_t* name, DWORD value) {
  return SetRawValue(name, REG_DWORD, &value, sizeof(value));
}

bool Registry::SetValue(const char* name, int32_t value) { return SetDWORD(name, static_cast<DWORD>(value)); }
bool Registry::SetValue(const wchar_t* name, int32_t value) { return SetDWORD(name, static_cast<DWORD>(value)); }
bool Registry::SetValue(const char* name, uint32_t value) { return SetDWORD(name, value); }
bool Registry::SetValue(const wchar_t* name, uint32_t value) { return SetDWORD(name, value); }
bool Registry::SetValue(const char* name, bool value) { return SetDWORD(name, value ? 1u : 0u); }
bool Registry::SetValue(const wchar_t* name, bool value) { return SetDWORD(name, value ? 1u : 0u); }

template <typename Char>
bool Registry::SetMultiStringAs(const Char* name, const std::vector<std::basic_string<Char>>& items) {
  lastError_ = 0;
  if (key_ == nullptr) return false;
  size_t totalUnits = 1;
  for (const auto& item : items) totalUnits += item.size() + 1;
  // Zero-filled, so every item's terminator and the final one are in place.
  std::vector<Char> buffer(totalUnits, Char(0));
  size_t offset = 0;
  for (const auto& item : items) {
    std::copy(item.begin(), item.end(), buffer.begin() + offset);
    offset += item.size() + 1;
  }
  return SetRawValue(name, REG_MULTI_SZ, buffer.data(), ClampToDword(totalUnits * sizeof(Char)));
}

bool Registry::SetMultiString(const char* name, const std::vector<std::string>& items) {
  return SetMultiStringAs(name, items);
}

bool Registry::SetMultiString(const wchar_t* name, const std::vector<std::wstring>& items) {
  return SetMultiStringAs(name, items);
}

template <typename Char>
bool Registry::DeleteValueAs(const Char* name) {
  lastError_ = 0;
  if (key_ == nullptr) return false;
  const LONG result = RegistryPlatform<Char>::DeleteValue(key_, name);
  return result == ERROR_SUCCESS || StoreFailure(result);
}

bool Registry::DeleteValue(const char* name) { return DeleteValueAs(name); }

bool Registry::DeleteValue(const wchar_t* name) { return DeleteValueAs(name); }

// --- Accessors ----------------------------------------------------------

const char* Registry::GetPath() const { return path_.empty() ? nullptr : path_.c_str(); }

const char* Registry::GetKeyName() const {
  if (path_.empty()) return nullptr;
  const size_t lastSeparator = path_.rfind('\\');
  return lastSeparator == std::string::npos ? path_.c_str() : path_.c_str() + lastSeparator + 1;
}
