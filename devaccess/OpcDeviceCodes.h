// Codes of the device-access library and the server's own codes, and their
// translation into the HRESULTs that leave the server.
#pragma once

#include "OpcResultCodes.h"

#include <windows.h>

// The HRESULT for a library or server code: S_OK for 0, the table's HRESULT
// for a code it holds, KESTRIX_E_DEVICE_FAILURE (a failure of the library that
// the proxy's message table explains) for every other code. known,
// when given, tells whether the table held the code (0 counts as known).
HRESULT MapDeviceCode(LONG code, bool* known = nullptr) noexcept;

// Number of pairs in the translation table.
unsigned DeviceCodeTableSize() noexcept;
