#include "OpcVariant.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace
{
// Arrays of VARIANTs may hold arrays again; a client cannot make us recurse
// deeper than this.
const int kMaxNesting = 16;

const double kTicksPerDay = 864000000000.0;
const double kDaysFrom1601To1899 = 109205.0;

// Bytes of one array element of a type we can read or write; 0 for any other type.
size_t ElementSize(VARTYPE type)
{
    switch (type)
    {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: return 2;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_R4:
    case VT_ERROR: return 4;
    case VT_I8:
    case VT_UI8:
    case VT_R8:
    case VT_CY:
    case VT_DATE: return 8;
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN: return sizeof(void*);
    case VT_DECIMAL: return sizeof(DECIMAL);
    case VT_VARIANT: return sizeof(VARIANT);
    default: return 0;
    }
}

bool IsUnsignedInteger(VARTYPE type)
{
    return type == VT_UI1 || type == VT_UI2 || type == VT_UI4 || type == VT_UI8 || type == VT_UINT;
}

// The variant a VT_BYREF | VT_VARIANT refers to, or the variant itself.
const VARIANT* Referenced(const VARIANT* value)
{
    if (value->vt == (VT_BYREF | VT_VARIANT) && value->pvarVal != nullptr)
        return value->pvarVal;
    return value;
}

// The base type of a value, looking through VT_BYREF.
VARTYPE BaseType(const VARIANT* value)
{
    return static_cast<VARTYPE>(Referenced(value)->vt & ~VT_BYREF);
}

// True for a negative value of a signed integer type, by value or by reference.
bool IsNegativeSigned(const VARIANT* value)
{
    value = Referenced(value);
    const bool byRef = (value->vt & VT_BYREF) != 0;
    if (byRef && value->byref == nullptr)
        return false;
    switch (value->vt & ~VT_BYREF)
    {
    case VT_I1: return (byRef ? *value->pcVal : value->cVal) < 0;
    case VT_I2: return (byRef ? *value->piVal : value->iVal) < 0;
    case VT_I4: return (byRef ? *value->plVal : value->lVal) < 0;
    case VT_INT: return (byRef ? *value->pintVal : value->intVal) < 0;
    case VT_I8: return (byRef ? *value->pllVal : value->llVal) < 0;
    default: return false;
    }
}

// True for a NaN or infinite floating-point value, by value or by reference.
bool IsNonFinite(const VARIANT* value)
{
    value = Referenced(value);
    const bool byRef = (value->vt & VT_BYREF) != 0;
    if (byRef && value->byref == nullptr)
        return false;
    switch (value->vt & ~VT_BYREF)
    {
    case VT_R4: return !std::isfinite(byRef ? *value->pfltVal : value->fltVal);
    case VT_R8: return !std::isfinite(byRef ? *value->pdblVal : value->dblVal);
    default: return false;
    }
}

// Types whose range a NaN or an infinity has no place in.
bool IsIntegerOrCurrency(VARTYPE type)
{
    return IsUnsignedInteger(type) || type == VT_I1 || type == VT_I2 || type == VT_I4 || type == VT_I8 ||
           type == VT_INT || type == VT_CY;
}

// Text assembled in one growing task-allocator block.
class CTextBuilder
{
public:
    bool Append(const wchar_t* text, size_t length)
    {
        if (length > SIZE_MAX / 2 - m_length)
            return false;
        if (m_length + length > m_capacity)
        {
            size_t capacity = m_capacity == 0 ? 64 : m_capacity;
            while (capacity < m_length + length)
                capacity *= 2;
            COpcTaskMem<wchar_t> block;
            if (!block.Allocate(capacity))
                return false;
            if (m_length > 0)
                memcpy(block.Get(), m_block.Get(), m_length * sizeof(wchar_t));
            m_block = std::move(block);
            m_capacity = capacity;
        }
        if (length > 0)
            memcpy(m_block.Get() + m_length, text, length * sizeof(wchar_t));
        m_length += length;
        return true;
    }
    bool Append(const wchar_t* text) { return Append(text, wcslen(text)); }
    BSTR ToBstr() const
    {
        if (m_length > UINT_MAX)
            return nullptr;
        return SysAllocStringLen(m_length ? m_block.Get() : L"", static_cast<UINT>(m_length));
    }

private:
    COpcTaskMem<wchar_t> m_block;
    size_t m_length = 0;
    size_t m_capacity = 0;
};

HRESULT Convert(VARIANT* out, const VARIANT* source, LCID locale, VARTYPE requested, int depth);

// The platform conversion with our sign rules on top. out is VT_EMPTY on entry
// and stays so on failure.
HRESULT ConvertScalar(VARIANT* out, const VARIANT* source, LCID locale, VARTYPE requested)
{
    if ((source->vt & VT_BYREF) != 0 && source->byref == nullptr)
        return E_INVALIDARG;
    // Some platforms turn these into an arbitrary number without a failure.
    if (IsIntegerOrCurrency(requested) && IsNonFinite(source))
        return DISP_E_OVERFLOW;
    HRESULT hr = VariantChangeTypeEx(out, const_cast<VARIANT*>(source), locale, VARIANT_NOVALUEPROP, requested);
    if (FAILED(hr))
    {
        VariantInit(out);
        return hr;
    }
    // Some platforms copy the bits between same-size signed and unsigned
    // types (-1 becomes 65535); a sign change is never a valid conversion.
    if ((IsUnsignedInteger(requested) && IsNegativeSigned(source)) ||
        (IsUnsignedInteger(BaseType(source)) && IsNegativeSigned(out)))
    {
        VariantClear(out);
        VariantInit(out);
        return DISP_E_OVERFLOW;
    }
    return S_OK;
}

// Stores a converted scalar in an array slot of the requested element type;
// pointers (strings, interfaces) move into the array.
void StoreElement(void* slot, VARTYPE type, size_t size, VARIANT* value)
{
    switch (type)
    {
    case VT_VARIANT:
        *static_cast<VARIANT*>(slot) = *value;
        VariantInit(value);
        break;
    case VT_DECIMAL: memcpy(slot, &value->decVal, sizeof(DECIMAL)); break;
    case VT_BSTR:
    case VT_DISPATCH:
    case VT_UNKNOWN:
        memcpy(slot, &value->byref, sizeof(void*));
        VariantInit(value);
        break;
    default: memcpy(slot, &value->bVal, size); break;
    }
}

// A VT_BYREF variant of the element's type pointing into the array data.
VARIANT ElementReference(void* data, VARTYPE type, size_t size, ULONG index)
{
    VARIANT reference;
    VariantInit(&reference);
    reference.vt = static_cast<VARTYPE>(VT_BYREF | type);
    reference.byref = static_cast<BYTE*>(data) + static_cast<size_t>(index) * size;
    return reference;
}

// The array rule: source is a SAFEARRAY of elementType (may be null: no elements).
HRESULT ConvertArray(VARIANT* out, SAFEARRAY* array, VARTYPE elementType, LCID locale, VARTYPE requested, int depth)
{
    if ((requested & VT_BYREF) != 0 || ((requested & VT_ARRAY) == 0 && requested != VT_BSTR))
        return DISP_E_TYPEMISMATCH;

    // Only one-dimensional arrays whose element size matches their type are
    // read; anything else would be misread.
    ULONG count = 0;
    const size_t sourceSize = ElementSize(elementType);
    if (array != nullptr)
    {
        if (SafeArrayGetDim(array) != 1 || sourceSize == 0 || SafeArrayGetElemsize(array) != sourceSize)
            return DISP_E_TYPEMISMATCH;
        count = array->rgsabound[0].cElements;
    }
    COpcSafeArrayAccess source(array);
    if (array != nullptr && FAILED(source.Result()))
        return source.Result();
    if (count > 0 && source.Data() == nullptr)
        return E_UNEXPECTED;

    if (requested == VT_BSTR)
    {
        CTextBuilder text;
        if (!text.Append(L"{"))
            return E_OUTOFMEMORY;
        for (ULONG i = 0; i < count; ++i)
        {
            VARIANT reference = ElementReference(source.Data(), elementType, sourceSize, i);
            COpcVariant element;
            if (FAILED(Convert(element.Get(), &reference, locale, VT_BSTR, depth + 1)) || element->vt != VT_BSTR)
                return DISP_E_OVERFLOW;
            if ((i > 0 && !text.Append(L" | ")) ||
                !text.Append(element->bstrVal ? element->bstrVal : L"", SysStringLen(element->bstrVal)))
                return E_OUTOFMEMORY;
        }
        if (!text.Append(L"}"))
            return E_OUTOFMEMORY;
        BSTR result = text.ToBstr();
        if (result == nullptr)
            return E_OUTOFMEMORY;
        out->vt = VT_BSTR;
        out->bstrVal = result;
        return S_OK;
    }

    const VARTYPE targetType = static_cast<VARTYPE>(requested & VT_TYPEMASK);
    const size_t targetSize = ElementSize(targetType);
    if (targetSize == 0)
        return DISP_E_BADVARTYPE;
    COpcSafeArray result(SafeArrayCreateVector(targetType, 0, count));
    if (result.Get() == nullptr)
        return E_OUTOFMEMORY;
    {
        COpcSafeArrayAccess target(result.Get());
        if (FAILED(target.Result()))
            return target.Result();
        for (ULONG i = 0; i < count; ++i)
        {
            VARIANT reference = ElementReference(source.Data(), elementType, sourceSize, i);
            COpcVariant element;
            HRESULT hr;
            if (targetType == VT_VARIANT)
                // The element's own value, never a reference into the source.
                hr = (elementType == VT_VARIANT) ? VariantCopy(element.Get(), static_cast<VARIANT*>(reference.byref))
                                                 : VariantCopyInd(element.Get(), &reference);
            else
                hr = Convert(element.Get(), &reference, locale, targetType, depth + 1);
            if (FAILED(hr) || (targetType != VT_VARIANT && element->vt != targetType))
                return DISP_E_OVERFLOW;
            StoreElement(static_cast<BYTE*>(target.Data()) + static_cast<size_t>(i) * targetSize, targetType,
                         targetSize, element.Get());
        }
    }
    out->vt = static_cast<VARTYPE>(VT_ARRAY | targetType);
    out->parray = result.Detach();
    return S_OK;
}

HRESULT Convert(VARIANT* out, const VARIANT* source, LCID locale, VARTYPE requested, int depth)
{
    if (depth > kMaxNesting)
        return DISP_E_TYPEMISMATCH;
    if (requested == VT_EMPTY || requested == VT_VARIANT || requested == source->vt)
        return VariantCopy(out, const_cast<VARIANT*>(source));

    if ((source->vt & VT_BYREF) != 0 && source->byref == nullptr)
        return E_INVALIDARG;
    const VARIANT* value = Referenced(source);
    if (value != source && (value->vt & VT_ARRAY) != 0)
        return Convert(out, value, locale, requested, depth + 1);
    if ((source->vt & VT_ARRAY) != 0)
    {
        SAFEARRAY* array = (source->vt & VT_BYREF) ? *source->pparray : source->parray;
        return ConvertArray(out, array, static_cast<VARTYPE>(source->vt & VT_TYPEMASK), locale, requested, depth);
    }
    return ConvertScalar(out, source, locale, requested);
}

// Clears a destination before a setter fills it.
HRESULT ResetValue(VARIANT* value)
{
    if (value == nullptr)
        return E_POINTER;
    HRESULT hr = VariantClear(value);
    if (FAILED(hr))
        return hr;
    VariantInit(value);
    return S_OK;
}

// VariantChangeType with the sign rules, for the getters.
HRESULT GetAs(const VARIANT& source, VARTYPE type, COpcVariant& out)
{
    return ConvertScalar(out.Get(), &source, LOCALE_USER_DEFAULT, type);
}

bool StringsEqual(BSTR a, BSTR b)
{
    if (a == nullptr || b == nullptr)
        return a == b;
    UINT length = SysStringLen(a);
    return length == SysStringLen(b) && memcmp(a, b, length * sizeof(OLECHAR)) == 0;
}

bool Equal(const VARIANT& a, const VARIANT& b, int depth);

// Element-wise comparison; data points at element size bytes per element.
bool ElementsEqual(const BYTE* a, const BYTE* b, VARTYPE type, size_t size, ULONG count, int depth)
{
    for (ULONG i = 0; i < count; ++i, a += size, b += size)
    {
        bool equal;
        switch (type)
        {
        case VT_I1:
        case VT_UI1: equal = *a == *b; break;
        case VT_I2:
        case VT_UI2:
        case VT_BOOL: equal = *reinterpret_cast<const USHORT*>(a) == *reinterpret_cast<const USHORT*>(b); break;
        case VT_I4:
        case VT_UI4: equal = *reinterpret_cast<const ULONG*>(a) == *reinterpret_cast<const ULONG*>(b); break;
        case VT_R4: equal = *reinterpret_cast<const float*>(a) == *reinterpret_cast<const float*>(b); break;
        case VT_R8:
        case VT_DATE: equal = *reinterpret_cast<const double*>(a) == *reinterpret_cast<const double*>(b); break;
        case VT_I8:
        case VT_UI8:
        case VT_CY: equal = *reinterpret_cast<const ULONGLONG*>(a) == *reinterpret_cast<const ULONGLONG*>(b); break;
        case VT_BSTR: equal = StringsEqual(*reinterpret_cast<const BSTR*>(a), *reinterpret_cast<const BSTR*>(b)); break;
        case VT_VARIANT:
            equal = Equal(*reinterpret_cast<const VARIANT*>(a), *reinterpret_cast<const VARIANT*>(b), depth + 1);
            break;
        default:
            // As for scalars of these types: reported as changed, never as equal.
            equal = false;
            break;
        }
        if (!equal)
            return false;
    }
    return true;
}

// Elements over all dimensions; false when the count does not fit.
bool ElementCount(SAFEARRAY* array, ULONG& count)
{
    ULONGLONG total = array->cDims ? 1 : 0;
    for (USHORT d = 0; d < array->cDims; ++d)
    {
        total *= array->rgsabound[d].cElements;
        if (total > ULONG_MAX)
            return false;
    }
    count = static_cast<ULONG>(total);
    return true;
}

bool ArraysEqual(SAFEARRAY* a, SAFEARRAY* b, VARTYPE type, int depth)
{
    ULONG countA = 0;
    ULONG countB = 0;
    if ((a != nullptr && !ElementCount(a, countA)) || (b != nullptr && !ElementCount(b, countB)))
        return false;
    if (a == nullptr || b == nullptr)
        return countA == 0 && countB == 0;
    const size_t size = ElementSize(type);
    if (a->cDims != b->cDims || size == 0 || SafeArrayGetElemsize(a) != size || SafeArrayGetElemsize(b) != size)
        return false;
    for (USHORT d = 0; d < a->cDims; ++d)
    {
        if (a->rgsabound[d].cElements != b->rgsabound[d].cElements)
            return false;
    }
    const ULONG count = countA;
    if (count == 0)
        return true;
    COpcSafeArrayAccess dataA(a);
    COpcSafeArrayAccess dataB(b);
    if (dataA.Data() == nullptr || dataB.Data() == nullptr)
        return false;
    return ElementsEqual(static_cast<const BYTE*>(dataA.Data()), static_cast<const BYTE*>(dataB.Data()), type, size,
                         count, depth);
}

bool Equal(const VARIANT& a, const VARIANT& b, int depth)
{
    if (a.vt != b.vt || depth > kMaxNesting)
        return false;
    if ((a.vt & VT_ARRAY) != 0)
        return (a.vt & VT_BYREF) == 0 &&
               ArraysEqual(a.parray, b.parray, static_cast<VARTYPE>(a.vt & VT_TYPEMASK), depth);
    switch (a.vt)
    {
    case VT_EMPTY: return true;
    case VT_I2:
    case VT_BOOL:
    case VT_UI2: return a.uiVal == b.uiVal;
    case VT_I4:
    case VT_UI4: return a.ulVal == b.ulVal;
    case VT_R4: return a.fltVal == b.fltVal;
    case VT_R8:
    case VT_DATE: return a.dblVal == b.dblVal;
    case VT_CY:
    case VT_I8:
    case VT_UI8: return a.ullVal == b.ullVal;
    case VT_I1:
    case VT_UI1: return a.bVal == b.bVal;
    case VT_BSTR: return StringsEqual(a.bstrVal, b.bstrVal);
    default: return false;
    }
}

struct TypeEntry
{
    UINT index;
    VARTYPE type;
};

const TypeEntry kCanonicalTypes[kOpcCanonicalTypeCount] = {
    {0, VT_EMPTY}, {1, VT_BOOL}, {2, VT_I1},  {3, VT_UI1}, {4, VT_I2},  {5, VT_UI2},   {6, VT_I4},    {7, VT_UI4},
    {8, VT_I8},    {9, VT_UI8},  {10, VT_R4}, {11, VT_R8}, {12, VT_CY}, {13, VT_BSTR}, {14, VT_DATE}, {15, VT_VARIANT},
};
} // namespace

