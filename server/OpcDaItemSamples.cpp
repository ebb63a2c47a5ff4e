#include "OpcDaItemSamples.h"

#include "OpcTaskMem.h"
#include "OpcVariant.h"

#include <cmath>
#include <new>

namespace
{
// Compared as |a - b| * 100 >= deadband * range, which keeps a change of
// exactly the deadband a change (20 of 200 at 10 %).
bool Beyond(double a, double b, double deadband, double range)
{
    return std::fabs(a - b) * 100.0 >= deadband * range;
}
} // namespace

bool OpcDaSampleChanged(const VARIANT& value, WORD quality, const VARIANT& reference, WORD referenceQuality,
                        double deadband, DWORD euType, double euLow, double euHigh)
{
    if (quality != referenceQuality)
        return true;
    if (ValuesEqual(value, reference))
        return false;
    if (euType != OPC_ANALOG || deadband == 0.0)
        return true;
    const double range = std::fabs(euHigh - euLow);
    if (range == 0.0)
        return true;
    if ((reference.vt & VT_ARRAY) != 0)
    {
        COpcVariant a, b;
        if (FAILED(ChangeType(a.Get(), &value, LOCALE_SYSTEM_DEFAULT, VT_ARRAY | VT_R8)) ||
            FAILED(ChangeType(b.Get(), &reference, LOCALE_SYSTEM_DEFAULT, VT_ARRAY | VT_R8)))
            return true;
        COpcSafeArrayAccess x(a->parray), y(b->parray);
        if (FAILED(x.Result()) || FAILED(y.Result()) || SafeArrayGetDim(a->parray) != 1 ||
            SafeArrayGetDim(b->parray) != 1)
            return true;
        const ULONG n = a->parray->rgsabound[0].cElements;
        if (n != b->parray->rgsabound[0].cElements)
            return true;
        const double* p = static_cast<const double*>(x.Data());
        const double* q = static_cast<const double*>(y.Data());
        for (ULONG i = 0; i < n; ++i)
        {
            if (Beyond(p[i], q[i], deadband, range))
                return true;
        }
        return false;
    }
    double a = 0.0, b = 0.0;
    if (FAILED(GetDouble(a, value)) || FAILED(GetDouble(b, reference)))
        return true;
    return Beyond(a, b, deadband, range);
}

COpcDaItemSamples::COpcDaItemSamples() noexcept = default;

COpcDaItemSamples::COpcDaItemSamples(const COpcDaItemSamples& other) noexcept : COpcDaItemSamples()
{
    // Out of memory leaves the clone unbuffered; its flag is corrected by the owner.
    if (other.m_ring)
        SetBuffered(true);
}

COpcDaItemSamples::~COpcDaItemSamples()
{
    Clear();
}

bool COpcDaItemSamples::SetBuffered(bool buffered) noexcept
{
    std::unique_ptr<SOpcDaSample[]> ring;
    if (buffered)
    {
        ring.reset(new (std::nothrow) SOpcDaSample[BufferedCapacity]);
        if (!ring)
            return false;
    }
    Clear();
    m_ring = std::move(ring);
    return true;
}

SOpcDaSample& COpcDaItemSamples::At(DWORD index) noexcept
{
    return Entries()[(m_first + index) % Capacity()];
}

void COpcDaItemSamples::Append(SOpcDaSample& sample) noexcept
{
    const DWORD capacity = Capacity();
    if (m_count == capacity)
    {
        // Full: the oldest sample makes room.
        At(0).value.Clear();
        m_first = (m_first + 1) % capacity;
        --m_count;
        m_overflow = capacity > 1;
    }
    SOpcDaSample& slot = Entries()[(m_first + m_count) % capacity];
    slot.value.Clear();
    sample.value.MoveTo(slot.value.Get());
    slot.timeStamp = sample.timeStamp;
    slot.quality = sample.quality;
    slot.error = sample.error;
    ++m_count;
}

void COpcDaItemSamples::Clear() noexcept
{
    for (DWORD i = 0; i < m_count; ++i)
        At(i).value.Clear();
    m_first = 0;
    m_count = 0;
    m_overflow = false;
}

void COpcDaItemSamples::ResetLastSent() noexcept
{
    lastValue.Clear();
    lastQuality = 0;
}
