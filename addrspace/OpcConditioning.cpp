#include "OpcConditioning.h"

#include "OpcTaskMem.h"
#include "OpcVariant.h"

#include <cmath>
#include <cstring>

namespace
{
const double kPowersOfTen[8] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000};

// Sign extension and field masks of the n-bit conditions, by code 1 to 4.
const uint16_t kSignExtension[5] = {0, 0xFF80, 0xF800, 0xF000, 0xC000};
const uint16_t kSignedField[5] = {0, 0x007F, 0x07FF, 0x0FFF, 0x3FFF};
const uint16_t kUnsignedField[5] = {0, 0x00FF, 0x0FFF, 0x1FFF, 0x7FFF};

unsigned BcdDigits(uint32_t condition)
{
    return condition == kOpcCondition3Bcd ? 3 : condition == kOpcCondition4Bcd ? 4 : 8;
}

int32_t DecimalShift(const SOpcConditioning& config, const SOpcDataType& type)
{
    // "Float" and "Double" carry their own decimals.
    if (config.decimalPoint < 1 || config.decimalPoint > 7 || (!type.is16Bit && !type.is32Bit))
        return 0;
    return config.decimalPoint;
}

const VARIANT* Referenced(const VARIANT* value)
{
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal != nullptr)
        return value->pvarVal;
    return value;
}

bool IsArrayValue(const VARIANT& value)
{
    return (Referenced(&value)->vt & VT_ARRAY) != 0;
}

size_t ElementBytes(VARTYPE type)
{
    switch (type)
    {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8: return 8;
    default: return 0;
    }
}

// Limit bit of one number: low also for a number that compares neither way.
WORD LimitBit(double value, double high, double low)
{
    if (value < low)
        return kOpcLimitLow;
    if (value > high)
        return kOpcLimitHigh;
    if (value >= low && value <= high)
        return 0;
    return kOpcLimitLow;
}

// The HRESULT a failed conversion of a client value gives.
HRESULT ConversionFailure(HRESULT hr)
{
    if (hr == E_OUTOFMEMORY)
        return hr;
    return hr == DISP_E_OVERFLOW ? OPC_E_RANGE : OPC_E_BADTYPE;
}

// Read access to the elements of a numeric scalar or one-dimensional array.
class CNumbers
{
public:
    explicit CNumbers(const VARIANT& value)
        : m_value(Referenced(&value)),
          m_access((m_value->vt & (VT_ARRAY | VT_BYREF)) == VT_ARRAY ? m_value->parray : nullptr)
    {
        const VARTYPE type = static_cast<VARTYPE>(m_value->vt & VT_TYPEMASK);
        m_size = ElementBytes(type);
        if (m_size == 0 || (m_value->vt & VT_BYREF) != 0 || (m_value->vt & ~(VT_ARRAY | VT_TYPEMASK)) != 0)
            return;
        m_type = type;
        if ((m_value->vt & VT_ARRAY) == 0)
        {
            m_data = &m_value->bVal;
            m_count = 1;
            m_ok = true;
            return;
        }
        SAFEARRAY* array = m_value->parray;
        if (array == nullptr)
        {
            m_ok = true; // no elements
            return;
        }
        if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != m_size || FAILED(m_access.Result()))
            return;
        m_count = array->rgsabound[0].cElements;
        m_data = static_cast<const BYTE*>(m_access.Data());
        m_ok = m_count == 0 || m_data != nullptr;
    }
    CNumbers(const CNumbers&) = delete;
    CNumbers& operator=(const CNumbers&) = delete;

    bool Ok() const { return m_ok; }
    ULONG Count() const { return m_count; }
    VARTYPE Type() const { return m_type; }

    double Number(ULONG i) const
    {
        const BYTE* p = m_data + static_cast<size_t>(i) * m_size;
        switch (m_type)
        {
        case VT_I1: return *reinterpret_cast<const int8_t*>(p);
        case VT_UI1: return *p;
        case VT_I2: return Load<int16_t>(p);
        case VT_UI2: return Load<uint16_t>(p);
        case VT_I4:
        case VT_INT: return Load<int32_t>(p);
        case VT_UI4:
        case VT_UINT: return Load<uint32_t>(p);
        case VT_I8: return static_cast<double>(Load<int64_t>(p));
        case VT_UI8: return static_cast<double>(Load<uint64_t>(p));
        case VT_R4: return Load<float>(p);
        case VT_R8: return Load<double>(p);
        default: return 0;
        }
    }

    // The low 32 bits of an integer element as stored; 0 for reals.
    uint32_t Bits(ULONG i) const
    {
        const BYTE* p = m_data + static_cast<size_t>(i) * m_size;
        switch (m_size)
        {
        case 1: return *p;
        case 2: return Load<uint16_t>(p);
        default:
            if (m_type == VT_R4 || m_type == VT_R8)
                return 0;
            return Load<uint32_t>(p);
        }
    }

