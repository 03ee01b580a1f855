#pragma once
// Builds the WMI instance of one active router session: spawned from the
// class, named after the session (or its ordinal), and filled from its record.

#include <wbemcli.h>

class CPerfDataSource;

// Writes the instance's Name: the slot's session name when the block is
// mapped and the slot is named, else the decimal ordinal.
HRESULT WriteInstanceName(IWbemObjectAccess* instance, int ordinal, int slot);

// On success `instance` holds a new reference to the filled object.
HRESULT BuildSessionInstance(IWbemClassObject* classObject, CPerfDataSource* dataSource, int ordinal, int slot,
                             IWbemObjectAccess** instance);
