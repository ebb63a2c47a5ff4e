// The fixed vocabularies of the tag configuration: data types, tag kinds,
// signal conditions with the instrument-range limits they allow, the browse
// groups of the vendor filter, and the simulation modes.
//
// Every lookup by name matches exactly (case and spelling as written in the
// tag configuration); a null name counts as the empty text. The tables are
// constant, so every function here may be called from any thread.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

// --- data types ---------------------------------------------------------------

// Data-type codes: stored in each item and handed to the device-access library.
constexpr uint32_t kOpcTypeBit = 1;
constexpr uint32_t kOpcTypeInt16 = 2;  // "16Bit(Signed)"
constexpr uint32_t kOpcTypeUInt16 = 3; // "16Bit(UnSigned)"
constexpr uint32_t kOpcTypeHex16 = 4;  // "16Bit(HEX)"
constexpr uint32_t kOpcTypeBcd16 = 5;  // "16Bit(BCD)"
constexpr uint32_t kOpcTypeInt32 = 6;  // "32Bit(Signed)"
constexpr uint32_t kOpcTypeUInt32 = 7; // "32Bit(UnSigned)"
constexpr uint32_t kOpcTypeHex32 = 8;  // "32Bit(HEX)"
constexpr uint32_t kOpcTypeBcd32 = 9;  // "32Bit(BCD)"
constexpr uint32_t kOpcTypeFloat = 10;
constexpr uint32_t kOpcTypeDouble = 11;
constexpr uint32_t kOpcTypeString = 12;
constexpr uint32_t kOpcDataTypeCount = 12;

// The element of the buffer that the library's typed read and write operations
// deliver or take for a data type.
enum class EOpcElementKind : uint8_t
{
    Bit32, // 32-bit word, non-zero is on
    Int16,
    UInt16,
    Int32,
    UInt32,
    Single,
    Double,
    Narrow, // narrow characters in the ANSI code page
};

struct SOpcDataType
{
    const wchar_t* name;
    uint32_t code;
    // Type of a single value; see OpcCanonicalType for arrays.
    VARTYPE canonicalType;
    EOpcElementKind element;
    // Bytes of one library buffer element.
    uint32_t elementBytes;
    // The type HighInstrumentRange and LowInstrumentRange must convert to at
    // load; VT_EMPTY when the type has no such check ("Double") or no
    // instrument range at all ("Bit", "String").
    VARTYPE rangeCheckType;
    bool isNumeric; // every type but "Bit" and "String"
    bool isSigned;  // "16Bit(Signed)", "32Bit(Signed)", "Float", "Double"
    bool is16Bit;   // codes 2 to 5
    bool is32Bit;   // codes 6 to 9
};

// Null for a name or code that is not one of the twelve.
const SOpcDataType* OpcDataTypeByName(const wchar_t* name);
const SOpcDataType* OpcDataTypeByCode(uint32_t code);

// The canonical type of an item: VT_ARRAY combined with the single type when
// dataCount is above 1, except for "String", whose count is a text length.
// VT_EMPTY for an unknown code.
VARTYPE OpcCanonicalType(uint32_t code, uint32_t dataCount);

// --- tag kinds ---------------------------------------------------------------

constexpr uint32_t kOpcTagAnalog = 1;  // "AnalogTag"
constexpr uint32_t kOpcTagDigital = 2; // "DigitalTag"
constexpr uint32_t kOpcTagString = 3;  // "StringTag"

// 0 for an element name that is not a tag.
uint32_t OpcTagKindByName(const wchar_t* elementName);
// Null for an unknown kind.
const wchar_t* OpcTagKindName(uint32_t kind);
// Analog tags take the numeric types, digital tags "Bit", string tags "String".
bool OpcTagKindAccepts(uint32_t kind, uint32_t typeCode);

// --- signal conditions -------------------------------------------------------

constexpr uint32_t kOpcConditionNone = 0;
constexpr uint32_t kOpcCondition8Bit = 1;  // "8Bit Binary"
constexpr uint32_t kOpcCondition12Bit = 2; // "12Bit Binary"
constexpr uint32_t kOpcCondition13Bit = 3; // "13Bit Binary"
constexpr uint32_t kOpcCondition15Bit = 4; // "15Bit Binary"
constexpr uint32_t kOpcConditionLinear = 5;
constexpr uint32_t kOpcConditionSqrt = 6; // "SQRT"
constexpr uint32_t kOpcCondition3Bcd = 7; // "3BCD"
constexpr uint32_t kOpcCondition4Bcd = 8; // "4BCD"
constexpr uint32_t kOpcConditionBcd = 9;  // "BCD", 8 digits
constexpr uint32_t kOpcConditionCount = 10;

// False for an unknown name (code is then left alone).
bool OpcConditionByName(const wchar_t* name, uint32_t& code);
// Null for an unknown code.
const wchar_t* OpcConditionName(uint32_t code);
// Whether a tag of this data type may use the condition.
bool OpcConditionAllowed(uint32_t typeCode, uint32_t condition);
// Codes 1 to 4.
inline bool OpcIsBinaryCondition(uint32_t condition)
{
    return condition >= kOpcCondition8Bit && condition <= kOpcCondition15Bit;
}
// Codes 7 to 9.
inline bool OpcIsBcdCondition(uint32_t condition)
{
    return condition >= kOpcCondition3Bcd && condition <= kOpcConditionBcd;
}

// --- instrument range ----------------------------------------------------------

// The largest HighInstrumentRange and the smallest LowInstrumentRange a data
// type allows with a condition. False when the combination is not allowed.
bool OpcInstrumentRangeLimits(uint32_t typeCode, uint32_t condition, double& upper, double& lower);
// The load-time check: high not above the upper limit, low not below the
// lower one. False for a combination without limits and for a NaN bound.
bool OpcInstrumentRangeValid(uint32_t typeCode, uint32_t condition, double high, double low);

// --- browse groups of the vendor filter ----------------------------------------

// "Analog Tag Type", "Digital Tag Type" or "String Tag Type"; null for an unknown code.
const wchar_t* OpcBrowseGroupName(uint32_t typeCode);
// Whether a leaf whose DataType property is dataTypeName passes the vendor
// filter: the group name is compared without regard to case, the data-type
// name exactly. Any other filter text lets nothing pass.
bool OpcVendorFilterAccepts(const wchar_t* filter, const wchar_t* dataTypeName);

// --- simulation modes ----------------------------------------------------------

constexpr uint32_t kOpcSimNone = 1;
constexpr uint32_t kOpcSimIncrement = 2;
constexpr uint32_t kOpcSimRandom = 3;
constexpr uint32_t kOpcSimSin = 4; // "SIN"
constexpr uint32_t kOpcSimCos = 5; // "COS"
constexpr uint32_t kOpcSimCsv = 6; // "CSV"

// 0 for an unknown name.
uint32_t OpcSimulationModeByName(const wchar_t* name);
// Null for an unknown mode number.
const wchar_t* OpcSimulationModeName(uint32_t mode);
