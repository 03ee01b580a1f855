#pragma once
// The strings subsystem's process-wide facilities: the MIME charset names of
// the system's database (mail and web headers) and their aliases, mapped to
// Windows code pages, read once while the module loads and only read
// afterwards; and COM initialisation of the calling thread.

#include <cstdint>
#include <cwchar>
#include <map>
#include <stdexcept>
#include <string>

#include <windows.h>
#include <objbase.h>

struct CaseInsensitiveLess {
  bool operator()(const std::wstring& left, const std::wstring& right) const {
    return _wcsicmp(left.c_str(), right.c_str()) < 0;
  }
};

using CharsetMap = std::map<std::wstring, int32_t, CaseInsensitiveLess>;

constexpr const char* kMimeCharsetKeyPath = "MIME\\Database\\Charset";

// Fills `table` from the charset subkeys below root\path: a subkey with the
// DWORD "InternetEncoding" is a charset, one with only "AliasForCharset" an
// alias, entered once its chain reaches a charset. Aliases that never reach
// one are dropped. The root and path exist for tests; the module reads the
// system's database.
void BuildCharsetTable(CharsetMap& table, HKEY root = HKEY_CLASSES_ROOT, const char* path = kMimeCharsetKeyPath);

// The system's table, as the process-wide one is built at load.
CharsetMap ReadCharsetTable();
// The process-wide table (support/library_objects.inc).
extern const CharsetMap CharsetTable;

// The code page of a charset name in CharsetTable; false for an unknown or
// null name.
bool FindCharsetCodePage(const wchar_t* name, int32_t* codePage);

// A COM initialisation failure: the message and the HRESULT.
class init_exception : public std::exception {
 public:
  init_exception(const std::string& message, HRESULT hr) : message_(message), hr_(hr) {}
  const char* what() const noexcept override { return message_.c_str(); }
  HRESULT Result() const { return hr_; }

 private:
  std::string message_;
  HRESULT hr_;
};

// Initialises COM for the calling thread and undoes exactly what it did. Must
// be destroyed on the thread that created it, since COM initialisation
// belongs to the thread.
class ComInitializer {
 public:
  // Unless `defer` is set, initialises at once.
  explicit ComInitializer(DWORD model = COINIT_MULTITHREADED, bool defer = false, bool throwOnError = false);
  ~ComInitializer() { Uninitialize(); }
  ComInitializer(const ComInitializer&) = delete;
  ComInitializer& operator=(const ComInitializer&) = delete;

  // Nothing to do when already initialised with the same model. Another
  // model initialises again without undoing the first; the object then
  // balances only its last successful call; a failure leaves an earlier
  // success in place. Failures are visible in Result(), and thrown as
  // init_exception when asked to.
  void Initialize(DWORD model, bool throwOnError = false);
  void Uninitialize();

  HRESULT Result() const { return hr_; }
  bool IsInitialized() const { return initialised_; }
  DWORD Model() const { return model_; }

 private:
  HRESULT hr_ = S_OK;
  bool initialised_ = false;
  DWORD model_;
};
