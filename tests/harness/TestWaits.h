// Waits of the tests on a state the code under test reaches by itself. The
// ceiling is far above what any wait takes even on a loaded machine, so only
// a fault reaches it; no test asserts how long anything took.
#pragma once

#include <windows.h>

constexpr DWORD kWaitCeilingMs = 30000;

// Checks the condition until it holds (true) or the ceiling has passed (false).
template <class Condition>
bool WaitFor(Condition condition, DWORD ceilingMs = kWaitCeilingMs)
{
    const ULONGLONG end = GetTickCount64() + ceilingMs;
    while (!condition())
    {
        if (GetTickCount64() >= end)
            return false;
        Sleep(10);
    }
    return true;
}
