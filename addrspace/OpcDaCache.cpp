#include "OpcDaCache.h"

#include "OpcProgramPath.h"

#include "OpcVersionInfo.h"

#include "OpcDeviceAccess.h"
#include "OpcDeviceCodes.h"
#include "OpcErrorLog.h"
#include "OpcTagDocument.h"
#include "OpcTaskMem.h"
#include "OpcVariant.h"

#include <cwchar>
#include <new>

namespace
{
const uint32_t MinSimulationInterval = 100;
const uint32_t MaxScanCycleValue = 65535;

bool AttributeText(const COpcXmlElement& element, const wchar_t* name, COpcString& text)
{
    COpcXmlAttribute attribute = element.Attribute(COpcString(name));
    if (attribute.IsNull())
        return false;
    text = attribute.Value();
    return true;
}

// The file name of a path: the text after its last "\" or "/".
const wchar_t* FileNamePart(const wchar_t* path)
{
    const wchar_t* name = path;
    for (const wchar_t* p = path; *p != L'\0'; ++p)
    {
        if (*p == L'\\' || *p == L'/')
            name = p + 1;
    }
    return name;
}

COpcDaEntryRef MakePlainEntry(const COpcString& itemId, IOpcDaItemProvider* provider, void*)
{
    return COpcDaEntryRef(new (std::nothrow) COpcDaItemEntry(itemId, provider));
}
} // namespace

// --- entry -----------------------------------------------------------------------------

HRESULT COpcDaItemEntry::ReadItem(DWORD accessMode, LCID locale, VARTYPE requestedType, DWORD maxAge, DWORD selector,
                                  VARIANT* value, FILETIME* timeStamp, WORD* quality)
{
    if (value == nullptr)
        return E_POINTER;
    IOpcDaItemProvider* provider = m_provider;
    if (provider == nullptr)
        return OPC_E_UNKNOWNITEMID;
    COpcVariant raw;
    HRESULT hr = provider->Read(m_itemId, selector == 0 ? accessMode : selector, raw.Get(), timeStamp, quality);
    if (FAILED(hr))
        return hr;
    if (requestedType == VT_EMPTY)
    {
        VariantClear(value);
        raw.MoveTo(value);
        return hr;
    }
    HRESULT converted = ChangeType(value, raw.Get(), locale, requestedType);
    return FAILED(converted) ? converted : hr;
}

HRESULT COpcDaItemEntry::WriteItem(LCID locale, const VARIANT& value, const FILETIME* timeStamp, const WORD* quality)
{
    IOpcDaItemProvider* provider = m_provider;
    if (provider == nullptr)
        return OPC_E_UNKNOWNITEMID;
    return provider->Write(m_itemId, OPC_DA_READ_DEVICE, value, timeStamp, quality, nullptr);
}

// --- construction and state --------------------------------------------------------------

COpcDaCache::COpcDaCache(COpcDaSettings& settings, IOpcDeviceAccess& api) : m_settings(settings), m_api(api)
{
    m_version.description = COpcString(L"Unknown");
}

COpcDaCache::~COpcDaCache()
{
    ReleaseProviders();
}

void COpcDaCache::ReleaseProviders()
{
    COpcLockGuard guard(m_lock);
    for (auto& entry : m_items)
        entry.value->Detach();
    m_items.RemoveAll();
    m_tree.Clear();
    m_providers.RemoveAll();
}

COpcString COpcDaCache::ConfigurationPath()
{
    COpcString directory = ProgramDirectory();
    if (directory.IsEmpty())
        return COpcString(L"OpcConfiguration.xml");
    return directory + COpcString(L"\\OpcConfiguration.xml");
}

void COpcDaCache::SetConfigurationPath(const COpcString& path)
{
    COpcLockGuard guard(m_lock);
    m_configurationPath = path;
}

void COpcDaCache::SetUpdateScheduler(IOpcDaUpdateScheduler* scheduler)
{
    COpcLockGuard guard(m_lock);
    m_scheduler = scheduler;
}

