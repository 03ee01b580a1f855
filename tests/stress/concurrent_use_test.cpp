// Eight threads call the provider every way WMI does, all at once, while a
// writer thread keeps rewriting the router block. Every value they read back
// must be one the writer wrote; afterwards the module must let go of all it
// took: objects, its polling thread and its handles.

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <iostream>
#include <mutex>
#include <random>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/stress/generation_writer.h"
#include "tests/stress/provider_harness.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/sinks.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kWorkers = 8;
// Identifiers below this one denote enumerators.
constexpr long kFirstObjectId = 10;
constexpr auto kStressTime = std::chrono::seconds(3);
// The process's handle count may end a little above where it began: under
// Wine it ends one above, held by the platform's COM layer once threads have
// joined the multithreaded apartment. A leak in the provider grows with the
// thousands of objects made here and would far exceed this.
constexpr DWORD kHandleSlack = 4;

// What the workers found wrong, gathered for the main thread to report.
class Findings {
 public:
  void Add(const std::string& what) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (++count_ <= 10) text_ << what << "\n";
  }
  int count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return count_;
  }
  std::string text() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return text_.str();
  }

 private:
  mutable std::mutex mutex_;
  int count_ = 0;
  std::ostringstream text_;
};

std::string Hex(HRESULT hr) {
  std::ostringstream text;
  text << "0x" << std::hex << static_cast<unsigned long>(hr);
  return text.str();
}

// What every worker calls: the host session's provider, one refresher and
// enumerator shared by all, and the module for new providers.
struct SharedTargets {
  const PinnedModule& module;
  wmihost::HostSession& host;
  IWbemRefresher* refresher;
  wmihost::HiPerfEnum* enumerator;
  const GenerationWriter& writer;
  Findings& findings;
};

class Worker {
 public:
  Worker(int index, SharedTargets& shared) : shared_(shared), random_(static_cast<unsigned>(index) + 1) {}

  // Runs every kind of call once per round, in a shuffled order, until the
  // deadline has passed at the end of a round.
  void Run(std::chrono::steady_clock::time_point deadline) {
    ComApartment apartment;
    const std::array<std::function<void()>, 6> calls = {
        [this] { RefreshShared(); },        [this] { QueryAll(); },
        [this] { FillTemplates(); },        [this] { UseOwnRefresher(); },
        [this] { UseOwnProvider(); },       [this] { AddAndRemoveOnShared(); },
    };
    std::array<size_t, 6> order = {0, 1, 2, 3, 4, 5};
    do {
      std::shuffle(order.begin(), order.end(), random_);
      for (size_t call : order) calls[call]();
      ++rounds_;
    } while (std::chrono::steady_clock::now() < deadline);
  }

  int rounds() const { return rounds_; }

 private:
  IWbemHiPerfProvider* HiPerf() const { return shared_.host.HiPerfProvider(); }
  IWbemServices* Services() const { return &shared_.host.HostServices(); }

  void Expect(bool condition, const std::string& what) {
    if (!condition) shared_.findings.Add(what);
  }
  void ExpectSucceeded(HRESULT hr, const char* call) { Expect(SUCCEEDED(hr), std::string(call) + " gave " + Hex(hr)); }

  void Validate(IUnknown* object, const char* where) {
    wmihost::SessionValues values;
    const HRESULT hr = wmihost::ReadSessionValues(object, &values);
    if (FAILED(hr)) return shared_.findings.Add(std::string(where) + ": values unreadable, " + Hex(hr));
    const std::string wrong = shared_.writer.Check(values);
    Expect(wrong.empty(), std::string(where) + ": " + wrong);
  }

  void ValidateEnumerator(const wmihost::HiPerfEnum& enumerator, const char* where) {
    for (const auto& entry : enumerator.Entries()) Validate(entry.object.Get(), where);
  }

  // A steady session's name, or now and then a decimal ordinal of one, the
  // other way a template can be keyed; or, with `comingAndGoing`, any name.
  std::wstring AnySessionName(bool comingAndGoing) {
    const int sessions = comingAndGoing ? GenerationWriter::kSessions : GenerationWriter::kSteadySessions;
    const int pick = static_cast<int>(random_() % (sessions + 1));
    return pick == sessions ? L"3" : GenerationWriter::SessionName(pick);
  }

