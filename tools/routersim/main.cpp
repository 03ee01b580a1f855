// RouterSim: plays the router service for the session counter provider. It
// creates the router's shared counter block, keeps a set of named sessions in
// it and advances their counters, either on a timer (--rate ticks per second)
// or one tick per signal of a named event (--step-event).
//
// Standard output, one line each, flushed as written:
//   counters <the four counter names in catalogue order>
//   session <name> slot <n> start <4 values> step <4 values>   (a session started)
//   ready                                                      (block published)
//   tick <n>                                                   (step mode: tick n written)
//   end <name>                                                 (a session ended)
//   stopped after <n> ticks
// "RouterSim --stop" asks the running simulator to stop, through its stop
// event, and returns at once.
// A session's counter k at tick t is start[k] + (t - first tick) * step[k],
// modulo 2^32, where the first tick is the tick on which its line appeared
// (0 for the sessions listed before "ready"). Names are shown escaped (see
// session_names.h), so a line never holds a space or a non-ASCII byte.

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include <windows.h>

#include "provider/router_block.h"
#include "provider/shared_mem.h"
#include "support/fs/code_page.h"
#include "tools/common/arguments.h"
#include "tools/common/console_stop.h"
#include "support/fs/unique_handle.h"
#include "tools/routersim/router_simulation.h"
#include "tools/routersim/session_names.h"