private:
    template <typename T>
    static T Load(const BYTE* p)
    {
        T value;
        memcpy(&value, p, sizeof(T));
        return value;
    }

    const VARIANT* m_value;
    COpcSafeArrayAccess m_access;
    const BYTE* m_data = nullptr;
    ULONG m_count = 0;
    size_t m_size = 0;
    VARTYPE m_type = VT_EMPTY;
    bool m_ok = false;
};

// Builds a scalar or an array of one numeric element type.
class CBuilder
{
public:
    CBuilder() { VariantInit(&m_scalar); }
    ~CBuilder()
    {
        if (m_locked)
            SafeArrayUnaccessData(m_array.Get());
    }
    CBuilder(const CBuilder&) = delete;
    CBuilder& operator=(const CBuilder&) = delete;

    HRESULT Create(VARTYPE type, bool array, ULONG count)
    {
        m_type = type;
        m_size = ElementBytes(type);
        m_isArray = array;
        if (!array)
        {
            m_scalar.vt = type;
            m_data = &m_scalar.bVal;
            return S_OK;
        }
        m_array.Reset(SafeArrayCreateVector(type, 0, count));
        if (m_array.Get() == nullptr)
            return E_OUTOFMEMORY;
        void* data = nullptr;
        HRESULT hr = SafeArrayAccessData(m_array.Get(), &data);
        if (FAILED(hr))
            return hr;
        m_locked = true;
        m_data = static_cast<BYTE*>(data);
        return S_OK;
    }

    void SetNumber(ULONG i, double value)
    {
        BYTE* p = m_data + static_cast<size_t>(i) * m_size;
        if (m_type == VT_R4)
        {
            const float single = static_cast<float>(value);
            memcpy(p, &single, sizeof(single));
        }
        else
        {
            memcpy(p, &value, sizeof(value));
        }
    }
    // The stored bytes of a scalar of this builder's type.
    void SetElement(ULONG i, const VARIANT& scalar)
    {
        memcpy(m_data + static_cast<size_t>(i) * m_size, &scalar.bVal, m_size);
    }
    void SetBits(ULONG i, uint32_t bits)
    {
        BYTE* p = m_data + static_cast<size_t>(i) * m_size;
        if (m_size == 2)
        {
            const uint16_t half = static_cast<uint16_t>(bits);
            memcpy(p, &half, sizeof(half));
        }
        else
        {
            memcpy(p, &bits, sizeof(bits));
        }
    }

    // Replaces the content of target with the built value.
    HRESULT MoveTo(VARIANT* target)
    {
        if (m_locked)
        {
            SafeArrayUnaccessData(m_array.Get());
            m_locked = false;
        }
        HRESULT hr = VariantClear(target);
        if (FAILED(hr))
            return hr;
        if (m_isArray)
        {
            target->vt = static_cast<VARTYPE>(VT_ARRAY | m_type);
            target->parray = m_array.Detach();
        }
        else
        {
            *target = m_scalar;
        }
        return S_OK;
    }

private:
    VARIANT m_scalar;
    COpcSafeArray m_array;
    BYTE* m_data = nullptr;
    size_t m_size = 0;
    VARTYPE m_type = VT_EMPTY;
    bool m_isArray = false;
    bool m_locked = false;
};

