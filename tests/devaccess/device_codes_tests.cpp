#include "OpcDeviceCodes.h"

#include <gtest/gtest.h>

TEST(MapDeviceCode, TableEdgesAndEveryUnknownCodeAFailure)
{
    EXPECT_EQ(370u, DeviceCodeTableSize());
    const uint32_t unknown = 0xC0048400; // a device failure, never success
    struct
    {
        uint32_t code;
        uint32_t hr;
    } cases[] = {
        {0xC0B00000, 0xC0048000},
        {0xC0B0003F, 0xC004803F},
        {0xC0B00040, unknown},
        {0xC0B0005F, unknown},
        {0xC0B00060, 0xC0048060},
        {0xC0B000AF, 0xC00480AF},
        {0xC0B000E0, 0xC00480E0},
        {0xC0B000EF, 0xC00480EF},
        {0xC0B00200, 0xC0048200},
        {0xC0B0020D, 0xC004820D},
        {0xC0B0020E, unknown},
        {0xC0B0020F, 0xC004820F},
        {0xC0B00286, 0xC0048286},
        {0xC0B002A8, 0xC00482A8},
        {0xC0B002A9, unknown},
        {0xC0B00701, 0x80004001},
        {0xC0B00703, 0x80004003},
        {0xC0B00705, 0x8007000E},
        {0xC0B00706, 0x80070057},
        {0xC0B00708, 0x80040201},
        {0xC0B00709, unknown},
        {0xC0B00710, 0xC0040001},
        {0xC0B00714, 0xC0040007},
        {0xC0B0071C, 0xC0040203},
        {0xC0B00723, 0xC0040406},
        {0xC0B00730, 0xC0049000},
        {0xC0B0073A, 0xC004900A},
        {0xC0B0073D, 0xC004900D},
        {0xC0B0073E, unknown},
        {0xC0B00001, 0xC0048001},
        {0xC0B00300, unknown},
        {0xC0B10000, unknown},
        // Only 0 is success: codes below the table, positive values and S_FALSE are failures.
        {0x80004005, unknown},
        {0xC0AFFFFF, unknown},
        {0, 0},
        {1, unknown},
        {0x7FFFFFFF, unknown},
        {0xFFFFFFFF, unknown},
    };
    for (const auto& c : cases)
    {
        bool known = false;
        EXPECT_EQ(static_cast<HRESULT>(c.hr), MapDeviceCode(static_cast<LONG>(c.code), &known)) << std::hex << c.code;
        EXPECT_EQ(c.hr != unknown, known) << std::hex << c.code;
    }
}