void COpcDaCache::ReadVersion()
{
    COpcVersionInfo info = ReadVersionInfo();
    SOpcDaServerVersion version;
    version.major = info.major;
    version.minor = info.minor;
    version.build = info.build;
    version.revision = info.revision;
    version.description = info.description;
    COpcLockGuard guard(m_lock);
    m_version = version;
}

HRESULT COpcDaCache::Initialize()
{
    COpcLockGuard guard(m_lock);
    if (m_state != OPC_STATUS_SUSPENDED)
        return E_FAIL;
    ReadVersion();
    if (m_scheduler != nullptr && !m_schedulerStarted)
    {
        if (!m_scheduler->Start())
        {
            m_state = OPC_STATUS_FAILED;
            return E_FAIL;
        }
        m_schedulerStarted = true;
    }
    HRESULT hr = Load(m_configurationPath.IsEmpty() ? ConfigurationPath() : m_configurationPath);
    if (hr != S_OK)
    {
        m_state = OPC_STATUS_NOCONFIG;
        return hr;
    }
    if (!m_settings.simulationEnabled)
    {
        // Whether the library came up is not checked: its failure is logged,
        // and the tag configuration reports its own problems.
        m_api.Init();
        m_api.CreateThreadHandle(GetCurrentThreadId());
    }
    hr = LoadTagConfiguration(m_settings.GetTagConfigurationFile());
    m_state = hr == S_OK ? OPC_STATUS_RUNNING : OPC_STATUS_NOCONFIG;
    return hr;
}

HRESULT COpcDaCache::Uninitialize()
{
    StopScheduler();
    COpcLockGuard guard(m_lock);
    m_state = OPC_STATUS_SUSPENDED;
    return S_OK;
}

void COpcDaCache::StopScheduler()
{
    IOpcDaUpdateScheduler* scheduler = nullptr;
    {
        COpcLockGuard guard(m_lock);
        if (m_scheduler != nullptr && m_schedulerStarted)
            scheduler = m_scheduler;
        m_schedulerStarted = false;
    }
    // Waited for without our lock: a scan under way holds a group lock and
    // reads items through us.
    if (scheduler != nullptr)
        scheduler->Stop();
}

HRESULT COpcDaCache::StartDevices(const COpcTagElement& root)
{
    return S_OK;
}

HRESULT COpcDaCache::SaveConfiguration(const COpcString& path)
{
    return E_NOTIMPL;
}

// --- configuration file ------------------------------------------------------------------

HRESULT COpcDaCache::Load(const COpcString& path)
{
    COpcLockGuard guard(m_lock);
    COpcXmlDocument document;
    HRESULT hr = document.Load(path);
    if (FAILED(hr))
    {
        m_api.LogFailure(OPC_LOG_GENERAL, hr, L"Load");
        return MapDeviceCode(hr);
    }
    m_configRoot = document.DocumentElement();

    const wchar_t* property = nullptr;
    HRESULT code = ReadSettings(m_configRoot, property);
    if (code != S_OK)
    {
        m_api.LogFailure(OPC_LOG_GENERAL, code, L"Load", nullptr, nullptr, property);
        return MapDeviceCode(code);
    }
    return S_OK;
}

