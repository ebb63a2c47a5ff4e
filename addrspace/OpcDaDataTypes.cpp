#include "OpcDaDataTypes.h"

#include <cfloat>
#include <cwchar>

namespace
{
const SOpcDataType kDataTypes[kOpcDataTypeCount] = {
    // name                code            canonical element                 bytes range check  num    signed 16     32
    {L"Bit", kOpcTypeBit, VT_BOOL, EOpcElementKind::Bit32, 4, VT_EMPTY, false, false, false, false},
    {L"16Bit(Signed)", kOpcTypeInt16, VT_I2, EOpcElementKind::Int16, 2, VT_I2, true, true, true, false},
    {L"16Bit(UnSigned)", kOpcTypeUInt16, VT_UI2, EOpcElementKind::UInt16, 2, VT_UI2, true, false, true, false},
    {L"16Bit(HEX)", kOpcTypeHex16, VT_UI2, EOpcElementKind::UInt16, 2, VT_UI2, true, false, true, false},
    {L"16Bit(BCD)", kOpcTypeBcd16, VT_UI2, EOpcElementKind::UInt16, 2, VT_UI2, true, false, true, false},
    {L"32Bit(Signed)", kOpcTypeInt32, VT_I4, EOpcElementKind::Int32, 4, VT_I4, true, true, false, true},
    {L"32Bit(UnSigned)", kOpcTypeUInt32, VT_UI4, EOpcElementKind::UInt32, 4, VT_UI4, true, false, false, true},
    {L"32Bit(HEX)", kOpcTypeHex32, VT_UI4, EOpcElementKind::UInt32, 4, VT_UI4, true, false, false, true},
    {L"32Bit(BCD)", kOpcTypeBcd32, VT_UI4, EOpcElementKind::UInt32, 4, VT_UI4, true, false, false, true},
    {L"Float", kOpcTypeFloat, VT_R4, EOpcElementKind::Single, 4, VT_R4, true, true, false, false},
    {L"Double", kOpcTypeDouble, VT_R8, EOpcElementKind::Double, 8, VT_EMPTY, true, true, false, false},
    {L"String", kOpcTypeString, VT_BSTR, EOpcElementKind::Narrow, 1, VT_EMPTY, false, false, false, false},
};

const wchar_t* const kTagKindNames[] = {L"AnalogTag", L"DigitalTag", L"StringTag"};

const wchar_t* const kConditionNames[kOpcConditionCount] = {
    L"None",   L"8Bit Binary", L"12Bit Binary", L"13Bit Binary", L"15Bit Binary",
    L"Linear", L"SQRT",        L"3BCD",         L"4BCD",         L"BCD",
};

const wchar_t* const kSimulationNames[] = {L"None", L"Increment", L"Random", L"SIN", L"COS", L"CSV"};

const wchar_t* const kAnalogGroup = L"Analog Tag Type";
const wchar_t* const kDigitalGroup = L"Digital Tag Type";
const wchar_t* const kStringGroup = L"String Tag Type";

bool SameText(const wchar_t* name, const wchar_t* entry)
{
    return wcscmp(name != nullptr ? name : L"", entry) == 0;
}

// Allowed conditions per data type as a bit set over the codes.
uint32_t AllowedConditions(uint32_t typeCode)
{
    switch (typeCode)
    {
    case kOpcTypeInt16:
    case kOpcTypeUInt16:
    case kOpcTypeHex16: return 0x1FF; // 0 to 8
    case kOpcTypeBcd16:
    case kOpcTypeBcd32: return 1u << kOpcConditionNone;
    case kOpcTypeInt32:
    case kOpcTypeUInt32:
    case kOpcTypeHex32:
        return (1u << kOpcConditionNone) | (1u << kOpcConditionLinear) | (1u << kOpcConditionSqrt) |
               (1u << kOpcConditionBcd);
    case kOpcTypeFloat:
    case kOpcTypeDouble: return (1u << kOpcConditionNone) | (1u << kOpcConditionLinear) | (1u << kOpcConditionSqrt);
    default: return 0;
    }
}
} // namespace

const SOpcDataType* OpcDataTypeByName(const wchar_t* name)
{
    for (const SOpcDataType& type : kDataTypes)
    {
        if (SameText(name, type.name))
            return &type;
    }
    return nullptr;
}

const SOpcDataType* OpcDataTypeByCode(uint32_t code)
{
    if (code < 1 || code > kOpcDataTypeCount)
        return nullptr;
    return &kDataTypes[code - 1];
}

VARTYPE OpcCanonicalType(uint32_t code, uint32_t dataCount)
{
    const SOpcDataType* type = OpcDataTypeByCode(code);
    if (type == nullptr)
        return VT_EMPTY;
    if (dataCount > 1 && code != kOpcTypeString)
        return static_cast<VARTYPE>(VT_ARRAY | type->canonicalType);
    return type->canonicalType;
}

