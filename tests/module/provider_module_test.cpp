// The provider DLL driven the way the WMI service drives it: loaded with
// LoadLibrary, created through its class factory, initialised with a host
// services object, and called on its hi-perf interface.

#include <array>
#include <clocale>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tests/common/router_fixture.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/host_session.h"
#include "tools/wmihost/session_class.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr HRESULT kAccessDenied = static_cast<HRESULT>(WBEM_E_ACCESS_DENIED);
constexpr HRESULT kInvalidParameter = static_cast<HRESULT>(WBEM_E_INVALID_PARAMETER);
constexpr HRESULT kFailed = static_cast<HRESULT>(WBEM_E_FAILED);
constexpr HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

struct Session {
  std::wstring name;
  std::array<uint32_t, 4> counters;
};

Session ReadSession(IUnknown* object) {
  wmihost::SessionValues values;
  EXPECT_EQ(wmihost::ReadSessionValues(object, &values), S_OK);
  Session session{values.name.value_or(L"<unset>"), {}};
  for (size_t k = 0; k < 4; ++k) session.counters[k] = values.counters[k].value_or(0xFFFFFFFFu);
  return session;
}

std::array<uint32_t, 4> Expected(uint32_t base) { return {base + 1, base + 2, base + 3, base + 4}; }

bool ThreadHasToken() {
  HANDLE token = nullptr;
  if (!OpenThreadToken(GetCurrentThread(), TOKEN_QUERY, TRUE, &token)) return false;
  CloseHandle(token);
  return true;
}

class ProviderModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    threadsBefore_ = ProcessThreadCount();
    hostObjectsBefore_ = wmihost::LiveObjectCount();
    // Our own reference keeps the module mapped when the session lets go of
    // it, so tests can go on calling objects they still hold.
    module_ = LoadLibraryW(wmihost::ProviderPathBesideExecutable().c_str());
    ASSERT_NE(module_, nullptr);
    ASSERT_EQ(host_.Load(wmihost::ProviderPathBesideExecutable()), S_OK);
  }

  void TearDown() override {
    refreshers_.clear();
    host_.Close();
    EXPECT_EQ(CanUnloadNow(), S_OK);
    EXPECT_EQ(wmihost::LiveObjectCount(), hostObjectsBefore_) << "the provider leaked host objects";
    EXPECT_TRUE(Eventually([&] { return ProcessThreadCount() == threadsBefore_; }))
        << "the polling thread outlived the last provider";
    FreeLibrary(module_);
  }

  HRESULT CanUnloadNow() {
    auto canUnloadNow = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllCanUnloadNow")));
    return canUnloadNow();
  }

  ComPtr<IClassFactory> Factory() {
    auto getClassObject = reinterpret_cast<GetClassObjectFunction>(
        reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    EXPECT_EQ(getClassObject(wmihost::kProviderClsid, IID_IClassFactory,
                             reinterpret_cast<void**>(factory.GetAddressOf())),
              S_OK);
    return factory;
  }

  void InitializeProvider() {
    ASSERT_EQ(host_.Initialize(), S_OK);
    const auto statuses = host_.HostInitSink().Statuses();
    ASSERT_EQ(statuses.size(), 1u);
    ASSERT_EQ(statuses[0].status, 0);
  }

  struct RouterSession {
    int slot;
    const wchar_t* name;
    uint32_t base;
  };

  // The router publishes these sessions, then WMI initialises the provider.
  void ServeSessions(std::initializer_list<RouterSession> sessions) {
    for (const RouterSession& session : sessions) router_.SetSession(session.slot, session.name, session.base);
    router_.Publish();
    InitializeProvider();
  }

  IWbemHiPerfProvider* HiPerf() { return host_.HiPerfProvider(); }
  IWbemServices* Services() { return &host_.HostServices(); }

  ComPtr<IWbemRefresher> NewRefresher() {
    ComPtr<IWbemRefresher> refresher;
    EXPECT_EQ(HiPerf()->CreateRefresher(Services(), 0, &refresher), S_OK);
    refreshers_.push_back(refresher);
    return refresher;
  }

  ComPtr<wmihost::HiPerfEnum> AddEnum(IWbemRefresher* refresher, long* id, HRESULT expected = S_OK) {
    auto enumerator = wmihost::HiPerfEnum::Create();
    EXPECT_EQ(HiPerf()->CreateRefreshableEnum(Services(), wmihost::kSessionClassName, refresher, 0, nullptr,
                                              enumerator.Get(), id),
              expected);
    return enumerator;
  }

  std::vector<Session> QuerySessions() {
    auto sink = wmihost::ObjectSink::Create();
    EXPECT_EQ(HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr,
                                       sink.Get()),
              S_OK);
    const auto statuses = sink->Statuses();
    EXPECT_EQ(statuses.size(), 1u);
    if (!statuses.empty()) {
      EXPECT_EQ(statuses[0].flags, WBEM_STATUS_COMPLETE);
      EXPECT_EQ(statuses[0].result, S_OK);
    }
    std::vector<Session> sessions;
    for (const auto& object : sink->Indicated()) sessions.push_back(ReadSession(object.Get()));
    return sessions;
  }

  ComPtr<IWbemObjectAccess> Template(const wchar_t* name) {
    ComPtr<IWbemClassObject> instance;
    EXPECT_EQ(host_.SessionClass()->SpawnInstance(0, &instance), S_OK);
    if (name != nullptr) {
      VARIANT value;
      value.vt = VT_BSTR;
      value.bstrVal = SysAllocString(name);
      EXPECT_EQ(instance->Put(L"Name", 0, &value, 0), S_OK);
      VariantClear(&value);
    }
    ComPtr<IWbemObjectAccess> access;
    EXPECT_EQ(instance.As(&access), S_OK);
    return access;
  }

  RouterWriter router_;
  HMODULE module_ = nullptr;
  wmihost::HostSession host_;
  std::vector<ComPtr<IWbemRefresher>> refreshers_;
  int threadsBefore_ = 0;
  long hostObjectsBefore_ = 0;
};

}  // namespace

