// Self-registration: the class, ProgID and AppID keys under HKEY_CLASSES_ROOT,
// the service when asked for, and the OPC Data Access component categories;
// and their removal.
#pragma once

#include "OpcServiceModule.h"
#include "OpcString.h"

#include <windows.h>

// S_OK, or SELFREG_E_CLASS after undoing everything when any step failed.
HRESULT RegisterServer(HINSTANCE module, const wchar_t* vendor, const wchar_t* serviceName, const wchar_t* displayName,
                       const GUID& appId, bool service, const OpcClassEntry* classTable,
                       const OpcCategoryEntry* categoryTable);
// Removes what RegisterServer writes, step by step whatever fails; always S_OK.
HRESULT UnregisterServer(HINSTANCE module, const wchar_t* vendor, const wchar_t* serviceName, const GUID& appId,
                         const OpcClassEntry* classTable, const OpcCategoryEntry* categoryTable);

// Category membership through the platform's category manager; for the OPC
// Data Access 1.0 and 2.0 categories also the ProgID's "OPC" sub-key.
HRESULT RegisterCategory(const CLSID& clsid, const GUID* catid, const wchar_t* description);
HRESULT UnregisterCategory(const CLSID& clsid, const GUID* catid);

// Registry primitives on a root key and a sub-key path.
// A REG_SZ or REG_EXPAND_SZ value (null name: the default value); false for
// any other type or a missing key or value.
bool ReadRegistryString(HKEY root, const wchar_t* path, const wchar_t* valueName, COpcString& value);
// Creates the key when needed and sets the value.
bool WriteRegistryString(HKEY root, const wchar_t* path, const wchar_t* valueName, const wchar_t* value);
// Removes a key with all its sub-keys; false when it cannot (or does not exist).
bool DeleteRegistryTree(HKEY root, const wchar_t* path);

// A program path as a command for the registry or the service manager:
// quoted when it holds a blank, so that no shorter path can be run in its place.
COpcString CommandForPath(const COpcString& path);
