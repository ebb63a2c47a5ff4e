// Reads and writes of every width through the library functions, checked
// against the raw device words, and the bit packing of bit reads and writes.
#include "DevlaneTestSupport.h"

#include <cstring>
#include <vector>

using namespace devlane_test;

namespace
{
class DevlaneValues : public DevlaneTest
{
protected:
    Handle h;
};
} // namespace

TEST_F(DevlaneValues, SixteenBitValuesRoundTripAndLandOneWordEach)
{
    const short in[4] = {1, -2, 32767, -32768};
    ASSERT_EQ(0, WriteDevice16DM(h, "N1.P1", "D0", in, 4));
    EXPECT_EQ(0x0001, RawWord("D0"));
    EXPECT_EQ(0xFFFE, RawWord("D1"));
    EXPECT_EQ(0x7FFF, RawWord("D2"));
    EXPECT_EQ(0x8000, RawWord("D3"));
    short out[4] = {};
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", out, 4));
    EXPECT_EQ(0, std::memcmp(in, out, sizeof in));
    // Hex word areas number their words in hex.
    const short w = 0x1234;
    ASSERT_EQ(0, WriteDevice16DM(h, "N1.P1", "W1F", &w, 1));
    EXPECT_EQ(0x1234, RawWord("W1F"));
    EXPECT_EQ("ok 4660", Command("get N1.P1 W1F int16"));
}

TEST_F(DevlaneValues, ThirtyTwoBitValuesPutTheLowWordFirst)
{
    const LONG in[2] = {0x12345678, -1};
    ASSERT_EQ(0, WriteDevice32DM(h, "N1.P1", "D10", in, 2));
    EXPECT_EQ(0x5678, RawWord("D10"));
    EXPECT_EQ(0x1234, RawWord("D11"));
    EXPECT_EQ(0xFFFF, RawWord("D12"));
    EXPECT_EQ(0xFFFF, RawWord("D13"));
    LONG out[2] = {};
    ASSERT_EQ(0, ReadDevice32M(h, "N1.P1", "D10", out, 2));
    EXPECT_EQ(in[0], out[0]);
    EXPECT_EQ(in[1], out[1]);
    EXPECT_EQ("ok 4294967295", Command("get N1.P1 D12 uint32"));
}

TEST_F(DevlaneValues, BcdIsCodedInTheDeviceAndDecimalAtTheCaller)
{
    const short in16 = 1234;
    ASSERT_EQ(0, WriteDeviceBCD16DM(h, "N1.P1", "D0", &in16, 1));
    EXPECT_EQ(0x1234, RawWord("D0"));
    short out16 = 0;
    ASSERT_EQ(0, ReadDeviceBCD16M(h, "N1.P1", "D0", &out16, 1));
    EXPECT_EQ(1234, out16);

    const LONG in32 = 12345678;
    ASSERT_EQ(0, WriteDeviceBCD32DM(h, "N1.P1", "D2", &in32, 1));
    EXPECT_EQ(0x5678, RawWord("D2"));
    EXPECT_EQ(0x1234, RawWord("D3"));
    LONG out32 = 0;
    ASSERT_EQ(0, ReadDeviceBCD32M(h, "N1.P1", "D2", &out32, 1));
    EXPECT_EQ(12345678, out32);
}

TEST_F(DevlaneValues, BadBcdFailsWithoutTouchingOutputOrMemory)
{
    WORD raw[2] = {0x0012, 0x12A4};
    ASSERT_EQ(0, DevlaneControlSetWords("N1.P1", "D0", raw, 2));
    short out[2] = {-7, -7};
    EXPECT_EQ(kBadBcd, ReadDeviceBCD16M(h, "N1.P1", "D0", out, 2));
    EXPECT_EQ(-7, out[0]);
    EXPECT_EQ(-7, out[1]);

    // One value out of range refuses the whole write.
    const short in[2] = {5, 10000};
    EXPECT_EQ(kBadBcd, WriteDeviceBCD16DM(h, "N1.P1", "D0", in, 2));
    EXPECT_EQ(0x0012, RawWord("D0"));
    const short negative = -1;
    EXPECT_EQ(kBadBcd, WriteDeviceBCD16DM(h, "N1.P1", "D0", &negative, 1));
    const LONG tooBig = 100000000;
    EXPECT_EQ(kBadBcd, WriteDeviceBCD32DM(h, "N1.P1", "D4", &tooBig, 1));
}

