#pragma once
// Builds the WMI instance of one router session: spawned from the class,
// given its Name, and filled from the data source's records.

#include <string>

#include <wbemcli.h>

#include "provider/perf_data_source.h"

// The Name of the session at `ordinal` in block slot `slot`: the slot's session
// name when the block is mapped and the slot is named, else the decimal ordinal.
std::wstring SessionInstanceName(int ordinal, int slot);

// The decimal ordinal, the Name of an instance whose session has no name.
std::wstring OrdinalName(int ordinal);

// On success `instance` holds a new reference to the named object, filled
// unless the result is WBEM_S_FALSE (see CPerfDataSource::FillInstance).
HRESULT BuildInstance(IWbemClassObject* classObject, CPerfDataSource* dataSource, const std::wstring& name,
                      FillRule rule, IWbemObjectAccess** instance);
