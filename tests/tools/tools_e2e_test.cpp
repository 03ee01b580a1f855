// RouterSim, the provider DLL and RouterStat as separate processes, the way
// an administrator runs them.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

#include <windows.h>

#include "provider/router_block.h"
#include "provider/shared_mem.h"
#include "tests/tools/child_process.h"
#include "tools/wmihost/host_session.h"

namespace {

using namespace std::chrono_literals;
using tools_test::ChildProcess;

// Generous bounds for Wine starting processes on a loaded machine; no
// result depends on how long anything takes within them.
constexpr auto kStartBound = 60s;
constexpr auto kLineBound = 30s;

std::wstring Folder() {
  const std::wstring dll = wmihost::ProviderPathBesideExecutable();
  return dll.substr(0, dll.find_last_of(L"\\/") + 1);
}
std::wstring Quoted(const std::wstring& text) { return L"\"" + text + L"\""; }

std::vector<std::string> Split(const std::string& line, char separator) {
  std::vector<std::string> fields;
  std::stringstream stream(line);
  for (std::string field; std::getline(stream, field, separator);) fields.push_back(field);
  if (!line.empty() && line.back() == separator) fields.emplace_back();
  return fields;
}

// What RouterSim announced about a session.
struct SimSession {
  std::array<uint32_t, kCounterCount> start{};
  std::array<uint32_t, kCounterCount> step{};
};

// Named events private to this test process.
std::wstring EventName(const wchar_t* role) {
  return L"Local\\fernwick-tools-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" + role;
}

class RouterSimProcess {
 public:
  // Starts RouterSim in step mode and reads its announcement up to "ready".
  void Start(int sessions, uint32_t seed) {
    step_.reset(CreateEventW(nullptr, FALSE, FALSE, EventName(L"step").c_str()));
    ASSERT_TRUE(step_);
    const std::wstring arguments = L"--sessions " + std::to_wstring(sessions) + L" --seed " + std::to_wstring(seed) +
                                   L" --step-event " + EventName(L"step") + L" --stop-event " +
                                   EventName(L"stop") + L" --seconds 600";
    ASSERT_TRUE(process_.Start(Folder() + L"RouterSim.exe", arguments));
    for (;;) {
      const auto line = process_.NextLine(kStartBound);
      ASSERT_TRUE(line.has_value()) << "RouterSim did not get ready: " << process_.ErrorText();
      if (*line == "ready") break;
      if (line->rfind("counters ", 0) == 0) {
        EXPECT_EQ(*line, "counters Bypass_Msg_Received Bypass_Msg_Sent Msg_Sent2Relay Relay_Msg_Received");
        continue;
      }
      const auto fields = Split(*line, ' ');
      ASSERT_EQ(fields.size(), 14u) << *line;
      ASSERT_EQ(fields[0], "session");
      ASSERT_EQ(fields[4], "start");
      ASSERT_EQ(fields[9], "step");
      SimSession& session = sessions_[fields[1]];
      for (int k = 0; k < kCounterCount; ++k) {
        session.start[k] = static_cast<uint32_t>(std::stoul(fields[5 + k]));
        session.step[k] = static_cast<uint32_t>(std::stoul(fields[10 + k]));
      }
    }
  }

  // One tick, written to the block once this returns.
  void Step() {
    SetEvent(step_.get());
    const auto line = process_.NextLine(kLineBound);
    ASSERT_TRUE(line.has_value()) << process_.ErrorText();
    EXPECT_EQ(*line, "tick " + std::to_string(++ticks_));
  }

  // Stops it the way an administrator would: RouterSim --stop.
  void Stop() {
    ChildProcess stopper;
    ASSERT_TRUE(stopper.Start(Folder() + L"RouterSim.exe", L"--stop --stop-event " + EventName(L"stop")));
    EXPECT_EQ(stopper.WaitForExit(kStartBound), 0u) << stopper.ErrorText();
    const auto code = process_.WaitForExit(kLineBound);
    ASSERT_TRUE(code.has_value());
    EXPECT_EQ(*code, 0u) << process_.ErrorText();
    EXPECT_EQ(process_.NextLine(kLineBound), "stopped after " + std::to_string(ticks_) + " ticks");
  }

