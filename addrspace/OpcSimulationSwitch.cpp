#include "OpcSimulationSwitch.h"

#include "OpcTaskMem.h"
#include "OpcXml.h"

namespace
{
// The program's directory: its full path without the last "\\" and what follows.
COpcString ProgramFolder()
{
    // Grow the buffer until the path fits, so a long path is never cut.
    for (DWORD size = MAX_PATH; size <= 32768; size *= 2)
    {
        COpcTaskMem<wchar_t> buffer;
        if (!buffer.Allocate(size))
            return COpcString();
        DWORD length = GetModuleFileNameW(nullptr, buffer.Get(), size);
        if (length == 0)
            return COpcString();
        if (length < size)
        {
            COpcString path(buffer.Get(), length);
            int slash = path.ReverseFind(L"\\");
            return slash > 0 ? path.Mid(0, static_cast<UINT>(slash)) : COpcString();
        }
    }
    return COpcString();
}
} // namespace

bool ReadSimulationSwitch(const COpcString& directory)
{
    // Without a directory the name alone would be looked up elsewhere.
    if (directory.IsEmpty())
        return false;
    COpcXmlDocument document;
    if (FAILED(document.Load(directory + COpcString(L"\\OpcConfiguration.xml"))))
        return false;
    COpcXmlAttribute enabled = document.DocumentElement().Child(COpcString(L"Simulation")).Attribute(COpcString(L"Enabled"));
    if (enabled.IsNull())
        return false;
    bool value = false;
    return ParseBoolean(enabled.Text().TextOrEmpty(), value) && value;
}

bool ReadSimulationSwitch()
{
    return ReadSimulationSwitch(ProgramFolder());
}
