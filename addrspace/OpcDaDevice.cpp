#include "OpcDaDevice.h"

#include "OpcDaCache.h"
#include "OpcDaDataTypes.h"
#include "OpcDaSettings.h"
#include "OpcDeviceAccess.h"
#include "OpcDeviceCodes.h"
#include "OpcErrorLog.h"
#include "OpcTagDocument.h"
#include "OpcThreadRoles.h"

#include <objbase.h>

#include <cwchar>
#include <new>

namespace
{
const wchar_t* const kReadApi = L"COpcDaDevice::Read";

// parent + "." + name; just the name under an empty parent. Built on the
// stack when it fits, so a path costs one allocation.
COpcString JoinPath(const COpcString& parent, const wchar_t* name)
{
    const size_t nameLength = name != nullptr ? wcslen(name) : 0;
    if (parent.IsEmpty())
        return COpcString(name != nullptr ? name : L"", nameLength);
    const size_t total = parent.Length() + 1 + nameLength;
    wchar_t local[256];
    wchar_t* buffer = local;
    if (total >= sizeof(local) / sizeof(local[0]))
    {
        buffer = static_cast<wchar_t*>(CoTaskMemAlloc((total + 1) * sizeof(wchar_t)));
        if (buffer == nullptr)
            return COpcString();
    }
    wmemcpy(buffer, parent.Text(), parent.Length());
    buffer[parent.Length()] = L'.';
    if (nameLength > 0)
        wmemcpy(buffer + parent.Length() + 1, name, nameLength);
    buffer[total] = L'\0';
    COpcString result(buffer, total);
    if (buffer != local)
        CoTaskMemFree(buffer);
    return result;
}

// The non-empty parts joined with ".".
COpcString JoinParts(const COpcString* parts, size_t count)
{
    COpcString result;
    for (size_t i = 0; i < count; ++i)
    {
        if (parts[i].IsEmpty())
            continue;
        result = JoinPath(result, parts[i].Text());
    }
    return result;
}

uint32_t GreatestCommonDivisor(uint32_t a, uint32_t b)
{
    while (b != 0)
    {
        const uint32_t r = a % b;
        a = b;
        b = r;
    }
    return a;
}
} // namespace

COpcDaDevice::COpcDaDevice(COpcDaSettings& settings, IOpcDeviceAccess& api) : m_settings(settings), m_api(api) {}

COpcDaDevice::~COpcDaDevice()
{
    if (m_cache != nullptr)
        m_cache->UnregisterProvider(this);
    DestroyAll();
}

void COpcDaDevice::SetAddressSpace(COpcDaCache* cache)
{
    if (m_cache != nullptr && m_cache != cache)
        m_cache->UnregisterProvider(this);
    m_cache = cache;
    if (m_cache != nullptr)
        m_cache->RegisterProvider(this);
}

void COpcDaDevice::Clear()
{
    // Forgetting the items without deleting them would leak them, and pollers
    // would go on reading them: clearing is destroying.
    DestroyAll();
}

void COpcDaDevice::ForgetAll()
{
    COpcLockGuard guard(m_lock);
    // Pollers before items: a poller points at the items it refreshes.
    m_pollersByName.RemoveAll();
    m_pollersByPrefix.RemoveAll();
    m_pollers.RemoveAll();
    m_items.RemoveAll();
    m_itemList.RemoveAll();
    m_deviceNumbers.RemoveAll();
    m_nextDeviceNumber = 0;
    m_scanPeriods.RemoveAll();
    m_texts.Clear();
    m_nodeName = m_deviceName = m_sheetName = m_groupName = m_subgroupName = m_devicePath = COpcString();
    m_tagName = nullptr;
    m_deviceNumber = 0;
    m_symbolSheet = false;
    m_nestedGroup = false;
    for (bool& flag : m_flags)
        flag = true;
    m_lastPoller = nullptr;
}

void COpcDaDevice::StopThreads()
{
    // Without the device lock: the simulation thread takes it while it walks.
    m_simulation.Stop(INFINITE);
    for (const auto& poller : m_pollers)
        poller->Stop();
}

void COpcDaDevice::DestroyAll()
{
    StopThreads();
    ForgetAll();
}

// --- loading -----------------------------------------------------------------------------

