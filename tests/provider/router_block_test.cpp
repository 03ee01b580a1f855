#include <cstring>
#include <cwchar>
#include <cwctype>
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

// Reference: the C library's wcstoll, accepted only when it used the whole
// text and read at least one digit.
TEST(RouterBlock, OnlyAWholeDecimalNumberIsAnOrdinal) {
  for (const wchar_t* name : {L"7", L"  5", L"+3", L"\t-3", L"0", L"127", L"128", L"007", L"12abc", L"abc", L"",
                              L"5 ", L"+", L"-", L"1#2", L"3.0", L"0x10", L"\u0663"}) {
    wchar_t* end = nullptr;
    const long long expected = std::wcstoll(name, &end, 10);
    const bool whole = end != name && *end == L'\0' && std::iswdigit(end[-1]);
    int64_t ordinal = -999;
    EXPECT_EQ(ParseOrdinalName(name, &ordinal), whole) << name;
    if (whole) {
      EXPECT_EQ(ordinal, expected) << name;
    }
  }
  EXPECT_FALSE(ParseOrdinalName(nullptr, nullptr));
  int64_t huge = 0;
  ASSERT_TRUE(ParseOrdinalName(L"99999999999999999999999999", &huge));
  EXPECT_FALSE(IsServedIndex(huge));
  ASSERT_TRUE(ParseOrdinalName(L"-99999999999999999999999999", &huge));
  EXPECT_FALSE(IsServedIndex(huge));
}
