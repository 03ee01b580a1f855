#include "provider/refresher.h"

#include <algorithm>
#include <new>

#include "provider/call_security.h"
#include "provider/instance_builder.h"
#include "provider/module_state.h"
#include "provider/perf_data_source.h"
#include "provider/perf_provider.h"
#include "provider/wbem_result.h"
#include "provider_log/provider_log.h"

namespace {

ErrorRecord g_refresherErrorRecord;

// Object identifiers are unique across every refresher of the module; 0..9
// are enumerator identifiers.
std::atomic<long> g_nextObjectId{CRefresher::kEnumeratorSlots};

// Answered only by our own refreshers, so that an interface WMI hands back
// can be turned into the object behind it safely.
const IID IID_CRefresherSelf = {0x5d1c7a3e, 0x2b8f, 0x4c61, {0x9a, 0x0e, 0x7f, 0x3b, 0x51, 0xc2, 0x88, 0x14}};

constexpr long kNameReadBytes = 511;
constexpr size_t kNameBufferUnits = 512;

}  // namespace

CRefresher::CRefresher(VXPerfProvider* provider, CPerfDataSource* dataSource)
    : dataSource_(dataSource), provider_(provider), callback_(&WriteProviderLog) {
  if (dataSource_ != nullptr) dataSource_->SetLogCallback(callback_);
  const bool mapped = MapRouterBlock();
  provider_->AddRef();
  ++g_liveObjectCount;
  if (mapped) {
    LogFormatted(callback_, 4, "CRefresher::CRefresher", __LINE__, &g_refresherErrorRecord,
                 L"Initialize the instance map for session counters");
  } else {
    LogFormatted(callback_, 1, "CRefresher::CRefresher", __LINE__, &g_refresherErrorRecord,
                 L"Cannot access to shared memory for Router session counters");
  }
}

CRefresher::~CRefresher() {
  for (RefreshableId*& identifier : identifiers_) {
    delete identifier;
    identifier = nullptr;
  }
  for (IWbemObjectAccess*& instance : instances_) {
    if (instance != nullptr) instance->Release();
    instance = nullptr;
  }
  for (IWbemHiPerfEnum*& enumerator : enumerators_) {
    if (enumerator != nullptr) enumerator->Release();
    enumerator = nullptr;
  }
  // Leave the live count before releasing the provider: the provider's
  // destructor stops the data source only when it is the module's last object.
  --g_liveObjectCount;
  provider_->Release();
}

CRefresher* CRefresher::FromInterface(IWbemRefresher* refresher) {
  if (refresher == nullptr) return nullptr;
  CRefresher* self = nullptr;
  if (FAILED(refresher->QueryInterface(IID_CRefresherSelf, reinterpret_cast<void**>(&self))) || self == nullptr) {
    return nullptr;
  }
  // The caller holds its own reference for the duration of the call.
  self->Release();
  return self;
}

