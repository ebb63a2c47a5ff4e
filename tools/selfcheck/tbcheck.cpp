// Prints the version and a self-check of what is installed beside it: the
// message library and the text rules the configuration reader depends on.
#include "OpcString.h"

#include <cstdio>

namespace
{
int failures = 0;

void Check(const char* what, bool ok, const wchar_t* detail = nullptr)
{
    std::printf("  %-44s %s", what, ok ? "ok" : "FAILED");
    if (detail != nullptr)
        std::printf("  (%ls)", detail);
    std::printf("\n");
    if (!ok)
        ++failures;
}
} // namespace

int wmain()
{
    std::printf("tagbridge %s - OPC DA server \"Vantrel.Kestrix.1\"\n", TAGBRIDGE_VERSION);
    std::printf("self-check:\n");

    COpcString description = MessageText(0x4800A);
    Check("message library Kelmsg.dll", !description.IsEmpty(), description.Text());

    uint16_t cycle = 0;
    Check("scan cycle text \"0x3E8\" reads 1000", ParseUInt16(L"0x3E8", cycle) && cycle == 1000);
    bool enabled = false;
    Check("switch text \"TRUE\" reads true", ParseBoolean(L"TRUE", enabled) && enabled);
    Check("real 1/3 writes 16 digits", ValueToText(1.0 / 3.0).Equals(L"0.3333333333333333"));

    std::printf("%s\n", failures == 0 ? "self-check passed" : "self-check FAILED");
    return failures == 0 ? 0 : 1;
}
