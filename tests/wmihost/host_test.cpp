#include <vector>

#include "tests/wmihost/host_test_support.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/host_session.h"
#include "tools/wmihost/services.h"
#include "tools/wmihost/sinks.h"

using wmihost::Op;

namespace {

// Spawns `count` named session instances of `classObject`.
std::vector<ComPtr<IWbemObjectAccess>> NamedInstances(IWbemClassObject* classObject, int count) {
  std::vector<ComPtr<IWbemObjectAccess>> instances;
  for (int i = 0; i < count; ++i) {
    ComPtr<IWbemClassObject> instance;
    EXPECT_EQ(classObject->SpawnInstance(0, &instance), WBEM_S_NO_ERROR);
    ComPtr<IWbemObjectAccess> access;
    EXPECT_EQ(instance.As(&access), S_OK);
    LONG handle = 0;
    EXPECT_EQ(access->GetPropertyHandle(L"Name", nullptr, &handle), WBEM_S_NO_ERROR);
    const std::wstring name = std::to_wstring(i);
    EXPECT_EQ(access->WritePropertyValue(handle, static_cast<LONG>((name.size() + 1) * sizeof(wchar_t)),
                                         reinterpret_cast<const byte*>(name.c_str())),
              WBEM_S_NO_ERROR);
    instances.push_back(access);
  }
  return instances;
}

struct Bstr {
  explicit Bstr(const wchar_t* text) : value(SysAllocString(text)) {}
  ~Bstr() { SysFreeString(value); }
  BSTR value;
};

}  // namespace

