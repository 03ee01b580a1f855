#include "tools/routerstat/provider_link.h"

#include <memory>

#include "tools/wmihost/session_class.h"

namespace routerstat {

namespace {

struct BstrFree {
  void operator()(BSTR text) const { SysFreeString(text); }
};
using UniqueBstr = std::unique_ptr<OLECHAR, BstrFree>;

UniqueBstr SessionClassName() { return UniqueBstr(SysAllocString(wmihost::kSessionClassName)); }

HRESULT ReadSession(IUnknown* object, SessionSample* session) {
  wmihost::SessionValues values;
  const HRESULT hr = wmihost::ReadSessionValues(object, &values);
  if (FAILED(hr)) return hr;
  session->name = values.name.value_or(std::wstring());
  for (size_t k = 0; k < kCounters; ++k) session->counters[k] = values.counters[k].value_or(0);
  return S_OK;
}

}  // namespace

std::array<std::wstring, kCounters> CounterNames() {
  std::array<std::wstring, kCounters> names;
  for (size_t k = 0; k < kCounters; ++k) names[k] = wmihost::kSessionCounterNames[k];
  return names;
}

ProviderLink::ProviderLink()
    : comInitialized_(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))),
      services_(wmihost::Services::Create()),
      initSink_(wmihost::InitSink::Create()) {
  services_->AddClass(wmihost::SessionClassDefinition());
}

ProviderLink::~ProviderLink() {
  hiPerf_.Reset();
  init_.Reset();
  moduleHost_.Close();
  services_.Reset();
  initSink_.Reset();
  if (comInitialized_) CoUninitialize();
}

LinkStatus ProviderLink::Activate(const CLSID& clsid) {
  Microsoft::WRL::ComPtr<IUnknown> provider;
  result_ = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                             reinterpret_cast<void**>(provider.GetAddressOf()));
  if (result_ == REGDB_E_CLASSNOTREG) return LinkStatus::NotRegistered;
  if (FAILED(result_)) return LinkStatus::NotLoadable;
  return Initialize(provider.Get());
}

LinkStatus ProviderLink::Load(const std::wstring& modulePath) {
  result_ = moduleHost_.Load(modulePath);
  if (FAILED(result_)) return LinkStatus::NotLoadable;
  return Initialize(moduleHost_.ProviderInit());
}

LinkStatus ProviderLink::Initialize(IUnknown* provider) {
  result_ = provider->QueryInterface(IID_IWbemProviderInit, reinterpret_cast<void**>(init_.GetAddressOf()));
  if (SUCCEEDED(result_)) {
    result_ = provider->QueryInterface(IID_IWbemHiPerfProvider, reinterpret_cast<void**>(hiPerf_.GetAddressOf()));
  }
  if (FAILED(result_)) return LinkStatus::NotLoadable;

  // Initialize takes the namespace as a writable string.
  wchar_t namespaceName[] = L"root\\cimv2";
  result_ = init_->Initialize(nullptr, 0, namespaceName, nullptr, services_.Get(), nullptr, initSink_.Get());
  if (SUCCEEDED(result_)) {
    const auto statuses = initSink_->Statuses();
    result_ = statuses.empty() ? E_UNEXPECTED : statuses.back().status;
  }
  return result_ == WBEM_S_INITIALIZED ? LinkStatus::Ready : LinkStatus::InitFailed;
}

HRESULT RefreshedSessions::Open() {
  IWbemHiPerfProvider* provider = link_.HiPerf();
  if (provider == nullptr) return E_UNEXPECTED;
  HRESULT hr = provider->CreateRefresher(link_.Services(), 0, refresher_.ReleaseAndGetAddressOf());
  if (FAILED(hr)) return hr;
  const UniqueBstr className = SessionClassName();
  if (!className) return E_OUTOFMEMORY;
  enumerator_ = wmihost::HiPerfEnum::Create();
  LONG identifier = 0;
  hr = provider->CreateRefreshableEnum(link_.Services(), className.get(), refresher_.Get(), 0, nullptr,
                                       enumerator_.Get(), &identifier);
  if (FAILED(hr)) enumerator_.Reset();
  return hr;
}

HRESULT RefreshedSessions::Take(std::vector<SessionSample>* sessions) {
  if (!refresher_ || !enumerator_) return E_UNEXPECTED;
  HRESULT hr = refresher_->Refresh(0);
  // Called in-process, outside any COM call, the provider's impersonation
  // answers RPC_E_CALL_COMPLETE, which a refresh without instances (all
  // sessions ended) hands back as its result: no sessions, not a failure.
  if (FAILED(hr) && hr != RPC_E_CALL_COMPLETE) return hr;
  sessions->clear();
  for (const auto& entry : enumerator_->Entries()) {
    SessionSample session;
    hr = ReadSession(entry.object.Get(), &session);
    if (FAILED(hr)) return hr;
    sessions->push_back(std::move(session));
  }
  return S_OK;
}

HRESULT QueryOnce(const ProviderLink& link, std::vector<SessionSample>* sessions) {
  IWbemHiPerfProvider* provider = link.HiPerf();
  if (provider == nullptr) return E_UNEXPECTED;
  const UniqueBstr className = SessionClassName();
  if (!className) return E_OUTOFMEMORY;
  const auto sink = wmihost::ObjectSink::Create();
  HRESULT hr = provider->QueryInstances(link.Services(), className.get(), 0, nullptr, sink.Get());
  if (FAILED(hr)) return hr;
  const auto statuses = sink->Statuses();
  if (!statuses.empty() && FAILED(statuses.back().result)) return statuses.back().result;
  sessions->clear();
  for (const auto& object : sink->Indicated()) {
    SessionSample session;
    hr = ReadSession(object.Get(), &session);
    if (FAILED(hr)) return hr;
    sessions->push_back(std::move(session));
  }
  return S_OK;
}

}  // namespace routerstat
