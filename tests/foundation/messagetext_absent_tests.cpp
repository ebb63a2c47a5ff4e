// Runs from a folder without "Kelmsg.dll": message texts are then empty, and
// callers fall back to their own wording.
#include "OpcString.h"

#include <gtest/gtest.h>

TEST(MessageTextWithoutLibrary, EveryTextIsEmpty)
{
    ASSERT_EQ(nullptr, GetModuleHandleW(L"Kelmsg.dll"));
    for (DWORD id = 0x48000; id <= 0x4800A; ++id)
        EXPECT_TRUE(MessageText(id).IsEmpty()) << std::hex << id;
    EXPECT_EQ(nullptr, GetModuleHandleW(L"Kelmsg.dll"));
}
