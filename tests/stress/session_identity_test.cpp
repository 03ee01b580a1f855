// Whatever the sessions do (start just before a call, end, share a name, get
// renamed in place by a slow writer) and whatever the host fails, every
// instance a client sees carries its own session's counters, or the call
// fails. The router's sessions here carry base+1..base+4 (RouterWriter), and
// `truth_` maps each key the provider may serve to its base.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "tests/stress/provider_harness.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/session_class.h"
#include "tools/wmihost/sinks.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);
// A copy confirms a new name; a polling period and some.
constexpr DWORD kConfirmedMs = 300;
// The refresher tries a sync that fell short again after a second.
constexpr DWORD kRetriedMs = 1100;

class SessionIdentityTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.pinned());
    ASSERT_EQ(host_.Load(wmihost::ProviderPathBesideExecutable()), S_OK);
    ASSERT_EQ(host_.Initialize(), S_OK);
    ASSERT_EQ(HiPerf()->CreateRefresher(Services(), 0, &refresher_), S_OK);
    enumerator_ = wmihost::HiPerfEnum::Create();
    long id = -1;
    ASSERT_EQ(HiPerf()->CreateRefreshableEnum(Services(), wmihost::kSessionClassName, refresher_.Get(), 0, nullptr,
                                              enumerator_.Get(), &id),
              S_OK);
  }

  void TearDown() override {
    enumerator_.Reset();
    refresher_.Reset();
    host_.Close();
  }

  IWbemHiPerfProvider* HiPerf() { return host_.HiPerfProvider(); }
  IWbemServices* Services() { return &host_.HostServices(); }

  void Start(int slot, const wchar_t* name, uint32_t base, const wchar_t* key = nullptr) {
    router_.SetSession(slot, name, base);
    truth_[key != nullptr ? key : name] = base;
  }
  void End(int slot) { router_.ClearSession(slot); }
  // Publishes the sessions and waits until new names are served.
  void PublishConfirmed() {
    router_.Publish();
    Sleep(kConfirmedMs);
  }

  // "" when the object is one of `truth_`'s sessions with its own counters,
  // else what is wrong.
  std::string Wrong(IUnknown* object) const {
    wmihost::SessionValues values;
    if (FAILED(wmihost::ReadSessionValues(object, &values)) || !values.name) return "unreadable";
    const auto session = truth_.find(*values.name);
    if (session == truth_.end()) return "unknown key " + std::string(values.name->begin(), values.name->end());
    for (size_t k = 0; k < 4; ++k) {
      if (values.counters[k] != session->second + 1 + k) {
        return "foreign counters under " + std::string(values.name->begin(), values.name->end());
      }
    }
    return "";
  }
  std::string WrongEntries(const std::vector<wmihost::HiPerfEnum::Entry>& entries) const {
    std::string wrong;
    for (const auto& entry : entries) wrong += Wrong(entry.object.Get());
    return wrong;
  }

  // The keys an enumeration indicates, checked; its final status in `status`.
  std::vector<std::wstring> Query(HRESULT* status = nullptr) {
    auto sink = wmihost::ObjectSink::Create();
    EXPECT_EQ(
        HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr, sink.Get()),
        S_OK);
    EXPECT_EQ(sink->Statuses().size(), 1u);
    if (status != nullptr && !sink->Statuses().empty()) *status = sink->Statuses().back().result;
    std::vector<std::wstring> keys;
    for (const auto& object : sink->Indicated()) {
      EXPECT_EQ(Wrong(object.Get()), "");
      wmihost::SessionValues values;
      wmihost::ReadSessionValues(object.Get(), &values);
      keys.push_back(values.name.value_or(L""));
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  }

  // GetObjects for one template named `name`; its counters checked on success.
  HRESULT Get(const std::wstring& name) {
    auto object = NamedTemplate(host_.SessionClass(), name);
    IWbemObjectAccess* objects[] = {object.Get()};
    const HRESULT hr = HiPerf()->GetObjects(Services(), 1, objects, 0, nullptr);
    if (SUCCEEDED(hr)) {
      EXPECT_EQ(Wrong(object.Get()), "") << "for " << std::string(name.begin(), name.end());
    }
    return hr;
  }

  std::vector<std::wstring> EnumeratedKeys() {
    std::vector<std::wstring> keys;
    for (const auto& entry : enumerator_->Entries()) {
      wmihost::SessionValues values;
      wmihost::ReadSessionValues(entry.object.Get(), &values);
      keys.push_back(values.name.value_or(L""));
    }
    std::sort(keys.begin(), keys.end());
    return keys;
  }

  // Refreshes; the enumerator's entries checked.
  void Refresh() {
    const HRESULT hr = refresher_->Refresh(0);
    EXPECT_TRUE(hr == S_OK || hr == RPC_E_CALL_COMPLETE) << std::hex << hr;
    EXPECT_EQ(WrongEntries(enumerator_->Entries()), "");
  }

  RouterWriter router_;
  PinnedModule module_;
  wmihost::HostSession host_;
  ComPtr<IWbemRefresher> refresher_;
  ComPtr<wmihost::HiPerfEnum> enumerator_;
  std::map<std::wstring, uint32_t> truth_;
};

}  // namespace