namespace {

enum ExitCode {
  kExitOk = 0,
  kExitUsage = 2,
  kExitNoBlock = 3,
  kExitRouterRunning = 4,
  kExitEvent = 5,
  kExitNoSimulator = 6,
  kExitNames = 7,
};

constexpr wchar_t kDefaultStopEvent[] = L"Local\\FernwickRouterSim-stop";

const char kUsage[] =
    "usage: RouterSim [--sessions N | --names FILE] [--rate TICKS_PER_SECOND] [--seed N] [--seconds N]\n"
    "                 [--churn TICKS] [--step-event NAME] [--stop-event NAME] [--ready-event NAME]\n"
    "       RouterSim --stop [--stop-event NAME]\n"
    "  --sessions N       sessions at start, 0..255 (default 4)\n"
    "  --names FILE       sessions at start named by FILE instead: UTF-8, one name per line for\n"
    "                     slots 0, 1, ..., up to 32 UTF-16 units; \\\\ is a backslash, \\n a line\n"
    "                     feed, \\uXXXX any UTF-16 unit; an empty line leaves its slot free\n"
    "  --rate R           ticks per second on the timer, 1..1000 (default 10)\n"
    "  --seed N           seeds start values, steps and churn (default 1)\n"
    "  --seconds N        stop after N seconds; 0 runs until Ctrl+C (default 0)\n"
    "  --churn T          every T ticks alternately end one session and start a new one\n"
    "  --step-event NAME  tick once per signal of this named event instead of on the timer\n"
    "  --stop-event NAME  stop when this named event is signalled (default Local\\FernwickRouterSim-stop)\n"
    "  --stop             signal the stop event of the running simulator and return\n"
    "  --ready-event NAME signal this named event once the block is published\n";

struct Options {
  int64_t sessions = 4;
  std::wstring namesFile;
  double rate = 10;
  int64_t seed = 1;
  int64_t seconds = 0;
  int64_t churn = 0;
  std::wstring stepEvent;
  std::wstring stopEvent = kDefaultStopEvent;
  std::wstring readyEvent;
  bool stop = false;
};

bool ParseOptions(int argc, wchar_t** argv, Options* options) {
  return tools::ParseCommandLine(argc, argv, "RouterSim", kUsage, [&](tools::ArgumentList& args,
                                                                      const std::wstring& option) {
    if (option == L"--sessions") return args.TakeInteger(option, 0, kSessionSlotCount, &options->sessions);
    if (option == L"--names") return args.TakeText(option, &options->namesFile);
    if (option == L"--rate") return args.TakeNumber(option, 1, 1000, &options->rate);
    if (option == L"--seed") return args.TakeInteger(option, 0, UINT32_MAX, &options->seed);
    if (option == L"--seconds") return args.TakeInteger(option, 0, 86400 * 365, &options->seconds);
    if (option == L"--churn") return args.TakeInteger(option, 0, INT32_MAX, &options->churn);
    if (option == L"--step-event") return args.TakeText(option, &options->stepEvent);
    if (option == L"--stop-event") return args.TakeText(option, &options->stopEvent);
    if (option == L"--ready-event") return args.TakeText(option, &options->readyEvent);
    if (option != L"--stop") return args.RejectUnknown(option);
    options->stop = true;
    return true;
  });
}

// Reports the shared-memory layer's errors and warnings; its progress notes
// are of no interest here.
intptr_t ReportBlockMessage(int32_t level, int32_t, int32_t, int32_t, const wchar_t* message, const char*, int32_t,
                            ErrorRecord*) {
  if (level <= 2 && message != nullptr) std::fprintf(stderr, "RouterSim: %s\n", WideToNarrow(message).c_str());
  return 0;
}

void PrintValues(const routersim::CounterSet& values) {
  for (uint32_t value : values) std::printf(" %lu", static_cast<unsigned long>(value));
}

void PrintSession(const routersim::SessionInfo& session) {
  std::printf("session %s slot %d start", routersim::EncodeSessionName(session.name).c_str(), session.slot);
  PrintValues(session.start);
  std::printf(" step");
  PrintValues(session.step);
  std::printf("\n");
}

void PrintChurn(const routersim::ChurnEvent& event) {
  if (event.kind == routersim::ChurnEvent::Kind::Started) PrintSession(event.session);
  if (event.kind == routersim::ChurnEvent::Kind::Ended) {
    std::printf("end %s\n", routersim::EncodeSessionName(event.session.name).c_str());
  }
}

DWORD MillisecondsUntil(ULONGLONG due, ULONGLONG now) {
  return due > now ? static_cast<DWORD>(std::min<ULONGLONG>(due - now, INFINITE - 1)) : 0;
}

// Named events the caller may share with other processes; empty names give
// no event. Returns false when a named one cannot be made.
bool MakeNamedEvent(const std::wstring& name, bool manualReset, UniqueHandle* event) {
  if (name.empty()) return true;
  event->reset(CreateEventW(nullptr, manualReset ? TRUE : FALSE, FALSE, name.c_str()));
  if (*event) return true;
  std::fprintf(stderr, "RouterSim: cannot create the event %s (error %lu)\n", WideToNarrow(name).c_str(),
               GetLastError());
  return false;
}

class Runner {
 public:
  Runner(const Options& options, const std::vector<std::wstring>& names, wmirouter_perf_t& block)
      : options_(options),
        block_(block),
        simulation_(names.empty() ? static_cast<int>(options.sessions) : static_cast<int>(names.size()),
                    static_cast<uint32_t>(options.seed), static_cast<int>(options.churn), names) {}

  bool OpenEvents() {
    return MakeNamedEvent(options_.stepEvent, false, &step_) && MakeNamedEvent(options_.stopEvent, true, &stop_) &&
           MakeNamedEvent(options_.readyEvent, true, &ready_);
  }

