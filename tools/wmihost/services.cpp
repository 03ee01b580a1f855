#include "tools/wmihost/services.h"

#include <cwchar>

namespace wmihost {

Microsoft::WRL::ComPtr<IWbemClassObject> Services::AddClass(std::shared_ptr<ClassDefinition> definition) {
  const std::wstring name = definition->Name();
  Microsoft::WRL::ComPtr<IWbemClassObject> classObject = NewClassObject(std::move(definition));
  std::lock_guard<std::mutex> guard(mutex_);
  classes_.emplace_back(name, classObject);
  return classObject;
}

HRESULT Services::QueryInterface(REFIID iid, void** out) {
  return QueryOne<IWbemServices>(this, IID_IWbemServices, iid, out);
}

HRESULT Services::GetObject(const BSTR path, LONG, IWbemContext*, IWbemClassObject** object,
                            IWbemCallResult** callResult) {
  if (callResult) *callResult = nullptr;
  if (object) *object = nullptr;
  if (!path) return WBEM_E_INVALID_PARAMETER;
  HRESULT planned = S_OK;
  if (faults_.ShouldFail(Op::GetObject, &planned)) return planned;
  return Guarded([&] {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& entry : classes_) {
      if (_wcsicmp(entry.first.c_str(), path) != 0) continue;
      if (object) {
        *object = entry.second.Get();
        (*object)->AddRef();
      }
      return WBEM_S_NO_ERROR;
    }
    return WBEM_E_NOT_FOUND;
  });
}

HRESULT Services::OpenNamespace(const BSTR, LONG, IWbemContext*, IWbemServices**, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::CancelAsyncCall(IWbemObjectSink*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT Services::QueryObjectSink(LONG, IWbemObjectSink**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT Services::GetObjectAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) { return WBEM_E_NOT_SUPPORTED; }
HRESULT Services::PutClass(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT Services::PutClassAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::DeleteClass(const BSTR, LONG, IWbemContext*, IWbemCallResult**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT Services::DeleteClassAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::CreateClassEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::CreateClassEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::PutInstance(IWbemClassObject*, LONG, IWbemContext*, IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::PutInstanceAsync(IWbemClassObject*, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::DeleteInstance(const BSTR, LONG, IWbemContext*, IWbemCallResult**) { return WBEM_E_NOT_SUPPORTED; }
HRESULT Services::DeleteInstanceAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::CreateInstanceEnum(const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::CreateInstanceEnumAsync(const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::ExecQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::ExecQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::ExecNotificationQuery(const BSTR, const BSTR, LONG, IWbemContext*, IEnumWbemClassObject**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::ExecNotificationQueryAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::ExecMethod(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemClassObject**,
                             IWbemCallResult**) {
  return WBEM_E_NOT_SUPPORTED;
}
HRESULT Services::ExecMethodAsync(const BSTR, const BSTR, LONG, IWbemContext*, IWbemClassObject*, IWbemObjectSink*) {
  return WBEM_E_NOT_SUPPORTED;
}

}  // namespace wmihost
