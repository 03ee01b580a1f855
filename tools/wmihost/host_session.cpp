#include "tools/wmihost/host_session.h"

#include <vector>

#include "tools/wmihost/session_class.h"

namespace wmihost {
namespace {

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);
using CanUnloadNowFunction = HRESULT(STDAPICALLTYPE*)();

HRESULT LastErrorResult() { return HRESULT_FROM_WIN32(GetLastError()); }

}  // namespace

const CLSID kProviderClsid = {0x72390812, 0xEE29, 0x4307, {0x9B, 0x19, 0xAC, 0xF1, 0x98, 0xDD, 0xB0, 0x68}};

std::wstring ProviderPathBesideExecutable() {
  std::vector<wchar_t> path(MAX_PATH);
  DWORD length = 0;
  while ((length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()))) == path.size()) {
    path.resize(path.size() * 2);
  }
  std::wstring folder(path.data(), length);
  folder.erase(folder.find_last_of(L"\\/") + 1);
  return folder + L"FernwickRouterSessionPerf.dll";
}

HostSession::HostSession()
    : services_(Services::Create()),
      sessionDefinition_(SessionClassDefinition()),
      sessionClass_(services_->AddClass(sessionDefinition_)),
      initSink_(InitSink::Create()) {}

HostSession::~HostSession() { Close(); }

HRESULT HostSession::Load(const std::wstring& dllPath) {
  Close();
  const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  comInitialized_ = SUCCEEDED(com);

  HRESULT hr = S_OK;
  module_.reset(LoadLibraryW(dllPath.c_str()));
  if (!module_) hr = LastErrorResult();
  GetClassObjectFunction getClassObject = nullptr;
  if (SUCCEEDED(hr)) {
    getClassObject = reinterpret_cast<GetClassObjectFunction>(
        reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllGetClassObject")));
    if (!getClassObject) hr = LastErrorResult();
  }
  Microsoft::WRL::ComPtr<IClassFactory> factory;
  if (SUCCEEDED(hr)) {
    hr = getClassObject(kProviderClsid, IID_IClassFactory, reinterpret_cast<void**>(factory.GetAddressOf()));
  }
  Microsoft::WRL::ComPtr<IUnknown> provider;
  if (SUCCEEDED(hr)) {
    hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(provider.GetAddressOf()));
  }
  if (SUCCEEDED(hr)) {
    hr = provider->QueryInterface(IID_IWbemProviderInit, reinterpret_cast<void**>(init_.GetAddressOf()));
  }
  if (SUCCEEDED(hr)) {
    hr = provider->QueryInterface(IID_IWbemHiPerfProvider, reinterpret_cast<void**>(hiPerf_.GetAddressOf()));
  }
  provider.Reset();
  factory.Reset();
  if (FAILED(hr)) Close();
  return hr;
}

HRESULT HostSession::Initialize(const wchar_t* namespaceName) {
  if (!init_) return E_UNEXPECTED;
  // Initialize takes the namespace as a writable string.
  std::vector<wchar_t> name;
  if (namespaceName) name.assign(namespaceName, namespaceName + wcslen(namespaceName) + 1);
  return init_->Initialize(nullptr, 0, name.empty() ? nullptr : name.data(), nullptr, services_.Get(), nullptr,
                           initSink_.Get());
}

HRESULT HostSession::CanUnloadNow() const {
  if (!module_) return E_UNEXPECTED;
  const auto canUnloadNow = reinterpret_cast<CanUnloadNowFunction>(
      reinterpret_cast<void*>(GetProcAddress(module_.get(), "DllCanUnloadNow")));
  return canUnloadNow ? canUnloadNow() : LastErrorResult();
}

void HostSession::Close() {
  hiPerf_.Reset();
  init_.Reset();
  module_.reset();
  if (comInitialized_) CoUninitialize();
  comInitialized_ = false;
}

}  // namespace wmihost
