#include "OpcLock.h"

COpcLock::COpcLock() noexcept : m_ownerThread(NoOwner), m_depth(0)
{
    // A short spin first: the server's locks are held briefly, and a spin is
    // much cheaper than a kernel wait when another core is about to leave.
    // No debug record: every item has a lock, and the record would be a heap
    // block of its own per lock.
    if (!InitializeCriticalSectionEx(&m_section, 1000, CRITICAL_SECTION_NO_DEBUG_INFO))
        InitializeCriticalSectionAndSpinCount(&m_section, 1000);
}

COpcLock::~COpcLock()
{
    // A section without a debug record that never needed a semaphore holds
    // nothing to release, and Wine would still close the null semaphore
    // through its server: with 100,000 items that took seconds.
    if (m_section.DebugInfo != reinterpret_cast<PRTL_CRITICAL_SECTION_DEBUG>(-1) || m_section.LockSemaphore != nullptr)
        DeleteCriticalSection(&m_section);
}

void COpcLock::Entered() noexcept
{
    if (m_ownerThread.load(std::memory_order_relaxed) == NoOwner)
        m_ownerThread.store(GetCurrentThreadId(), std::memory_order_relaxed);
    ++m_depth;
}

void COpcLock::Enter() noexcept
{
    EnterCriticalSection(&m_section);
    Entered();
}

bool COpcLock::TryEnter() noexcept
{
    if (!TryEnterCriticalSection(&m_section))
        return false;
    Entered();
    return true;
}

void COpcLock::Leave() noexcept
{
    // Only the holder can see its own id here: every other thread reads either
    // NoOwner or the id of the real holder.
    if (!IsHeldByCurrentThread())
        return;
    if (--m_depth == 0)
        m_ownerThread.store(NoOwner, std::memory_order_relaxed);
    LeaveCriticalSection(&m_section);
}
