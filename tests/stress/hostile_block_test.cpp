// The router block is another process's memory: the provider must survive
// whatever it holds. Seeded random blocks (names without terminators, every
// slot active, unprintable units, huge counters) under a stamp that changes
// on every poll, and a block scribbled over while WMI calls run.

#include <algorithm>
#include <array>
#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/stress/provider_harness.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/session_class.h"
#include "tools/wmihost/sinks.h"

using Microsoft::WRL::ComPtr;

namespace {

enum class Shape {
  RandomBytes,      // every byte of the block random
  FullNames,        // all 255 slots active, names of 32 units and no terminator
  ShortAndNumeric,  // some slots active, names that parse as numbers or not
};

struct Seed {
  uint32_t seed;
  Shape shape;
};

constexpr Seed kCorpus[] = {{1, Shape::RandomBytes},     {7, Shape::RandomBytes}, {2, Shape::FullNames},
                            {11, Shape::FullNames},      {3, Shape::ShortAndNumeric},
                            {13, Shape::ShortAndNumeric}};

constexpr HRESULT kNotFound = static_cast<HRESULT>(WBEM_E_NOT_FOUND);
constexpr HRESULT kBufferTooSmall = static_cast<HRESULT>(WBEM_E_BUFFER_TOO_SMALL);

wchar_t AnyUnit(std::mt19937& random) { return static_cast<wchar_t>(1 + random() % 0xFFFF); }

void FillHostile(wmirouter_perf_t& block, const Seed& seed) {
  std::mt19937 random(seed.seed);
  auto* bytes = reinterpret_cast<uint8_t*>(&block);
  const uint64_t stamp = block.update_stamp;
  for (size_t offset = 0; offset < sizeof(block); ++offset) bytes[offset] = static_cast<uint8_t>(random());
  block.update_stamp = stamp;
  if (seed.shape == Shape::RandomBytes) return;
  static const wchar_t* const kNumeric[] = {L"-5", L"99999999999", L"128", L" 12x", L"+0", L"007"};
  for (int slot = 0; slot < kSessionSlotCount; ++slot) {
    wchar_t* name = block.sessions[slot].name;
    if (seed.shape == Shape::FullNames) {
      std::generate(name, name + kSessionNameUnits, [&] { return AnyUnit(random); });
      continue;
    }
    std::fill(name, name + kSessionNameUnits, L'\0');
    if (random() % 3 == 0) continue;
    if (random() % 4 == 0) {
      wcsncpy(name, kNumeric[random() % std::size(kNumeric)], kSessionNameUnits);
    } else {
      std::generate(name, name + 1 + random() % (kSessionNameUnits - 1), [&] { return AnyUnit(random); });
    }
  }
}

struct Served {
  std::wstring name;
  std::array<uint32_t, 4> counters;
  bool operator==(const Served& other) const { return name == other.name && counters == other.counters; }
};

// What the provider must serve from a block that holds still: the first 128
// active slots in order, names cut to the slot's 32 units.
std::vector<Served> ExpectedSessions(const wmirouter_perf_t& block) {
  std::vector<Served> sessions;
  for (int slot = block.FirstSession(); slot != -1 && sessions.size() < kMaxInstances;
       slot = block.NextSession(slot)) {
    wchar_t name[kSessionNameUnits + 1];
    CopySessionName(block.sessions[slot], name);
    Served served{name, {}};
    for (int k = 0; k < kCounterCount; ++k) served.counters[k] = ReadSlotCounter(block.sessions[slot], k);
    sessions.push_back(served);
  }
  return sessions;
}

// Keys ignore case: a later session whose name equals an earlier key, by
// the platform's ordinal case-blind comparison, gets the first free "#n".
std::vector<Served> AsKeyed(std::vector<Served> sessions) {
  for (size_t later = 0; later < sessions.size(); ++later) {
    const std::wstring name = sessions[later].name;
    const auto taken = [&](const std::wstring& key) {
      return std::any_of(sessions.begin(), sessions.begin() + static_cast<std::ptrdiff_t>(later),
                         [&](const Served& earlier) {
                           return CompareStringOrdinal(earlier.name.c_str(), -1, key.c_str(), -1, TRUE) == CSTR_EQUAL;
                         });
    };
    for (int suffix = 2; taken(sessions[later].name); ++suffix) {
      sessions[later].name = name + L"#" + std::to_wstring(suffix);
    }
  }
  return sessions;
}

Served Read(IUnknown* object) {
  wmihost::SessionValues values;
  EXPECT_EQ(wmihost::ReadSessionValues(object, &values), S_OK);
  Served served{values.name.value_or(L"<unset>"), {}};
  for (size_t k = 0; k < 4; ++k) served.counters[k] = values.counters[k].value_or(0);
  return served;
}

class HostileBlockTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(module_.pinned());
    ASSERT_EQ(host_.Load(wmihost::ProviderPathBesideExecutable()), S_OK);
    ASSERT_EQ(host_.Initialize(), S_OK);
    // A stamp that changes on every poll: the provider copies every time.
    stamper_ = std::thread([this] {
      while (!stop_.load()) {
        ++router_.Block().update_stamp;
        Sleep(5);
      }
    });
  }

  void TearDown() override {
    stop_ = true;
    if (stamper_.joinable()) stamper_.join();
    host_.Close();
    EXPECT_EQ(module_.CanUnloadNow(), S_OK);
  }

  IWbemHiPerfProvider* HiPerf() { return host_.HiPerfProvider(); }
  IWbemServices* Services() { return &host_.HostServices(); }

  std::vector<Served> Query() {
    auto sink = wmihost::ObjectSink::Create();
    EXPECT_EQ(HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr,
                                       sink.Get()),
              S_OK);
    EXPECT_EQ(sink->Statuses().size(), 1u);
    std::vector<Served> served;
    for (const auto& object : sink->Indicated()) served.push_back(Read(object.Get()));
    return served;
  }

  HRESULT Fill(const std::wstring& name, Served* served) {
    auto object = NamedTemplate(host_.SessionClass(), name);
    IWbemObjectAccess* objects[] = {object.Get()};
    const HRESULT hr = HiPerf()->GetObjects(Services(), 1, objects, 0, nullptr);
    if (served != nullptr) *served = Read(object.Get());
    return hr;
  }

  RouterWriter router_;
  PinnedModule module_;
  wmihost::HostSession host_;
  std::atomic<bool> stop_{false};
  std::thread stamper_;
};

}  // namespace