// --- conversion ----------------------------------------------------------------

HRESULT ChangeType(VARIANT* destination, const VARIANT* source, LCID locale, VARTYPE requested)
{
    if (destination == nullptr || source == nullptr)
        return E_POINTER;
    // Converted into a temporary, so converting a value onto itself works and
    // a failure never leaves a half-built result behind.
    COpcVariant result;
    HRESULT hr = Convert(result.Get(), source, locale, requested, 0);
    if (FAILED(hr))
    {
        if (destination != source)
            ClearValue(destination);
        return hr;
    }
    hr = VariantClear(destination);
    if (FAILED(hr))
        return hr;
    result.MoveTo(destination);
    return S_OK;
}

bool ValuesEqual(const VARIANT& a, const VARIANT& b)
{
    return Equal(a, b, 0);
}

HRESULT CopyValue(VARIANT* destination, const VARIANT* source)
{
    if (destination == source)
        return S_OK;
    HRESULT hr = ResetValue(destination);
    if (FAILED(hr) || source == nullptr)
        return hr;
    return VariantCopy(destination, const_cast<VARIANT*>(source));
}

void ClearValue(VARIANT* value)
{
    if (value == nullptr)
        return;
    VariantClear(value);
    memset(value, 0, sizeof(VARIANT));
}