// The raw failure code, with `property` naming the element being read.
HRESULT COpcDaCache::ReadSettings(const COpcXmlElement& root, const wchar_t*& property)
{
    const HRESULT invalid = OPC_DEV_E_CONFIGURATION;
    COpcString text;

    property = L"OutputLogDisable";
    COpcXmlElement element = root.Child(COpcString(property));
    bool flag = false;
    if (element.IsNull() || !ParseBoolean(element.Text().Text(), flag))
        return invalid;
    m_settings.outputLogDisable = flag;

    property = L"Simulation";
    element = root.Child(COpcString(property));
    if (element.IsNull())
        return invalid;
    if (!AttributeText(element, L"Enabled", text) || !ParseBoolean(text.Text(), flag))
        return invalid;
    m_settings.simulationEnabled = flag;
    uint32_t interval = 0;
    if (!AttributeText(element, L"Interval", text) || !ParseUInt32(text.Text(), interval) ||
        interval < MinSimulationInterval || interval % MinSimulationInterval != 0)
        return invalid;
    m_settings.simulationInterval = interval;
    m_settings.simulationUnit = 100;
    // The attribute is required even when simulation is off; its file is read only when on.
    if (!AttributeText(element, L"File", text))
        return invalid;
    if (m_settings.simulationEnabled && !m_settings.LoadSimulationFile(text))
        return OPC_DEV_E_SIMULATION_FILE;

    property = L"TagConfiguration";
    element = root.Child(COpcString(property));
    if (element.IsNull() || !AttributeText(element, L"File", text))
        return invalid;
    m_settings.SetTagConfigurationFile(text);

    property = L"CTTWaitTime";
    element = root.Child(COpcString(property));
    uint32_t wait = 0;
    if (!element.IsNull() && ParseUInt32(element.Text().Text(), wait) && wait != 0)
        m_settings.cttWaitTime = wait;

    if (m_settings.simulationEnabled)
    {
        property = nullptr;
        return S_OK;
    }

    property = L"ScanCycles";
    element = root.Child(COpcString(property));
    if (element.IsNull())
        return invalid;
    COpcXmlElementList children;
    element.Children(children);
    for (const COpcXmlElement& child : children)
    {
        if (!child.Name().Equals(L"ScanCycle"))
            continue;
        uint32_t cycle = 0;
        if (!ParseUInt32(child.Text().Text(), cycle) || cycle > MaxScanCycleValue || !m_settings.AddScanCycle(cycle))
            return invalid;
    }
    if (m_settings.ScanCycleCount() != COpcDaSettings::MaxScanCycles)
        return invalid;
    property = nullptr;
    return S_OK;
}

// --- tag configuration -------------------------------------------------------------------

HRESULT COpcDaCache::CheckProject(const COpcTagElement& root)
{
    const wchar_t* property = L"RXIInformation";
    bool found = false;
    for (const COpcTagElement* child = root.FirstChild(); child != nullptr; child = child->NextSibling())
    {
        if (child->NameIs(L"RXIInformation"))
        {
            found = true;
            break;
        }
    }
    const COpcTagElement* first = root.FirstChild();
    const wchar_t* baseName = nullptr;
    uint32_t buildNumber = 0;
    COpcString projectPath;
    DWORD loadedBuild = 0;
    if (found)
    {
        property = L"BaseFileName";
        baseName = first->Attribute(L"BaseFileName");
        found = baseName != nullptr;
    }
    if (found)
    {
        property = L"BuiledNumber";
        found = ParseUInt32(first->Attribute(L"BuiledNumber"), buildNumber);
    }
    if (found)
    {
        property = L"GetLintorLoadedRXPPathW";
        found = m_api.GetLoadedProjectPath(projectPath, loadedBuild) == S_OK;
    }
    if (found)
    {
        property = L"BuiledNumber";
        found = loadedBuild == buildNumber;
    }
    if (found)
    {
        // The runtime reports the project file's path; the tag configuration
        // names the file. Either form is accepted, without regard to case.
        property = L"BaseFileName";
        const wchar_t* reported = projectPath.TextOrEmpty();
        found = _wcsicmp(baseName, reported) == 0 || _wcsicmp(baseName, FileNamePart(reported)) == 0;
    }
    if (found)
        return S_OK;
    m_api.LogFailure(OPC_LOG_GENERAL, OPC_DEV_E_PROJECT, L"Load_TagCnfFile", nullptr, nullptr, property);
    return OPC_DEV_E_PROJECT;
}

