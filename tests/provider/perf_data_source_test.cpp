#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "provider/module_state.h"
#include "provider/perf_data_source.h"
#include "tests/common/router_fixture.h"
#include "tools/wmihost/services.h"
#include "tools/wmihost/session_class.h"

using Microsoft::WRL::ComPtr;

namespace {

class DataSourceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    block_ = &router_.Block();
    ASSERT_TRUE(RouterBlock().Initialize(kRouterBlockName, 255, kSharedMemRead, nullptr));

    definition_ = wmihost::SessionClassDefinition();
    classObject_ = wmihost::NewClassObject(definition_);
    ComPtr<IWbemObjectAccess> access;
    ASSERT_EQ(classObject_.As(&access), S_OK);
    long nameHandle = 0;
    ASSERT_EQ(access->GetPropertyHandle(const_cast<wchar_t*>(L"Name"), nullptr, &nameHandle), S_OK);
    g_nameHandle = nameHandle;
  }

  void SetSession(int slot, const wchar_t* name, uint32_t base) { router_.SetSession(slot, name, base); }

  static uint32_t Value(const CPerfDataSource& source, int record, int index) {
    uint32_t value = 0xdeadbeef;
    EXPECT_EQ(source.GetCounter(record, index, &value), S_OK);
    return value;
  }

  ComPtr<IWbemObjectAccess> NamedInstance(const wchar_t* name) {
    ComPtr<IWbemClassObject> instance;
    EXPECT_EQ(classObject_->SpawnInstance(0, &instance), S_OK);
    ComPtr<IWbemObjectAccess> access;
    EXPECT_EQ(instance.As(&access), S_OK);
    const long bytes = static_cast<long>((wcslen(name) + 1) * sizeof(wchar_t));
    EXPECT_EQ(access->WritePropertyValue(g_nameHandle.load(), bytes, reinterpret_cast<const BYTE*>(name)), S_OK);
    return access;
  }

  static wmihost::SessionValues Read(IWbemObjectAccess* instance) {
    wmihost::SessionValues values;
    EXPECT_EQ(wmihost::ReadSessionValues(instance, &values), S_OK);
    return values;
  }

  RouterWriter router_;
  wmirouter_perf_t* block_ = nullptr;
  std::shared_ptr<wmihost::ClassDefinition> definition_;
  ComPtr<IWbemClassObject> classObject_;
};

}  // namespace

TEST_F(DataSourceTest, CopiesOnlyAfterTheStampChanges) {
  SetSession(3, L"three", 100);
  SetSession(7, L"seven", 700);
  block_->update_stamp = 1;

  CPerfDataSource source;
  source.SetCounter(2, 0, 555);
  ASSERT_EQ(source.Initialize(classObject_.Get()), 0);
  ASSERT_TRUE(Eventually([&] { return Value(source, 1, 0) == 701; }));
  // Ordinal order: slot 3 feeds record 0, slot 7 record 1, in catalogue order.
  EXPECT_EQ(Value(source, 0, 0), 101u);
  EXPECT_EQ(Value(source, 0, 1), 102u);
  EXPECT_EQ(Value(source, 0, 2), 103u);
  EXPECT_EQ(Value(source, 0, 3), 104u);
  EXPECT_EQ(Value(source, 1, 3), 704u);
  EXPECT_EQ(Value(source, 2, 0), 555u) << "records beyond the session count keep their values";

  // Counters change, the stamp does not: three polling periods later the
  // records still hold the old values.
  block_->sessions[3].bypass_msg_received = 9999;
  Sleep(350);
  EXPECT_EQ(Value(source, 0, 0), 101u);

  block_->update_stamp = 2;
  EXPECT_TRUE(Eventually([&] { return Value(source, 0, 0) == 9999; }));
}

TEST_F(DataSourceTest, NamesSelectTheirOwnSessionOrNone) {
  SetSession(3, L"three", 100);
  SetSession(7, L"seven", 700);
  SetSession(9, L"300-west", 300);
  block_->update_stamp = 5;
  CPerfDataSource source;
  ASSERT_EQ(source.Initialize(classObject_.Get()), 0);
  ASSERT_TRUE(Eventually([&] { return source.FindSession(L"300-west") != 0; }));
  source.SetCounter(12, 0, 1212);

  // 0 for WBEM_E_NOT_FOUND.
  const struct {
    const wchar_t* name;
    uint32_t first;
  } cases[] = {
      {L"seven", 701},   {L"SEVEN", 701},    {L"300-west", 301}, {L"1", 701}, {L"  0", 101}, {L"+2", 301},
      {L"3", 0},         {L"12", 0},         {L"12abc", 0},      {L"300", 0}, {L"-0x", 0},   {L"nobody", 0},
      {L"seven#2", 0},   {L"", 0},
  };
  for (const auto& test : cases) {
    auto instance = NamedInstance(test.name);
    const HRESULT hr = source.FillInstance(instance.Get());
    if (test.first == 0) {
      EXPECT_EQ(hr, static_cast<HRESULT>(WBEM_E_NOT_FOUND)) << test.name;
      EXPECT_FALSE(Read(instance.Get()).counters[0].has_value()) << test.name;
      continue;
    }
    ASSERT_EQ(hr, S_OK) << test.name;
    const auto values = Read(instance.Get());
    for (size_t k = 0; k < 4; ++k) EXPECT_EQ(values.counters[k], test.first + k) << test.name;
  }
}

