#include "OpcDaDeviceItem.h"

#include "OpcDaCache.h"
#include "OpcDaDataTypes.h"
#include "OpcDaItemProvider.h"
#include "OpcDaSettings.h"
#include "OpcDeviceAccess.h"
#include "OpcDeviceCodes.h"
#include "OpcErrorLog.h"
#include "OpcSimulationModes.h"
#include "OpcTagDocument.h"
#include "OpcTaskMem.h"
#include "OpcVariant.h"

#include <cfloat>
#include <cmath>
#include <cstring>
#include <cwchar>
#include <new>

namespace
{
const uint32_t kMaxDataCount = 1020;
const size_t kMaxNameChars = 40;
const size_t kMaxDescriptionChars = 256;
const size_t kMaxShortTextChars = 16; // units and labels
const uint32_t kMaxScanCycle = 65535;
const int32_t kMaxDecimalPoint = 7;
const DWORD kOpcAnalog = 1; // OPC_ANALOG

// Texts up to this length are shared through the pool.
const size_t kPooledChars = 32;
// The pool stops growing here; further texts are simply copied.
const size_t kMaxPooled = 4096;

} // namespace

// The largest buffer a refresh or a device write needs: 1020 doubles, or the
// text of a 1020-character string with room for double-byte characters.
union COpcDaDeviceItem::DeviceBuffer
{
    LONG longs[kMaxDataCount];
    ULONG ulongs[kMaxDataCount];
    short shorts[kMaxDataCount];
    unsigned short ushorts[kMaxDataCount];
    float floats[kMaxDataCount];
    double doubles[kMaxDataCount];
    char text[2 * kMaxDataCount + 2];
};