COpcDaDevice::Kind COpcDaDevice::KindOf(const COpcTagElement& element, uint32_t& tagKind)
{
    tagKind = 0;
    const wchar_t* name = element.Name();
    if (wcscmp(name, L"Lintor") == 0 || wcscmp(name, L"Calder") == 0 || wcscmp(name, L"Brindle") == 0 ||
        wcscmp(name, L"Osprel") == 0)
        return Kind::Node;
    if (wcscmp(name, L"Device") == 0)
        return Kind::Device;
    if (wcscmp(name, L"SymbolSheet") == 0)
        return Kind::Sheet;
    if (wcscmp(name, L"TagGroup") == 0)
        return Kind::Group;
    tagKind = OpcTagKindByName(name);
    return tagKind != 0 ? Kind::Tag : Kind::Other;
}

void COpcDaDevice::SetFlagsFrom(Flag first)
{
    for (int f = first; f < FlagCount; ++f)
        m_flags[f] = true;
}

COpcString COpcDaDevice::ContextItemId() const
{
    const COpcString parts[] = {m_nodeName,     m_deviceName,
                                m_sheetName,    m_groupName,
                                m_subgroupName, m_tagName != nullptr ? COpcString(m_tagName) : COpcString()};
    return JoinParts(parts, sizeof(parts) / sizeof(parts[0]));
}

void COpcDaDevice::Refuse(LONG category, HRESULT code, const wchar_t* property)
{
    const COpcString id = ContextItemId();
    m_api.LogFailure(category, code, kReadApi, nullptr, id.Text(), property);
}

HRESULT COpcDaDevice::ReadConfiguration(const COpcTagElement& root)
{
    COpcLockGuard guard(m_lock);
    for (const COpcTagElement* child = root.FirstChild(); child != nullptr; child = child->NextSibling())
    {
        uint32_t tagKind = 0;
        if (KindOf(*child, tagKind) != Kind::Node && !child->NameIs(L"RXIInformation"))
        {
            Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ELEMENT, child->Name());
            continue;
        }
        SetFlagsFrom(FlagNode);
        Walk(*child, COpcString(), 1);
    }

    // The base tick divides every scan period in use.
    uint32_t tick = 100;
    if (!m_scanPeriods.IsEmpty())
    {
        tick = m_scanPeriods[0];
        for (size_t i = 1; i < m_scanPeriods.GetCount(); ++i)
            tick = GreatestCommonDivisor(tick, m_scanPeriods[i]);
    }
    m_settings.baseTick = tick;
    m_tagName = nullptr; // it pointed into the document

    if (!m_settings.simulationEnabled)
    {
        // Failures are logged by the wrapper; the caches' items stay in the address space.
        for (const auto& poller : m_pollers)
            m_api.StartCache(poller->CacheName());
    }
    m_texts.Clear();
    return S_OK;
}

void COpcDaDevice::Walk(const COpcTagElement& element, const COpcString& parentPath, unsigned depth)
{
    uint32_t tagKind = 0;
    const Kind kind = KindOf(element, tagKind);
    const wchar_t* name = element.Attribute(L"Name");
    if (name == nullptr)
        name = L"";
    // The context names the tag being refused, not the one before it.
    if (kind == Kind::Tag)
        m_tagName = name;
    if (depth > MaxDepth)
    {
        Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ELEMENT, element.Name());
        return;
    }
    // "." separates the parts of an item ID; a name may only start with one.
    if (name[0] != L'\0' && wcschr(name + 1, L'.') != nullptr)
    {
        Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ATTRIBUTE, L"Name");
        return;
    }
    const COpcString path = JoinPath(parentPath, name);
    if (!EnterElement(element, kind, tagKind, path))
        return;

    for (const COpcTagElement* child = element.FirstChild(); child != nullptr; child = child->NextSibling())
    {
        uint32_t childTagKind = 0;
        const Kind childKind = KindOf(*child, childTagKind);
        if (childKind == Kind::Other)
        {
            Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ELEMENT, child->Name());
            continue;
        }
        const bool nested = kind == Kind::Group && childKind == Kind::Group;
        if (nested)
            m_nestedGroup = true;
        if (kind == Kind::Sheet)
            m_symbolSheet = true;
        Walk(*child, path, depth + 1);
        if (nested)
        {
            m_subgroupName = COpcString();
            m_nestedGroup = false;
            m_flags[FlagSubgroup] = true;
        }
        else if (childKind == Kind::Group)
        {
            // The group's name ends with the group; its enable flag carries
            // over to the siblings that follow, as the file format lays down.
            m_groupName = COpcString();
        }
        if (kind == Kind::Sheet)
            m_symbolSheet = false;
        if (childKind == Kind::Sheet)
            m_sheetName = COpcString();
    }
}