HRESULT COpcDaCache::LoadTagConfiguration(const COpcString& path)
{
    COpcLockGuard guard(m_lock);
    COpcTagDocument document;
    if (FAILED(document.Load(path)))
    {
        m_api.LogFailure(OPC_LOG_GENERAL, OPC_DEV_E_TAG_FILE, L"Load_TagCnfFile", nullptr, nullptr, path.Text());
        return MapDeviceCode(OPC_DEV_E_TAG_FILE);
    }
    const COpcTagElement& root = *document.Root();
    if (!root.HasChildren())
        return S_OK;
    if (!m_settings.simulationEnabled && CheckProject(root) != S_OK)
        return MapDeviceCode(OPC_DEV_E_PROJECT);
    // What was built is served whatever the devices reported.
    StartDevices(root);
    return S_OK;
}

// --- providers and the item map ------------------------------------------------------------

bool COpcDaCache::RegisterProvider(IOpcDaItemProvider* provider)
{
    COpcLockGuard guard(m_lock);
    if (provider == nullptr)
        return false;
    for (IOpcDaItemProvider* p : m_providers)
    {
        if (p == provider)
            return true;
    }
    return m_providers.AddTail(provider) != nullptr;
}

void COpcDaCache::UnregisterProvider(IOpcDaItemProvider* provider)
{
    COpcLockGuard guard(m_lock);
    RemoveItemsOf(provider);
    for (auto* node = m_providers.GetHead(); node != nullptr; node = node->next)
    {
        if (node->value == provider)
        {
            m_providers.RemoveAt(node);
            return;
        }
    }
}

void COpcDaCache::SetItemFactory(OpcDaItemFactory factory, void* context)
{
    COpcLockGuard guard(m_lock);
    m_factory = factory;
    m_factoryContext = context;
}

IOpcDaItemProvider* COpcDaCache::ProviderFor(const COpcString& itemId)
{
    COpcLockGuard guard(m_lock);
    for (IOpcDaItemProvider* provider : m_providers)
    {
        if (provider->IsKnownItem(itemId))
            return provider;
    }
    return nullptr;
}

HRESULT COpcDaCache::AddItem(const COpcString& itemId)
{
    COpcLockGuard guard(m_lock);
    if (itemId.IsEmpty())
        return OPC_E_INVALIDITEMID;
    if (m_items.Lookup(itemId) != nullptr)
        return S_FALSE;
    IOpcDaItemProvider* provider = ProviderFor(itemId);
    if (provider == nullptr)
        return OPC_E_UNKNOWNITEMID;
    OpcDaItemFactory factory = m_factory != nullptr ? m_factory : MakePlainEntry;
    COpcDaEntryRef entry = factory(itemId, provider, m_factoryContext);
    if (!entry)
        return E_OUTOFMEMORY;
    if (m_tree.AddItem(itemId, entry.Get()) == nullptr)
        return m_tree.Root() == nullptr ? E_OUTOFMEMORY : OPC_E_INVALIDITEMID;
    COpcDaEntryRef* slot = m_items.SetAt(itemId);
    if (slot == nullptr)
    {
        m_tree.RemoveItem(itemId);
        return E_OUTOFMEMORY;
    }
    *slot = std::move(entry);
    return S_OK;
}

HRESULT COpcDaCache::RemoveItem(const COpcString& itemId)
{
    COpcLockGuard guard(m_lock);
    COpcDaEntryRef* found = m_items.Lookup(itemId);
    if (found == nullptr)
        return OPC_E_UNKNOWNITEMID;
    const COpcDaEntryRef entry = std::move(*found);
    m_items.RemoveKey(itemId);
    m_tree.RemoveItem(itemId);
    entry->Detach();
    return S_OK;
}

void COpcDaCache::RemoveItemsOf(IOpcDaItemProvider* provider)
{
    COpcLockGuard guard(m_lock);
    size_t mine = 0;
    for (auto& entry : m_items)
    {
        if (entry.value->Provider() == provider)
            ++mine;
    }
    if (mine == 0)
        return;
    if (mine == m_items.GetCount())
    {
        // All of them: drop the tree at once rather than node by node.
        for (auto& entry : m_items)
            entry.value->Detach();
        m_items.RemoveAll();
        m_tree.Clear();
        return;
    }
    COpcList<COpcString> ids;
    for (auto& entry : m_items)
    {
        if (entry.value->Provider() == provider)
            ids.AddTail(entry.key);
    }
    for (const COpcString& id : ids)
        RemoveItem(id);
}