TEST_F(HostTest, ServicesServeTheirClassesAndNothingElse) {
  ComPtr<wmihost::Services> services = wmihost::Services::Create();
  ComPtr<IWbemClassObject> sessionClass = services->AddClass(wmihost::SessionClassDefinition());

  Bstr name(wmihost::kSessionClassName);
  ComPtr<IWbemClassObject> got;
  ASSERT_EQ(services->GetObject(name.value, 0, nullptr, &got, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(got.Get(), sessionClass.Get());
  got.Reset();
  Bstr lowerCase(L"win32_perfrawdata_fernwick_router_session");
  EXPECT_EQ(services->GetObject(lowerCase.value, 0, nullptr, &got, nullptr), WBEM_S_NO_ERROR);
  got.Reset();
  Bstr unknown(L"Win32_PerfRawData_Fernwick_Router");
  EXPECT_EQ(services->GetObject(unknown.value, 0, nullptr, &got, nullptr), WBEM_E_NOT_FOUND);
  EXPECT_EQ(got, nullptr);

  services->Faults().Fail(Op::GetObject, WBEM_E_ACCESS_DENIED, 0, 1);
  EXPECT_EQ(services->GetObject(name.value, 0, nullptr, &got, nullptr), WBEM_E_ACCESS_DENIED);
  EXPECT_EQ(got, nullptr);
  EXPECT_EQ(services->GetObject(name.value, 0, nullptr, &got, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(services->Faults().Calls(Op::GetObject), 5u);

  ComPtr<IWbemServices> asServices;
  EXPECT_EQ(services.As(&asServices), S_OK);
  ComPtr<IWbemClassObject> notAClass;
  EXPECT_EQ(services.As(&notAClass), E_NOINTERFACE);
  ComPtr<IEnumWbemClassObject> results;
  Bstr language(L"WQL");
  EXPECT_EQ(services->ExecQuery(language.value, name.value, 0, nullptr, &results), WBEM_E_NOT_SUPPORTED);
  EXPECT_EQ(services->PutInstance(got.Get(), 0, nullptr, nullptr), WBEM_E_NOT_SUPPORTED);
}

TEST_F(HostTest, ObjectSinkKeepsWhatWasIndicatedAndEveryStatus) {
  ComPtr<IWbemClassObject> sessionClass = wmihost::NewClassObject(wmihost::SessionClassDefinition());
  ComPtr<wmihost::ObjectSink> sink = wmihost::ObjectSink::Create();
  {
    std::vector<ComPtr<IWbemObjectAccess>> instances = NamedInstances(sessionClass.Get(), 2);
    IWbemClassObject* batch[] = {instances[0].Get(), instances[1].Get()};
    EXPECT_EQ(sink->Indicate(2, batch), WBEM_S_NO_ERROR);
  }
  const auto indicated = sink->Indicated();
  ASSERT_EQ(indicated.size(), 2u);
  EXPECT_EQ(Values(indicated[0].Get()).name, L"0");
  EXPECT_EQ(Values(indicated[1].Get()).name, L"1");

  EXPECT_EQ(sink->SetStatus(WBEM_STATUS_COMPLETE, WBEM_S_NO_ERROR, nullptr, nullptr), WBEM_S_NO_ERROR);
  Bstr text(L"partial");
  EXPECT_EQ(sink->SetStatus(WBEM_STATUS_PROGRESS, WBEM_E_FAILED, text.value, sessionClass.Get()), WBEM_S_NO_ERROR);
  const auto statuses = sink->Statuses();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].flags, WBEM_STATUS_COMPLETE);
  EXPECT_EQ(statuses[0].result, WBEM_S_NO_ERROR);
  EXPECT_FALSE(statuses[0].text.has_value());
  EXPECT_EQ(statuses[0].object, nullptr);
  EXPECT_EQ(statuses[1].flags, WBEM_STATUS_PROGRESS);
  EXPECT_EQ(statuses[1].result, WBEM_E_FAILED);
  EXPECT_EQ(statuses[1].text, L"partial");
  EXPECT_EQ(statuses[1].object.Get(), sessionClass.Get());

  EXPECT_EQ(sink->Indicate(-1, nullptr), WBEM_E_INVALID_PARAMETER);
  EXPECT_EQ(sink->Indicated().size(), 2u);
}

TEST_F(HostTest, InitSinkRecordsEveryStatus) {
  ComPtr<wmihost::InitSink> sink = wmihost::InitSink::Create();
  EXPECT_TRUE(sink->Statuses().empty());
  EXPECT_EQ(sink->SetStatus(WBEM_E_FAILED, 0), WBEM_S_NO_ERROR);
  EXPECT_EQ(sink->SetStatus(WBEM_S_INITIALIZED, 0), WBEM_S_NO_ERROR);
  const auto statuses = sink->Statuses();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[0].status, WBEM_E_FAILED);
  EXPECT_EQ(statuses[1].status, WBEM_S_INITIALIZED);
  EXPECT_EQ(statuses[1].flags, 0);
  ComPtr<IWbemProviderInitSink> asInitSink;
  EXPECT_EQ(sink.As(&asInitSink), S_OK);
}

TEST_F(HostTest, EnumeratorHoldsItsOwnReferences) {
  ComPtr<IWbemClassObject> sessionClass = wmihost::NewClassObject(wmihost::SessionClassDefinition());
  ComPtr<wmihost::HiPerfEnum> enumerator = wmihost::HiPerfEnum::Create();
  const long withClass = wmihost::LiveObjectCount();
  {
    std::vector<ComPtr<IWbemObjectAccess>> instances = NamedInstances(sessionClass.Get(), 3);
    LONG ids[] = {0, 1, 2};
    IWbemObjectAccess* objects[] = {instances[0].Get(), instances[1].Get(), instances[2].Get()};
    ASSERT_EQ(enumerator->AddObjects(0, 3, ids, objects), WBEM_S_NO_ERROR);

    // All or nothing: a null entry, or a planned failure, adds none.
    LONG moreIds[] = {5, 6};
    IWbemObjectAccess* withNull[] = {instances[0].Get(), nullptr};
    EXPECT_EQ(enumerator->AddObjects(0, 2, moreIds, withNull), WBEM_E_INVALID_PARAMETER);
    enumerator->Faults().Fail(Op::AddObjects, WBEM_E_OUT_OF_MEMORY, 0, 1);
    EXPECT_EQ(enumerator->AddObjects(0, 3, ids, objects), WBEM_E_OUT_OF_MEMORY);
  }
  EXPECT_EQ(wmihost::LiveObjectCount(), withClass + 3);
  auto entries = enumerator->Entries();
  ASSERT_EQ(entries.size(), 3u);
  for (LONG i = 0; i < 3; ++i) {
    EXPECT_EQ(entries[i].id, i);
    EXPECT_EQ(Values(entries[i].object.Get()).name, std::to_wstring(i));
  }

  IWbemObjectAccess* out[3] = {};
  ULONG returned = 0;
  EXPECT_EQ(enumerator->GetObjects(0, 2, out, &returned), WBEM_E_BUFFER_TOO_SMALL);
  EXPECT_EQ(returned, 3u);
  EXPECT_EQ(out[0], nullptr);
  ASSERT_EQ(enumerator->GetObjects(0, 3, out, &returned), WBEM_S_NO_ERROR);
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(out[i], entries[i].object.Get());
    out[i]->Release();
  }
  entries.clear();

  LONG middle[] = {1, 42};
  EXPECT_EQ(enumerator->RemoveObjects(0, 2, middle), WBEM_S_NO_ERROR);
  entries = enumerator->Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].id, 0);
  EXPECT_EQ(entries[1].id, 2);
  entries.clear();
  EXPECT_EQ(wmihost::LiveObjectCount(), withClass + 2);

  EXPECT_EQ(enumerator->RemoveAll(0), WBEM_S_NO_ERROR);
  EXPECT_TRUE(enumerator->Entries().empty());
  EXPECT_EQ(wmihost::LiveObjectCount(), withClass);
}

