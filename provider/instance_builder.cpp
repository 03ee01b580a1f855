#include "provider/instance_builder.h"

#include <cwchar>

#include "provider/module_state.h"
#include "provider/perf_data_source.h"
#include "provider/wbem_result.h"

HRESULT WriteInstanceName(IWbemObjectAccess* instance, int ordinal, int slot) {
  wchar_t name[kSessionNameUnits + 1] = {};
  const wmirouter_perf_t* block = RouterBlock().View();
  size_t length = 0;
  if (block != nullptr && slot >= 0 && slot < kSessionSlotCount) length = CopySessionName(block->sessions[slot], name);
  // An unnamed slot, or one emptied since the walk, is named by its ordinal.
  if (length == 0) length = static_cast<size_t>(swprintf(name, kSessionNameUnits + 1, L"%i", ordinal));
  return instance->WritePropertyValue(g_nameHandle.load(), static_cast<long>((length + 1) * sizeof(wchar_t)),
                                      reinterpret_cast<const BYTE*>(name));
}

HRESULT BuildSessionInstance(IWbemClassObject* classObject, CPerfDataSource* dataSource, int ordinal, int slot,
                             IWbemObjectAccess** instance) {
  *instance = nullptr;
  IWbemClassObject* spawned = nullptr;
  HRESULT hr = classObject->SpawnInstance(0, &spawned);
  if (FAILED(hr)) return hr;
  if (spawned == nullptr) return WBEM_E_FAILED;
  IWbemObjectAccess* access = nullptr;
  hr = spawned->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(&access));
  spawned->Release();
  if (FAILED(hr)) return hr;
  if (access == nullptr) return WBEM_E_INVALID_OBJECT;

  hr = WriteInstanceName(access, ordinal, slot);
  if (SUCCEEDED(hr)) hr = dataSource != nullptr ? dataSource->FillInstance(access) : WbemResult(WBEM_E_INVALID_OBJECT);
  if (FAILED(hr)) {
    access->Release();
    return hr;
  }
  *instance = access;
  return hr;
}