bool COpcDaDevice::EnterElement(const COpcTagElement& element, Kind kind, uint32_t tagKind, const COpcString& path)
{
    if (kind == Kind::Device || kind == Kind::Sheet)
    {
        m_groupName = COpcString();
        m_subgroupName = COpcString();
        m_nestedGroup = false;
        m_flags[FlagGroup] = true;
        m_flags[FlagSubgroup] = true;
    }
    switch (kind)
    {
    case Kind::Node: return EnterNode(element);
    case Kind::Device: return EnterDevice(element);
    case Kind::Sheet: return EnterSheet(element);
    case Kind::Group: return EnterGroup(element);
    case Kind::Tag: return EnterTag(element, tagKind, path);
    case Kind::Other:
    default: return true;
    }
}

bool COpcDaDevice::ReadEnable(const COpcTagElement& element, Flag flag)
{
    bool enabled = false;
    if (!ParseBoolean(element.Attribute(L"Enable"), enabled))
    {
        Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ATTRIBUTE, L"Enable");
        return false;
    }
    m_flags[flag] = enabled;
    return true;
}

// The name of a node, device or sheet; refused when missing or empty.
const wchar_t* COpcDaDevice::RequiredName(const COpcTagElement& element)
{
    const wchar_t* name = element.Attribute(L"Name");
    if (name == nullptr || name[0] == L'\0')
    {
        Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ATTRIBUTE, L"Name");
        return nullptr;
    }
    return name;
}

bool COpcDaDevice::EnterNode(const COpcTagElement& element)
{
    const wchar_t* name = RequiredName(element);
    if (name == nullptr)
        return false;
    m_nodeName = COpcString(name);
    m_deviceName = COpcString();
    m_sheetName = COpcString();
    m_devicePath = COpcString();
    SetFlagsFrom(FlagNode);
    return ReadEnable(element, FlagNode);
}

bool COpcDaDevice::EnterDevice(const COpcTagElement& element)
{
    const wchar_t* name = RequiredName(element);
    if (name == nullptr)
        return false;
    m_deviceName = COpcString(name);
    m_sheetName = COpcString();
    // Shared by every item of the device.
    m_devicePath = m_nodeName.IsEmpty() ? m_deviceName : JoinPath(m_nodeName, name);
    SetFlagsFrom(FlagDevice);
    if (!ReadEnable(element, FlagDevice))
        return false;
    if (m_settings.simulationEnabled)
        return true;
    uint32_t* number = m_deviceNumbers.Lookup(m_devicePath);
    if (number != nullptr)
    {
        m_deviceNumber = *number;
        return true;
    }
    if (!m_deviceNumbers.SetAt(m_devicePath, m_nextDeviceNumber))
    {
        Refuse(OPC_LOG_DEVICE_LOAD, E_OUTOFMEMORY, L"Name");
        return false;
    }
    m_deviceNumber = m_nextDeviceNumber++;
    return true;
}

bool COpcDaDevice::EnterSheet(const COpcTagElement& element)
{
    const wchar_t* name = RequiredName(element);
    if (name == nullptr)
        return false;
    m_sheetName = COpcString(name);
    SetFlagsFrom(FlagSheet);
    return ReadEnable(element, FlagSheet);
}

bool COpcDaDevice::EnterGroup(const COpcTagElement& element)
{
    const wchar_t* attribute = m_symbolSheet ? L"SymbolName" : L"Name";
    const wchar_t* groupName = element.Attribute(attribute);
    if (groupName == nullptr || groupName[0] == L'\0')
    {
        Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ATTRIBUTE, attribute);
        return false;
    }
    if (!m_nestedGroup)
    {
        m_subgroupName = COpcString();
        m_groupName = COpcString(groupName);
        SetFlagsFrom(FlagGroup);
        return ReadEnable(element, FlagGroup);
    }
    m_nestedGroup = false;
    m_subgroupName = COpcString(groupName);
    SetFlagsFrom(FlagSubgroup);
    return ReadEnable(element, FlagSubgroup);
}

