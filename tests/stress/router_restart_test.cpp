// The router process exits and starts again while WMI holds providers and
// refreshers. Nothing may fault, the provider's log notes a missing block
// once rather than on every poll or refresh, and refreshers made after the
// router is back serve its new sessions.

#include <algorithm>
#include <array>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/stress/provider_harness.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/session_class.h"
#include "tools/wmihost/sinks.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr char kBlockMissing[] = "for performance provider not created yet";
constexpr char kRefresherUnmapped[] = "Cannot access to shared memory for Router session counters";

std::array<uint32_t, 4> Expected(uint32_t base) { return {base + 1, base + 2, base + 3, base + 4}; }

struct Served {
  std::wstring name;
  std::array<uint32_t, 4> counters;
  bool operator==(const Served& other) const { return name == other.name && counters == other.counters; }
  bool operator<(const Served& other) const { return name < other.name; }
};

// By name: an enumerator's order follows the order sessions joined it.
std::vector<Served> EnumeratedSessions(const wmihost::HiPerfEnum& enumerator) {
  std::vector<Served> sessions;
  for (const auto& entry : enumerator.Entries()) {
    wmihost::SessionValues values;
    if (FAILED(wmihost::ReadSessionValues(entry.object.Get(), &values))) continue;
    Served served{values.name.value_or(L""), {}};
    for (size_t k = 0; k < 4; ++k) served.counters[k] = values.counters[k].value_or(0);
    sessions.push_back(served);
  }
  std::sort(sessions.begin(), sessions.end());
  return sessions;
}

class RouterRestartTest : public ::testing::Test {
 protected:
  // The provider's log folder is fixed by its first line, so TEMP must point
  // at this test's folder before the module loads.
  void SetUp() override {
    wchar_t temp[MAX_PATH] = {};
    GetEnvironmentVariableW(L"TEMP", temp, MAX_PATH);
    savedTemp_ = temp;
    logFolder_ = std::filesystem::temp_directory_path() /
                 ("fwr-" + std::to_string(GetCurrentProcessId()));
    std::filesystem::remove_all(logFolder_);
    ASSERT_TRUE(std::filesystem::create_directories(logFolder_));
    SetEnvironmentVariableW(L"TEMP", logFolder_.wstring().c_str());
    ASSERT_TRUE(module_.pinned());
    ASSERT_EQ(host_.Load(wmihost::ProviderPathBesideExecutable()), S_OK);
  }

  void InitializeProvider() {
    ASSERT_EQ(host_.Initialize(), S_OK);
    ASSERT_EQ(host_.HostInitSink().Statuses().back().status, 0);
  }

  void TearDown() override {
    enumerators_.clear();
    refreshers_.clear();
    host_.Close();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
    module_.Unpin();
    EXPECT_TRUE(Eventually([] { return !ProviderModuleMapped(); }));
    SetEnvironmentVariableW(L"TEMP", savedTemp_.c_str());
    std::error_code ignored;
    std::filesystem::remove_all(logFolder_, ignored);
  }

  IWbemHiPerfProvider* HiPerf() { return host_.HiPerfProvider(); }
  IWbemServices* Services() { return &host_.HostServices(); }

  IWbemRefresher* NewRefresher() {
    ComPtr<IWbemRefresher> refresher;
    EXPECT_EQ(HiPerf()->CreateRefresher(Services(), 0, &refresher), S_OK);
    refreshers_.push_back(refresher);
    return refresher.Get();
  }

  // An enumerator on `refresher` with every instance the refresher holds.
  wmihost::HiPerfEnum& Enumerate(IWbemRefresher* refresher) {
    auto enumerator = wmihost::HiPerfEnum::Create();
    long id = -1;
    EXPECT_EQ(HiPerf()->CreateRefreshableEnum(Services(), wmihost::kSessionClassName, refresher, 0, nullptr,
                                              enumerator.Get(), &id),
              S_OK);
    enumerators_.push_back(enumerator);
    return *enumerator.Get();
  }