size_t COpcDaCache::ItemCount() const
{
    COpcLockGuard guard(const_cast<COpcLock&>(m_lock));
    return m_items.GetCount();
}

HRESULT COpcDaCache::ParseItemID(const wchar_t* itemId, COpcString& tagId, DWORD& selector)
{
    selector = 0;
    if (itemId == nullptr || itemId[0] == L'\0')
        return OPC_E_INVALIDITEMID;
    const wchar_t* colon = wcschr(itemId, L':');
    if (colon == nullptr)
    {
        tagId = COpcString(itemId);
        return S_OK;
    }
    const wchar_t* digits = colon + 1;
    if (*digits == L'\0')
        return OPC_E_INVALIDITEMID;
    uint64_t number = 0;
    for (const wchar_t* p = digits; *p != L'\0'; ++p)
    {
        if (*p < L'0' || *p > L'9')
            return OPC_E_INVALIDITEMID;
        number = number * 10 + static_cast<uint64_t>(*p - L'0');
        if (number > 0xFFFFFFFFull)
            return OPC_E_INVALIDITEMID;
    }
    if (colon == itemId)
        return OPC_E_INVALIDITEMID;
    tagId = COpcString(itemId, static_cast<size_t>(colon - itemId));
    selector = static_cast<DWORD>(number);
    return S_OK;
}

bool COpcDaCache::ValidateItemID(const COpcString& itemId)
{
    COpcString tagId;
    DWORD selector = 0;
    if (ParseItemID(itemId, tagId, selector) != S_OK)
        return false;
    COpcLockGuard guard(m_lock);
    return m_items.Lookup(tagId) != nullptr;
}

COpcDaEntryRef COpcDaCache::FindItem(const COpcString& tagId)
{
    COpcLockGuard guard(m_lock);
    const COpcDaEntryRef* entry = m_items.Lookup(tagId);
    return entry != nullptr ? *entry : COpcDaEntryRef();
}

HRESULT COpcDaCache::ParseItemID(const COpcString& itemId, COpcString& tagId, DWORD& selector)
{
    // Without a suffix the tag's ID is the ID itself, shared rather than copied.
    if (!itemId.IsEmpty() && wcschr(itemId.Text(), L':') == nullptr)
    {
        tagId = itemId;
        selector = 0;
        return S_OK;
    }
    return ParseItemID(itemId.Text(), tagId, selector);
}

HRESULT COpcDaCache::Resolve(const COpcString& itemId, COpcDaEntryRef& entry, DWORD& selector)
{
    entry.Reset();
    COpcString tagId;
    HRESULT hr = ParseItemID(itemId, tagId, selector);
    if (hr != S_OK)
        return hr;
    entry = FindItem(tagId);
    return entry ? S_OK : OPC_E_UNKNOWNITEMID;
}

// --- values ------------------------------------------------------------------------------

HRESULT COpcDaCache::ReadItem(const COpcString& itemId, DWORD accessMode, LCID locale, VARTYPE requestedType,
                              DWORD maxAge, VARIANT* value, FILETIME* timeStamp, WORD* quality)
{
    if (value == nullptr)
        return E_POINTER;
    COpcDaEntryRef entry;
    DWORD selector = 0;
    HRESULT hr = Resolve(itemId, entry, selector);
    if (hr != S_OK)
        return hr;
    // Called without the address-space lock: Resolve took its own reference.
    return entry->ReadItem(accessMode, locale, requestedType, maxAge, selector, value, timeStamp, quality);
}