// --- getters -------------------------------------------------------------------

HRESULT GetBool(bool& value, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_BOOL, out);
    if (SUCCEEDED(hr))
        value = out->boolVal != 0;
    return hr;
}

HRESULT GetInt16(int16_t& value, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_I2, out);
    if (SUCCEEDED(hr))
        value = out->iVal;
    return hr;
}

HRESULT GetUInt16(uint16_t& value, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_UI2, out);
    if (SUCCEEDED(hr))
        value = out->uiVal;
    return hr;
}

HRESULT GetInt32(int32_t& value, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_I4, out);
    if (SUCCEEDED(hr))
        value = out->lVal;
    return hr;
}

HRESULT GetFloat(float& value, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_R4, out);
    if (SUCCEEDED(hr))
        value = out->fltVal;
    return hr;
}

HRESULT GetDouble(double& value, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_R8, out);
    if (SUCCEEDED(hr))
        value = out->dblVal;
    return hr;
}

HRESULT GetString(COpcString& value, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_BSTR, out);
    if (SUCCEEDED(hr))
        value = out->bstrVal ? COpcString(out->bstrVal, SysStringLen(out->bstrVal)) : COpcString();
    return hr;
}

HRESULT GetFileTime(uint64_t& ticks, const VARIANT& source)
{
    COpcVariant out;
    HRESULT hr = GetAs(source, VT_DATE, out);
    if (FAILED(hr))
        return hr;
    uint64_t result = 0;
    if (!DateToFileTime(out->date, result))
        return DISP_E_OVERFLOW;
    ticks = result;
    return S_OK;
}