// The value in the wanted element type (array flag kept), converted only
// when it is not already so. The view reads `converted` when that was needed.
HRESULT AsElementType(const VARIANT& value, VARTYPE elementType, LCID locale, COpcVariant& converted,
                      const VARIANT*& result)
{
    const VARTYPE wanted = static_cast<VARTYPE>(IsArrayValue(value) ? (VT_ARRAY | elementType) : elementType);
    if (value.vt == wanted)
    {
        result = &value;
        return S_OK;
    }
    HRESULT hr = ChangeType(converted.Get(), &value, locale, wanted);
    if (FAILED(hr))
        return hr;
    result = converted.Get();
    return S_OK;
}

// The limit bit of the first element outside low..high, 0 when all are inside.
WORD RangeBit(const VARIANT& value, double high, double low, LCID locale)
{
    COpcVariant converted;
    const VARIANT* numbers = nullptr;
    if (FAILED(AsElementType(value, VT_R8, locale, converted, numbers)))
        return kOpcLimitLow; // not a number
    CNumbers view(*numbers);
    if (!view.Ok())
        return kOpcLimitLow;
    WORD bit = 0;
    for (ULONG i = 0; i < view.Count() && bit == 0; ++i)
        bit = LimitBit(view.Number(i), high, low);
    return bit;
}

// Platform conversion of one double to a scalar of the given type.
HRESULT ConvertNumber(double number, VARTYPE type, LCID locale, VARIANT& out)
{
    VARIANT source;
    VariantInit(&source);
    source.vt = VT_R8;
    source.dblVal = number;
    return ChangeType(&out, &source, locale, type);
}

// The field an n-bit or BCD condition reads from raw bits, as a number; the
// instrument range of those conditions is given for this field.
double FieldOf(uint32_t bits, uint32_t condition, bool signedType)
{
    const uint16_t word = static_cast<uint16_t>(bits);
    if (OpcIsBinaryCondition(condition))
    {
        if (!signedType)
            return word & kUnsignedField[condition];
        if ((word & 0x8000) != 0)
            return static_cast<int16_t>(static_cast<uint16_t>(word | kSignExtension[condition]));
        return word & kSignedField[condition];
    }
    switch (condition)
    {
    case kOpcCondition3Bcd: return word & 0x0FFF;
    case kOpcCondition4Bcd: return word;
    default: return bits;
    }
}

// The instrument-range limits of the raw check: BCD-encoded for the BCD
// conditions (a limit outside 0 to 99999999 is held at the nearest end).
void RawLimits(const SOpcConditioning& config, double& high, double& low)
{
    high = config.highIR;
    low = config.lowIR;
    if (!OpcIsBcdCondition(config.condition))
        return;
    auto encode = [](double limit)
    {
        if (!(limit > 0))
            return 0.0;
        const uint32_t number = limit >= 99999999.0 ? 99999999u : static_cast<uint32_t>(limit);
        uint32_t code = 0;
        EncodeBcd(number, code);
        return static_cast<double>(code);
    };
    high = encode(high);
    low = encode(low);
}

// Keeps a scaled value from crossing an end of the EU range by rounding.
double ClampRead(const SOpcConditioning& c, double x, double y)
{
    if ((c.lowIR > x && c.lowEU < y) || (c.lowIR < x && c.lowEU > y))
        return c.lowEU;
    if ((c.highIR > x && c.highEU < y) || (c.highIR < x && c.highEU > y))
        return c.highEU;
    return y;
}

double ScaleLinear(const SOpcConditioning& c, double x)
{
    if (x == c.highIR)
        return c.highEU;
    if (x == c.lowIR)
        return c.lowEU;
    const double y = c.lowEU + (c.highEU - c.lowEU) / (c.highIR - c.lowIR) * (x - c.lowIR);
    return ClampRead(c, x, y);
}

