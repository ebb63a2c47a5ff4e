#include "OpcString.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cstring>
#include <string>

namespace
{
std::wstring W(const COpcString& s)
{
    return s.IsEmpty() ? std::wstring() : std::wstring(s.Text());
}
} // namespace

TEST(OpcString, EmptyTextsHaveNoStorageAndReadAsNull)
{
    COpcString a;
    COpcString b(L"");
    COpcString c(static_cast<const wchar_t*>(nullptr));
    for (const COpcString* s : {&a, &b, &c})
    {
        EXPECT_TRUE(s->IsEmpty());
        EXPECT_EQ(nullptr, s->Text());
        EXPECT_EQ(0u, s->Length());
        EXPECT_EQ(nullptr, s->NarrowText());
        EXPECT_STREQ(L"", s->TextOrEmpty());
    }
    EXPECT_EQ(0, a.Compare(b));
}

TEST(OpcString, CopiesShareOneRecordAndSelfAssignmentIsHarmless)
{
    COpcString a(L"Tank1.Level");
    COpcString b(a);
    EXPECT_TRUE(a.SharesWith(b));
    COpcString c;
    c = b;
    EXPECT_TRUE(c.SharesWith(a));
    c = c;
    c = std::move(c);
    EXPECT_EQ(L"Tank1.Level", W(c));
    a = L"other";
    EXPECT_EQ(L"Tank1.Level", W(b));
    EXPECT_FALSE(a.SharesWith(b));
}

TEST(OpcString, GuidTextIsBracedUpperCase)
{
    const GUID guid = {0x39c13a4d, 0x011e, 0x11d0, {0x96, 0x75, 0x00, 0x20, 0xaf, 0xd8, 0xad, 0xb3}};
    COpcString s(guid);
    EXPECT_EQ(L"{39C13A4D-011E-11D0-9675-0020AFD8ADB3}", W(s));
    EXPECT_EQ(38u, s.Length());
}

TEST(OpcString, NarrowConversions)
{
    EXPECT_EQ(L"Pump\u00e9", W(COpcString::FromUtf8First("Pump\xc3\xa9")));
    // Invalid UTF-8 falls back to the ANSI code page (1252 here: 0xE9 is e-acute).
    EXPECT_EQ(L"Pump\u00e9", W(COpcString::FromUtf8First("Pump\xe9")));
    EXPECT_EQ(L"abc", W(COpcString::FromAnsi("abc")));
    EXPECT_TRUE(COpcString::FromAnsi("").IsEmpty());
    EXPECT_TRUE(COpcString::FromUtf8First(nullptr).IsEmpty());

    COpcString s(L"Valve 7");
    EXPECT_STREQ("Valve 7", s.NarrowText());
    EXPECT_EQ(s.NarrowText(), s.NarrowText()); // cached, not remade

    char buffer[4] = "xyz";
    EXPECT_EQ(nullptr, WideToNarrow(buffer, nullptr, 4, CP_ACP));
    EXPECT_EQ(nullptr, WideToNarrow(buffer, L"too long", 4, CP_ACP));
    EXPECT_STREQ("", buffer);
    EXPECT_STREQ("ab", WideToNarrow(buffer, L"ab", 4, CP_ACP));

    wchar_t* dup = DuplicateText(L"");
    ASSERT_NE(nullptr, dup);
    EXPECT_STREQ(L"", dup);
    CoTaskMemFree(dup);
    EXPECT_EQ(nullptr, DuplicateText(L"", true));
    EXPECT_EQ(nullptr, DuplicateText(nullptr));
    EXPECT_EQ(nullptr, NarrowToWideAnsi(""));
}

