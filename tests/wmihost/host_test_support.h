#pragma once
// Shared pieces of the host stand-in tests.

#include <string>

#include <gtest/gtest.h>
#include <wrl/client.h>

#include "tools/wmihost/host_object.h"
#include "tools/wmihost/session_class.h"

using Microsoft::WRL::ComPtr;

// Every case must give back every host object it made. Checked in the
// destructor, after the members of derived fixtures are gone.
class HostTest : public ::testing::Test {
 protected:
  ~HostTest() override { EXPECT_EQ(wmihost::LiveObjectCount(), startCount_) << "host objects leaked"; }

  static ComPtr<IWbemObjectAccess> Access(const ComPtr<IWbemClassObject>& object) {
    ComPtr<IWbemObjectAccess> access;
    EXPECT_EQ(object.As(&access), S_OK);
    return access;
  }
  static ComPtr<IWbemClassObject> Spawn(IWbemClassObject* classObject) {
    ComPtr<IWbemClassObject> instance;
    EXPECT_EQ(classObject->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
    return instance;
  }
  static LONG Handle(IWbemObjectAccess* object, const wchar_t* name) {
    LONG handle = 0;
    EXPECT_EQ(object->GetPropertyHandle(name, nullptr, &handle), WBEM_S_NO_ERROR);
    return handle;
  }
  // Writes `text` with its terminator through the handle.
  static HRESULT WriteText(IWbemObjectAccess* object, LONG handle, const std::wstring& text) {
    return object->WritePropertyValue(handle, static_cast<LONG>((text.size() + 1) * sizeof(wchar_t)),
                                      reinterpret_cast<const byte*>(text.c_str()));
  }
  static wmihost::SessionValues Values(IUnknown* object) {
    wmihost::SessionValues values;
    EXPECT_EQ(wmihost::ReadSessionValues(object, &values), S_OK);
    return values;
  }

 private:
  const long startCount_ = wmihost::LiveObjectCount();
};
