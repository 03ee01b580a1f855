#pragma once
// What the stress cases share: a COM apartment per thread, the provider
// module pinned by the test itself, host-side templates, and a look at the
// process (polling thread, handles, private bytes).

#include <algorithm>
#include <string>
#include <vector>

#include <windows.h>
#include <psapi.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "tests/common/router_fixture.h"
#include "tools/wmihost/host_session.h"

// Joins the calling thread to the multithreaded apartment for its lifetime:
// the provider's call security asks COM for the caller's context.
class ComApartment {
 public:
  ComApartment() : joined_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))) {}
  ~ComApartment() {
    if (joined_) CoUninitialize();
  }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

 private:
  bool joined_;
};

// A reference of the test's own on the provider module, so that objects it
// still holds stay callable after the host session lets the module go.
class PinnedModule {
 public:
  PinnedModule() : module_(LoadLibraryW(wmihost::ProviderPathBesideExecutable().c_str())) {}
  ~PinnedModule() { Unpin(); }
  PinnedModule(const PinnedModule&) = delete;
  PinnedModule& operator=(const PinnedModule&) = delete;

  bool pinned() const { return module_ != nullptr; }
  void Unpin() {
    if (module_ != nullptr) FreeLibrary(module_);
    module_ = nullptr;
  }
  HRESULT CanUnloadNow() const {
    auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    return canUnloadNow();
  }
  Microsoft::WRL::ComPtr<IClassFactory> Factory() const {
    auto getClassObject = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    Microsoft::WRL::ComPtr<IClassFactory> factory;
    getClassObject(wmihost::kProviderClsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
    return factory;
  }

 private:
  HMODULE module_;
};

// True while the provider module is mapped in this process.
inline bool ProviderModuleMapped() { return GetModuleHandleW(L"FernwickRouterSessionPerf.dll") != nullptr; }

// The instance a WMI client would hand in: spawned from the host's class,
// with only its key set.
inline Microsoft::WRL::ComPtr<IWbemObjectAccess> NamedTemplate(IWbemClassObject* sessionClass,
                                                              const std::wstring& name) {
  Microsoft::WRL::ComPtr<IWbemClassObject> instance;
  Microsoft::WRL::ComPtr<IWbemObjectAccess> access;
  if (FAILED(sessionClass->SpawnInstance(0, &instance))) return access;
  VARIANT value;
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocStringLen(name.data(), static_cast<UINT>(name.size()));
  instance->Put(L"Name", 0, &value, 0);
  VariantClear(&value);
  instance.As(&access);
  return access;
}

// The one thread in `after` that is not in `before`, else 0.
inline DWORD NewThreadId(const std::vector<DWORD>& before, const std::vector<DWORD>& after) {
  DWORD found = 0;
  int newcomers = 0;
  for (DWORD id : after) {
    if (std::find(before.begin(), before.end(), id) == before.end()) {
      found = id;
      ++newcomers;
    }
  }
  return newcomers == 1 ? found : 0;
}

inline bool ThreadExists(DWORD id) {
  const std::vector<DWORD> ids = ProcessThreadIds();
  return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// Committed private memory of this process. Where the platform does not
// report it (Wine answers 0), adds up the committed private regions of the
// address space, which is where heap growth shows.
inline SIZE_T PrivateBytes() {
  PROCESS_MEMORY_COUNTERS_EX counters = {};
  counters.cb = sizeof(counters);
  if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                           sizeof(counters)) &&
      counters.PrivateUsage != 0) {
    return counters.PrivateUsage;
  }
  SIZE_T committed = 0;
  MEMORY_BASIC_INFORMATION region = {};
  for (const char* address = nullptr;
       VirtualQuery(address, &region, sizeof(region)) == sizeof(region) && region.RegionSize != 0;
       address = static_cast<const char*>(region.BaseAddress) + region.RegionSize) {
    if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE) committed += region.RegionSize;
  }
  return committed;
}
