#pragma once
// Module-wide state of the provider DLL: the router block mapping and the two
// counts that decide whether the module may unload.

#include <atomic>

#include <windows.h>

#include "provider/router_block.h"
#include "provider/shared_mem.h"

// The provider's one mapping of the router block (secure flag set), the
// module's first static object (module_objects.cpp): destroyed last, it
// unmaps and closes the latest view.
extern WMISharedMem<wmirouter_perf_t> g_routerBlock;
WMISharedMem<wmirouter_perf_t>& RouterBlock();
// Maps the router block read-only, reporting to the provider log.
bool MapRouterBlock();

// Raised by every provider and refresher, lowered by their destructors.
extern std::atomic<long> g_liveObjectCount;
// Driven by IClassFactory::LockServer.
extern std::atomic<long> g_serverLockCount;
extern HMODULE g_moduleHandle;
// Handle of the class's "Name" property, obtained by the first provider
// Initialize and valid for every instance of the class.
extern std::atomic<long> g_nameHandle;