// --- setters -------------------------------------------------------------------

HRESULT SetBool(VARIANT* destination, bool value)
{
    HRESULT hr = ResetValue(destination);
    if (SUCCEEDED(hr))
    {
        destination->vt = VT_BOOL;
        destination->boolVal = value ? VARIANT_TRUE : VARIANT_FALSE;
    }
    return hr;
}

HRESULT SetInt16(VARIANT* destination, int16_t value)
{
    HRESULT hr = ResetValue(destination);
    if (SUCCEEDED(hr))
    {
        destination->vt = VT_I2;
        destination->iVal = value;
    }
    return hr;
}

HRESULT SetInt32(VARIANT* destination, int32_t value)
{
    HRESULT hr = ResetValue(destination);
    if (SUCCEEDED(hr))
    {
        destination->vt = VT_I4;
        destination->lVal = value;
    }
    return hr;
}

HRESULT SetFloat(VARIANT* destination, float value)
{
    HRESULT hr = ResetValue(destination);
    if (SUCCEEDED(hr))
    {
        destination->vt = VT_R4;
        destination->fltVal = value;
    }
    return hr;
}

HRESULT SetDouble(VARIANT* destination, double value)
{
    HRESULT hr = ResetValue(destination);
    if (SUCCEEDED(hr))
    {
        destination->vt = VT_R8;
        destination->dblVal = value;
    }
    return hr;
}

