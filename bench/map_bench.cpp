// Insert and lookup rates of the string-keyed map at the size of a large tag set.
#include "OpcContainers.h"

#include <windows.h>

#include <cstdio>
#include <vector>

namespace
{
double Seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return double(to.QuadPart - from.QuadPart) / double(f.QuadPart);
}
} // namespace

int main()
{
    const int keys = 100000;
    const int lookupRounds = 10;
    std::vector<COpcString> names;
    names.reserve(keys);
    wchar_t buffer[64];
    for (int i = 0; i < keys; ++i)
    {
        FormatText(buffer, 64, L"Line%d.Device%d.Tag%05d", i % 7, i % 31, i);
        names.emplace_back(buffer);
    }

    COpcMap<COpcString, int> map;
    LARGE_INTEGER t0, t1, t2;
    QueryPerformanceCounter(&t0);
    for (int i = 0; i < keys; ++i)
        *map.SetAt(names[i]) = i;
    QueryPerformanceCounter(&t1);
    long long found = 0;
    for (int r = 0; r < lookupRounds; ++r)
    {
        for (int i = 0; i < keys; ++i)
            found += map.Lookup(names[i]) != nullptr;
    }
    QueryPerformanceCounter(&t2);

    double insert = Seconds(t0, t1);
    double lookup = Seconds(t1, t2);
    std::printf("map: %d string keys, %u buckets\n", keys, map.GetBucketCount());
    std::printf("  insert  %10.0f keys/s\n", keys / insert);
    std::printf("  lookup  %10.0f keys/s (%lld found)\n", keys * double(lookupRounds) / lookup, found);
    return found == static_cast<long long>(keys) * lookupRounds ? 0 : 1;
}
