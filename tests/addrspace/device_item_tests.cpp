#include "AddressSpaceFixture.h"

#include "OpcVariant.h"

#include <cmath>
#include <string>
#include <vector>

using namespace addrspace_test;

namespace
{
class DeviceItemTest : public AddressSpaceTest
{
protected:
    void SetWords(const char* address, std::vector<WORD> words)
    {
        if (m_fake != nullptr)
            m_fake->SetWords(address, words);
        else
            ASSERT_EQ(0, DevlaneControlSetWords("N.P", address, words.data(), static_cast<LONG>(words.size())));
    }
    std::vector<WORD> Words(const char* address, LONG count)
    {
        std::vector<WORD> words(static_cast<size_t>(count));
        EXPECT_EQ(0, DevlaneControlGetWords("N.P", address, words.data(), count));
        return words;
    }
    // A device read (refresh first) of a real-valued result.
    double ReadReal(const wchar_t* itemId, WORD& quality)
    {
        COpcVariant value;
        EXPECT_EQ(S_OK, ReadValue(itemId, value, &quality, OPC_DA_READ_DEVICE));
        double number = NAN;
        EXPECT_EQ(S_OK, GetDouble(number, *value.Get())) << value->vt;
        return number;
    }
    HRESULT Write(const wchar_t* itemId, const VARIANT& value, WORD* limit = nullptr)
    {
        return Item(itemId)->WriteItem(OPC_DA_READ_DEVICE, value, nullptr, nullptr, limit);
    }
    static const VARIANT* Real(COpcVariant& v, double x)
    {
        SetDouble(v.Get(), x);
        return v.Get();
    }
    std::vector<DWORD> Listed(const wchar_t* itemId)
    {
        COpcDaPropertyList list;
        EXPECT_EQ(S_OK, Item(itemId)->GetProperties(false, list));
        std::vector<DWORD> ids;
        for (size_t i = 0; i < list.GetCount(); ++i)
            ids.push_back(list[i].id);
        return ids;
    }
};

Attributes Linear(const char* address, const char* hir, const char* lir, const char* heu, const char* leu,
                  const char* condition = "Linear", const char* type = "16Bit(UnSigned)")
{
    return {{"DeviceAddress", address},
            {"DataType", type},
            {"SignalCondition", condition},
            {"HighInstrumentRange", hir},
            {"LowInstrumentRange", lir},
            {"HighEU", heu},
            {"LowEU", leu}};
}
} // namespace

TEST_F(DeviceItemTest, RawDeviceWordsAreDecodedAndScaledAsTheirConditionSays)
{
    UseFakeDevice(); // values only: the library adds nothing here
    ASSERT_EQ(
        S_OK,
        LoadQuietly(
            Analog("Bin8", Linear("D0", "127", "-128", "127", "-128", "8Bit Binary", "16Bit(Signed)")) +
            Analog("Bin13", Linear("D1", "8191", "0", "8191", "0", "13Bit Binary")) +
            Analog("Bcd", Linear("D2", "9999", "0", "9999", "0", "4BCD")) +
            Analog("Lin", Linear("D3", "4095", "0", "100", "0")) +
            Analog("Dec", {{"DeviceAddress", "D4"}, {"DecimalPoint", "2"}, {"HighEU", "1000"}, {"LowEU", "-1000"}}) +
            Analog("Over", Linear("D5", "1000", "0", "100000", "-100000", "None", "16Bit(Signed)"))));
    WORD quality = 0;
    SetWords("D0", {0x8005}); // sign bit: 0xFF85, -123
    EXPECT_EQ(-123.0, ReadReal(L"N.P.Bin8", quality));
    SetWords("D0", {0x0085}); // masked to 0x0005
    EXPECT_EQ(5.0, ReadReal(L"N.P.Bin8", quality));
    SetWords("D1", {0xFFFF});
    EXPECT_EQ(8191.0, ReadReal(L"N.P.Bin13", quality));
    EXPECT_EQ(0xC0, quality);

    SetWords("D2", {0x1234});
    EXPECT_EQ(1234.0, ReadReal(L"N.P.Bcd", quality));
    EXPECT_EQ(0xC0, quality);
    SetWords("D2", {0x12A4});
    ReadReal(L"N.P.Bcd", quality);
    EXPECT_EQ(0x40, quality);

    SetWords("D3", {4095});
    EXPECT_EQ(100.0, ReadReal(L"N.P.Lin", quality)); // exactly
    SetWords("D3", {2048});
    EXPECT_NEAR(50.0122100122, ReadReal(L"N.P.Lin", quality), 1e-9);
    SetWords("D3", {0});
    EXPECT_EQ(0.0, ReadReal(L"N.P.Lin", quality));

    SetWords("D4", {static_cast<WORD>(-1234)});
    COpcVariant dec;
    ASSERT_EQ(S_OK, ReadValue(L"N.P.Dec", dec, &quality, OPC_DA_READ_DEVICE));
    ASSERT_EQ(VT_R4, dec->vt);
    EXPECT_EQ(-12.34f, dec->fltVal);

    SetWords("D5", {2000}); // above HighInstrumentRange: sensor failure with the high-limit bit
    EXPECT_EQ(2000.0, ReadReal(L"N.P.Over", quality));
    EXPECT_EQ(0x12, quality);
    COpcVariant stored;
    ASSERT_EQ(S_OK, Item(L"N.P.Over")->GetPropertyValue(OPC_DA_PROP_QUALITY, stored.Get()));
    EXPECT_EQ(0x12, stored->iVal); // the read's check stays on the item until the next refresh
}

