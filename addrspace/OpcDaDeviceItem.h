// One tag of the tag configuration: its attributes as loaded, and its
// current value, quality and time stamp, refreshed from the device-access
// library (or the simulation) and read and written with the tag's signal
// conditioning applied. The same object answers every property of the tag.
//
// Every item has its own lock. It is never held across a library call: a
// refresh reads into a buffer of its own and takes the lock only to store the
// result, so a slow device never blocks readers of the item.
#pragma once

#include "OpcConditioning.h"
#include "OpcContainers.h"
#include "OpcDaProperties.h"
#include "OpcGrowArray.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <memory>

class COpcDaSettings;
class IOpcDeviceAccess;
class COpcTagElement;
struct SOpcDataType;

// Shares the texts that many tags repeat (data types, units, labels, mode
// names) while a configuration is loaded, so each is stored once.
class COpcDaTextPool
{
public:
    COpcDaTextPool() = default;
    COpcDaTextPool(const COpcDaTextPool&) = delete;
    COpcDaTextPool& operator=(const COpcDaTextPool&) = delete;

    // A string equal to text, shared with earlier calls for short texts.
    COpcString Get(const wchar_t* text);
    void Clear();

private:
    // A slot with an empty text is free: empty texts are never pooled.
    struct Slot
    {
        uint32_t hash = 0;
        COpcString text;
    };
    // Into the first free slot from the hash on; the table has one.
    static void Place(COpcArray<Slot>& slots, Slot&& slot);

    COpcArray<Slot> m_slots;
    size_t m_count = 0;
};

// What the tag's configuration says: its place, its attributes as loaded
// (some changed through their properties since) and what refreshes and
// device writes work with. Guarded by the item's lock, except what is fixed
// at load.
struct SOpcDaTagConfig
{
    // Where the tag lives.
    COpcString itemId;
    COpcString nodeName;
    COpcString sheetName;
    COpcString devicePath;
    COpcString accessPath;

    // Attributes as the properties report them.
    COpcString name;
    COpcString symbolName;
    COpcString deviceAddress;
    COpcString dataType;
    COpcString description;
    COpcString engineeringUnit;
    COpcString closeLabel;
    COpcString openLabel;
    COpcString inverse;
    COpcString signalCondition;
    COpcString simulation;
    double deadBand = 0;
    int32_t dataCount = 0;
    // When not 0, the name is the last this many characters of the item ID.
    UINT nameInId = 0;
    bool nullTermination = true;

    // Changed only through their properties after load. (The order of the
    // small members keeps the record free of padding: one per tag.)
    bool readOnly = false;
    VARTYPE canonicalType = VT_EMPTY;
    DWORD accessRights = 0;
    float scanRate = 0;
    DWORD euType = 0;
    uint32_t tagKind = 0;
    uint32_t typeCode = 0;
    COpcVariant euInfo;
    SOpcConditioning conditioning;

    // Fixed at load; what refreshes and device writes work with.
    VARTYPE rawType = VT_EMPTY;
    bool isArray = false;
    bool inverseOn = false;
    uint32_t loadedCount = 0;
    uint32_t scanPeriod = 0;
    uint32_t simMode = 0;
    uint32_t csvColumn = 0;
};

// The tag's current value, as the last refresh, simulation step or write left it.
struct SOpcDaLiveValue
{
    COpcVariant value;
    WORD quality = 0;
    FILETIME timeStamp = {};
    bool everGood = false;
    // The quality came from a read's range check, not from a refresh or a client.
    bool checkQuality = false;
};

class COpcDaDeviceItem
{
public:
    // Access modes of CheckAccess.
    enum : DWORD
    {
        AccessRead = 1,
        AccessWrite = 2,
        AccessList = 3
    };

    COpcDaDeviceItem(COpcDaSettings& settings, IOpcDeviceAccess& api);
    ~COpcDaDeviceItem();
    COpcDaDeviceItem(const COpcDaDeviceItem&) = delete;
    COpcDaDeviceItem& operator=(const COpcDaDeviceItem&) = delete;

    // --- loading ----------------------------------------------------------------

    // Reads and checks the tag's attributes (tagKind: kOpcTagAnalog,
    // kOpcTagDigital or kOpcTagString). The first failure writes one
    // error-log record naming the attribute and returns false.
    bool ReadConfiguration(const COpcTagElement& element, uint32_t tagKind, const COpcString& itemId,
                           COpcDaTextPool* pool = nullptr);
    // Where the tag lives: node and sheet names, the device path and the
    // address handed to the library.
    void SetLocation(const COpcString& nodeName, const COpcString& sheetName, const COpcString& devicePath,
                     const COpcString& accessPath);
    // Refuses client writes of the value (internal writes still pass).
    void SetReadOnly(bool readOnly);
    // Adds or replaces a property beyond the fixed ones.
    HRESULT SetExtraProperty(DWORD propertyId, const VARIANT& value);

    const COpcString& ItemId() const noexcept { return m_config.itemId; }
    COpcString Name() const;
    const COpcString& DevicePath() const noexcept { return m_config.devicePath; }
    const COpcString& AccessPath() const noexcept { return m_config.accessPath; }
    const COpcString& DeviceAddress() const noexcept { return m_config.deviceAddress; }
    const COpcString& SymbolName() const noexcept { return m_config.symbolName; }
    uint32_t TagKind() const noexcept { return m_config.tagKind; }
    uint32_t TypeCode() const noexcept { return m_config.typeCode; }
    uint32_t DataCount() const noexcept { return m_config.loadedCount; }
    // Milliseconds; 0 for a write-only tag.
    uint32_t ScanPeriod() const noexcept { return m_config.scanPeriod; }
    uint32_t SimulationMode() const noexcept { return m_config.simMode; }
    uint32_t CsvColumn() const noexcept { return m_config.csvColumn; }

