// COpcLock: the one lock of the server, a recursive lock that remembers
// which thread holds it and how deeply. Every shared object embeds
// one; COpcLockGuard holds it for a scope.
#pragma once

#include <windows.h>
#include <atomic>

class COpcLock
{
public:
    static constexpr DWORD NoOwner = 0xFFFFFFFFu;

    COpcLock() noexcept;
    ~COpcLock();

    COpcLock(const COpcLock&) = delete;
    COpcLock& operator=(const COpcLock&) = delete;

    void Enter() noexcept;
    // Enters only when that needs no wait; true when the lock is now held.
    bool TryEnter() noexcept;
    // Leaves one level. A call from a thread that does not hold the lock is
    // ignored: releasing someone else's lock would corrupt it.
    void Leave() noexcept;

    // Thread id of the holder, NoOwner when free.
    DWORD OwnerThread() const noexcept { return m_ownerThread.load(std::memory_order_relaxed); }
    bool IsHeldByCurrentThread() const noexcept { return OwnerThread() == GetCurrentThreadId(); }
    // How often the calling thread has entered the lock; 0 when it does not hold it.
    LONG Depth() const noexcept { return IsHeldByCurrentThread() ? m_depth : 0; }

private:
    bool Recursed(DWORD self) noexcept;
    void Acquired(DWORD self) noexcept;
    void Wait() noexcept;

    std::atomic<LONG> m_state;
    // Written only while the lock is held; read without it for owner checks.
    std::atomic<DWORD> m_ownerThread;
    LONG m_depth;
};

// Enters a lock for a scope. Release() leaves early; Reenter() takes the lock
// again after an early release (the destructor then leaves it once more).
class COpcLockGuard
{
public:
    explicit COpcLockGuard(COpcLock& lock) noexcept : m_lock(&lock), m_entered(0) { Reenter(); }
    ~COpcLockGuard() { Release(); }

    COpcLockGuard(const COpcLockGuard&) = delete;
    COpcLockGuard& operator=(const COpcLockGuard&) = delete;

    void Release() noexcept
    {
        for (; m_entered > 0; --m_entered)
            m_lock->Leave();
    }

    void Reenter() noexcept
    {
        if (m_entered == 0)
        {
            m_lock->Enter();
            m_entered = 1;
        }
    }

    bool IsHeld() const noexcept { return m_entered != 0; }

private:
    COpcLock* m_lock;
    int m_entered;
};