TEST_F(HostileBlockTest, SeededBlocksAreServedExactlyAndWithinTheLayout) {
  for (const Seed& seed : kCorpus) {
    SCOPED_TRACE("seed " + std::to_string(seed.seed));
    FillHostile(router_.Block(), seed);
    const std::vector<Served> expected = AsKeyed(ExpectedSessions(router_.Block()));
    ASSERT_FALSE(expected.empty());
    if (seed.shape == Shape::FullNames) {
      ASSERT_EQ(expected.size(), static_cast<size_t>(kMaxInstances));
    }

    ASSERT_TRUE(Eventually([&] { return Query() == expected; }));

    ComPtr<IWbemRefresher> refresher;
    ASSERT_EQ(HiPerf()->CreateRefresher(Services(), 0, &refresher), S_OK);
    auto enumerator = wmihost::HiPerfEnum::Create();
    long id = -1;
    ASSERT_EQ(HiPerf()->CreateRefreshableEnum(Services(), wmihost::kSessionClassName, refresher.Get(), 0, nullptr,
                                              enumerator.Get(), &id),
              S_OK);
    EXPECT_EQ(refresher->Refresh(0), S_OK);
    const auto entries = enumerator->Entries();
    ASSERT_EQ(entries.size(), expected.size());
    for (size_t i = 0; i < entries.size(); ++i) EXPECT_EQ(Read(entries[i].object.Get()), expected[i]) << i;

    for (size_t i = 0; i < expected.size(); i += 17) {
      Served served;
      EXPECT_TRUE(SUCCEEDED(Fill(expected[i].name, &served)));
      EXPECT_EQ(served, expected[i]);
    }
  }
}

TEST_F(HostileBlockTest, TemplatesNamingNoRecordAreRefused) {
  FillHostile(router_.Block(), {3, Shape::ShortAndNumeric});
  for (const wchar_t* name : {L"-5", L"128", L"99999999999", L"-2147483649"}) {
    // A session may carry such a name.
    const auto sessions = ExpectedSessions(router_.Block());
    if (std::any_of(sessions.begin(), sessions.end(), [&](const Served& s) { return s.name == name; })) continue;
    EXPECT_EQ(Fill(name, nullptr), kNotFound) << std::wstring(name).c_str();
  }
  // Longer than the 511 bytes the provider offers for a name.
  EXPECT_EQ(Fill(std::wstring(300, L'x'), nullptr), kBufferTooSmall);
}

TEST_F(HostileBlockTest, BlockScribbledOverWhileServing) {
  std::atomic<bool> scribbling{true};
  std::thread scribbler([&] {
    std::mt19937 random(99);
    auto* bytes = reinterpret_cast<volatile uint8_t*>(&router_.Block());
    while (scribbling.load()) {
      for (int write = 0; write < 4096; ++write) {
        bytes[random() % sizeof(wmirouter_perf_t)] = static_cast<uint8_t>(random());
      }
      SwitchToThread();
    }
  });
  ComPtr<IWbemRefresher> refresher;
  ASSERT_EQ(HiPerf()->CreateRefresher(Services(), 0, &refresher), S_OK);
  const auto deadline = GetTickCount64() + 500;
  int calls = 0;
  while (GetTickCount64() < deadline) {
    for (const Served& served : Query()) EXPECT_LE(served.name.size(), kSessionNameUnits);
    const HRESULT refreshed = refresher->Refresh(0);
    EXPECT_TRUE(SUCCEEDED(refreshed) || refreshed == RPC_E_CALL_COMPLETE) << std::hex << refreshed;
    // Names change too fast to be confirmed: there may be no session 1.
    Served ignored;
    const HRESULT filled = Fill(L"1", &ignored);
    EXPECT_TRUE(SUCCEEDED(filled) || filled == kNotFound) << std::hex << filled;
    ++calls;
  }
  scribbling = false;
  scribbler.join();
  EXPECT_GT(calls, 0);
}