  const std::map<std::string, SimSession>& Sessions() const { return sessions_; }
  ChildProcess& Process() { return process_; }

 private:
  ChildProcess process_;
  UniqueHandle step_;
  std::map<std::string, SimSession> sessions_;
  int ticks_ = 0;
};

// One CSV row of RouterStat.
struct StatRow {
  int sample = 0;
  double seconds = 0;
  std::string name;
  std::array<uint32_t, kCounterCount> counters{};
  std::array<std::string, kCounterCount> rates;
};

StatRow ParseRow(const std::string& line) {
  const auto fields = Split(line, ',');
  StatRow row;
  EXPECT_EQ(fields.size(), 3u + 2 * kCounterCount) << line;
  if (fields.size() != 3u + 2 * kCounterCount) return row;
  row.sample = std::stoi(fields[0]);
  row.seconds = std::stod(fields[1]);
  row.name = fields[2];
  for (int k = 0; k < kCounterCount; ++k) {
    row.counters[k] = static_cast<uint32_t>(std::stoul(fields[3 + k]));
    row.rates[k] = fields[3 + kCounterCount + k];
  }
  return row;
}

// The tick at which a session's counters have these values, or -1 when no
// tick gives all four.
int64_t TickOf(const SimSession& session, const std::array<uint32_t, kCounterCount>& counters) {
  const uint32_t advanced = counters[0] - session.start[0];
  if (advanced % session.step[0] != 0) return -1;
  const uint32_t tick = advanced / session.step[0];
  for (int k = 0; k < kCounterCount; ++k) {
    if (counters[k] != session.start[k] + tick * session.step[k]) return -1;
  }
  return tick;
}

class ToolsEndToEndTest : public ::testing::Test {
 protected:
  ChildProcess& StartStat(const std::wstring& arguments) {
    EXPECT_TRUE(stat_.Start(Folder() + L"RouterStat.exe", arguments));
    return stat_;
  }
  // Runs RouterStat to its end and returns its exit code.
  DWORD RunStat(const std::wstring& arguments) {
    StartStat(arguments);
    const auto code = stat_.WaitForExit(kStartBound);
    EXPECT_TRUE(code.has_value()) << "RouterStat did not finish";
    return code.value_or(~0u);
  }
  std::wstring ModuleOption() const { return L"--module " + Quoted(wmihost::ProviderPathBesideExecutable()); }

