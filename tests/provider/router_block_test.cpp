#include <cstring>
#include <memory>

#include <gtest/gtest.h>

#include "provider/router_block.h"

namespace {
std::unique_ptr<wmirouter_perf_t> EmptyBlock() {
  auto block = std::make_unique<wmirouter_perf_t>();
  std::memset(block.get(), 0, sizeof(wmirouter_perf_t));
  return block;
}
void SetName(wmirouter_session_t& slot, const wchar_t* name) { wcsncpy(slot.name, name, kSessionNameUnits); }
}  // namespace

TEST(RouterBlock, WalksActiveSlotsInOrder) {
  auto block = EmptyBlock();
  EXPECT_EQ(block->ActiveSessionCount(), 0);
  EXPECT_EQ(block->FirstSession(), -1);

  SetName(block->sessions[3], L"alpha");
  SetName(block->sessions[7], L"beta");
  EXPECT_EQ(block->ActiveSessionCount(), 2);
  EXPECT_EQ(block->FirstSession(), 3);
  EXPECT_EQ(block->NextSession(3), 7);
  EXPECT_EQ(block->NextSession(4), 7);
  EXPECT_EQ(block->NextSession(7), -1);
  EXPECT_EQ(block->NextSession(-1), -1);
  EXPECT_EQ(block->NextSession(-100), -1);
}

TEST(RouterBlock, NeverVisitsSlotsAbove254) {
  auto block = EmptyBlock();
  for (auto& slot : block->sessions) SetName(slot, L"s");
  EXPECT_EQ(block->ActiveSessionCount(), 255);
  EXPECT_EQ(block->NextSession(253), 254);
  EXPECT_EQ(block->NextSession(254), -1);
  EXPECT_EQ(block->NextSession(1000), -1);
}

TEST(RouterBlock, CountersComeFromTheCatalogueOffsets) {
  auto block = EmptyBlock();
  auto* slotBytes = reinterpret_cast<unsigned char*>(&block->sessions[5]);
  const uint32_t atOffset[] = {64, 72, 80, 88};
  for (uint32_t offset : atOffset) std::memcpy(slotBytes + offset, &offset, sizeof(offset));
  // The neighbouring unread words must not leak into the values.
  std::memset(slotBytes + 68, 0xff, 4);
  std::memset(slotBytes + 76, 0xff, 4);

  EXPECT_EQ(ReadSlotCounter(block->sessions[5], 0), 72u);  // Bypass_Msg_Received
  EXPECT_EQ(ReadSlotCounter(block->sessions[5], 1), 88u);  // Bypass_Msg_Sent
  EXPECT_EQ(ReadSlotCounter(block->sessions[5], 2), 80u);  // Msg_Sent2Relay
  EXPECT_EQ(ReadSlotCounter(block->sessions[5], 3), 64u);  // Relay_Msg_Received
  EXPECT_STREQ(kCounterPropertyNames[0], L"Bypass_Msg_Received");
  EXPECT_STREQ(kCounterPropertyNames[3], L"Relay_Msg_Received");
  EXPECT_EQ(reinterpret_cast<unsigned char*>(&block->sessions[5]) - reinterpret_cast<unsigned char*>(block.get()),
            608 + 136 * 5);
}

TEST(RouterBlock, NameWithoutTerminatorStopsAtTheSlotEnd) {
  auto block = EmptyBlock();
  for (auto& unit : block->sessions[0].name) unit = L'x';
  // Bytes right after the name field: a reader running on would pick these up.
  block->sessions[0].relay_msg_received = 0x00410041;
  wchar_t name[kSessionNameUnits + 1];
  EXPECT_EQ(CopySessionName(block->sessions[0], name), 32u);
  EXPECT_EQ(std::wstring(name), std::wstring(32, L'x'));

  SetName(block->sessions[1], L"short");
  EXPECT_EQ(CopySessionName(block->sessions[1], name), 5u);
  EXPECT_STREQ(name, L"short");
  EXPECT_EQ(CopySessionName(block->sessions[2], name), 0u);
  EXPECT_STREQ(name, L"");
}

TEST(RouterBlock, InstanceNamesParseLikeAWideToIntegerConversion) {
  EXPECT_EQ(ParseInstanceIndex(L"7"), 7);
  EXPECT_EQ(ParseInstanceIndex(L"12abc"), 12);
  EXPECT_EQ(ParseInstanceIndex(L"abc"), 0);
  EXPECT_EQ(ParseInstanceIndex(L""), 0);
  EXPECT_EQ(ParseInstanceIndex(nullptr), 0);
  EXPECT_EQ(ParseInstanceIndex(L"  +5"), 5);
  EXPECT_EQ(ParseInstanceIndex(L"\t-3x"), -3);
  const int64_t huge = ParseInstanceIndex(L"99999999999999999999999999");
  EXPECT_GT(huge, 127);
  EXPECT_FALSE(IsServedIndex(huge));
  EXPECT_FALSE(IsServedIndex(ParseInstanceIndex(L"-99999999999999999999999999")));
  EXPECT_TRUE(IsServedIndex(127));
  EXPECT_FALSE(IsServedIndex(128));
  EXPECT_FALSE(IsServedIndex(-1));
}