double ScaleSqrt(const SOpcConditioning& c, double x)
{
    if (x == c.highIR)
        return c.highEU;
    if (x == c.lowIR)
        return c.lowEU;
    // No root below the range: the low end, as the clamping intends.
    if (x < c.lowIR)
        return c.lowEU;
    const double y = c.lowEU + (c.highEU - c.lowEU) / std::sqrt(c.highIR - c.lowIR) * std::sqrt(x - c.lowIR);
    return ClampRead(c, x, y);
}

double ClampWrite(const SOpcConditioning& c, double y, double x)
{
    if (c.lowEU < y && c.lowIR > x)
        return c.lowIR;
    if (c.highEU > y && c.highIR < x)
        return c.highIR;
    return x;
}

double UnscaleLinear(const SOpcConditioning& c, double y)
{
    if (y == c.highEU)
        return c.highIR;
    if (y == c.lowEU)
        return c.lowIR;
    const double x = c.lowIR + (c.highIR - c.lowIR) / (c.highEU - c.lowEU) * (y - c.lowEU);
    return ClampWrite(c, y, x);
}

double UnscaleSqrt(const SOpcConditioning& c, double y)
{
    if (y == c.highEU)
        return c.highIR;
    if (y == c.lowEU)
        return c.lowIR;
    const double span = c.highEU - c.lowEU;
    const double x = c.lowIR + (c.highIR - c.lowIR) / (span * span) * ((y - c.lowEU) * (y - c.lowEU));
    return ClampWrite(c, y, x);
}

// One element of the read side: raw element to EU. bcdOk turns false on a bad digit.
double ConditionNumber(const SOpcConditioning& c, const SOpcDataType& type, const CNumbers& raw, ULONG i, bool& bcdOk)
{
    switch (c.condition)
    {
    case kOpcCondition8Bit:
    case kOpcCondition12Bit:
    case kOpcCondition13Bit:
    case kOpcCondition15Bit: return ScaleLinear(c, FieldOf(raw.Bits(i), c.condition, type.code == kOpcTypeInt16));
    case kOpcConditionLinear: return ScaleLinear(c, raw.Number(i));
    case kOpcConditionSqrt: return ScaleSqrt(c, raw.Number(i));
    case kOpcCondition3Bcd:
    case kOpcCondition4Bcd:
    case kOpcConditionBcd:
    {
        uint32_t number = 0;
        if (!DecodeBcd(raw.Bits(i), BcdDigits(c.condition), number))
            bcdOk = false;
        return ScaleLinear(c, number);
    }
    default: return raw.Number(i);
    }
}

HRESULT CheckConfig(const SOpcConditioning& config, const SOpcDataType*& type)
{
    type = OpcDataTypeByCode(config.typeCode);
    if (type == nullptr || !type->isNumeric || !OpcConditionAllowed(config.typeCode, config.condition))
        return E_INVALIDARG;
    return S_OK;
}

