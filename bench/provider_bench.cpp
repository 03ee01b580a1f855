// Measures the provider as the WMI service drives it, against the host stand-in:
// - Refresh, QueryInstances and GetObjects with 1, 16 and 128 sessions, each
//   beside its floor: the same host-object work (Name reads, DWORD writes,
//   spawns, indications) done directly, in the same run;
// - Refresh when every one of 128 sessions was replaced since the last one
//   (the refresher's sync plus the fills);
// - the latency from a router update to a refresh that shows it, for new
//   counters and for a new session;
// - the polling thread's CPU time over 10 idle seconds.
// Prints its figures; asserts nothing.

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "provider/call_security.h"
#include "tests/stress/provider_harness.h"
#include "tools/wmihost/hiperf_enum.h"
#include "tools/wmihost/session_class.h"
#include "tools/wmihost/sinks.h"

using Microsoft::WRL::ComPtr;

namespace {

constexpr int kSessionCounts[] = {1, 16, 128};
constexpr int kIdleSeconds = 10;

double NowMicroseconds() {
  using Clock = std::chrono::steady_clock;
  return std::chrono::duration<double, std::micro>(Clock::now().time_since_epoch()).count();
}

struct Spread {
  double median;
  double p99;
};

Spread Percentiles(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  const auto at = [&](double fraction) {
    return samples[std::min(samples.size() - 1, static_cast<size_t>(fraction * static_cast<double>(samples.size())))];
  };
  return {at(0.5), at(0.99)};
}

// Times `body` `runs` times, one sample per run, after a few unmeasured runs.
Spread Time(int runs, const std::function<void()>& body) {
  for (int warm = 0; warm < 5; ++warm) body();
  std::vector<double> samples;
  samples.reserve(static_cast<size_t>(runs));
  for (int run = 0; run < runs; ++run) {
    const double start = NowMicroseconds();
    body();
    samples.push_back(NowMicroseconds() - start);
  }
  return Percentiles(samples);
}

void PrintRow(const char* operation, int sessions, Spread provider, Spread floor) {
  std::printf("%-15s %4d  %10.1f %10.1f  %10.1f %10.1f  %6.2fx %6.2fx\n", operation, sessions, provider.median,
              provider.p99, floor.median, floor.p99, provider.median / floor.median, provider.p99 / floor.p99);
}

std::wstring SessionName(int session) { return L"session-" + std::to_wstring(session); }

// Host-side handles for the floor, obtained independently of the provider.
struct HostHandles {
  long name = 0;
  std::array<long, 4> counters = {};

  explicit HostHandles(IWbemClassObject* sessionClass) {
    ComPtr<IWbemObjectAccess> access;
    sessionClass->QueryInterface(IID_IWbemObjectAccess, reinterpret_cast<void**>(access.GetAddressOf()));
    access->GetPropertyHandle(const_cast<wchar_t*>(wmihost::kSessionKeyName), nullptr, &name);
    for (size_t k = 0; k < counters.size(); ++k) {
      access->GetPropertyHandle(const_cast<wchar_t*>(wmihost::kSessionCounterNames[k]), nullptr, &counters[k]);
    }
  }

  // What filling one instance costs at the least: read its Name, write four DWORDs.
  void Fill(IWbemObjectAccess* object, DWORD value) const {
    wchar_t buffer[256];
    long bytes = 0;
    object->ReadPropertyValue(name, 511, &bytes, reinterpret_cast<BYTE*>(buffer));
    for (long handle : counters) object->WriteDWORD(handle, value);
  }
};

class Bench {
 public:
  Bench() {
    if (host_.Load(wmihost::ProviderPathBesideExecutable()) != S_OK) throw std::runtime_error("cannot load provider");
    const auto before = ProcessThreadIds();
    host_.Initialize();
    pollingThread_ = NewThreadId(before, ProcessThreadIds());
  }

