#include "provider/instance_builder.h"

#include <cwchar>

#include <wrl/client.h>

#include "provider/module_state.h"
#include "provider/wbem_result.h"

using Microsoft::WRL::ComPtr;

namespace {

// A new instance of the class through its object-access interface. The
// spawned reference is dropped as soon as the interface is held.
HRESULT SpawnObjectAccess(IWbemClassObject* classObject, ComPtr<IWbemObjectAccess>* access) {
  ComPtr<IWbemClassObject> spawned;
  const HRESULT hr = classObject->SpawnInstance(0, spawned.GetAddressOf());
  if (FAILED(hr)) return hr;
  if (spawned == nullptr) return WBEM_E_FAILED;
  return spawned->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(access->GetAddressOf()));
}

}  // namespace

std::wstring OrdinalName(int ordinal) {
  wchar_t name[16];
  swprintf(name, 16, L"%i", ordinal);
  return name;
}

std::wstring SessionInstanceName(int ordinal, int slot) {
  wchar_t name[kSessionNameUnits + 1] = {};
  const wmirouter_perf_t* block = RouterBlock().View();
  // An unnamed slot, or one emptied since the walk, is named by its ordinal.
  if (block != nullptr && slot >= 0 && slot < kSessionSlotCount && CopySessionName(block->sessions[slot], name) != 0) {
    return name;
  }
  return OrdinalName(ordinal);
}

HRESULT BuildInstance(IWbemClassObject* classObject, CPerfDataSource* dataSource, const std::wstring& name,
                      FillRule rule, IWbemObjectAccess** instance) {
  *instance = nullptr;
  ComPtr<IWbemObjectAccess> access;
  HRESULT hr = SpawnObjectAccess(classObject, &access);
  if (FAILED(hr)) return hr;
  if (access == nullptr) return WBEM_E_INVALID_OBJECT;

  hr = access->WritePropertyValue(g_nameHandle.load(), static_cast<long>((name.size() + 1) * sizeof(wchar_t)),
                                  reinterpret_cast<const BYTE*>(name.c_str()));
  if (SUCCEEDED(hr)) {
    hr = dataSource != nullptr ? dataSource->FillInstance(access.Get(), rule) : WbemResult(WBEM_E_INVALID_OBJECT);
  }
  if (FAILED(hr)) return hr;
  *instance = access.Detach();
  return hr;
}
