#include "tools/wmihost/sinks.h"

namespace wmihost {

std::vector<Microsoft::WRL::ComPtr<IWbemClassObject>> ObjectSink::Indicated() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return indicated_;
}

std::vector<ObjectSink::Status> ObjectSink::Statuses() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return statuses_;
}

HRESULT ObjectSink::QueryInterface(REFIID iid, void** out) {
  return QueryOne<IWbemObjectSink>(this, IID_IWbemObjectSink, iid, out);
}

HRESULT ObjectSink::Indicate(LONG count, IWbemClassObject** objects) {
  if (count < 0 || (count > 0 && !objects)) return WBEM_E_INVALID_PARAMETER;
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(mutex_);
    indicated_.insert(indicated_.end(), objects, objects + count);
    return WBEM_S_NO_ERROR;
  });
}

HRESULT ObjectSink::SetStatus(LONG flags, HRESULT result, BSTR text, IWbemClassObject* object) {
  return Guarded([&] {
    Status status{flags, result, std::nullopt, object};
    if (text) status.text.emplace(text, SysStringLen(text));
    std::lock_guard<std::mutex> guard(mutex_);
    statuses_.push_back(std::move(status));
    return WBEM_S_NO_ERROR;
  });
}

std::vector<InitSink::Status> InitSink::Statuses() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return statuses_;
}

HRESULT InitSink::QueryInterface(REFIID iid, void** out) {
  return QueryOne<IWbemProviderInitSink>(this, IID_IWbemProviderInitSink, iid, out);
}

HRESULT InitSink::SetStatus(LONG status, LONG flags) {
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(mutex_);
    statuses_.push_back({status, flags});
    return WBEM_S_NO_ERROR;
  });
}

}  // namespace wmihost
