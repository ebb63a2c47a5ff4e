#include "OpcVersionInfo.h"

#include "OpcTaskMem.h"

#include <cstdio>

COpcVersionInfo ReadVersionInfo(HMODULE module)
{
    COpcVersionInfo info;
    info.description = COpcString(L"Unknown");
    wchar_t path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(module, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return info;
    DWORD ignored = 0;
    DWORD size = GetFileVersionInfoSizeW(path, &ignored);
    COpcTaskMem<BYTE> data;
    if (size == 0 || !data.Allocate(size) || !GetFileVersionInfoW(path, 0, size, data.Get()))
        return info;

    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT length = 0;
    if (VerQueryValueW(data.Get(), L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed != nullptr &&
        length >= sizeof(VS_FIXEDFILEINFO))
    {
        info.major = HIWORD(fixed->dwFileVersionMS);
        info.minor = LOWORD(fixed->dwFileVersionMS);
        info.build = HIWORD(fixed->dwFileVersionLS);
        info.revision = LOWORD(fixed->dwFileVersionLS);
    }

    struct Translation
    {
        WORD language;
        WORD codePage;
    }* translations = nullptr;
    if (VerQueryValueW(data.Get(), L"\\VarFileInfo\\Translation", reinterpret_cast<void**>(&translations), &length) &&
        translations != nullptr && length >= sizeof(Translation))
    {
        wchar_t key[64];
        swprintf(key, 64, L"\\StringFileInfo\\%04x%04x\\FileDescription", translations[0].language,
                 translations[0].codePage);
        wchar_t* text = nullptr;
        if (VerQueryValueW(data.Get(), key, reinterpret_cast<void**>(&text), &length) && text != nullptr &&
            length > 0 && text[0] != L'\0')
            info.description = COpcString(text);
    }
    return info;
}