TEST_F(DevlaneValues, LongReadsDeliverEveryElementAndNothingOnFailure)
{
    // Beyond what a read gathers on the stack: 700 words, 350 of them as 32-bit values.
    std::vector<WORD> raw(700);
    for (size_t i = 0; i < raw.size(); ++i)
        raw[i] = static_cast<WORD>(0x0101 * (i % 200) + 3);
    ASSERT_EQ(0, DevlaneControlSetWords("N1.P2", "D100", raw.data(), static_cast<LONG>(raw.size())));
    std::vector<short> s(701, -1);
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P2", "D100", s.data(), 700));
    EXPECT_EQ(0, std::memcmp(raw.data(), s.data(), 700 * sizeof(short)));
    EXPECT_EQ(-1, s[700]);
    std::vector<LONG> l(350, 0);
    ASSERT_EQ(0, ReadDevice32M(h, "N1.P2", "D100", l.data(), 350));
    EXPECT_EQ(static_cast<LONG>(raw[698] | (static_cast<DWORD>(raw[699]) << 16)), l[349]);
    char text[600] = {};
    ASSERT_EQ(0, ReadDeviceStrM(h, "N1.P2", "D100", text, 599));
    EXPECT_EQ(static_cast<char>(raw[298] >> 8), text[597]); // two characters a word, the first in the low byte
    EXPECT_EQ(static_cast<char>(raw[299] & 0xFF), text[598]);
    EXPECT_EQ('\0', text[599]);

    // A bad BCD word at the very end fails the whole read and writes nothing.
    std::vector<WORD> bcd(400, 0x1234);
    bcd[399] = 0x00A0;
    ASSERT_EQ(0, DevlaneControlSetWords("N1.P2", "D1000", bcd.data(), 400));
    std::vector<short> out(400, 55);
    EXPECT_EQ(kBadBcd, ReadDeviceBCD16M(h, "N1.P2", "D1000", out.data(), 400));
    EXPECT_EQ(std::vector<short>(400, 55), out);
    ASSERT_EQ(0, ReadDeviceBCD16M(h, "N1.P2", "D1000", out.data(), 399));
    EXPECT_EQ(1234, out[398]);
    EXPECT_EQ(55, out[399]);
}

TEST_F(DevlaneValues, RealsKeepEveryBit)
{
    const float f[2] = {1.0f, -0.1f};
    ASSERT_EQ(0, WriteDeviceFloatDM(h, "N1.P1", "D20", f, 2));
    EXPECT_EQ(0x0000, RawWord("D20"));
    EXPECT_EQ(0x3F80, RawWord("D21"));
    float fout[2] = {};
    ASSERT_EQ(0, ReadDeviceFloatM(h, "N1.P1", "D20", fout, 2));
    EXPECT_EQ(0, std::memcmp(f, fout, sizeof f));

    const double d[2] = {0.1, -1e300};
    ASSERT_EQ(0, WriteDeviceDoubleDM(h, "N1.P1", "D30", d, 2));
    double dout[2] = {};
    ASSERT_EQ(0, ReadDeviceDoubleM(h, "N1.P1", "D30", dout, 2));
    EXPECT_EQ(0, std::memcmp(d, dout, sizeof d));
    EXPECT_EQ("ok 0.10000000000000001", Command("get N1.P1 D30 double"));
}

TEST_F(DevlaneValues, StringsPackTwoCharactersPerWordAndAddNoTerminator)
{
    ASSERT_EQ(0, WriteDeviceStrDM(h, "N1.P1", "D40", "ABCDE", 5));
    EXPECT_EQ(0x4241, RawWord("D40"));
    EXPECT_EQ(0x4443, RawWord("D41"));
    EXPECT_EQ(0x0045, RawWord("D42")); // an odd count fills the word's high byte with zero
    char text[8];
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(0, ReadDeviceStrM(h, "N1.P1", "D40", text, 5));
    EXPECT_EQ(0, std::memcmp(text, "ABCDEx", 6));
    std::memset(text, 'x', sizeof text);
    ASSERT_EQ(0, ReadDeviceStrM(h, "N1.P1", "D40", text, 3));
    EXPECT_EQ(0, std::memcmp(text, "ABCx", 4));
}

TEST_F(DevlaneValues, BitReadsPackBitIIntoBitIMod16OfWordIDiv16)
{
    // M0, M15, M16 and M32 on; M17 on as well, beyond a 17-bit read.
    ASSERT_EQ("ok", Command("set N1.P1 M15 bit 1 1 1"));
    ASSERT_EQ("ok", Command("set N1.P1 M0 bit 1"));
    ASSERT_EQ("ok", Command("set N1.P1 M32 bit 1"));
    WORD words[3] = {0xFFFF, 0xFFFF, 0xFFFF};
    ASSERT_EQ(0, ReadDeviceBitM(h, "N1.P1", "M0", words, 17));
    EXPECT_EQ(0x8001, words[0]);
    EXPECT_EQ(0x0001, words[1]); // only bit 16 of the read; M17 lies outside it
    EXPECT_EQ(0xFFFF, words[2]); // not part of a 17-bit answer

    WORD w33[3] = {};
    ASSERT_EQ(0, ReadDeviceBitM(h, "N1.P1", "M0", w33, 33));
    EXPECT_EQ(0x8001, w33[0]);
    EXPECT_EQ(0x0003, w33[1]);
    EXPECT_EQ(0x0001, w33[2]);

    // A start inside a word shifts the packing with it.
    WORD shifted = 0;
    ASSERT_EQ(0, ReadDeviceBitM(h, "N1.P1", "M15", &shifted, 3));
    EXPECT_EQ(0x0007, shifted);
}