// Conditioning of raw (already in the raw type) into out; the first failing
// step's quality goes to stepQuality[0..2] as it is found.
HRESULT RunRead(const SOpcConditioning& c, const SOpcDataType& type, const CNumbers& raw, bool isArray,
                bool rangeChecks, COpcVariant& out, WORD steps[3])
{
    const ULONG count = raw.Count();
    if (rangeChecks)
    {
        double high = 0;
        double low = 0;
        RawLimits(c, high, low);
        const bool fieldView = OpcIsBinaryCondition(c.condition) || OpcIsBcdCondition(c.condition);
        for (ULONG i = 0; i < count && steps[0] == 0; ++i)
        {
            const double field =
                fieldView ? FieldOf(raw.Bits(i), c.condition, type.code == kOpcTypeInt16) : raw.Number(i);
            const WORD bit = LimitBit(field, high, low);
            if (bit != 0)
                steps[0] = static_cast<WORD>(kOpcQualitySensorFailure | bit);
        }
    }

    const int32_t shift = DecimalShift(c, type);
    if (c.condition == kOpcConditionNone && shift == 0)
    {
        // The raw value is the result.
        if (rangeChecks)
        {
            for (ULONG i = 0; i < count && steps[2] == 0; ++i)
            {
                const WORD bit = LimitBit(raw.Number(i), c.highEU, c.lowEU);
                if (bit != 0)
                    steps[2] = static_cast<WORD>(kOpcQualityEguExceeded | bit);
            }
        }
        return S_FALSE; // nothing built: the caller keeps raw
    }

    const VARTYPE resultType = (c.condition == kOpcConditionNone && type.is16Bit) ? VT_R4 : VT_R8;
    CBuilder result;
    HRESULT hr = result.Create(resultType, isArray, count);
    if (FAILED(hr))
        return hr;
    bool bcdOk = true;
    for (ULONG i = 0; i < count; ++i)
    {
        double y;
        if (c.condition == kOpcConditionNone)
        {
            y = raw.Number(i) / kPowersOfTen[shift];
            if (resultType == VT_R4)
                y = static_cast<float>(y);
        }
        else
        {
            y = ConditionNumber(c, type, raw, i, bcdOk);
        }
        result.SetNumber(i, y);
        if (rangeChecks && steps[2] == 0)
        {
            const WORD bit = LimitBit(y, c.highEU, c.lowEU);
            if (bit != 0)
                steps[2] = static_cast<WORD>(kOpcQualityEguExceeded | bit);
        }
    }
    if (!bcdOk)
        steps[1] = kOpcQualityUncertain;
    out.Clear();
    return result.MoveTo(out.Get());
}

HRESULT Read(const SOpcConditioning& config, VARIANT* value, WORD* quality, bool rangeChecks)
{
    if (value == nullptr || quality == nullptr)
        return E_POINTER;
    const SOpcDataType* type = nullptr;
    HRESULT hr = CheckConfig(config, type);
    if (FAILED(hr))
        return hr;

    COpcVariant converted;
    const VARIANT* raw = nullptr;
    hr = AsElementType(*value, type->canonicalType, config.locale, converted, raw);
    if (FAILED(hr))
        return hr == E_OUTOFMEMORY ? hr : OPC_E_BADTYPE;
    WORD steps[3] = {0, 0, 0};
    COpcVariant result;
    {
        CNumbers numbers(*raw);
        if (!numbers.Ok())
            return OPC_E_BADTYPE;
        hr = RunRead(config, *type, numbers, IsArrayValue(*raw), rangeChecks, result, steps);
        if (FAILED(hr))
            return hr;
    }
    // S_FALSE from RunRead: the raw value stands as the result.
    if (hr == S_OK)
    {
        VariantClear(value);
        result.MoveTo(value);
    }
    else if (raw == converted.Get())
    {
        VariantClear(value);
        converted.MoveTo(value);
    }
    for (WORD step : steps)
    {
        if (step != 0)
        {
            *quality = step;
            return S_FALSE;
        }
    }
    return S_OK;
}