TEST_F(DeviceItemTest, AFailedRefreshShowsCommFailureFirstAndLastKnownAfterAGoodValue)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A", {{"DeviceAddress", "D7"}})));
    COpcDaDeviceItem* item = Item(L"N.P.A");
    SetWords("D7", {42});
    ASSERT_EQ(0, DevlaneControlInjectFailure("ReadDevice16M", static_cast<LONG>(0xC0B00010), 1, nullptr));
    FILETIME before = {};
    COpcVariant value;
    WORD quality = 0;
    item->GetRawValue(value.Get(), &quality, &before);
    item->Poll(0, 0, 1000);
    FILETIME after = {};
    ASSERT_EQ(S_OK, item->ReadItem(OPC_DA_READ_CACHE, value.Get(), &after, &quality));
    EXPECT_EQ(0x18, quality);
    EXPECT_EQ(0, CompareFileTime(&before, &after)); // no new time stamp without a value

    item->Poll(1, 0, 1000);
    ASSERT_EQ(S_OK, item->ReadItem(OPC_DA_READ_CACHE, value.Get(), nullptr, &quality));
    EXPECT_EQ(0xC0, quality);
    EXPECT_EQ(42, value->iVal);
    SetWords("D7", {43});
    ASSERT_EQ(0, DevlaneControlInjectFailure("ReadDevice16M", static_cast<LONG>(0xC0B00010), 1, nullptr));
    item->Poll(2, 0, 1000);
    ASSERT_EQ(S_OK, item->ReadItem(OPC_DA_READ_CACHE, value.Get(), nullptr, &quality));
    EXPECT_EQ(0x14, quality);
    EXPECT_EQ(42, value->iVal);
    // A failed refresh is logged by the wrapper, not raised to the reader.
    EXPECT_NE(std::wstring::npos, Records().front().find(L"API      = ReadDevice16M"));
}

