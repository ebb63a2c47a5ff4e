#include "OpcRegistration.h"

#include "OpcTaskMem.h"
#include "OpcWinService.h"

#include <comcat.h>
#include <olectl.h>
#include <oleauto.h>
#include <opcda.h>

#include <cwchar>

namespace
{
// An open registry key, closed once.
class COpcRegKey
{
public:
    COpcRegKey() = default;
    ~COpcRegKey()
    {
        if (m_key != nullptr)
            RegCloseKey(m_key);
    }
    COpcRegKey(const COpcRegKey&) = delete;
    COpcRegKey& operator=(const COpcRegKey&) = delete;
    HKEY Get() const { return m_key; }
    HKEY* Receive()
    {
        if (m_key != nullptr)
            RegCloseKey(m_key);
        m_key = nullptr;
        return &m_key;
    }

private:
    HKEY m_key = nullptr;
};

// COM for the calling thread for one scope, balanced whatever happens.
class COpcComScope
{
public:
    COpcComScope() : m_result(CoInitialize(nullptr)) {}
    ~COpcComScope()
    {
        if (SUCCEEDED(m_result))
            CoUninitialize();
    }
    COpcComScope(const COpcComScope&) = delete;
    COpcComScope& operator=(const COpcComScope&) = delete;

private:
    HRESULT m_result;
};

// The program path P, its base name B and its upper-cased extension E.
struct COpcProgramNames
{
    COpcString path;
    COpcString base;
    COpcString extension;
};

bool DeriveNames(HINSTANCE module, COpcProgramNames& names)
{
    wchar_t buffer[MAX_PATH + 1] = {};
    DWORD length = GetModuleFileNameW(module, buffer, MAX_PATH);
    // A cut path would register a program that does not exist.
    if (length == 0 || length >= MAX_PATH)
        return false;
    names.path = COpcString(buffer, length);
    const wchar_t* slash = wcsrchr(buffer, L'\\');
    const wchar_t* name = slash != nullptr ? slash + 1 : buffer;
    const wchar_t* dot = wcsrchr(name, L'.');
    if (dot == nullptr)
        return false;
    names.base = COpcString(name, static_cast<size_t>(dot - name));
    names.extension = COpcString(dot + 1).ToUpper();
    return !names.base.IsEmpty() && !names.extension.IsEmpty();
}

COpcString Text(const wchar_t* text)
{
    return COpcString(text != nullptr ? text : L"");
}

COpcString GuidText(const GUID& guid)
{
    return COpcString(guid);
}

bool IsNullGuid(const GUID& guid)
{
    return InlineIsEqualGUID(guid, GUID_NULL) != 0;
}

// The categories whose members also get a "OPC" sub-key under their ProgID.
bool NeedsOpcKey(const GUID& catid)
{
    return InlineIsEqualGUID(catid, CATID_OPCDAServer10) || InlineIsEqualGUID(catid, CATID_OPCDAServer20);
}

bool Write(const COpcString& path, const wchar_t* valueName, const COpcString& value)
{
    return WriteRegistryString(HKEY_CLASSES_ROOT, path.TextOrEmpty(), valueName, value.TextOrEmpty());
}

COpcString ProgId(const wchar_t* vendor, const OpcClassEntry& entry)
{
    return Text(vendor) + COpcString(L".") + Text(entry.name) + COpcString(L".") + Text(entry.version);
}

COpcString VersionIndependentProgId(const wchar_t* vendor, const OpcClassEntry& entry)
{
    return Text(vendor) + COpcString(L".") + Text(entry.name);
}

bool DeleteTreeAt(HKEY root, const COpcString& path);

bool DeleteSubKeys(HKEY key, const COpcString& path)
{
    for (;;)
    {
        DWORD subKeys = 0;
        DWORD longest = 0;
        if (RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, &subKeys, &longest, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        if (subKeys == 0)
            return true;
        COpcTaskMem<wchar_t> name;
        if (!name.Allocate(static_cast<size_t>(longest) + 2))
            return false;
        DWORD nameChars = longest + 2;
        if (RegEnumKeyExW(key, 0, name.Get(), &nameChars, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            return false;
        // A sub-key that cannot go would be enumerated again and again.
        if (!DeleteTreeAt(key, COpcString(name.Get(), nameChars)))
            return false;
    }
}

bool DeleteTreeAt(HKEY root, const COpcString& path)
{
    int slash = path.ReverseFind(L"\\");
    COpcString parent = slash >= 0 ? path.Mid(0, static_cast<UINT>(slash)) : COpcString();
    COpcString leaf = slash >= 0 ? path.Mid(static_cast<UINT>(slash) + 1) : path;
    if (leaf.IsEmpty())
        return false;
    {
        COpcRegKey key;
        if (RegOpenKeyExW(root, path.Text(), 0, KEY_ALL_ACCESS, key.Receive()) != ERROR_SUCCESS)
            return false;
        if (!DeleteSubKeys(key.Get(), path))
            return false;
    }
    COpcRegKey parentKey;
    if (RegOpenKeyExW(root, parent.Text(), 0, KEY_ALL_ACCESS, parentKey.Receive()) != ERROR_SUCCESS)
        return false;
    return RegDeleteKeyW(parentKey.Get(), leaf.Text()) == ERROR_SUCCESS;
}

// Writes the AppID keys (and installs the service when asked). False when a write failed.
bool RegisterAppId(const COpcProgramNames& names, const wchar_t* serviceName, const wchar_t* displayName,
                   const GUID& appId, bool service)
{
    const COpcString appIdText = GuidText(appId);
    const COpcString appIdKey = COpcString(L"AppID\\") + appIdText;
    // ".exe" in lower case whatever the file's own extension looks like.
    if (!Write(COpcString(L"AppID\\") + names.base + COpcString(L".exe"), nullptr, appIdText))
        return false;
    COpcString title = Text(displayName);
    if (title.IsEmpty())
        title = Text(serviceName);
    if (!Write(appIdKey, nullptr, title))
        return false;
    if (service)
    {
        if (!Write(appIdKey, L"LocalService", Text(serviceName)))
            return false;
        if (!Write(appIdKey, L"ServiceParameters", COpcString(L"-Service")))
            return false;
        // A service that cannot be installed does not fail the registration.
        InstallService(serviceName, displayName, CommandForPath(names.path).TextOrEmpty());
    }
    return true;
}

void UnregisterAppId(const COpcProgramNames& names, const wchar_t* serviceName, const GUID& appId)
{
    UninstallService(serviceName);
    DeleteTreeAt(HKEY_CLASSES_ROOT, COpcString(L"AppID\\") + names.base + COpcString(L".exe"));
    DeleteTreeAt(HKEY_CLASSES_ROOT, COpcString(L"AppID\\") + GuidText(appId));
}

bool RegisterClassKeys(const COpcProgramNames& names, const wchar_t* vendor, const GUID& appId,
                       const OpcClassEntry& entry)
{
    const COpcString clsidKey = COpcString(L"CLSID\\") + GuidText(*entry.clsid);
    const COpcString progId = ProgId(vendor, entry);
    const COpcString independent = VersionIndependentProgId(vendor, entry);
    COpcString description = Text(entry.description);
    if (description.IsEmpty())
        description = progId;
    const COpcString serverKey =
        clsidKey + COpcString(names.extension.Equals(L"EXE") ? L"\\LocalServer32" : L"\\InprocServer32");

    return Write(clsidKey, nullptr, description) && (IsNullGuid(appId) || Write(clsidKey, L"AppID", GuidText(appId))) &&
           Write(clsidKey + COpcString(L"\\ProgID"), nullptr, progId) &&
           Write(clsidKey + COpcString(L"\\VersionIndependentProgID"), nullptr, independent) &&
           Write(serverKey, nullptr, CommandForPath(names.path)) &&
           Write(serverKey, L"ThreadingModel", COpcString(L"Free")) && Write(progId, nullptr, description) &&
           Write(progId + COpcString(L"\\CLSID"), nullptr, GuidText(*entry.clsid)) &&
           Write(independent, nullptr, description) &&
           Write(independent + COpcString(L"\\CLSID"), nullptr, GuidText(*entry.clsid)) &&
           Write(independent + COpcString(L"\\CurVer"), nullptr, progId);
}
} // namespace

COpcString CommandForPath(const COpcString& path)
{
    if (path.IsEmpty() || wcschr(path.Text(), L' ') == nullptr || path.Text()[0] == L'"')
        return path;
    return COpcString(L"\"") + path + COpcString(L"\"");
}

bool ReadRegistryString(HKEY root, const wchar_t* path, const wchar_t* valueName, COpcString& value)
{
    COpcRegKey key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, key.Receive()) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD bytes = 0;
    if (RegQueryValueExW(key.Get(), valueName, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    // Room for a terminator the stored data may lack.
    const size_t chars = bytes / sizeof(wchar_t) + 1;
    COpcTaskMem<wchar_t> buffer;
    if (!buffer.Allocate(chars))
        return false;
    DWORD size = static_cast<DWORD>((chars - 1) * sizeof(wchar_t));
    if (RegQueryValueExW(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(buffer.Get()), &size) !=
            ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    buffer.Get()[size / sizeof(wchar_t) < chars ? size / sizeof(wchar_t) : chars - 1] = L'\0';
    value = COpcString(buffer.Get());
    return true;
}

bool WriteRegistryString(HKEY root, const wchar_t* path, const wchar_t* valueName, const wchar_t* value)
{
    if (path == nullptr || value == nullptr)
        return false;
    COpcRegKey key;
    if (RegCreateKeyExW(root, path, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr, key.Receive(), nullptr) !=
        ERROR_SUCCESS)
        return false;
    const size_t chars = wcslen(value) + 1;
    if (chars > MAXDWORD / sizeof(wchar_t))
        return false;
    return RegSetValueExW(key.Get(), valueName, 0, REG_SZ, reinterpret_cast<const BYTE*>(value),
                          static_cast<DWORD>(chars * sizeof(wchar_t))) == ERROR_SUCCESS;
}

bool DeleteRegistryTree(HKEY root, const wchar_t* path)
{
    return path != nullptr && DeleteTreeAt(root, COpcString(path));
}

HRESULT RegisterCategory(const CLSID& clsid, const GUID* catid, const wchar_t* description)
{
    COpcComScope com;
    if (catid == nullptr)
        return E_INVALIDARG;
    COpcComPtr<ICatRegister> categories;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                  reinterpret_cast<void**>(categories.Receive()));
    if (FAILED(hr))
        return hr;

    CATEGORYINFO info = {};
    info.catid = *catid;
    info.lcid = LOCALE_USER_DEFAULT;
    // The manager keeps at most 127 characters; a longer text is cut.
    const size_t room = sizeof(info.szDescription) / sizeof(info.szDescription[0]) - 1;
    if (description != nullptr)
        wcsncpy(info.szDescription, description, room);
    info.szDescription[room] = L'\0';
    hr = categories->RegisterCategories(1, &info);
    if (FAILED(hr))
        return hr;

    CATID implemented = *catid;
    hr = categories->RegisterClassImplCategories(clsid, 1, &implemented);
    if (FAILED(hr))
        return hr;

    if (NeedsOpcKey(*catid))
    {
        COpcTaskMem<wchar_t> progId;
        hr = ProgIDFromCLSID(clsid, progId.Receive());
        if (FAILED(hr))
            return hr;
        if (!WriteRegistryString(HKEY_CLASSES_ROOT, (COpcString(progId.Get()) + COpcString(L"\\OPC")).TextOrEmpty(),
                                 nullptr, L""))
            return SELFREG_E_CLASS;
    }
    return S_OK;
}

HRESULT UnregisterCategory(const CLSID& clsid, const GUID* catid)
{
    COpcComScope com;
    if (catid == nullptr)
        return E_INVALIDARG;
    // The ProgID comes from the class keys, so this runs before they go.
    if (NeedsOpcKey(*catid))
    {
        COpcTaskMem<wchar_t> progId;
        if (SUCCEEDED(ProgIDFromCLSID(clsid, progId.Receive())))
            DeleteTreeAt(HKEY_CLASSES_ROOT, COpcString(progId.Get()) + COpcString(L"\\OPC"));
    }
    COpcComPtr<ICatRegister> categories;
    HRESULT hr = CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                  reinterpret_cast<void**>(categories.Receive()));
    if (FAILED(hr))
        return hr;
    // The category itself stays: other servers may belong to it.
    CATID implemented = *catid;
    return categories->UnRegisterClassImplCategories(clsid, 1, &implemented);
}

HRESULT RegisterServer(HINSTANCE module, const wchar_t* vendor, const wchar_t* serviceName, const wchar_t* displayName,
                       const GUID& appId, bool service, const OpcClassEntry* classTable,
                       const OpcCategoryEntry* categoryTable)
{
    COpcProgramNames names;
    bool ok = DeriveNames(module, names);

    if (ok && !IsNullGuid(appId) && !RegisterAppId(names, serviceName, displayName, appId, service))
    {
        UnregisterAppId(names, serviceName, appId);
        ok = false;
    }

    if (ok)
    {
        // The program carries no type library; the call is kept for programs that do.
        COpcComPtr<ITypeLib> typeLibrary;
        if (SUCCEEDED(LoadTypeLibEx(names.path.Text(), REGKIND_REGISTER, typeLibrary.Receive())))
            typeLibrary.Reset();
    }

    for (const OpcClassEntry* entry = classTable; ok && entry != nullptr && entry->name != nullptr; ++entry)
        ok = entry->clsid != nullptr && RegisterClassKeys(names, vendor, appId, *entry);

    for (const OpcCategoryEntry* row = categoryTable; ok && row != nullptr && row->clsid != nullptr; ++row)
        RegisterCategory(*row->clsid, row->catid, row->description);

    if (ok)
        return S_OK;
    UnregisterServer(module, vendor, serviceName, appId, classTable, categoryTable);
    return SELFREG_E_CLASS;
}

HRESULT UnregisterServer(HINSTANCE module, const wchar_t* vendor, const wchar_t* serviceName, const GUID& appId,
                         const OpcClassEntry* classTable, const OpcCategoryEntry* categoryTable)
{
    for (const OpcCategoryEntry* row = categoryTable; row != nullptr && row->clsid != nullptr; ++row)
        UnregisterCategory(*row->clsid, row->catid);

    for (const OpcClassEntry* entry = classTable; entry != nullptr && entry->name != nullptr; ++entry)
    {
        if (entry->clsid == nullptr)
            continue;
        DeleteTreeAt(HKEY_CLASSES_ROOT, COpcString(L"CLSID\\") + GuidText(*entry->clsid));
        DeleteTreeAt(HKEY_CLASSES_ROOT, VersionIndependentProgId(vendor, *entry));
        DeleteTreeAt(HKEY_CLASSES_ROOT, ProgId(vendor, *entry));
    }

    COpcProgramNames names;
    if (DeriveNames(module, names))
        UnregisterAppId(names, serviceName, appId);
    // The type library (there is none) is not unregistered.
    return S_OK;
}