// One element of the write side: the raw scalar for an EU number. quality
// receives the range quality of the decimal shift.
HRESULT UnconditionNumber(const SOpcConditioning& c, const SOpcDataType& type, int32_t shift, double y, VARIANT& out,
                          WORD& quality)
{
    const VARTYPE rawType = type.canonicalType;
    if (c.condition == kOpcConditionNone)
    {
        // Only with a decimal shift on an integer type.
        const double x = y * kPowersOfTen[shift];
        double high;
        double low;
        if (type.code == kOpcTypeInt16)
        {
            high = 32767;
            low = -32768;
        }
        else if (type.is16Bit)
        {
            high = 65535;
            low = 0;
        }
        else if (type.code == kOpcTypeInt32)
        {
            high = 2147483647.0;
            low = -2147483647.0;
        }
        else
        {
            high = 4294967295.0;
            low = 0;
        }
        const WORD bit = LimitBit(x, high, low);
        if (bit != 0)
        {
            quality = static_cast<WORD>(kOpcQualitySensorFailure | bit);
            return OPC_E_RANGE;
        }
        HRESULT hr = ConvertNumber(x, rawType, c.locale, out);
        return FAILED(hr) ? ConversionFailure(hr) : S_OK;
    }

    const double x = c.condition == kOpcConditionSqrt ? UnscaleSqrt(c, y) : UnscaleLinear(c, y);
    HRESULT hr = ConvertNumber(x, rawType, c.locale, out);
    if (FAILED(hr))
        return ConversionFailure(hr);
    if (OpcIsBinaryCondition(c.condition))
    {
        // The read side's layout: sign-extended negative numbers, masked fields.
        if (type.code == kOpcTypeInt16)
            out.iVal = out.iVal < 0 ? static_cast<SHORT>(out.iVal | kSignExtension[c.condition])
                                    : static_cast<SHORT>(out.iVal & kSignedField[c.condition]);
        else
            out.uiVal = static_cast<USHORT>(out.uiVal & kUnsignedField[c.condition]);
    }
    else if (OpcIsBcdCondition(c.condition))
    {
        int64_t number;
        switch (rawType)
        {
        case VT_I2: number = out.iVal; break;
        case VT_UI2: number = out.uiVal; break;
        case VT_I4: number = out.lVal; break;
        default: number = out.ulVal; break;
        }
        uint32_t code = 0;
        if (number < 0 || !EncodeBcd(static_cast<uint32_t>(number), code, BcdDigits(c.condition)))
            return OPC_E_RANGE;
        // Bit for bit, also into the signed types.
        if (ElementBytes(rawType) == 2)
            out.uiVal = static_cast<USHORT>(code);
        else
            out.ulVal = code;
    }
    return S_OK;
}
} // namespace

bool EncodeBcd(uint32_t value, uint32_t& code, unsigned digits)
{
    if (digits > 8)
        digits = 8;
    uint32_t result = 0;
    for (unsigned k = 0; k < digits; ++k)
    {
        result |= (value % 10) << (4 * k);
        value /= 10;
    }
    if (value != 0)
        return false;
    code = result;
    return true;
}

bool DecodeBcd(uint32_t code, unsigned digits, uint32_t& value)
{
    if (digits > 8)
        digits = 8;
    bool valid = true;
    uint32_t result = 0;
    for (unsigned k = digits; k-- > 0;)
    {
        const uint32_t digit = (code >> (4 * k)) & 0xF;
        if (digit > 9)
            valid = false;
        result = result * 10 + digit;
    }
    value = result;
    return valid;
}

HRESULT CheckRange(const VARIANT& value, WORD baseQuality, double high, double low, WORD* quality)
{
    if (quality == nullptr)
        return E_POINTER;
    const WORD bit = RangeBit(value, high, low, LOCALE_USER_DEFAULT);
    if (bit == 0)
        return S_OK;
    *quality = static_cast<WORD>(baseQuality | bit);
    return S_FALSE;
}

HRESULT ConditionRead(const SOpcConditioning& config, VARIANT* value, WORD* quality)
{
    return Read(config, value, quality, true);
}

HRESULT ConditionValue(const SOpcConditioning& config, VARIANT* value, WORD* quality)
{
    return Read(config, value, quality, false);
}

