#pragma once
// Recording sinks: what the provider reported, kept for the test or tool
// to examine. Both are thread-safe and answer WBEM_S_NO_ERROR to every call.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <windows.h>
#include <wbemcli.h>
#include <wbemprov.h>
#include <wrl/client.h>

#include "tools/wmihost/host_object.h"

namespace wmihost {

class ObjectSink final : public IWbemObjectSink, private HostObject {
 public:
  struct Status {
    LONG flags;
    HRESULT result;
    std::optional<std::wstring> text;  // empty when no text came
    Microsoft::WRL::ComPtr<IWbemClassObject> object;
  };

  static Microsoft::WRL::ComPtr<ObjectSink> Create() { return Hold(new ObjectSink()); }

  // Every indicated object in arrival order; the sink holds a reference on each.
  std::vector<Microsoft::WRL::ComPtr<IWbemClassObject>> Indicated() const;
  // Every SetStatus call in arrival order.
  std::vector<Status> Statuses() const;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }
  // IWbemObjectSink
  HRESULT STDMETHODCALLTYPE Indicate(LONG count, IWbemClassObject** objects) override;
  HRESULT STDMETHODCALLTYPE SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) override;

 private:
  ObjectSink() = default;
  ~ObjectSink() override = default;

  mutable std::mutex mutex_;
  std::vector<Microsoft::WRL::ComPtr<IWbemClassObject>> indicated_;
  std::vector<Status> statuses_;
};

class InitSink final : public IWbemProviderInitSink, private HostObject {
 public:
  struct Status {
    LONG status;
    LONG flags;
  };

  static Microsoft::WRL::ComPtr<InitSink> Create() { return Hold(new InitSink()); }

  // Every SetStatus call in arrival order.
  std::vector<Status> Statuses() const;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }
  // IWbemProviderInitSink
  HRESULT STDMETHODCALLTYPE SetStatus(LONG status, LONG flags) override;

 private:
  InitSink() = default;
  ~InitSink() override = default;

  mutable std::mutex mutex_;
  std::vector<Status> statuses_;
};

}  // namespace wmihost
