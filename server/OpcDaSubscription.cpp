// The subscription of a group: the scan the update scheduler runs each base
// cycle, the samples each item keeps, and the reports and keep-alives queued
// from them.
#include "OpcDaGroup.h"

#include "OpcDaCache.h"
#include "OpcDaUpdateScheduler.h"
#include "OpcResultCodes.h"
#include "OpcServerHost.h"
#include "OpcVariant.h"

#include <memory>

namespace
{
ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

COpcDaUpdateScheduler* Scheduler()
{
    IOpcServerHost* host = OpcGetServerHost();
    return host != nullptr ? host->UpdateScheduler() : nullptr;
}

COpcDaCache* Cache()
{
    IOpcServerHost* host = OpcGetServerHost();
    return host != nullptr ? host->AddressSpace() : nullptr;
}
} // namespace

bool COpcDaGroup::JoinScheduler(COpcDaGroup* group)
{
    COpcDaUpdateScheduler* scheduler = Scheduler();
    return scheduler == nullptr || scheduler->Follow(group);
}

void COpcDaGroup::LeaveScheduler(COpcDaGroup* group)
{
    if (COpcDaUpdateScheduler* scheduler = Scheduler())
        scheduler->Follow(group);
}

bool COpcDaGroup::Scan(ULONGLONG tick, DWORD base)
{
    COpcDaCache* cache = Cache();
    COpcLockGuard guard(m_lock);
    if (m_removed || !m_active)
        return false;
    if (cache == nullptr || base == 0)
        return true;
    // Whether a sink is advised; the sink itself is looked up at delivery.
    const bool advised = IsConnected(IID_IOPCDataCallback);
    bool force = true;
    if (m_lastScanTick < 0)
    {
        // A new grid: -1 reports every item now, -2 waits for the next tick.
        force = m_lastScanTick != ScanRestartGrid;
        m_lastScanTick = static_cast<LONGLONG>(tick);
    }
    const ULONGLONG elapsed = tick - static_cast<ULONGLONG>(m_lastScanTick);
    DWORD samples = 0;
    if (elapsed != 0 || force)
    {
        for (auto& entry : m_items)
        {
            COpcDaGroupItem& item = *entry.value;
            const DWORD n = CheckItem(item, *cache, elapsed, base);
            item.samples.reporting = advised ? n : 0;
            samples += item.samples.reporting;
        }
    }
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    if (samples > 0)
    {
        COpcDaTransactionPtr report = BuildReport(samples);
        // Without memory the samples stay buffered for the next report.
        if (report && m_callbacksEnabled)
        {
            m_lastCallback = now;
            QueueDelivery(std::move(report));
        }
        return true;
    }
    // A keep-alive tells the client the subscription is alive while nothing
    // has been sent for a while; it comes with callbacks disabled too.
    if (m_keepAlive != 0 && advised && Ticks(now) - Ticks(m_lastCallback) > m_keepAlive * 10000ull)
    {
        COpcDaTransactionPtr keepAlive = COpcDaTransaction::Create(kTransactionDataChange, this, 0, 0);
        if (keepAlive)
        {
            m_lastCallback = now;
            QueueDelivery(std::move(keepAlive));
        }
    }
    return true;
}

DWORD COpcDaGroup::CheckItem(COpcDaGroupItem& item, COpcDaCache& cache, ULONGLONG elapsed, DWORD base)
{
    if (!item.active)
        return 0;
    bool report = true;
    const DWORD reportPeriod = m_updateRate / base;
    if (reportPeriod >= 2)
        report = elapsed % reportPeriod == 0;
    const DWORD rate = item.samplingRate != 0xFFFFFFFF ? item.samplingRate : m_updateRate;
    const DWORD samplePeriod = rate / base;
    if (samplePeriod < 2 || elapsed % samplePeriod == 0)
        SampleItem(item, cache);
    return report ? item.samples.Count() : 0;
}

void COpcDaGroup::SampleItem(COpcDaGroupItem& item, COpcDaCache& cache)
{
    SOpcDaSample sample;
    // The cached value the pollers keep current; max age 0 takes it over
    // into the address-space item without a device read.
    sample.error = cache.ReadItem(item.itemId, OPC_DA_READ_CACHE, m_localeId, item.requestedType, 0, sample.value.Get(),
                                  &sample.timeStamp, &sample.quality);
    if (FAILED(sample.error))
        sample.value.Clear();
    COpcDaItemSamples& samples = item.samples;
    bool changed = true;
    if (sample.error != samples.lastError)
    {
        samples.lastError = sample.error;
    }
    else if (samples.Count() > 0)
    {
        // Unbuffered, the newer sample simply replaces the waiting one; a
        // buffered item compares with its newest sample by its own deadband.
        if (item.bufferEnabled)
        {
            const SOpcDaSample& newest = samples.Newest();
            changed =
                OpcDaSampleChanged(*sample.value.Get(), sample.quality, *newest.value.Get(), newest.quality,
                                   item.deadband >= 0.0f ? item.deadband : 0.0, item.euType, item.euLow, item.euHigh);
        }
    }
    else
    {
        changed = OpcDaSampleChanged(*sample.value.Get(), sample.quality, *samples.lastValue.Get(), samples.lastQuality,
                                     item.deadband >= 0.0f ? item.deadband : m_percentDeadband, item.euType, item.euLow,
                                     item.euHigh);
    }
    if (changed)
    {
        if (!item.bufferEnabled)
            samples.Clear();
        samples.Append(sample);
    }
}

COpcDaTransactionPtr COpcDaGroup::BuildReport(DWORD count)
{
    COpcDaTransactionPtr t = COpcDaTransaction::Create(kTransactionDataChange, this, 0, count);
    if (!t)
        return nullptr;
    DWORD n = 0;
    for (auto& entry : m_items)
    {
        COpcDaGroupItem& item = *entry.value;
        COpcDaItemSamples& samples = item.samples;
        if (samples.reporting == 0)
            continue;
        samples.reporting = 0;
        const DWORD taken = samples.Count();
        if (taken == 0 || n + taken > count)
            continue;
        const bool overflowed = samples.Overflowed();
        // The newest sample is what the client now holds.
        SOpcDaSample& newest = samples.Newest();
        if (FAILED(CopyValue(samples.lastValue.Get(), newest.value.Get())))
        {
            // Left as it is; the next sample then counts as a change.
            samples.ResetLastSent();
        }
        samples.lastQuality = newest.quality;
        for (DWORD i = 0; i < taken; ++i, ++n)
        {
            SOpcDaSample& sample = samples.At(i);
            t->serverHandles.Get()[n] = item.serverHandle;
            t->clientHandles.Get()[n] = item.clientHandle;
            sample.value.MoveTo(&t->values.Get()[n]);
            t->qualities.Get()[n] = sample.quality;
            t->timeStamps.Get()[n] = sample.timeStamp;
            t->errors.Get()[n] = overflowed && SUCCEEDED(sample.error) ? OPC_S_DATAQUEUEOVERFLOW : sample.error;
            t->buffered.Get()[n] = item.bufferEnabled ? 1 : 0;
        }
        samples.Clear();
    }
    t->count = n;
    return t;
}
