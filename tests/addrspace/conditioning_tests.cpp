#include "OpcConditioning.h"
#include "OpcDaDataTypes.h"
#include "OpcTaskMem.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <vector>

namespace
{
SOpcConditioning Config(uint32_t type, uint32_t condition, double lir, double hir, double leu, double heu,
                        int32_t decimalPoint = 0)
{
    SOpcConditioning c;
    c.typeCode = type;
    c.condition = condition;
    c.decimalPoint = decimalPoint;
    c.lowIR = lir;
    c.highIR = hir;
    c.lowEU = leu;
    c.highEU = heu;
    return c;
}

// A scalar of the given type holding the given bits or number.
void SetI2(COpcVariant& v, uint16_t bits)
{
    v.Clear();
    v->vt = VT_I2;
    v->uiVal = bits;
}

void SetUI2(COpcVariant& v, uint16_t value)
{
    v.Clear();
    v->vt = VT_UI2;
    v->uiVal = value;
}

void SetR8(COpcVariant& v, double value)
{
    v.Clear();
    v->vt = VT_R8;
    v->dblVal = value;
}

template <typename T>
void SetArray(COpcVariant& v, VARTYPE type, const std::vector<T>& values)
{
    v.Clear();
    SAFEARRAY* array = SafeArrayCreateVector(type, 0, static_cast<ULONG>(values.size()));
    ASSERT_NE(array, nullptr);
    T* data = nullptr;
    ASSERT_HRESULT_SUCCEEDED(SafeArrayAccessData(array, reinterpret_cast<void**>(&data)));
    for (size_t i = 0; i < values.size(); ++i)
        data[i] = values[i];
    SafeArrayUnaccessData(array);
    v->vt = static_cast<VARTYPE>(VT_ARRAY | type);
    v->parray = array;
}

template <typename T>
std::vector<T> ArrayOf(const VARIANT& v)
{
    std::vector<T> result;
    if ((v.vt & VT_ARRAY) == 0 || v.parray == nullptr)
        return result;
    T* data = nullptr;
    if (FAILED(SafeArrayAccessData(v.parray, reinterpret_cast<void**>(&data))))
        return result;
    result.assign(data, data + v.parray->rgsabound[0].cElements);
    SafeArrayUnaccessData(v.parray);
    return result;
}

const WORD kUntouched = 0xC0;

// --- tables -------------------------------------------------------------------

TEST(DataTypeTable, LookupsMatchExactly)
{
    for (uint32_t code = 1; code <= kOpcDataTypeCount; ++code)
        EXPECT_EQ(OpcDataTypeByName(OpcDataTypeByCode(code)->name)->code, code);
    EXPECT_EQ(OpcDataTypeByName(L"16Bit(Unsigned)"), nullptr);
    EXPECT_EQ(OpcDataTypeByName(nullptr), nullptr);
    EXPECT_EQ(OpcDataTypeByCode(13), nullptr);
    EXPECT_EQ(OpcTagKindByName(L"analogtag"), 0u);
    uint32_t code = 99;
    EXPECT_FALSE(OpcConditionByName(L"sqrt", code));
    EXPECT_EQ(code, 99u);
    EXPECT_TRUE(OpcConditionByName(L"13Bit Binary", code));
    EXPECT_EQ(code, kOpcCondition13Bit);
}

TEST(DataTypeTable, TypesForKindsCountsAndConditions)
{
    EXPECT_EQ(OpcCanonicalType(kOpcTypeFloat, 2), VT_ARRAY | VT_R4);
    EXPECT_EQ(OpcCanonicalType(kOpcTypeFloat, 1), VT_R4);
    EXPECT_EQ(OpcCanonicalType(kOpcTypeString, 8), VT_BSTR);
    EXPECT_TRUE(OpcTagKindAccepts(kOpcTagAnalog, kOpcTypeBcd32));
    EXPECT_FALSE(OpcTagKindAccepts(kOpcTagAnalog, kOpcTypeBit));
    EXPECT_FALSE(OpcTagKindAccepts(kOpcTagDigital, kOpcTypeInt16));
    EXPECT_FALSE(OpcTagKindAccepts(kOpcTagString, kOpcTypeBit));
    EXPECT_TRUE(OpcConditionAllowed(kOpcTypeHex16, kOpcCondition4Bcd));
    EXPECT_FALSE(OpcConditionAllowed(kOpcTypeHex16, kOpcConditionBcd));
    EXPECT_FALSE(OpcConditionAllowed(kOpcTypeBcd16, kOpcConditionLinear));
    EXPECT_TRUE(OpcConditionAllowed(kOpcTypeInt32, kOpcConditionBcd));
    EXPECT_FALSE(OpcConditionAllowed(kOpcTypeFloat, kOpcCondition3Bcd));
}

TEST(DataTypeTable, InstrumentRangeLimits)
{
    EXPECT_TRUE(OpcInstrumentRangeValid(kOpcTypeInt16, kOpcCondition8Bit, 127, -128));
    EXPECT_FALSE(OpcInstrumentRangeValid(kOpcTypeInt16, kOpcCondition8Bit, 128, 0));
    EXPECT_FALSE(OpcInstrumentRangeValid(kOpcTypeInt16, kOpcCondition13Bit, 0, -4097));
    EXPECT_TRUE(OpcInstrumentRangeValid(kOpcTypeUInt16, kOpcCondition13Bit, 8191, 0));
    EXPECT_FALSE(OpcInstrumentRangeValid(kOpcTypeInt16, kOpcCondition4Bcd, 9999, -1));
    EXPECT_FALSE(OpcInstrumentRangeValid(kOpcTypeBcd32, kOpcConditionNone, 100000000, 0));
    EXPECT_FALSE(OpcInstrumentRangeValid(kOpcTypeUInt32, kOpcConditionLinear, 4294967296.0, 0));
    EXPECT_FALSE(OpcInstrumentRangeValid(kOpcTypeFloat, kOpcConditionNone, NAN, 0));
    EXPECT_FALSE(OpcInstrumentRangeValid(kOpcTypeFloat, kOpcConditionBcd, 1, 0));
}

TEST(DataTypeTable, VendorFilterGroups)
{
    EXPECT_TRUE(OpcVendorFilterAccepts(L"Analog Tag Type", L"32Bit(BCD)"));
    EXPECT_TRUE(OpcVendorFilterAccepts(L"digital tag type", L"Bit"));
    EXPECT_FALSE(OpcVendorFilterAccepts(L"Digital Tag Type", L"bit"));
    EXPECT_FALSE(OpcVendorFilterAccepts(L"Digital Tag Type", L"Float"));
    EXPECT_FALSE(OpcVendorFilterAccepts(L"Analog", L"Float"));
}

// --- BCD and range check ----------------------------------------------------------

TEST(Bcd, EncodesAndDecodesDigits)
{
    uint32_t code = 0;
    EXPECT_TRUE(EncodeBcd(999, code));
    EXPECT_EQ(code, 0x999u);
    EXPECT_TRUE(EncodeBcd(99999999, code));
    EXPECT_EQ(code, 0x99999999u);
    EXPECT_FALSE(EncodeBcd(100000000, code));
    EXPECT_FALSE(EncodeBcd(1000, code, 3));
    EXPECT_TRUE(EncodeBcd(0, code, 3));
    EXPECT_EQ(code, 0u);

    uint32_t value = 0;
    EXPECT_TRUE(DecodeBcd(0x1234, 4, value));
    EXPECT_EQ(value, 1234u);
    EXPECT_TRUE(DecodeBcd(0x9123, 3, value)); // only the lowest three digits
    EXPECT_EQ(value, 123u);
    EXPECT_FALSE(DecodeBcd(0x12A4, 4, value));
    EXPECT_FALSE(DecodeBcd(0xF0000000, 8, value));
}

TEST(CheckRange, ScalarsSetTheLimitBit)
{
    COpcVariant v;
    WORD quality = kUntouched;
    SetR8(v, 5);
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_OK);
    EXPECT_EQ(quality, kUntouched);
    SetR8(v, 10);
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_OK);
    SetR8(v, 10.001);
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_FALSE);
    EXPECT_EQ(quality, 0x12);
    SetR8(v, -0.5);
    EXPECT_EQ(CheckRange(*v.Get(), 0x54, 10, 0, &quality), S_FALSE);
    EXPECT_EQ(quality, 0x55);
    SetR8(v, NAN);
    EXPECT_EQ(CheckRange(*v.Get(), 0x54, 10, 0, &quality), S_FALSE);
    EXPECT_EQ(quality, 0x55);
    SetI2(v, 0xFFFF); // -1 as a signed value
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_FALSE);
    EXPECT_EQ(quality, 0x11);
    v.Clear();
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocString(L"abc");
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_FALSE);
    EXPECT_EQ(quality, 0x11);
}