  void RefreshShared() {
    ExpectSucceeded(shared_.refresher->Refresh(0), "shared Refresh");
    ValidateEnumerator(*shared_.enumerator, "shared enumerator");
  }

  void QueryAll() {
    auto sink = wmihost::ObjectSink::Create();
    const HRESULT hr = HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0,
                                                nullptr, sink.Get());
    Expect(hr == S_OK, "QueryInstances gave " + Hex(hr));
    const auto statuses = sink->Statuses();
    Expect(statuses.size() == 1 && statuses[0].result == S_OK, "QueryInstances did not complete once with S_OK");
    const auto indicated = sink->Indicated();
    Expect(indicated.size() >= GenerationWriter::kSteadySessions && indicated.size() <= GenerationWriter::kSessions,
           "QueryInstances indicated " + std::to_string(indicated.size()) + " instances");
    for (const auto& object : indicated) Validate(object.Get(), "QueryInstances");
  }

  void FillTemplates() {
    std::vector<ComPtr<IWbemObjectAccess>> templates;
    std::vector<IWbemObjectAccess*> objects;
    for (int count = 0; count < 4; ++count) {
      templates.push_back(NamedTemplate(shared_.host.SessionClass(), AnySessionName(false)));
      objects.push_back(templates.back().Get());
    }
    ExpectSucceeded(HiPerf()->GetObjects(Services(), static_cast<long>(objects.size()), objects.data(), 0, nullptr),
                    "GetObjects");
    for (IWbemObjectAccess* object : objects) Validate(object, "GetObjects");
  }

  // Adds objects and an enumerator to `refresher`, refreshes, checks and
  // takes them off again.
  void Exercise(IWbemHiPerfProvider* provider, IWbemRefresher* refresher, int objectCount, int refreshes) {
    auto enumerator = wmihost::HiPerfEnum::Create();
    long enumId = -1;
    ExpectSucceeded(provider->CreateRefreshableEnum(Services(), wmihost::kSessionClassName, refresher, 0, nullptr,
                                                    enumerator.Get(), &enumId),
                    "CreateRefreshableEnum");
    std::vector<std::pair<ComPtr<IWbemObjectAccess>, long>> objects;
    for (int count = 0; count < objectCount; ++count) {
      ComPtr<IWbemObjectAccess> object;
      long id = -1;
      const auto templateObject = NamedTemplate(shared_.host.SessionClass(), AnySessionName(true));
      const HRESULT hr =
          provider->CreateRefreshableObject(Services(), templateObject.Get(), refresher, 0, nullptr, &object, &id);
      // A session that comes and goes may be between its lives.
      if (hr == static_cast<HRESULT>(WBEM_E_NOT_FOUND)) continue;
      ExpectSucceeded(hr, "CreateRefreshableObject");
      Expect(object != nullptr && id >= kFirstObjectId, "refreshable object missing its object or identifier");
      objects.emplace_back(object, id);
    }
    for (int refresh = 0; refresh < refreshes; ++refresh) {
      ExpectSucceeded(refresher->Refresh(0), "Refresh");
      ValidateEnumerator(*enumerator.Get(), "enumerator");
      for (const auto& object : objects) {
        if (object.first) Validate(object.first.Get(), "refreshable object");
      }
    }
    for (const auto& object : objects) {
      Expect(provider->StopRefreshing(refresher, object.second, 0) == S_OK, "StopRefreshing an object failed");
    }
    Expect(provider->StopRefreshing(refresher, enumId, 0) == S_OK, "StopRefreshing an enumerator failed");
  }

  void UseOwnRefresher() {
    ComPtr<IWbemRefresher> refresher;
    ExpectSucceeded(HiPerf()->CreateRefresher(Services(), 0, &refresher), "CreateRefresher");
    if (refresher) Exercise(HiPerf(), refresher.Get(), 3, 3);
  }

  void UseOwnProvider() {
    ComPtr<IWbemProviderInit> init;
    const HRESULT created = shared_.module.Factory()->CreateInstance(
        nullptr, IID_IWbemProviderInit, reinterpret_cast<void**>(init.GetAddressOf()));
    ExpectSucceeded(created, "CreateInstance");
    if (!init) return;
    auto sink = wmihost::InitSink::Create();
    wchar_t cimv2[] = L"root\\cimv2";
    ExpectSucceeded(init->Initialize(nullptr, 0, cimv2, nullptr, Services(), nullptr, sink.Get()), "Initialize");
    const auto statuses = sink->Statuses();
    Expect(statuses.size() == 1 && statuses[0].status == 0, "a new provider did not initialise");
    ComPtr<IWbemHiPerfProvider> provider;
    ExpectSucceeded(init.As(&provider), "QueryInterface for IWbemHiPerfProvider");
    init.Reset();
    ComPtr<IWbemRefresher> refresher;
    ExpectSucceeded(provider->CreateRefresher(Services(), 0, &refresher), "CreateRefresher");
    // The provider goes first: its refresher keeps it alive.
    provider.Reset();
    if (refresher) {
      ExpectSucceeded(refresher->Refresh(0), "Refresh");
    }
  }

  void AddAndRemoveOnShared() { Exercise(HiPerf(), shared_.refresher, 1, 1); }

  SharedTargets& shared_;
  std::mt19937 random_;
  int rounds_ = 0;
};

