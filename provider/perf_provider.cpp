#include "provider/perf_provider.h"

#include <new>
#include <vector>

#include <wrl/client.h>

#include "provider/call_security.h"
#include "provider/instance_builder.h"
#include "provider/module_state.h"
#include "provider/perf_data_source.h"
#include "provider/refresher.h"
#include "provider/wbem_result.h"
#include "provider_log/provider_log.h"

using Microsoft::WRL::ComPtr;

namespace {

std::atomic<CPerfDataSource*> g_dataSource{nullptr};
// Serialises creating and destroying the data source and obtaining the Name
// handle: WMI may initialise two providers at once.
CriticalSectionLock g_moduleStateLock;

ErrorRecord g_providerErrorRecord;

// A router that was not running when the module first looked may be now:
// map its block and take its current sessions before serving from the records.
void FollowRouter(CPerfDataSource& dataSource) {
  if (!RouterBlock().IsMapped() && MapRouterBlock()) dataSource.PollNow();
  dataSource.AwaitFirstSessions();
}

// Success codes fold to S_OK for the caller.
HRESULT FoldSuccess(HRESULT hr) { return SUCCEEDED(hr) ? S_OK : hr; }

}  // namespace

VXPerfProvider::VXPerfProvider() { ++g_liveObjectCount; }

VXPerfProvider::~VXPerfProvider() {
  classObject_.Reset();
  ScopedLock guard(g_moduleStateLock);
  if (--g_liveObjectCount == 0) delete g_dataSource.exchange(nullptr);
}

STDMETHODIMP VXPerfProvider::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IWbemProviderInit) {
    *out = static_cast<IWbemProviderInit*>(this);
  } else if (iid == IID_IWbemHiPerfProvider) {
    *out = static_cast<IWbemHiPerfProvider*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

STDMETHODIMP_(ULONG) VXPerfProvider::AddRef() { return static_cast<ULONG>(++referenceCount_); }

STDMETHODIMP_(ULONG) VXPerfProvider::Release() {
  const long count = --referenceCount_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

HRESULT VXPerfProvider::InitializeModuleState(IWbemClassObject* classObject, bool* reportToSink) {
  *reportToSink = true;
  ScopedLock guard(g_moduleStateLock);
  if (g_dataSource.load() == nullptr) {
    CPerfDataSource* dataSource = nullptr;
    try {
      dataSource = new CPerfDataSource();
    } catch (const std::bad_alloc&) {
      return WBEM_E_FAILED;
    }
    // Enumeration must find the sessions without waiting for a refresher.
    MapRouterBlock();
    // Without its thread the data source still serves its (zero) records.
    dataSource->Initialize(classObject);
    g_dataSource.store(dataSource);
  }
  if (g_nameHandle.load() != 0) return S_OK;

  ComPtr<IWbemObjectAccess> access;
  HRESULT hr = classObject->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(access.GetAddressOf()));
  if (FAILED(hr) || access == nullptr) {
    *reportToSink = false;
    return FAILED(hr) ? hr : WbemResult(WBEM_E_FAILED);
  }
  BSTR name = SysAllocString(kNamePropertyName);
  long handle = 0;
  if (name == nullptr) {
    hr = WBEM_E_OUT_OF_MEMORY;
  } else {
    hr = access->GetPropertyHandle(name, nullptr, &handle);
    SysFreeString(name);
    if (FAILED(hr)) hr = WBEM_E_FAILED;
  }
  if (SUCCEEDED(hr)) g_nameHandle.store(handle);
  return hr;
}

STDMETHODIMP VXPerfProvider::Initialize(LPWSTR /*user*/, LONG /*flags*/, LPWSTR namespaceName, LPWSTR /*locale*/,
                                        IWbemServices* services, IWbemContext* context,
                                        IWbemProviderInitSink* initSink) {
  try {
    if (namespaceName == nullptr || services == nullptr) {
      if (initSink != nullptr) initSink->SetStatus(WBEM_E_FAILED, 0);
      return S_OK;
    }
    if (initSink == nullptr) return S_OK;
    if (namespaceName[0] == L'\0') return WBEM_E_INVALID_NAMESPACE;

    BSTR className = SysAllocString(kSessionClassName);
    if (className == nullptr) {
      initSink->SetStatus(WBEM_E_OUT_OF_MEMORY, 0);
      return S_OK;
    }
    ComPtr<IWbemClassObject> classObject;
    const HRESULT fetched = services->GetObject(className, 0, context, classObject.GetAddressOf(), nullptr);
    SysFreeString(className);
    if (FAILED(fetched) || classObject == nullptr) {
      initSink->SetStatus(WBEM_E_FAILED, 0);
      return S_OK;
    }
    // A second Initialize replaces the class object; the earlier one goes
    // with the local.
    classObject_.Swap(classObject);

    bool reportToSink = true;
    const HRESULT moduleState = InitializeModuleState(classObject_.Get(), &reportToSink);
    if (FAILED(moduleState)) {
      if (!reportToSink) return moduleState;
      initSink->SetStatus(moduleState, 0);
      return S_OK;
    }
    initSink->SetStatus(WBEM_S_INITIALIZED, 0);
    return S_OK;
  } catch (const std::bad_alloc&) {
    if (initSink != nullptr) initSink->SetStatus(WBEM_E_OUT_OF_MEMORY, 0);
    return S_OK;
  }
}

STDMETHODIMP VXPerfProvider::QueryInstances(IWbemServices* services, WCHAR* className, long /*flags*/,
                                            IWbemContext* /*context*/, IWbemObjectSink* sink) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  if (services == nullptr || className == nullptr || sink == nullptr) return WBEM_E_INVALID_PARAMETER;
  // Without the class there is nothing to spawn instances from.
  if (classObject_ == nullptr) return WBEM_E_FAILED;

  CPerfDataSource* dataSource = g_dataSource.load();
  // Without a data source no session is known.
  if (dataSource == nullptr) {
    sink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_E_INVALID_OBJECT, nullptr, nullptr);
    return S_OK;
  }
  FollowRouter(*dataSource);
  // Names and values come from the last copy; an instance that cannot be
  // built is left out, and the status says so.
  HRESULT status = WBEM_S_NO_ERROR;
  int leftOut = 0;
  try {
    std::vector<ServedSessionKey> sessions;
    dataSource->CurrentSessions(&sessions);
    for (const ServedSessionKey& session : sessions) {
      ComPtr<IWbemObjectAccess> instance;
      int record = -1;
      HRESULT hr = BuildInstance(classObject_.Get(), *dataSource, session, &record, instance.GetAddressOf());
      // A session that ended since the copy is no failure.
      if (hr == WBEM_S_FALSE) continue;
      ComPtr<IWbemClassObject> object;
      if (SUCCEEDED(hr)) hr = instance.As(&object);
      if (FAILED(hr)) {
        status = hr;
        ++leftOut;
        continue;
      }
      sink->Indicate(1, object.GetAddressOf());
    }
  } catch (const std::bad_alloc&) {
    status = WBEM_E_OUT_OF_MEMORY;
  }
  if (leftOut > 0) {
    LogFormatted(&WriteProviderLog, 2, "VXPerfProvider::QueryInstances", __LINE__, &g_providerErrorRecord,
                 L"%d router session instances could not be built: 0x%08X", leftOut, static_cast<unsigned>(status));
  }
  sink->SetStatus(WBEM_STATUS_COMPLETE, status, nullptr, nullptr);
  return S_OK;
}

