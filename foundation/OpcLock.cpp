#include "OpcLock.h"

#include <cstdint>

// A word-sized lock, made recursive by the owner and depth kept beside it.
// Every item has a lock, so its size counts: 12 bytes where a critical section
// with the same bookkeeping took 48 (and Wine closes a critical section's
// semaphore through its server at teardown, which for 100,000 items took
// seconds). Taking a free lock is one compare-exchange, leaving it one
// exchange; a waiter spins briefly, then sleeps in one of a few shared
// waiting rooms picked by the lock's address (the program runs on systems
// without a wait on an address).
namespace
{
enum : LONG
{
    Free = 0,
    Held = 1,
    // Held, and somebody may be asleep on the word: the holder wakes one as it leaves.
    Contended = 2
};
const int kSpins = 1000;

struct SWaitingRoom
{
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE changed = CONDITION_VARIABLE_INIT;
};
SWaitingRoom g_rooms[64];

SWaitingRoom& RoomOf(const void* lock) noexcept
{
    const auto address = reinterpret_cast<uintptr_t>(lock);
    return g_rooms[(address >> 4 ^ address >> 10) % (sizeof(g_rooms) / sizeof(g_rooms[0]))];
}
} // namespace

COpcLock::COpcLock() noexcept : m_state(Free), m_ownerThread(NoOwner), m_depth(0) {}

COpcLock::~COpcLock() = default;

bool COpcLock::Recursed(DWORD self) noexcept
{
    if (m_ownerThread.load(std::memory_order_relaxed) != self)
        return false;
    ++m_depth;
    return true;
}

void COpcLock::Acquired(DWORD self) noexcept
{
    m_ownerThread.store(self, std::memory_order_relaxed);
    m_depth = 1;
}

void COpcLock::Enter() noexcept
{
    const DWORD self = GetCurrentThreadId();
    if (Recursed(self))
        return;
    LONG expected = Free;
    if (!m_state.compare_exchange_strong(expected, Held, std::memory_order_acquire))
        Wait();
    Acquired(self);
}

void COpcLock::Wait() noexcept
{
    for (int i = 0; i < kSpins; ++i)
    {
        LONG expected = Free;
        if (m_state.load(std::memory_order_relaxed) == Free &&
            m_state.compare_exchange_weak(expected, Held, std::memory_order_acquire))
            return;
        YieldProcessor();
    }
    // From here on the lock is taken as contended, so that its holder wakes
    // the sleepers whoever they are. The state is set and checked inside the
    // room, and the holder wakes inside it, so no wake falls between the two.
    SWaitingRoom& room = RoomOf(this);
    AcquireSRWLockExclusive(&room.lock);
    while (m_state.exchange(Contended, std::memory_order_acquire) != Free)
        SleepConditionVariableSRW(&room.changed, &room.lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&room.lock);
}

bool COpcLock::TryEnter() noexcept
{
    const DWORD self = GetCurrentThreadId();
    if (Recursed(self))
        return true;
    LONG expected = Free;
    if (!m_state.compare_exchange_strong(expected, Held, std::memory_order_acquire))
        return false;
    Acquired(self);
    return true;
}

void COpcLock::Leave() noexcept
{
    // Only the holder can see its own id here: every other thread reads either
    // NoOwner or the id of the real holder.
    if (!IsHeldByCurrentThread())
        return;
    if (--m_depth != 0)
        return;
    m_ownerThread.store(NoOwner, std::memory_order_relaxed);
    if (m_state.exchange(Free, std::memory_order_release) == Contended)
    {
        // A room is shared by several locks, so everybody in it looks again.
        SWaitingRoom& room = RoomOf(this);
        AcquireSRWLockExclusive(&room.lock);
        WakeAllConditionVariable(&room.changed);
        ReleaseSRWLockExclusive(&room.lock);
    }
}
