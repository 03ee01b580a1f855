#pragma once
// Reference counting and the live-object count shared by every object of the
// WMI host stand-in, plus the guard that keeps C++ exceptions inside the COM
// methods.

#include <atomic>
#include <new>

#include <windows.h>
#include <wbemcli.h>
#include <wrl/client.h>

namespace wmihost {

// Number of host objects (services, classes, instances, sinks, enumerators)
// alive in the process right now.
long LiveObjectCount();

// Base of every host COM object: an atomic reference count that starts at 0
// (the first holder adds the first reference) and membership in the
// live-object count.
class HostObject {
 public:
  HostObject(const HostObject&) = delete;
  HostObject& operator=(const HostObject&) = delete;

 protected:
  HostObject();
  virtual ~HostObject();

  ULONG AddReference();
  // Destroys the object when the last reference goes.
  ULONG ReleaseReference();

 private:
  std::atomic<ULONG> references_{0};
};

// Runs `body`, a callable returning HRESULT, and turns an escaping
// allocation failure into WBEM_E_OUT_OF_MEMORY and any other exception into
// WBEM_E_FAILED.
template <class Body>
HRESULT Guarded(Body&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return WBEM_E_OUT_OF_MEMORY;
  } catch (...) {
    return WBEM_E_FAILED;
  }
}

// The first reference to a newly made host object. (MinGW's ComPtr::Attach
// adds a reference where MSVC's does not; construction adds one on both.)
template <class T>
Microsoft::WRL::ComPtr<T> Hold(T* object) {
  return Microsoft::WRL::ComPtr<T>(object);
}

// QueryInterface of a host object that offers IUnknown and one interface.
template <class Interface>
HRESULT QueryOne(Interface* self, REFIID offered, REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid != IID_IUnknown && iid != offered) return E_NOINTERFACE;
  *out = self;
  self->AddRef();
  return S_OK;
}

}  // namespace wmihost
