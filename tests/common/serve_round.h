#pragma once
// One round of service as a monitoring client asks for it: a refresher that
// holds an enumerator of the session class, refreshed once, and one instance
// enumeration.

#include <string>

#include <wbemcli.h>
#include <wrl/client.h>

#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/host_session.h"
#include "tools/wmihost/session_class.h"
#include "tools/wmihost/sinks.h"

// The first step that failed, empty when both the refreshed enumerator and
// the enumeration held `sessions` instances. Releases all it obtained.
inline std::string ServeRefresherAndEnumeration(wmihost::HostSession& host, size_t sessions) {
  IWbemHiPerfProvider* provider = host.HiPerfProvider();
  Microsoft::WRL::ComPtr<IWbemRefresher> refresher;
  if (provider->CreateRefresher(&host.HostServices(), 0, &refresher) != S_OK) return "CreateRefresher";
  auto enumerator = wmihost::HiPerfEnum::Create();
  long id = 0;
  if (provider->CreateRefreshableEnum(&host.HostServices(), wmihost::kSessionClassName, refresher.Get(), 0, nullptr,
                                      enumerator.Get(), &id) != S_OK) {
    return "CreateRefreshableEnum";
  }
  if (FAILED(refresher->Refresh(0))) return "Refresh";
  if (enumerator->Entries().size() != sessions) {
    return "refreshed enumerator with " + std::to_string(enumerator->Entries().size()) + " instances";
  }
  auto sink = wmihost::ObjectSink::Create();
  if (provider->QueryInstances(&host.HostServices(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr,
                               sink.Get()) != S_OK) {
    return "QueryInstances";
  }
  if (sink->Indicated().size() != sessions) {
    return "enumeration with " + std::to_string(sink->Indicated().size()) + " instances";
  }
  return std::string();
}
