#pragma once
// Loads the provider DLL and drives it the way the WMI service does: class
// factory, provider object, IWbemProviderInit::Initialize with a services
// object that knows the session class and a recording init sink.
//
// The session initialises COM (multithreaded) on the thread that calls Load
// and undoes that in Close, so Load and Close belong on the same thread.
// Everything the caller obtained from the provider must be released before
// Close.

#include <memory>
#include <string>

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>
#include <wrl/client.h>

#include "support/fs/unique_handle.h"
#include "tools/wmihost/services.h"
#include "tools/wmihost/sinks.h"

namespace wmihost {

// {72390812-EE29-4307-9B19-ACF198DDB068}
extern const CLSID kProviderClsid;

// FernwickRouterSessionPerf.dll in the folder of the running executable,
// where the build puts both.
std::wstring ProviderPathBesideExecutable();

class HostSession {
 public:
  HostSession();
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  // LoadLibrary, DllGetClassObject for kProviderClsid, CreateInstance, then
  // QueryInterface for IWbemProviderInit and IWbemHiPerfProvider. Returns the
  // first failure (a Win32 error as HRESULT for the loader steps) and then
  // holds nothing; S_OK when both interfaces are held.
  HRESULT Load(const std::wstring& dllPath);
  // IWbemProviderInit::Initialize with `namespaceName`, the session's
  // services and its init sink; returns the method's own HRESULT (the
  // provider's verdict goes to InitSink()). E_UNEXPECTED before Load.
  HRESULT Initialize(const wchar_t* namespaceName = L"root\\cimv2");
  // The module's DllCanUnloadNow; E_UNEXPECTED before Load.
  HRESULT CanUnloadNow() const;
  // Releases the provider, unloads the DLL and uninitialises COM. Also done
  // by the destructor.
  void Close();

  IWbemProviderInit* ProviderInit() const { return init_.Get(); }
  IWbemHiPerfProvider* HiPerfProvider() const { return hiPerf_.Get(); }
  Services& HostServices() const { return *services_.Get(); }
  InitSink& HostInitSink() const { return *initSink_.Get(); }
  // The session class object that the services hand out.
  IWbemClassObject* SessionClass() const { return sessionClass_.Get(); }
  // The plan that the session class and all its instances consult.
  FaultPlan& SessionFaults() const { return sessionDefinition_->Faults(); }

 private:
  Microsoft::WRL::ComPtr<Services> services_;
  std::shared_ptr<ClassDefinition> sessionDefinition_;
  Microsoft::WRL::ComPtr<IWbemClassObject> sessionClass_;
  Microsoft::WRL::ComPtr<InitSink> initSink_;
  UniqueLibrary module_;
  bool comInitialized_ = false;
  Microsoft::WRL::ComPtr<IWbemProviderInit> init_;
  Microsoft::WRL::ComPtr<IWbemHiPerfProvider> hiPerf_;
};

}  // namespace wmihost
