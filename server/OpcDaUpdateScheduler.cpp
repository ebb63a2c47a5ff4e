#include "OpcDaUpdateScheduler.h"

#include "OpcDaDevicePoller.h"
#include "OpcDaGroup.h"
#include "OpcDaSettings.h"

#include <new>

DWORD OpcDaBaseCycle(const COpcDaSettings* settings)
{
    DWORD base = 0;
    if (settings != nullptr)
        base = settings->simulationEnabled ? settings->simulationInterval : settings->baseTick;
    return base != 0 ? base : 100;
}

COpcDaUpdateScheduler::COpcDaUpdateScheduler(COpcDaSettings& settings) : m_settings(settings) {}

COpcDaUpdateScheduler::~COpcDaUpdateScheduler()
{
    Stop();
}

bool COpcDaUpdateScheduler::Start()
{
    if (m_thread.IsRunning())
        return true;
    return m_thread.Start(&COpcDaUpdateScheduler::Body, this, INFINITE, THREAD_PRIORITY_NORMAL,
                          OpcThreadRole::UpdateScheduler);
}

void COpcDaUpdateScheduler::Stop()
{
    {
        // Scheduler lock before group lock, so a last release may end a group here.
        COpcLockGuard guard(m_lock);
        while (!m_groups.IsEmpty())
            m_groups.RemoveTail();
    }
    // The thread sees the request within one sleep slice or at once through
    // its stop message; a pass under way finishes first.
    m_thread.Stop(INFINITE);
}

bool COpcDaUpdateScheduler::AddGroup(COpcDaGroup* group)
{
    if (group == nullptr)
        return false;
    COpcLockGuard guard(m_lock);
    for (const COpcComPtr<COpcDaGroup>& listed : m_groups)
    {
        if (listed.Get() == group)
            return true;
    }
    return m_groups.AddTail(COpcComPtr<COpcDaGroup>::FromBorrowed(group)) != nullptr;
}

void COpcDaUpdateScheduler::RemoveGroup(COpcDaGroup* group)
{
    // The list's reference is dropped with no lock held.
    COpcComPtr<COpcDaGroup> found;
    {
        COpcLockGuard guard(m_lock);
        for (auto* node = m_groups.GetHead(); node != nullptr; node = node->next)
        {
            if (node->value.Get() == group)
            {
                found = std::move(node->value);
                m_groups.RemoveAt(node);
                break;
            }
        }
    }
}

bool COpcDaUpdateScheduler::Follow(COpcDaGroup* group)
{
    COpcLockGuard guard(m_lock);
    if (group->IsActive() && !group->IsRemoved())
        return AddGroup(group);
    RemoveGroup(group);
    return true;
}

size_t COpcDaUpdateScheduler::GroupCount()
{
    COpcLockGuard guard(m_lock);
    return m_groups.GetCount();
}

void COpcDaUpdateScheduler::Body(void* data, bool stopping)
{
    // The stop message and the stop flag end the sleep; nothing else to release.
    if (!stopping && data != nullptr)
        static_cast<COpcDaUpdateScheduler*>(data)->Run();
}

void COpcDaUpdateScheduler::Run()
{
    COpcCycleTimer timer;
    ULONGLONG tick = 0;
    while (!m_thread.IsStopRequested())
    {
        const DWORD base = OpcDaBaseCycle(&m_settings);
        COpcCycleTimer::Sleep(m_thread, timer.NextWait(base));
        size_t count = 0;
        {
            COpcLockGuard guard(m_lock);
            if (m_thread.IsStopRequested())
                break;
            count = ScanAll(tick, base);
            ++tick;
        }
        // The pass's own references, dropped with no lock held.
        for (size_t i = 0; i < count; ++i)
            m_pass[i].Reset();
    }
}

size_t COpcDaUpdateScheduler::ScanAll(ULONGLONG tick, DWORD base)
{
    // The pass works on a referenced copy of the list: a scan can end in a
    // server's final release, which takes groups off the list meanwhile.
    const size_t count = m_groups.GetCount();
    if (count > m_passCapacity)
    {
        std::unique_ptr<COpcDaGroupHold[]> grown(new (std::nothrow) COpcDaGroupHold[count * 2]);
        if (!grown)
            return 0; // no pass this tick; the next one tries again
        m_pass = std::move(grown);
        m_passCapacity = count * 2;
    }
    size_t n = 0;
    for (const COpcComPtr<COpcDaGroup>& group : m_groups)
        m_pass[n++].Reset(group.Get());
    for (size_t i = 0; i < n; ++i)
    {
        // An inactive or removed group can be listed for a moment when a
        // deactivation overtook its activation; it leaves here.
        if (!m_pass[i]->Scan(tick, base))
            RemoveGroup(m_pass[i].Get());
    }
    return n;
}