TEST(OpcString, AppendMidAndFind)
{
    COpcString left(L"Line1");
    COpcString same = left;
    left += COpcString();
    EXPECT_TRUE(left.SharesWith(same));
    EXPECT_EQ(L"Line1.Motor", W(left + COpcString(L".Motor")));
    EXPECT_EQ(L".Motor", W(COpcString() + COpcString(L".Motor")));

    COpcString s(L"ABCDEF");
    EXPECT_EQ(L"CD", W(s.Mid(2, 2)));
    EXPECT_EQ(L"CDEF", W(s.Mid(2)));
    EXPECT_EQ(L"CDEF", W(s.Mid(2, 100)));
    EXPECT_TRUE(s.Mid(6).IsEmpty());
    EXPECT_TRUE(s.Mid(99, 1).IsEmpty());
    EXPECT_TRUE(s.Mid(1, 0).IsEmpty());

    COpcString path(L"Node.Dev.Group.dev.Tag");
    EXPECT_EQ(5, path.Find(L"DEV"));         // any case
    EXPECT_EQ(15, path.ReverseFind(L"dev")); // exact case, last place
    EXPECT_EQ(5, path.ReverseFind(L"Dev"));
    EXPECT_EQ(-1, path.ReverseFind(L"DEV"));
    EXPECT_EQ(-1, path.Find(L""));
    EXPECT_EQ(-1, COpcString().Find(L"a"));
    EXPECT_EQ(-1, COpcString(L"ab").Find(L"abc"));
}

TEST(OpcString, ComparisonIsOrdinalWithEmptyFirst)
{
    EXPECT_LT(COpcString().Compare(COpcString(L"a")), 0);
    EXPECT_GT(COpcString(L"a").Compare(COpcString()), 0);
    EXPECT_LT(COpcString(L"B").Compare(COpcString(L"a")), 0);
    EXPECT_EQ(0, COpcString(L"Tag").Compare(COpcString(L"TAG"), true));
    EXPECT_LT(COpcString(L"ab").Compare(COpcString(L"abc")), 0);
    // Code units above 0x7FFF must not sort as negative numbers.
    EXPECT_GT(COpcString(L"\u3042").Compare(COpcString(L"z")), 0);
    EXPECT_TRUE(COpcString(L"x").Equals(L"x"));
    EXPECT_TRUE(COpcString().Equals(nullptr));
}

TEST(OpcString, CaseChangeOfAllOrOneCharacter)
{
    COpcString s(L"Tank A1");
    EXPECT_EQ(L"tank a1", W(s.ToLower()));
    EXPECT_EQ(L"TANK A1", W(s.ToUpper()));
    EXPECT_EQ(L"TAnk A1", W(s.ToUpper(1)));
    EXPECT_EQ(L"Tank A1", W(s.ToUpper(99)));
    EXPECT_EQ(L"Tank A1", W(s)); // the source is left alone
}

TEST(OpcString, HashIsTimes33AndEmptyIsAllOnes)
{
    EXPECT_EQ(65u, COpcString(L"A").Hash());
    EXPECT_EQ(65u * 33u + 66u, COpcString(L"AB").Hash());
    EXPECT_EQ(0xFFFFFFFFu, COpcString().Hash());
    // Wraps at 32 bits rather than saturating.
    std::wstring longText(40, L'z');
    DWORD expected = 0;
    for (wchar_t c : longText)
        expected = expected * 33u + c;
    EXPECT_EQ(expected, COpcString(longText.c_str()).Hash());
}

