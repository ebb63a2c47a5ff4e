#include "OpcSimulationModes.h"

#include "OpcTaskMem.h"
#include "OpcVariant.h"

#include <atomic>
#include <cfloat>
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwctype>
#include <limits>
#include <type_traits>

namespace
{
const double kPi = 3.14159265358979323846;

// The C runtime's generator keeps its state per thread, so a seed set while
// items are reset would not reach the simulation thread; this one is shared
// by the whole process (same sequence law).
std::atomic<uint32_t> g_randomState{1};

// A double within T's range, truncated towards zero for integers; NaN gives 0.
template <typename T>
T Saturate(double value)
{
    if (std::isnan(value))
        return 0;
    const double lowest = static_cast<double>(std::numeric_limits<T>::lowest());
    const double highest = static_cast<double>(std::numeric_limits<T>::max());
    if (value <= lowest)
        return std::numeric_limits<T>::lowest();
    // For 64-bit integers the maximum rounds up to 2^63 or 2^64 as a double,
    // which must not be converted.
    if (value >= highest)
        return std::numeric_limits<T>::max();
    return static_cast<T>(value);
}

// A limit held within T's range; NaN stands for the kind's own limit.
template <typename T>
double Clamp(double limit, bool upper)
{
    const double lowest = static_cast<double>(std::numeric_limits<T>::lowest());
    const double highest = static_cast<double>(std::numeric_limits<T>::max());
    if (std::isnan(limit))
        return upper ? highest : lowest;
    return limit < lowest ? lowest : limit > highest ? highest : limit;
}

// (n x period) mod the wave length, without overflowing for any n.
double WaveTime(const SOpcSimulationStep& step)
{
    const uint64_t n = step.cycle % kOpcSimulationWaveLength;
    const uint64_t period = step.periodMs % kOpcSimulationWaveLength;
    return static_cast<double>((n * period) % kOpcSimulationWaveLength);
}

// low + (f + 1) x (high - low) / 2. The half span equals (high - low) / 2
// exactly but stays finite for the widest real ranges; where the product
// still overflows, the same point is taken from the middle of the range.
double Wave(const SOpcSimulationStep& step, double high, double low)
{
    const double angle = 2 * kPi * WaveTime(step) / kOpcSimulationWaveLength;
    const double f = step.mode == kOpcSimSin ? std::sin(angle) : std::cos(angle);
    const double half = high / 2 - low / 2;
    const double value = low + (f + 1) * half;
    if (std::isfinite(value))
        return value;
    return (low / 2 + high / 2) + f * half;
}

// r / 32767 x (high - low), computed through the half span as above.
double RandomSpan(double high, double low)
{
    const double fraction = OpcNextRandom() / 32767.0;
    return fraction * (high / 2 - low / 2) * 2;
}

template <typename T>
T SimulateInteger(const SOpcSimulationStep& step, T x)
{
    const double high = Clamp<T>(step.high, true);
    const double low = Clamp<T>(step.low, false);
    switch (step.mode)
    {
    case kOpcSimIncrement:
    {
        if (x == Saturate<T>(high))
            return 0;
        using U = typename std::make_unsigned<T>::type;
        return static_cast<T>(static_cast<U>(static_cast<U>(x) + 1u));
    }
    case kOpcSimRandom: return Saturate<T>(low + RandomSpan(high, low));
    case kOpcSimSin:
    case kOpcSimCos: return Saturate<T>(Wave(step, high, low));
    case kOpcSimCsv: return step.cell.IsEmpty() ? x : Saturate<T>(OpcParseCellNumber(step.cell.Text()));
    default: return x;
    }
}

template <typename T>
T SimulateReal(const SOpcSimulationStep& step, T x)
{
    const double high = Clamp<T>(step.high, true);
    const double low = Clamp<T>(step.low, false);
    switch (step.mode)
    {
    case kOpcSimRandom: return Saturate<T>(RandomSpan(high, low));
    case kOpcSimSin:
    case kOpcSimCos: return Saturate<T>(Wave(step, high, low));
    case kOpcSimCsv: return step.cell.IsEmpty() ? x : Saturate<T>(OpcParseCellNumber(step.cell.Text()));
    default: return x;
    }
}

template <typename T>
void SimulateElements(const SOpcSimulationStep& step, void* data, ULONG count)
{
    T* elements = static_cast<T*>(data);
    for (ULONG i = 0; i < count; ++i)
        elements[i] = OpcSimulate(step, elements[i]);
}

void SimulateBools(const SOpcSimulationStep& step, VARIANT_BOOL* elements, ULONG count)
{
    for (ULONG i = 0; i < count; ++i)
        elements[i] = OpcSimulate(step, elements[i] != VARIANT_FALSE) ? VARIANT_TRUE : VARIANT_FALSE;
}

// Replaces each text with the cell, when the step changes texts at all.
HRESULT SimulateStrings(const SOpcSimulationStep& step, BSTR* elements, ULONG count)
{
    if (step.mode != kOpcSimCsv || step.cell.IsEmpty())
        return S_OK;
    for (ULONG i = 0; i < count; ++i)
    {
        BSTR text = SysAllocStringLen(step.cell.Text(), step.cell.Length());
        if (text == nullptr)
            return E_OUTOFMEMORY;
        SysFreeString(elements[i]);
        elements[i] = text;
    }
    return S_OK;
}

// The elements of one type at data.
HRESULT SimulateData(const SOpcSimulationStep& step, VARTYPE type, void* data, ULONG count)
{
    switch (type)
    {
    case VT_I1: SimulateElements<int8_t>(step, data, count); return S_OK;
    case VT_UI1: SimulateElements<uint8_t>(step, data, count); return S_OK;
    case VT_I2: SimulateElements<int16_t>(step, data, count); return S_OK;
    case VT_UI2: SimulateElements<uint16_t>(step, data, count); return S_OK;
    case VT_I4: SimulateElements<int32_t>(step, data, count); return S_OK;
    case VT_UI4: SimulateElements<uint32_t>(step, data, count); return S_OK;
    case VT_I8: SimulateElements<int64_t>(step, data, count); return S_OK;
    case VT_UI8: SimulateElements<uint64_t>(step, data, count); return S_OK;
    case VT_R4: SimulateElements<float>(step, data, count); return S_OK;
    case VT_R8: SimulateElements<double>(step, data, count); return S_OK;
    case VT_BOOL: SimulateBools(step, static_cast<VARIANT_BOOL*>(data), count); return S_OK;
    case VT_BSTR: return SimulateStrings(step, static_cast<BSTR*>(data), count);
    default: return E_INVALIDARG;
    }
}

bool IsSimulatedKind(VARTYPE type)
{
    switch (type)
    {
    case VT_I1:
    case VT_UI1:
    case VT_I2:
    case VT_UI2:
    case VT_I4:
    case VT_UI4:
    case VT_I8:
    case VT_UI8:
    case VT_R4:
    case VT_R8:
    case VT_BOOL:
    case VT_BSTR: return true;
    default: return false;
    }
}

bool IsDigit(wchar_t c)
{
    return c >= L'0' && c <= L'9';
}
} // namespace

