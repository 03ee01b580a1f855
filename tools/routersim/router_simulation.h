#pragma once
// The router's side of the shared counter block: a set of named sessions whose
// four counters advance by fixed, seed-derived steps on every tick.
//
// Everything is a function of the seed and the tick number, so a reader that
// knows a session's start values and steps can tell exactly which tick a set
// of counters belongs to. Counter values are kept in catalogue order (see
// kCounterPropertyNames) and wrap at 2^32 like the router's.

#include <array>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "provider/router_block.h"

namespace routersim {

using CounterSet = std::array<uint32_t, kCounterCount>;

struct SessionInfo {
  std::wstring name;  // "session-01", "session-02", ... in order of start, unless given
  int slot;
  CounterSet start;  // values at the session's first tick
  CounterSet step;   // added on every tick, each 1..9
  uint64_t firstTick;  // the simulation's tick count when the session started
};

// What a tick did besides advancing counters.
struct ChurnEvent {
  enum class Kind { None, Ended, Started } kind = Kind::None;
  SessionInfo session;  // the session that ended or started
};

class RouterSimulation {
 public:
  // `sessions` initial sessions (0..kSessionSlotCount) in slots 0, 1, ...;
  // with a non-zero `churnPeriod`, every churnPeriod-th tick alternately ends
  // one active session (picked by the seeded generator) and starts a new one
  // in the lowest free slot. `names`, where given, names the initial
  // sessions slot by slot (up to kSessionNameUnits units, all of which a
  // slot holds, without a terminator then); an empty one leaves its slot free.
  RouterSimulation(int sessions, uint32_t seed, int churnPeriod, const std::vector<std::wstring>& names = {});

  // Writes every session into a block: free slots get an empty name, the
  // update stamp is written last.
  void Publish(wmirouter_perf_t& block);
  // Advances every active session by its steps, applies churn and republishes.
  ChurnEvent Tick(wmirouter_perf_t& block);
  // Marks every slot free and bumps the stamp: what a router leaves behind.
  void Withdraw(wmirouter_perf_t& block);

  const std::vector<SessionInfo>& Sessions() const { return sessions_; }
  CounterSet Values(const SessionInfo& session) const;
  uint64_t TickCount() const { return ticks_; }
  uint64_t Stamp() const { return stamp_; }

 private:
  SessionInfo NewSession(int slot, const std::wstring& name);
  int LowestFreeSlot() const;
  ChurnEvent Churn();
  void WriteStamp(wmirouter_perf_t& block);

  std::mt19937 generator_;
  int churnPeriod_;
  bool nextChurnEnds_ = true;
  int sessionsStarted_ = 0;
  uint64_t ticks_ = 0;
  uint64_t stamp_ = 0;
  // Active sessions in slot order.
  std::vector<SessionInfo> sessions_;
};

}  // namespace routersim