bool COpcDaDevice::EnterTag(const COpcTagElement& element, uint32_t tagKind, const COpcString& path)
{
    if (m_deviceName.IsEmpty())
    {
        Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_ATTRIBUTE, L"Name");
        return false;
    }
    m_flags[FlagTag] = true;
    if (!ReadEnable(element, FlagTag))
        return false;
    bool all = true;
    for (bool flag : m_flags)
        all = all && flag;
    if (all)
        BuildTag(element, tagKind, path);
    return true;
}

bool COpcDaDevice::CheckSymbol(const COpcDaDeviceItem& item)
{
    SymbolInfo info = {};
    if (m_api.GetSymbolInfo(item.DevicePath(), item.AccessPath(), info) != S_OK)
    {
        // The wrapper's record names the call; this one names the tag.
        Refuse(OPC_LOG_GENERAL, OPC_DEV_E_ATTRIBUTE, L"SymbolName");
        return false;
    }
    const wchar_t* property = nullptr;
    if (COpcString::FromAnsi(info.symbolName) != item.SymbolName())
        property = L"Name";
    else if (COpcString::FromAnsi(info.deviceAddress) != item.DeviceAddress())
        property = L"DeviceAddress";
    else if (info.dataType != item.TypeCode())
        property = L"DataType";
    else if (info.dataCount != item.DataCount())
        property = L"DataCount";
    if (property == nullptr)
        return true;
    Refuse(OPC_LOG_GENERAL, OPC_DEV_E_ATTRIBUTE, property);
    return false;
}

COpcDaDevicePoller* COpcDaDevice::FindCache(uint32_t scanPeriod, HRESULT& failure)
{
    failure = OPC_DEV_E_ATTRIBUTE;
    if (m_lastPoller != nullptr && m_lastDeviceNumber == m_deviceNumber && m_lastPeriod == scanPeriod)
        return m_lastPoller;

    wchar_t prefix[64];
    FormatText(prefix, 64, L"#OPC_DeviceCache_%d_%d_", static_cast<int>(m_deviceNumber), static_cast<int>(scanPeriod));
    const COpcString key(prefix);
    COpcDaDevicePoller* poller = nullptr;
    if (!m_pollersByPrefix.Lookup(key, poller))
    {
        if (m_pollers.GetCount() >= MaxCaches)
        {
            failure = OPC_DEV_E_CACHE_SERIALS;
            return nullptr;
        }
        for (uint32_t serial = 0;; ++serial)
        {
            if (serial >= MaxCacheSerial)
            {
                failure = OPC_DEV_E_CACHE_SERIALS;
                return nullptr;
            }
            wchar_t name[96];
            FormatText(name, 96, L"%ls%u", prefix, serial);
            const COpcString cacheName(name);
            const HRESULT hr = m_api.CreateCache(cacheName, scanPeriod);
            if (hr == OPC_DEV_E_CACHE_NAME_IN_USE)
                continue;
            // Any other failure: the wrapper logged it, and the tag has no cache.
            if (hr != S_OK)
                return nullptr;
            std::unique_ptr<COpcDaDevicePoller> made(new (std::nothrow)
                                                         COpcDaDevicePoller(m_settings, m_api, cacheName, scanPeriod));
            poller = made.get();
            if (poller == nullptr || !m_pollers.Append(std::move(made)))
            {
                m_api.DestroyCache(cacheName);
                return nullptr;
            }
            m_pollersByName.SetAt(cacheName, poller);
            m_pollersByPrefix.SetAt(key, poller);
            break;
        }
    }
    m_lastPoller = poller;
    m_lastDeviceNumber = m_deviceNumber;
    m_lastPeriod = scanPeriod;
    return poller;
}

