#include <gtest/gtest.h>

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

TEST_F(DataSourceTest, FillsInstancesByTheirName) {
  SetSession(3, L"three", 100);
  SetSession(7, L"seven", 700);
  block_->update_stamp = 5;
  CPerfDataSource source;
  ASSERT_EQ(source.Initialize(classObject_.Get()), 0);
  ASSERT_TRUE(Eventually([&] { return Value(source, 1, 0) == 701; }));
  source.SetCounter(12, 0, 1212);

  auto seven = NamedInstance(L"seven");
  ASSERT_EQ(source.FillInstance(seven.Get()), S_OK);
  const auto sevenValues = Read(seven.Get());
  EXPECT_EQ(sevenValues.counters[0], 701u);
  EXPECT_EQ(sevenValues.counters[1], 702u);
  EXPECT_EQ(sevenValues.counters[2], 703u);
  EXPECT_EQ(sevenValues.counters[3], 704u);

  // Ordinal names select their record; text after the digits is ignored.
  auto one = NamedInstance(L"1");
  ASSERT_EQ(source.FillInstance(one.Get()), S_OK);
  EXPECT_EQ(Read(one.Get()).counters[0], 701u);
  auto twelve = NamedInstance(L"12abc");
  ASSERT_EQ(source.FillInstance(twelve.Get()), S_OK);
  EXPECT_EQ(Read(twelve.Get()).counters[0], 1212u);
  // A name that is neither a session nor a number selects record 0, unless
  // the instance was named after a session, which then has ended.
  auto unknown = NamedInstance(L"nobody");
  ASSERT_EQ(source.FillInstance(unknown.Get(), FillRule::kSessionOnly), static_cast<HRESULT>(WBEM_S_FALSE));
  EXPECT_FALSE(Read(unknown.Get()).counters[0].has_value());
  ASSERT_EQ(source.FillInstance(unknown.Get()), S_OK);
  EXPECT_EQ(Read(unknown.Get()).counters[0], 101u);
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
  CPerfDataSource source;
  ASSERT_EQ(source.GetCounterHandles(classObject_.Get()), S_OK);
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
  EXPECT_EQ(source.FillInstance(beyond.Get()), S_OK);
  EXPECT_EQ(Read(beyond.Get()).counters[0], 1u) << "unknown names fall back to their numeric value, here 0";
}