STDMETHODIMP CRefresher::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IWbemRefresher || iid == IID_CRefresherSelf) {
    *out = static_cast<IWbemRefresher*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CRefresher::AddRef() { return static_cast<ULONG>(++referenceCount_); }

STDMETHODIMP_(ULONG) CRefresher::Release() {
  const long count = --referenceCount_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

int CRefresher::ServedInstanceCount() const { return std::min(instanceCount_.load(), kMaxInstances); }

HRESULT CRefresher::Initialize(IWbemClassObject* classObject) {
  if (classObject == nullptr) return WBEM_E_INVALID_PARAMETER;
  HRESULT hr = S_OK;
  try {
    const WMISharedMem<wmirouter_perf_t>& block = RouterBlock();
    int slot = block.FirstSession();
    instanceCount_ = block.ActiveSessionCount();
    const int served = ServedInstanceCount();
    for (int ordinal = 0; ordinal < served && slot != -1; ++ordinal) {
      IWbemObjectAccess* instance = nullptr;
      hr = BuildSessionInstance(classObject, dataSource_, ordinal, slot, &instance);
      if (FAILED(hr)) return hr;
      instances_[ordinal] = instance;
      wchar_t name[kNameBufferUnits] = {};
      long bytesRead = 0;
      instance->ReadPropertyValue(g_nameHandle.load(), kNameReadBytes, &bytesRead, reinterpret_cast<BYTE*>(name));
      instanceNames_[ordinal] = name;
      slot = block.NextSession(slot);
    }
    return 0;
  } catch (...) {
    LogFormatted(callback_, 1, "CRefresher::Initialize", __LINE__, &g_refresherErrorRecord, L"Unknown exception: %d",
                 static_cast<int>(hr));
    return WBEM_E_INVALID_OBJECT;
  }
}

STDMETHODIMP CRefresher::Refresh(long /*flags*/) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  instanceCount_ = RouterBlock().ActiveSessionCount();
  HRESULT hr = security.impersonation;
  const int served = ServedInstanceCount();
  for (int index = 0; index < served; ++index) {
    if (instances_[index] == nullptr) continue;
    hr = dataSource_ != nullptr ? dataSource_->FillInstance(instances_[index]) : WbemResult(WBEM_E_INVALID_OBJECT);
    if (FAILED(hr)) break;
  }
  return hr;
}

int CRefresher::InstanceIndexForName(const wchar_t* name) const {
  for (int index = 0; index < kMaxInstances; ++index) {
    if (instances_[index] != nullptr && instanceNames_[index] == name) return index;
  }
  const int64_t parsed = ParseInstanceIndex(name);
  return IsServedIndex(parsed) ? static_cast<int>(parsed) : -1;
}

HRESULT CRefresher::AddRefreshableObject(IWbemObjectAccess* templateObject, IWbemObjectAccess** object,
                                         long* identifier) {
  if (templateObject == nullptr || object == nullptr || identifier == nullptr) return WBEM_E_INVALID_PARAMETER;
  wchar_t name[kNameBufferUnits] = {};
  long bytesRead = 0;
  const HRESULT read =
      templateObject->ReadPropertyValue(g_nameHandle.load(), kNameReadBytes, &bytesRead, reinterpret_cast<BYTE*>(name));
  if (FAILED(read)) return read;
  if (bytesRead <= 0 || name[0] == L'\0') return read;

  const int index = InstanceIndexForName(name);
  if (index < 0) return WBEM_E_NOT_FOUND;

  ScopedLock guard(tablesLock_);
  RefreshableId** freeSlot = std::find(std::begin(identifiers_), std::end(identifiers_), nullptr);
  if (freeSlot == std::end(identifiers_)) return WBEM_E_OUT_OF_MEMORY;
  *freeSlot = new (std::nothrow) RefreshableId{static_cast<int32_t>(g_nextObjectId++), index};
  if (*freeSlot == nullptr) return WBEM_E_OUT_OF_MEMORY;
  *identifier = (*freeSlot)->objectId;
  *object = instances_[index];
  if (*object != nullptr) (*object)->AddRef();
  return read;
}

HRESULT CRefresher::AddRefreshableEnum(IWbemHiPerfEnum* enumerator, long* identifier) {
  if (enumerator == nullptr || identifier == nullptr) return WBEM_E_INVALID_PARAMETER;
  instanceCount_ = RouterBlock().ActiveSessionCount();

  ScopedLock guard(tablesLock_);
  IWbemHiPerfEnum** freeSlot = std::find(std::begin(enumerators_), std::end(enumerators_), nullptr);
  if (freeSlot == std::end(enumerators_)) return WBEM_E_FAILED;

  // Sessions that appeared after this refresher was built have no object
  // here; they are left out rather than handed over as null.
  long ids[kMaxInstances];
  IWbemObjectAccess* objects[kMaxInstances];
  long count = 0;
  const int served = ServedInstanceCount();
  for (int index = 0; index < served; ++index) {
    if (instances_[index] == nullptr) continue;
    ids[count] = index;
    objects[count] = instances_[index];
    ++count;
  }
  const HRESULT hr = enumerator->AddObjects(0, static_cast<ULONG>(count), ids, objects);
  if (FAILED(hr)) return hr;
  enumerator->AddRef();
  *freeSlot = enumerator;
  *identifier = static_cast<long>(freeSlot - std::begin(enumerators_));
  return 0;
}

HRESULT CRefresher::RemoveRefreshableObject(long identifier) {
  ScopedLock guard(tablesLock_);
  for (RefreshableId*& slot : identifiers_) {
    if (slot != nullptr && slot->objectId == identifier) {
      delete slot;
      slot = nullptr;
      return 0;
    }
  }
  return WBEM_E_NOT_FOUND;
}

HRESULT CRefresher::RemoveRefreshableEnum(long identifier) {
  if (identifier < 0 || identifier >= kEnumeratorSlots) return WBEM_E_FAILED;
  ScopedLock guard(tablesLock_);
  IWbemHiPerfEnum*& slot = enumerators_[identifier];
  if (slot == nullptr) return WBEM_E_FAILED;
  slot->Release();
  slot = nullptr;
  return 0;
}