void COpcDaDevice::BuildTag(const COpcTagElement& element, uint32_t tagKind, const COpcString& itemId)
{
    if (itemId.IsEmpty() || m_items.Lookup(itemId) != nullptr)
    {
        Refuse(OPC_LOG_DEVICE_LOAD, OPC_DEV_E_DUPLICATE, L"Name");
        return;
    }
    std::unique_ptr<COpcDaDeviceItem> item(new (std::nothrow) COpcDaDeviceItem(m_settings, m_api));
    if (item == nullptr || !item->ReadConfiguration(element, tagKind, itemId, &m_texts))
        return;
    COpcString accessPath = item->DeviceAddress();
    if (m_symbolSheet)
    {
        const COpcString parts[] = {m_sheetName, m_groupName, m_subgroupName, item->SymbolName()};
        accessPath = JoinParts(parts, sizeof(parts) / sizeof(parts[0]));
    }
    item->SetLocation(m_nodeName, m_sheetName, m_devicePath, accessPath);

    const bool live = !m_settings.simulationEnabled;
    if (live && m_symbolSheet && !CheckSymbol(*item))
        return;
    // Entered first, so that no failure below can leave a poller holding a
    // discarded item; the room reserved makes the final append certain.
    if (!m_itemList.Reserve(m_itemList.GetCount() + 1) || !m_items.SetAt(itemId, item.get()))
        return;
    const uint32_t period = item->ScanPeriod();
    if (live && period != 0)
    {
        HRESULT failure = S_OK;
        COpcDaDevicePoller* poller = FindCache(period, failure);
        const LONG typeCode = m_symbolSheet ? 0 : static_cast<LONG>(item->TypeCode());
        const LONG count = m_symbolSheet ? 0 : static_cast<LONG>(item->DataCount());
        // The wrapper logs a failed library call without the tag; the tag's
        // own record follows, so every refused tag can be found by its ID.
        const wchar_t* failed = nullptr;
        if (poller == nullptr)
            failed = L"ScanCycle";
        else if (m_api.EntryCacheRecord(poller->CacheName(), m_devicePath, accessPath, typeCode, count) != S_OK)
            failed = m_symbolSheet ? L"SymbolName" : L"DeviceAddress";
        else if (!poller->AddItem(item.get()))
            failed = L"ScanCycle";
        if (failed != nullptr)
        {
            Refuse(OPC_LOG_DEVICE_LOAD, poller == nullptr ? failure : OPC_DEV_E_ATTRIBUTE, failed);
            m_items.RemoveKey(itemId);
            return;
        }
    }
    if (period != 0)
    {
        bool known = false;
        for (DWORD p : m_scanPeriods)
            known = known || p == period;
        if (!known)
            m_scanPeriods.Append(period);
    }
    m_itemList.Append(std::move(item));
}

// --- provider -------------------------------------------------------------------------------

COpcDaDeviceItem* COpcDaDevice::FindItem(const COpcString& itemId) const
{
    COpcDaDeviceItem* item = nullptr;
    return m_items.Lookup(itemId, item) ? item : nullptr;
}

COpcDaDevicePoller* COpcDaDevice::PollerFor(const COpcString& cacheName) const
{
    COpcDaDevicePoller* poller = nullptr;
    return m_pollersByName.Lookup(cacheName, poller) ? poller : nullptr;
}

bool COpcDaDevice::DeviceNumber(const COpcString& devicePath, uint32_t& number) const
{
    return m_deviceNumbers.Lookup(devicePath, number);
}

HRESULT COpcDaDevice::RegisterAll()
{
    if (m_cache == nullptr)
        return E_FAIL;
    HRESULT result = S_OK;
    for (const auto& item : m_itemList)
    {
        const HRESULT hr = m_cache->AddItem(item->ItemId());
        if (FAILED(hr) && result == S_OK)
            result = hr;
    }
    return result;
}

HRESULT COpcDaDevice::UnregisterAll()
{
    if (m_cache != nullptr)
        m_cache->RemoveItemsOf(this);
    return S_OK;
}

bool COpcDaDevice::IsKnownItem(const COpcString& itemId)
{
    const wchar_t* text = itemId.Text();
    if (text == nullptr)
        return false;
    const wchar_t* marker = wcsstr(text, L"CPX");
    if (marker == nullptr)
        return FindItem(itemId) != nullptr;
    // Only what comes before the character that precedes "CPX".
    if (marker - text < 1)
        return false;
    return FindItem(COpcString(text, static_cast<size_t>(marker - text - 1))) != nullptr;
}

