#include "OpcProgramPath.h"

#include "OpcTaskMem.h"

COpcString DirectoryOfPath(const COpcString& path)
{
    int slash = path.ReverseFind(L"\\");
    return slash >= 0 ? path.Mid(0, static_cast<UINT>(slash)) : COpcString();
}

COpcString ProgramDirectory()
{
    // Grown until the path fits: a cut path would name another directory.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2)
    {
        COpcTaskMem<wchar_t> buffer;
        if (!buffer.Allocate(size))
            return COpcString();
        DWORD length = GetModuleFileNameW(nullptr, buffer.Get(), size);
        if (length == 0)
            return COpcString();
        if (length < size)
            return DirectoryOfPath(COpcString(buffer.Get(), length));
    }
    return COpcString();
}
