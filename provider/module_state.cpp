#include "provider/module_state.h"

#include "provider_log/provider_log.h"

WMISharedMem<wmirouter_perf_t>& RouterBlock() { return g_routerBlock; }

namespace {
// Set from the first failed attempt to map the block until one succeeds.
std::atomic<bool> g_blockAbsent{false};
}  // namespace

bool MapRouterBlock() {
  // Every enumeration and refresher looks for the block while the router is
  // away; only the first attempt of an absence reports, or the log would get
  // a line per call.
  const bool report = !g_blockAbsent.exchange(true);
  const bool mapped = g_routerBlock.Initialize(kRouterBlockName, kSessionSlotCount, kSharedMemRead,
                                               report ? &WriteProviderLog : nullptr);
  if (mapped) g_blockAbsent = false;
  return mapped;
}

std::atomic<long> g_liveObjectCount{0};
std::atomic<long> g_serverLockCount{0};
HMODULE g_moduleHandle = nullptr;
std::atomic<long> g_nameHandle{0};