TEST_F(DeviceItemTest, StringsAreCutToDataCountOnWriteAndReadPastTheOldFixedBuffer)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Text("S", {{"DeviceAddress", "D30"}, {"DataCount", "8"}}) +
                                Text("Long", {{"DeviceAddress", "D1000"}, {"DataCount", "600"}})));
    COpcVariant text;
    SetString(text.Get(), COpcString(L"ABCDEFGHIJKL"));
    ASSERT_EQ(S_OK, Write(L"N.P.S", *text.Get()));
    char raw[12] = {};
    ASSERT_EQ(S_OK, m_api->ReadDeviceStrM(COpcString(L"N.P"), COpcString(L"D30"), raw, 10));
    EXPECT_STREQ("ABCDEFGH", raw);
    COpcVariant read;
    ASSERT_EQ(S_OK, ReadValue(L"N.P.S", read, nullptr, OPC_DA_READ_DEVICE));
    ASSERT_EQ(VT_BSTR, read->vt);
    EXPECT_STREQ(L"ABCDEFGH", read->bstrVal);

    // An empty text is written as one zero byte.
    SetString(text.Get(), COpcString());
    ASSERT_EQ(S_OK, Write(L"N.P.S", *text.Get()));
    ASSERT_EQ(S_OK, ReadValue(L"N.P.S", read, nullptr, OPC_DA_READ_DEVICE));
    EXPECT_EQ(0u, SysStringLen(read->bstrVal));

    std::vector<WORD> words(300);
    for (size_t i = 0; i < words.size(); ++i)
        words[i] = static_cast<WORD>('a' + i % 26) | static_cast<WORD>(('a' + (i + 1) % 26) << 8);
    SetWords("D1000", words);
    ASSERT_EQ(S_OK, ReadValue(L"N.P.Long", read, nullptr, OPC_DA_READ_DEVICE));
    EXPECT_EQ(600u, SysStringLen(read->bstrVal));
}

TEST_F(DeviceItemTest, WritesAreScaledBackToRawAndRefusedOutsideTheEuRange)
{
    UseRuntime();
    ASSERT_EQ(
        S_OK,
        LoadQuietly(
            Analog("Lin", Linear("D3", "4095", "0", "100", "0")) +
            Analog("Dec", {{"DeviceAddress", "D4"}, {"DecimalPoint", "2"}, {"HighEU", "1000"}, {"LowEU", "-1000"}}) +
            Analog("Bcd", Linear("D6", "9999", "0", "9999", "0", "4BCD", "16Bit(Signed)"))));
    COpcVariant v;
    ASSERT_EQ(S_OK, Write(L"N.P.Lin", *Real(v, 50.0)));
    EXPECT_EQ(2048, Words("D3", 1)[0]); // 2047.5 rounds to even
    WORD quality = 0;
    EXPECT_NEAR(50.0122100122, ReadReal(L"N.P.Lin", quality), 1e-9);
    ASSERT_EQ(S_OK, Write(L"N.P.Lin", *Real(v, 100.0)));
    EXPECT_EQ(4095, Words("D3", 1)[0]);

    ASSERT_EQ(S_OK, Write(L"N.P.Dec", *Real(v, -12.34)));
    EXPECT_EQ(static_cast<WORD>(-1234), Words("D4", 1)[0]);
    ASSERT_EQ(S_OK, Write(L"N.P.Bcd", *Real(v, 1234)));
    EXPECT_EQ(0x1234, Words("D6", 1)[0]);

    const LONG writes = DevlaneControlCallCount("WriteDevice16DM");
    WORD limit = 0;
    EXPECT_EQ(OPC_E_RANGE, Write(L"N.P.Lin", *Real(v, 150.0), &limit));
    EXPECT_EQ(0x56, limit);
    EXPECT_EQ(OPC_E_RANGE, Write(L"N.P.Lin", *Real(v, -0.5), &limit));
    EXPECT_EQ(0x55, limit);
    EXPECT_EQ(writes, DevlaneControlCallCount("WriteDevice16DM")); // nothing reached the device
    EXPECT_EQ(4095, Words("D3", 1)[0]);
}

