#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>
#include <vector>

#include "tests/wmihost/host_test_support.h"
#include "tools/wmihost/wbem_object.h"

using wmihost::Op;

namespace {

class WbemObjectTest : public HostTest {
 protected:
  std::shared_ptr<wmihost::ClassDefinition> definition_ = wmihost::SessionClassDefinition();
  ComPtr<IWbemClassObject> class_ = wmihost::NewClassObject(definition_);
};

HRESULT PutText(IWbemClassObject* object, const wchar_t* name, const wchar_t* text) {
  VARIANT value;
  value.vt = VT_BSTR;
  value.bstrVal = SysAllocString(text);
  const HRESULT hr = object->Put(name, 0, &value, 0);
  VariantClear(&value);
  return hr;
}

HRESULT PutNumber(IWbemClassObject* object, const wchar_t* name, LONG number) {
  VARIANT value;
  value.vt = VT_I4;
  value.lVal = number;
  return object->Put(name, 0, &value, 0);
}

}  // namespace

TEST_F(WbemObjectTest, SpawnStartsUnsetAndClonesAreIndependentCopies) {
  ComPtr<IWbemClassObject> first = Spawn(class_.Get());
  const wmihost::SessionValues fresh = Values(first.Get());
  EXPECT_FALSE(fresh.name.has_value());
  for (const auto& counter : fresh.counters) EXPECT_FALSE(counter.has_value());

  ASSERT_EQ(PutText(first.Get(), L"Name", L"7"), WBEM_S_NO_ERROR);
  ComPtr<IWbemObjectAccess> firstAccess = Access(first);
  ASSERT_EQ(firstAccess->WriteDWORD(Handle(firstAccess.Get(), L"Msg_Sent2Relay"), 5), WBEM_S_NO_ERROR);

  ComPtr<IWbemClassObject> copy;
  ASSERT_EQ(first->Clone(&copy), WBEM_S_NO_ERROR);
  ASSERT_NE(copy.Get(), first.Get());
  wmihost::SessionValues copied = Values(copy.Get());
  EXPECT_EQ(copied.name, L"7");
  EXPECT_EQ(copied.counters[2], 5u);

  ComPtr<IWbemObjectAccess> copyAccess = Access(copy);
  ASSERT_EQ(WriteText(copyAccess.Get(), Handle(copyAccess.Get(), L"Name"), L"8"), WBEM_S_NO_ERROR);
  EXPECT_EQ(Values(copy.Get()).name, L"8");
  EXPECT_EQ(Values(first.Get()).name, L"7");

  // Writes to instances never reach the class or later instances.
  EXPECT_FALSE(Values(class_.Get()).name.has_value());
  EXPECT_FALSE(Values(Spawn(class_.Get()).Get()).counters[2].has_value());

  // Only a class spawns; a cloned class still does.
  ComPtr<IWbemClassObject> none;
  EXPECT_EQ(first->SpawnInstance(0, &none), WBEM_E_INVALID_OPERATION);
  EXPECT_EQ(none, nullptr);
  ComPtr<IWbemClassObject> classCopy;
  ASSERT_EQ(class_->Clone(&classCopy), WBEM_S_NO_ERROR);
  EXPECT_EQ(classCopy->SpawnInstance(0, &none), WBEM_S_NO_ERROR);
}

TEST_F(WbemObjectTest, ClassObjectAndObjectAccessAreTheSameObject) {
  ComPtr<IWbemObjectAccess> access = Access(class_);
  ComPtr<IWbemClassObject> back;
  ASSERT_EQ(access.As(&back), S_OK);
  EXPECT_EQ(back.Get(), class_.Get());
  ComPtr<IUnknown> viaClass, viaAccess;
  ASSERT_EQ(class_.As(&viaClass), S_OK);
  ASSERT_EQ(access.As(&viaAccess), S_OK);
  EXPECT_EQ(viaClass.Get(), viaAccess.Get());
  ComPtr<IWbemServices> services;
  EXPECT_EQ(class_.As(&services), E_NOINTERFACE);
}