uint32_t OpcTagKindByName(const wchar_t* elementName)
{
    for (uint32_t i = 0; i < 3; ++i)
    {
        if (SameText(elementName, kTagKindNames[i]))
            return i + 1;
    }
    return 0;
}

const wchar_t* OpcTagKindName(uint32_t kind)
{
    return (kind >= kOpcTagAnalog && kind <= kOpcTagString) ? kTagKindNames[kind - 1] : nullptr;
}

bool OpcTagKindAccepts(uint32_t kind, uint32_t typeCode)
{
    const SOpcDataType* type = OpcDataTypeByCode(typeCode);
    if (type == nullptr)
        return false;
    switch (kind)
    {
    case kOpcTagAnalog: return type->isNumeric;
    case kOpcTagDigital: return typeCode == kOpcTypeBit;
    case kOpcTagString: return typeCode == kOpcTypeString;
    default: return false;
    }
}

bool OpcConditionByName(const wchar_t* name, uint32_t& code)
{
    for (uint32_t i = 0; i < kOpcConditionCount; ++i)
    {
        if (SameText(name, kConditionNames[i]))
        {
            code = i;
            return true;
        }
    }
    return false;
}

const wchar_t* OpcConditionName(uint32_t code)
{
    return code < kOpcConditionCount ? kConditionNames[code] : nullptr;
}

bool OpcConditionAllowed(uint32_t typeCode, uint32_t condition)
{
    return condition < kOpcConditionCount && (AllowedConditions(typeCode) & (1u << condition)) != 0;
}

bool OpcInstrumentRangeLimits(uint32_t typeCode, uint32_t condition, double& upper, double& lower)
{
    if (!OpcConditionAllowed(typeCode, condition))
        return false;
    // BCD fields hold non-negative decimal numbers of their digit count.
    if (condition == kOpcCondition3Bcd)
    {
        upper = 999;
        lower = 0;
        return true;
    }
    if (condition == kOpcCondition4Bcd || typeCode == kOpcTypeBcd16)
    {
        upper = 9999;
        lower = 0;
        return true;
    }
    if (condition == kOpcConditionBcd || typeCode == kOpcTypeBcd32)
    {
        upper = 99999999;
        lower = 0;
        return true;
    }
    if (OpcIsBinaryCondition(condition))
    {
        // The field below the sign bit (signed) or the whole field (unsigned).
        static const int bits[] = {0, 8, 12, 13, 15};
        const double field = static_cast<double>(1u << bits[condition]);
        if (typeCode == kOpcTypeInt16)
        {
            upper = field / 2 - 1;
            lower = -field / 2;
        }
        else
        {
            upper = field - 1;
            lower = 0;
        }
        return true;
    }
    switch (typeCode)
    {
    case kOpcTypeInt16:
        upper = 32767;
        lower = -32768;
        return true;
    case kOpcTypeUInt16:
    case kOpcTypeHex16:
        upper = 65535;
        lower = 0;
        return true;
    case kOpcTypeInt32:
        upper = 2147483647.0;
        lower = -2147483648.0;
        return true;
    case kOpcTypeUInt32:
    case kOpcTypeHex32:
        upper = 4294967295.0;
        lower = 0;
        return true;
    case kOpcTypeFloat:
        upper = FLT_MAX;
        lower = -FLT_MAX;
        return true;
    case kOpcTypeDouble:
        upper = DBL_MAX;
        lower = -DBL_MAX;
        return true;
    default: return false;
    }
}

bool OpcInstrumentRangeValid(uint32_t typeCode, uint32_t condition, double high, double low)
{
    double upper = 0;
    double lower = 0;
    if (!OpcInstrumentRangeLimits(typeCode, condition, upper, lower))
        return false;
    return high <= upper && low >= lower;
}

const wchar_t* OpcBrowseGroupName(uint32_t typeCode)
{
    const SOpcDataType* type = OpcDataTypeByCode(typeCode);
    if (type == nullptr)
        return nullptr;
    if (type->isNumeric)
        return kAnalogGroup;
    return typeCode == kOpcTypeBit ? kDigitalGroup : kStringGroup;
}

bool OpcVendorFilterAccepts(const wchar_t* filter, const wchar_t* dataTypeName)
{
    if (filter == nullptr)
        return false;
    const SOpcDataType* type = OpcDataTypeByName(dataTypeName);
    if (type == nullptr)
        return false;
    // The group names are plain ASCII, so the C library's case folding suffices.
    return _wcsicmp(filter, OpcBrowseGroupName(type->code)) == 0;
}

uint32_t OpcSimulationModeByName(const wchar_t* name)
{
    for (uint32_t i = 0; i < 6; ++i)
    {
        if (SameText(name, kSimulationNames[i]))
            return i + 1;
    }
    return 0;
}

const wchar_t* OpcSimulationModeName(uint32_t mode)
{
    return (mode >= kOpcSimNone && mode <= kOpcSimCsv) ? kSimulationNames[mode - 1] : nullptr;
}
