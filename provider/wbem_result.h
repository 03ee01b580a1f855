#pragma once
// WMI's status codes are enumerators of an unsigned type in some SDKs; this
// turns one into the HRESULT it stands for.

#include <wbemcli.h>

constexpr HRESULT WbemResult(WBEMSTATUS status) { return static_cast<HRESULT>(status); }
