#pragma once
// Registration of an in-process COM class under
// HKEY_LOCAL_MACHINE\Software\Classes\CLSID. Failures are reported through
// the callback (which may be null) with one message each.

#include <windows.h>

#include "support/log_callback.h"

namespace zel_wmi {

// The level-4 message of a key left in place because it is a registry link,
// whose target is not ours to delete.
constexpr wchar_t kLinkLeftMessage[] = L"Not deleted, a registry link: %ls";

// Registers the file `moduleHandle` was loaded from.
bool RegisterCOM(const CLSID& clsid, HMODULE moduleHandle, const wchar_t* friendlyName, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback);
// Writes the class key, InprocServer32 (threading model "Both"),
// NotInsertable, ProgID and, when one is given, VersionIndependentProgID. An
// existing registration is left as it is and counts as success.
bool RegisterCOM(const CLSID& clsid, const wchar_t* filePath, const wchar_t* friendlyName, const wchar_t* progId,
                 const wchar_t* versionIndependentProgId, LogCallback callback);
// Deletes the class key with everything below it; a class that was never
// registered counts as unregistered. A class key that is a registry link is
// left (false, with a level-4 message).
bool UnregisterCOM(const CLSID& clsid, LogCallback callback);
// True when the class has a registration that UnregisterCOM would remove.
bool IsRegisteredCOM(const CLSID& clsid);

}  // namespace zel_wmi
