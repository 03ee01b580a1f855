#pragma once
// The high-performance provider WMI creates through the class factory. It
// serves Win32_PerfRawData_Fernwick_Router_Session: instance enumeration,
// refreshers with their objects and enumerators, and filling of objects WMI
// hands in. Every provider of the module shares one data source, which ends
// with the module's last object.

#include <atomic>

#include <wbemcli.h>
#include <wbemprov.h>
#include <wrl/client.h>

class CPerfDataSource;

class VXPerfProvider : public IWbemProviderInit, public IWbemHiPerfProvider {
 public:
  VXPerfProvider();
  virtual ~VXPerfProvider();
  VXPerfProvider(const VXPerfProvider&) = delete;
  VXPerfProvider& operator=(const VXPerfProvider&) = delete;

  // IUnknown
  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;

  // IWbemProviderInit
  STDMETHODIMP Initialize(LPWSTR user, LONG flags, LPWSTR namespaceName, LPWSTR locale, IWbemServices* services,
                          IWbemContext* context, IWbemProviderInitSink* initSink) override;

  // IWbemHiPerfProvider
  STDMETHODIMP QueryInstances(IWbemServices* services, WCHAR* className, long flags, IWbemContext* context,
                              IWbemObjectSink* sink) override;
  STDMETHODIMP CreateRefresher(IWbemServices* services, long flags, IWbemRefresher** refresher) override;
  STDMETHODIMP CreateRefreshableObject(IWbemServices* services, IWbemObjectAccess* templateObject,
                                       IWbemRefresher* refresher, long flags, IWbemContext* context,
                                       IWbemObjectAccess** object, long* identifier) override;
  STDMETHODIMP StopRefreshing(IWbemRefresher* refresher, long identifier, long flags) override;
  STDMETHODIMP CreateRefreshableEnum(IWbemServices* services, LPCWSTR className, IWbemRefresher* refresher,
                                     long flags, IWbemContext* context, IWbemHiPerfEnum* enumerator,
                                     long* identifier) override;
  STDMETHODIMP GetObjects(IWbemServices* services, long count, IWbemObjectAccess** objects, long flags,
                          IWbemContext* context) override;

  // An object-access interface on a clone of `object`.
  static HRESULT GetObjectAccessClone(IUnknown* object, IWbemObjectAccess** clone);

 private:
  // Creates the module's data source and Name handle once. A failed
  // object-access query is returned without a sink report.
  HRESULT InitializeModuleState(IWbemClassObject* classObject, bool* reportToSink);

  std::atomic<long> referenceCount_{0};
  Microsoft::WRL::ComPtr<IWbemClassObject> classObject_;
};
