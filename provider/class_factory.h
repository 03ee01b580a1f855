#pragma once
// The class factory of the provider's COM class. Factories are not counted
// among the module's live objects; LockServer is.

#include <atomic>

#include <unknwn.h>

// {72390812-EE29-4307-9B19-ACF198DDB068}
extern const CLSID CLSID_FernwickRouterSessionPerf;

class CPerfFactory : public IClassFactory {
 public:
  CPerfFactory() = default;
  virtual ~CPerfFactory() = default;
  CPerfFactory(const CPerfFactory&) = delete;
  CPerfFactory& operator=(const CPerfFactory&) = delete;

  STDMETHODIMP QueryInterface(REFIID iid, void** out) override;
  STDMETHODIMP_(ULONG) AddRef() override;
  STDMETHODIMP_(ULONG) Release() override;
  STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  STDMETHODIMP LockServer(BOOL lock) override;

 private:
  std::atomic<long> referenceCount_{0};
};
