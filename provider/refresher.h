#pragma once
// The provider's WMI refresher: one instance object per active router session,
// refreshed from the data source's records, handed out to WMI as refreshable
// objects (identifiers 10 and up) and through enumerators (identifiers 0..9).
// Whenever the sessions change, the next refresh brings the instance objects
// and every enumerator up to them.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <wbemcli.h>
#include <wbemprov.h>
#include <wrl/client.h>

#include "provider/perf_data_source.h"
#include "provider/router_block.h"
#include "support/fs/critical_section_lock.h"
#include "support/log_callback.h"

class VXPerfProvider;

// A refreshable object handed out: its object identifier and the identifier
// of the instance object behind it (-1 for none).
struct RefreshableId {
  int32_t objectId;
  int32_t instanceId;
};

class CRefresher : public IWbemRefresher {
 public:
  static constexpr int kEnumeratorSlots = 10;

  CRefresher(VXPerfProvider* provider, CPerfDataSource* dataSource);
  virtual ~CRefresher();
  CRefresher(const CRefresher&) = delete;
  CRefresher& operator=(const CRefresher&) = delete;

  // Our own refresher behind an interface WMI hands back, or null.
  static CRefresher* FromInterface(IWbemRefresher* refresher);

  HRESULT Initialize(IWbemClassObject* classObject);

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP Refresh(long flags) override;

  HRESULT AddRefreshableObject(IWbemObjectAccess* templateObject, IWbemObjectAccess** object, long* identifier);
  HRESULT AddRefreshableEnum(IWbemHiPerfEnum* enumerator, long* identifier);
  HRESULT RemoveRefreshableObject(long identifier);
  HRESULT RemoveRefreshableEnum(long identifier);

 private:
  struct SessionInstance {
    Microsoft::WRL::ComPtr<IWbemObjectAccess> object;
    // The data source's session it stands for, and that session's record
    // when last filled.
    uint64_t session;
    int record;
    // Its identifier in the enumerators, kept for as long as the session lives.
    int32_t id;
    // Its session was among the data source's sessions at the last sync.
    bool current;
  };
  struct EnumeratorSlot {
    Microsoft::WRL::ComPtr<IWbemHiPerfEnum> enumerator;
    // The identifiers it holds, ascending.
    std::vector<long> held;
  };

  // Brings the instance objects and the enumerators up to the data source's
  // sessions when those changed since the last sync, or, while the last sync
  // fell short, at most once per retry period. The caller holds tablesLock_.
  void SyncLocked();
  // Builds the instances the sessions lack; the first build failure, if any.
  HRESULT SyncInstances(const std::vector<ServedSessionKey>& sessions);
  // Removes ended instances from an enumerator, then adds new ones; the
  // identifiers it holds change only by calls that succeeded.
  HRESULT SyncEnumerator(EnumeratorSlot& slot) const;
  // Logs a change between a complete sync and one that fell short.
  void NoteSyncResult(HRESULT result);
  // The current sessions' instance identifiers and objects, in ordinal order.
  void CurrentInstances(std::vector<long>* ids, std::vector<IWbemObjectAccess*>* objects) const;
  SessionInstance* InstanceOf(uint64_t session) const;
  bool IsHeldAsObject(int32_t instanceId) const;

  std::atomic<long> referenceCount_{0};
  CPerfDataSource* dataSource_;
  // Counted: a refresher keeps its provider alive.
  Microsoft::WRL::ComPtr<VXPerfProvider> provider_;
  LogCallback callback_;
  // Everything below is guarded by tablesLock_: WMI refreshes, adds and
  // removes from several threads at once.
  CriticalSectionLock tablesLock_;
  EnumeratorSlot enumerators_[kEnumeratorSlots];
  std::unique_ptr<RefreshableId> identifiers_[kMaxInstances];
  Microsoft::WRL::ComPtr<IWbemClassObject> classObject_;
  // The current sessions' instance objects in ordinal order, then those of
  // ended sessions that a refreshable object still holds.
  std::vector<std::unique_ptr<SessionInstance>> instances_;
  int32_t nextInstanceId_ = 0;
  bool synced_ = false;
  uint64_t syncedGeneration_ = 0;
  ULONGLONG lastSyncTick_ = 0;
  // S_OK, or why the last sync left a session or an enumerator behind.
  HRESULT shortfall_ = S_OK;
};