// Keys ignore case, as WMI's do: later namesakes in slot order get "#n".
TEST_F(DataSourceTest, DuplicateNamesGetDistinctKeysAndTheirOwnCounters) {
  SetSession(1, L"alpha", 100);
  SetSession(2, L"Alpha", 200);
  SetSession(4, L"alpha", 400);
  SetSession(5, L"alpha#2", 500);
  // A key is matched before an ordinal.
  SetSession(8, L"1", 800);
  block_->update_stamp = 9;
  CPerfDataSource source;
  ASSERT_EQ(source.GetCounterHandles(classObject_.Get()), S_OK);
  std::vector<ServedSessionKey> sessions;
  ASSERT_TRUE(Eventually([&] {
    source.PollNow();
    source.CurrentSessions(&sessions);
    return !sessions.empty();
  }));
  std::vector<std::wstring> keys;
  for (const auto& session : sessions) keys.push_back(session.key);
  EXPECT_EQ(keys, (std::vector<std::wstring>{L"alpha", L"Alpha#2", L"alpha#3", L"alpha#2#2", L"1"}));
  const uint32_t firsts[] = {101, 201, 401, 501, 801};
  for (size_t i = 0; i < sessions.size(); ++i) {
    auto byKey = NamedInstance(sessions[i].key.c_str());
    ASSERT_EQ(source.FillInstance(byKey.Get()), S_OK) << i;
    EXPECT_EQ(Read(byKey.Get()).counters[0], firsts[i]) << i;
    int record = -1;
    auto byId = NamedInstance(L"any");
    ASSERT_EQ(source.FillSession(byId.Get(), sessions[i].id, &record), S_OK) << i;
    EXPECT_EQ(Read(byId.Get()).counters[0], firsts[i]) << i;
  }
  // The first namesake ends: the next one's key changes, so it is a new session.
  router_.ClearSession(1);
  ++block_->update_stamp;
  source.PollNow();
  Sleep(CPerfDataSource::kConfirmAfterMs + 20);
  source.PollNow();
  std::vector<ServedSessionKey> after;
  source.CurrentSessions(&after);
  ASSERT_EQ(after.size(), 4u);
  EXPECT_EQ(after[0].key, L"Alpha");
  EXPECT_NE(after[0].id, sessions[1].id);
  int record = -1;
  auto ended = NamedInstance(L"alpha");
  EXPECT_EQ(source.FillSession(ended.Get(), sessions[0].id, &record), static_cast<HRESULT>(WBEM_S_FALSE));
  EXPECT_FALSE(Read(ended.Get()).counters[0].has_value());
}

// A name read once, as a slow writer leaves it half-written, is not a
// session: it must read the same in a copy a polling period later.
TEST_F(DataSourceTest, ANameIsServedOnlyOnceTwoCopiesAgree) {
  CPerfDataSource source;
  ASSERT_EQ(source.GetCounterHandles(classObject_.Get()), S_OK);
  const auto served = [&] {
    std::vector<ServedSessionKey> sessions;
    source.CurrentSessions(&sessions);
    std::vector<std::wstring> keys;
    for (const auto& session : sessions) keys.push_back(session.key);
    return keys;
  };
  SetSession(0, L"steady", 100);
  SetSession(2, L"alpha", 200);
  ++block_->update_stamp;
  source.PollNow();
  EXPECT_EQ(served(), std::vector<std::wstring>{});
  Sleep(CPerfDataSource::kConfirmAfterMs + 20);
  source.PollNow();
  EXPECT_EQ(served(), (std::vector<std::wstring>{L"steady", L"alpha"}));
  const uint64_t generation = source.SessionGeneration();

  // Renamed in place, one unit at a time: each copy reads another name, and
  // alpha goes on until one settles.
  for (const wchar_t* partial : {L"blpha", L"brpha", L"brapa", L"bravo"}) {
    wcscpy(block_->sessions[2].name, partial);
    ++block_->update_stamp;
    source.PollNow();
    EXPECT_EQ(served(), (std::vector<std::wstring>{L"steady", L"alpha"})) << partial;
  }
  EXPECT_EQ(source.FindSession(L"bravo"), 0u);
  Sleep(CPerfDataSource::kConfirmAfterMs + 20);
  source.PollNow();
  EXPECT_EQ(served(), (std::vector<std::wstring>{L"steady", L"bravo"}));
  EXPECT_NE(source.SessionGeneration(), generation);
}

