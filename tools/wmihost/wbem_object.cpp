#include "tools/wmihost/wbem_object.h"

#include <cstring>
#include <cwchar>
#include <mutex>
#include <stdexcept>
#include <utility>

#include "tools/wmihost/host_object.h"

namespace wmihost {
namespace {

// Handles are offsets from this base, so that no valid handle is 0.
constexpr LONG kFirstHandle = 0x1000;

struct Value {
  bool set = false;
  std::wstring text;
  DWORD number = 0;
};

class WbemObject final : public IWbemObjectAccess, private HostObject {
 public:
  WbemObject(std::shared_ptr<ClassDefinition> definition, bool isClass, std::vector<Value> values)
      : definition_(std::move(definition)), isClass_(isClass), values_(std::move(values)) {}

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override { return AddReference(); }
  ULONG STDMETHODCALLTYPE Release() override { return ReleaseReference(); }

  // IWbemClassObject
  HRESULT STDMETHODCALLTYPE GetQualifierSet(IWbemQualifierSet**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Get(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE* type, LONG* flavor) override;
  HRESULT STDMETHODCALLTYPE Put(LPCWSTR name, LONG flags, VARIANT* value, CIMTYPE type) override;
  HRESULT STDMETHODCALLTYPE Delete(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetNames(LPCWSTR, LONG, VARIANT*, SAFEARRAY**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Next(LONG, BSTR*, VARIANT*, CIMTYPE*, LONG*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE EndEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE Clone(IWbemClassObject** copy) override { return Duplicate(Op::Clone, isClass_, copy); }
  HRESULT STDMETHODCALLTYPE GetObjectText(LONG, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnDerivedClass(LONG, IWbemClassObject**) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE SpawnInstance(LONG, IWbemClassObject** instance) override {
    return Duplicate(Op::SpawnInstance, false, instance);
  }
  HRESULT STDMETHODCALLTYPE CompareTo(LONG, IWbemClassObject*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE InheritsFrom(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethod(LPCWSTR, LONG, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE PutMethod(LPCWSTR, LONG, IWbemClassObject*, IWbemClassObject*) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE DeleteMethod(LPCWSTR) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE BeginMethodEnumeration(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE NextMethod(LONG, BSTR*, IWbemClassObject**, IWbemClassObject**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE EndMethodEnumeration() override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetMethodQualifierSet(LPCWSTR, IWbemQualifierSet**) override {
    return WBEM_E_NOT_SUPPORTED;
  }
  HRESULT STDMETHODCALLTYPE GetMethodOrigin(LPCWSTR, BSTR*) override { return WBEM_E_NOT_SUPPORTED; }

  // IWbemObjectAccess
  HRESULT STDMETHODCALLTYPE GetPropertyHandle(LPCWSTR name, CIMTYPE* type, LONG* handle) override;
  HRESULT STDMETHODCALLTYPE WritePropertyValue(LONG handle, LONG numBytes, const byte* data) override;
  HRESULT STDMETHODCALLTYPE ReadPropertyValue(LONG handle, LONG bufferSize, LONG* numBytes, byte* data) override;
  HRESULT STDMETHODCALLTYPE ReadDWORD(LONG handle, DWORD* value) override;
  HRESULT STDMETHODCALLTYPE WriteDWORD(LONG handle, DWORD value) override;
  HRESULT STDMETHODCALLTYPE ReadQWORD(LONG, UINT64*) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE WriteQWORD(LONG, UINT64) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE GetPropertyInfoByHandle(LONG handle, BSTR* name, CIMTYPE* type) override;
  HRESULT STDMETHODCALLTYPE Lock(LONG) override { return WBEM_E_NOT_SUPPORTED; }
  HRESULT STDMETHODCALLTYPE Unlock(LONG) override { return WBEM_E_NOT_SUPPORTED; }

 private:
  ~WbemObject() override = default;

  // Common path of Clone and SpawnInstance: a new object with this object's
  // values.
  HRESULT Duplicate(Op op, bool asClass, IWbemClassObject** out);
  // The property index behind `handle`, or -1.
  int IndexOfHandle(LONG handle) const;
  // True when the plan fails this call of `op`; the result is then in `*result`.
  bool Fails(Op op, HRESULT* result) { return definition_->Faults().ShouldFail(op, result); }
  CIMTYPE TypeAt(int index) const { return definition_->Properties()[index].type; }
  Value Load(int index) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return values_[index];
  }
  void Store(int index, Value value) {
    std::lock_guard<std::mutex> guard(mutex_);
    values_[index] = std::move(value);
  }

  const std::shared_ptr<ClassDefinition> definition_;
  const bool isClass_;
  mutable std::mutex mutex_;
  std::vector<Value> values_;
};

HRESULT WbemObject::QueryInterface(REFIID iid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (iid == IID_IWbemObjectAccess) {
    HRESULT planned = S_OK;
    if (Fails(Op::QueryObjectAccess, &planned)) return planned;
  } else if (iid != IID_IUnknown && iid != IID_IWbemClassObject) {
    return E_NOINTERFACE;
  }
  *out = static_cast<IWbemObjectAccess*>(this);
  AddRef();
  return S_OK;
}

HRESULT WbemObject::Get(LPCWSTR name, LONG, VARIANT* value, CIMTYPE* type, LONG* flavor) {
  if (!name) return WBEM_E_INVALID_PARAMETER;
  const int index = definition_->IndexOf(name);
  if (index < 0) return WBEM_E_NOT_FOUND;
  return Guarded([&] {
    if (value) {
      VariantInit(value);
      const Value stored = Load(index);
      if (!stored.set) {
        value->vt = VT_NULL;
      } else if (TypeAt(index) == CIM_STRING) {
        BSTR text = SysAllocStringLen(stored.text.data(), static_cast<UINT>(stored.text.size()));
        if (!text) return WBEM_E_OUT_OF_MEMORY;
        value->vt = VT_BSTR;
        value->bstrVal = text;
      } else {
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(stored.number);
      }
    }
    if (type) *type = TypeAt(index);
    if (flavor) *flavor = WBEM_FLAVOR_ORIGIN_LOCAL;
    return WBEM_S_NO_ERROR;
  });
}

HRESULT WbemObject::Put(LPCWSTR name, LONG, VARIANT* value, CIMTYPE) {
  if (!name) return WBEM_E_INVALID_PARAMETER;
  const int index = definition_->IndexOf(name);
  if (index < 0) return WBEM_E_NOT_FOUND;
  return Guarded([&] {
    Value stored;
    if (value && value->vt != VT_NULL && value->vt != VT_EMPTY) {
      if (TypeAt(index) == CIM_STRING && value->vt == VT_BSTR) {
        stored.text.assign(value->bstrVal ? value->bstrVal : L"", SysStringLen(value->bstrVal));
      } else if (TypeAt(index) == CIM_UINT32 && value->vt == VT_I4) {
        stored.number = static_cast<DWORD>(value->lVal);
      } else {
        return WBEM_E_TYPE_MISMATCH;
      }
      stored.set = true;
    }
    Store(index, std::move(stored));
    return WBEM_S_NO_ERROR;
  });
}

HRESULT WbemObject::Duplicate(Op op, bool asClass, IWbemClassObject** out) {
  if (!out) return WBEM_E_INVALID_PARAMETER;
  *out = nullptr;
  HRESULT planned = S_OK;
  if (Fails(op, &planned)) return planned;
  if (op == Op::SpawnInstance && !isClass_) return WBEM_E_INVALID_OPERATION;
  return Guarded([&] {
    std::vector<Value> values;
    {
      std::lock_guard<std::mutex> guard(mutex_);
      values = values_;
    }
    auto* copy = new WbemObject(definition_, asClass, std::move(values));
    copy->AddRef();
    *out = copy;
    return WBEM_S_NO_ERROR;
  });
}

int WbemObject::IndexOfHandle(LONG handle) const {
  const LONG index = handle - kFirstHandle;
  const auto count = static_cast<LONG>(definition_->Properties().size());
  return index >= 0 && index < count ? static_cast<int>(index) : -1;
}

HRESULT WbemObject::GetPropertyHandle(LPCWSTR name, CIMTYPE* type, LONG* handle) {
  if (!name || !handle) return WBEM_E_INVALID_PARAMETER;
  HRESULT planned = S_OK;
  if (Fails(Op::GetPropertyHandle, &planned)) return planned;
  const int index = definition_->IndexOf(name);
  if (index < 0) return WBEM_E_NOT_FOUND;
  *handle = kFirstHandle + index;
  if (type) *type = TypeAt(index);
  return WBEM_S_NO_ERROR;
}

HRESULT WbemObject::WritePropertyValue(LONG handle, LONG numBytes, const byte* data) {
  if (numBytes < 0 || (!data && numBytes > 0)) return WBEM_E_INVALID_PARAMETER;
  HRESULT planned = S_OK;
  if (Fails(Op::WritePropertyValue, &planned)) return planned;
  const int index = IndexOfHandle(handle);
  if (index < 0) return WBEM_E_INVALID_PARAMETER;
  return Guarded([&] {
    Value stored;
    stored.set = true;
    if (TypeAt(index) == CIM_STRING) {
      // The byte count covers whole UTF-16 units and ends with the terminator.
      constexpr LONG kUnitBytes = sizeof(wchar_t);
      if (numBytes < kUnitBytes || numBytes % kUnitBytes != 0) return WBEM_E_INVALID_PARAMETER;
      stored.text.resize(numBytes / kUnitBytes);
      std::memcpy(&stored.text[0], data, numBytes);
      if (stored.text.back() != L'\0') return WBEM_E_INVALID_PARAMETER;
      stored.text.resize(std::wcslen(stored.text.c_str()));
    } else {
      if (numBytes != static_cast<LONG>(sizeof(DWORD))) return WBEM_E_INVALID_PARAMETER;
      std::memcpy(&stored.number, data, sizeof(DWORD));
    }
    Store(index, std::move(stored));
    return WBEM_S_NO_ERROR;
  });
}

HRESULT WbemObject::ReadPropertyValue(LONG handle, LONG bufferSize, LONG* numBytes, byte* data) {
  if (!numBytes || bufferSize < 0 || (!data && bufferSize > 0)) return WBEM_E_INVALID_PARAMETER;
  HRESULT planned = S_OK;
  if (Fails(Op::ReadPropertyValue, &planned)) return planned;
  const int index = IndexOfHandle(handle);
  if (index < 0) return WBEM_E_INVALID_PARAMETER;
  return Guarded([&] {
    const Value stored = Load(index);
    if (!stored.set) {
      *numBytes = 0;
      return WBEM_S_FALSE;
    }
    const bool isText = TypeAt(index) == CIM_STRING;
    const void* source = isText ? static_cast<const void*>(stored.text.c_str()) : &stored.number;
    const auto size = static_cast<LONG>(isText ? (stored.text.size() + 1) * sizeof(wchar_t) : sizeof(DWORD));
    *numBytes = size;
    if (size > bufferSize) return WBEM_E_BUFFER_TOO_SMALL;
    std::memcpy(data, source, size);
    return WBEM_S_NO_ERROR;
  });
}

HRESULT WbemObject::ReadDWORD(LONG handle, DWORD* value) {
  if (!value) return WBEM_E_INVALID_PARAMETER;
  const int index = IndexOfHandle(handle);
  if (index < 0) return WBEM_E_INVALID_PARAMETER;
  if (TypeAt(index) != CIM_UINT32) return WBEM_E_TYPE_MISMATCH;
  return Guarded([&] {
    const Value stored = Load(index);
    *value = stored.number;
    return stored.set ? WBEM_S_NO_ERROR : WBEM_S_FALSE;
  });
}

HRESULT WbemObject::WriteDWORD(LONG handle, DWORD value) {
  HRESULT planned = S_OK;
  if (Fails(Op::WriteDWORD, &planned)) return planned;
  const int index = IndexOfHandle(handle);
  if (index < 0) return WBEM_E_INVALID_PARAMETER;
  if (TypeAt(index) != CIM_UINT32) return WBEM_E_TYPE_MISMATCH;
  return Guarded([&] {
    Value stored;
    stored.set = true;
    stored.number = value;
    Store(index, std::move(stored));
    return WBEM_S_NO_ERROR;
  });
}

HRESULT WbemObject::GetPropertyInfoByHandle(LONG handle, BSTR* name, CIMTYPE* type) {
  const int index = IndexOfHandle(handle);
  if (index < 0) return WBEM_E_INVALID_PARAMETER;
  if (name) {
    *name = SysAllocString(definition_->Properties()[index].name.c_str());
    if (!*name) return WBEM_E_OUT_OF_MEMORY;
  }
  if (type) *type = TypeAt(index);
  return WBEM_S_NO_ERROR;
}

}  // namespace

ClassDefinition::ClassDefinition(std::wstring name, std::vector<PropertyDefinition> properties)
    : name_(std::move(name)), properties_(std::move(properties)) {
  for (const PropertyDefinition& property : properties_) {
    if (property.type != CIM_STRING && property.type != CIM_UINT32) {
      throw std::invalid_argument("wmihost supports string and uint32 properties only");
    }
  }
}

int ClassDefinition::IndexOf(const wchar_t* propertyName) const {
  for (std::size_t i = 0; i < properties_.size(); ++i) {
    if (_wcsicmp(properties_[i].name.c_str(), propertyName) == 0) return static_cast<int>(i);
  }
  return -1;
}

Microsoft::WRL::ComPtr<IWbemClassObject> NewClassObject(std::shared_ptr<ClassDefinition> definition) {
  const std::size_t count = definition->Properties().size();
  return Hold<IWbemClassObject>(new WbemObject(std::move(definition), true, std::vector<Value>(count)));
}

}  // namespace wmihost