namespace
{
// The client's value in the type the scaling works in.
HRESULT PrepareWrite(const SOpcConditioning& config, const SOpcDataType& type, bool isArray, VARIANT* value,
                     COpcVariant& work)
{
    VARTYPE prepared = VT_EMPTY;
    if (type.is32Bit || type.code == kOpcTypeDouble)
    {
        if (config.decimalPoint >= 1)
            prepared = VT_R8;
    }
    else if (config.condition != kOpcConditionNone)
    {
        prepared = VT_R8;
    }
    else if (config.decimalPoint >= 1)
    {
        prepared = VT_R4;
    }
    HRESULT hr = prepared == VT_EMPTY ? CopyValue(work.Get(), value)
                                      : ChangeType(work.Get(), value, config.locale,
                                                   static_cast<VARTYPE>(isArray ? (VT_ARRAY | prepared) : prepared));
    return FAILED(hr) ? ConversionFailure(hr) : S_OK;
}

// Engineering units back to raw values of the data type, element by element.
HRESULT UnscaleWrite(const SOpcConditioning& config, const SOpcDataType& type, int32_t shift, bool isArray,
                     COpcVariant& work, WORD* quality)
{
    COpcVariant reals;
    const VARIANT* eu = nullptr;
    HRESULT hr = AsElementType(*work.Get(), VT_R8, config.locale, reals, eu);
    if (FAILED(hr))
        return ConversionFailure(hr);
    COpcVariant raw;
    {
        CNumbers numbers(*eu);
        if (!numbers.Ok())
            return OPC_E_BADTYPE;
        CBuilder result;
        hr = result.Create(type.canonicalType, isArray, numbers.Count());
        if (FAILED(hr))
            return hr;
        for (ULONG i = 0; i < numbers.Count(); ++i)
        {
            COpcVariant element;
            WORD shiftQuality = 0;
            hr = UnconditionNumber(config, type, shift, numbers.Number(i), *element.Get(), shiftQuality);
            if (FAILED(hr))
            {
                if (shiftQuality != 0)
                    *quality = shiftQuality;
                return hr;
            }
            result.SetElement(i, *element.Get());
        }
        hr = result.MoveTo(raw.Get());
        if (FAILED(hr))
            return hr;
    }
    work.Clear();
    raw.MoveTo(work.Get());
    return S_OK;
}

// The instrument range, on the field the condition writes.
HRESULT CheckWriteRange(const SOpcConditioning& config, const SOpcDataType& type, const VARIANT& raw, WORD* quality)
{
    double high = 0;
    double low = 0;
    RawLimits(config, high, low);
    WORD bit = 0;
    if (OpcIsBinaryCondition(config.condition) || OpcIsBcdCondition(config.condition))
    {
        CNumbers numbers(raw);
        if (!numbers.Ok())
            return OPC_E_BADTYPE;
        for (ULONG i = 0; i < numbers.Count() && bit == 0; ++i)
            bit = LimitBit(FieldOf(numbers.Bits(i), config.condition, type.code == kOpcTypeInt16), high, low);
    }
    else
    {
        bit = RangeBit(raw, high, low, config.locale);
    }
    if (bit == 0)
        return S_OK;
    *quality = static_cast<WORD>(kOpcQualitySensorFailure | bit);
    return OPC_E_RANGE;
}
} // namespace

HRESULT ConditionWrite(const SOpcConditioning& config, VARIANT* value, WORD* quality)
{
    if (value == nullptr || quality == nullptr)
        return E_POINTER;
    const SOpcDataType* type = nullptr;
    HRESULT hr = CheckConfig(config, type);
    if (FAILED(hr))
        return hr;
    const int32_t shift = DecimalShift(config, *type);
    const bool isArray = IsArrayValue(*value);

    COpcVariant work;
    hr = PrepareWrite(config, *type, isArray, value, work);
    if (FAILED(hr))
        return hr;
    const WORD bit = RangeBit(*work.Get(), config.highEU, config.lowEU, config.locale);
    if (bit != 0)
    {
        *quality = static_cast<WORD>(kOpcQualityEguExceeded | bit);
        return OPC_E_RANGE;
    }
    if (config.condition != kOpcConditionNone || shift > 0)
    {
        hr = UnscaleWrite(config, *type, shift, isArray, work, quality);
        if (FAILED(hr))
            return hr;
    }
    hr = CheckWriteRange(config, *type, *work.Get(), quality);
    if (FAILED(hr))
        return hr;

    hr = VariantClear(value);
    if (FAILED(hr))
        return hr;
    work.MoveTo(value);
    return S_OK;
}