TEST_F(DataSourceTest, RejectsIndicesOutsideTheRecords) {
  CPerfDataSource source;
  ASSERT_EQ(source.GetCounterHandles(classObject_.Get()), S_OK);
  for (const wchar_t* name : {L"128", L"-1", L"99999999999999999999"}) {
    auto instance = NamedInstance(name);
    EXPECT_EQ(source.FillInstance(instance.Get()), static_cast<HRESULT>(WBEM_E_NOT_FOUND)) << name;
    EXPECT_FALSE(Read(instance.Get()).counters[0].has_value()) << "nothing may be written for " << name;
  }
  EXPECT_EQ(source.FillInstance(nullptr), static_cast<HRESULT>(WBEM_E_FAILED));
  uint32_t value = 0;
  EXPECT_EQ(source.GetCounter(128, 0, &value), static_cast<HRESULT>(WBEM_E_NOT_FOUND));
  EXPECT_EQ(source.GetCounter(0, 4, &value), static_cast<HRESULT>(WBEM_E_FAILED));
  EXPECT_EQ(source.GetCounter(0, 0, nullptr), static_cast<HRESULT>(WBEM_E_FAILED));
}

TEST_F(DataSourceTest, StopsAtTheFirstFailedWrite) {
  SetSession(0, L"zero", 0);
  ++block_->update_stamp;
  CPerfDataSource source;
  ASSERT_EQ(source.Initialize(classObject_.Get()), 0);
  ASSERT_TRUE(Eventually([&] { return source.FindSession(L"0") != 0; }));
  auto instance = NamedInstance(L"0");
  const unsigned writesBefore = definition_->Faults().Calls(wmihost::Op::WriteDWORD);
  definition_->Faults().Fail(wmihost::Op::WriteDWORD, WBEM_E_ACCESS_DENIED, 1, 1);
  EXPECT_EQ(source.FillInstance(instance.Get()), static_cast<HRESULT>(WBEM_E_ACCESS_DENIED));
  EXPECT_EQ(definition_->Faults().Calls(wmihost::Op::WriteDWORD) - writesBefore, 2u);
  definition_->Faults().Clear(wmihost::Op::WriteDWORD);

  definition_->Faults().Fail(wmihost::Op::ReadPropertyValue, WBEM_E_INVALID_OBJECT);
  EXPECT_EQ(source.FillInstance(instance.Get()), static_cast<HRESULT>(WBEM_E_INVALID_OBJECT));
  definition_->Faults().Clear(wmihost::Op::ReadPropertyValue);
}

TEST_F(DataSourceTest, InitializeFailuresLeaveNoThread) {
  const int threadsBefore = ProcessThreadCount();
  CPerfDataSource source;
  EXPECT_EQ(source.Initialize(nullptr), static_cast<long>(WBEM_E_FAILED));
  definition_->Faults().Fail(wmihost::Op::GetPropertyHandle, WBEM_E_NOT_FOUND, 2, 1);
  EXPECT_EQ(source.Initialize(classObject_.Get()), static_cast<long>(WBEM_E_NOT_FOUND));
  definition_->Faults().Clear(wmihost::Op::GetPropertyHandle);
  EXPECT_FALSE(source.IsPolling());
  EXPECT_EQ(ProcessThreadCount(), threadsBefore);
}

TEST_F(DataSourceTest, DestructorStopsTheWaitingThread) {
  const int threadsBefore = ProcessThreadCount();
  {
    CPerfDataSource source;
    ASSERT_EQ(source.Initialize(classObject_.Get()), 0);
    EXPECT_TRUE(source.IsPolling());
    EXPECT_EQ(ProcessThreadCount(), threadsBefore + 1);
  }
  EXPECT_TRUE(Eventually([&] { return ProcessThreadCount() == threadsBefore; }));
}

TEST_F(DataSourceTest, CopiesOnlyTheFirst128Sessions) {
  for (int slot = 0; slot < kSessionSlotCount; ++slot) {
    SetSession(slot, (L"s" + std::to_wstring(slot)).c_str(), static_cast<uint32_t>(slot * 10));
  }
  block_->update_stamp = 77;
  CPerfDataSource source;
  ASSERT_EQ(source.Initialize(classObject_.Get()), 0);
  ASSERT_TRUE(Eventually([&] { return Value(source, 127, 0) == 1271; }));
  EXPECT_EQ(Value(source, 0, 0), 1u);

  // A session beyond the records is neither served nor confused with one.
  auto beyond = NamedInstance(L"s200");
  EXPECT_EQ(source.FillInstance(beyond.Get()), static_cast<HRESULT>(WBEM_E_NOT_FOUND));
  EXPECT_FALSE(Read(beyond.Get()).counters[0].has_value());
}

