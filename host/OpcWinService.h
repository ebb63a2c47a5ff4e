// Installation and removal of the Windows service with the service control manager.
#pragma once

#include <windows.h>

// Creates the service (own process, interactive, demand start, depending on
// "RPCSS" and "Lintor") with its description from the message library. An
// existing service of that name is left exactly as it is. False when the
// service manager cannot be opened or the service cannot be created.
bool InstallService(const wchar_t* serviceName, const wchar_t* displayName, const wchar_t* binaryPath);
// Asks the service to stop (without waiting) and deletes it; nothing when it does not exist.
void UninstallService(const wchar_t* serviceName);
