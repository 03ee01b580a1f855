#pragma once
// The readable name of the running Windows version, and the OLE DB providers
// registered on the machine.

#include <string>
#include <vector>
#include <windows.h>

#include "support/log_callback.h"

// The version the system itself reports (RtlGetVersion, independent of the
// caller's manifest), else the one GetVersionEx tells this process;
// `extended` tells whether the record's extended fields were read. False
// when no call gives a version.
bool ReadOSVersion(OSVERSIONINFOEXW* version, bool* extended);

// For example "Microsoft® Windows® 2003 Advanced Server Service Pack 2 x64";
// empty when the version cannot be read.
std::wstring GetOSVersionName();

// The name for a version record; `extended` tells whether the record's
// extended fields (product type, suite mask) were read.
std::wstring ComposeOSVersionName(const OSVERSIONINFOEXW& version, bool extended);

// Provider names in the enumerator's order; failures are reported to the
// sink at level 4 and give what was read so far.
std::vector<std::wstring> provider_list(LogCallback sink);
