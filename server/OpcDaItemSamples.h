// What a subscribed item keeps between two reports: the samples that changed,
// the record last sent to the client and the result of its last read.
#pragma once

#include "OpcTaskMem.h"

#include <opcda.h>

#include <memory>

// One sample of an item: value, quality, time stamp and the read's result.
struct SOpcDaSample
{
    COpcVariant value;
    FILETIME timeStamp = {};
    WORD quality = 0;
    HRESULT error = S_OK;
};

// The change test of a subscription sample against the one it is compared
// with. The deadband (percent of the EU range) applies to analog items only,
// to arrays element by element; a quality change always counts.
bool OpcDaSampleChanged(const VARIANT& value, WORD quality, const VARIANT& reference, WORD referenceQuality,
                        double deadband, DWORD euType, double euLow, double euHigh);

// A ring of samples: one entry, or sixteen with buffering on. Appending to a
// full ring drops the oldest entry and remembers that it did until the ring
// is emptied.
class COpcDaItemSamples
{
public:
    static constexpr DWORD BufferedCapacity = 16;

    COpcDaItemSamples() noexcept;
    // A copy (a cloned item) starts afresh with the same capacity.
    COpcDaItemSamples(const COpcDaItemSamples& other) noexcept;
    COpcDaItemSamples& operator=(const COpcDaItemSamples&) = delete;
    ~COpcDaItemSamples();

    // Recreates the ring empty with the capacity for buffering on or off;
    // false when out of memory (the ring is then left as it was).
    bool SetBuffered(bool buffered) noexcept;
    bool IsBuffered() const noexcept { return m_ring != nullptr; }
    DWORD Count() const noexcept { return m_count; }
    bool Overflowed() const noexcept { return m_overflow; }
    // Oldest first; index below Count().
    SOpcDaSample& At(DWORD index) noexcept;
    SOpcDaSample& Newest() noexcept { return At(m_count - 1); }
    // Takes the sample's value; the caller's sample is left VT_EMPTY.
    void Append(SOpcDaSample& sample) noexcept;
    void Clear() noexcept;

    // The record last reported, and the result of the last read.
    COpcVariant lastValue;
    WORD lastQuality = 0;
    HRESULT lastError = S_OK;
    // Samples of this item in the report being built.
    DWORD reporting = 0;

    // Forgets what was reported, so the next sample counts as a change.
    void ResetLastSent() noexcept;

private:
    SOpcDaSample* Entries() noexcept { return m_ring ? m_ring.get() : &m_single; }
    DWORD Capacity() const noexcept { return m_ring ? BufferedCapacity : 1; }

    SOpcDaSample m_single;
    std::unique_ptr<SOpcDaSample[]> m_ring;
    DWORD m_first = 0;
    DWORD m_count = 0;
    bool m_overflow = false;
};