TEST_F(WbemObjectTest, HandlesFromTheClassServeEveryInstance) {
  ComPtr<IWbemObjectAccess> classAccess = Access(class_);
  CIMTYPE type = 0;
  LONG nameHandle = 0;
  ASSERT_EQ(classAccess->GetPropertyHandle(L"Name", &type, &nameHandle), WBEM_S_NO_ERROR);
  EXPECT_EQ(type, CIM_STRING);
  EXPECT_NE(nameHandle, 0);
  LONG sameHandle = 0;
  EXPECT_EQ(classAccess->GetPropertyHandle(L"nAME", nullptr, &sameHandle), WBEM_S_NO_ERROR);
  EXPECT_EQ(sameHandle, nameHandle);

  std::vector<LONG> counters;
  for (const wchar_t* name : wmihost::kSessionCounterNames) {
    LONG handle = 0;
    ASSERT_EQ(classAccess->GetPropertyHandle(name, &type, &handle), WBEM_S_NO_ERROR);
    EXPECT_EQ(type, CIM_UINT32);
    EXPECT_NE(handle, 0);
    EXPECT_NE(handle, nameHandle);
    for (LONG earlier : counters) EXPECT_NE(handle, earlier);
    counters.push_back(handle);
  }
  LONG unknown = 0;
  EXPECT_EQ(classAccess->GetPropertyHandle(L"Sessions", nullptr, &unknown), WBEM_E_NOT_FOUND);

  ComPtr<IWbemObjectAccess> one = Access(Spawn(class_.Get()));
  ComPtr<IWbemObjectAccess> two = Access(Spawn(class_.Get()));
  for (std::size_t i = 0; i < counters.size(); ++i) {
    ASSERT_EQ(one->WriteDWORD(counters[i], static_cast<DWORD>(10 + i)), WBEM_S_NO_ERROR);
    ASSERT_EQ(two->WriteDWORD(counters[i], static_cast<DWORD>(20 + i)), WBEM_S_NO_ERROR);
  }
  const wmihost::SessionValues oneValues = Values(one.Get());
  const wmihost::SessionValues twoValues = Values(two.Get());
  for (std::size_t i = 0; i < counters.size(); ++i) {
    EXPECT_EQ(oneValues.counters[i], 10 + i);
    EXPECT_EQ(twoValues.counters[i], 20 + i);
  }

  BSTR name = nullptr;
  ASSERT_EQ(one->GetPropertyInfoByHandle(counters[3], &name, &type), WBEM_S_NO_ERROR);
  EXPECT_STREQ(name, L"Relay_Msg_Received");
  EXPECT_EQ(type, CIM_UINT32);
  SysFreeString(name);
}