TEST_F(SessionIdentityTest, ASessionStartedJustBeforeACallIsServedItsOwnCountersOrNotYet) {
  Start(0, L"alpha", 100);
  Start(1, L"beta", 200);
  PublishConfirmed();
  int objectsServed = 0;
  for (uint32_t round = 1; round <= 20; ++round) {
    const std::wstring name = L"charlie-" + std::to_wstring(round);
    Start(2 + static_cast<int>(round % 3), name.c_str(), 1000 * round);
    router_.Publish();
    auto charlie = NamedTemplate(host_.SessionClass(), name);
    ComPtr<IWbemObjectAccess> object;
    long id = -1;
    const HRESULT added =
        HiPerf()->CreateRefreshableObject(Services(), charlie.Get(), refresher_.Get(), 0, nullptr, &object, &id);
    EXPECT_TRUE(added == S_OK || added == kNotFound) << std::hex << added;
    Query();
    Refresh();
    if (added == S_OK) {
      ++objectsServed;
      EXPECT_EQ(Wrong(object.Get()), "") << round;
      EXPECT_EQ(HiPerf()->StopRefreshing(refresher_.Get(), id, 0), S_OK);
    }
  }
  // Control: once confirmed, the last one is served everywhere.
  Sleep(kConfirmedMs);
  EXPECT_EQ(Get(L"charlie-20"), S_OK);
  Refresh();
  EXPECT_EQ(Query().size(), 5u);
  EXPECT_EQ(enumerator_->Entries().size(), 5u);
  std::printf("refreshable objects served at once: %d of 20\n", objectsServed);
}

TEST_F(SessionIdentityTest, NamesOfNoCurrentSessionAreNotFound) {
  Start(0, L"alpha", 100);
  Start(1, L"300-west", 300);
  Start(2, L"charlie", 500);
  PublishConfirmed();
  HRESULT status = E_FAIL;
  EXPECT_EQ(Query(&status), (std::vector<std::wstring>{L"300-west", L"alpha", L"charlie"}));
  EXPECT_EQ(status, S_OK);

  // Keys ignore case; a whole decimal number is an ordinal in slot order.
  const struct {
    const wchar_t* name;
    HRESULT result;
  } cases[] = {{L"alpha", S_OK},    {L"ALPHA", S_OK},      {L"300-west", S_OK}, {L"1", S_OK},
               {L" +2", S_OK},      {L"ghost", kNotFound}, {L"300", kNotFound}, {L"3", kNotFound},
               {L"128", kNotFound}, {L"1x", kNotFound}};
  truth_[L"ALPHA"] = truth_[L"alpha"];
  truth_[L"1"] = truth_[L"300-west"];
  truth_[L" +2"] = truth_[L"charlie"];
  for (const auto& test : cases) {
    EXPECT_EQ(Get(test.name), test.result) << std::string(test.name, test.name + wcslen(test.name));
    auto object = NamedTemplate(host_.SessionClass(), test.name);
    ComPtr<IWbemObjectAccess> refreshed;
    long id = -1;
    const HRESULT added =
        HiPerf()->CreateRefreshableObject(Services(), object.Get(), refresher_.Get(), 0, nullptr, &refreshed, &id);
    EXPECT_EQ(added, test.result) << std::string(test.name, test.name + wcslen(test.name));
  }

  End(2);
  router_.Publish();
  EXPECT_TRUE(Eventually([&] { return Get(L"charlie") == kNotFound; }));
  EXPECT_EQ(Query(), (std::vector<std::wstring>{L"300-west", L"alpha"}));
}