  ChildProcess stat_;
};

// The simulator ticks only when told to, and is told only once RouterStat
// has shown the previous tick, so every sample must match the simulator's
// announced start values and steps exactly, at the tick before or after the
// latest step. Samples taken before the provider's polling thread first
// copied the block show zeros.
TEST_F(ToolsEndToEndTest, CountersMoveByExactlyTheSimulatorsStepsBetweenSamples) {
  RouterSimProcess sim;
  ASSERT_NO_FATAL_FAILURE(sim.Start(3, 11));
  ASSERT_EQ(sim.Sessions().size(), 3u);

  ChildProcess& stat = StartStat(ModuleOption() + L" --format csv --interval 0.1 --count 600");
  const auto header = stat.NextLine(kStartBound);
  ASSERT_TRUE(header.has_value()) << stat.ErrorText();
  EXPECT_EQ(*header,
            "sample,seconds,Name,Bypass_Msg_Received,Bypass_Msg_Sent,Msg_Sent2Relay,Relay_Msg_Received,"
            "Bypass_Msg_Received/s,Bypass_Msg_Sent/s,Msg_Sent2Relay/s,Relay_Msg_Received/s");

  constexpr int kSteps = 2;
  int shownTick = -1;  // the tick RouterStat showed last, -1 before any data
  int steps = 0;
  std::map<std::string, StatRow> previous;
  while (shownTick < kSteps) {
    std::map<std::string, StatRow> sample;
    while (sample.size() < sim.Sessions().size()) {
      const auto line = stat.NextLine(kLineBound);
      ASSERT_TRUE(line.has_value()) << "RouterStat stopped: " << stat.ErrorText();
      StatRow row = ParseRow(*line);
      ASSERT_EQ(sim.Sessions().count(row.name), 1u) << *line;
      ASSERT_TRUE(sample.empty() || sample.begin()->second.sample == row.sample) << *line;
      sample[row.name] = row;
    }

    const bool copied = std::any_of(sample.begin(), sample.end(), [](const auto& entry) {
      const auto& counters = entry.second.counters;
      return std::any_of(counters.begin(), counters.end(), [](uint32_t value) { return value != 0; });
    });
    if (!copied) {
      ASSERT_EQ(shownTick, -1) << "zeros after the provider had copied the block";
      continue;
    }

    int64_t tick = -1;
    for (const auto& [name, row] : sample) {
      const int64_t sessionTick = TickOf(sim.Sessions().at(name), row.counters);
      ASSERT_GE(sessionTick, 0) << name << " shows values of no tick, sample " << row.sample;
      ASSERT_TRUE(tick == -1 || tick == sessionTick) << "sessions of one sample at different ticks";
      tick = sessionTick;
    }
    ASSERT_TRUE(tick == std::max(shownTick, 0) || tick == steps) << "tick " << tick << " after " << steps << " steps";

    for (const auto& [name, row] : sample) {
      if (previous.empty()) break;  // the first sample with data has nothing to compare with
      const StatRow& before = previous.at(name);
      const SimSession& session = sim.Sessions().at(name);
      const uint32_t ticks = static_cast<uint32_t>(tick - shownTick);
      const double seconds = row.seconds - before.seconds;
      for (int k = 0; k < kCounterCount; ++k) {
        const uint32_t delta = row.counters[k] - before.counters[k];
        EXPECT_EQ(delta, ticks * session.step[k]) << name << " counter " << k;
        // Seconds are shown to the millisecond, so the shown rate lies
        // within the rates for an interval 1 ms shorter or longer.
        ASSERT_FALSE(row.rates[k].empty()) << name;
        const double rate = std::stod(row.rates[k]);
        EXPECT_GE(rate, delta / (seconds + 0.001) - 0.0005) << name << " counter " << k;
        EXPECT_LE(rate, delta / (seconds - 0.001) + 0.0005) << name << " counter " << k;
      }
    }
    previous = sample;
    if (tick == steps) {
      shownTick = static_cast<int>(tick);
      if (steps < kSteps) {
        ASSERT_NO_FATAL_FAILURE(sim.Step());
        ++steps;
      }
    }
  }
  sim.Stop();
}

TEST_F(ToolsEndToEndTest, RouterSimPublishesItsSessionsAndWithdrawsThemWhenStopped) {
  RouterSimProcess sim;
  ASSERT_NO_FATAL_FAILURE(sim.Start(2, 5));
  WMISharedMem<wmirouter_perf_t> block(false);
  ASSERT_TRUE(block.Initialize(kRouterBlockName, kSessionSlotCount, kSharedMemRead, nullptr));
  const wmirouter_perf_t& view = *block.View();
  ASSERT_EQ(view.ActiveSessionCount(), 2);
  const uint64_t stamp = view.update_stamp;

  ASSERT_NO_FATAL_FAILURE(sim.Step());
  EXPECT_NE(view.update_stamp, stamp);
  for (int slot = 0; slot < 2; ++slot) {
    wchar_t name[kSessionNameUnits + 1];
    CopySessionName(view.sessions[slot], name);
    char narrow[kSessionNameUnits + 1];
    std::snprintf(narrow, sizeof(narrow), "%ls", name);
    ASSERT_EQ(sim.Sessions().count(narrow), 1u) << narrow;
    const SimSession& session = sim.Sessions().at(narrow);
    for (int k = 0; k < kCounterCount; ++k) {
      EXPECT_EQ(ReadSlotCounter(view.sessions[slot], k), session.start[k] + session.step[k]) << narrow;
    }
  }

  // A second router cannot take over the block while the first runs.
  ChildProcess second;
  ASSERT_TRUE(second.Start(Folder() + L"RouterSim.exe", L"--seconds 1"));
  EXPECT_EQ(second.WaitForExit(kStartBound), 4u);
  EXPECT_NE(second.ErrorText().find("already"), std::string::npos) << second.ErrorText();

  sim.Stop();
  // This mapping keeps the block alive: the router left it without sessions.
  EXPECT_EQ(view.ActiveSessionCount(), 0);
}

TEST_F(ToolsEndToEndTest, StoppingWhenNoSimulatorRunsSaysSo) {
  ChildProcess stopper;
  ASSERT_TRUE(stopper.Start(Folder() + L"RouterSim.exe", L"--stop --stop-event " + EventName(L"nobody")));
  EXPECT_EQ(stopper.WaitForExit(kStartBound), 6u);
  EXPECT_NE(stopper.ErrorText().find("no simulator is running"), std::string::npos) << stopper.ErrorText();
}

TEST_F(ToolsEndToEndTest, WithoutARouterRouterStatSaysTheRouterIsNotRunning) {
  EXPECT_EQ(RunStat(ModuleOption() + L" --count 1 --interval 0.05"), 6u) << stat_.ErrorText();
  EXPECT_NE(stat_.ErrorText().find("the router is not running"), std::string::npos) << stat_.ErrorText();
}

TEST_F(ToolsEndToEndTest, AMissingModuleCannotBeLoaded) {
  EXPECT_EQ(RunStat(L"--module " + Quoted(Folder() + L"NoSuchProvider.dll") + L" --count 1"), 4u) << stat_.ErrorText();
  EXPECT_NE(stat_.ErrorText().find("cannot load the provider"), std::string::npos) << stat_.ErrorText();
}

TEST_F(ToolsEndToEndTest, AFileThatIsNoModuleCannotBeLoaded) {
  wchar_t tempFolder[MAX_PATH];
  ASSERT_GT(GetTempPathW(MAX_PATH, tempFolder), 0u);
  const std::wstring path = std::wstring(tempFolder) + L"fernwick-not-a-module-" +
                            std::to_wstring(GetCurrentProcessId()) + L".dll";
  std::ofstream(path.c_str()) << "not a module\n";
  EXPECT_EQ(RunStat(L"--module " + Quoted(path) + L" --count 1"), 4u) << stat_.ErrorText();
  EXPECT_NE(stat_.ErrorText().find("cannot load the provider"), std::string::npos) << stat_.ErrorText();
  DeleteFileW(path.c_str());
}

TEST_F(ToolsEndToEndTest, AModuleThatIsNoComServerCannotBeLoaded) {
  // RouterSim.exe loads as a module but exports no class factory.
  EXPECT_EQ(RunStat(L"--module " + Quoted(Folder() + L"RouterSim.exe") + L" --count 1"), 4u) << stat_.ErrorText();
  EXPECT_NE(stat_.ErrorText().find("cannot load the provider"), std::string::npos) << stat_.ErrorText();
}

TEST_F(ToolsEndToEndTest, AClassIdNobodyRegisteredIsReportedAsNotRegistered) {
  GUID fresh;
  ASSERT_EQ(CoCreateGuid(&fresh), S_OK);
  wchar_t text[64];
  ASSERT_GT(StringFromGUID2(fresh, text, 64), 0);
  EXPECT_EQ(RunStat(L"--clsid " + std::wstring(text) + L" --count 1"), 3u) << stat_.ErrorText();
  EXPECT_NE(stat_.ErrorText().find("is not registered"), std::string::npos) << stat_.ErrorText();
  EXPECT_NE(stat_.ErrorText().find("regsvr32"), std::string::npos) << stat_.ErrorText();
}

TEST_F(ToolsEndToEndTest, BadOptionsAreUsageErrors) {
  EXPECT_EQ(RunStat(L"--format xml"), 2u) << stat_.ErrorText();
  EXPECT_NE(stat_.ErrorText().find("--format needs table, csv, json or prometheus"), std::string::npos) << stat_.ErrorText();

  ChildProcess sim;
  ASSERT_TRUE(sim.Start(Folder() + L"RouterSim.exe", L"--sessions 256"));
  EXPECT_EQ(sim.WaitForExit(kStartBound), 2u);
  EXPECT_NE(sim.ErrorText().find("--sessions needs a whole number from 0 to 255"), std::string::npos)
      << sim.ErrorText();
}

}  // namespace
