// The change test of subscription samples and the ring that keeps them.
#include "OpcDaItemSamples.h"
#include "OpcTaskMem.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace
{
std::shared_ptr<COpcVariant> Number(double value)
{
    auto v = std::make_shared<COpcVariant>();
    (*v)->vt = VT_R8;
    (*v)->dblVal = value;
    return v;
}

std::shared_ptr<COpcVariant> Array(const std::vector<double>& values)
{
    auto v = std::make_shared<COpcVariant>();
    (*v)->vt = VT_ARRAY | VT_R8;
    (*v)->parray = SafeArrayCreateVector(VT_R8, 0, static_cast<ULONG>(values.size()));
    for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i)
        SafeArrayPutElement((*v)->parray, &i, const_cast<double*>(&values[i]));
    return v;
}

TEST(SubscriptionChangeTest, DeadbandOverTheRangeQualityAndArrays)
{
    const struct
    {
        const char* name;
        std::shared_ptr<COpcVariant> value;
        WORD quality;
        std::shared_ptr<COpcVariant> reference;
        double deadband;
        DWORD euType;
        bool changed;
    } cases[] = {
        {"15 of 200 is inside 10 %", Number(115), 0xC0, Number(100), 10, OPC_ANALOG, false},
        {"20 of 200 is exactly 10 %", Number(120), 0xC0, Number(100), 10, OPC_ANALOG, true},
        {"a drop counts like a rise", Number(80), 0xC0, Number(100), 10, OPC_ANALOG, true},
        {"no deadband: any change", Number(100.5), 0xC0, Number(100), 0, OPC_ANALOG, true},
        {"not analog: any change", Number(101), 0xC0, Number(100), 10, OPC_NOENUM, true},
        {"same value", Number(100), 0xC0, Number(100), 0, OPC_NOENUM, false},
        {"quality alone", Number(100), 0x14, Number(100), 10, OPC_ANALOG, true},
        {"one element beyond", Array({100, 130}), 0xC0, Array({100, 100}), 10, OPC_ANALOG, true},
        {"every element inside", Array({105, 110}), 0xC0, Array({100, 100}), 10, OPC_ANALOG, false},
        {"length changed", Array({100}), 0xC0, Array({100, 100}), 10, OPC_ANALOG, true},
    };
    for (const auto& c : cases)
    {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.changed, OpcDaSampleChanged(*c.value->Get(), c.quality, *c.reference->Get(), 0xC0, c.deadband,
                                                c.euType, 0, 200));
    }
}

TEST(SubscriptionChangeTest, AFullBufferKeepsTheNewestAndSaysItOverflowed)
{
    COpcDaItemSamples samples;
    ASSERT_TRUE(samples.SetBuffered(true));
    for (int i = 1; i <= 20; ++i)
    {
        SOpcDaSample sample = {};
        sample.value->vt = VT_I4;
        sample.value->lVal = i;
        samples.Append(sample);
        EXPECT_EQ(i > 16, samples.Overflowed()) << i;
    }
    ASSERT_EQ(16u, samples.Count());
    for (DWORD i = 0; i < 16; ++i)
        EXPECT_EQ(static_cast<LONG>(5 + i), samples.At(i).value->lVal);
    samples.Clear();
    EXPECT_FALSE(samples.Overflowed());
    // Back to one entry: a new sample takes the only place, nothing overflows.
    ASSERT_TRUE(samples.SetBuffered(false));
    for (int i = 0; i < 3; ++i)
    {
        SOpcDaSample sample = {};
        samples.Append(sample);
    }
    EXPECT_EQ(1u, samples.Count());
    EXPECT_FALSE(samples.Overflowed());
}
} // namespace