TEST(OpcStringParse, UnsignedDecimalAndHexForms)
{
    uint8_t u8 = 1;
    uint16_t u16 = 1;
    uint32_t u32 = 1;
    uint64_t u64 = 1;
    for (const wchar_t* text : {L"0x1F", L"0X1f", L"  0x1f trailing"})
    {
        EXPECT_TRUE(ParseUInt8(text, u8)) << text;
        EXPECT_EQ(31, u8);
        EXPECT_TRUE(ParseUInt16(text, u16));
        EXPECT_EQ(31, u16);
        EXPECT_TRUE(ParseUInt32(text, u32));
        EXPECT_EQ(31u, u32);
        EXPECT_TRUE(ParseUInt64(text, u64));
        EXPECT_EQ(31u, u64);
    }
    for (const wchar_t* text :
         {L"0x", L"-1", L"", L"   ", L"1F", L"0x1G", L"+5", L"x1F", static_cast<const wchar_t*>(nullptr)})
    {
        u8 = 7;
        u64 = 7;
        EXPECT_FALSE(ParseUInt8(text, u8));
        EXPECT_EQ(0, u8);
        EXPECT_FALSE(ParseUInt64(text, u64));
        EXPECT_EQ(0u, u64);
    }
    EXPECT_TRUE(ParseUInt8(L"255", u8));
    EXPECT_EQ(255, u8);
    EXPECT_FALSE(ParseUInt8(L"256", u8));
    EXPECT_FALSE(ParseUInt8(L"0x100", u8));
    EXPECT_TRUE(ParseUInt16(L"65535", u16));
    EXPECT_FALSE(ParseUInt16(L"65536", u16));
    EXPECT_TRUE(ParseUInt32(L"0xFFFFFFFF", u32));
    EXPECT_EQ(0xFFFFFFFFu, u32);
    EXPECT_FALSE(ParseUInt32(L"4294967296", u32));
    EXPECT_TRUE(ParseUInt64(L"18446744073709551615", u64));
    EXPECT_EQ(UINT64_MAX, u64);
    EXPECT_FALSE(ParseUInt64(L"18446744073709551616", u64));
    EXPECT_FALSE(ParseUInt64(L"0x10000000000000000", u64));
    EXPECT_FALSE(ParseUInt64(L"99999999999999999999999", u64));
    EXPECT_TRUE(ParseUInt16(L"12 apples", u16));
    EXPECT_EQ(12, u16);
}

TEST(OpcStringParse, SignedLimitsAtEveryWidth)
{
    int8_t i8 = 0;
    int16_t i16 = 0;
    int32_t i32 = 0;
    int64_t i64 = 0;
    EXPECT_TRUE(ParseInt8(L"-128", i8));
    EXPECT_EQ(-128, i8);
    EXPECT_TRUE(ParseInt8(L"127", i8));
    EXPECT_FALSE(ParseInt8(L"128", i8));
    EXPECT_EQ(0, i8);
    EXPECT_FALSE(ParseInt8(L"-129", i8));
    EXPECT_TRUE(ParseInt16(L"-32768", i16));
    EXPECT_EQ(-32768, i16);
    EXPECT_FALSE(ParseInt16(L"32768", i16));
    EXPECT_TRUE(ParseInt32(L"-2147483648", i32));
    EXPECT_EQ(INT32_MIN, i32);
    EXPECT_FALSE(ParseInt32(L"2147483648", i32));
    EXPECT_TRUE(ParseInt64(L"-9223372036854775808", i64));
    EXPECT_EQ(INT64_MIN, i64);
    EXPECT_TRUE(ParseInt64(L"9223372036854775807", i64));
    EXPECT_EQ(INT64_MAX, i64);
    EXPECT_FALSE(ParseInt64(L"9223372036854775808", i64));
    EXPECT_FALSE(ParseInt64(L"-9223372036854775809", i64));

    EXPECT_TRUE(ParseInt32(L"- 5", i32));
    EXPECT_EQ(-5, i32);
    EXPECT_TRUE(ParseInt32(L"+42", i32));
    EXPECT_EQ(42, i32);
    EXPECT_TRUE(ParseInt32(L"-0", i32));
    EXPECT_EQ(0, i32);
    for (const wchar_t* text : {L"0x10", L"+-5", L"--5", L"-", L"+", L"5-", L"1.0", L""})
    {
        i32 = 9;
        EXPECT_FALSE(ParseInt32(text, i32)) << text;
        EXPECT_EQ(0, i32);
    }
}

TEST(OpcStringParse, RealsTakeTheWholeFirstWord)
{
    double d = 1;
    EXPECT_TRUE(ParseDouble(L"1.5e3", d));
    EXPECT_EQ(1500.0, d);
    EXPECT_TRUE(ParseDouble(L"   2.25 kPa", d));
    EXPECT_EQ(2.25, d);
    EXPECT_FALSE(ParseDouble(L"1.5x", d));
    EXPECT_EQ(0.0, d);
    EXPECT_FALSE(ParseDouble(L"", d));
    EXPECT_FALSE(ParseDouble(L"  ", d));
    EXPECT_FALSE(ParseDouble(L"1,5", d));
    float f = 1;
    EXPECT_TRUE(ParseFloat(L"-0.5", f));
    EXPECT_EQ(-0.5f, f);
    EXPECT_FALSE(ParseFloat(L"abc", f));
    EXPECT_EQ(0.0f, f);
}