  void Operations(int sessions) {
    Publish(sessions, 1000);
    ComPtr<IWbemRefresher> refresher;
    std::vector<ComPtr<IWbemObjectAccess>> refreshed = RefresherWithEverySession(&refresher);

    const Spread refresh = Time(2000, [&] { refresher->Refresh(0); });
    const Spread refreshFloor = Time(2000, [&] {
      for (const auto& object : refreshed) handles_.Fill(object.Get(), 1);
    });
    PrintRow("Refresh", sessions, refresh, refreshFloor);
    // The same floor after the call-security check every call must begin
    // with: under Wine its token query is a wineserver round trip, after which
    // the instances are fetched from colder caches.
    const Spread securedFloor = Time(2000, [&] {
      CheckCallSecurity();
      for (const auto& object : refreshed) handles_.Fill(object.Get(), 1);
    });
    PrintRow("Refresh/secured", sessions, refresh, securedFloor);

    const Spread query = Time(300, [&] {
      auto sink = wmihost::ObjectSink::Create();
      HiPerf()->QueryInstances(Services(), const_cast<wchar_t*>(wmihost::kSessionClassName), 0, nullptr, sink.Get());
    });
    const Spread queryFloor = Time(300, [&] {
      auto sink = wmihost::ObjectSink::Create();
      for (int session = 0; session < sessions; ++session) {
        ComPtr<IWbemClassObject> instance;
        host_.SessionClass()->SpawnInstance(0, &instance);
        ComPtr<IWbemObjectAccess> access;
        instance.As(&access);
        const std::wstring name = SessionName(session);
        access->WritePropertyValue(handles_.name, static_cast<long>((name.size() + 1) * sizeof(wchar_t)),
                                   reinterpret_cast<const BYTE*>(name.c_str()));
        handles_.Fill(access.Get(), 1);
        IWbemClassObject* indicated = instance.Get();
        sink->Indicate(1, &indicated);
      }
      sink->SetStatus(WBEM_STATUS_COMPLETE, S_OK, nullptr, nullptr);
    });
    PrintRow("QueryInstances", sessions, query, queryFloor);

    std::vector<ComPtr<IWbemObjectAccess>> templates;
    std::vector<IWbemObjectAccess*> objects;
    for (int session = 0; session < sessions; ++session) {
      templates.push_back(NamedTemplate(host_.SessionClass(), SessionName(session)));
      objects.push_back(templates.back().Get());
    }
    const Spread get = Time(2000, [&] {
      HiPerf()->GetObjects(Services(), static_cast<long>(objects.size()), objects.data(), 0, nullptr);
    });
    const Spread getFloor = Time(2000, [&] {
      for (IWbemObjectAccess* object : objects) handles_.Fill(object, 1);
    });
    PrintRow("GetObjects", sessions, get, getFloor);
  }

  // Every session replaced between two refreshes: the refresher builds 128
  // instances, hands them to its enumerator and drops 128.
  void FullChurn() {
    constexpr int kSessions = 128;
    ComPtr<IWbemRefresher> refresher;
    Publish(kSessions, 1000);
    RefresherWithEverySession(&refresher);
    std::vector<double> samples;
    for (int round = 1; round <= 40; ++round) {
      for (int slot = 0; slot < kSessions; ++slot) {
        const std::wstring name = L"churn-" + std::to_wstring(round) + L"-" + std::to_wstring(slot);
        router_.SetSession(slot, name.c_str(), 1000);
      }
      router_.Publish();
      // A new name is served once a copy a polling period later agrees.
      Sleep(250);
      const double start = NowMicroseconds();
      refresher->Refresh(0);
      samples.push_back(NowMicroseconds() - start);
    }
    const Spread churn = Percentiles(samples);
    std::printf("\nRefresh after all %d sessions were replaced (sync + fills), 40 rounds (us): median %.1f, p99 %.1f\n",
                kSessions, churn.median, churn.p99);
  }

  // From a router update to the first refresh that shows it, at random
  // points of the polling period: new counters of a session, and a session
  // that starts (its name must read the same in two copies).
  void UpdateLatency() {
    Publish(16, 1000);
    ComPtr<IWbemRefresher> refresher;
    auto enumerator = wmihost::HiPerfEnum::Create();
    HiPerf()->CreateRefresher(Services(), 0, refresher.GetAddressOf());
    long id = 0;
    HiPerf()->CreateRefreshableEnum(Services(), wmihost::kSessionClassName, refresher.Get(), 0, nullptr,
                                    enumerator.Get(), &id);
    ComPtr<IWbemObjectAccess> first = enumerator->Entries().front().object;
    std::mt19937 random(5);
    std::vector<double> counterSamples;
    std::vector<double> sessionSamples;
    for (uint32_t update = 1; update <= 60; ++update) {
      Sleep(random() % 120);
      const uint32_t base = 1000 + update * 10;
      double start = NowMicroseconds();
      router_.SetSession(0, SessionName(0).c_str(), base);
      router_.Publish();
      const bool counted = RefreshUntil(refresher.Get(), [&] {
        DWORD value = 0;
        first->ReadDWORD(handles_.counters[0], &value);
        return value == base + 1;
      });
      if (counted) counterSamples.push_back((NowMicroseconds() - start) / 1000.0);

      Sleep(random() % 120);
      start = NowMicroseconds();
      router_.SetSession(16 + static_cast<int>(update % 2), (L"new-" + std::to_wstring(update)).c_str(), base);
      router_.Publish();
      const size_t expected = update == 1 ? 17 : 18;
      const bool joined = RefreshUntil(refresher.Get(), [&] {
        return enumerator->Entries().size() == expected && HasSession(*enumerator.Get(), update);
      });
      if (joined) sessionSamples.push_back((NowMicroseconds() - start) / 1000.0);
    }
    for (const auto& figure : {std::make_pair("new counters", &counterSamples),
                               std::make_pair("a new session", &sessionSamples)}) {
      if (figure.second->empty()) continue;
      const Spread latency = Percentiles(*figure.second);
      std::printf("update-to-refresh latency, %s, %zu updates (ms): median %.1f, p99 %.1f, max %.1f\n", figure.first,
                  figure.second->size(), latency.median, latency.p99,
                  *std::max_element(figure.second->begin(), figure.second->end()));
    }
  }

