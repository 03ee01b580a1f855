#pragma once
// RouterStat's connection to the provider: activates it through COM by class
// id, or loads its module directly, initialises it the way the WMI service
// does (with the host stand-in's services and init sink), and samples its
// session instances through a refresher or a one-shot enumeration.

#include <string>
#include <vector>

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>
#include <wrl/client.h>

#include "tools/routerstat/samples.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/host_session.h"
#include "tools/wmihost/services.h"
#include "tools/wmihost/sinks.h"

namespace routerstat {

enum class LinkStatus {
  Ready,
  NotRegistered,  // no COM class under the class id
  NotLoadable,    // the module is missing, not loadable, or not a COM server of the class
  InitFailed,     // the provider refused IWbemProviderInit::Initialize
};

class ProviderLink {
 public:
  // Joins the multithreaded apartment for the life of the object.
  ProviderLink();
  ~ProviderLink();
  ProviderLink(const ProviderLink&) = delete;
  ProviderLink& operator=(const ProviderLink&) = delete;

  LinkStatus Activate(const CLSID& clsid);
  LinkStatus Load(const std::wstring& modulePath);
  // The HRESULT (or init status) behind the last status other than Ready.
  HRESULT Result() const { return result_; }

  IWbemHiPerfProvider* HiPerf() const { return hiPerf_.Get(); }
  IWbemServices* Services() const { return services_.Get(); }

 private:
  LinkStatus Initialize(IUnknown* provider);

  bool comInitialized_ = false;
  // Declared before the provider's interfaces, so it unloads the module
  // only after they are released.
  wmihost::HostSession moduleHost_;
  Microsoft::WRL::ComPtr<wmihost::Services> services_;
  Microsoft::WRL::ComPtr<wmihost::InitSink> initSink_;
  Microsoft::WRL::ComPtr<IWbemProviderInit> init_;
  Microsoft::WRL::ComPtr<IWbemHiPerfProvider> hiPerf_;
  HRESULT result_ = S_OK;
};

// A refresher with one enumerator on the session class. The provider fixes
// the refresher's instances when it creates it: the sessions active then.
class RefreshedSessions {
 public:
  explicit RefreshedSessions(const ProviderLink& link) : link_(link) {}

  HRESULT Open();
  size_t InstanceCount() const { return enumerator_ ? enumerator_->Entries().size() : 0; }
  // Refreshes and reads every instance of the enumerator.
  HRESULT Take(std::vector<SessionSample>* sessions);

 private:
  const ProviderLink& link_;
  Microsoft::WRL::ComPtr<IWbemRefresher> refresher_;
  Microsoft::WRL::ComPtr<wmihost::HiPerfEnum> enumerator_;
};

// IWbemHiPerfProvider::QueryInstances: the sessions active right now.
HRESULT QueryOnce(const ProviderLink& link, std::vector<SessionSample>* sessions);

// The counters' property names, in the order samples hold them.
std::array<std::wstring, kCounters> CounterNames();

}  // namespace routerstat
