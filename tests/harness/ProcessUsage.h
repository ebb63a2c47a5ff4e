// What another process holds: threads, handles and committed private bytes,
// read the way Wine answers. Wine gives 0 for GetProcessHandleCount and
// PrivateUsage of another process, so handles are counted in the system's
// handle table and private bytes summed over the process's address space.
#pragma once

#include "OpcHandle.h"

#include <windows.h>
#include <psapi.h>
#include <tlhelp32.h>
#include <winternl.h>

#include <cstdio>
#include <string>
#include <vector>

struct ProcessUsage
{
    DWORD threads = 0;
    DWORD handles = 0;
    SIZE_T privateBytes = 0;
};

inline DWORD HandlesOf(DWORD pid)
{
    struct Entry
    {
        ULONG ownerPid;
        BYTE objectType;
        BYTE flags;
        USHORT value;
        PVOID object;
        ULONG access;
    };
    struct Table
    {
        ULONG count;
        Entry entries[1];
    };
    const auto SystemHandleInformation = static_cast<SYSTEM_INFORMATION_CLASS>(16);
    std::vector<BYTE> buffer(1 << 20);
    ULONG length = 0;
    NTSTATUS status;
    while ((status = NtQuerySystemInformation(SystemHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size()),
                                              &length)) == static_cast<NTSTATUS>(0xC0000004) &&
           buffer.size() < (256u << 20))
        buffer.resize(buffer.size() * 2);
    if (status != 0)
        return 0;
    const Table* table = reinterpret_cast<const Table*>(buffer.data());
    DWORD n = 0;
    for (ULONG i = 0; i < table->count; ++i)
        n += table->entries[i].ownerPid == pid ? 1 : 0;
    return n;
}

inline SIZE_T PrivateBytesOf(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS_EX memory = {};
    memory.cb = sizeof memory;
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&memory), sizeof memory) &&
        memory.PrivateUsage != 0)
        return memory.PrivateUsage;
    SIZE_T total = 0;
    MEMORY_BASIC_INFORMATION region = {};
    for (const char* at = nullptr; VirtualQueryEx(process, at, &region, sizeof region) == sizeof region;
         at = static_cast<const char*>(region.BaseAddress) + region.RegionSize)
    {
        if (region.State == MEM_COMMIT && region.Type == MEM_PRIVATE)
            total += region.RegionSize;
    }
    return total;
}

inline ProcessUsage UsageOf(DWORD pid)
{
    ProcessUsage usage;
    usage.handles = HandlesOf(pid);
    COpcHandle process(OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, pid));
    if (process)
        usage.privateBytes = PrivateBytesOf(process.Get());
    COpcHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0));
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = snapshot && Thread32First(snapshot.Get(), &entry); more;
         more = Thread32Next(snapshot.Get(), &entry))
        usage.threads += entry.th32OwnerProcessID == pid ? 1 : 0;
    return usage;
}

inline std::string Describe(const ProcessUsage& u)
{
    char text[96];
    std::snprintf(text, sizeof text, "%lu threads, %lu handles, %.1f MB", static_cast<unsigned long>(u.threads),
                  static_cast<unsigned long>(u.handles), u.privateBytes / 1048576.0);
    return text;
}
