// Every result code the server names. The OPC codes (OPC_E_*, OPC_S_*) and
// the device-failure code come from opcerror.mc through the generated
// opcerror.h, which also puts their texts into the proxy's message table.
// The server's own codes below never leave the server: MapDeviceCode turns
// them into standard and OPC codes first, so they have no texts.
//
// Server states are the interface's OPCSERVERSTATE (opcda.h); they are not
// repeated here.
#pragma once

#include <windows.h>

#include <opcerror.h>

// Server's own codes (severity error, facility 0xB0).
#define OPC_DEV_E_POINTER ((HRESULT)0xC0B00703L)
#define OPC_DEV_E_FAIL ((HRESULT)0xC0B00704L)
#define OPC_DEV_E_OUTOFMEMORY ((HRESULT)0xC0B00705L)
#define OPC_DEV_E_INVALIDARG ((HRESULT)0xC0B00706L)
#define OPC_DEV_E_XML_LOAD ((HRESULT)0xC0B00730L)  // the XML document object could not be created
#define OPC_DEV_E_XML_PARSE ((HRESULT)0xC0B00731L) // file missing, unreadable or not well-formed
#define OPC_DEV_E_CONFIGURATION ((HRESULT)0xC0B00732L)
#define OPC_DEV_E_TAG_FILE ((HRESULT)0xC0B00733L) // tag file unreadable
#define OPC_DEV_E_PROJECT ((HRESULT)0xC0B00734L)  // project check failed
#define OPC_DEV_E_SIMULATION_FILE ((HRESULT)0xC0B00735L)
#define OPC_DEV_E_ELEMENT ((HRESULT)0xC0B00736L)       // unknown element in the tag file
#define OPC_DEV_E_DUPLICATE ((HRESULT)0xC0B00737L)     // item ID already loaded
#define OPC_DEV_E_CACHE_SERIALS ((HRESULT)0xC0B00738L) // no free cache name
#define OPC_DEV_E_ATTRIBUTE ((HRESULT)0xC0B00739L)     // attribute missing or invalid
#define OPC_DEV_E_NO_HANDLE ((HRESULT)0xC0B0073AL)
#define OPC_DEV_E_START_STOP ((HRESULT)0xC0B0073DL)

// Codes of the device-access library that the server treats specially.
#define OPC_DEV_E_CACHE_NAME_IN_USE ((HRESULT)0xC0B00286L)
#define OPC_DEV_E_RECORD_4 ((HRESULT)0xC0B00289L)
#define OPC_DEV_E_RECORD_5 ((HRESULT)0xC0B0028AL)
