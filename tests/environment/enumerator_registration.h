#pragma once
// Registers the stand-in OLE DB enumerator DLL in HKEY_LOCAL_MACHINE for the
// life of the object (Wine ignores per-user class registrations).

#include <string>

#include <windows.h>

#include "tests/fs/scratch_folder.h"

class EnumeratorRegistration {
 public:
  static constexpr wchar_t kKey[] = L"Software\\Classes\\CLSID\\{C8B522D0-5CF3-11CE-ADE5-00AA0044773D}";

  EnumeratorRegistration() {
    const std::wstring dll = ExecutableFolder() + L"\\fernwick_oledb_enumerator.dll";
    const std::wstring server = std::wstring(kKey) + L"\\InprocServer32";
    registered_ = Set(server, nullptr, dll) && Set(server, L"ThreadingModel", L"Both");
  }
  ~EnumeratorRegistration() { RegDeleteTreeW(HKEY_LOCAL_MACHINE, kKey); }
  EnumeratorRegistration(const EnumeratorRegistration&) = delete;
  EnumeratorRegistration& operator=(const EnumeratorRegistration&) = delete;

  bool registered() const { return registered_; }

 private:
  static bool Set(const std::wstring& key, const wchar_t* name, const std::wstring& value) {
    return RegSetKeyValueW(HKEY_LOCAL_MACHINE, key.c_str(), name, REG_SZ, value.c_str(),
                           static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
  }
  bool registered_ = false;
};
