// The item properties the address space knows: their IDs, types and
// descriptions in English and Japanese, and the record in which the address
// space hands property results to the server objects.
#pragma once

#include "OpcString.h"

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>

// Property IDs the device items answer.
enum : DWORD
{
    OPC_DA_PROP_CDT = 1, // canonical data type
    OPC_DA_PROP_VALUE = 2,
    OPC_DA_PROP_QUALITY = 3,
    OPC_DA_PROP_TIME = 4,
    OPC_DA_PROP_RIGHTS = 5,
    OPC_DA_PROP_SCANRATE = 6,
    OPC_DA_PROP_EUTYPE = 7,
    OPC_DA_PROP_EUINFO = 8,
    OPC_DA_PROP_UNIT = 100,
    OPC_DA_PROP_DESC = 101,
    OPC_DA_PROP_HIEU = 102,
    OPC_DA_PROP_LOEU = 103,
    OPC_DA_PROP_HIRANGE = 104,
    OPC_DA_PROP_LORANGE = 105,
    OPC_DA_PROP_CLOSE = 106,
    OPC_DA_PROP_OPEN = 107,
    OPC_DA_PROP_DEADBAND = 306,
    OPC_DA_PROP_NODE_NAME = 5000,
    OPC_DA_PROP_TAG_NAME = 5001,
    OPC_DA_PROP_SHEET_NAME = 5002,
    OPC_DA_PROP_SYMBOL_NAME = 5003,
    OPC_DA_PROP_DEVICE_ADDRESS = 5004,
    OPC_DA_PROP_DATA_TYPE = 5005,
    OPC_DA_PROP_DATA_COUNT = 5006,
    OPC_DA_PROP_DECIMAL_POINT = 5007,
    OPC_DA_PROP_INVERSE = 5008,
    OPC_DA_PROP_SIGNAL_CONDITION = 5009,
    OPC_DA_PROP_NULL_TERMINATION = 5010,
    OPC_DA_PROP_SIMULATION = 5011
};

struct SOpcDaPropertyInfo
{
    DWORD id;
    VARTYPE type;
    const wchar_t* english;
    const wchar_t* japanese;
};

// The 53 entries, sorted by ID.
const SOpcDaPropertyInfo* OpcDaPropertyTable(size_t& count);
// Binary search; null for an ID not in the table.
const SOpcDaPropertyInfo* OpcDaFindProperty(DWORD id);
// VT_EMPTY for an ID not in the table.
VARTYPE OpcDaPropertyType(DWORD id);
// Null for an ID not in the table.
const wchar_t* OpcDaPropertyDescription(DWORD id, bool japanese);
// The description language of a property locale: 1041 is Japanese; 0 and
// LOCALE_SYSTEM_DEFAULT follow the system's default language; anything else is English.
bool OpcDaPropertyLocaleIsJapanese(LCID locale);

// One property of an item as the address space reports it. Owns its value.
class COpcDaProperty
{
public:
    COpcDaProperty() noexcept { VariantInit(&value); }
    ~COpcDaProperty() { VariantClear(&value); }
    COpcDaProperty(const COpcDaProperty&) = delete;
    COpcDaProperty& operator=(const COpcDaProperty&) = delete;
    COpcDaProperty(COpcDaProperty&& other) noexcept;
    COpcDaProperty& operator=(COpcDaProperty&& other) noexcept;

    DWORD id = 0;
    // "tag item ID:property ID"; the item ID of the property.
    COpcString itemId;
    COpcString description;
    VARTYPE type = VT_EMPTY;
    // Filled only when values were asked for.
    VARIANT value;
    HRESULT result = S_OK;
};

// A list of property records of known length.
class COpcDaPropertyList
{
public:
    COpcDaPropertyList() = default;
    ~COpcDaPropertyList() { SetCount(0); }
    COpcDaPropertyList(const COpcDaPropertyList&) = delete;
    COpcDaPropertyList& operator=(const COpcDaPropertyList&) = delete;

    // Replaces the contents with count fresh records; false when out of memory.
    bool SetCount(size_t count);
    size_t GetCount() const noexcept { return m_count; }
    COpcDaProperty& operator[](size_t index) const noexcept { return m_items[index]; }
    // True when one record failed.
    bool AnyFailed() const noexcept;

private:
    COpcDaProperty* m_items = nullptr;
    size_t m_count = 0;
};
