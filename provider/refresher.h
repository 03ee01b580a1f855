#pragma once
// The provider's WMI refresher: one instance object per router session active
// when it was created, refreshed from the data source's records, handed out
// to WMI as refreshable objects (identifiers 10 and up) and through
// enumerators (identifiers 0..9).

#include <atomic>
#include <string>

#include <wbemcli.h>
#include <wbemprov.h>

#include "provider/router_block.h"
#include "support/fs/critical_section_lock.h"
#include "support/log_callback.h"

class CPerfDataSource;
class VXPerfProvider;

struct RefreshableId {
  int32_t objectId;
  int32_t instanceIndex;
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
  // The instance object a template's Name designates, else -1.
  int InstanceIndexForName(const wchar_t* name) const;
  int ServedInstanceCount() const;

  std::atomic<long> referenceCount_{0};
  CPerfDataSource* dataSource_;
  IWbemHiPerfEnum* enumerators_[kEnumeratorSlots] = {};
  RefreshableId* identifiers_[kMaxInstances] = {};
  IWbemObjectAccess* instances_[kMaxInstances] = {};
  // The Name each instance object was given, to match templates against.
  std::wstring instanceNames_[kMaxInstances];
  VXPerfProvider* provider_;
  LogCallback callback_;
  std::atomic<int> instanceCount_{0};
  // Guards the identifier and enumerator tables: WMI adds and removes from
  // several threads at once.
  CriticalSectionLock tablesLock_;
};
