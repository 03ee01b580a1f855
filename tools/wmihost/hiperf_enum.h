#pragma once
// The host's IWbemHiPerfEnum: an ordered list of (identifier, object) pairs
// on which it holds references of its own. Thread-safe.
//
// AddObjects is all or nothing: a null object among the entries gives
// WBEM_E_INVALID_PARAMETER and adds none. RemoveObjects drops every entry
// with a listed identifier and ignores identifiers it does not hold.
// GetObjects with too small an array answers WBEM_E_BUFFER_TOO_SMALL with
// the needed count.

#include <mutex>
#include <vector>

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

#include "tools/wmihost/fault_plan.h"
#include "tools/wmihost/host_object.h"

namespace wmihost {

class HiPerfEnum final : public IWbemHiPerfEnum, private HostObject {
 public:
  struct Entry {
    LONG id;
    Microsoft::WRL::ComPtr<IWbemObjectAccess> object;
  };

  static Microsoft::WRL::ComPtr<HiPerfEnum> Create() { return Hold(new HiPerfEnum()); }

  std::vector<Entry> Entries() const;
  // Consulted for Op::AddObjects.
  FaultPlan& Faults() { return faults_; }

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }
  // IWbemHiPerfEnum
  HRESULT STDMETHODCALLTYPE AddObjects(LONG flags, ULONG count, LONG* ids, IWbemObjectAccess** objects) override;
  HRESULT STDMETHODCALLTYPE RemoveObjects(LONG flags, ULONG count, LONG* ids) override;
  HRESULT STDMETHODCALLTYPE GetObjects(LONG flags, ULONG capacity, IWbemObjectAccess** objects,
                                       ULONG* returned) override;
  HRESULT STDMETHODCALLTYPE RemoveAll(LONG flags) override;

 private:
  HiPerfEnum() = default;
  ~HiPerfEnum() override = default;

  mutable std::mutex mutex_;
  std::vector<Entry> entries_;
  FaultPlan faults_;
};

}  // namespace wmihost
