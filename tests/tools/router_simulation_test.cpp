#include "tools/routersim/router_simulation.h"

#include <gtest/gtest.h>

#include <cstring>
#include <cwchar>
#include <memory>

namespace {

using routersim::ChurnEvent;
using routersim::RouterSimulation;

class RouterSimulationTest : public ::testing::Test {
 protected:
  RouterSimulationTest() : block_(std::make_unique<wmirouter_perf_t>()) { std::memset(block_.get(), 0, sizeof(*block_)); }

  uint32_t Counter(int slot, int index) const { return ReadSlotCounter(block_->sessions[slot], index); }
  std::wstring SlotName(int slot) const {
    wchar_t name[kSessionNameUnits + 1];
    CopySessionName(block_->sessions[slot], name);
    return name;
  }

  std::unique_ptr<wmirouter_perf_t> block_;
};

TEST_F(RouterSimulationTest, PublishesNamedSessionsWithTheirStartValuesInCatalogueOrder) {
  RouterSimulation simulation(3, 7, 0);
  simulation.Publish(*block_);

  EXPECT_EQ(block_->ActiveSessionCount(), 3);
  const auto& sessions = simulation.Sessions();
  ASSERT_EQ(sessions.size(), 3u);
  const wchar_t* names[] = {L"session-01", L"session-02", L"session-03"};
  for (int slot = 0; slot < 3; ++slot) {
    EXPECT_EQ(SlotName(slot), names[slot]);
    EXPECT_EQ(sessions[slot].slot, slot);
    for (int k = 0; k < kCounterCount; ++k) {
      EXPECT_EQ(Counter(slot, k), sessions[slot].start[k]) << "slot " << slot << " counter " << k;
      EXPECT_GE(sessions[slot].step[k], 1u);
      EXPECT_LE(sessions[slot].step[k], 9u);
    }
  }
  EXPECT_FALSE(block_->sessions[3].IsActive());
}

TEST_F(RouterSimulationTest, EveryTickAddsEachSessionsStepsAndChangesTheStamp) {
  RouterSimulation simulation(2, 99, 0);
  simulation.Publish(*block_);
  const uint64_t firstStamp = block_->update_stamp;

  for (int tick = 1; tick <= 3; ++tick) {
    const uint64_t before = block_->update_stamp;
    EXPECT_EQ(simulation.Tick(*block_).kind, ChurnEvent::Kind::None);
    EXPECT_NE(block_->update_stamp, before);
    for (const auto& session : simulation.Sessions()) {
      for (int k = 0; k < kCounterCount; ++k) {
        EXPECT_EQ(Counter(session.slot, k), session.start[k] + static_cast<uint32_t>(tick) * session.step[k]);
      }
    }
  }
  EXPECT_EQ(simulation.TickCount(), 3u);
  EXPECT_NE(block_->update_stamp, firstStamp);
}

TEST_F(RouterSimulationTest, TheSameSeedGivesTheSameSessionsAndAnotherSeedOthers) {
  RouterSimulation first(4, 1234, 0);
  RouterSimulation again(4, 1234, 0);
  RouterSimulation other(4, 1235, 0);
  bool differs = false;
  for (size_t i = 0; i < 4; ++i) {
    EXPECT_EQ(first.Sessions()[i].start, again.Sessions()[i].start);
    EXPECT_EQ(first.Sessions()[i].step, again.Sessions()[i].step);
    differs = differs || first.Sessions()[i].start != other.Sessions()[i].start;
  }
  EXPECT_TRUE(differs);
}

TEST_F(RouterSimulationTest, ChurnAlternatelyEndsASessionAndStartsANewOneInTheFreedSlot) {
  RouterSimulation simulation(3, 42, 2);
  simulation.Publish(*block_);

  EXPECT_EQ(simulation.Tick(*block_).kind, ChurnEvent::Kind::None);
  const ChurnEvent ended = simulation.Tick(*block_);
  ASSERT_EQ(ended.kind, ChurnEvent::Kind::Ended);
  EXPECT_EQ(block_->ActiveSessionCount(), 2);
  EXPECT_FALSE(block_->sessions[ended.session.slot].IsActive());
  for (int k = 0; k < kCounterCount; ++k) EXPECT_EQ(Counter(ended.session.slot, k), 0u);

  EXPECT_EQ(simulation.Tick(*block_).kind, ChurnEvent::Kind::None);
  const ChurnEvent started = simulation.Tick(*block_);
  ASSERT_EQ(started.kind, ChurnEvent::Kind::Started);
  EXPECT_EQ(started.session.name, L"session-04");
  EXPECT_EQ(started.session.slot, ended.session.slot);
  EXPECT_EQ(started.session.firstTick, 4u);
  EXPECT_EQ(SlotName(started.session.slot), L"session-04");
  EXPECT_EQ(block_->ActiveSessionCount(), 3);
  for (int k = 0; k < kCounterCount; ++k) EXPECT_EQ(Counter(started.session.slot, k), started.session.start[k]);

  // Sessions stay in slot order, so later ticks advance the right slots.
  simulation.Tick(*block_);
  for (const auto& session : simulation.Sessions()) {
    EXPECT_EQ(SlotName(session.slot), session.name);
    EXPECT_EQ(Counter(session.slot, 0), simulation.Values(session)[0]);
  }
}

TEST_F(RouterSimulationTest, WithdrawFreesEverySlotAndChangesTheStamp) {
  RouterSimulation simulation(5, 3, 0);
  simulation.Publish(*block_);
  const uint64_t stamp = block_->update_stamp;
  simulation.Withdraw(*block_);
  EXPECT_EQ(block_->ActiveSessionCount(), 0);
  EXPECT_NE(block_->update_stamp, stamp);
}

TEST_F(RouterSimulationTest, SessionCountIsBoundByTheSlots) {
  RouterSimulation none(0, 1, 0);
  none.Publish(*block_);
  EXPECT_EQ(block_->ActiveSessionCount(), 0);

  RouterSimulation all(kSessionSlotCount + 10, 1, 0);
  all.Publish(*block_);
  EXPECT_EQ(block_->ActiveSessionCount(), kSessionSlotCount);
  EXPECT_EQ(SlotName(kSessionSlotCount - 1), L"session-255");
}

TEST_F(RouterSimulationTest, GivenNamesFillTheirSlotsWholeAndAnEmptyOneLeavesItsSlotFree) {
  const std::wstring full = L"0123456789abcdefghijklmnopqrstuv";  // all 32 units, no terminator
  RouterSimulation simulation(4, 1, 0, {full, L"", L"q\"\\"});
  simulation.Publish(*block_);
  EXPECT_EQ(block_->ActiveSessionCount(), 3);
  EXPECT_EQ(std::wmemcmp(block_->sessions[0].name, full.c_str(), kSessionNameUnits), 0);
  EXPECT_EQ(SlotName(0), full);
  EXPECT_FALSE(block_->sessions[1].IsActive());
  EXPECT_EQ(SlotName(2), L"q\"\\");
  // Slots past the given names get generated names, numbered on from them.
  EXPECT_EQ(SlotName(3), L"session-03");
  ASSERT_EQ(simulation.Sessions().size(), 3u);
  EXPECT_EQ(simulation.Sessions()[0].name, full);
}

}  // namespace
