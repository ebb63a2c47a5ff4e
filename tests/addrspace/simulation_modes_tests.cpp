#include "OpcSimulationModes.h"
#include "OpcTaskMem.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cstdint>
#include <ctime>
#include <limits>
#include <vector>

namespace
{
SOpcSimulationStep Step(uint32_t mode, double high = HUGE_VAL, double low = -HUGE_VAL)
{
    SOpcSimulationStep step;
    step.mode = mode;
    step.high = high;
    step.low = low;
    step.periodMs = 1000;
    return step;
}

SOpcSimulationStep Cell(const wchar_t* text)
{
    SOpcSimulationStep step = Step(kOpcSimCsv);
    step.cell = COpcString(text);
    return step;
}

TEST(SimulationModeNames, ExactNamesAndNumbers)
{
    EXPECT_EQ(OpcSimulationModeByName(L"Increment"), 2u);
    EXPECT_EQ(OpcSimulationModeByName(L"CSV"), 6u);
    EXPECT_EQ(OpcSimulationModeByName(L"sin"), 0u);
    EXPECT_STREQ(OpcSimulationModeName(kOpcSimCos), L"COS");
    EXPECT_EQ(OpcSimulationModeName(7), nullptr);
}

TEST(SimulationIncrement, CountsToHighThenWrapsToZero)
{
    const SOpcSimulationStep step = Step(kOpcSimIncrement, 10, 0);
    int16_t x = 8;
    std::vector<int16_t> seen;
    for (int i = 0; i < 5; ++i)
    {
        x = OpcSimulate(step, x);
        seen.push_back(x);
    }
    EXPECT_EQ(seen, (std::vector<int16_t>{9, 10, 0, 1, 2}));

    // Without a range the kind's maximum is the turning point.
    EXPECT_EQ(OpcSimulate(Step(kOpcSimIncrement), static_cast<uint8_t>(255)), 0);
    EXPECT_EQ(OpcSimulate(Step(kOpcSimIncrement, 1e6), static_cast<int8_t>(127)), 0);
    EXPECT_EQ(OpcSimulate(Step(kOpcSimIncrement), INT64_MAX), 0);
    // Above the high mark the count runs on and wraps at the kind's end.
    EXPECT_EQ(OpcSimulate(Step(kOpcSimIncrement, 10), static_cast<int32_t>(INT32_MAX)), INT32_MIN);
    // Reals are left alone.
    EXPECT_EQ(OpcSimulate(Step(kOpcSimIncrement, 10), 3.5f), 3.5f);
    EXPECT_EQ(OpcSimulate(Step(kOpcSimIncrement, 10), 3.5), 3.5);
}

TEST(SimulationWave, RepeatsEveryWaveLength)
{
    SOpcSimulationStep step = Step(kOpcSimSin, 100, -100);
    std::vector<int32_t> values;
    for (uint64_t n = 0; n < 30; ++n)
    {
        step.cycle = n;
        values.push_back(OpcSimulate(step, int32_t(0)));
    }
    for (size_t n = 0; n + 10 < values.size(); ++n)
        EXPECT_EQ(values[n], values[n + 10]) << "pass " << n;
    EXPECT_EQ(values[0], 0);  // sin 0: the middle
    EXPECT_EQ(values[5], 0);  // sin pi (truncated from a tiny remainder)
    EXPECT_GT(values[2], 90); // near the top at a quarter wave and a bit
    EXPECT_LT(values[7], -90);

    SOpcSimulationStep cosine = Step(kOpcSimCos, 100, -100);
    cosine.periodMs = 1000;
    cosine.cycle = 0;
    EXPECT_EQ(OpcSimulate(cosine, 0.0), 100.0);
    cosine.cycle = 5;
    EXPECT_DOUBLE_EQ(OpcSimulate(cosine, 0.0), -100.0);
    // A huge pass counter neither overflows nor loses the phase.
    cosine.cycle = 10000000000000000000ull;
    EXPECT_EQ(OpcSimulate(cosine, 0.0), 100.0);
}

TEST(SimulationLimits, HeldWithinTheKind)
{
    // A range wider than the kind is cut to the kind's limits.
    SOpcSimulationStep step = Step(kOpcSimCos, 1000, -1000);
    step.cycle = 0;
    EXPECT_EQ(OpcSimulate(step, int8_t(0)), 127);
    step.cycle = 5;
    EXPECT_EQ(OpcSimulate(step, int8_t(0)), -128);
    EXPECT_EQ(OpcSimulate(step, uint8_t(7)), 0);

    // The widest kinds give their limits, not an overflow.
    SOpcSimulationStep wide = Step(kOpcSimCos);
    wide.cycle = 0;
    EXPECT_EQ(OpcSimulate(wide, uint64_t(0)), UINT64_MAX);
    EXPECT_EQ(OpcSimulate(wide, int64_t(0)), INT64_MAX);
    EXPECT_EQ(OpcSimulate(wide, 0.0f), FLT_MAX);
    EXPECT_EQ(OpcSimulate(wide, 0.0), DBL_MAX);
    wide.cycle = 1; // cos(0.2 pi): inside the range, not at its end
    EXPECT_NEAR(OpcSimulate(wide, 0.0) / DBL_MAX, 0.809017, 1e-6);
    wide.cycle = 5;
    EXPECT_EQ(OpcSimulate(wide, int64_t(0)), INT64_MIN);
    EXPECT_EQ(OpcSimulate(wide, 0.0), -DBL_MAX);
}

TEST(SimulationRandom, DrawsWithinTheRange)
{
    OpcSeedRandom(1);
    EXPECT_EQ(OpcNextRandom(), 41u); // the classic sequence law
    OpcSeedRandom(7);
    const uint32_t first = OpcNextRandom();
    OpcSeedRandom(7);
    EXPECT_EQ(OpcNextRandom(), first);

    const SOpcSimulationStep step = Step(kOpcSimRandom, 20, 10);
    bool sawDifferent = false;
    int16_t last = OpcSimulate(step, int16_t(0));
    for (int i = 0; i < 200; ++i)
    {
        const int16_t x = OpcSimulate(step, int16_t(0));
        EXPECT_GE(x, 10);
        EXPECT_LE(x, 20);
        sawDifferent = sawDifferent || x != last;
        last = x;
    }
    EXPECT_TRUE(sawDifferent);

    // Reals leave out the low end: 0 to high - low.
    for (int i = 0; i < 200; ++i)
    {
        const double x = OpcSimulate(step, 0.0);
        EXPECT_GE(x, 0.0);
        EXPECT_LE(x, 10.0);
    }
    // Booleans and texts do not draw.
    EXPECT_TRUE(OpcSimulate(step, true));
    EXPECT_EQ(OpcSimulate(step, COpcString(L"x")), COpcString(L"x"));
}

TEST(SimulationRandom, ReseedUsesTheTimeInSeconds)
{
    for (int attempt = 0; attempt < 3; ++attempt)
    {
        const time_t before = time(nullptr);
        OpcReseedRandom();
        const uint32_t drawn = OpcNextRandom();
        const time_t after = time(nullptr);
        if (before != after)
            continue; // the second turned over meanwhile
        OpcSeedRandom(static_cast<uint32_t>(before));
        EXPECT_EQ(OpcNextRandom(), drawn);
        return;
    }
    FAIL() << "clock kept turning over";
}

TEST(SimulationCsv, CellsConvertAsDecimalReals)
{
    EXPECT_EQ(OpcParseCellNumber(L"  12.7abc"), 12.7);
    EXPECT_EQ(OpcParseCellNumber(L"\t-3.5"), -3.5);
    EXPECT_EQ(OpcParseCellNumber(L".5"), 0.5);
    EXPECT_EQ(OpcParseCellNumber(L"5."), 5.0);
    EXPECT_EQ(OpcParseCellNumber(L"+2e3x"), 2000.0);
    EXPECT_EQ(OpcParseCellNumber(L"2e"), 2.0);
    EXPECT_EQ(OpcParseCellNumber(L"2e+"), 2.0);
    EXPECT_EQ(OpcParseCellNumber(L"1,5"), 1.0);
    EXPECT_EQ(OpcParseCellNumber(L"0x10"), 0.0);
    EXPECT_EQ(OpcParseCellNumber(L"abc"), 0.0);
    EXPECT_EQ(OpcParseCellNumber(L"-."), 0.0);
    EXPECT_EQ(OpcParseCellNumber(L"   "), 0.0);
    std::wstring longNumber(300, L'1');
    EXPECT_DOUBLE_EQ(OpcParseCellNumber(longNumber.c_str()), 1.1111111111111111e299);
}

TEST(SimulationCsv, EveryKindTakesTheCell)
{
    EXPECT_EQ(OpcSimulate(Cell(L" 12.7abc"), int16_t(5)), 12);
    EXPECT_EQ(OpcSimulate(Cell(L"-3.9"), int32_t(5)), -3);
    EXPECT_EQ(OpcSimulate(Cell(L"abc"), int32_t(5)), 0);
    EXPECT_EQ(OpcSimulate(Cell(L""), int32_t(5)), 5);
    EXPECT_EQ(OpcSimulate(Cell(L"300"), uint8_t(5)), 255);
    EXPECT_EQ(OpcSimulate(Cell(L"-1"), uint16_t(5)), 0);
    EXPECT_EQ(OpcSimulate(Cell(L"1e39"), 0.0f), FLT_MAX);
    EXPECT_EQ(OpcSimulate(Cell(L"2.5"), 0.0f), 2.5f);
    EXPECT_EQ(OpcSimulate(Cell(L""), 1.5), 1.5);

    EXPECT_TRUE(OpcSimulate(Cell(L"On"), false));
    EXPECT_FALSE(OpcSimulate(Cell(L"Off"), true));
    EXPECT_TRUE(OpcSimulate(Cell(L"on"), true)); // other text keeps the state
    EXPECT_FALSE(OpcSimulate(Cell(L"1"), false));
    SOpcSimulationStep inverse = Cell(L"On");
    inverse.inverse = true;
    EXPECT_FALSE(OpcSimulate(inverse, true));
    inverse.cell = COpcString(L"Open");
    EXPECT_TRUE(OpcSimulate(inverse, true)); // unchanged states are not turned

    EXPECT_EQ(OpcSimulate(Cell(L" text "), COpcString(L"old")), COpcString(L" text "));
    EXPECT_EQ(OpcSimulate(Cell(L""), COpcString(L"old")), COpcString(L"old"));
    // Outside CSV the cell means nothing.
    SOpcSimulationStep none = Cell(L"7");
    none.mode = kOpcSimNone;
    EXPECT_EQ(OpcSimulate(none, int16_t(3)), 3);
}

TEST(SimulateValue, ScalarsStartFromNothing)
{
    const SOpcSimulationStep step = Step(kOpcSimIncrement, 10, 0);
    COpcVariant v;
    ASSERT_EQ(OpcSimulateValue(step, VT_I2, v.Get()), S_OK);
    ASSERT_EQ(v->vt, VT_I2);
    EXPECT_EQ(v->iVal, 1);
    v->iVal = 8;
    std::vector<int16_t> seen;
    for (int i = 0; i < 5; ++i)
    {
        ASSERT_EQ(OpcSimulateValue(step, VT_I2, v.Get()), S_OK);
        seen.push_back(v->iVal);
    }
    EXPECT_EQ(seen, (std::vector<int16_t>{9, 10, 0, 1, 2}));

    COpcVariant text;
    ASSERT_EQ(OpcSimulateValue(Cell(L"abc"), VT_BSTR, text.Get()), S_OK);
    ASSERT_EQ(text->vt, VT_BSTR);
    EXPECT_STREQ(text->bstrVal, L"abc");
    ASSERT_EQ(OpcSimulateValue(Cell(L""), VT_BSTR, text.Get()), S_OK);
    EXPECT_STREQ(text->bstrVal, L"abc");

    COpcVariant flag;
    ASSERT_EQ(OpcSimulateValue(Cell(L"On"), VT_BOOL, flag.Get()), S_OK);
    ASSERT_EQ(flag->vt, VT_BOOL);
    EXPECT_EQ(flag->boolVal, VARIANT_TRUE);

    // Another scalar type is brought to the item's type first.
    COpcVariant other;
    other->vt = VT_I4;
    other->lVal = 4;
    ASSERT_EQ(OpcSimulateValue(step, VT_UI2, other.Get()), S_OK);
    ASSERT_EQ(other->vt, VT_UI2);
    EXPECT_EQ(other->uiVal, 5);
}

TEST(SimulateValue, ArraysChangeEveryElement)
{
    COpcVariant v;
    v->vt = VT_ARRAY | VT_UI4;
    v->parray = SafeArrayCreateVector(VT_UI4, 0, 3);
    ASSERT_NE(v->parray, nullptr);
    ASSERT_EQ(OpcSimulateValue(Step(kOpcSimIncrement, 1), VT_ARRAY | VT_UI4, v.Get()), S_OK);
    ASSERT_EQ(OpcSimulateValue(Step(kOpcSimIncrement, 1), VT_ARRAY | VT_UI4, v.Get()), S_OK);
    ASSERT_EQ(OpcSimulateValue(Step(kOpcSimIncrement, 1), VT_ARRAY | VT_UI4, v.Get()), S_OK);
    uint32_t* data = nullptr;
    ASSERT_HRESULT_SUCCEEDED(SafeArrayAccessData(v->parray, reinterpret_cast<void**>(&data)));
    EXPECT_EQ(data[0], 1u); // 1, 0, 1
    EXPECT_EQ(data[2], 1u);
    SafeArrayUnaccessData(v->parray);

    COpcVariant bits;
    bits->vt = VT_ARRAY | VT_BOOL;
    bits->parray = SafeArrayCreateVector(VT_BOOL, 0, 2);
    SOpcSimulationStep step = Cell(L"Off");
    step.inverse = true;
    ASSERT_EQ(OpcSimulateValue(step, VT_ARRAY | VT_BOOL, bits.Get()), S_OK);
    VARIANT_BOOL* flags = nullptr;
    ASSERT_HRESULT_SUCCEEDED(SafeArrayAccessData(bits->parray, reinterpret_cast<void**>(&flags)));
    EXPECT_EQ(flags[0], VARIANT_TRUE);
    EXPECT_EQ(flags[1], VARIANT_TRUE);
    SafeArrayUnaccessData(bits->parray);

    // An array item whose value is not its array is refused, not misread.
    COpcVariant scalar;
    scalar->vt = VT_R8;
    EXPECT_EQ(OpcSimulateValue(Step(kOpcSimSin), VT_ARRAY | VT_R4, scalar.Get()), E_INVALIDARG);
    EXPECT_EQ(OpcSimulateValue(Step(kOpcSimSin), VT_ARRAY | VT_R8, v.Get()), E_INVALIDARG);
    EXPECT_EQ(OpcSimulateValue(Step(kOpcSimSin), VT_DATE, scalar.Get()), E_INVALIDARG);
}
} // namespace