TEST_F(DeviceItemTest, BitsFollowInverseBothWaysAndTypesMustMatch)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Digital("Bits", {{"DeviceAddress", "M0"}, {"DataCount", "4"}, {"Inverse", "On"}}) +
                                Digital("One", {{"DeviceAddress", "M8"}})));
    SetWords("M0", {0x000D}); // bits 1 0 1 1
    COpcVariant value;
    ASSERT_EQ(S_OK, ReadValue(L"N.P.Bits", value, nullptr, OPC_DA_READ_DEVICE));
    ASSERT_EQ(VT_ARRAY | VT_BOOL, value->vt);
    {
        COpcSafeArrayAccess access(value->parray);
        auto* flags = static_cast<VARIANT_BOOL*>(access.Data());
        EXPECT_EQ(VARIANT_FALSE, flags[0]);
        EXPECT_EQ(VARIANT_TRUE, flags[1]);
        EXPECT_EQ(VARIANT_FALSE, flags[2]);
        EXPECT_EQ(VARIANT_FALSE, flags[3]);
        flags[0] = flags[1] = VARIANT_TRUE;
        flags[2] = flags[3] = VARIANT_FALSE;
    }
    ASSERT_EQ(S_OK, Write(L"N.P.Bits", *value.Get()));
    EXPECT_EQ(0x000C, Words("M0", 1)[0] & 0x000F);

    COpcVariant wrongType;
    SetInt32(wrongType.Get(), 1);
    EXPECT_EQ(OPC_E_BADTYPE, Write(L"N.P.One", *wrongType.Get()));
    COpcVariant on;
    SetBool(on.Get(), true);
    ASSERT_EQ(S_OK, Write(L"N.P.One", *on.Get()));
    EXPECT_EQ(1, (Words("M8", 1)[0]) & 1);
}

TEST_F(DeviceItemTest, PropertiesFollowTheTagKindAndTheirFixedOrder)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A", {{"ScanCycle", "5"}, {"Description", "Level"}}) + Digital("D") + Text("S") +
                                Analog("W", {{"ScanCycle", "0"}})));
    EXPECT_EQ((std::vector<DWORD>{1,   2,   3,    4,    5,    6,    7,    101,  100,  102,  103,  104,
                                  105, 306, 5007, 5009, 5003, 5000, 5001, 5002, 5004, 5005, 5006, 5011}),
              Listed(L"N.P.A"));
    EXPECT_EQ(
        (std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7, 101, 106, 107, 5008, 5003, 5000, 5001, 5002, 5004, 5005, 5006, 5011}),
        Listed(L"N.P.D"));
    EXPECT_EQ((std::vector<DWORD>{1, 2, 3, 4, 5, 6, 7, 101, 5010, 5003, 5000, 5001, 5002, 5004, 5005, 5006, 5011}),
              Listed(L"N.P.S"));

    COpcDaDeviceItem* analog = Item(L"N.P.A");
    COpcVariant value;
    EXPECT_EQ(OPC_E_INVALID_PID, analog->GetPropertyValue(OPC_DA_PROP_INVERSE, value.Get()));
    ASSERT_EQ(S_OK, analog->GetPropertyValue(OPC_DA_PROP_SCANRATE, value.Get()));
    EXPECT_EQ(VT_R4, value->vt);
    EXPECT_EQ(500.0f, value->fltVal);
    ASSERT_EQ(S_OK, analog->GetPropertyValue(OPC_DA_PROP_EUINFO, value.Get())); // answered, not listed
    EXPECT_EQ(VT_ARRAY | VT_BSTR, value->vt);
    ASSERT_EQ(S_OK, analog->GetPropertyValue(OPC_DA_PROP_NODE_NAME, value.Get()));
    EXPECT_STREQ(L"N", value->bstrVal);
    EXPECT_EQ(OPC_E_INVALID_PID, analog->GetPropertyValue(4711, value.Get()));

    // A write-only tag lists its value but cannot be read.
    COpcDaDeviceItem* writeOnly = Item(L"N.P.W");
    EXPECT_EQ(OPC_E_BADRIGHTS, writeOnly->ReadItem(OPC_DA_READ_CACHE, value.Get(), nullptr, nullptr));
    COpcDaPropertyList list;
    ASSERT_EQ(S_OK, writeOnly->GetProperties(true, list));
    EXPECT_EQ(2u, list[1].id);
    EXPECT_EQ(OPC_E_BADRIGHTS, list[1].result);

    // Property writes take the property's own type and replace the attribute.
    COpcVariant text;
    SetString(text.Get(), COpcString(L"Tank"));
    EXPECT_EQ(S_OK, analog->WriteItem(OPC_DA_PROP_DESC, *text.Get(), nullptr, nullptr));
    EXPECT_EQ(OPC_E_BADTYPE, analog->WriteItem(OPC_DA_PROP_HIEU, *text.Get(), nullptr, nullptr));
    EXPECT_EQ(OPC_E_INVALID_PID, analog->WriteItem(OPC_DA_PROP_CLOSE, *text.Get(), nullptr, nullptr));
    ASSERT_EQ(S_OK, analog->ReadItem(OPC_DA_PROP_DESC, value.Get(), nullptr, nullptr));
    EXPECT_STREQ(L"Tank", value->bstrVal);
    // Texts that drive the value handling accept only what they understand.
    SetString(text.Get(), COpcString(L"Maybe"));
    EXPECT_EQ(OPC_E_RANGE, Item(L"N.P.D")->WriteItem(OPC_DA_PROP_INVERSE, *text.Get(), nullptr, nullptr));
}