int8_t OpcSimulate(const SOpcSimulationStep& step, int8_t x)
{
    return SimulateInteger(step, x);
}
uint8_t OpcSimulate(const SOpcSimulationStep& step, uint8_t x)
{
    return SimulateInteger(step, x);
}
int16_t OpcSimulate(const SOpcSimulationStep& step, int16_t x)
{
    return SimulateInteger(step, x);
}
uint16_t OpcSimulate(const SOpcSimulationStep& step, uint16_t x)
{
    return SimulateInteger(step, x);
}
int32_t OpcSimulate(const SOpcSimulationStep& step, int32_t x)
{
    return SimulateInteger(step, x);
}
uint32_t OpcSimulate(const SOpcSimulationStep& step, uint32_t x)
{
    return SimulateInteger(step, x);
}
int64_t OpcSimulate(const SOpcSimulationStep& step, int64_t x)
{
    return SimulateInteger(step, x);
}
uint64_t OpcSimulate(const SOpcSimulationStep& step, uint64_t x)
{
    return SimulateInteger(step, x);
}
float OpcSimulate(const SOpcSimulationStep& step, float x)
{
    return SimulateReal(step, x);
}
double OpcSimulate(const SOpcSimulationStep& step, double x)
{
    return SimulateReal(step, x);
}

bool OpcSimulate(const SOpcSimulationStep& step, bool x)
{
    if (step.mode != kOpcSimCsv)
        return x;
    if (step.cell.Equals(L"On"))
        return !step.inverse;
    if (step.cell.Equals(L"Off"))
        return step.inverse;
    return x;
}