namespace
{
uint32_t HashText(const wchar_t* text) noexcept
{
    uint32_t hash = 2166136261u;
    for (; *text != L'\0'; ++text)
        hash = (hash ^ static_cast<uint32_t>(*text)) * 16777619u;
    return hash;
}

FILETIME Now()
{
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    return now;
}

HRESULT PutText(VARIANT* value, const COpcString& text)
{
    VariantClear(value);
    BSTR copy = SysAllocStringLen(text.TextOrEmpty(), text.Length());
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    value->vt = VT_BSTR;
    value->bstrVal = copy;
    return S_OK;
}

bool IsFinite(double x)
{
    return std::isfinite(x) != 0;
}

// Whether a configured instrument-range bound fits the raw type it is checked against.
bool FitsRangeType(double x, VARTYPE type)
{
    switch (type)
    {
    case VT_I2: return x >= -32768.0 && x <= 32767.0;
    case VT_UI2: return x >= 0.0 && x <= 65535.0;
    case VT_I4: return x >= -2147483648.0 && x <= 2147483647.0;
    case VT_UI4: return x >= 0.0 && x <= 4294967295.0;
    case VT_R4: return x >= -FLT_MAX && x <= FLT_MAX;
    default: return true;
    }
}

// One decimal place at most, as a number: 12.5 passes, 12.25 does not.
bool HasOneDecimal(double x)
{
    const double tenths = x * 10.0;
    return std::fabs(tenths - std::nearbyint(tenths)) < 1e-7;
}

// A required attribute's text, or null.
const wchar_t* Required(const COpcTagElement& element, const wchar_t* name)
{
    return element.Attribute(name);
}

// A plain number such as "-32768" or "0.5" directly; every other text by the
// general rule. With fewer than 16 digits both the digits and the power of ten
// are exact doubles, so their quotient is the correctly rounded value the
// general rule gives too.
bool ParseReal(const wchar_t* text, double& value)
{
    static const double kPowers[] = {1e0, 1e1, 1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                     1e8, 1e9, 1e10, 1e11, 1e12, 1e13, 1e14, 1e15};
    if (text != nullptr)
    {
        const wchar_t* p = text;
        const bool negative = *p == L'-';
        if (*p == L'-' || *p == L'+')
            ++p;
        uint64_t number = 0;
        int digits = 0;
        int decimals = -1;
        for (; digits < 16; ++p)
        {
            if (*p >= L'0' && *p <= L'9')
            {
                number = number * 10 + static_cast<uint64_t>(*p - L'0');
                ++digits;
                if (decimals >= 0)
                    ++decimals;
            }
            else if (*p == L'.' && decimals < 0 && digits > 0)
                decimals = 0;
            else
                break;
        }
        if (*p == L'\0' && digits > 0 && digits < 16 && decimals != 0)
        {
            const double magnitude =
                decimals > 0 ? static_cast<double>(number) / kPowers[decimals] : static_cast<double>(number);
            value = negative ? -magnitude : magnitude;
            return true;
        }
    }
    return ParseDouble(text, value);
}

bool ReadReal(const COpcTagElement& element, const wchar_t* name, double& value)
{
    return ParseReal(element.Attribute(name), value) && IsFinite(value);
}

// Reseeds the simulation's generator with the current time in seconds. Many
// items are made within one second; seeding again with the same second would
// change nothing, so it is done only when the second has moved on.
void ReseedRandom(const FILETIME& now)
{
    static volatile LONG64 lastSecond = -1;
    const uint64_t ticks = (static_cast<uint64_t>(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    const LONG64 second = static_cast<LONG64>((ticks - 116444736000000000ull) / 10000000ull);
    if (InterlockedExchange64(&lastSecond, second) != second)
        OpcSeedRandom(static_cast<uint32_t>(second));
}

// Copies the elements of from over the first ones of to (same element type).
// OPC_E_RANGE for an empty array or one longer than to.
HRESULT CopyLeadingElements(SAFEARRAY* from, SAFEARRAY* to)
{
    if (from == nullptr || to == nullptr || SafeArrayGetDim(from) != 1 || SafeArrayGetDim(to) != 1 ||
        SafeArrayGetElemsize(from) != SafeArrayGetElemsize(to))
        return OPC_E_BADTYPE;
    const ULONG count = from->rgsabound[0].cElements;
    if (count == 0 || count > to->rgsabound[0].cElements)
        return OPC_E_RANGE;
    COpcSafeArrayAccess source(from);
    COpcSafeArrayAccess target(to);
    if (FAILED(source.Result()) || FAILED(target.Result()))
        return E_FAIL;
    memcpy(target.Data(), source.Data(), static_cast<size_t>(count) * SafeArrayGetElemsize(from));
    return S_OK;
}

bool TextWithin(const wchar_t* text, size_t maxChars)
{
    return text != nullptr && wcslen(text) <= maxChars;
}

} // namespace

// --- text pool -------------------------------------------------------------------------------

void COpcDaTextPool::Clear()
{
    m_slots.SetSize(0);
    m_count = 0;
}

void COpcDaTextPool::Place(COpcArray<Slot>& slots, Slot&& slot)
{
    const UINT mask = slots.GetSize() - 1;
    UINT j = slot.hash & mask;
    while (!slots[j].text.IsEmpty())
        j = (j + 1) & mask;
    slots[j] = std::move(slot);
}

COpcString COpcDaTextPool::Get(const wchar_t* text)
{
    if (text == nullptr || text[0] == L'\0')
        return COpcString();
    const size_t length = wcslen(text);
    if (length > kPooledChars)
        return COpcString(text, length);
    const uint32_t hash = HashText(text);
    const size_t slotCount = m_slots.GetSize();
    if (slotCount != 0)
    {
        for (size_t i = hash & (slotCount - 1);; i = (i + 1) & (slotCount - 1))
        {
            const Slot& slot = m_slots[static_cast<UINT>(i)];
            if (slot.text.IsEmpty())
                break;
            if (slot.hash == hash && wcscmp(slot.text.TextOrEmpty(), text) == 0)
                return slot.text;
        }
    }
    COpcString fresh(text, length);
    if (m_count >= kMaxPooled)
        return fresh;
    if ((m_count + 1) * 2 > slotCount)
    {
        COpcArray<Slot> slots;
        if (!slots.SetSize(slotCount == 0 ? 64 : static_cast<UINT>(slotCount * 2)))
            return fresh;
        for (UINT i = 0; i < slotCount; ++i)
        {
            if (!m_slots[i].text.IsEmpty())
                Place(slots, std::move(m_slots[i]));
        }
        m_slots.Swap(slots);
    }
    Place(m_slots, Slot{hash, fresh});
    ++m_count;
    return fresh;
}

// --- construction ------------------------------------------------------------------------------

COpcDaDeviceItem::COpcDaDeviceItem(COpcDaSettings& settings, IOpcDeviceAccess& api) : m_settings(settings), m_api(api)
{
    m_live.quality = kOpcQualityGood;
    m_live.timeStamp = Now();
    m_config.accessRights = kOpcReadable | kOpcWriteable;
    SOpcConditioning& conditioning = m_config.conditioning;
    conditioning.highEU = conditioning.lowEU = conditioning.highIR = conditioning.lowIR = 2.0;
    // The simulation draws from the process's generator; each new item reseeds it.
    ReseedRandom(m_live.timeStamp);
}

COpcDaDeviceItem::~COpcDaDeviceItem() = default;

// --- loading -----------------------------------------------------------------------------------

bool COpcDaDeviceItem::ReadConfiguration(const COpcTagElement& element, uint32_t tagKind, const COpcString& itemId,
                                         COpcDaTextPool* pool)
{
    const wchar_t* property = nullptr; // a literal, valid without the lock
    {
        COpcLockGuard guard(m_lock);
        m_config.itemId = itemId;
        m_config.tagKind = tagKind;
        if (ReadAttributes(element, property, pool))
            return true;
    }
    // The record is written through the device library: not under the item lock.
    m_api.LogFailure(OPC_LOG_DEVICE_CONFIG, OPC_DEV_E_ATTRIBUTE, L"COpcDaDeviceItem::Read", nullptr, itemId.Text(),
                     property);
    return false;
}

bool COpcDaDeviceItem::ReadAttributes(const COpcTagElement& element, const wchar_t*& property, COpcDaTextPool* pool)
{
    COpcDaTextPool localPool;
    COpcDaTextPool& texts = pool != nullptr ? *pool : localPool;
    const SOpcDataType* type = nullptr;
    if (!ReadCommonAttributes(element, property, texts, type))
        return false;
    const bool kindRead = m_config.tagKind == kOpcTagAnalog    ? ReadAnalogAttributes(element, property, texts, *type)
                          : m_config.tagKind == kOpcTagDigital ? ReadDigitalAttributes(element, property, texts)
                                                               : ReadStringAttributes(element, property);
    if (!kindRead)
        return false;

    property = L"DataType";
    m_config.canonicalType = OpcCanonicalType(m_config.typeCode, m_config.loadedCount);
    m_config.rawType = type->canonicalType;
    m_config.isArray = (m_config.canonicalType & VT_ARRAY) != 0;
    if (!SetUpValue())
        return false;

    // The column is taken only by a tag that is accepted, so a refused tag
    // does not shift the columns of the tags after it.
    if (m_config.simMode == kOpcSimCsv)
        m_config.csvColumn = m_settings.NextCsvColumn();
    property = nullptr;
    return true;
}

// What every tag has: name, address, type, count, scan cycle, description and simulation.
bool COpcDaDeviceItem::ReadCommonAttributes(const COpcTagElement& element, const wchar_t*& property,
                                            COpcDaTextPool& texts, const SOpcDataType*& type)
{
    const bool simulation = m_settings.simulationEnabled;
    const wchar_t* text = nullptr;

    property = L"Name";
    text = Required(element, property);
    if (text == nullptr || text[0] == L'\0' || wcslen(text) > kMaxNameChars)
        return false;
    // The item ID of a loaded tag ends with its name; the name is then taken
    // from there when asked for, which saves a string per tag.
    const size_t nameLength = wcslen(text);
    const COpcString& itemId = m_config.itemId;
    if (itemId.Length() >= nameLength && wcscmp(itemId.Text() + itemId.Length() - nameLength, text) == 0)
        m_config.nameInId = static_cast<UINT>(nameLength);
    else
        m_config.name = COpcString(text);

    property = L"DeviceAddress";
    text = Required(element, property);
    if (text == nullptr || text[0] == L'\0')
        return false;
    m_config.deviceAddress = COpcString(text);

    property = L"SymbolName";
    text = element.Attribute(property);
    if (text != nullptr)
    {
        if (text[0] == L'\0')
            return false;
        m_config.symbolName = COpcString(text);
    }

    property = L"DataType";
    type = OpcDataTypeByName(Required(element, property));
    if (type == nullptr || !OpcTagKindAccepts(m_config.tagKind, type->code))
        return false;
    m_config.typeCode = type->code;
    m_config.dataType = texts.Get(type->name);

    property = L"DataCount";
    uint32_t count = 0;
    if (!ParseUInt32(Required(element, property), count) || count > kMaxDataCount)
        return false;
    m_config.loadedCount = count;
    m_config.dataCount = static_cast<int32_t>(count);

    if (!simulation)
    {
        property = L"ScanCycle";
        uint32_t cycle = 0;
        if (!ParseUInt32(Required(element, property), cycle) || cycle > kMaxScanCycle ||
            !m_settings.HasScanCycle(cycle))
            return false;
        m_config.scanPeriod = cycle * 100;
    }
    else
    {
        m_config.scanPeriod = m_settings.simulationInterval;
    }
    m_config.accessRights = m_config.scanPeriod == 0 ? kOpcWriteable : (kOpcReadable | kOpcWriteable);
    // One bit write carries at most MaxBitWrite bits, and an address or a
    // symbol gives no way to reach the bits beyond them: longer bit tags are
    // read-only, and a write-only one could be neither read nor written.
    if (m_config.typeCode == kOpcTypeBit && count > static_cast<uint32_t>(IOpcDeviceAccess::MaxBitWrite))
    {
        property = L"DataCount";
        if (m_config.scanPeriod == 0)
            return false;
        m_config.accessRights = kOpcReadable;
    }
    m_config.scanRate = static_cast<float>(m_config.scanPeriod);

    property = L"Description";
    text = Required(element, property);
    if (!TextWithin(text, kMaxDescriptionChars))
        return false;
    m_config.description = COpcString(text);

    property = L"Simulation";
    text = Required(element, property);
    m_config.simMode = OpcSimulationModeByName(text);
    if (m_config.simMode == 0)
        return false;
    m_config.simulation = texts.Get(text);

    SOpcConditioning& conditioning = m_config.conditioning;
    conditioning = SOpcConditioning();
    conditioning.typeCode = m_config.typeCode;
    conditioning.highEU = conditioning.lowEU = conditioning.highIR = conditioning.lowIR = 2.0;
    return true;
}

// Ranges, unit, dead band, decimals and the signal condition.
bool COpcDaDeviceItem::ReadAnalogAttributes(const COpcTagElement& element, const wchar_t*& property,
                                            COpcDaTextPool& texts, const SOpcDataType& type)
{
    const wchar_t* text = nullptr;
    m_config.euType = kOpcAnalog;
    property = L"HighEU";
    if (!ReadReal(element, property, m_config.conditioning.highEU))
        return false;
    property = L"LowEU";
    if (!ReadReal(element, property, m_config.conditioning.lowEU) ||
        !(m_config.conditioning.lowEU < m_config.conditioning.highEU))
        return false;
    property = L"HighInstrumentRange";
    if (!ReadReal(element, property, m_config.conditioning.highIR) ||
        !FitsRangeType(m_config.conditioning.highIR, type.rangeCheckType))
        return false;
    property = L"LowInstrumentRange";
    if (!ReadReal(element, property, m_config.conditioning.lowIR) ||
        !FitsRangeType(m_config.conditioning.lowIR, type.rangeCheckType) ||
        !(m_config.conditioning.lowIR < m_config.conditioning.highIR))
        return false;
    property = L"EngineeringUnit";
    text = Required(element, property);
    if (!TextWithin(text, kMaxShortTextChars))
        return false;
    m_config.engineeringUnit = texts.Get(text);
    property = L"DeadBand";
    if (!ReadReal(element, property, m_config.deadBand) || m_config.deadBand < 0 || m_config.deadBand > 100 ||
        !HasOneDecimal(m_config.deadBand))
        return false;
    property = L"DecimalPoint";
    uint32_t decimals = 0;
    if (!ParseUInt32(Required(element, property), decimals) || decimals > kMaxDecimalPoint)
        return false;
    m_config.conditioning.decimalPoint = static_cast<int32_t>(decimals);
    property = L"SignalCondition";
    text = Required(element, property);
    uint32_t condition = 0;
    if (!OpcConditionByName(text, condition) || !OpcConditionAllowed(m_config.typeCode, condition))
        return false;
    m_config.conditioning.condition = condition;
    m_config.signalCondition = texts.Get(text);
    property = L"InstrumentRange";
    return OpcInstrumentRangeValid(m_config.typeCode, condition, m_config.conditioning.highIR,
                                   m_config.conditioning.lowIR);
}

// The two labels and the inversion.
bool COpcDaDeviceItem::ReadDigitalAttributes(const COpcTagElement& element, const wchar_t*& property,
                                             COpcDaTextPool& texts)
{
    const wchar_t* text = nullptr;
    property = L"CloseLabel";
    text = Required(element, property);
    if (!TextWithin(text, kMaxShortTextChars))
        return false;
    m_config.closeLabel = texts.Get(text);
    property = L"OpenLabel";
    text = Required(element, property);
    if (!TextWithin(text, kMaxShortTextChars))
        return false;
    m_config.openLabel = texts.Get(text);
    property = L"Inverse";
    text = Required(element, property);
    if (text == nullptr || (wcscmp(text, L"On") != 0 && wcscmp(text, L"Off") != 0))
        return false;
    m_config.inverse = texts.Get(text);
    m_config.inverseOn = wcscmp(text, L"On") == 0;
    return true;
}

bool COpcDaDeviceItem::ReadStringAttributes(const COpcTagElement& element, const wchar_t*& property)
{
    property = L"NullTermination";
    if (!ParseBoolean(Required(element, property), m_config.nullTermination))
        return false;
    return true;
}

bool COpcDaDeviceItem::SetUpValue()
{
    VariantClear(m_live.value.Get());
    const VARTYPE element = m_config.rawType;
    if (m_config.isArray)
    {
        SAFEARRAY* array = SafeArrayCreateVector(element, 0, m_config.loadedCount);
        if (array == nullptr)
            return false;
        m_live.value->vt = static_cast<VARTYPE>(VT_ARRAY | element);
        m_live.value->parray = array;
        return true;
    }
    // A typed zero (false, the empty text) until the first refresh.
    if (element == VT_BSTR)
    {
        m_live.value->bstrVal = SysAllocString(L"");
        if (m_live.value->bstrVal == nullptr)
            return false;
    }
    m_live.value->vt = element;
    return true;
}

void COpcDaDeviceItem::SetLocation(const COpcString& nodeName, const COpcString& sheetName,
                                   const COpcString& devicePath, const COpcString& accessPath)
{
    COpcLockGuard guard(m_lock);
    m_config.nodeName = nodeName;
    m_config.sheetName = sheetName;
    m_config.devicePath = devicePath;
    m_config.accessPath = accessPath;
}

void COpcDaDeviceItem::SetReadOnly(bool readOnly)
{
    COpcLockGuard guard(m_lock);
    m_config.readOnly = readOnly;
}

COpcDaDeviceItem::ExtraProperty* COpcDaDeviceItem::FindExtra(DWORD propertyId) const
{
    if (m_extra == nullptr)
        return nullptr;
    for (ExtraProperty& extra : *m_extra)
    {
        if (extra.id == propertyId)
            return &extra;
    }
    return nullptr;
}

HRESULT COpcDaDeviceItem::SetExtraProperty(DWORD propertyId, const VARIANT& value)
{
    COpcLockGuard guard(m_lock);
    if (ExtraProperty* extra = FindExtra(propertyId))
        return CopyValue(extra->value.Get(), &value);
    if (m_extra == nullptr)
    {
        m_extra.reset(new (std::nothrow) COpcGrowArray<ExtraProperty>());
        if (m_extra == nullptr)
            return E_OUTOFMEMORY;
    }
    ExtraProperty extra;
    extra.id = propertyId;
    HRESULT hr = CopyValue(extra.value.Get(), &value);
    if (FAILED(hr))
        return hr;
    return m_extra->Append(std::move(extra)) ? S_OK : E_OUTOFMEMORY;
}

COpcString COpcDaDeviceItem::NameLocked() const
{
    if (m_config.nameInId == 0)
        return m_config.name;
    return m_config.itemId.Mid(m_config.itemId.Length() - m_config.nameInId);
}

COpcString COpcDaDeviceItem::Name() const
{
    COpcLockGuard guard(m_lock);
    return NameLocked();
}

bool COpcDaDeviceItem::IsAnalogValue() const noexcept
{
    return m_config.euType == kOpcAnalog && m_config.tagKind == kOpcTagAnalog;
}

// --- refresh -------------------------------------------------------------------------------------

void COpcDaDeviceItem::Poll(DWORD cycleLow, DWORD cycleHigh, DWORD periodMs)
{
    // Written only while loading, or by a client's property write: a stale
    // read here costs one refresh at most.
    if (m_config.accessRights == kOpcWriteable)
        return;
    if (m_settings.simulationEnabled)
        PollSimulated((static_cast<uint64_t>(cycleHigh) << 32) | cycleLow, periodMs);
    else
        PollDevice();
}

void COpcDaDeviceItem::PollSimulated(uint64_t cycle, DWORD periodMs)
{
    SOpcSimulationStep step;
    step.cycle = cycle;
    step.periodMs = periodMs;
    step.stepUnit = m_settings.simulationUnit;
    // The cell is fetched before the item lock: the settings lock comes second to none.
    if (m_config.simMode == kOpcSimCsv)
        step.cell = m_settings.SimulationCell(m_settings.simulationRow, m_config.csvColumn);

    COpcLockGuard guard(m_lock);
    step.mode = m_config.simMode;
    step.inverse = m_config.inverseOn;
    if (m_config.tagKind == kOpcTagAnalog)
    {
        step.high = m_config.conditioning.highEU;
        step.low = m_config.conditioning.lowEU;
    }
    if (FAILED(OpcSimulateValue(step, StorageType(), m_live.value.Get())))
        return;
    m_live.timeStamp = Now();
    if (m_live.checkQuality)
    {
        // A range check of an earlier read is no statement about the new value.
        m_live.quality = kOpcQualityGood;
        m_live.checkQuality = false;
    }
}

void COpcDaDeviceItem::PollDevice()
{
    // Type, count and paths are fixed at load, so they are read without the lock.
    const bool many = m_config.typeCode == kOpcTypeString || m_config.isArray;
    const uint32_t count = many ? m_config.loadedCount : 1;
    if (count == 0 || (m_config.isArray && count <= 1))
        return;
    // Cleared for the elements this read uses, so stale stack bytes can never
    // reach a tag whatever the library leaves behind.
    DeviceBuffer buffer;
    memset(&buffer, 0, m_config.typeCode == kOpcTypeString ? 2 * count + 2 : count * sizeof(double));
    const HRESULT hr = ReadFromDevice(buffer, static_cast<short>(count));

    // A text is widened before the lock is taken.
    wchar_t wide[kMaxDataCount + 1];
    int wideLength = 0;
    if (SUCCEEDED(hr) && m_config.typeCode == kOpcTypeString)
    {
        bool terminate = true;
        {
            COpcLockGuard guard(m_lock);
            terminate = m_config.nullTermination;
        }
        wideLength = WidenText(buffer, count, terminate, wide);
    }

    COpcLockGuard guard(m_lock);
    if (FAILED(hr))
    {
        m_live.quality = m_live.everGood ? kOpcQualityLastKnown : kOpcQualityCommFailure;
        m_live.checkQuality = false;
        return;
    }
    const bool stored = m_config.typeCode == kOpcTypeString ? StoreTextLocked(wide, wideLength)
                        : m_config.isArray                  ? StoreArrayLocked(buffer, count)
                                                            : StoreScalarLocked(buffer);
    if (!stored)
        return;
    m_live.quality = kOpcQualityGood;
    m_live.checkQuality = false;
    m_live.everGood = true;
    m_live.timeStamp = Now();
}

HRESULT COpcDaDeviceItem::ReadFromDevice(DeviceBuffer& buffer, short n)
{
    switch (m_config.typeCode)
    {
    case kOpcTypeBit: return m_api.ReadDeviceBitM(m_config.devicePath, m_config.accessPath, buffer.longs, n);
    case kOpcTypeInt16: return m_api.ReadDevice16M(m_config.devicePath, m_config.accessPath, buffer.shorts, n);
    case kOpcTypeUInt16:
    case kOpcTypeHex16: return m_api.ReadDeviceU16M(m_config.devicePath, m_config.accessPath, buffer.ushorts, n);
    case kOpcTypeBcd16: return m_api.ReadDeviceBCD16M(m_config.devicePath, m_config.accessPath, buffer.shorts, n);
    case kOpcTypeInt32: return m_api.ReadDevice32M(m_config.devicePath, m_config.accessPath, buffer.longs, n);
    case kOpcTypeUInt32:
    case kOpcTypeHex32: return m_api.ReadDeviceU32M(m_config.devicePath, m_config.accessPath, buffer.ulongs, n);
    case kOpcTypeBcd32: return m_api.ReadDeviceBCD32M(m_config.devicePath, m_config.accessPath, buffer.longs, n);
    case kOpcTypeFloat: return m_api.ReadDeviceFloatM(m_config.devicePath, m_config.accessPath, buffer.floats, n);
    case kOpcTypeDouble: return m_api.ReadDeviceDoubleM(m_config.devicePath, m_config.accessPath, buffer.doubles, n);
    case kOpcTypeString:
        // Sized from the count, so no answer of the device can run past it.
        return m_api.ReadDeviceStrM(m_config.devicePath, m_config.accessPath, buffer.text, n);
    default: return E_FAIL;
    }
}

int COpcDaDeviceItem::WidenText(DeviceBuffer& buffer, uint32_t count, bool terminate, wchar_t* wide)
{
    if (terminate)
        buffer.text[count] = '\0';
    buffer.text[2 * count] = '\0';
    const int narrow = static_cast<int>(strlen(buffer.text));
    int wideLength = narrow == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, buffer.text, narrow, wide, kMaxDataCount);
    if (wideLength < 0)
        wideLength = 0;
    wide[wideLength] = L'\0';
    return wideLength;
}

bool COpcDaDeviceItem::StoreTextLocked(const wchar_t* wide, int wideLength)
{
    // Only a changed text costs a new string.
    const VARIANT& value = *m_live.value.Get();
    const bool same = value.vt == VT_BSTR && SysStringLen(value.bstrVal) == static_cast<UINT>(wideLength) &&
                      (wideLength == 0 || wmemcmp(value.bstrVal, wide, static_cast<size_t>(wideLength)) == 0);
    if (same)
        return true;
    BSTR text = SysAllocStringLen(wide, static_cast<UINT>(wideLength));
    if (text == nullptr)
        return false;
    VariantClear(m_live.value.Get());
    m_live.value->vt = VT_BSTR;
    m_live.value->bstrVal = text;
    return true;
}

bool COpcDaDeviceItem::StoreArrayLocked(const DeviceBuffer& buffer, uint32_t count)
{
    const VARIANT& value = *m_live.value.Get();
    SAFEARRAY* array = value.vt == static_cast<VARTYPE>(VT_ARRAY | m_config.rawType) ? value.parray : nullptr;
    if (array == nullptr || SafeArrayGetDim(array) != 1 || array->rgsabound[0].cElements != count)
        return false;
    COpcSafeArrayAccess access(array);
    if (FAILED(access.Result()))
        return false;
    void* data = access.Data();
    switch (m_config.rawType)
    {
    case VT_BOOL:
    {
        auto* flags = static_cast<VARIANT_BOOL*>(data);
        for (uint32_t i = 0; i < count; ++i)
            flags[i] = ((buffer.longs[i] != 0) != m_config.inverseOn) ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    }
    case VT_I2:
    case VT_UI2: memcpy(data, buffer.shorts, count * sizeof(short)); return true;
    case VT_I4:
    case VT_UI4:
    case VT_R4: memcpy(data, buffer.longs, count * 4); return true;
    case VT_R8: memcpy(data, buffer.doubles, count * sizeof(double)); return true;
    default: return false;
    }
}

bool COpcDaDeviceItem::StoreScalarLocked(const DeviceBuffer& buffer)
{
    VariantClear(m_live.value.Get());
    m_live.value->vt = m_config.rawType;
    switch (m_config.rawType)
    {
    case VT_BOOL:
        m_live.value->boolVal = ((buffer.longs[0] != 0) != m_config.inverseOn) ? VARIANT_TRUE : VARIANT_FALSE;
        return true;
    case VT_I2: m_live.value->iVal = buffer.shorts[0]; return true;
    case VT_UI2: m_live.value->uiVal = buffer.ushorts[0]; return true;
    case VT_I4: m_live.value->lVal = buffer.longs[0]; return true;
    case VT_UI4: m_live.value->ulVal = buffer.ulongs[0]; return true;
    case VT_R4: m_live.value->fltVal = buffer.floats[0]; return true;
    case VT_R8: m_live.value->dblVal = buffer.doubles[0]; return true;
    default: m_live.value->vt = VT_EMPTY; return false;
    }
}

// --- access ----------------------------------------------------------------------------------------

HRESULT COpcDaDeviceItem::CheckAccess(DWORD propertyId, DWORD mode) const
{
    COpcLockGuard guard(m_lock);
    switch (propertyId)
    {
    case 0:
    case OPC_DA_PROP_VALUE:
    case OPC_DA_PROP_QUALITY:
    case OPC_DA_PROP_TIME:
    {
        const DWORD wanted = mode == AccessRead    ? kOpcReadable
                             : mode == AccessWrite ? kOpcWriteable
                                                   : (kOpcReadable | kOpcWriteable);
        return (m_config.accessRights & wanted) != 0 ? S_OK : OPC_E_BADRIGHTS;
    }
    case OPC_DA_PROP_CDT:
    case OPC_DA_PROP_RIGHTS:
    case OPC_DA_PROP_SCANRATE:
    case OPC_DA_PROP_EUTYPE:
    case OPC_DA_PROP_EUINFO:
    case OPC_DA_PROP_DESC:
    case OPC_DA_PROP_NODE_NAME:
    case OPC_DA_PROP_TAG_NAME:
    case OPC_DA_PROP_SHEET_NAME:
    case OPC_DA_PROP_SYMBOL_NAME:
    case OPC_DA_PROP_DEVICE_ADDRESS:
    case OPC_DA_PROP_DATA_TYPE:
    case OPC_DA_PROP_SIMULATION: return S_OK;
    case OPC_DA_PROP_UNIT:
    case OPC_DA_PROP_HIEU:
    case OPC_DA_PROP_LOEU:
    case OPC_DA_PROP_HIRANGE:
    case OPC_DA_PROP_LORANGE:
    case OPC_DA_PROP_DEADBAND:
    case OPC_DA_PROP_DECIMAL_POINT:
    case OPC_DA_PROP_SIGNAL_CONDITION: return m_config.tagKind == kOpcTagAnalog ? S_OK : OPC_E_INVALID_PID;
    case OPC_DA_PROP_CLOSE:
    case OPC_DA_PROP_OPEN:
    case OPC_DA_PROP_INVERSE: return m_config.tagKind == kOpcTagDigital ? S_OK : OPC_E_INVALID_PID;
    case OPC_DA_PROP_NULL_TERMINATION: return m_config.tagKind == kOpcTagString ? S_OK : OPC_E_INVALID_PID;
    case OPC_DA_PROP_DATA_COUNT:
        return m_config.dataCount >= 0 && m_config.dataCount <= static_cast<int32_t>(kMaxDataCount) ? S_OK
                                                                                                    : OPC_E_INVALID_PID;
    default: return FindExtra(propertyId) != nullptr ? S_OK : OPC_E_INVALID_PID;
    }
}

// --- reading ---------------------------------------------------------------------------------------

HRESULT COpcDaDeviceItem::ReadItem(DWORD selector, VARIANT* value, FILETIME* timeStamp, WORD* quality)
{
    if (value == nullptr)
        return E_POINTER;
    if (selector != OPC_DA_READ_DEVICE && selector != OPC_DA_READ_CACHE)
    {
        HRESULT hr = GetPropertyValue(selector, value);
        if (FAILED(hr))
            return hr;
        COpcLockGuard guard(m_lock);
        if (timeStamp != nullptr)
            *timeStamp = m_live.timeStamp;
        if (quality != nullptr)
            *quality = kOpcQualityGood;
        return S_OK;
    }
    HRESULT hr = CheckAccess(0, AccessRead);
    if (FAILED(hr))
        return hr;
    return ReadValue(selector == OPC_DA_READ_DEVICE, value, timeStamp, quality);
}

HRESULT COpcDaDeviceItem::ReadValue(bool refresh, VARIANT* value, FILETIME* timeStamp, WORD* quality)
{
    // Simulated values are kept current by the simulation thread. Stepping the
    // simulation here, with a fixed cycle, would pin waves to one point and
    // step ramps once more per client read.
    if (refresh && !m_settings.simulationEnabled)
        Poll(100, 0, 100);
    COpcVariant copy;
    FILETIME stamp;
    WORD itemQuality;
    bool analog;
    SOpcConditioning conditioning;
    {
        COpcLockGuard guard(m_lock);
        if (FAILED(VariantCopy(copy.Get(), m_live.value.Get())))
            return OPC_E_BADTYPE;
        stamp = m_live.timeStamp;
        itemQuality = m_live.quality;
        analog = IsAnalogValue();
        conditioning = m_config.conditioning;
    }
    if (analog)
    {
        WORD checked = itemQuality;
        HRESULT hr = ConditionRead(conditioning, copy.Get(), &checked);
        if (FAILED(hr))
            return hr == E_OUTOFMEMORY ? hr : OPC_E_BADTYPE;
        if (hr == S_FALSE)
        {
            COpcLockGuard guard(m_lock);
            m_live.quality = checked;
            m_live.checkQuality = true;
            itemQuality = checked;
        }
    }
    VariantClear(value);
    copy.MoveTo(value);
    if (timeStamp != nullptr)
        *timeStamp = stamp;
    if (quality != nullptr)
        *quality = itemQuality;
    return S_OK;
}

HRESULT COpcDaDeviceItem::GetRawValue(VARIANT* value, WORD* quality, FILETIME* timeStamp)
{
    if (value == nullptr)
        return E_POINTER;
    COpcLockGuard guard(m_lock);
    VariantClear(value);
    HRESULT hr = VariantCopy(value, m_live.value.Get());
    if (quality != nullptr)
        *quality = m_live.quality;
    if (timeStamp != nullptr)
        *timeStamp = m_live.timeStamp;
    return hr;
}

// --- properties ------------------------------------------------------------------------------------

HRESULT COpcDaDeviceItem::GetPropertyValue(DWORD propertyId, VARIANT* value)
{
    HRESULT hr = CheckAccess(propertyId, AccessRead);
    if (FAILED(hr) || value == nullptr)
        return hr;
    if (propertyId == OPC_DA_PROP_VALUE)
        return ReadValue(false, value, nullptr, nullptr);
    COpcLockGuard guard(m_lock);
    return PropertyValue(propertyId, value);
}

HRESULT COpcDaDeviceItem::PropertyValue(DWORD propertyId, VARIANT* value)
{
    VariantClear(value);
    switch (propertyId)
    {
    case OPC_DA_PROP_CDT:
        value->vt = VT_I2;
        value->iVal = static_cast<SHORT>(m_config.canonicalType);
        return S_OK;
    case OPC_DA_PROP_QUALITY:
        value->vt = VT_I2;
        value->iVal = static_cast<SHORT>(m_live.quality);
        return S_OK;
    case OPC_DA_PROP_TIME:
    {
        const FILETIME& stamp = m_live.timeStamp;
        const uint64_t ticks = (static_cast<uint64_t>(stamp.dwHighDateTime) << 32) | stamp.dwLowDateTime;
        return SetFileTime(value, ticks);
    }
    case OPC_DA_PROP_RIGHTS:
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(m_config.accessRights);
        return S_OK;
    case OPC_DA_PROP_SCANRATE:
        value->vt = VT_R4;
        value->fltVal = m_config.scanRate;
        return S_OK;
    case OPC_DA_PROP_EUTYPE:
        value->vt = VT_I4;
        value->lVal = static_cast<LONG>(m_config.euType);
        return S_OK;
    case OPC_DA_PROP_EUINFO:
    {
        if (m_config.euInfo->vt != VT_EMPTY)
            return VariantCopy(value, m_config.euInfo.Get());
        SAFEARRAY* empty = SafeArrayCreateVector(VT_BSTR, 0, 0);
        if (empty == nullptr)
            return E_OUTOFMEMORY;
        value->vt = VT_ARRAY | VT_BSTR;
        value->parray = empty;
        return S_OK;
    }
    case OPC_DA_PROP_UNIT: return PutText(value, m_config.engineeringUnit);
    case OPC_DA_PROP_DESC: return PutText(value, m_config.description);
    case OPC_DA_PROP_HIEU:
        value->vt = VT_R8;
        value->dblVal = m_config.conditioning.highEU;
        return S_OK;
    case OPC_DA_PROP_LOEU:
        value->vt = VT_R8;
        value->dblVal = m_config.conditioning.lowEU;
        return S_OK;
    case OPC_DA_PROP_HIRANGE:
        value->vt = VT_R8;
        value->dblVal = m_config.conditioning.highIR;
        return S_OK;
    case OPC_DA_PROP_LORANGE:
        value->vt = VT_R8;
        value->dblVal = m_config.conditioning.lowIR;
        return S_OK;
    case OPC_DA_PROP_CLOSE: return PutText(value, m_config.closeLabel);
    case OPC_DA_PROP_OPEN: return PutText(value, m_config.openLabel);
    case OPC_DA_PROP_DEADBAND:
        value->vt = VT_R8;
        value->dblVal = m_config.deadBand;
        return S_OK;
    case OPC_DA_PROP_NODE_NAME: return PutText(value, m_config.nodeName);
    case OPC_DA_PROP_TAG_NAME: return PutText(value, NameLocked());
    case OPC_DA_PROP_SHEET_NAME: return PutText(value, m_config.sheetName);
    case OPC_DA_PROP_SYMBOL_NAME: return PutText(value, m_config.symbolName);
    case OPC_DA_PROP_DEVICE_ADDRESS: return PutText(value, m_config.deviceAddress);
    case OPC_DA_PROP_DATA_TYPE: return PutText(value, m_config.dataType);
    case OPC_DA_PROP_DATA_COUNT:
        value->vt = VT_I4;
        value->lVal = m_config.dataCount;
        return S_OK;
    case OPC_DA_PROP_DECIMAL_POINT:
        value->vt = VT_I4;
        value->lVal = m_config.conditioning.decimalPoint;
        return S_OK;
    case OPC_DA_PROP_INVERSE: return PutText(value, m_config.inverse);
    case OPC_DA_PROP_SIGNAL_CONDITION: return PutText(value, m_config.signalCondition);
    case OPC_DA_PROP_NULL_TERMINATION:
        value->vt = VT_BOOL;
        value->boolVal = m_config.nullTermination ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    case OPC_DA_PROP_SIMULATION: return PutText(value, m_config.simulation);
    default:
        if (ExtraProperty* extra = FindExtra(propertyId))
            return VariantCopy(value, extra->value.Get());
        return OPC_E_INVALID_PID;
    }
}

HRESULT COpcDaDeviceItem::GetProperties(bool withValues, COpcDaPropertyList& properties)
{
    static const DWORD kCommon[] = {1, 2, 3, 4, 5, 6, 7, 101};
    static const DWORD kAnalog[] = {100, 102, 103, 104, 105, 306, 5007, 5009};
    static const DWORD kDigital[] = {106, 107, 5008};
    static const DWORD kString[] = {5010};
    static const DWORD kVendor[] = {5003, 5000, 5001, 5002, 5004, 5005, 5006, 5011};

    DWORD ids[64];
    size_t count = 0;
    auto add = [&](const DWORD* list, size_t n)
    {
        for (size_t i = 0; i < n; ++i)
            ids[count++] = list[i];
    };
    add(kCommon, sizeof(kCommon) / sizeof(DWORD));
    if (m_config.tagKind == kOpcTagAnalog)
        add(kAnalog, sizeof(kAnalog) / sizeof(DWORD));
    else if (m_config.tagKind == kOpcTagDigital)
        add(kDigital, sizeof(kDigital) / sizeof(DWORD));
    else if (m_config.tagKind == kOpcTagString)
        add(kString, sizeof(kString) / sizeof(DWORD));
    add(kVendor, sizeof(kVendor) / sizeof(DWORD));

    // Properties beyond the fixed ones follow in the order they were added.
    COpcGrowArray<DWORD> extras;
    {
        COpcLockGuard guard(m_lock);
        if (m_extra != nullptr)
        {
            for (const ExtraProperty& extra : *m_extra)
            {
                if (!extras.Append(extra.id))
                    return E_OUTOFMEMORY;
            }
        }
    }

    // Only what a listing may show.
    DWORD listed[64];
    size_t kept = 0;
    for (size_t i = 0; i < count; ++i)
    {
        if (SUCCEEDED(CheckAccess(ids[i], AccessList)))
            listed[kept++] = ids[i];
    }
    if (!properties.SetCount(kept + extras.GetCount()))
        return E_OUTOFMEMORY;
    for (size_t i = 0; i < kept + extras.GetCount(); ++i)
    {
        COpcDaProperty& property = properties[i];
        property.id = i < kept ? listed[i] : extras[i - kept];
        property.result = withValues ? GetPropertyValue(property.id, &property.value) : S_OK;
    }
    return S_OK;
}

// --- writing ---------------------------------------------------------------------------------------

HRESULT COpcDaDeviceItem::WriteItem(DWORD selector, const VARIANT& value, const FILETIME* timeStamp,
                                    const WORD* quality, WORD* limitQuality, bool internalWrite)
{
    if (selector != OPC_DA_READ_DEVICE && selector != OPC_DA_READ_CACHE)
        return WriteProperty(selector, value);
    return WriteValue(value, timeStamp, quality, limitQuality, internalWrite);
}

HRESULT COpcDaDeviceItem::WriteValue(const VARIANT& value, const FILETIME* timeStamp, const WORD* quality,
                                     WORD* limitQuality, bool internalWrite)
{
    HRESULT hr = CheckAccess(0, AccessWrite);
    if (FAILED(hr))
        return hr;
    SOpcConditioning conditioning;
    VARTYPE canonical;
    bool analog;
    {
        COpcLockGuard guard(m_lock);
        if (m_config.readOnly && !internalWrite)
            return OPC_E_BADRIGHTS;
        conditioning = m_config.conditioning;
        canonical = m_config.canonicalType;
        analog = IsAnalogValue();
    }

    COpcVariant raw;
    hr = CopyValue(raw.Get(), &value);
    if (FAILED(hr))
        return OPC_E_BADTYPE;
    if (analog)
    {
        WORD checked = 0;
        hr = ConditionWrite(conditioning, raw.Get(), &checked);
        if (FAILED(hr))
        {
            if (limitQuality != nullptr && checked != 0)
                *limitQuality = checked;
            return hr;
        }
    }
    if (canonical != VT_EMPTY && raw->vt != canonical)
        return OPC_E_BADTYPE;

    if (m_settings.simulationEnabled)
    {
        COpcLockGuard guard(m_lock);
        // Only a tag that is not simulated keeps what is written to it, in
        // the type the simulation and the refresh work in.
        if (m_config.simMode == kOpcSimNone)
        {
            COpcVariant stored;
            hr = ChangeType(stored.Get(), raw.Get(), LOCALE_USER_DEFAULT, StorageType());
            if (FAILED(hr))
                return hr == DISP_E_OVERFLOW ? OPC_E_RANGE : OPC_E_BADTYPE;
            if (!m_config.isArray)
            {
                VariantClear(m_live.value.Get());
                stored.MoveTo(m_live.value.Get());
            }
            else
            {
                // Like a device write: the leading elements, never more than the tag holds.
                hr = m_live.value->vt == StorageType() ? CopyLeadingElements(stored->parray, m_live.value->parray)
                                                       : OPC_E_BADTYPE;
                if (FAILED(hr))
                    return hr;
            }
        }
    }
    else
    {
        hr = WriteDevice(*raw.Get());
        if (FAILED(hr))
            return hr;
    }

    COpcLockGuard guard(m_lock);
    if (timeStamp != nullptr)
        m_live.timeStamp = *timeStamp;
    if (quality != nullptr)
    {
        m_live.quality = *quality;
        m_live.checkQuality = false;
    }
    return S_OK;
}

HRESULT COpcDaDeviceItem::WriteDevice(const VARIANT& written)
{
    // Into the load-time type first, in case the canonical type was changed
    // through its property since.
    COpcVariant converted;
    const VARTYPE wanted = StorageType();
    const VARIANT* raw = &written;
    if (written.vt != wanted)
    {
        HRESULT hr = ChangeType(converted.Get(), &written, LOCALE_USER_DEFAULT, wanted);
        if (FAILED(hr))
            return hr == DISP_E_OVERFLOW ? OPC_E_RANGE : OPC_E_BADTYPE;
        raw = converted.Get();
    }

    bool inverse;
    uint32_t textCount;
    {
        COpcLockGuard guard(m_lock);
        inverse = m_config.inverseOn;
        textCount = m_config.loadedCount;
    }
    DeviceBuffer buffer;
    if (m_config.typeCode == kOpcTypeString)
        return WriteText(*raw, textCount, buffer);
    uint32_t count = 1;
    HRESULT hr = m_config.isArray ? PackArray(*raw, inverse, buffer, count) : PackScalar(*raw, inverse, buffer);
    return FAILED(hr) ? hr : SendToDevice(buffer, static_cast<short>(count));
}

HRESULT COpcDaDeviceItem::WriteText(const VARIANT& raw, uint32_t textCount, DeviceBuffer& buffer)
{
    if (textCount == 0)
        return OPC_E_RANGE;
    const wchar_t* text = raw.bstrVal != nullptr ? raw.bstrVal : L"";
    UINT length = SysStringLen(raw.bstrVal);
    if (length > textCount)
        length = textCount;
    memset(buffer.text, 0, 2 * textCount + 1);
    if (length == 0)
    {
        // An empty text is one zero byte.
        return m_api.WriteDeviceStrDM(m_config.devicePath, m_config.accessPath, buffer.text, 1);
    }
    if (WideCharToMultiByte(CP_ACP, 0, text, static_cast<int>(length), buffer.text, static_cast<int>(2 * textCount),
                            nullptr, nullptr) <= 0)
        return OPC_E_BADTYPE;
    return m_api.WriteDeviceStrDM(m_config.devicePath, m_config.accessPath, buffer.text, static_cast<short>(textCount));
}

HRESULT COpcDaDeviceItem::PackArray(const VARIANT& raw, bool inverse, DeviceBuffer& buffer, uint32_t& count)
{
    SAFEARRAY* array = raw.parray;
    if (array == nullptr || SafeArrayGetDim(array) != 1)
        return OPC_E_BADTYPE;
    count = array->rgsabound[0].cElements;
    // The tag's area holds DataCount elements; more would run into the next one.
    if (count == 0 || count > m_config.loadedCount)
        return OPC_E_RANGE;
    COpcSafeArrayAccess access(array);
    if (FAILED(access.Result()))
        return access.Result();
    const void* data = access.Data();
    switch (m_config.rawType)
    {
    case VT_BOOL:
    {
        auto* flags = static_cast<const VARIANT_BOOL*>(data);
        for (uint32_t i = 0; i < count; ++i)
            buffer.longs[i] = ((flags[i] != VARIANT_FALSE) != inverse) ? 1 : 0;
        return S_OK;
    }
    case VT_I2:
    case VT_UI2: memcpy(buffer.shorts, data, count * sizeof(short)); return S_OK;
    case VT_I4:
    case VT_UI4:
    case VT_R4: memcpy(buffer.longs, data, count * 4); return S_OK;
    case VT_R8: memcpy(buffer.doubles, data, count * sizeof(double)); return S_OK;
    default: return OPC_E_BADTYPE;
    }
}

HRESULT COpcDaDeviceItem::PackScalar(const VARIANT& raw, bool inverse, DeviceBuffer& buffer) const
{
    switch (m_config.rawType)
    {
    case VT_BOOL: buffer.longs[0] = ((raw.boolVal != VARIANT_FALSE) != inverse) ? 1 : 0; return S_OK;
    case VT_I2: buffer.shorts[0] = raw.iVal; return S_OK;
    case VT_UI2: buffer.ushorts[0] = raw.uiVal; return S_OK;
    case VT_I4: buffer.longs[0] = raw.lVal; return S_OK;
    case VT_UI4: buffer.ulongs[0] = raw.ulVal; return S_OK;
    case VT_R4: buffer.floats[0] = raw.fltVal; return S_OK;
    case VT_R8: buffer.doubles[0] = raw.dblVal; return S_OK;
    default: return OPC_E_BADTYPE;
    }
}

HRESULT COpcDaDeviceItem::SendToDevice(const DeviceBuffer& buffer, short n)
{
    switch (m_config.typeCode)
    {
    case kOpcTypeBit:
        // Also when the rights were widened through their property since load.
        if (n > IOpcDeviceAccess::MaxBitWrite)
            return OPC_E_BADRIGHTS;
        return m_api.WriteDeviceBitDM(m_config.devicePath, m_config.accessPath, buffer.longs, n);
    case kOpcTypeInt16: return m_api.WriteDevice16DM(m_config.devicePath, m_config.accessPath, buffer.shorts, n);
    case kOpcTypeUInt16:
    case kOpcTypeHex16: return m_api.WriteDeviceU16DM(m_config.devicePath, m_config.accessPath, buffer.ushorts, n);
    case kOpcTypeBcd16: return m_api.WriteDeviceBCD16DM(m_config.devicePath, m_config.accessPath, buffer.shorts, n);
    case kOpcTypeInt32: return m_api.WriteDevice32DM(m_config.devicePath, m_config.accessPath, buffer.longs, n);
    case kOpcTypeUInt32:
    case kOpcTypeHex32: return m_api.WriteDeviceU32DM(m_config.devicePath, m_config.accessPath, buffer.ulongs, n);
    case kOpcTypeBcd32: return m_api.WriteDeviceBCD32DM(m_config.devicePath, m_config.accessPath, buffer.longs, n);
    case kOpcTypeFloat: return m_api.WriteDeviceFloatDM(m_config.devicePath, m_config.accessPath, buffer.floats, n);
    case kOpcTypeDouble: return m_api.WriteDeviceDoubleDM(m_config.devicePath, m_config.accessPath, buffer.doubles, n);
    default: return OPC_E_BADTYPE;
    }
}

HRESULT COpcDaDeviceItem::WriteProperty(DWORD propertyId, const VARIANT& value)
{
    HRESULT hr = CheckAccess(propertyId, AccessWrite);
    if (FAILED(hr))
        return hr;
    COpcLockGuard guard(m_lock);
    if (ExtraProperty* extra = FindExtra(propertyId))
        return CopyValue(extra->value.Get(), &value);
    const VARTYPE type = OpcDaPropertyType(propertyId);
    if (type != VT_VARIANT && value.vt != type)
        return OPC_E_BADTYPE;

    auto text = [&value]() { return COpcString(value.bstrVal, SysStringLen(value.bstrVal)); };
    switch (propertyId)
    {
    case OPC_DA_PROP_CDT: m_config.canonicalType = static_cast<VARTYPE>(value.iVal); return S_OK;
    case OPC_DA_PROP_QUALITY:
        m_live.quality = static_cast<WORD>(value.iVal);
        m_live.checkQuality = false;
        return S_OK;
    case OPC_DA_PROP_TIME:
    {
        uint64_t ticks = 0;
        if (!DateToFileTime(value.date, ticks))
            return OPC_E_RANGE;
        m_live.timeStamp.dwLowDateTime = static_cast<DWORD>(ticks);
        m_live.timeStamp.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
        return S_OK;
    }
    case OPC_DA_PROP_RIGHTS: m_config.accessRights = static_cast<DWORD>(value.lVal); return S_OK;
    case OPC_DA_PROP_SCANRATE: m_config.scanRate = value.fltVal; return S_OK;
    case OPC_DA_PROP_EUTYPE: m_config.euType = static_cast<DWORD>(value.lVal); return S_OK;
    case OPC_DA_PROP_EUINFO: return CopyValue(m_config.euInfo.Get(), &value);
    case OPC_DA_PROP_UNIT: m_config.engineeringUnit = text(); return S_OK;
    case OPC_DA_PROP_DESC: m_config.description = text(); return S_OK;
    case OPC_DA_PROP_HIEU: m_config.conditioning.highEU = value.dblVal; return S_OK;
    case OPC_DA_PROP_LOEU: m_config.conditioning.lowEU = value.dblVal; return S_OK;
    case OPC_DA_PROP_HIRANGE: m_config.conditioning.highIR = value.dblVal; return S_OK;
    case OPC_DA_PROP_LORANGE: m_config.conditioning.lowIR = value.dblVal; return S_OK;
    case OPC_DA_PROP_CLOSE: m_config.closeLabel = text(); return S_OK;
    case OPC_DA_PROP_OPEN: m_config.openLabel = text(); return S_OK;
    case OPC_DA_PROP_DEADBAND: m_config.deadBand = value.dblVal; return S_OK;
    case OPC_DA_PROP_NODE_NAME: m_config.nodeName = text(); return S_OK;
    case OPC_DA_PROP_TAG_NAME:
        m_config.name = text();
        m_config.nameInId = 0;
        return S_OK;
    case OPC_DA_PROP_SHEET_NAME: m_config.sheetName = text(); return S_OK;
    case OPC_DA_PROP_SYMBOL_NAME: m_config.symbolName = text(); return S_OK;
    case OPC_DA_PROP_DEVICE_ADDRESS: m_config.deviceAddress = text(); return S_OK;
    case OPC_DA_PROP_DATA_TYPE: m_config.dataType = text(); return S_OK;
    case OPC_DA_PROP_DATA_COUNT: m_config.dataCount = value.lVal; return S_OK;
    case OPC_DA_PROP_DECIMAL_POINT:
        if (value.lVal < 0 || value.lVal > kMaxDecimalPoint)
            return OPC_E_RANGE;
        m_config.conditioning.decimalPoint = value.lVal;
        return S_OK;
    case OPC_DA_PROP_INVERSE:
    {
        // The text drives the inversion, so only the two known words are taken.
        COpcString word = text();
        if (!word.Equals(L"On") && !word.Equals(L"Off"))
            return OPC_E_RANGE;
        m_config.inverse = word;
        m_config.inverseOn = word.Equals(L"On");
        return S_OK;
    }
    case OPC_DA_PROP_SIGNAL_CONDITION:
    {
        COpcString name = text();
        uint32_t condition = 0;
        if (!OpcConditionByName(name.TextOrEmpty(), condition) || !OpcConditionAllowed(m_config.typeCode, condition))
            return OPC_E_RANGE;
        m_config.signalCondition = name;
        m_config.conditioning.condition = condition;
        return S_OK;
    }
    case OPC_DA_PROP_NULL_TERMINATION: m_config.nullTermination = value.boolVal != VARIANT_FALSE; return S_OK;
    case OPC_DA_PROP_SIMULATION:
    {
        COpcString name = text();
        const uint32_t mode = OpcSimulationModeByName(name.TextOrEmpty());
        if (mode == 0)
            return OPC_E_RANGE;
        if (mode == kOpcSimCsv && m_config.simMode != kOpcSimCsv)
            m_config.csvColumn = m_settings.NextCsvColumn();
        m_config.simulation = name;
        m_config.simMode = mode;
        return S_OK;
    }
    default: return OPC_E_INVALID_PID;
    }
}