// True when QueryInstances shows every session of the current generation
// with values the writer wrote.
bool ServesWriterValues(wmihost::HostSession& host, const GenerationWriter& writer) {
  auto sink = wmihost::ObjectSink::Create();
  host.HiPerfProvider()->QueryInstances(&host.HostServices(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0,
                                        nullptr, sink.Get());
  const auto indicated = sink->Indicated();
  if (indicated.size() != GenerationWriter::kSteadySessions + 4) return false;
  return std::all_of(indicated.begin(), indicated.end(), [&](const ComPtr<IWbemClassObject>& object) {
    wmihost::SessionValues values;
    return SUCCEEDED(wmihost::ReadSessionValues(object.Get(), &values)) && writer.Check(values).empty();
  });
}

}  // namespace

TEST(ConcurrentUse, EveryValueReadBackWasWrittenAndTheModuleLetsGoOfEverything) {
  RouterWriter router;
  GenerationWriter writer(router);
  writer.WriteNext();
  const DWORD handlesBefore = ProcessHandleCount();
  const long hostObjectsBefore = wmihost::LiveObjectCount();
  DWORD pollingThread = 0;
  std::vector<int> rounds;
  Findings findings;
  {
    PinnedModule module;
    ASSERT_TRUE(module.pinned());
    wmihost::HostSession host;
    ASSERT_EQ(host.Load(wmihost::ProviderPathBesideExecutable()), S_OK);
    const auto threadsBeforeInitialize = ProcessThreadIds();
    ASSERT_EQ(host.Initialize(), S_OK);
    pollingThread = NewThreadId(threadsBeforeInitialize, ProcessThreadIds());
    ASSERT_NE(pollingThread, 0u) << "Initialize should start exactly one thread";

    // A first refresher maps the block; wait for the first copy so that no
    // record in use still holds its initial zeros.
    ComPtr<IWbemRefresher> refresher;
    ASSERT_EQ(host.HiPerfProvider()->CreateRefresher(&host.HostServices(), 0, &refresher), S_OK);
    ASSERT_TRUE(Eventually([&] { return ServesWriterValues(host, writer); }));
    auto enumerator = wmihost::HiPerfEnum::Create();
    long enumId = -1;
    ASSERT_EQ(host.HiPerfProvider()->CreateRefreshableEnum(&host.HostServices(), wmihost::kSessionClassName,
                                                           refresher.Get(), 0, nullptr, enumerator.Get(), &enumId),
              S_OK);

    SharedTargets shared{module, host, refresher.Get(), enumerator.Get(), writer, findings};
    std::vector<Worker> workers;
    for (int index = 0; index < kWorkers; ++index) workers.emplace_back(index, shared);
    writer.Start();
    const auto deadline = std::chrono::steady_clock::now() + kStressTime;
    std::vector<std::thread> threads;
    for (Worker& worker : workers) threads.emplace_back([&worker, deadline] { worker.Run(deadline); });
    for (std::thread& thread : threads) thread.join();
    writer.Stop();
    for (const Worker& worker : workers) rounds.push_back(worker.rounds());

    enumerator.Reset();
    refresher.Reset();
    EXPECT_EQ(host.CanUnloadNow(), S_FALSE) << "the session's provider is still alive";
    host.Close();
    EXPECT_EQ(module.CanUnloadNow(), S_OK);
  }
  EXPECT_EQ(findings.count(), 0) << findings.text();
  std::ostringstream perWorker;
  for (int count : rounds) perWorker << " " << count;
  std::cout << "rounds per worker:" << perWorker.str() << ", writer generations: " << writer.Generation() << "\n";
  EXPECT_GT(writer.Generation(), 100u) << "the writer hardly ran";

  EXPECT_EQ(wmihost::LiveObjectCount(), hostObjectsBefore) << "the provider leaked host objects";
  EXPECT_TRUE(Eventually([&] { return !ThreadExists(pollingThread); })) << "the polling thread outlived the module";
  EXPECT_TRUE(Eventually([] { return !ProviderModuleMapped(); })) << "the module stayed loaded";
  EXPECT_TRUE(Eventually([&] { return ProcessHandleCount() <= handlesBefore + kHandleSlack; }))
      << "handles before " << handlesBefore << ", after " << ProcessHandleCount();
}