TEST_F(ProviderModuleTest, ClassFactoryAndUnloadRules) {
  auto getClassObject = reinterpret_cast<GetClassObjectFunction>(
      reinterpret_cast<void*>(GetProcAddress(module_, "DllGetClassObject")));
  ASSERT_NE(getClassObject, nullptr);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(getClassObject(IID_IWbemServices, IID_IClassFactory, &out), CLASS_E_CLASSNOTAVAILABLE);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(getClassObject(wmihost::kProviderClsid, IID_IWbemServices, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);

  ComPtr<IClassFactory> factory = Factory();
  ComPtr<IUnknown> outer = host_.SessionClass();
  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(factory->CreateInstance(outer.Get(), IID_IUnknown, &out), CLASS_E_NOAGGREGATION);
  EXPECT_EQ(out, nullptr);
  EXPECT_EQ(factory->CreateInstance(nullptr, IID_IWbemServices, &out), E_NOINTERFACE);
  EXPECT_EQ(out, nullptr);
  {
    ComPtr<IWbemHiPerfProvider> second;
    ASSERT_EQ(factory->CreateInstance(nullptr, IID_IWbemHiPerfProvider,
                                      reinterpret_cast<void**>(second.GetAddressOf())),
              S_OK);
    ComPtr<IWbemProviderInit> sameObject;
    EXPECT_EQ(second.As(&sameObject), S_OK);
  }

  // The session's provider keeps the module busy; a server lock does too.
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  EXPECT_EQ(factory->LockServer(TRUE), S_OK);
  host_.Close();
  EXPECT_EQ(CanUnloadNow(), S_FALSE) << "a server lock keeps the module loaded";
  EXPECT_EQ(factory->LockServer(FALSE), S_OK);
  EXPECT_EQ(CanUnloadNow(), S_OK) << "factories are not counted";
}

TEST_F(ProviderModuleTest, InitializeReportsThroughTheSink) {
  IWbemProviderInit* init = host_.ProviderInit();
  auto sink = wmihost::InitSink::Create();
  wchar_t empty[] = L"";
  wchar_t cimv2[] = L"root\\cimv2";
  EXPECT_EQ(init->Initialize(nullptr, 0, empty, nullptr, Services(), nullptr, sink.Get()),
            static_cast<HRESULT>(WBEM_E_INVALID_NAMESPACE));
  EXPECT_TRUE(sink->Statuses().empty());
  EXPECT_EQ(init->Initialize(nullptr, 0, cimv2, nullptr, Services(), nullptr, nullptr), S_OK);

  EXPECT_EQ(init->Initialize(nullptr, 0, cimv2, nullptr, nullptr, nullptr, sink.Get()), S_OK);
  host_.HostServices().Faults().Fail(wmihost::Op::GetObject, WBEM_E_NOT_FOUND);
  EXPECT_EQ(init->Initialize(nullptr, 0, cimv2, nullptr, Services(), nullptr, sink.Get()), S_OK);
  host_.HostServices().Faults().Clear(wmihost::Op::GetObject);
  EXPECT_EQ(init->Initialize(nullptr, 0, cimv2, nullptr, Services(), nullptr, sink.Get()), S_OK);

  const auto statuses = sink->Statuses();
  ASSERT_EQ(statuses.size(), 3u);
  EXPECT_EQ(statuses[0].status, kFailed) << "missing services";
  EXPECT_EQ(statuses[1].status, kFailed) << "class not fetched";
  EXPECT_EQ(statuses[2].status, 0);
}

TEST_F(ProviderModuleTest, QueryInstancesServesEveryActiveSession) {
  ServeSessions({{3, L"three", 300}, {7, L"seven", 700}});
  // No refresher is needed, and the first answer already carries the
  // router's current counters.
  const auto sessions = QuerySessions();
  ASSERT_EQ(sessions.size(), 2u);
  EXPECT_EQ(sessions[0].name, L"three");
  EXPECT_EQ(sessions[0].counters, Expected(300));
  EXPECT_EQ(sessions[1].name, L"seven");
  EXPECT_EQ(sessions[1].counters, Expected(700));
}

TEST_F(ProviderModuleTest, QueryInstancesFindsARouterThatStartedLater) {
  router_.Stop();
  InitializeProvider();
  NewRefresher();
  EXPECT_TRUE(QuerySessions().empty());

  auto sink = wmihost::ObjectSink::Create();
  EXPECT_EQ(HiPerf()->QueryInstances(nullptr, const_cast<wchar_t*>(L"x"), 0, nullptr, sink.Get()), kInvalidParameter);
  EXPECT_EQ(HiPerf()->QueryInstances(Services(), nullptr, 0, nullptr, sink.Get()), kInvalidParameter);
  EXPECT_EQ(HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(L"x"), 0, nullptr, nullptr), kInvalidParameter);

  ASSERT_TRUE(router_.Start());
  router_.SetSession(0, L"late", 900);
  router_.Publish();
  const auto sessions = QuerySessions();
  ASSERT_EQ(sessions.size(), 1u);
  EXPECT_EQ(sessions[0].name, L"late");
  EXPECT_EQ(sessions[0].counters, Expected(900));
}

