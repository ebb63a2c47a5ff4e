// The clocks the benchmarks read: wall time, and the CPU time of the calling
// thread or of the whole process, which a shared machine disturbs less.
#pragma once

#include <windows.h>

#include <cstdint>

namespace bench_clock
{
inline double Now()
{
    LARGE_INTEGER f;
    LARGE_INTEGER c;
    QueryPerformanceFrequency(&f);
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / double(f.QuadPart);
}

inline double Seconds(const FILETIME& kernel, const FILETIME& user)
{
    const auto seconds = [](const FILETIME& t)
    { return double((uint64_t(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 1e7; };
    return seconds(kernel) + seconds(user);
}

inline double ThreadCpu()
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return Seconds(kernel, user);
}

inline double ProcessCpu()
{
    FILETIME created;
    FILETIME exited;
    FILETIME kernel;
    FILETIME user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return Seconds(kernel, user);
}
} // namespace bench_clock