namespace {

void WriteUpTo(GenerationWriter& writer, uint32_t generation) {
  while (writer.Generation() < generation) writer.WriteNext();
}

// A new refresher makes the module copy the block at once.
void CopyBlockNow(wmihost::HostSession& host) {
  ComPtr<IWbemRefresher> refresher;
  ASSERT_EQ(host.HiPerfProvider()->CreateRefresher(&host.HostServices(), 0, &refresher), S_OK);
}

std::string WrongEntries(const wmihost::HiPerfEnum& enumerator, const GenerationWriter& writer) {
  std::string wrong;
  for (const auto& entry : enumerator.Entries()) {
    wmihost::SessionValues values;
    const HRESULT hr = wmihost::ReadSessionValues(entry.object.Get(), &values);
    const std::string found = FAILED(hr) ? "values unreadable, " + Hex(hr) : writer.Check(values);
    if (!found.empty()) wrong += found + "\n";
  }
  return wrong;
}

}  // namespace

// Sessions that start are taken in by the next refresh; here they end again
// after the refresher has read the session names but before it builds their
// instances. The enumerator must not be handed those instances unfilled, and
// the refresh after must bring it to the sessions of the day.
TEST(ConcurrentUse, SessionsEndingWhileARefreshBuildsTheirInstancesAreNotHandedOutUnfilled) {
  // Transient sessions 13, 14, 16, 17 are active at generation 1, 12, 13, 15,
  // 16 at 16, and 13, 14, 16, 17 again at 48.
  RouterWriter router;
  GenerationWriter writer(router);
  writer.WriteNext();
  PinnedModule module;
  ASSERT_TRUE(module.pinned());
  wmihost::HostSession host;
  ASSERT_EQ(host.Load(wmihost::ProviderPathBesideExecutable()), S_OK);
  ASSERT_EQ(host.Initialize(), S_OK);
  ComPtr<IWbemRefresher> refresher;
  ASSERT_EQ(host.HiPerfProvider()->CreateRefresher(&host.HostServices(), 0, &refresher), S_OK);
  auto enumerator = wmihost::HiPerfEnum::Create();
  long enumId = -1;
  ASSERT_EQ(host.HiPerfProvider()->CreateRefreshableEnum(&host.HostServices(), wmihost::kSessionClassName,
                                                         refresher.Get(), 0, nullptr, enumerator.Get(), &enumId),
            S_OK);

  WriteUpTo(writer, 16);
  // New names are served once a copy a polling period later agrees.
  Sleep(300);
  // The refresh's first new instance is spawned for session 12.
  host.SessionFaults().RunBeforeNext(wmihost::Op::SpawnInstance, [&] {
    WriteUpTo(writer, 48);
    CopyBlockNow(host);
  });
  ASSERT_EQ(refresher->Refresh(0), S_OK);
  EXPECT_EQ(WrongEntries(*enumerator.Get(), writer), "");

  Sleep(300);
  ASSERT_EQ(refresher->Refresh(0), S_OK);
  EXPECT_EQ(enumerator->Entries().size(), static_cast<size_t>(GenerationWriter::kSteadySessions + 4));
  EXPECT_EQ(WrongEntries(*enumerator.Get(), writer), "");
  refresher.Reset();
  host.Close();
}