TEST_F(ProviderModuleTest, UninitialisedProviderRefusesToQuery) {
  auto sink = wmihost::ObjectSink::Create();
  EXPECT_EQ(HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr,
                                     sink.Get()),
            kFailed);
  EXPECT_TRUE(sink->Indicated().empty());
  IWbemObjectAccess* none[1] = {nullptr};
  EXPECT_EQ(HiPerf()->GetObjects(Services(), 1, none, 0, nullptr), static_cast<HRESULT>(WBEM_E_INVALID_OBJECT));
  // Without the class a refresher is empty: a refresh writes nothing and
  // answers what impersonation answered, here that there is no call context.
  auto refresher = NewRefresher();
  EXPECT_EQ(refresher->Refresh(0), RPC_E_CALL_COMPLETE);
}

TEST_F(ProviderModuleTest, RefreshPicksUpANewStamp) {
  ServeSessions({{0, L"alpha", 100}, {1, L"beta", 200}});
  auto refresher = NewRefresher();
  long enumId = -1;
  auto enumerator = AddEnum(refresher.Get(), &enumId);
  EXPECT_EQ(enumId, 0);
  auto entries = enumerator->Entries();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].id, 0);
  EXPECT_EQ(entries[1].id, 1);

  auto beta = [&] { return ReadSession(enumerator->Entries()[1].object.Get()); };
  ASSERT_TRUE(Eventually([&] { return SUCCEEDED(refresher->Refresh(0)) && beta().counters == Expected(200); }));
  EXPECT_EQ(beta().name, L"beta");

  router_.SetSession(1, L"beta", 5000);
  router_.Publish();
  EXPECT_TRUE(Eventually([&] { return SUCCEEDED(refresher->Refresh(0)) && beta().counters == Expected(5000); }));
  EXPECT_EQ(ReadSession(enumerator->Entries()[0].object.Get()).counters, Expected(100));
}

