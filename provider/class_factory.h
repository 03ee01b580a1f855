#pragma once
// The class factory of the provider's COM class. Factories are not counted
// among the module's live objects; LockServer is.

#include <atomic>

#include <unknwn.h>

// Hands out interface `iid` of a newly made object that holds no reference
// yet (null when its allocation failed); an object that does not offer it is
// freed again.
template <typename T>
HRESULT HandOutNewObject(T* object, REFIID iid, void** out) {
  if (object == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = object->QueryInterface(iid, out);
  if (FAILED(hr)) {
    delete object;
    return hr;
  }
  return S_OK;
}

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
