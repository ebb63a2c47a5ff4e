// Codes of the device-access library and the server's own codes, and their
// translation into the HRESULTs that leave the server.
#pragma once

#include <windows.h>

// Server's own codes (severity error, facility 0xB0).
const HRESULT OPC_DEV_E_POINTER = static_cast<HRESULT>(0xC0B00703);
const HRESULT OPC_DEV_E_FAIL = static_cast<HRESULT>(0xC0B00704);
const HRESULT OPC_DEV_E_OUTOFMEMORY = static_cast<HRESULT>(0xC0B00705);
const HRESULT OPC_DEV_E_INVALIDARG = static_cast<HRESULT>(0xC0B00706);
const HRESULT OPC_DEV_E_XML_LOAD = static_cast<HRESULT>(0xC0B00730);
const HRESULT OPC_DEV_E_XML_PARSE = static_cast<HRESULT>(0xC0B00731);
const HRESULT OPC_DEV_E_CONFIGURATION = static_cast<HRESULT>(0xC0B00732);
const HRESULT OPC_DEV_E_SIMULATION_FILE = static_cast<HRESULT>(0xC0B00735);
const HRESULT OPC_DEV_E_NO_HANDLE = static_cast<HRESULT>(0xC0B0073A);
const HRESULT OPC_DEV_E_START_STOP = static_cast<HRESULT>(0xC0B0073D);

// Library codes the server treats specially.
const HRESULT OPC_DEV_E_CACHE_NAME_IN_USE = static_cast<HRESULT>(0xC0B00286);
const HRESULT OPC_DEV_E_RECORD_4 = static_cast<HRESULT>(0xC0B00289);
const HRESULT OPC_DEV_E_RECORD_5 = static_cast<HRESULT>(0xC0B0028A);

// What a caller sees of a library or server code the translation table does
// not know: a failure of the device-access library. The proxy's message table
// explains it.
const HRESULT OPC_DEV_E_DEVICE_FAILURE = static_cast<HRESULT>(0xC0048400);

// The HRESULT for a library or server code: S_OK for 0, the table's HRESULT
// for a code it holds, OPC_DEV_E_DEVICE_FAILURE for every other code. known,
// when given, tells whether the table held the code (0 counts as known).
HRESULT MapDeviceCode(LONG code, bool* known = nullptr) noexcept;

// Number of pairs in the translation table.
unsigned DeviceCodeTableSize() noexcept;
