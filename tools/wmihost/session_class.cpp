#include "tools/wmihost/session_class.h"

#include <wrl/client.h>

namespace wmihost {

const wchar_t kSessionClassName[] = L"Win32_PerfRawData_Fernwick_Router_Session";
const wchar_t kSessionKeyName[] = L"Name";
const std::array<const wchar_t*, 4> kSessionCounterNames = {L"Bypass_Msg_Received", L"Bypass_Msg_Sent",
                                                            L"Msg_Sent2Relay", L"Relay_Msg_Received"};

std::shared_ptr<ClassDefinition> SessionClassDefinition() {
  std::vector<PropertyDefinition> properties{{kSessionKeyName, CIM_STRING}};
  for (const wchar_t* counter : kSessionCounterNames) properties.push_back({counter, CIM_UINT32});
  return std::make_shared<ClassDefinition>(kSessionClassName, std::move(properties));
}

HRESULT ReadSessionValues(IUnknown* object, SessionValues* values) {
  if (!object || !values) return E_POINTER;
  Microsoft::WRL::ComPtr<IWbemClassObject> classObject;
  HRESULT hr = object->QueryInterface(IID_IWbemClassObject, reinterpret_cast<void**>(classObject.GetAddressOf()));
  if (FAILED(hr)) return hr;
  *values = SessionValues{};

  VARIANT value;
  VariantInit(&value);
  hr = classObject->Get(kSessionKeyName, 0, &value, nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if (value.vt == VT_BSTR) values->name.emplace(value.bstrVal, SysStringLen(value.bstrVal));
  VariantClear(&value);

  for (std::size_t i = 0; i < kSessionCounterNames.size(); ++i) {
    hr = classObject->Get(kSessionCounterNames[i], 0, &value, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    if (value.vt == VT_I4) values->counters[i] = static_cast<DWORD>(value.lVal);
    VariantClear(&value);
  }
  return S_OK;
}

}  // namespace wmihost