  // Every call WMI may make while the router is away; none may fail.
  void ServeWhileRouterIsAway(IWbemRefresher* refresher) {
    const HRESULT refreshed = refresher->Refresh(0);
    EXPECT_TRUE(SUCCEEDED(refreshed) || refreshed == RPC_E_CALL_COMPLETE) << std::hex << refreshed;
    auto sink = wmihost::ObjectSink::Create();
    EXPECT_EQ(HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr,
                                       sink.Get()),
              S_OK);
    ASSERT_EQ(sink->Statuses().size(), 1u);
    // alpha is a session only while the block still holds it.
    auto alpha = NamedTemplate(host_.SessionClass(), L"alpha");
    IWbemObjectAccess* objects[] = {alpha.Get()};
    const HRESULT got = HiPerf()->GetObjects(Services(), 1, objects, 0, nullptr);
    EXPECT_TRUE(SUCCEEDED(got) || got == static_cast<HRESULT>(WBEM_E_NOT_FOUND)) << std::hex << got;
  }

  // How many lines of the provider's log hold `text`.
  int LogLinesWith(const std::string& text) const {
    int lines = 0;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(logFolder_)) {
      if (!entry.is_regular_file()) continue;
      std::ifstream file(entry.path());
      for (std::string line; std::getline(file, line);) lines += line.find(text) != std::string::npos ? 1 : 0;
    }
    return lines;
  }

  // The router starts again and publishes `sessions` under a stamp it has
  // never used.
  void RouterStartsWith(const std::vector<std::pair<const wchar_t*, uint32_t>>& sessions) {
    ASSERT_TRUE(router_.Start());
    int slot = 1;
    for (const auto& session : sessions) {
      router_.SetSession(slot, session.first, session.second);
      slot += 2;
    }
    router_.Block().update_stamp = ++stamp_;
  }

  RouterWriter router_;
  uint64_t stamp_ = 1000;
  PinnedModule module_;
  wmihost::HostSession host_;
  std::vector<ComPtr<IWbemRefresher>> refreshers_;
  std::vector<ComPtr<wmihost::HiPerfEnum>> enumerators_;
  std::wstring savedTemp_;
  std::filesystem::path logFolder_;
};

}  // namespace

TEST_F(RouterRestartTest, RouterNotRunningWhenTheProviderStarts) {
  // Nothing else holds the block, so it is gone with the router.
  router_.Stop();
  ASSERT_NO_FATAL_FAILURE(InitializeProvider());
  IWbemRefresher* early = NewRefresher();
  wmihost::HiPerfEnum& earlyEnum = Enumerate(early);
  EXPECT_EQ(earlyEnum.Entries().size(), 0u);
  // Several polls, refreshers and enumerations pass without the router; each
  // of them looks for the block again.
  for (int call = 0; call < 6; ++call) {
    ASSERT_NO_FATAL_FAILURE(ServeWhileRouterIsAway(early));
    Sleep(60);
  }
  EXPECT_EQ(Enumerate(NewRefresher()).Entries().size(), 0u);
  ASSERT_NO_FATAL_FAILURE(ServeWhileRouterIsAway(early));
  EXPECT_EQ(LogLinesWith(kBlockMissing), 1) << "the gap is logged once";
  EXPECT_EQ(LogLinesWith(kRefresherUnmapped), 1);

  ASSERT_NO_FATAL_FAILURE(RouterStartsWith({{L"gamma", 300}, {L"delta", 400}}));
  wmihost::HiPerfEnum& late = Enumerate(NewRefresher());
  IWbemRefresher* lateRefresher = refreshers_.back().Get();
  const std::vector<Served> expected = {{L"delta", Expected(400)}, {L"gamma", Expected(300)}};
  EXPECT_TRUE(Eventually([&] {
    return SUCCEEDED(lateRefresher->Refresh(0)) && EnumeratedSessions(late) == expected;
  }));
  // The early refresher follows the sessions as well.
  EXPECT_TRUE(SUCCEEDED(early->Refresh(0)));
  EXPECT_EQ(EnumeratedSessions(earlyEnum), expected);
  EXPECT_EQ(LogLinesWith(kBlockMissing), 1);

  // Once mapped, the router going away again is no gap: the provider's own
  // handle keeps the block.
  router_.Stop();
  ASSERT_NO_FATAL_FAILURE(ServeWhileRouterIsAway(lateRefresher));
  EXPECT_EQ(LogLinesWith(kBlockMissing), 1);
}

