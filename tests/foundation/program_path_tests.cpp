#include "OpcProgramPath.h"

#include <gtest/gtest.h>

TEST(DirectoryOfPath, IsEverythingBeforeTheLastSeparator)
{
    struct Case
    {
        const wchar_t* path;
        const wchar_t* directory;
    };
    const Case cases[] = {
        {L"tagbridge.exe", L""},       {L"\\tagbridge.exe", L""},
        {L"C:\\tagbridge.exe", L"C:"}, {L"C:\\Program Files\\Vantrel\\tagbridge.exe", L"C:\\Program Files\\Vantrel"},
        {L"C:\\dir\\", L"C:\\dir"},    {L"", L""},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.path);
        EXPECT_STREQ(c.directory, DirectoryOfPath(COpcString(c.path)).TextOrEmpty());
    }
}
