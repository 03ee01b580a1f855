#pragma once
// Module-wide state of the provider DLL: the router block mapping and the two
// counts that decide whether the module may unload.

#include <atomic>

#include <windows.h>

#include "provider/router_block.h"
#include "provider/shared_mem.h"

// The provider's one mapping of the router block (secure flag set).
WMISharedMem<wmirouter_perf_t>& RouterBlock();

// Raised by every provider and refresher, lowered by their destructors.
extern std::atomic<long> g_liveObjectCount;
// Driven by IClassFactory::LockServer.
extern std::atomic<long> g_serverLockCount;
extern HMODULE g_moduleHandle;