COpcString OpcSimulate(const SOpcSimulationStep& step, const COpcString& x)
{
    return (step.mode == kOpcSimCsv && !step.cell.IsEmpty()) ? step.cell : x;
}

HRESULT OpcSimulateValue(const SOpcSimulationStep& step, VARTYPE canonicalType, VARIANT* value)
{
    if (value == nullptr)
        return E_POINTER;
    const VARTYPE elementType = static_cast<VARTYPE>(canonicalType & VT_TYPEMASK);
    if (!IsSimulatedKind(elementType) || (canonicalType & ~(VT_ARRAY | VT_TYPEMASK)) != 0)
        return E_INVALIDARG;

    if ((canonicalType & VT_ARRAY) != 0)
    {
        if (value->vt != canonicalType)
            return E_INVALIDARG;
        SAFEARRAY* array = value->parray;
        if (array == nullptr)
            return S_OK;
        if (SafeArrayGetDim(array) != 1)
            return E_INVALIDARG;
        COpcSafeArrayAccess access(array);
        if (FAILED(access.Result()))
            return access.Result();
        const ULONG count = array->rgsabound[0].cElements;
        if (count == 0)
            return S_OK;
        return SimulateData(step, elementType, access.Data(), count);
    }

    if (value->vt != canonicalType)
    {
        // A fresh item has no value yet; anything else is brought to the item's type.
        COpcVariant converted;
        if (value->vt != VT_EMPTY)
        {
            HRESULT hr = ChangeType(converted.Get(), value, LOCALE_USER_DEFAULT, canonicalType);
            if (FAILED(hr))
                converted.Clear();
        }
        if (converted->vt != canonicalType)
        {
            converted.Clear();
            converted->vt = canonicalType; // zero, false or a null (empty) text
        }
        HRESULT hr = VariantClear(value);
        if (FAILED(hr))
            return hr;
        converted.MoveTo(value);
    }
    if (elementType == VT_BSTR)
        return SimulateStrings(step, &value->bstrVal, 1);
    return SimulateData(step, elementType, &value->bVal, 1);
}

double OpcParseCellNumber(const wchar_t* text)
{
    if (text == nullptr)
        return 0;
    const wchar_t* p = text;
    while (*p != L'\0' && iswspace(*p))
        ++p;
    const wchar_t* start = p;
    if (*p == L'+' || *p == L'-')
        ++p;
    size_t digits = 0;
    for (; IsDigit(*p); ++p)
        ++digits;
    if (*p == L'.')
    {
        ++p;
        for (; IsDigit(*p); ++p)
            ++digits;
    }
    if (digits == 0)
        return 0;
    const wchar_t* end = p;
    if (*p == L'e' || *p == L'E')
    {
        const wchar_t* q = p + 1;
        if (*q == L'+' || *q == L'-')
            ++q;
        if (IsDigit(*q))
        {
            while (IsDigit(*q))
                ++q;
            end = q;
        }
    }

    // The accepted characters are ASCII, so they copy byte for byte; the
    // point becomes the C library's own decimal point.
    const size_t length = static_cast<size_t>(end - start);
    char small[128];
    COpcTaskMem<char> large;
    char* buffer = small;
    if (length >= sizeof(small))
    {
        if (!large.Allocate(length + 1))
            return 0;
        buffer = large.Get();
    }
    const lconv* conventions = localeconv();
    const char point =
        (conventions != nullptr && conventions->decimal_point != nullptr && conventions->decimal_point[0] != '\0')
            ? conventions->decimal_point[0]
            : '.';
    for (size_t i = 0; i < length; ++i)
        buffer[i] = start[i] == L'.' ? point : static_cast<char>(start[i]);
    buffer[length] = '\0';
    return strtod(buffer, nullptr);
}

uint32_t OpcNextRandom()
{
    uint32_t state = g_randomState.load(std::memory_order_relaxed);
    uint32_t next;
    do
    {
        next = state * 214013u + 2531011u;
    } while (!g_randomState.compare_exchange_weak(state, next, std::memory_order_relaxed));
    return (next >> 16) & 0x7FFF;
}

void OpcSeedRandom(uint32_t seed)
{
    g_randomState.store(seed, std::memory_order_relaxed);
}

void OpcReseedRandom()
{
    OpcSeedRandom(static_cast<uint32_t>(time(nullptr)));
}