TEST_F(WbemObjectTest, StringsRoundTripWithTheTerminatorCounted) {
  ComPtr<IWbemClassObject> instance = Spawn(class_.Get());
  ComPtr<IWbemObjectAccess> access = Access(instance);
  const LONG name = Handle(access.Get(), L"Name");
  byte buffer[512];
  LONG bytes = -1;

  // Never written: no bytes, and a success code other than S_OK.
  EXPECT_EQ(access->ReadPropertyValue(name, 511, &bytes, buffer), WBEM_S_FALSE);
  EXPECT_EQ(bytes, 0);

  ASSERT_EQ(WriteText(access.Get(), name, L"Session 12"), WBEM_S_NO_ERROR);
  ASSERT_EQ(access->ReadPropertyValue(name, 511, &bytes, buffer), WBEM_S_NO_ERROR);
  EXPECT_EQ(bytes, 22);
  EXPECT_STREQ(reinterpret_cast<const wchar_t*>(buffer), L"Session 12");
  EXPECT_EQ(Values(instance.Get()).name, L"Session 12");

  ASSERT_EQ(PutText(instance.Get(), L"Name", L"x"), WBEM_S_NO_ERROR);
  ASSERT_EQ(access->ReadPropertyValue(name, 511, &bytes, buffer), WBEM_S_NO_ERROR);
  EXPECT_EQ(bytes, 4);
  EXPECT_STREQ(reinterpret_cast<const wchar_t*>(buffer), L"x");

  // An empty name is present: the terminator alone.
  ASSERT_EQ(WriteText(access.Get(), name, L""), WBEM_S_NO_ERROR);
  ASSERT_EQ(access->ReadPropertyValue(name, 511, &bytes, buffer), WBEM_S_NO_ERROR);
  EXPECT_EQ(bytes, 2);
  EXPECT_EQ(Values(instance.Get()).name, L"");

  // Text without its terminator, or a torn unit, is refused and changes nothing.
  ASSERT_EQ(WriteText(access.Get(), name, L"kept"), WBEM_S_NO_ERROR);
  const wchar_t unterminated[] = {L'a', L'b'};
  EXPECT_EQ(access->WritePropertyValue(name, sizeof(unterminated), reinterpret_cast<const byte*>(unterminated)),
            WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(access->WritePropertyValue(name, 3, reinterpret_cast<const byte*>(L"a")), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(Values(instance.Get()).name, L"kept");

  VARIANT null;
  null.vt = VT_NULL;
  ASSERT_EQ(instance->Put(L"Name", 0, &null, 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(access->ReadPropertyValue(name, 511, &bytes, buffer), WBEM_S_FALSE);
  EXPECT_EQ(bytes, 0);
}

TEST_F(WbemObjectTest, ShortBufferGetsTheNeededSizeAndStaysUntouched) {
  ComPtr<IWbemObjectAccess> access = Access(Spawn(class_.Get()));
  const LONG name = Handle(access.Get(), L"Name");
  ASSERT_EQ(WriteText(access.Get(), name, L"abc"), WBEM_S_NO_ERROR);

  byte buffer[16];
  std::memset(buffer, 0xCC, sizeof(buffer));
  LONG bytes = 0;
  EXPECT_EQ(access->ReadPropertyValue(name, 7, &bytes, buffer), WBEM_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(bytes, 8);
  for (byte b : buffer) EXPECT_EQ(b, 0xCC);

  EXPECT_EQ(access->ReadPropertyValue(name, 0, &bytes, nullptr), WBEM_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(bytes, 8);

  EXPECT_EQ(access->ReadPropertyValue(name, 8, &bytes, buffer), WBEM_S_NO_ERROR);
  EXPECT_EQ(bytes, 8);
  EXPECT_STREQ(reinterpret_cast<const wchar_t*>(buffer), L"abc");
  EXPECT_EQ(buffer[8], 0xCC);
}

TEST_F(WbemObjectTest, DwordsRoundTripAndTravelAsVtI4) {
  ComPtr<IWbemClassObject> instance = Spawn(class_.Get());
  ComPtr<IWbemObjectAccess> access = Access(instance);
  const LONG counter = Handle(access.Get(), L"Bypass_Msg_Sent");
  DWORD value = 1;
  EXPECT_EQ(access->ReadDWORD(counter, &value), WBEM_S_FALSE);
  EXPECT_EQ(value, 0u);

  ASSERT_EQ(access->WriteDWORD(counter, 0xFFFFFFFFu), WBEM_S_NO_ERROR);
  ASSERT_EQ(access->ReadDWORD(counter, &value), WBEM_S_NO_ERROR);
  EXPECT_EQ(value, 0xFFFFFFFFu);
  VARIANT got;
  CIMTYPE type = 0;
  ASSERT_EQ(instance->Get(L"Bypass_Msg_Sent", 0, &got, &type, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(got.vt, VT_I4);
  EXPECT_EQ(got.lVal, -1);
  EXPECT_EQ(type, CIM_UINT32);

  byte bytes[4];
  LONG count = 0;
  ASSERT_EQ(access->ReadPropertyValue(counter, sizeof(bytes), &count, bytes), WBEM_S_NO_ERROR);
  EXPECT_EQ(count, 4);

  ASSERT_EQ(PutNumber(instance.Get(), L"Bypass_Msg_Sent", 123), WBEM_S_NO_ERROR);
  ASSERT_EQ(access->ReadDWORD(counter, &value), WBEM_S_NO_ERROR);
  EXPECT_EQ(value, 123u);

  EXPECT_EQ(PutText(instance.Get(), L"Bypass_Msg_Sent", L"9"), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(PutNumber(instance.Get(), L"Name", 9), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(PutNumber(instance.Get(), L"Sessions", 9), WBEM_E_NOT_FOUND);
  EXPECT_EQ(instance->Get(L"Sessions", 0, &got, nullptr, nullptr), WBEM_E_NOT_FOUND);
  EXPECT_EQ(access->WriteDWORD(Handle(access.Get(), L"Name"), 1), WBEM_E_TYPE_MISMATCH);
  EXPECT_EQ(access->WriteDWORD(0, 1), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(access->ReadDWORD(counter + 1000, &value), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(access->ReadDWORD(counter, &value), WBEM_S_NO_ERROR);
  EXPECT_EQ(value, 123u);
}

TEST_F(WbemObjectTest, PlannedFailuresHitTheChosenCallsOfEveryObjectOfTheClass) {
  wmihost::FaultPlan& faults = definition_->Faults();
  faults.Fail(Op::SpawnInstance, WBEM_E_OUT_OF_MEMORY, 1, 1);
  ComPtr<IWbemClassObject> first, second, third;
  EXPECT_EQ(class_->SpawnInstance(0, &first), WBEM_S_NO_ERROR);
  EXPECT_EQ(class_->SpawnInstance(0, &second), WBEM_E_OUT_OF_MEMORY);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(class_->SpawnInstance(0, &third), WBEM_S_NO_ERROR);
  EXPECT_EQ(faults.Calls(Op::SpawnInstance), 3u);

  // A planned success code models "succeeded, but nothing came back".
  faults.Fail(Op::SpawnInstance, WBEM_S_FALSE, 0, 1);
  EXPECT_EQ(class_->SpawnInstance(0, &second), WBEM_S_FALSE);
  EXPECT_EQ(second, nullptr);

  // Instances made before the plan, and their clones, follow it too.
  ComPtr<IWbemObjectAccess> access = Access(first);
  const LONG name = Handle(access.Get(), L"Name");
  const LONG counter = Handle(access.Get(), L"Relay_Msg_Received");
  byte buffer[64];
  LONG bytes = 0;
  LONG handle = 0;
  ComPtr<IWbemClassObject> copy;
  const std::vector<std::pair<Op, std::function<HRESULT()>>> calls = {
      {Op::WriteDWORD, [&] { return access->WriteDWORD(counter, 4); }},
      {Op::WritePropertyValue, [&] { return WriteText(access.Get(), name, L"4"); }},
      {Op::ReadPropertyValue, [&] { return access->ReadPropertyValue(name, 511, &bytes, buffer); }},
      {Op::GetPropertyHandle, [&] { return access->GetPropertyHandle(L"Name", nullptr, &handle); }},
      {Op::Clone, [&] { return first->Clone(&copy); }},
  };
  for (const auto& call : calls) {
    const unsigned callsBefore = faults.Calls(call.first);
    faults.Fail(call.first, WBEM_E_PROVIDER_FAILURE);
    EXPECT_EQ(call.second(), WBEM_E_PROVIDER_FAILURE) << static_cast<int>(call.first);
    EXPECT_EQ(call.second(), WBEM_E_PROVIDER_FAILURE) << static_cast<int>(call.first);
    faults.Clear(call.first);
    EXPECT_TRUE(SUCCEEDED(call.second())) << static_cast<int>(call.first);
    EXPECT_EQ(faults.Calls(call.first), callsBefore + 3) << static_cast<int>(call.first);
  }
  EXPECT_EQ(Values(first.Get()).counters[3], 4u);
  EXPECT_EQ(Values(first.Get()).name, L"4");

  faults.Fail(Op::WriteDWORD, WBEM_E_FAILED);
  EXPECT_EQ(Access(copy)->WriteDWORD(counter, 9), WBEM_E_FAILED);
  EXPECT_EQ(Values(copy.Get()).counters[3], 4u);

  faults.Fail(Op::QueryObjectAccess, E_NOINTERFACE, 0, 1);
  ComPtr<IWbemObjectAccess> refused;
  EXPECT_EQ(third.As(&refused), E_NOINTERFACE);
  EXPECT_EQ(refused, nullptr);
  ComPtr<IWbemClassObject> stillClass;
  EXPECT_EQ(third.As(&stillClass), S_OK);
  EXPECT_EQ(third.As(&refused), S_OK);
}

TEST_F(WbemObjectTest, ConcurrentWritersKeepEveryValueWhole) {
  ComPtr<IWbemClassObject> instance = Spawn(class_.Get());
  ComPtr<IWbemObjectAccess> access = Access(instance);
  const LONG name = Handle(access.Get(), L"Name");
  constexpr DWORD kRounds = 2000;
  const std::vector<std::wstring> names = {L"alpha", L"bravo-bravo", L"c", L"delta delta delta"};
  std::vector<std::thread> writers;
  for (std::size_t t = 0; t < wmihost::kSessionCounterNames.size(); ++t) {
    writers.emplace_back([&, t] {
      const LONG counter = Handle(access.Get(), wmihost::kSessionCounterNames[t]);
      byte buffer[512];
      LONG bytes = 0;
      for (DWORD round = 1; round <= kRounds; ++round) {
        EXPECT_EQ(access->WriteDWORD(counter, round), WBEM_S_NO_ERROR);
        EXPECT_EQ(WriteText(access.Get(), name, names[t]), WBEM_S_NO_ERROR);
        ASSERT_EQ(access->ReadPropertyValue(name, 511, &bytes, buffer), WBEM_S_NO_ERROR);
        const std::wstring read(reinterpret_cast<const wchar_t*>(buffer));
        EXPECT_EQ(bytes, static_cast<LONG>((read.size() + 1) * sizeof(wchar_t)));
        EXPECT_NE(std::find(names.begin(), names.end(), read), names.end()) << "torn name";
      }
    });
  }
  for (std::thread& writer : writers) writer.join();
  const wmihost::SessionValues values = Values(instance.Get());
  for (const auto& counter : values.counters) EXPECT_EQ(counter, kRounds);
}