HRESULT COpcDaDevice::GetProperties(const COpcString& itemId, bool withValues, COpcDaPropertyList& properties)
{
    COpcDaDeviceItem* item = FindItem(itemId);
    return item != nullptr ? item->GetProperties(withValues, properties) : OPC_E_UNKNOWNITEMID;
}

HRESULT COpcDaDevice::GetPropertyValue(const COpcString& itemId, DWORD propertyId, VARIANT* value)
{
    COpcDaDeviceItem* item = FindItem(itemId);
    return item != nullptr ? item->GetPropertyValue(propertyId, value) : OPC_E_UNKNOWNITEMID;
}

HRESULT COpcDaDevice::Read(const COpcString& itemId, DWORD selector, VARIANT* value, FILETIME* timeStamp, WORD* quality)
{
    COpcDaDeviceItem* item = FindItem(itemId);
    return item != nullptr ? item->ReadItem(selector, value, timeStamp, quality) : OPC_E_UNKNOWNITEMID;
}

HRESULT COpcDaDevice::Write(const COpcString& itemId, DWORD selector, const VARIANT& value, const FILETIME* timeStamp,
                            const WORD* quality, WORD* limitQuality)
{
    COpcDaDeviceItem* item = FindItem(itemId);
    return item != nullptr ? item->WriteItem(selector, value, timeStamp, quality, limitQuality) : OPC_E_UNKNOWNITEMID;
}

// --- polling ---------------------------------------------------------------------------------

HRESULT COpcDaDevice::StartPolling()
{
    if (m_settings.simulationEnabled)
    {
        if (m_simulation.IsRunning())
            return S_FALSE;
        m_simulationPasses = 0;
        return m_simulation.Start(&COpcDaDevice::SimulationBody, this, INFINITE, THREAD_PRIORITY_NORMAL,
                                  OpcThreadRole::Simulation)
                   ? S_OK
                   : E_FAIL;
    }
    // All threads are made first and waited for afterwards: bringing one up
    // takes milliseconds, and with a hundred caches one after the other that
    // would be a noticeable part of the load.
    HRESULT result = S_OK;
    COpcGrowArray<COpcDaDevicePoller*> launched;
    for (const auto& poller : m_pollers)
    {
        if (poller->IsRunning())
            continue;
        if (!poller->Launch())
            result = S_FALSE;
        else if (!launched.Append(poller.get()) && !poller->WaitRunning()) // no room to wait later: now
            result = S_FALSE;
    }
    for (COpcDaDevicePoller* poller : launched)
    {
        if (!poller->WaitRunning())
            result = S_FALSE;
    }
    return result;
}

HRESULT COpcDaDevice::StopPolling()
{
    StopThreads();
    return UnregisterAll();
}

bool COpcDaDevice::SimulationPass(uint64_t cycle)
{
    const DWORD low = static_cast<DWORD>(cycle);
    const DWORD high = static_cast<DWORD>(cycle >> 32);
    const DWORD period = m_settings.simulationInterval != 0 ? m_settings.simulationInterval : 1000;
    for (size_t i = 0;; ++i)
    {
        COpcDaDeviceItem* item = nullptr;
        {
            COpcLockGuard guard(m_lock);
            if (i >= m_itemList.GetCount())
            {
                m_settings.AdvanceSimulationRow();
                return true;
            }
            if (m_simulation.IsStopRequested())
                return false;
            item = m_itemList[i].get();
        }
        // Group threads may look items up meanwhile; no item is updated under this lock.
        item->Poll(low, high, period);
    }
}

void COpcDaDevice::SimulationBody(void* data, bool stopping)
{
    if (stopping || data == nullptr)
        return;
    static_cast<COpcDaDevice*>(data)->RunSimulation();
}

void COpcDaDevice::RunSimulation()
{
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const DWORD period = m_settings.simulationInterval != 0 ? m_settings.simulationInterval : 1000;
    COpcCycleTimer timer;
    for (uint64_t cycle = 0; !m_simulation.IsStopRequested(); ++cycle)
    {
        if (SimulationPass(cycle))
            ++m_simulationPasses;
        COpcCycleTimer::Sleep(m_simulation, timer.NextWait(period), m_sliceMs);
    }
    if (SUCCEEDED(com))
        CoUninitialize();
}
