#include "provider/module_state.h"

#include "provider_log/provider_log.h"

// Constructed first among the module's statics, so it is destroyed last and
// unmaps the latest view at unload.
static WMISharedMem<wmirouter_perf_t> g_routerBlock(true);

WMISharedMem<wmirouter_perf_t>& RouterBlock() { return g_routerBlock; }

bool MapRouterBlock() {
  return g_routerBlock.Initialize(kRouterBlockName, kSessionSlotCount, kSharedMemRead, &WriteProviderLog);
}

std::atomic<long> g_liveObjectCount{0};
std::atomic<long> g_serverLockCount{0};
HMODULE g_moduleHandle = nullptr;
std::atomic<long> g_nameHandle{0};
