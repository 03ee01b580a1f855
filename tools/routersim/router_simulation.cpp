#include "tools/routersim/router_simulation.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <cwchar>

namespace routersim {

namespace {

constexpr uint32_t kStartValueRange = 100000;
constexpr uint32_t kLargestStep = 9;

void WriteSlotCounter(wmirouter_session_t& slot, int index, uint32_t value) {
  std::memcpy(reinterpret_cast<uint8_t*>(&slot) + kCounterSlotOffsets[index], &value, sizeof(value));
}

void WriteSlot(wmirouter_session_t& slot, const std::wstring& name, const CounterSet& values) {
  // Units past the name are cleared so the slot never shows a stale tail.
  const size_t length = std::min(name.size(), kSessionNameUnits);
  for (size_t unit = 0; unit < kSessionNameUnits; ++unit) slot.name[unit] = unit < length ? name[unit] : L'\0';
  for (int k = 0; k < kCounterCount; ++k) WriteSlotCounter(slot, k, values[k]);
}

}  // namespace

RouterSimulation::RouterSimulation(int sessions, uint32_t seed, int churnPeriod, const std::vector<std::wstring>& names)
    : generator_(seed), churnPeriod_(churnPeriod) {
  const int count = std::clamp(sessions, 0, kSessionSlotCount);
  for (int slot = 0; slot < count; ++slot) {
    const auto given = static_cast<size_t>(slot);
    if (given >= names.size()) {
      sessions_.push_back(NewSession(slot, std::wstring()));
    } else if (!names[given].empty()) {
      sessions_.push_back(NewSession(slot, names[given]));
    }
  }
}

// An empty `name` gives the next generated one.
SessionInfo RouterSimulation::NewSession(int slot, const std::wstring& name) {
  SessionInfo session;
  ++sessionsStarted_;
  wchar_t generated[kSessionNameUnits];
  std::swprintf(generated, kSessionNameUnits, L"session-%02d", sessionsStarted_);
  session.name = name.empty() ? generated : name.substr(0, kSessionNameUnits);
  session.slot = slot;
  for (uint32_t& value : session.start) value = generator_() % kStartValueRange;
  for (uint32_t& value : session.step) value = 1 + generator_() % kLargestStep;
  session.firstTick = ticks_;
  return session;
}

CounterSet RouterSimulation::Values(const SessionInfo& session) const {
  CounterSet values;
  const auto elapsed = static_cast<uint32_t>(ticks_ - session.firstTick);
  for (int k = 0; k < kCounterCount; ++k) values[k] = session.start[k] + elapsed * session.step[k];
  return values;
}

int RouterSimulation::LowestFreeSlot() const {
  int slot = 0;
  // sessions_ is in slot order, so the first gap is the lowest free slot.
  for (const SessionInfo& session : sessions_) {
    if (session.slot != slot) break;
    ++slot;
  }
  return slot < kSessionSlotCount ? slot : -1;
}

void RouterSimulation::WriteStamp(wmirouter_perf_t& block) {
  ++stamp_;
  // Readers copy the sessions once they see a new stamp, so it goes last.
  std::atomic_thread_fence(std::memory_order_release);
  static_cast<volatile uint64_t&>(block.update_stamp) = stamp_;
}

void RouterSimulation::Publish(wmirouter_perf_t& block) {
  auto next = sessions_.begin();
  for (int slot = 0; slot < kSessionSlotCount; ++slot) {
    if (next != sessions_.end() && next->slot == slot) {
      WriteSlot(block.sessions[slot], next->name, Values(*next));
      ++next;
    } else if (block.sessions[slot].IsActive()) {
      WriteSlot(block.sessions[slot], std::wstring(), CounterSet{});
    }
  }
  WriteStamp(block);
}

ChurnEvent RouterSimulation::Churn() {
  ChurnEvent event;
  if (nextChurnEnds_ && !sessions_.empty()) {
    const size_t victim = generator_() % sessions_.size();
    event.kind = ChurnEvent::Kind::Ended;
    event.session = sessions_[victim];
    sessions_.erase(sessions_.begin() + static_cast<std::ptrdiff_t>(victim));
  } else if (const int slot = LowestFreeSlot(); slot >= 0) {
    event.kind = ChurnEvent::Kind::Started;
    event.session = NewSession(slot, std::wstring());
    const auto position = std::find_if(sessions_.begin(), sessions_.end(),
                                       [slot](const SessionInfo& session) { return session.slot > slot; });
    sessions_.insert(position, event.session);
  }
  nextChurnEnds_ = !nextChurnEnds_;
  return event;
}

ChurnEvent RouterSimulation::Tick(wmirouter_perf_t& block) {
  ++ticks_;
  ChurnEvent event;
  if (churnPeriod_ > 0 && ticks_ % static_cast<uint64_t>(churnPeriod_) == 0) event = Churn();
  Publish(block);
  return event;
}

void RouterSimulation::Withdraw(wmirouter_perf_t& block) {
  sessions_.clear();
  Publish(block);
}

}  // namespace routersim