    // --- values ------------------------------------------------------------------

    // Refreshes the value from the device or the simulation (cycle is the
    // thread's pass counter, periodMs its period). Write-only tags are skipped.
    void Poll(DWORD cycleLow, DWORD cycleHigh, DWORD periodMs);

    // selector OPC_DA_READ_DEVICE refreshes first, OPC_DA_READ_CACHE reads the
    // value as kept; any other selector reads that property. Analog values
    // come conditioned and scaled, their range checks showing in the quality.
    // value must be initialised; timeStamp and quality may be null.
    HRESULT ReadItem(DWORD selector, VARIANT* value, FILETIME* timeStamp, WORD* quality);
    // Selector 0 or 2 writes the value (EU to raw, then to the device or,
    // simulated, into the item); another selector sets that property. On
    // success a given time stamp and quality become the item's. limitQuality
    // (optional) receives the quality of a failed range check.
    HRESULT WriteItem(DWORD selector, const VARIANT& value, const FILETIME* timeStamp, const WORD* quality,
                      WORD* limitQuality = nullptr, bool internalWrite = false);
    // S_OK, OPC_E_BADRIGHTS or OPC_E_INVALID_PID; mode AccessRead, AccessWrite or AccessList.
    HRESULT CheckAccess(DWORD propertyId, DWORD mode) const;

    // Every property in the fixed order, values with withValues.
    HRESULT GetProperties(bool withValues, COpcDaPropertyList& properties);
    // One property's value; with a null value only whether it is available.
    HRESULT GetPropertyValue(DWORD propertyId, VARIANT* value);

    // The raw value as refreshed, without conditioning (for tests and tools).
    HRESULT GetRawValue(VARIANT* value, WORD* quality = nullptr, FILETIME* timeStamp = nullptr);

private:
    struct ExtraProperty
    {
        DWORD id = 0;
        COpcVariant value;
    };

    // Each reader names the attribute it reads in property, so the first
    // refusal can say which one it was.
    bool ReadAttributes(const COpcTagElement& element, const wchar_t*& property, COpcDaTextPool* pool);
    bool ReadCommonAttributes(const COpcTagElement& element, const wchar_t*& property, COpcDaTextPool& texts,
                              const SOpcDataType*& type);
    bool ReadAnalogAttributes(const COpcTagElement& element, const wchar_t*& property, COpcDaTextPool& texts,
                              const SOpcDataType& type);
    bool ReadDigitalAttributes(const COpcTagElement& element, const wchar_t*& property, COpcDaTextPool& texts);
    bool ReadStringAttributes(const COpcTagElement& element, const wchar_t*& property);
    bool SetUpValue();
    void PollSimulated(uint64_t cycle, DWORD periodMs);
    // A device refresh: the library call into a buffer of the refresh's own,
    // then, under the item lock, the buffer stored in the value.
    union DeviceBuffer;
    void PollDevice();
    HRESULT ReadFromDevice(DeviceBuffer& buffer, short n);
    static int WidenText(DeviceBuffer& buffer, uint32_t count, bool terminate, wchar_t* wide);
    bool StoreTextLocked(const wchar_t* wide, int wideLength);
    bool StoreArrayLocked(const DeviceBuffer& buffer, uint32_t count);
    bool StoreScalarLocked(const DeviceBuffer& buffer);
    HRESULT ReadValue(bool refresh, VARIANT* value, FILETIME* timeStamp, WORD* quality);
    HRESULT WriteValue(const VARIANT& value, const FILETIME* timeStamp, const WORD* quality, WORD* limitQuality,
                       bool internalWrite);
    // A device write: the value packed into a buffer, then one library call.
    HRESULT WriteDevice(const VARIANT& raw);
    HRESULT WriteText(const VARIANT& raw, uint32_t textCount, DeviceBuffer& buffer);
    HRESULT PackArray(const VARIANT& raw, bool inverse, DeviceBuffer& buffer, uint32_t& count);
    HRESULT PackScalar(const VARIANT& raw, bool inverse, DeviceBuffer& buffer) const;
    HRESULT SendToDevice(const DeviceBuffer& buffer, short n);
    HRESULT WriteProperty(DWORD propertyId, const VARIANT& value);
    HRESULT PropertyValue(DWORD propertyId, VARIANT* value);
    ExtraProperty* FindExtra(DWORD propertyId) const;
    bool IsAnalogValue() const noexcept;
    COpcString NameLocked() const;
    // The type the value is kept in: the data type's, as an array for arrays.
    VARTYPE StorageType() const noexcept
    {
        return static_cast<VARTYPE>(m_config.isArray ? (VT_ARRAY | m_config.rawType) : m_config.rawType);
    }

    COpcDaSettings& m_settings;
    IOpcDeviceAccess& m_api;
    mutable COpcLock m_lock;

    SOpcDaTagConfig m_config;
    SOpcDaLiveValue m_live;

    // Made on the first extra property: most items never get one.
    std::unique_ptr<COpcGrowArray<ExtraProperty>> m_extra;
};
