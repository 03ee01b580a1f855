#include "provider/refresher.h"

#include <algorithm>
#include <iterator>
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
// While a sync falls short, how often refreshes try again.
constexpr ULONGLONG kSyncRetryMs = 1000;

}  // namespace

CRefresher::CRefresher(VXPerfProvider* provider, CPerfDataSource* dataSource)
    : dataSource_(dataSource), callback_(&WriteProviderLog) {
  if (dataSource_ != nullptr) dataSource_->SetLogCallback(callback_);
  const bool mapped = MapRouterBlock();
  // Take the sessions of a block mapped just now before the first sync; a
  // client made at the router's start still finds its sessions.
  if (mapped && dataSource_ != nullptr) {
    dataSource_->PollNow();
    dataSource_->AwaitFirstSessions();
  }
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
  for (EnumeratorSlot& slot : enumerators_) slot.enumerator.Reset();
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
  SyncLocked();
  if (shortfall_ == WbemResult(WBEM_E_OUT_OF_MEMORY)) {
    LogFormatted(callback_, 1, "CRefresher::Initialize", __LINE__, &g_refresherErrorRecord, L"Unknown exception: %d",
                 static_cast<int>(shortfall_));
    return WBEM_E_INVALID_OBJECT;
  }
  return shortfall_;
}

void CRefresher::SyncLocked() {
  if (dataSource_ == nullptr || classObject_ == nullptr) return;
  // The sessions are those of the last sync: the common case, one load and
  // one compare.
  const bool changed = !synced_ || dataSource_->SessionGeneration() != syncedGeneration_;
  const ULONGLONG now = GetTickCount64();
  if (!changed && (SUCCEEDED(shortfall_) || now - lastSyncTick_ < kSyncRetryMs)) return;
  lastSyncTick_ = now;
  HRESULT result = S_OK;
  try {
    std::vector<ServedSessionKey> sessions;
    syncedGeneration_ = dataSource_->CurrentSessions(&sessions);
    synced_ = true;
    result = SyncInstances(sessions);
    for (EnumeratorSlot& slot : enumerators_) {
      if (!slot.enumerator) continue;
      const HRESULT handed = SyncEnumerator(slot);
      if (SUCCEEDED(result) && FAILED(handed)) result = handed;
    }
  } catch (const std::bad_alloc&) {
    result = WBEM_E_OUT_OF_MEMORY;
  }
  NoteSyncResult(result);
}

void CRefresher::NoteSyncResult(HRESULT result) {
  if (FAILED(result) && SUCCEEDED(shortfall_)) {
    LogFormatted(callback_, 2, "CRefresher::SyncLocked", __LINE__, &g_refresherErrorRecord,
                 L"Router sessions not all served, trying again: 0x%08X", static_cast<unsigned>(result));
  } else if (SUCCEEDED(result) && FAILED(shortfall_)) {
    LogFormatted(callback_, 4, "CRefresher::SyncLocked", __LINE__, &g_refresherErrorRecord,
                 L"Every router session served again");
  }
  shortfall_ = result;
}

HRESULT CRefresher::SyncInstances(const std::vector<ServedSessionKey>& sessions) {
  // Reserved up front, so that moving instances over cannot fail half-way.
  std::vector<std::unique_ptr<SessionInstance>> next;
  next.reserve(sessions.size() + instances_.size());
  HRESULT result = S_OK;
  for (const ServedSessionKey& session : sessions) {
    auto kept = std::find_if(instances_.begin(), instances_.end(), [&](const std::unique_ptr<SessionInstance>& old) {
      return old && old->session == session.id;
    });
    if (kept != instances_.end()) {
      next.push_back(std::move(*kept));
      continue;
    }
    ComPtr<IWbemObjectAccess> object;
    int record = -1;
    const HRESULT built = BuildInstance(classObject_.Get(), *dataSource_, session, &record, object.GetAddressOf());
    if (FAILED(built)) {
      if (SUCCEEDED(result)) result = built;
      continue;
    }
    // The session ended after the table was read: no enumerator may see an
    // instance without values. The generation has moved on, so the next
    // refresh syncs again.
    if (built == WBEM_S_FALSE) continue;
    std::unique_ptr<SessionInstance> instance(
        new (std::nothrow) SessionInstance{std::move(object), session.id, record, nextInstanceId_++, true});
    if (instance == nullptr) {
      if (SUCCEEDED(result)) result = WBEM_E_OUT_OF_MEMORY;
      continue;
    }
    next.push_back(std::move(instance));
  }
  // What was not matched belongs to sessions that ended. Their instance
  // objects leave the enumerators; one that a refreshable object holds stays
  // with its last values.
  for (std::unique_ptr<SessionInstance>& left : instances_) {
    if (left == nullptr || !IsHeldAsObject(left->id)) continue;
    left->current = false;
    next.push_back(std::move(left));
  }
  instances_ = std::move(next);
  return result;
}

void CRefresher::CurrentInstances(std::vector<long>* ids, std::vector<IWbemObjectAccess*>* objects) const {
  for (const std::unique_ptr<SessionInstance>& instance : instances_) {
    if (!instance->current) continue;
    ids->push_back(instance->id);
    objects->push_back(instance->object.Get());
  }
}