  // The polling thread's own times when it can be opened; its access list
  // admits only the Administrators group, so otherwise the whole process's,
  // an upper bound while every other thread sleeps.
  void IdlePollingCpu() {
    HANDLE thread = OpenThread(THREAD_QUERY_LIMITED_INFORMATION, FALSE, pollingThread_);
    const char* measured = thread != nullptr ? "polling thread" : "whole process (polling thread not openable)";
    const auto cpu = [thread] {
      FILETIME created, exited, kernel, user;
      if (thread != nullptr) {
        GetThreadTimes(thread, &created, &exited, &kernel, &user);
      } else {
        GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
      }
      const auto seconds = [](FILETIME time) {
        return static_cast<double>((static_cast<uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime) / 1e7;
      };
      return seconds(kernel) + seconds(user);
    };
    const double before = cpu();
    const double start = NowMicroseconds();
    Sleep(kIdleSeconds * 1000);
    const double elapsed = (NowMicroseconds() - start) / 1e6;
    const double used = cpu() - before;
    if (thread != nullptr) CloseHandle(thread);
    std::printf("idle CPU of the %s over %.1f s: %.1f ms, %.3f%% of one core\n", measured, elapsed, used * 1000.0,
                100.0 * used / elapsed);
  }

 private:
  // A new refresher and the instance objects it refreshes, as an enumerator
  // added to it receives them.
  std::vector<ComPtr<IWbemObjectAccess>> RefresherWithEverySession(ComPtr<IWbemRefresher>* refresher) {
    HiPerf()->CreateRefresher(Services(), 0, refresher->ReleaseAndGetAddressOf());
    auto enumerator = wmihost::HiPerfEnum::Create();
    long id = 0;
    HiPerf()->CreateRefreshableEnum(Services(), wmihost::kSessionClassName, refresher->Get(), 0, nullptr,
                                    enumerator.Get(), &id);
    std::vector<ComPtr<IWbemObjectAccess>> objects;
    for (const auto& entry : enumerator->Entries()) objects.push_back(entry.object);
    return objects;
  }

  IWbemHiPerfProvider* HiPerf() { return host_.HiPerfProvider(); }
  IWbemServices* Services() { return &host_.HostServices(); }

  // Refreshes until `shown` holds, for at most 5 s.
  static bool RefreshUntil(IWbemRefresher* refresher, const std::function<bool()>& shown) {
    const ULONGLONG deadline = GetTickCount64() + 5000;
    do {
      refresher->Refresh(0);
      if (shown()) return true;
    } while (GetTickCount64() < deadline);
    std::printf("not shown within 5 s\n");
    return false;
  }

  // Whether session "new-<update>" is among the enumerator's instances.
  bool HasSession(const wmihost::HiPerfEnum& enumerator, uint32_t update) const {
    const std::wstring wanted = L"new-" + std::to_wstring(update);
    for (const auto& entry : enumerator.Entries()) {
      wchar_t name[64] = {};
      long bytes = 0;
      entry.object->ReadPropertyValue(handles_.name, sizeof(name) - sizeof(wchar_t), &bytes,
                                      reinterpret_cast<BYTE*>(name));
      if (wanted == name) return true;
    }
    return false;
  }

  // `sessions` sessions in the lowest slots, the rest free, under a new
  // stamp; waits three polling periods for the provider to copy them.
  void Publish(int sessions, uint32_t base) {
    for (int slot = 0; slot < kSessionSlotCount; ++slot) router_.ClearSession(slot);
    for (int session = 0; session < sessions; ++session) {
      router_.SetSession(session, SessionName(session).c_str(), base + static_cast<uint32_t>(session) * 10);
    }
    router_.Publish();
    Sleep(300);
  }

  RouterWriter router_;
  wmihost::HostSession host_;
  HostHandles handles_{host_.SessionClass()};
  DWORD pollingThread_ = 0;
};

}  // namespace

int main() {
  try {
    Bench bench;
    std::printf("times in microseconds; floor = the same host-object work done directly\n");
    std::printf("%-15s %4s  %10s %10s  %10s %10s  %7s %7s\n", "operation", "n", "median", "p99", "floor med",
                "floor p99", "ratio", "p99 r.");
    for (int sessions : kSessionCounts) bench.Operations(sessions);
    bench.FullChurn();
    bench.UpdateLatency();
    bench.IdlePollingCpu();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s\n", error.what());
    return 1;
  }
  return 0;
}