TEST_F(ProviderModuleTest, EnumeratorsFollowSessionsThatStartAndEnd) {
  ServeSessions({{0, L"alpha", 100}, {1, L"beta", 200}, {2, L"gamma", 300}});
  auto refresher = NewRefresher();
  long enumId = -1;
  auto enumerator = AddEnum(refresher.Get(), &enumId);
  using Entry = std::tuple<long, std::wstring, std::array<uint32_t, 4>>;
  auto entries = [](const ComPtr<wmihost::HiPerfEnum>& from) {
    std::vector<Entry> seen;
    for (const auto& entry : from->Entries()) {
      const Session session = ReadSession(entry.object.Get());
      seen.emplace_back(entry.id, session.name, session.counters);
    }
    return seen;
  };
  auto refreshedTo = [&](const std::vector<Entry>& expected) {
    return Eventually([&] { return SUCCEEDED(refresher->Refresh(0)) && entries(enumerator) == expected; });
  };
  ASSERT_TRUE(refreshedTo({{0, L"alpha", Expected(100)}, {1, L"beta", Expected(200)}, {2, L"gamma", Expected(300)}}));

  // gamma ends and delta starts: each surviving session keeps its identifier.
  router_.ClearSession(2);
  router_.SetSession(5, L"delta", 500);
  router_.Publish();
  ASSERT_TRUE(refreshedTo({{0, L"alpha", Expected(100)}, {1, L"beta", Expected(200)}, {3, L"delta", Expected(500)}}));

  // beta ends, which moves delta down an ordinal; counters alone change after that.
  router_.ClearSession(1);
  router_.Publish();
  ASSERT_TRUE(refreshedTo({{0, L"alpha", Expected(100)}, {3, L"delta", Expected(500)}}));
  const unsigned handOvers = enumerator->Faults().Calls(wmihost::Op::AddObjects);
  router_.SetSession(5, L"delta", 5000);
  router_.Publish();
  ASSERT_TRUE(refreshedTo({{0, L"alpha", Expected(100)}, {3, L"delta", Expected(5000)}}));
  EXPECT_EQ(enumerator->Faults().Calls(wmihost::Op::AddObjects), handOvers)
      << "the same sessions with new counters must not touch the enumerator";

  // An enumerator added now gets the same identifiers.
  long secondId = -1;
  auto second = AddEnum(refresher.Get(), &secondId);
  EXPECT_EQ(entries(second), entries(enumerator));
}