TEST_F(HostTest, LiveCountFollowsEveryKindOfHostObject) {
  const long start = wmihost::LiveObjectCount();
  ComPtr<wmihost::Services> services = wmihost::Services::Create();
  ComPtr<IWbemClassObject> sessionClass = services->AddClass(wmihost::SessionClassDefinition());
  ComPtr<IWbemClassObject> instance = Spawn(sessionClass.Get());
  ComPtr<wmihost::ObjectSink> objectSink = wmihost::ObjectSink::Create();
  ComPtr<wmihost::InitSink> initSink = wmihost::InitSink::Create();
  ComPtr<wmihost::HiPerfEnum> enumerator = wmihost::HiPerfEnum::Create();
  EXPECT_EQ(wmihost::LiveObjectCount(), start + 6);

  // An extra reference keeps an object alive; the last one destroys it.
  IWbemClassObject* extra = instance.Get();
  EXPECT_EQ(extra->AddRef(), 2u);
  instance.Reset();
  EXPECT_EQ(wmihost::LiveObjectCount(), start + 6);
  EXPECT_EQ(extra->Release(), 0u);
  EXPECT_EQ(wmihost::LiveObjectCount(), start + 5);

  // The services keep their class alive.
  sessionClass.Reset();
  EXPECT_EQ(wmihost::LiveObjectCount(), start + 5);
  services.Reset();
  EXPECT_EQ(wmihost::LiveObjectCount(), start + 3);
}

TEST_F(HostTest, SessionReportsLoaderFailuresAsHresults) {
  wmihost::HostSession session;
  EXPECT_EQ(session.Initialize(), E_UNEXPECTED);
  EXPECT_EQ(session.CanUnloadNow(), E_UNEXPECTED);
  EXPECT_EQ(session.Load(L"C:\\fernwick-missing\\nothing.dll"), HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND));
  EXPECT_EQ(session.Load(L"kernel32.dll"), HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND));
  EXPECT_EQ(session.ProviderInit(), nullptr);
  EXPECT_EQ(session.HiPerfProvider(), nullptr);
  EXPECT_EQ(session.CanUnloadNow(), E_UNEXPECTED);

  // The session's services serve the session class it exposes.
  Bstr name(wmihost::kSessionClassName);
  ComPtr<IWbemClassObject> served;
  ASSERT_EQ(session.HostServices().GetObject(name.value, 0, nullptr, &served, nullptr), WBEM_S_NO_ERROR);
  EXPECT_EQ(served.Get(), session.SessionClass());
}

TEST_F(HostTest, SessionLoadsAndInitialisesTheProviderDll) {
  wmihost::HostSession session;
  ASSERT_EQ(session.Load(wmihost::ProviderPathBesideExecutable()), S_OK);
  ASSERT_NE(session.ProviderInit(), nullptr);
  ASSERT_NE(session.HiPerfProvider(), nullptr);
  EXPECT_EQ(session.CanUnloadNow(), S_FALSE);

  EXPECT_EQ(session.Initialize(), S_OK);
  auto statuses = session.HostInitSink().Statuses();
  ASSERT_EQ(statuses.size(), 1u);
  EXPECT_EQ(statuses[0].status, WBEM_S_INITIALIZED);
  EXPECT_EQ(statuses[0].flags, 0);
  EXPECT_EQ(session.HostServices().Faults().Calls(Op::GetObject), 1u);

  // A planned GetObject failure reaches the provider through the session's services.
  session.HostServices().Faults().Fail(Op::GetObject, WBEM_E_NOT_FOUND, 0, 1);
  EXPECT_EQ(session.Initialize(), S_OK);
  statuses = session.HostInitSink().Statuses();
  ASSERT_EQ(statuses.size(), 2u);
  EXPECT_EQ(statuses[1].status, WBEM_E_FAILED);

  session.Close();
  EXPECT_EQ(session.ProviderInit(), nullptr);
}