TEST_F(SessionIdentityTest, SessionsSharingANameEachServeTheirOwnCounters) {
  Start(1, L"dup", 100);
  Start(2, L"DUP", 200, L"DUP#2");
  Start(4, L"dup", 400, L"dup#3");
  PublishConfirmed();
  Refresh();
  const std::vector<std::wstring> keys = {L"DUP#2", L"dup", L"dup#3"};
  EXPECT_EQ(EnumeratedKeys(), keys);
  EXPECT_EQ(Query(), keys);
  for (const std::wstring& key : keys) EXPECT_EQ(Get(key), S_OK);
}

// The host fails in the middle of a sync: a spawn for one new session, then
// an enumerator's AddObjects. Refresh still reports its fills, sessions that
// go on never leave the enumerator, an ordinal never shifts to the next
// session, and the refresher catches up at its retry rate.
TEST_F(SessionIdentityTest, HostFaultsInTheMiddleOfASyncLeaveNoGapAndNoWrongNumbers) {
  Start(0, L"alpha", 100);
  Start(1, L"beta", 200);
  PublishConfirmed();
  Refresh();
  ASSERT_EQ(enumerator_->Entries().size(), 2u);

  // An enumeration leaves out the instance it cannot build, goes on, and
  // completes with the failure.
  wmihost::FaultPlan& faults = host_.SessionFaults();
  faults.Fail(wmihost::Op::SpawnInstance, WBEM_E_OUT_OF_MEMORY, 0, 1);
  HRESULT status = S_OK;
  EXPECT_EQ(Query(&status), std::vector<std::wstring>{L"beta"});
  EXPECT_EQ(status, static_cast<HRESULT>(WBEM_E_OUT_OF_MEMORY));

  faults.Fail(wmihost::Op::SpawnInstance, WBEM_E_OUT_OF_MEMORY);
  Start(2, L"charlie", 300);
  Start(3, L"delta", 400);
  PublishConfirmed();
  const unsigned spawnsBefore = faults.Calls(wmihost::Op::SpawnInstance);
  for (int refresh = 0; refresh < 20; ++refresh) {
    EXPECT_EQ(refresher_->Refresh(0), S_OK) << refresh;
  }
  EXPECT_LE(faults.Calls(wmihost::Op::SpawnInstance) - spawnsBefore, 4u) << "retried at a bounded rate";
  EXPECT_EQ(EnumeratedKeys(), (std::vector<std::wstring>{L"alpha", L"beta"}));

  // Only charlie's spawn fails now: ordinal 2 is charlie's, never delta's.
  faults.Fail(wmihost::Op::SpawnInstance, WBEM_E_OUT_OF_MEMORY, 0, 1);
  Sleep(kRetriedMs);
  Refresh();
  EXPECT_EQ(EnumeratedKeys(), (std::vector<std::wstring>{L"alpha", L"beta", L"delta"}));
  auto second = NamedTemplate(host_.SessionClass(), L"2");
  ComPtr<IWbemObjectAccess> object;
  long id = -1;
  const HRESULT added =
      HiPerf()->CreateRefreshableObject(Services(), second.Get(), refresher_.Get(), 0, nullptr, &object, &id);
  EXPECT_TRUE(FAILED(added)) << std::hex << added;
  Sleep(kRetriedMs);
  Refresh();
  EXPECT_EQ(EnumeratedKeys(), (std::vector<std::wstring>{L"alpha", L"beta", L"charlie", L"delta"}));

  // alpha ends and echo starts; the enumerator refuses echo once. A reader
  // at that moment still finds every session that goes on.
  End(0);
  Start(4, L"echo", 500);
  PublishConfirmed();
  std::vector<std::wstring> seenMidSync;
  enumerator_->Faults().RunBeforeNext(wmihost::Op::AddObjects, [&] { seenMidSync = EnumeratedKeys(); });
  enumerator_->Faults().Fail(wmihost::Op::AddObjects, WBEM_E_OUT_OF_MEMORY, 0, 1);
  Refresh();
  EXPECT_EQ(seenMidSync, (std::vector<std::wstring>{L"beta", L"charlie", L"delta"}));
  EXPECT_EQ(EnumeratedKeys(), (std::vector<std::wstring>{L"beta", L"charlie", L"delta"}));
  Sleep(kRetriedMs);
  Refresh();
  EXPECT_EQ(EnumeratedKeys(), (std::vector<std::wstring>{L"beta", L"charlie", L"delta", L"echo"}));
}