// A block whose only name never reads the same twice: the wait for its first
// sessions is bounded per appearance, not paid again by every later call.
TEST_F(DataSourceTest, AnUnsettledNameCostsOneWaitNotOnePerCall) {
  CPerfDataSource source;
  ASSERT_EQ(source.GetCounterHandles(classObject_.Get()), S_OK);
  std::atomic<bool> writing{true};
  std::thread writer([&] {
    for (uint32_t turn = 0; writing.load(); ++turn) {
      SetSession(0, (L"flip-" + std::to_wstring(turn)).c_str(), 100);
      ++block_->update_stamp;
      Sleep(5);
    }
  });
  // The polling thread's part, played here: a copy before each call.
  Sleep(20);
  source.PollNow();
  source.AwaitFirstSessions();
  const ULONGLONG start = GetTickCount64();
  for (int call = 0; call < 5; ++call) {
    source.PollNow();
    source.AwaitFirstSessions();
  }
  const ULONGLONG waited = GetTickCount64() - start;
  writing = false;
  writer.join();
  EXPECT_LT(waited, 150u);
  // Control: a name that settles is served.
  SetSession(0, L"settled", 100);
  ++block_->update_stamp;
  EXPECT_TRUE(Eventually([&] {
    source.PollNow();
    return source.FindSession(L"settled") != 0;
  }));
}

// One copy that reads a served session's slot torn, or empty, ends nothing:
// the session goes on under its identifier, with its values as they were
// until the slot reads alike again.
TEST_F(DataSourceTest, ASingleTornReadEndsNoSession) {
  CPerfDataSource source;
  ASSERT_EQ(source.GetCounterHandles(classObject_.Get()), S_OK);
  SetSession(2, L"alpha", 200);
  ++block_->update_stamp;
  source.PollNow();
  Sleep(CPerfDataSource::kConfirmAfterMs + 20);
  source.PollNow();
  const uint64_t alpha = source.FindSession(L"alpha");
  ASSERT_NE(alpha, 0u);
  uint32_t base = 200;
  for (const wchar_t* torn : {L"alphX", L""}) {
    wcscpy(block_->sessions[2].name, torn);
    block_->sessions[2].bypass_msg_received = 9;
    ++block_->update_stamp;
    source.PollNow();
    EXPECT_EQ(source.FindSession(L"alpha"), alpha);
    EXPECT_EQ(Value(source, 0, 0), base + 1) << "not the torn slot's values";
    base += 100;
    SetSession(2, L"alpha", base);
    ++block_->update_stamp;
    source.PollNow();
    EXPECT_EQ(source.FindSession(L"alpha"), alpha);
    EXPECT_EQ(Value(source, 0, 0), base + 1);
  }
}

// A copy that must wait for a fill in progress, after reading the names,
// stores the counters read beside each name, not those of a session that
// took the slot during the wait.
TEST_F(DataSourceTest, ACopyKeepsTheCountersReadBesideTheName) {
  CPerfDataSource source;
  ASSERT_EQ(source.GetCounterHandles(classObject_.Get()), S_OK);
  SetSession(0, L"alpha", 100);
  SetSession(1, L"steady", 500);
  ++block_->update_stamp;
  ASSERT_TRUE(Eventually([&] {
    source.PollNow();
    return source.FindSession(L"alpha") != 0;
  }));
  std::thread copier;
  definition_->Faults().RunBeforeNext(wmihost::Op::WriteDWORD, [&] {
    ++block_->update_stamp;
    copier = std::thread([&] { source.PollNow(); });
    Sleep(100);
    SetSession(0, L"bravo", 200);
  });
  auto filled = NamedInstance(L"steady");
  EXPECT_EQ(source.FillInstance(filled.Get()), S_OK);
  copier.join();
  auto alpha = NamedInstance(L"alpha");
  ASSERT_EQ(source.FillInstance(alpha.Get()), S_OK);
  EXPECT_EQ(Read(alpha.Get()).counters[0], 101u);
  // Control: the copy did happen, and bravo follows once settled.
  SetSession(0, L"bravo", 200);
  ++block_->update_stamp;
  EXPECT_TRUE(Eventually([&] {
    source.PollNow();
    return source.FindSession(L"bravo") != 0;
  }));
}
