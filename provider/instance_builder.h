#pragma once
// Builds the WMI instance of one served router session: spawned from the
// class, given the session's key as its Name, and filled from its record.

#include <wbemcli.h>

#include "provider/perf_data_source.h"

// On success `instance` holds a new reference to the named, filled object
// and `record` where its session was found. WBEM_S_FALSE, with no instance,
// when the session ended before its values could be written.
HRESULT BuildInstance(IWbemClassObject* classObject, CPerfDataSource& dataSource, const ServedSessionKey& session,
                      int* record, IWbemObjectAccess** instance);
