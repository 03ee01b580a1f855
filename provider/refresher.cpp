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

using Microsoft::WRL::ComPtr;

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
    : dataSource_(dataSource), callback_(&WriteProviderLog) {
  if (dataSource_ != nullptr) dataSource_->SetLogCallback(callback_);
  const bool mapped = MapRouterBlock();
  // Take the sessions of a block mapped just now before the first sync.
  if (mapped && dataSource_ != nullptr) dataSource_->PollNow();
  provider_ = provider;
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
  instances_.clear();
  for (ComPtr<IWbemHiPerfEnum>& enumerator : enumerators_) enumerator.Reset();
  classObject_.Reset();
  // Leave the live count before releasing the provider: the provider's
  // destructor stops the data source only when it is the module's last object.
  --g_liveObjectCount;
  provider_.Reset();
}

CRefresher* CRefresher::FromInterface(IWbemRefresher* refresher) {
  if (refresher == nullptr) return nullptr;
  ComPtr<IWbemRefresher> self;
  if (FAILED(refresher->QueryInterface(IID_CRefresherSelf, reinterpret_cast<void**>(self.GetAddressOf()))) ||
      self == nullptr) {
    return nullptr;
  }
  // The caller holds its own reference for the duration of the call.
  return static_cast<CRefresher*>(self.Get());
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

HRESULT CRefresher::Initialize(IWbemClassObject* classObject) {
  if (classObject == nullptr) return WBEM_E_INVALID_PARAMETER;
  ScopedLock guard(tablesLock_);
  classObject_ = classObject;
  const HRESULT hr = SyncLocked();
  if (hr == WbemResult(WBEM_E_OUT_OF_MEMORY)) {
    LogFormatted(callback_, 1, "CRefresher::Initialize", __LINE__, &g_refresherErrorRecord, L"Unknown exception: %d",
                 static_cast<int>(hr));
    return WBEM_E_INVALID_OBJECT;
  }
  return hr;
}

HRESULT CRefresher::SyncLocked() {
  if (dataSource_ == nullptr || classObject_ == nullptr) return S_OK;
  // The sessions are those of the last sync: the common case, free of work.
  if (synced_ && dataSource_->SessionGeneration() == syncedGeneration_) return S_OK;
  try {
    std::vector<std::wstring> sessionNames;
    const uint64_t generation = dataSource_->CurrentSessionNames(&sessionNames);
    const HRESULT hr = SyncToSessions(sessionNames);
    // A failed step is tried again at the next refresh.
    if (SUCCEEDED(hr)) {
      synced_ = true;
      syncedGeneration_ = generation;
    }
    return hr;
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  }
}

HRESULT CRefresher::SyncToSessions(const std::vector<std::wstring>& sessionNames) {
  // Reserved up front, so that moving instances over cannot fail half-way.
  std::vector<std::unique_ptr<SessionInstance>> next;
  next.reserve(sessionNames.size() + instances_.size());
  HRESULT hr = S_OK;
  bool complete = false;
  try {
    for (size_t ordinal = 0; ordinal < sessionNames.size(); ++ordinal) {
      const bool named = !sessionNames[ordinal].empty();
      const std::wstring name = named ? sessionNames[ordinal] : OrdinalName(static_cast<int>(ordinal));
      auto kept = std::find_if(instances_.begin(), instances_.end(),
                               [&](const std::unique_ptr<SessionInstance>& old) { return old && old->name == name; });
      std::unique_ptr<SessionInstance> instance;
      if (kept != instances_.end()) {
        instance = std::move(*kept);
      } else {
        ComPtr<IWbemObjectAccess> object;
        const FillRule rule = named ? FillRule::kSessionOnly : FillRule::kSessionOrIndex;
        const HRESULT built = BuildInstance(classObject_.Get(), dataSource_, name, rule, object.GetAddressOf());
        if (FAILED(built)) {
          hr = built;
          continue;
        }
        // The session ended after its name was read: no enumerator may see
        // an instance without values. The generation has moved on since, so
        // the next refresh syncs again.
        if (built == WBEM_S_FALSE) continue;
        instance.reset(new SessionInstance{std::move(object), name, nextInstanceId_++, named, true});
      }
      instance->namedAfterSession = named;
      instance->current = true;
      next.push_back(std::move(instance));
    }
    complete = true;
  } catch (const std::bad_alloc&) {
    hr = WBEM_E_OUT_OF_MEMORY;
  }
  // What was not matched belongs to sessions that ended. Their instance
  // objects leave the enumerators; one that a refreshable object holds stays
  // with its last values. After an allocation failure everything stays.
  for (std::unique_ptr<SessionInstance>& left : instances_) {
    if (left == nullptr || (complete && !IsHeldAsObject(left->id))) continue;
    if (complete) left->current = false;
    next.push_back(std::move(left));
  }
  instances_ = std::move(next);
  const HRESULT handed = ResetEnumerators();
  return FAILED(hr) ? hr : handed;
}

HRESULT CRefresher::HandCurrentInstances(IWbemHiPerfEnum* enumerator) const {
  long ids[kMaxInstances];
  IWbemObjectAccess* objects[kMaxInstances];
  ULONG count = 0;
  for (const std::unique_ptr<SessionInstance>& instance : instances_) {
    if (!instance->current || count == kMaxInstances) continue;
    ids[count] = instance->id;
    objects[count] = instance->object.Get();
    ++count;
  }
  return enumerator->AddObjects(0, count, ids, objects);
}

HRESULT CRefresher::ResetEnumerators() const {
  HRESULT result = S_OK;
  for (const ComPtr<IWbemHiPerfEnum>& enumerator : enumerators_) {
    if (!enumerator) continue;
    enumerator->RemoveAll(0);
    const HRESULT hr = HandCurrentInstances(enumerator.Get());
    if (FAILED(hr)) result = hr;
  }
  return result;
}

STDMETHODIMP CRefresher::Refresh(long /*flags*/) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  ScopedLock guard(tablesLock_);
  const HRESULT synced = SyncLocked();
  HRESULT hr = security.impersonation;
  // Instances exist only with a data source.
  for (const std::unique_ptr<SessionInstance>& instance : instances_) {
    const FillRule rule = instance->namedAfterSession ? FillRule::kSessionOnly : FillRule::kSessionOrIndex;
    hr = dataSource_->FillInstance(instance->object.Get(), rule);
    if (FAILED(hr)) break;
    // An ended session's instance keeps its last values; that is no failure.
    if (hr == WBEM_S_FALSE) hr = WBEM_S_NO_ERROR;
  }
  return SUCCEEDED(hr) && FAILED(synced) ? synced : hr;
}

