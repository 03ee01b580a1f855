#pragma once
// WMI class maintenance through the platform's MOF compiler: compile a MOF
// file into the repository, delete a class, and drop a class's MOF file from
// the WMI service's auto-recovery list. The caller initialises COM on the
// calling thread. Each operation reports at most one failure of its own
// through the callback (which may be null).

#include "support/log_callback.h"

namespace zel_wmi {

// Compiles the MOF file into the repository; false when the file is missing
// or the compiler cannot be created or reports a failure.
bool CompileMOFile(const wchar_t* mofPath, LogCallback callback);

// Deletes the class from root\cimv2 (failing when it is not there), then,
// whatever that gave, drops the class's MOF file from the auto-recovery list.
// Answers whether the deletion succeeded.
bool RemoveClassFromWBEM(const wchar_t* className, LogCallback callback);

}  // namespace zel_wmi

// Removes every auto-recovery entry that contains the MOF file the provider
// catalogue gives for `className` (ANSI code page). False for a class the
// catalogue does not know or when the list cannot be written back; a missing
// list counts as success.
bool RemoveClassFromRegistry(const char* className, LogCallback callback);
