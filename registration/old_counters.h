#pragma once
// Removal of what superseded counter providers of the product line left on
// a machine: the Installer component naming their DLL, their services'
// performance keys, their COM registration and DLL file and, for the agent,
// its shared-DLL reference counts and WMI classes. Runs against
// HKEY_LOCAL_MACHINE, reports progress at level 4, never stops half way and
// always answers true. The agent variant needs COM on the calling thread.

#include "support/log_callback.h"

namespace zel_wmi {

bool RemoveOldRouterCounters(LogCallback callback);
bool RemoveOldAgentCounters(LogCallback callback);

}  // namespace zel_wmi