CRefresher::SessionInstance* CRefresher::FindInstance(const wchar_t* name) const {
  for (const std::unique_ptr<SessionInstance>& instance : instances_) {
    if (instance->name == name) return instance.get();
  }
  return nullptr;
}

CRefresher::SessionInstance* CRefresher::CurrentInstanceAt(int64_t ordinal) const {
  // The current sessions' instances come first, in ordinal order.
  if (ordinal < 0 || ordinal >= static_cast<int64_t>(instances_.size())) return nullptr;
  SessionInstance* instance = instances_[static_cast<size_t>(ordinal)].get();
  return instance->current ? instance : nullptr;
}

bool CRefresher::IsHeldAsObject(int32_t instanceId) const {
  return std::any_of(std::begin(identifiers_), std::end(identifiers_),
                     [&](const std::unique_ptr<RefreshableId>& slot) { return slot && slot->instanceId == instanceId; });
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

  ScopedLock guard(tablesLock_);
  // A session that started after this refresher was made is found by its name.
  SyncLocked();
  SessionInstance* instance = FindInstance(name);
  if (instance == nullptr) {
    const int64_t ordinal = ParseInstanceIndex(name);
    if (!IsServedIndex(ordinal)) return WBEM_E_NOT_FOUND;
    instance = CurrentInstanceAt(ordinal);
  }
  auto freeSlot = std::find_if(std::begin(identifiers_), std::end(identifiers_),
                               [](const std::unique_ptr<RefreshableId>& slot) { return !slot; });
  if (freeSlot == std::end(identifiers_)) return WBEM_E_OUT_OF_MEMORY;
  freeSlot->reset(new (std::nothrow)
                      RefreshableId{static_cast<int32_t>(g_nextObjectId++), instance != nullptr ? instance->id : -1});
  if (*freeSlot == nullptr) return WBEM_E_OUT_OF_MEMORY;
  *identifier = (*freeSlot)->objectId;
  *object = instance != nullptr ? instance->object.Get() : nullptr;
  if (*object != nullptr) (*object)->AddRef();
  return read;
}

HRESULT CRefresher::AddRefreshableEnum(IWbemHiPerfEnum* enumerator, long* identifier) {
  if (enumerator == nullptr || identifier == nullptr) return WBEM_E_INVALID_PARAMETER;
  ScopedLock guard(tablesLock_);
  // Hand it today's sessions; after a failed sync, those there are.
  SyncLocked();
  auto freeSlot = std::find_if(std::begin(enumerators_), std::end(enumerators_),
                               [](const ComPtr<IWbemHiPerfEnum>& slot) { return !slot; });
  if (freeSlot == std::end(enumerators_)) return WBEM_E_FAILED;
  const HRESULT hr = HandCurrentInstances(enumerator);
  if (FAILED(hr)) return hr;
  *freeSlot = enumerator;
  *identifier = static_cast<long>(freeSlot - std::begin(enumerators_));
  return 0;
}

HRESULT CRefresher::RemoveRefreshableObject(long identifier) {
  ScopedLock guard(tablesLock_);
  for (std::unique_ptr<RefreshableId>& slot : identifiers_) {
    if (slot != nullptr && slot->objectId == identifier) {
      slot.reset();
      return 0;
    }
  }
  return WBEM_E_NOT_FOUND;
}

HRESULT CRefresher::RemoveRefreshableEnum(long identifier) {
  if (identifier < 0 || identifier >= kEnumeratorSlots) return WBEM_E_FAILED;
  ScopedLock guard(tablesLock_);
  ComPtr<IWbemHiPerfEnum>& slot = enumerators_[identifier];
  if (!slot) return WBEM_E_FAILED;
  slot.Reset();
  return 0;
}