// A reader on another thread looks at the enumerator while refreshes follow
// sessions that keep changing: the steady ones are in every look.
TEST_F(SessionIdentityTest, AReaderRacingSyncsAlwaysFindsTheSessionsThatGoOn) {
  Start(0, L"steady-1", 100);
  Start(9, L"steady-2", 900);
  PublishConfirmed();
  Refresh();
  std::atomic<bool> reading{true};
  std::atomic<int> looks{0};
  std::string missed;
  std::thread reader([&] {
    while (reading.load()) {
      const auto entries = enumerator_->Entries();
      int steady = 0;
      for (const auto& entry : entries) {
        wmihost::SessionValues values;
        wmihost::ReadSessionValues(entry.object.Get(), &values);
        steady += values.name && values.name->rfind(L"steady-", 0) == 0 ? 1 : 0;
      }
      if (steady != 2 && missed.empty()) missed = "a look without both steady sessions";
      ++looks;
    }
  });
  for (uint32_t round = 1; round <= 15; ++round) {
    for (int slot = 1; slot < 9; ++slot) {
      const std::wstring name = L"churn-" + std::to_wstring(round) + L"-" + std::to_wstring(slot);
      Start(slot, name.c_str(), round * 10000 + static_cast<uint32_t>(slot) * 100);
    }
    router_.Publish();
    Sleep(150);
    Refresh();
  }
  reading = false;
  reader.join();
  EXPECT_EQ(missed, "");
  EXPECT_GT(looks.load(), 15);
  Sleep(kConfirmedMs);
  Refresh();
  EXPECT_EQ(enumerator_->Entries().size(), 10u) << "the churning sessions were followed";
}

// A slow writer renames a 16-unit name in place, a unit at a time, with a
// stamp change after each unit. No half-written name becomes a session.
TEST_F(SessionIdentityTest, ASlowInPlaceRenameNeverShowsAHalfWrittenSession) {
  const std::wstring names[] = {L"aaaaaaaaaaaaaaaa", L"bbbbbbbbbbbbbbbb"};
  const uint32_t bases[] = {5000, 6000};
  Start(0, L"steady", 100);
  Start(5, names[0].c_str(), bases[0]);
  truth_[names[1]] = bases[1];
  router_.Publish();
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (int turn = 1; writing.load(); ++turn) {
      const std::wstring& name = names[turn % 2];
      wmirouter_session_t& slot = router_.Block().sessions[5];
      for (size_t unit = 0; unit < name.size() && writing.load(); ++unit) {
        static_cast<volatile wchar_t&>(slot.name[unit]) = name[unit];
        router_.Publish();
        Sleep(2);
      }
      router_.SetSession(5, name.c_str(), bases[turn % 2]);
      router_.Publish();
      for (int held = 0; held < 30 && writing.load(); ++held) Sleep(10);
    }
  });
  std::map<std::wstring, int> seen;
  const ULONGLONG deadline = GetTickCount64() + 3000;
  int refreshes = 0;
  while (GetTickCount64() < deadline) {
    Refresh();
    for (const std::wstring& key : EnumeratedKeys()) ++seen[key];
    ++refreshes;
    Sleep(5);
  }
  writing = false;
  writer.join();
  for (const auto& entry : seen) {
    EXPECT_TRUE(truth_.count(entry.first) == 1) << std::string(entry.first.begin(), entry.first.end());
  }
  // Control: both whole names were served.
  EXPECT_GT(seen[names[0]], 0);
  EXPECT_GT(seen[names[1]], 0);
  EXPECT_GT(refreshes, 100);
}
