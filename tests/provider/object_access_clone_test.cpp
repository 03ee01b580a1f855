#include <gtest/gtest.h>

#include "provider/perf_provider.h"
#include "tools/wmihost/session_class.h"
#include "tools/wmihost/wbem_object.h"

using Microsoft::WRL::ComPtr;

namespace {

class ObjectAccessClone : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(classObject->SpawnInstance(0, &original), S_OK); }

  std::shared_ptr<wmihost::ClassDefinition> definition = wmihost::SessionClassDefinition();
  ComPtr<IWbemClassObject> classObject = wmihost::NewClassObject(definition);
  ComPtr<IWbemClassObject> original;
};

}  // namespace

TEST_F(ObjectAccessClone, GivesAnIndependentCopy) {
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

}

namespace {

// An object whose query for the class-object interface succeeds with nothing.
struct EmptyAnswer : IUnknown {
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

}  // namespace

TEST_F(ObjectAccessClone, EachStepThatYieldsNothingEndsWithItsOwnResult) {
  EmptyAnswer emptyAnswer;

  // A missing object is reported before anything else, a missing output included.
  EXPECT_EQ(VXPerfProvider::GetObjectAccessClone(nullptr, nullptr),
            static_cast<HRESULT>(WBEM_E_INVALID_HANDLE_REQUEST));

  struct Case {
    const char* what;
    IUnknown* object;
    wmihost::Op op;
    HRESULT planned;
    HRESULT expected;
  };
  const Case cases[] = {
      {"missing object", nullptr, wmihost::Op::kCount, S_OK, static_cast<HRESULT>(WBEM_E_INVALID_HANDLE_REQUEST)},
      {"query answers nothing", &emptyAnswer, wmihost::Op::kCount, S_OK, S_OK},
      {"clone fails", original.Get(), wmihost::Op::Clone, static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY),
       static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY)},
      {"clone answers nothing", original.Get(), wmihost::Op::Clone, S_FALSE, S_FALSE},
      {"access query fails", original.Get(), wmihost::Op::QueryObjectAccess, E_NOINTERFACE, E_NOINTERFACE},
      {"access query answers nothing", original.Get(), wmihost::Op::QueryObjectAccess, S_OK,
       static_cast<HRESULT>(WBEM_E_INVALID_DUPLICATE_PARAMETER)},
  };
  for (const Case& c : cases) {
    if (c.op != wmihost::Op::kCount) definition->Faults().Fail(c.op, c.planned);
    IWbemObjectAccess* clone = reinterpret_cast<IWbemObjectAccess*>(1);
    EXPECT_EQ(VXPerfProvider::GetObjectAccessClone(c.object, &clone), c.expected) << c.what;
    EXPECT_EQ(clone, nullptr) << c.what;
    if (c.op != wmihost::Op::kCount) definition->Faults().Clear(c.op);
  }
}