HRESULT COpcDaCache::WriteItem(const COpcString& itemId, LCID locale, const VARIANT& value, const FILETIME* timeStamp,
                               const WORD* quality)
{
    COpcDaEntryRef entry;
    DWORD selector = 0;
    HRESULT hr = Resolve(itemId, entry, selector);
    if (hr != S_OK)
        return hr;
    // A property item ID names no writable value.
    return selector != 0 && selector != OPC_DA_PROP_VALUE ? OPC_E_BADRIGHTS
                                                          : entry->WriteItem(locale, value, timeStamp, quality);
}

// --- properties ----------------------------------------------------------------------------

void COpcDaCache::DescribeProperty(const COpcString& tagId, COpcDaProperty& property) const
{
    wchar_t suffix[16];
    FormatText(suffix, 16, L":%u", static_cast<unsigned>(property.id));
    property.itemId = tagId + COpcString(suffix);
    property.type = OpcDaPropertyType(property.id);
    const wchar_t* description = OpcDaPropertyDescription(property.id, OpcDaPropertyLocaleIsJapanese(m_propertyLocale));
    property.description = description != nullptr ? COpcString(description) : COpcString();
}

HRESULT COpcDaCache::LookupLocked(const COpcString& itemId, COpcString& tagId, COpcDaItemEntry*& entry)
{
    entry = nullptr;
    DWORD selector = 0;
    HRESULT hr = ParseItemID(itemId, tagId, selector);
    if (hr != S_OK)
        return hr;
    const COpcDaEntryRef* found = m_items.Lookup(tagId);
    if (found == nullptr)
        return OPC_E_UNKNOWNITEMID;
    entry = found->Get();
    return S_OK;
}

HRESULT COpcDaCache::QueryItemProperties(const COpcString& itemId, bool withValues, COpcDaPropertyList& properties)
{
    properties.SetCount(0);
    COpcLockGuard guard(m_lock);
    COpcString tagId;
    COpcDaItemEntry* entry = nullptr;
    HRESULT hr = LookupLocked(itemId, tagId, entry);
    if (hr != S_OK)
        return hr;
    IOpcDaItemProvider* provider = entry->Provider();
    if (provider == nullptr)
        return OPC_E_INVALID_PID;
    hr = provider->GetProperties(tagId, withValues, properties);
    if (FAILED(hr))
        return hr;
    for (size_t i = 0; i < properties.GetCount(); ++i)
        DescribeProperty(tagId, properties[i]);
    return S_OK;
}

HRESULT COpcDaCache::GetItemPropertyValues(const COpcString& itemId, const DWORD* propertyIds, size_t count,
                                           bool withValues, COpcDaPropertyList& properties)
{
    properties.SetCount(0);
    if (propertyIds == nullptr && count > 0)
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    COpcString tagId;
    COpcDaItemEntry* entry = nullptr;
    HRESULT hr = LookupLocked(itemId, tagId, entry);
    if (hr != S_OK)
        return hr;
    if (!properties.SetCount(count))
        return E_OUTOFMEMORY;
    IOpcDaItemProvider* provider = entry->Provider();
    for (size_t i = 0; i < count; ++i)
    {
        COpcDaProperty& property = properties[i];
        property.id = propertyIds[i];
        property.result = provider == nullptr
                              ? OPC_E_INVALID_PID
                              : provider->GetPropertyValue(tagId, property.id, withValues ? &property.value : nullptr);
        DescribeProperty(tagId, property);
    }
    return S_OK;
}

HRESULT COpcDaCache::GetItemProperty(const COpcString& itemId, DWORD propertyId, VARIANT* value)
{
    if (value == nullptr)
        return E_POINTER;
    COpcLockGuard guard(m_lock);
    COpcString tagId;
    COpcDaItemEntry* entry = nullptr;
    HRESULT hr = LookupLocked(itemId, tagId, entry);
    if (hr != S_OK)
        return hr;
    IOpcDaItemProvider* provider = entry->Provider();
    return provider == nullptr ? OPC_E_INVALID_PID : provider->GetPropertyValue(tagId, propertyId, value);
}