TEST_F(DevlaneValues, BitWritesTakeTheCountFromPackedWords)
{
    ASSERT_EQ("ok", Command("set N1.P1 M20 bit 1"));
    WORD words[16] = {0x0001, 0x000A}; // flags 0, 17 and 19 of a 20-flag write
    ASSERT_EQ(0, WriteDeviceBitDM(h, "N1.P1", "M0", words, 20));
    EXPECT_EQ("ok 1 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 0 1 0 1 1", Command("get N1.P1 M0 bit 21"));

    // Hex bit areas: X1F is bit 31, the top bit of the word read from X10.
    const WORD on = 1;
    ASSERT_EQ(0, WriteDeviceBitDM(h, "N1.P1", "X1F", &on, 1));
    short word = 0;
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P1", "X10", &word, 1));
    EXPECT_EQ(static_cast<short>(0x8000), word);
}

TEST_F(DevlaneValues, BitsOfWordsAddressOneBitOfTheWord)
{
    const WORD on = 1;
    ASSERT_EQ(0, WriteDeviceBitDM(h, "N1.P1", "D5.3", &on, 1));
    ASSERT_EQ(0, WriteDeviceBitDM(h, "N1.P1", "D5.F", &on, 1));
    EXPECT_EQ(0x8008, RawWord("D5"));
    WORD bits = 0;
    ASSERT_EQ(0, ReadDeviceBitM(h, "N1.P1", "D5", &bits, 16));
    EXPECT_EQ(0x8008, bits);
    // A bit of a word holds no wider value.
    short word = 0;
    EXPECT_EQ(kBadAddress, ReadDevice16M(h, "N1.P1", "D5.3", &word, 1));
}

TEST_F(DevlaneValues, AddressesOutsideTheFormatOrTheMemoryFail)
{
    short out = 99;
    for (const char* bad : {"Q5", "D", "DX", "D-1", "D1.G", "D1.10", "M1A", "X1G", "M3.1", "D 1", "", "Sheet.Nothing"})
        EXPECT_EQ(kBadAddress, ReadDevice16M(h, "N1.P1", bad, &out, 1)) << bad;
    EXPECT_EQ(kBadAddress, ReadDevice16M(h, "N1.P1", nullptr, &out, 1));
    EXPECT_EQ(kAddressRange, ReadDevice16M(h, "N1.P1", "D100", &out, 1)); // D has 100 words here
    LONG out32 = 99;
    EXPECT_EQ(kAddressRange, ReadDevice32M(h, "N1.P1", "D99", &out32, 1));
    EXPECT_EQ(99, out32);
    EXPECT_EQ(kAddressRange, ReadDevice16M(h, "N1.P1", "M49", &out, 1)); // 16 bits from M49 pass M63
    EXPECT_EQ(99, out);
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P1", "M48", &out, 1));
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P2", "D8191", &out, 1)); // default size elsewhere
    EXPECT_EQ(kAddressRange, ReadDevice16M(h, "N1.P2", "D8192", &out, 1));
}

TEST_F(DevlaneValues, CallerMistakesFailWithTheirOwnCodes)
{
    short out = 99;
    EXPECT_EQ(kUnknownDevice, ReadDevice16M(h, "N1.P9", "D0", &out, 1));
    EXPECT_EQ(kUnknownDevice, ReadDevice16M(h, nullptr, "D0", &out, 1));
    EXPECT_EQ(kInvalidArgument, ReadDevice16M(h, "N1.P1", "D0", nullptr, 1));
    EXPECT_EQ(kInvalidArgument, WriteDevice16DM(h, "N1.P1", "D0", nullptr, 1));
    EXPECT_EQ(kBadCount, ReadDevice16M(h, "N1.P1", "D0", &out, 0));
    EXPECT_EQ(kBadCount, ReadDevice16M(h, "N1.P1", "D0", &out, -3));
    EXPECT_EQ(99, out);
    // Device names are matched without regard to case.
    EXPECT_EQ(0, ReadDevice16M(h, "n1.p1", "d0", &out, 1));
}