HRESULT CRefresher::SyncEnumerator(EnumeratorSlot& slot) const {
  std::vector<long> current;
  std::vector<IWbemObjectAccess*> currentObjects;
  CurrentInstances(&current, &currentObjects);
  std::vector<long> ended;
  for (long id : slot.held) {
    if (std::find(current.begin(), current.end(), id) == current.end()) ended.push_back(id);
  }
  std::vector<long> added;
  std::vector<IWbemObjectAccess*> addedObjects;
  for (size_t index = 0; index < current.size(); ++index) {
    if (std::binary_search(slot.held.begin(), slot.held.end(), current[index])) continue;
    added.push_back(current[index]);
    addedObjects.push_back(currentObjects[index]);
  }
  std::sort(current.begin(), current.end());
  // Sessions that go on stay in the enumerator throughout.
  if (!ended.empty()) {
    const HRESULT hr = slot.enumerator->RemoveObjects(0, static_cast<ULONG>(ended.size()), ended.data());
    if (FAILED(hr)) return hr;
    std::vector<long> kept;
    std::set_intersection(slot.held.begin(), slot.held.end(), current.begin(), current.end(),
                          std::back_inserter(kept));
    slot.held.swap(kept);
  }
  if (!added.empty()) {
    const HRESULT hr =
        slot.enumerator->AddObjects(0, static_cast<ULONG>(added.size()), added.data(), addedObjects.data());
    if (FAILED(hr)) return hr;
    slot.held.swap(current);
  }
  return S_OK;
}

STDMETHODIMP CRefresher::Refresh(long /*flags*/) {
  const CallSecurity security = CheckCallSecurity();
  if (!security.allowed()) return security.verdict;
  ScopedLock guard(tablesLock_);
  // A sync that falls short is logged and tried again later; the refresh
  // reports the fills.
  SyncLocked();
  HRESULT hr = security.impersonation;
  // Instances exist only with a data source.
  for (const std::unique_ptr<SessionInstance>& instance : instances_) {
    hr = dataSource_->FillSession(instance->object.Get(), instance->session, &instance->record);
    if (FAILED(hr)) break;
    // An ended session's instance keeps its last values; that is no failure.
    if (hr == WBEM_S_FALSE) hr = WBEM_S_NO_ERROR;
  }
  return hr;
}

CRefresher::SessionInstance* CRefresher::InstanceOf(uint64_t session) const {
  for (const std::unique_ptr<SessionInstance>& instance : instances_) {
    if (instance->current && instance->session == session) return instance.get();
  }
  return nullptr;
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
  if (dataSource_ == nullptr) return WBEM_E_NOT_FOUND;
  // The session the Name selects now; its instance comes from a sync to the
  // same sessions, so a second try follows a copy made in between.
  SessionInstance* instance = nullptr;
  for (int attempt = 0; attempt < 2 && instance == nullptr; ++attempt) {
    SyncLocked();
    const uint64_t session = dataSource_->FindSession(name);
    if (session == 0) return WBEM_E_NOT_FOUND;
    instance = InstanceOf(session);
  }
  // The session exists but its instance could not be built.
  if (instance == nullptr) return FAILED(shortfall_) ? shortfall_ : WbemResult(WBEM_E_NOT_FOUND);
  auto freeSlot = std::find_if(std::begin(identifiers_), std::end(identifiers_),
                               [](const std::unique_ptr<RefreshableId>& slot) { return !slot; });
  if (freeSlot == std::end(identifiers_)) return WBEM_E_OUT_OF_MEMORY;
  freeSlot->reset(new (std::nothrow) RefreshableId{static_cast<int32_t>(g_nextObjectId++), instance->id});
  if (*freeSlot == nullptr) return WBEM_E_OUT_OF_MEMORY;
  *identifier = (*freeSlot)->objectId;
  *object = instance->object.Get();
  (*object)->AddRef();
  return read;
}

HRESULT CRefresher::AddRefreshableEnum(IWbemHiPerfEnum* enumerator, long* identifier) {
  if (enumerator == nullptr || identifier == nullptr) return WBEM_E_INVALID_PARAMETER;
  ScopedLock guard(tablesLock_);
  // Hand it today's sessions; after a failed sync, those there are.
  SyncLocked();
  auto freeSlot = std::find_if(std::begin(enumerators_), std::end(enumerators_),
                               [](const EnumeratorSlot& slot) { return !slot.enumerator; });
  if (freeSlot == std::end(enumerators_)) return WBEM_E_FAILED;
  try {
    std::vector<long> ids;
    std::vector<IWbemObjectAccess*> objects;
    CurrentInstances(&ids, &objects);
    const HRESULT hr = enumerator->AddObjects(0, static_cast<ULONG>(ids.size()), ids.data(), objects.data());
    if (FAILED(hr)) return hr;
    std::sort(ids.begin(), ids.end());
    freeSlot->held.swap(ids);
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  }
  freeSlot->enumerator = enumerator;
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
  EnumeratorSlot& slot = enumerators_[identifier];
  if (!slot.enumerator) return WBEM_E_FAILED;
  slot.enumerator.Reset();
  slot.held.clear();
  return 0;
}