STDMETHODIMP VXPerfProvider::CreateRefresher(IWbemServices* services, long /*flags*/, IWbemRefresher** refresher) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  if (services == nullptr || refresher == nullptr) return WBEM_E_INVALID_PARAMETER;
  CRefresher* created = nullptr;
  try {
    created = new CRefresher(this, g_dataSource.load());
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  }
  // A refresher that could not build every instance still serves the rest.
  created->Initialize(classObject_.Get());
  created->AddRef();
  *refresher = created;
  return S_OK;
}

STDMETHODIMP VXPerfProvider::CreateRefreshableObject(IWbemServices* services, IWbemObjectAccess* templateObject,
                                                     IWbemRefresher* refresher, long /*flags*/,
                                                     IWbemContext* /*context*/, IWbemObjectAccess** object,
                                                     long* identifier) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  if (services == nullptr || templateObject == nullptr || refresher == nullptr) return WBEM_E_INVALID_PARAMETER;
  CRefresher* own = CRefresher::FromInterface(refresher);
  if (own == nullptr) return WBEM_E_INVALID_PARAMETER;
  return FoldSuccess(own->AddRefreshableObject(templateObject, object, identifier));
}

STDMETHODIMP VXPerfProvider::StopRefreshing(IWbemRefresher* refresher, long identifier, long /*flags*/) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  CRefresher* own = CRefresher::FromInterface(refresher);
  if (own == nullptr) return WBEM_E_FAILED;
  return identifier >= CRefresher::kEnumeratorSlots ? own->RemoveRefreshableObject(identifier)
                                                    : own->RemoveRefreshableEnum(identifier);
}

STDMETHODIMP VXPerfProvider::CreateRefreshableEnum(IWbemServices* /*services*/, LPCWSTR /*className*/,
                                                   IWbemRefresher* refresher, long /*flags*/,
                                                   IWbemContext* /*context*/, IWbemHiPerfEnum* enumerator,
                                                   long* identifier) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  CRefresher* own = CRefresher::FromInterface(refresher);
  if (own == nullptr) return WBEM_E_FAILED;
  return own->AddRefreshableEnum(enumerator, identifier);
}

STDMETHODIMP VXPerfProvider::GetObjects(IWbemServices* services, long count, IWbemObjectAccess** objects,
                                        long /*flags*/, IWbemContext* /*context*/) {
  if (count < 0 || services == nullptr || objects == nullptr) return WBEM_E_INVALID_PARAMETER;
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  CPerfDataSource* dataSource = g_dataSource.load();
  if (dataSource == nullptr) return WBEM_E_INVALID_OBJECT;
  FollowRouter(*dataSource);
  HRESULT hr = security.impersonation;
  for (long index = 0; index < count; ++index) {
    hr = dataSource->FillInstance(objects[index]);
    if (FAILED(hr)) break;
  }
  return hr;
}

HRESULT VXPerfProvider::GetObjectAccessClone(IUnknown* object, IWbemObjectAccess** clone) {
  if (clone != nullptr) *clone = nullptr;
  if (object == nullptr) return WBEM_E_INVALID_HANDLE_REQUEST;
  if (clone == nullptr) return WBEM_E_INVALID_PARAMETER;
  // A query or clone that succeeds without an object ends here with its own
  // (successful) result.
  ComPtr<IWbemClassObject> original;
  HRESULT hr = object->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(original.GetAddressOf()));
  if (FAILED(hr) || original == nullptr) return hr;
  ComPtr<IWbemClassObject> copy;
  hr = original->Clone(copy.GetAddressOf());
  if (FAILED(hr) || copy == nullptr) return hr;
  IWbemObjectAccess* access = nullptr;
  hr = copy->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(&access));
  if (FAILED(hr)) return hr;
  *clone = access;
  return access != nullptr ? S_OK : WbemResult(WBEM_E_INVALID_DUPLICATE_PARAMETER);
}