TEST_F(ProviderModuleTest, AnEndedSessionsObjectKeepsItsLastValues) {
  ServeSessions({{0, L"alpha", 100}, {1, L"beta", 200}, {2, L"gamma", 300}});
  auto refresher = NewRefresher();
  std::vector<ComPtr<IWbemObjectAccess>> objects;
  for (const wchar_t* name : {L"alpha", L"beta", L"gamma"}) {
    ComPtr<IWbemObjectAccess> object;
    long id = -1;
    ASSERT_EQ(HiPerf()->CreateRefreshableObject(Services(), Template(name).Get(), refresher.Get(), 0, nullptr,
                                                &object, &id),
              S_OK);
    ASSERT_NE(object, nullptr);
    objects.push_back(object);
  }
  auto counters = [&](size_t index) { return ReadSession(objects[index].Get()).counters; };
  ASSERT_TRUE(Eventually([&] { return SUCCEEDED(refresher->Refresh(0)) && counters(2) == Expected(300); }));

  // gamma ends while alpha and beta count on.
  router_.ClearSession(2);
  router_.SetSession(0, L"alpha", 1100);
  router_.SetSession(1, L"beta", 1200);
  router_.Publish();
  ASSERT_TRUE(Eventually([&] { return SUCCEEDED(refresher->Refresh(0)) && counters(0) == Expected(1100); }));
  EXPECT_EQ(counters(1), Expected(1200));
  EXPECT_EQ(counters(2), Expected(300)) << "an ended session shows its own last values";

  // delta takes gamma's slot and ordinal; gamma's object does not follow it.
  router_.SetSession(2, L"delta", 400);
  router_.Publish();
  auto delta = Template(L"delta");
  IWbemObjectAccess* handedIn[1] = {delta.Get()};
  ASSERT_TRUE(Eventually([&] {
    return SUCCEEDED(HiPerf()->GetObjects(Services(), 1, handedIn, 0, nullptr)) &&
           ReadSession(delta.Get()).counters == Expected(400);
  }));
  ASSERT_TRUE(SUCCEEDED(refresher->Refresh(0)));
  EXPECT_EQ(counters(0), Expected(1100));
  EXPECT_EQ(counters(1), Expected(1200));
  EXPECT_EQ(ReadSession(objects[2].Get()).name, L"gamma");
  EXPECT_EQ(counters(2), Expected(300));
}

TEST_F(ProviderModuleTest, ObjectIdentifiersAreUniqueAcrossRefreshers) {
  ServeSessions({{0, L"alpha", 100}, {4, L"beta", 200}});
  auto first = NewRefresher();
  auto second = NewRefresher();
  std::vector<long> ids;
  for (IWbemRefresher* refresher : {first.Get(), second.Get(), first.Get()}) {
    ComPtr<IWbemObjectAccess> object;
    long id = -1;
    ASSERT_EQ(HiPerf()->CreateRefreshableObject(Services(), Template(L"beta").Get(), refresher, 0, nullptr, &object,
                                                &id),
              S_OK);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(ReadSession(object.Get()).name, L"beta") << "a template gets the object of its own session";
    ids.push_back(id);
  }
  EXPECT_GE(ids[0], 10);
  EXPECT_EQ(ids[1], ids[0] + 1);
  EXPECT_EQ(ids[2], ids[1] + 1);

  // A template without a name yields success, no identifier and no object.
  ComPtr<IWbemObjectAccess> object;
  long id = -7;
  EXPECT_EQ(HiPerf()->CreateRefreshableObject(Services(), Template(nullptr).Get(), first.Get(), 0, nullptr, &object,
                                              &id),
            S_OK);
  EXPECT_EQ(object, nullptr);
  EXPECT_EQ(id, -7);
  // A name beyond the provider's tables is refused.
  EXPECT_EQ(HiPerf()->CreateRefreshableObject(Services(), Template(L"500").Get(), first.Get(), 0, nullptr, &object,
                                              &id),
            kNotFound);
}