HRESULT SetString(VARIANT* destination, const COpcString& value)
{
    HRESULT hr = ResetValue(destination);
    if (FAILED(hr))
        return hr;
    BSTR text = SysAllocStringLen(value.TextOrEmpty(), value.Length());
    if (text == nullptr)
        return E_OUTOFMEMORY;
    destination->vt = VT_BSTR;
    destination->bstrVal = text;
    return S_OK;
}

HRESULT SetFileTime(VARIANT* destination, uint64_t ticks)
{
    HRESULT hr = ResetValue(destination);
    if (SUCCEEDED(hr))
    {
        destination->vt = VT_DATE;
        destination->date = FileTimeToDate(ticks);
    }
    return hr;
}

HRESULT MakeByRef(VARIANT* destination, VARTYPE type, void* value)
{
    const bool allowed = (type >= VT_I2 && type <= VT_BSTR) || type == VT_BOOL || type == VT_VARIANT ||
                         (type >= VT_I1 && type <= VT_UI8);
    if (!allowed)
        return E_INVALIDARG;
    if (value == nullptr)
        return E_POINTER;
    HRESULT hr = ResetValue(destination);
    if (SUCCEEDED(hr))
    {
        destination->vt = static_cast<VARTYPE>(VT_BYREF | type);
        destination->byref = value;
    }
    return hr;
}

