// The server's identity: names, class and application ids, and the text of
// the single-instance mutex. Registration, the service and the entry point
// all take them from here.
#pragma once

#include <windows.h>

namespace opc_host
{
inline constexpr wchar_t kVendor[] = L"Vantrel";
// The service name doubles as the class's short name ("Vantrel" + "." + it is the ProgID stem).
inline constexpr wchar_t kServiceName[] = L"Kestrix";
inline constexpr wchar_t kDisplayName[] = L"Vantrel Kestrix Data Access 2.05a/3.00 Service";
inline constexpr wchar_t kClassVersion[] = L"1";
inline constexpr wchar_t kProgId[] = L"Vantrel.Kestrix.1";
inline constexpr wchar_t kVersionIndependentProgId[] = L"Vantrel.Kestrix";
inline constexpr wchar_t kInstanceMutexName[] = L"Vantrel.Kestrix.1";

// {6A1D5C20-4B7E-4F19-9C3A-2E8B7D415F06}
inline constexpr GUID kAppId = {0x6a1d5c20, 0x4b7e, 0x4f19, {0x9c, 0x3a, 0x2e, 0x8b, 0x7d, 0x41, 0x5f, 0x06}};
// {3E9B41C7-D2A8-4C55-8F06-7B1A9E2C64D3}
inline constexpr CLSID kServerClsid = {0x3e9b41c7, 0xd2a8, 0x4c55, {0x8f, 0x06, 0x7b, 0x1a, 0x9e, 0x2c, 0x64, 0xd3}};

inline constexpr wchar_t kAppIdText[] = L"{6A1D5C20-4B7E-4F19-9C3A-2E8B7D415F06}";
inline constexpr wchar_t kServerClsidText[] = L"{3E9B41C7-D2A8-4C55-8F06-7B1A9E2C64D3}";

// Message ids in the runtime's message library.
inline constexpr DWORD kServiceDescriptionMessage = 0x4800A;
} // namespace opc_host