TEST_F(ProviderModuleTest, TenEnumeratorsPerRefresherSlotReuseAndStopRouting) {
  ServeSessions({{0, L"alpha", 100}});
  auto refresher = NewRefresher();
  std::vector<ComPtr<wmihost::HiPerfEnum>> enumerators;
  for (long expected = 0; expected < 10; ++expected) {
    long id = -1;
    enumerators.push_back(AddEnum(refresher.Get(), &id));
    EXPECT_EQ(id, expected);
  }
  long id = -1;
  AddEnum(refresher.Get(), &id, kFailed);
  EXPECT_EQ(HiPerf()->StopRefreshing(refresher.Get(), 3, 0), S_OK);
  EXPECT_EQ(HiPerf()->StopRefreshing(refresher.Get(), 3, 0), kFailed);
  AddEnum(refresher.Get(), &id);
  EXPECT_EQ(id, 3);
  EXPECT_EQ(HiPerf()->StopRefreshing(refresher.Get(), -1, 0), kFailed);

  // Stopping routes by identifier: enumerators below ten, objects above.
  ComPtr<IWbemObjectAccess> object;
  long objectId = -1;
  ASSERT_EQ(HiPerf()->CreateRefreshableObject(Services(), Template(L"alpha").Get(), refresher.Get(), 0, nullptr,
                                              &object, &objectId),
            S_OK);

  EXPECT_EQ(HiPerf()->StopRefreshing(refresher.Get(), 9, 0), S_OK) << "identifier 9 is an enumerator";
  EXPECT_EQ(HiPerf()->StopRefreshing(refresher.Get(), objectId, 0), S_OK);
  EXPECT_EQ(HiPerf()->StopRefreshing(refresher.Get(), objectId, 0), kNotFound);
  EXPECT_EQ(HiPerf()->StopRefreshing(nullptr, objectId, 0), kFailed);
  // The removed object is still refreshed.
  EXPECT_TRUE(SUCCEEDED(refresher->Refresh(0)));
}

TEST_F(ProviderModuleTest, GetObjectsChecksArgumentsBeforeCallSecurity) {
  ServeSessions({{0, L"alpha", 100}});
  NewRefresher();
  ASSERT_TRUE(ImpersonateSelf(SecurityIdentification));
  IWbemObjectAccess* none[1] = {nullptr};
  EXPECT_EQ(HiPerf()->GetObjects(Services(), -1, none, 0, nullptr), kInvalidParameter);
  EXPECT_EQ(HiPerf()->GetObjects(nullptr, 1, none, 0, nullptr), kInvalidParameter);
  EXPECT_EQ(HiPerf()->GetObjects(Services(), 1, nullptr, 0, nullptr), kInvalidParameter);
  EXPECT_TRUE(ThreadHasToken()) << "argument checks must not touch impersonation";
  RevertToSelf();

  auto alpha = Template(L"alpha");
  IWbemObjectAccess* objects[1] = {alpha.Get()};
  ASSERT_TRUE(Eventually([&] {
    return SUCCEEDED(HiPerf()->GetObjects(Services(), 1, objects, 0, nullptr)) &&
           ReadSession(alpha.Get()).counters == Expected(100);
  }));
}

