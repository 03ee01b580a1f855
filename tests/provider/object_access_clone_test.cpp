#include <gtest/gtest.h>

#include "provider/perf_provider.h"
#include "tools/wmihost/session_class.h"
#include "tools/wmihost/wbem_object.h"

using Microsoft::WRL::ComPtr;

TEST(ObjectAccessClone, GivesAnIndependentCopyOrTheFailure) {
  auto definition = wmihost::SessionClassDefinition();
  auto classObject = wmihost::NewClassObject(definition);
  ComPtr<IWbemClassObject> original;
  ASSERT_EQ(classObject->SpawnInstance(0, &original), S_OK);
  VARIANT name;
  name.vt = VT_BSTR;
  name.bstrVal = SysAllocString(L"alpha");
  ASSERT_EQ(original->Put(L"Name", 0, &name, 0), S_OK);
  VariantClear(&name);

  ComPtr<IWbemObjectAccess> clone;
  ASSERT_EQ(VXPerfProvider::GetObjectAccessClone(original.Get(), &clone), S_OK);
  ASSERT_NE(clone, nullptr);
  long handle = 0;
  ASSERT_EQ(clone->GetPropertyHandle(const_cast<wchar_t*>(L"Bypass_Msg_Sent"), nullptr, &handle), S_OK);
  ASSERT_EQ(clone->WriteDWORD(handle, 42), S_OK);
  wmihost::SessionValues cloned, untouched;
  ASSERT_EQ(wmihost::ReadSessionValues(clone.Get(), &cloned), S_OK);
  ASSERT_EQ(wmihost::ReadSessionValues(original.Get(), &untouched), S_OK);
  EXPECT_EQ(cloned.name, std::wstring(L"alpha"));
  EXPECT_EQ(cloned.counters[1], 42u);
  EXPECT_FALSE(untouched.counters[1].has_value()) << "the clone must not share the original's values";

  IWbemObjectAccess* none = reinterpret_cast<IWbemObjectAccess*>(1);
  EXPECT_EQ(VXPerfProvider::GetObjectAccessClone(nullptr, &none), static_cast<HRESULT>(WBEM_E_INVALID_HANDLE_REQUEST));
  EXPECT_EQ(none, nullptr);
  definition->Faults().Fail(wmihost::Op::Clone, WBEM_E_OUT_OF_MEMORY);
  EXPECT_EQ(VXPerfProvider::GetObjectAccessClone(original.Get(), &none), static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY));
  EXPECT_EQ(none, nullptr);
  definition->Faults().Clear(wmihost::Op::Clone);
}
