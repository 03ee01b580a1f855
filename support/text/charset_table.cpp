#include "support/text/charset_table.h"

#include "support/fs/code_page.h"
#include "support/registry/registry.h"

namespace {

constexpr DWORD kAliasUnits = 257;  // 256 characters and the terminator

}  // namespace

void BuildCharsetTable(CharsetMap& table, HKEY root, const char* path) {
  std::map<std::wstring, std::wstring, CaseInsensitiveLess> aliases;
  Registry database(root, path, false);
  if (!database.Open(false)) return;
  uint64_t count = 0;
  database.GetSubKeyCount(&count);
  // Exactly the calls the walk needs per subkey: name, open, one or two value
  // reads, close. The value-name cache stays off, since filling it would
  // enumerate every value of every subkey.
  Registry charset(false);
  for (uint64_t index = 0; index < count; ++index) {
    if (!database.OpenSubKey(static_cast<DWORD>(index), charset)) continue;
    const std::wstring name = NarrowToWide(charset.GetKeyName() ? charset.GetKeyName() : "", CP_THREAD_ACP);
    DWORD codePage = 0;
    wchar_t target[kAliasUnits] = {};
    if (charset.GetDWORD(L"InternetEncoding", &codePage)) {
      table[name] = static_cast<int32_t>(codePage);
    } else if (charset.GetString(L"AliasForCharset", target, kAliasUnits)) {
      aliases[name] = target;
    }
    charset.Close();
  }
  database.Close();

  // An alias of an alias resolves in a later pass; a pass that resolves
  // nothing leaves only aliases whose chain never reaches a charset.
  bool resolvedAny = true;
  while (!aliases.empty() && resolvedAny) {
    resolvedAny = false;
    for (auto alias = aliases.begin(); alias != aliases.end();) {
      const auto found = table.find(alias->second);
      if (found == table.end()) {
        ++alias;
        continue;
      }
      table[alias->first] = found->second;
      alias = aliases.erase(alias);
      resolvedAny = true;
    }
  }
}

CharsetMap ReadCharsetTable() {
  CharsetMap table;
  BuildCharsetTable(table);
  return table;
}

bool FindCharsetCodePage(const wchar_t* name, int32_t* codePage) {
  if (name == nullptr || codePage == nullptr) return false;
  const auto found = CharsetTable.find(name);
  if (found == CharsetTable.end()) return false;
  *codePage = found->second;
  return true;
}

ComInitializer::ComInitializer(DWORD model, bool defer, bool throwOnError) : model_(model) {
  if (!defer) Initialize(model, throwOnError);
}

void ComInitializer::Initialize(DWORD model, bool throwOnError) {
  if (initialised_ && model == model_) return;
  hr_ = CoInitializeEx(nullptr, model);
  if (hr_ == S_OK || hr_ == S_FALSE) {
    model_ = model;
    initialised_ = true;
    return;
  }
  // An earlier success stays balanced: forgetting it here would leave the
  // thread initialised for good.
  if (!throwOnError) return;
  if (hr_ == RPC_E_CHANGED_MODE) {
    throw init_exception(
        "A previous call to CoInitializeEx specified a different concurrency model for the calling thread, or the "
        "thread that called CoInitializeEx currently belongs to the neutral threaded apartment.",
        hr_);
  }
  throw init_exception("Could not initialize COM", hr_);
}

void ComInitializer::Uninitialize() {
  if (!initialised_) return;
  CoUninitialize();
  initialised_ = false;
}
