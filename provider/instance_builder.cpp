#include "provider/instance_builder.h"

#include <wrl/client.h>

#include "provider/module_state.h"

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

HRESULT BuildInstance(IWbemClassObject* classObject, CPerfDataSource& dataSource, const ServedSessionKey& session,
                      int* record, IWbemObjectAccess** instance) {
  *instance = nullptr;
  ComPtr<IWbemObjectAccess> access;
  HRESULT hr = SpawnObjectAccess(classObject, &access);
  if (FAILED(hr)) return hr;
  if (access == nullptr) return WBEM_E_INVALID_OBJECT;

  hr = access->WritePropertyValue(g_nameHandle.load(), static_cast<long>((session.key.size() + 1) * sizeof(wchar_t)),
                                  reinterpret_cast<const BYTE*>(session.key.c_str()));
  if (SUCCEEDED(hr)) hr = dataSource.FillSession(access.Get(), session.id, record);
  if (FAILED(hr) || hr == WBEM_S_FALSE) return hr;
  *instance = access.Detach();
  return hr;
}