  void Run(HANDLE consoleStop) {
    simulation_.Publish(block_);
    std::printf("counters");
    for (const auto& name : kCounterPropertyNames) std::printf(" %s", WideToNarrow(name).c_str());
    std::printf("\n");
    for (const auto& session : simulation_.Sessions()) PrintSession(session);
    std::printf("ready\n");
    if (ready_) SetEvent(ready_.get());

    std::vector<HANDLE> waits{consoleStop};
    if (stop_) waits.push_back(stop_.get());
    const size_t stepIndex = waits.size();
    if (step_) waits.push_back(step_.get());

    const ULONGLONG started = GetTickCount64();
    const ULONGLONG deadline = options_.seconds > 0 ? started + static_cast<ULONGLONG>(options_.seconds) * 1000 : 0;
    for (;;) {
      const ULONGLONG now = GetTickCount64();
      if (deadline != 0 && now >= deadline) break;
      DWORD timeout = deadline != 0 ? MillisecondsUntil(deadline, now) : INFINITE;
      if (!step_) timeout = std::min(timeout, MillisecondsUntil(started + NextTickOffsetMs(), now));
      const DWORD woke = WaitForMultipleObjects(static_cast<DWORD>(waits.size()), waits.data(), FALSE, timeout);
      if (woke == WAIT_OBJECT_0 + stepIndex && step_) {
        Tick();
        std::printf("tick %llu\n", static_cast<unsigned long long>(simulation_.TickCount()));
      } else if (woke == WAIT_TIMEOUT) {
        if (!step_ && GetTickCount64() >= started + NextTickOffsetMs()) Tick();
      } else {
        break;  // Ctrl+C, the stop event, or a failed wait
      }
    }
    simulation_.Withdraw(block_);
    std::printf("stopped after %llu ticks\n", static_cast<unsigned long long>(simulation_.TickCount()));
  }

 private:
  // Milliseconds from the start to the next timer tick; ticks that fall
  // behind are caught up one by one, so tick n is never later than needed.
  ULONGLONG NextTickOffsetMs() const {
    return static_cast<ULONGLONG>(static_cast<double>(simulation_.TickCount() + 1) * 1000.0 / options_.rate);
  }

  void Tick() { PrintChurn(simulation_.Tick(block_)); }

  const Options& options_;
  wmirouter_perf_t& block_;
  routersim::RouterSimulation simulation_;
  UniqueHandle step_;
  UniqueHandle stop_;
  UniqueHandle ready_;
};


int StopRunningSimulator(const std::wstring& stopEvent) {
  const UniqueHandle event(OpenEventW(EVENT_MODIFY_STATE, FALSE, stopEvent.c_str()));
  if (!event) {
    std::fprintf(stderr, "RouterSim: no simulator is running (there is no event %s).\n",
                 WideToNarrow(stopEvent).c_str());
    return kExitNoSimulator;
  }
  SetEvent(event.get());
  return kExitOk;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  // Lines go out as they are written, also into pipes.
  std::setvbuf(stdout, nullptr, _IONBF, 0);
  Options options;
  if (!ParseOptions(argc, argv, &options)) return kExitUsage;
  if (options.stop) return StopRunningSimulator(options.stopEvent);
  std::vector<std::wstring> names;
  std::wstring namesError;
  if (!options.namesFile.empty() &&
      !routersim::ReadSessionNames(options.namesFile, kSessionSlotCount, kSessionNameUnits, &names, &namesError)) {
    std::fprintf(stderr, "RouterSim: %s\n", WideToNarrow(namesError).c_str());
    return kExitNames;
  }

  tools::ConsoleStop consoleStop;
  WMISharedMem<wmirouter_perf_t> block(true);
  if (!block.Initialize(kRouterBlockName, kSessionSlotCount, kSharedMemReadWrite, ReportBlockMessage)) {
    std::fprintf(stderr,
                 "RouterSim: cannot create the router block %s. On Windows, run it as an administrator "
                 "(creating a Global\\ object needs that).\n",
                 WideToNarrow(kRouterBlockName).c_str());
    return kExitNoBlock;
  }
  if (block.MappedSize() == 0) {
    std::fprintf(stderr, "RouterSim: the router block already exists: another router or RouterSim is running.\n");
    return kExitRouterRunning;
  }

  Runner runner(options, names, *block.MutableView());
  if (!runner.OpenEvents()) return kExitEvent;
  runner.Run(consoleStop.Event());
  return kExitOk;
}