TEST_F(ProviderModuleTest, IdentifyLevelCallerIsRefusedAndReverted) {
  ServeSessions({{0, L"alpha", 100}});
  auto refresher = NewRefresher();
  auto sink = wmihost::ObjectSink::Create();
  auto alpha = Template(L"alpha");
  IWbemObjectAccess* objects[1] = {alpha.Get()};
  ComPtr<IWbemRefresher> another;

  const std::vector<std::function<HRESULT()>> calls = {
      [&] { return refresher->Refresh(0); },
      [&] {
        return HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr,
                                        sink.Get());
      },
      [&] { return HiPerf()->CreateRefresher(Services(), 0, &another); },
      [&] { return HiPerf()->GetObjects(Services(), 1, objects, 0, nullptr); },
      [&] { return HiPerf()->StopRefreshing(refresher.Get(), 10, 0); },
  };
  for (size_t call = 0; call < calls.size(); ++call) {
    ASSERT_TRUE(ImpersonateSelf(SecurityIdentification));
    EXPECT_EQ(calls[call](), kAccessDenied) << "call " << call;
    EXPECT_FALSE(ThreadHasToken()) << "call " << call << " left the thread impersonating";
    RevertToSelf();
  }
  EXPECT_TRUE(sink->Indicated().empty());
  EXPECT_EQ(another, nullptr);

  // Impersonating at impersonate level passes.
  ASSERT_TRUE(ImpersonateSelf(SecurityImpersonation));
  EXPECT_TRUE(SUCCEEDED(refresher->Refresh(0)));
  RevertToSelf();
}

TEST_F(ProviderModuleTest, DataSourceEndsWithTheLastProvider) {
  InitializeProvider();
  const int threadsWithPolling = ProcessThreadCount();
  EXPECT_GT(threadsWithPolling, threadsBefore_);

  ComPtr<IWbemProviderInit> second;
  ASSERT_EQ(Factory()->CreateInstance(nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(second.GetAddressOf())),
            S_OK);
  auto sink = wmihost::InitSink::Create();
  wchar_t cimv2[] = L"root\\cimv2";
  ASSERT_EQ(second->Initialize(nullptr, 0, cimv2, nullptr, Services(), nullptr, sink.Get()), S_OK);
  EXPECT_EQ(ProcessThreadCount(), threadsWithPolling) << "two providers share one data source";

  // A refresher keeps its provider, and so the data source, alive.
  ComPtr<IWbemHiPerfProvider> secondHiPerf;
  ASSERT_EQ(second.As(&secondHiPerf), S_OK);
  ComPtr<IWbemRefresher> refresher;
  ASSERT_EQ(secondHiPerf->CreateRefresher(Services(), 0, &refresher), S_OK);
  secondHiPerf.Reset();
  second.Reset();
  host_.Close();
  EXPECT_EQ(CanUnloadNow(), S_FALSE);
  EXPECT_EQ(ProcessThreadCount(), threadsWithPolling);

  refresher.Reset();
  EXPECT_EQ(CanUnloadNow(), S_OK);
  EXPECT_TRUE(Eventually([&] { return ProcessThreadCount() == threadsBefore_; }));
}

// The run-time library's locale belongs to the host process and to every other
// component in it.
TEST(ProviderModuleLocale, LoadingServingAndUnloadingLeaveTheProcessLocaleAlone) {
  const std::wstring path = wmihost::ProviderPathBesideExecutable();
  ASSERT_TRUE(Eventually([&] { return GetModuleHandleW(path.c_str()) == nullptr; })) << "module still loaded";
  ASSERT_STREQ(setlocale(LC_ALL, "C"), "C");
  RouterWriter router;
  router.SetSession(0, L"alpha", 100);
  router.Publish();
  {
    wmihost::HostSession host;
    ASSERT_EQ(host.Load(path), S_OK);
    EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C") << "after load";
    ASSERT_EQ(host.Initialize(), S_OK);
    auto sink = wmihost::ObjectSink::Create();
    EXPECT_EQ(host.HiPerfProvider()->QueryInstances(&host.HostServices(),
                                                    const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr,
                                                    sink.Get()),
              S_OK);
    EXPECT_EQ(sink->Indicated().size(), 1u);
    EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C") << "after serving";
  }
  EXPECT_TRUE(Eventually([&] { return GetModuleHandleW(path.c_str()) == nullptr; })) << "module not unloaded";
  EXPECT_STREQ(setlocale(LC_ALL, nullptr), "C") << "after unload";
}