TEST(CheckRange, FirstElementOutsideDecidesForArrays)
{
    COpcVariant v;
    WORD quality = kUntouched;
    SetArray<double>(v, VT_R8, {5, 20, -5});
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_FALSE);
    EXPECT_EQ(quality, 0x12);
    SetArray<double>(v, VT_R8, {5, -5, 20});
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_FALSE);
    EXPECT_EQ(quality, 0x11);
    SetArray<float>(v, VT_R4, {1, 2, 3});
    quality = kUntouched;
    EXPECT_EQ(CheckRange(*v.Get(), 0x10, 10, 0, &quality), S_OK);
    EXPECT_EQ(quality, kUntouched);
}

// --- read side ------------------------------------------------------------------

TEST(ConditionRead, BinaryFieldsSignExtendAndMask)
{
    // Identity scaling, so the decoded field itself shows.
    const SOpcConditioning signed8 = Config(kOpcTypeInt16, kOpcCondition8Bit, -128, 127, -128, 127);
    COpcVariant v;
    WORD quality = kUntouched;
    SetI2(v, 0x8005);
    EXPECT_EQ(ConditionRead(signed8, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_R8);
    EXPECT_EQ(v->dblVal, -123.0);   // 0xFF85
    EXPECT_EQ(quality, kUntouched); // a negative field is inside its range
    SetI2(v, 0x0085);
    EXPECT_EQ(ConditionRead(signed8, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 5.0);

    const SOpcConditioning unsigned13 = Config(kOpcTypeUInt16, kOpcCondition13Bit, 0, 8191, 0, 8191);
    SetUI2(v, 0xFFFF);
    EXPECT_EQ(ConditionRead(unsigned13, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 8191.0);
    EXPECT_EQ(quality, kUntouched);

    const SOpcConditioning signed15 = Config(kOpcTypeInt16, kOpcCondition15Bit, -16384, 16383, -16384, 16383);
    SetI2(v, 0x8001);
    EXPECT_EQ(ConditionRead(signed15, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, static_cast<double>(static_cast<int16_t>(0xC001)));
}

TEST(ConditionRead, BcdDecodesOrMarksUncertain)
{
    const SOpcConditioning bcd4 = Config(kOpcTypeUInt16, kOpcCondition4Bcd, 0, 9999, 0, 9999);
    COpcVariant v;
    WORD quality = kUntouched;
    SetUI2(v, 0x1234);
    EXPECT_EQ(ConditionRead(bcd4, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 1234.0);
    SetUI2(v, 0x12A4);
    EXPECT_EQ(ConditionRead(bcd4, v.Get(), &quality), S_FALSE);
    EXPECT_EQ(quality, 0x40);

    // 4BCD on a signed word reads all four digits, the top one included.
    const SOpcConditioning signedBcd = Config(kOpcTypeInt16, kOpcCondition4Bcd, 0, 9999, 0, 9999);
    quality = kUntouched;
    SetI2(v, 0x9999);
    EXPECT_EQ(ConditionRead(signedBcd, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 9999.0);
    EXPECT_EQ(quality, kUntouched);

    const SOpcConditioning bcd8 = Config(kOpcTypeInt32, kOpcConditionBcd, 0, 99999999, 0, 99999999);
    v.Clear();
    v->vt = VT_I4;
    v->ulVal = 0x87654321;
    EXPECT_EQ(ConditionRead(bcd8, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 87654321.0);

    // The raw check compares codes with the BCD-coded limits: 0x1000 is above 0x999.
    const SOpcConditioning upTo999 = Config(kOpcTypeUInt16, kOpcCondition4Bcd, 0, 999, 0, 999);
    SetUI2(v, 0x1000);
    EXPECT_EQ(ConditionRead(upTo999, v.Get(), &quality), S_FALSE);
    EXPECT_EQ(quality, 0x12);
}

TEST(ConditionRead, LinearAndSqrtHitTheirEndPoints)
{
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 4095, 0, 100);
    COpcVariant v;
    WORD quality = kUntouched;
    SetUI2(v, 4095);
    EXPECT_EQ(ConditionRead(linear, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 100.0);
    SetUI2(v, 0);
    EXPECT_EQ(ConditionRead(linear, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 0.0);
    SetUI2(v, 2048);
    EXPECT_EQ(ConditionRead(linear, v.Get(), &quality), S_OK);
    EXPECT_NEAR(v->dblVal, 50.0122, 0.0001);

    // Ends that no formula hits exactly still give the configured values.
    const SOpcConditioning odd = Config(kOpcTypeDouble, kOpcConditionLinear, 0.1, 0.7, 0.3, 0.9);
    SetR8(v, 0.7);
    EXPECT_EQ(ConditionRead(odd, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 0.9);

    const SOpcConditioning sqrtScale = Config(kOpcTypeInt32, kOpcConditionSqrt, 0, 100, 0, 10);
    v.Clear();
    v->vt = VT_I4;
    v->lVal = 25;
    EXPECT_EQ(ConditionRead(sqrtScale, v.Get(), &quality), S_OK);
    EXPECT_DOUBLE_EQ(v->dblVal, 5.0);
    v.Clear();
    v->vt = VT_I4;
    v->lVal = 100;
    EXPECT_EQ(ConditionRead(sqrtScale, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->dblVal, 10.0);
    EXPECT_EQ(quality, kUntouched);

    // Below the range there is no root: the low end, flagged by the raw check.
    v.Clear();
    v->vt = VT_I4;
    v->lVal = -4;
    EXPECT_EQ(ConditionRead(sqrtScale, v.Get(), &quality), S_FALSE);
    EXPECT_EQ(v->dblVal, 0.0);
    EXPECT_EQ(quality, 0x11);
}

TEST(ConditionRead, DecimalPointGivesRealsOfTheRightWidth)
{
    COpcVariant v;
    WORD quality = kUntouched;
    const SOpcConditioning int16 = Config(kOpcTypeInt16, kOpcConditionNone, -32768, 32767, -1000, 1000, 2);
    SetI2(v, static_cast<uint16_t>(-1234));
    EXPECT_EQ(ConditionRead(int16, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_R4);
    EXPECT_EQ(v->fltVal, -12.34f);

    // Unsigned 16-bit types read their word unsigned.
    const SOpcConditioning hex16 = Config(kOpcTypeHex16, kOpcConditionNone, 0, 65535, 0, 1000, 2);
    SetUI2(v, 65535);
    EXPECT_EQ(ConditionRead(hex16, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->fltVal, 655.35f);

    const SOpcConditioning uint32 = Config(kOpcTypeUInt32, kOpcConditionNone, 0, 4294967295.0, 0, 1e7, 3);
    v.Clear();
    v->vt = VT_UI4;
    v->ulVal = 4000000000u;
    EXPECT_EQ(ConditionRead(uint32, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_R8);
    EXPECT_EQ(v->dblVal, 4000000.0);

    const SOpcConditioning single = Config(kOpcTypeFloat, kOpcConditionNone, -100, 100, -100, 100, 3);
    v.Clear();
    v->vt = VT_R4;
    v->fltVal = 1.5f;
    EXPECT_EQ(ConditionRead(single, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_R4);
    EXPECT_EQ(v->fltVal, 1.5f);
    EXPECT_EQ(quality, kUntouched);
}

TEST(ConditionRead, FirstFailingStepSetsTheQuality)
{
    COpcVariant v;
    WORD quality = kUntouched;
    // Raw above HIR; the scaled value is above HEU as well, but the raw check came first.
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 1000, 0, 100);
    SetUI2(v, 1500);
    EXPECT_EQ(ConditionRead(linear, v.Get(), &quality), S_FALSE);
    EXPECT_EQ(quality, 0x12);
    EXPECT_EQ(v->dblVal, 150.0);

    // Only the EU range fails.
    const SOpcConditioning none = Config(kOpcTypeInt16, kOpcConditionNone, -32768, 32767, -10, 10);
    SetI2(v, static_cast<uint16_t>(-11));
    EXPECT_EQ(ConditionRead(none, v.Get(), &quality), S_FALSE);
    EXPECT_EQ(quality, 0x55);
    EXPECT_EQ(v->vt, VT_I2);

    // A bad digit outranks the EU range.
    const SOpcConditioning bcd = Config(kOpcTypeUInt16, kOpcCondition4Bcd, 0, 9999, 0, 1);
    SetUI2(v, 0x00A0);
    EXPECT_EQ(ConditionRead(bcd, v.Get(), &quality), S_FALSE);
    EXPECT_EQ(quality, 0x40);
}

TEST(ConditionRead, ArraysConvertEveryElement)
{
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 4095, 0, 100);
    COpcVariant v;
    WORD quality = kUntouched;
    SetArray<uint16_t>(v, VT_UI2, {0, 4095, 2048});
    EXPECT_EQ(ConditionRead(linear, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_ARRAY | VT_R8);
    std::vector<double> values = ArrayOf<double>(*v.Get());
    ASSERT_EQ(values.size(), 3u);
    EXPECT_EQ(values[0], 0.0);
    EXPECT_EQ(values[1], 100.0);
    EXPECT_NEAR(values[2], 50.0122, 0.0001);

    const SOpcConditioning bcd = Config(kOpcTypeUInt16, kOpcCondition4Bcd, 0, 9999, 0, 9999);
    SetArray<uint16_t>(v, VT_UI2, {0x0012, 0x12A4});
    EXPECT_EQ(ConditionRead(bcd, v.Get(), &quality), S_FALSE);
    EXPECT_EQ(quality, 0x40);
    EXPECT_EQ(ArrayOf<double>(*v.Get())[0], 12.0);

    const SOpcConditioning decimals = Config(kOpcTypeInt16, kOpcConditionNone, -32768, 32767, -1000, 1000, 1);
    SetArray<int16_t>(v, VT_I2, {-5, 15});
    quality = kUntouched;
    EXPECT_EQ(ConditionRead(decimals, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_ARRAY | VT_R4);
    EXPECT_EQ(ArrayOf<float>(*v.Get()), (std::vector<float>{-0.5f, 1.5f}));

    // An empty array stays empty.
    SetArray<uint16_t>(v, VT_UI2, {});
    EXPECT_EQ(ConditionRead(linear, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->vt, VT_ARRAY | VT_R8);
    EXPECT_TRUE(ArrayOf<double>(*v.Get()).empty());
}

TEST(ConditionRead, RefusesWhatItCannotCondition)
{
    COpcVariant v;
    WORD quality = kUntouched;
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocString(L"abc");
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 4095, 0, 100);
    EXPECT_EQ(ConditionRead(linear, v.Get(), &quality), OPC_E_BADTYPE);
    EXPECT_EQ(v->vt, VT_BSTR);
    EXPECT_EQ(quality, kUntouched);
    const SOpcConditioning string = Config(kOpcTypeString, kOpcConditionNone, 0, 1, 0, 1);
    EXPECT_EQ(ConditionRead(string, v.Get(), &quality), E_INVALIDARG);
    const SOpcConditioning mismatch = Config(kOpcTypeFloat, kOpcCondition4Bcd, 0, 1, 0, 1);
    SetR8(v, 1);
    EXPECT_EQ(ConditionRead(mismatch, v.Get(), &quality), E_INVALIDARG);
    EXPECT_EQ(ConditionRead(linear, nullptr, &quality), E_POINTER);
}

// --- write side -----------------------------------------------------------------

TEST(ConditionWrite, EuRangeAndInstrumentRangeRefuse)
{
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 4095, 0, 100);
    COpcVariant v;
    WORD quality = kUntouched;
    SetR8(v, 100.5);
    EXPECT_EQ(ConditionWrite(linear, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x56);
    EXPECT_EQ(v->vt, VT_R8); // untouched
    EXPECT_EQ(v->dblVal, 100.5);
    SetR8(v, -1);
    EXPECT_EQ(ConditionWrite(linear, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x55);

    // Within EU but outside the instrument range.
    const SOpcConditioning none = Config(kOpcTypeInt16, kOpcConditionNone, 0, 100, 0, 200);
    v.Clear();
    v->vt = VT_I2;
    v->iVal = 150;
    EXPECT_EQ(ConditionWrite(none, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x12);
    v->iVal = 50;
    EXPECT_EQ(ConditionWrite(none, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->vt, VT_I2);
    EXPECT_EQ(v->iVal, 50);
}

TEST(ConditionWrite, LinearAndSqrtInvertToTheRawType)
{
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 4095, 0, 100);
    COpcVariant v;
    WORD quality = kUntouched;
    SetR8(v, 100);
    ASSERT_EQ(ConditionWrite(linear, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_UI2);
    EXPECT_EQ(v->uiVal, 4095);
    SetR8(v, 0);
    ASSERT_EQ(ConditionWrite(linear, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->uiVal, 0);
    // 2047.5 rounds as the platform rounds: to even.
    SetR8(v, 50);
    ASSERT_EQ(ConditionWrite(linear, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->uiVal, 2048);
    // Integers from a client are scaled as well.
    v.Clear();
    v->vt = VT_I4;
    v->lVal = 25;
    ASSERT_EQ(ConditionWrite(linear, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->uiVal, 1024); // 1023.75

    const SOpcConditioning sqrtScale = Config(kOpcTypeInt32, kOpcConditionSqrt, 0, 100, 0, 10);
    SetR8(v, 5);
    ASSERT_EQ(ConditionWrite(sqrtScale, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_I4);
    EXPECT_EQ(v->lVal, 25);

    // Reals come back in their own type, so the item's type check passes.
    const SOpcConditioning single = Config(kOpcTypeFloat, kOpcConditionLinear, 0, 10, 0, 100);
    SetR8(v, 50);
    ASSERT_EQ(ConditionWrite(single, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_R4);
    EXPECT_EQ(v->fltVal, 5.0f);
    EXPECT_EQ(quality, kUntouched);
}

TEST(ConditionWrite, DecimalPointMultipliesAndChecksTheRawRange)
{
    COpcVariant v;
    WORD quality = kUntouched;
    const SOpcConditioning int16 = Config(kOpcTypeInt16, kOpcConditionNone, -32768, 32767, -1000, 1000, 2);
    SetR8(v, -12.34);
    ASSERT_EQ(ConditionWrite(int16, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_I2);
    EXPECT_EQ(v->iVal, -1234);
    SetR8(v, 327.68);
    EXPECT_EQ(ConditionWrite(int16, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x12);
    SetR8(v, -327.69);
    EXPECT_EQ(ConditionWrite(int16, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x11);

    const SOpcConditioning uint16 = Config(kOpcTypeUInt16, kOpcConditionNone, 0, 65535, -1000, 1000, 1);
    SetR8(v, -0.1);
    EXPECT_EQ(ConditionWrite(uint16, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x11);

    // The signed 32-bit lower limit leaves out -2147483648.
    const SOpcConditioning int32 = Config(kOpcTypeInt32, kOpcConditionNone, -2147483648.0, 2147483647.0, -1e9, 1e9, 1);
    SetR8(v, -214748364.8);
    EXPECT_EQ(ConditionWrite(int32, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x11);
    SetR8(v, -214748364.5);
    ASSERT_EQ(ConditionWrite(int32, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_I4);
    EXPECT_EQ(v->lVal, -2147483645);

    const SOpcConditioning uint32 = Config(kOpcTypeBcd32, kOpcConditionNone, 0, 99999999, 0, 1e9, 3);
    SetR8(v, 1234.5678);
    ASSERT_EQ(ConditionWrite(uint32, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_UI4);
    EXPECT_EQ(v->ulVal, 1234568u);

    // "Float" only becomes single precision.
    const SOpcConditioning single = Config(kOpcTypeFloat, kOpcConditionNone, -100, 100, -100, 100, 2);
    SetR8(v, 1.25);
    ASSERT_EQ(ConditionWrite(single, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_R4);
    EXPECT_EQ(v->fltVal, 1.25f);
}

TEST(ConditionWrite, BinaryFieldsLayOutLikeTheReadSide)
{
    COpcVariant v;
    WORD quality = kUntouched;
    const SOpcConditioning signed8 = Config(kOpcTypeInt16, kOpcCondition8Bit, -128, 127, -128, 127);
    SetR8(v, -123);
    ASSERT_EQ(ConditionWrite(signed8, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_I2);
    EXPECT_EQ(v->uiVal, 0xFF85);
    SetR8(v, 5);
    ASSERT_EQ(ConditionWrite(signed8, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->uiVal, 0x0005);

    const SOpcConditioning unsigned13 = Config(kOpcTypeHex16, kOpcCondition13Bit, 0, 8191, 0, 100);
    SetR8(v, 100);
    ASSERT_EQ(ConditionWrite(unsigned13, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_UI2);
    EXPECT_EQ(v->uiVal, 0x1FFF);

    // Round trip through the read side.
    const SOpcConditioning signed12 = Config(kOpcTypeInt16, kOpcCondition12Bit, -2048, 2047, -50, 50);
    for (double eu : {-50.0, -12.5, 0.0, 33.0, 50.0})
    {
        SetR8(v, eu);
        ASSERT_EQ(ConditionWrite(signed12, v.Get(), &quality), S_OK);
        ASSERT_EQ(ConditionRead(signed12, v.Get(), &quality), S_OK);
        EXPECT_NEAR(v->dblVal, eu, 100.0 / 4095);
    }
    EXPECT_EQ(quality, kUntouched);
}

TEST(ConditionWrite, BcdCodesAndRefusals)
{
    COpcVariant v;
    WORD quality = kUntouched;
    const SOpcConditioning bcd4 = Config(kOpcTypeUInt16, kOpcCondition4Bcd, 0, 9999, 0, 9999);
    SetR8(v, 1234);
    ASSERT_EQ(ConditionWrite(bcd4, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_UI2);
    EXPECT_EQ(v->uiVal, 0x1234);

    // Codes above 0x7FFF go into the signed types bit for bit.
    const SOpcConditioning signedBcd = Config(kOpcTypeInt16, kOpcCondition4Bcd, 0, 9999, 0, 9999);
    SetR8(v, 9999);
    ASSERT_EQ(ConditionWrite(signedBcd, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_I2);
    EXPECT_EQ(v->uiVal, 0x9999);
    const SOpcConditioning bcd8 = Config(kOpcTypeInt32, kOpcConditionBcd, 0, 99999999, 0, 99999999);
    SetR8(v, 99999999);
    ASSERT_EQ(ConditionWrite(bcd8, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_I4);
    EXPECT_EQ(v->ulVal, 0x99999999u);

    // A negative raw number has no BCD code.
    const SOpcConditioning negative = Config(kOpcTypeInt16, kOpcCondition4Bcd, -10, 9999, 0, 100);
    SetR8(v, 0);
    EXPECT_EQ(ConditionWrite(negative, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(v->vt, VT_R8);
    // Nor a number with more digits than the field.
    const SOpcConditioning wide = Config(kOpcTypeUInt16, kOpcCondition3Bcd, 0, 1500, 0, 100);
    SetR8(v, 100);
    EXPECT_EQ(ConditionWrite(wide, v.Get(), &quality), OPC_E_RANGE);

    // The top of the EU range codes the top of the instrument range.
    const SOpcConditioning coded = Config(kOpcTypeUInt16, kOpcCondition3Bcd, 0, 799, 0, 999);
    SetR8(v, 999);
    EXPECT_EQ(ConditionWrite(coded, v.Get(), &quality), S_OK);
    EXPECT_EQ(v->uiVal, 0x799);
}

TEST(ConditionWrite, ArraysAllOrNothing)
{
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 4095, 0, 100);
    COpcVariant v;
    WORD quality = kUntouched;
    SetArray<double>(v, VT_R8, {0, 50, 100});
    ASSERT_EQ(ConditionWrite(linear, v.Get(), &quality), S_OK);
    ASSERT_EQ(v->vt, VT_ARRAY | VT_UI2);
    EXPECT_EQ(ArrayOf<uint16_t>(*v.Get()), (std::vector<uint16_t>{0, 2048, 4095}));

    SetArray<double>(v, VT_R8, {0, 101, 50});
    EXPECT_EQ(ConditionWrite(linear, v.Get(), &quality), OPC_E_RANGE);
    EXPECT_EQ(quality, 0x56);
    EXPECT_EQ(v->vt, VT_ARRAY | VT_R8);
    EXPECT_EQ(ArrayOf<double>(*v.Get()), (std::vector<double>{0, 101, 50}));

    const SOpcConditioning bcd = Config(kOpcTypeUInt16, kOpcCondition3Bcd, 0, 999, 0, 999);
    SetArray<int32_t>(v, VT_I4, {1, 20, 300});
    ASSERT_EQ(ConditionWrite(bcd, v.Get(), &quality), S_OK);
    EXPECT_EQ(ArrayOf<uint16_t>(*v.Get()), (std::vector<uint16_t>{0x1, 0x20, 0x300}));
}

TEST(ConditionWrite, UnconvertibleValuesGiveBadType)
{
    const SOpcConditioning linear = Config(kOpcTypeUInt16, kOpcConditionLinear, 0, 4095, 0, 100);
    COpcVariant v;
    WORD quality = kUntouched;
    v->vt = VT_BSTR;
    v->bstrVal = SysAllocString(L"abc");
    EXPECT_EQ(ConditionWrite(linear, v.Get(), &quality), OPC_E_BADTYPE);
    EXPECT_EQ(v->vt, VT_BSTR);
    EXPECT_EQ(quality, kUntouched);
}
} // namespace