TEST(OpcStringParse, BooleanNumbersAndWords)
{
    bool b = false;
    for (const wchar_t* text : {L"TRUE", L"True", L"true", L"2", L"-1", L" 7 "})
    {
        b = false;
        EXPECT_TRUE(ParseBoolean(text, b)) << text;
        EXPECT_TRUE(b) << text;
    }
    for (const wchar_t* text : {L"0", L"false", L"FALSE"})
    {
        b = true;
        EXPECT_TRUE(ParseBoolean(text, b)) << text;
        EXPECT_FALSE(b) << text;
    }
    // Words are compared whole, without trimming.
    for (const wchar_t* text :
         {L"yes", L" true", L"true ", L"tru", L"truee", L"", static_cast<const wchar_t*>(nullptr)})
    {
        b = true;
        EXPECT_FALSE(ParseBoolean(text, b));
        EXPECT_FALSE(b);
    }
}

TEST(OpcStringFormat, NumbersAsText)
{
    EXPECT_EQ(L"-128", W(ValueToText(static_cast<int8_t>(-128))));
    EXPECT_EQ(L"-32768", W(ValueToText(static_cast<int16_t>(-32768))));
    EXPECT_EQ(L"255", W(ValueToText(static_cast<uint8_t>(255))));
    EXPECT_EQ(L"4294967295", W(ValueToText(static_cast<uint32_t>(0xFFFFFFFFu))));
    EXPECT_EQ(L"-9223372036854775808", W(ValueToText(INT64_MIN)));
    EXPECT_EQ(L"18446744073709551615", W(ValueToText(UINT64_MAX)));
    EXPECT_EQ(L"0.1", W(ValueToText(0.1f)));
    EXPECT_EQ(L"0.3333333333333333", W(ValueToText(1.0 / 3.0)));
    EXPECT_EQ(L"0.33333334", W(ValueToText(1.0f / 3.0f)));
    EXPECT_EQ(L"1500", W(ValueToText(1500.0)));

    wchar_t small[4];
    FormatText(small, 4, L"%d", 123456);
    EXPECT_STREQ(L"123", small); // truncated but terminated
}

TEST(MessageText, LanguageIsJapaneseOnlyForJapaneseSystems)
{
    EXPECT_EQ(1041, MessageTextLanguage(1041));
    EXPECT_EQ(1033, MessageTextLanguage(1033));
    EXPECT_EQ(1033, MessageTextLanguage(1031));
    EXPECT_EQ(1033, MessageTextLanguage(2052));
}

TEST(MessageText, FirstLineInTheSystemLanguage)
{
    // The test prefix runs with an English system language.
    ASSERT_NE(1041, GetSystemDefaultLangID());
    COpcString description = MessageText(0x4800A);
    ASSERT_FALSE(description.IsEmpty());
    EXPECT_EQ(std::wstring::npos, W(description).find_first_of(L"\r\n"));
    EXPECT_NE(std::wstring::npos, W(description).find(L"OPC"));
    for (DWORD id = 0x48000; id <= 0x4800A; ++id)
        EXPECT_FALSE(MessageText(id).IsEmpty()) << std::hex << id;
    EXPECT_TRUE(MessageText(0x4800B).IsEmpty());

    // The Japanese texts are there for Japanese systems.
    HMODULE library = GetModuleHandleW(L"Kelmsg.dll");
    ASSERT_NE(nullptr, library);
    wchar_t buffer[256] = {};
    ASSERT_NE(0u, FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, library, 0x48000, 1041,
                                 buffer, 256, nullptr));
    bool japanese = false;
    for (const wchar_t* p = buffer; *p != L'\0'; ++p)
        japanese = japanese || *p >= 0x3000;
    EXPECT_TRUE(japanese) << "no Japanese script in the 1041 text";
}
