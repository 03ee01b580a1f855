#include "provider/class_factory.h"

#include <new>

#include "provider/module_state.h"
#include "provider/perf_provider.h"

const CLSID CLSID_FernwickRouterSessionPerf = {
    0x72390812, 0xee29, 0x4307, {0x9b, 0x19, 0xac, 0xf1, 0x98, 0xdd, 0xb0, 0x68}};

STDMETHODIMP CPerfFactory::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  if (iid == IID_IUnknown || iid == IID_IClassFactory) {
    *out = static_cast<IClassFactory*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) CPerfFactory::AddRef() { return static_cast<ULONG>(++referenceCount_); }

STDMETHODIMP_(ULONG) CPerfFactory::Release() {
  const long count = --referenceCount_;
  if (count == 0) delete this;
  return static_cast<ULONG>(count);
}

STDMETHODIMP CPerfFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr) return CLASS_E_NOAGGREGATION;
  return HandOutNewObject(new (std::nothrow) VXPerfProvider(), iid, out);
}

STDMETHODIMP CPerfFactory::LockServer(BOOL lock) {
  if (lock) {
    ++g_serverLockCount;
  } else {
    --g_serverLockCount;
  }
  return S_OK;
}