TEST_F(DeviceItemTest, ReadOnlyItemsRefuseClientWritesButNotInternalOnes)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A", {{"DeviceAddress", "D9"}})));
    COpcDaDeviceItem* item = Item(L"N.P.A");
    item->SetReadOnly(true);
    COpcVariant v;
    SetInt16(v.Get(), 7);
    EXPECT_EQ(OPC_E_BADRIGHTS, item->WriteItem(OPC_DA_READ_DEVICE, *v.Get(), nullptr, nullptr));
    const WORD quality = 0x44;
    FILETIME stamp = {12345, 0};
    ASSERT_EQ(S_OK, item->WriteItem(OPC_DA_READ_DEVICE, *v.Get(), &stamp, &quality, nullptr, true));
    EXPECT_EQ(7, Words("D9", 1)[0]);
    WORD after = 0;
    FILETIME afterStamp = {};
    item->GetRawValue(v.Get(), &after, &afterStamp);
    EXPECT_EQ(0x44, after);
    EXPECT_EQ(12345u, afterStamp.dwLowDateTime);
}

TEST_F(DeviceItemTest, BitTagsLongerThanOneBitWriteAreReadOnly)
{
    UseRuntime();
    ASSERT_EQ(S_OK, LoadQuietly(Digital("Fits", {{"DeviceAddress", "M0"}, {"DataCount", "256"}}) +
                                Digital("Long", {{"DeviceAddress", "M300"}, {"DataCount", "257"}}) +
                                Digital("LongWriteOnly",
                                        {{"DeviceAddress", "M600"}, {"DataCount", "300"}, {"ScanCycle", "0"}})));
    // Neither readable nor writable: refused at load.
    EXPECT_EQ(nullptr, Item(L"N.P.LongWriteOnly"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.LongWriteOnly", L"DataCount"));

    struct
    {
        const wchar_t* id;
        ULONG bits;
        LONG rights;
        HRESULT write;
    } cases[] = {{L"N.P.Fits", 256, 3, S_OK}, {L"N.P.Long", 257, 1, OPC_E_BADRIGHTS}};
    for (const auto& c : cases)
    {
        COpcDaDeviceItem* item = Item(c.id);
        ASSERT_NE(nullptr, item);
        COpcVariant value;
        ASSERT_EQ(S_OK, item->GetPropertyValue(OPC_DA_PROP_RIGHTS, value.Get()));
        EXPECT_EQ(c.rights, value->lVal) << c.id;
        // Rights widened through the property still never reach the library with too many bits.
        SetInt32(value.Get(), 3);
        ASSERT_EQ(S_OK, item->WriteItem(OPC_DA_PROP_RIGHTS, *value.Get(), nullptr, nullptr));
        COpcVariant flags;
        flags->vt = VT_ARRAY | VT_BOOL;
        flags->parray = SafeArrayCreateVector(VT_BOOL, 0, c.bits);
        {
            COpcSafeArrayAccess access(flags->parray);
            auto* data = static_cast<VARIANT_BOOL*>(access.Data());
            for (ULONG i = 0; i < c.bits; ++i)
                data[i] = VARIANT_TRUE;
        }
        EXPECT_EQ(c.write, Write(c.id, *flags.Get())) << c.id;
    }
    EXPECT_EQ(0xFFFF, Words("M0", 16)[15]);
    EXPECT_EQ(0, Words("M300", 1)[0]);
}
