// The module's static objects, in their load order: the router block's
// mapping first, then the support library's process-wide objects. Linked as
// an object of its own into every program that carries the provider, so
// that the library's own definitions of those objects are left out.

#include "provider/module_state.h"

WMISharedMem<wmirouter_perf_t> g_routerBlock(true);

#include "support/library_objects.inc"