namespace
{
// Fills a new VT_BSTR vector from any sequence of strings.
template <typename Iterator>
HRESULT FillStringArray(VARIANT* destination, Iterator first, size_t count)
{
    HRESULT hr = ResetValue(destination);
    if (FAILED(hr) || count == 0)
        return hr;
    if (count > LONG_MAX)
        return E_OUTOFMEMORY;
    COpcSafeArray array(SafeArrayCreateVector(VT_BSTR, 0, static_cast<ULONG>(count)));
    if (array.Get() == nullptr)
        return E_OUTOFMEMORY;
    {
        COpcSafeArrayAccess data(array.Get());
        if (FAILED(data.Result()))
            return data.Result();
        BSTR* slots = static_cast<BSTR*>(data.Data());
        for (size_t i = 0; i < count; ++i, ++first)
        {
            const COpcString& text = *first;
            slots[i] = SysAllocStringLen(text.TextOrEmpty(), text.Length());
            if (slots[i] == nullptr)
                return E_OUTOFMEMORY; // the array frees the strings made so far
        }
    }
    destination->vt = VT_ARRAY | VT_BSTR;
    destination->parray = array.Detach();
    return S_OK;
}
} // namespace

HRESULT StringsToArray(VARIANT* destination, const COpcList<COpcString>& strings)
{
    return FillStringArray(destination, strings.begin(), strings.GetCount());
}

HRESULT StringsToArray(VARIANT* destination, const COpcString* strings, size_t count)
{
    if (strings == nullptr && count > 0)
        return E_POINTER;
    return FillStringArray(destination, strings, count);
}

HRESULT ArrayToStrings(COpcList<COpcString>& list, const VARIANT& source)
{
    list.RemoveAll();
    if (source.vt != (VT_ARRAY | VT_BSTR))
        return DISP_E_TYPEMISMATCH;
    SAFEARRAY* array = source.parray;
    if (array == nullptr)
        return S_OK;
    if (SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != sizeof(BSTR))
        return DISP_E_TYPEMISMATCH;
    const ULONG count = array->rgsabound[0].cElements;
    COpcSafeArrayAccess data(array);
    if (FAILED(data.Result()))
        return data.Result();
    const BSTR* slots = static_cast<const BSTR*>(data.Data());
    for (ULONG i = 0; i < count; ++i)
    {
        COpcString text = slots[i] ? COpcString(slots[i], SysStringLen(slots[i])) : COpcString();
        if (list.AddTail(text) == nullptr)
        {
            list.RemoveAll();
            return E_OUTOFMEMORY;
        }
    }
    return S_OK;
}

// --- time ----------------------------------------------------------------------

double FileTimeToDate(uint64_t ticks)
{
    double days = static_cast<double>(ticks) / kTicksPerDay - kDaysFrom1601To1899;
    return std::floor(days * 1e9 + 0.5) / 1e9;
}

bool DateToFileTime(double date, uint64_t& ticks)
{
    double value = (date + kDaysFrom1601To1899) * kTicksPerDay;
    // Negative times and times past the signed 64-bit range are no valid FILETIME.
    if (!(value >= 0.0) || value >= 9223372036854775808.0)
        return false;
    ticks = static_cast<uint64_t>(value);
    return true;
}

// --- canonical type table ----------------------------------------------------------

VARTYPE TypeFromIndex(UINT index)
{
    UINT low = 0;
    UINT high = kOpcCanonicalTypeCount;
    while (low < high)
    {
        UINT middle = (low + high) / 2;
        if (kCanonicalTypes[middle].index == index)
            return kCanonicalTypes[middle].type;
        if (kCanonicalTypes[middle].index < index)
            low = middle + 1;
        else
            high = middle;
    }
    return VT_EMPTY;
}

UINT IndexFromType(VARTYPE type)
{
    for (const TypeEntry& entry : kCanonicalTypes)
    {
        if (entry.type == type)
            return entry.index;
    }
    return 0;
}