TEST_F(RouterRestartTest, RouterRestartsWhileRefreshersLive) {
  ASSERT_NO_FATAL_FAILURE(InitializeProvider());
  router_.SetSession(0, L"alpha", 100);
  router_.SetSession(1, L"beta", 200);
  router_.Block().update_stamp = ++stamp_;
  IWbemRefresher* first = NewRefresher();
  wmihost::HiPerfEnum& firstEnum = Enumerate(first);
  ASSERT_TRUE(Eventually([&] {
    return SUCCEEDED(first->Refresh(0)) &&
           EnumeratedSessions(firstEnum) == std::vector<Served>{{L"alpha", Expected(100)}, {L"beta", Expected(200)}};
  }));

  for (uint32_t restart = 1; restart <= 3; ++restart) {
    router_.Stop();
    // The provider's own handle keeps the block, with its last contents, alive.
    ASSERT_NO_FATAL_FAILURE(ServeWhileRouterIsAway(first));
    const uint32_t base = restart * 1000;
    const std::wstring name = L"restart-" + std::to_wstring(restart);
    ASSERT_NO_FATAL_FAILURE(RouterStartsWith({{name.c_str(), base}, {L"beta", base + 500}}));
    IWbemRefresher* after = NewRefresher();
    wmihost::HiPerfEnum& afterEnum = Enumerate(after);
    const std::vector<Served> expected = {{L"beta", Expected(base + 500)}, {name, Expected(base)}};
    EXPECT_TRUE(Eventually([&] { return SUCCEEDED(after->Refresh(0)) && EnumeratedSessions(afterEnum) == expected; }))
        << "restart " << restart;
    // The first refresher's enumerator follows the sessions too.
    EXPECT_TRUE(SUCCEEDED(first->Refresh(0)));
    EXPECT_EQ(EnumeratedSessions(firstEnum), expected) << "restart " << restart;
  }
  EXPECT_EQ(LogLinesWith(kBlockMissing), 0) << "the provider never lost the block";
  EXPECT_EQ(LogLinesWith(kRefresherUnmapped), 0);
}

// Monitoring clients often start before the router at boot: a refresher made
// then follows the router with nothing but its own refreshes.
TEST_F(RouterRestartTest, ARefresherMadeBeforeTheRouterFollowsItByRefreshingAlone) {
  router_.Stop();
  ASSERT_NO_FATAL_FAILURE(InitializeProvider());
  IWbemRefresher* early = NewRefresher();
  wmihost::HiPerfEnum& earlyEnum = Enumerate(early);
  // Without instances a refresh answers with the impersonation call's result.
  const auto refreshed = [&] {
    const HRESULT hr = early->Refresh(0);
    return SUCCEEDED(hr) || hr == RPC_E_CALL_COMPLETE;
  };
  ASSERT_TRUE(refreshed());
  EXPECT_TRUE(EnumeratedSessions(earlyEnum).empty());

  ASSERT_NO_FATAL_FAILURE(RouterStartsWith({{L"gamma", 300}, {L"delta", 400}}));
  const std::vector<Served> expected = {{L"delta", Expected(400)}, {L"gamma", Expected(300)}};
  bool followed = false;
  for (int refresh = 0; refresh < 30 && !followed; ++refresh) {
    Sleep(100);
    ASSERT_TRUE(refreshed());
    followed = EnumeratedSessions(earlyEnum) == expected;
  }
  EXPECT_TRUE(followed);
  EXPECT_EQ(LogLinesWith(kBlockMissing), 1) << "the polling thread looks for the block quietly";
}
