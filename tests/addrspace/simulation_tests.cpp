#include "AddressSpaceFixture.h"

#include <cmath>

#include "OpcVariant.h"

#include <string>
#include <vector>

using namespace addrspace_test;

namespace
{
class SimulationTest : public AddressSpaceTest
{
protected:
    void LoadTable(const std::string& content)
    {
        ASSERT_TRUE(m_settings->LoadSimulationFile(COpcString(WriteFile(L"Simulation.csv", content).c_str())));
    }

    double Raw(const wchar_t* itemId)
    {
        COpcVariant value;
        EXPECT_EQ(S_OK, Item(itemId)->GetRawValue(value.Get()));
        double number = -1;
        EXPECT_EQ(S_OK, GetDouble(number, *value.Get()));
        return number;
    }

    // The raw value after each of count passes.
    std::vector<double> Passes(const wchar_t* itemId, int count)
    {
        std::vector<double> values;
        for (int i = 0; i < count; ++i)
        {
            m_device->SimulationPass(m_cycle++);
            values.push_back(Raw(itemId));
        }
        return values;
    }

    uint64_t m_cycle = 0;
};

Attributes Csv(const char* type = "Float")
{
    return {{"Simulation", "CSV"}, {"DataType", type}, {"HighInstrumentRange", "1000"}, {"LowInstrumentRange", "0"}};
}
} // namespace

TEST_F(SimulationTest, CsvTagsShowTheRowsInTurnAndWrap)
{
    UseSimulation();
    LoadTable("Level\n10\n20\n30\n");
    ASSERT_EQ(S_OK, LoadQuietly(Analog("L", Csv())));
    EXPECT_EQ((std::vector<double>{10, 20, 30, 10, 20, 30, 10}), Passes(L"N.P.L", 7));
}

TEST_F(SimulationTest, CsvColumnsAreHandedOutInLoadOrderAndWrap)
{
    UseSimulation();
    LoadTable("A,B\n1,2\n");
    ASSERT_EQ(S_OK, LoadQuietly(Analog("X", Csv()) + Analog("Bad", With(Csv(), {{"DataCount", "x"}})) +
                                Analog("Y", Csv()) + Analog("Z", Csv())));
    EXPECT_EQ(0u, Item(L"N.P.X")->CsvColumn());
    EXPECT_EQ(1u, Item(L"N.P.Y")->CsvColumn()); // the refused tag took no column
    EXPECT_EQ(0u, Item(L"N.P.Z")->CsvColumn());
    m_device->SimulationPass(0);
    EXPECT_EQ(1.0, Raw(L"N.P.X"));
    EXPECT_EQ(2.0, Raw(L"N.P.Y"));
    EXPECT_EQ(1.0, Raw(L"N.P.Z"));
}

TEST_F(SimulationTest, IncrementCountsUpToHighEuAndStartsAgainAtZero)
{
    UseSimulation();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("I", {{"Simulation", "Increment"}, {"HighEU", "10"}})));
    std::vector<double> values = Passes(L"N.P.I", 12);
    EXPECT_EQ((std::vector<double>{8, 9, 10, 0, 1}), std::vector<double>(values.begin() + 7, values.end()));
}

TEST_F(SimulationTest, SineWithAOneSecondIntervalRepeatsEveryTenPasses)
{
    UseSimulation(1000);
    ASSERT_EQ(S_OK, LoadQuietly(Analog("S", {{"Simulation", "SIN"}, {"DataType", "Double"}})));
    std::vector<double> values = Passes(L"N.P.S", 21);
    EXPECT_DOUBLE_EQ(50.0, values[0]); // low + (sin 0 + 1) x (high - low) / 2
    for (int k = 0; k < 11; ++k)
        EXPECT_DOUBLE_EQ(values[k], values[k + 10]) << k;
    EXPECT_NE(values[1], values[6]);
}

TEST_F(SimulationTest, SineFollowsARangeAroundZero)
{
    UseSimulation(1000);
    ASSERT_EQ(S_OK, LoadQuietly(Analog("W", {{"Simulation", "SIN"},
                                             {"DataType", "Double"},
                                             {"HighEU", "1"},
                                             {"LowEU", "-1"},
                                             {"HighInstrumentRange", "1"},
                                             {"LowInstrumentRange", "-1"},
                                             {"EngineeringUnit", ""}})));
    std::vector<double> values = Passes(L"N.P.W", 4);
    EXPECT_NEAR(0.0, values[0], 1e-12);
    EXPECT_NEAR(std::sin(2 * 3.14159265358979 * 0.1), values[1], 1e-9);
    EXPECT_NEAR(std::sin(2 * 3.14159265358979 * 0.2), values[2], 1e-9);

    // A client's device read returns the simulated value without stepping it.
    const double before = Raw(L"N.P.W");
    COpcVariant read;
    FILETIME stamp;
    WORD quality = 0;
    ASSERT_EQ(S_OK, Item(L"N.P.W")->ReadItem(OPC_DA_READ_DEVICE, read.Get(), &stamp, &quality));
    EXPECT_EQ(before, Raw(L"N.P.W"));
    double number = 0;
    ASSERT_EQ(S_OK, GetDouble(number, *read.Get()));
    EXPECT_NEAR(before, number, 1e-12);
}

TEST_F(SimulationTest, ShortLinesAndCellsOutsideTheTableLeaveValuesAlone)
{
    UseSimulation();
    LoadTable("A,B,C\n5\n");
    ASSERT_EQ(S_OK, LoadQuietly(Analog("N", Csv()) + Digital("D", {{"Simulation", "CSV"}}) +
                                Text("S", {{"Simulation", "CSV"}})));
    EXPECT_TRUE(m_settings->SimulationCell(0, 1).IsEmpty());
    m_device->SimulationPass(0);
    EXPECT_EQ(5.0, Raw(L"N.P.N"));
    COpcVariant value;
    ASSERT_EQ(S_OK, Item(L"N.P.D")->GetRawValue(value.Get()));
    EXPECT_EQ(VARIANT_FALSE, value->boolVal);
    ASSERT_EQ(S_OK, Item(L"N.P.S")->GetRawValue(value.Get()));
    EXPECT_EQ(0u, SysStringLen(value->bstrVal));

    // A table without data rows, or none at all, is read as empty cells.
    FreshSettings();
    UseSimulation();
    LoadTable("A\n");
    ASSERT_EQ(S_OK, LoadQuietly(Analog("N", Csv())));
    EXPECT_EQ((std::vector<double>{0, 0}), Passes(L"N.P.N", 2));
    EXPECT_EQ(0u, m_settings->simulationRow);
}

TEST_F(SimulationTest, DigitalCsvCellsAreOnOrOffTurnedAroundByInverse)
{
    UseSimulation();
    LoadTable("State\nOn\nOff\nmaybe\n");
    ASSERT_EQ(S_OK, LoadQuietly(Digital("D", {{"Simulation", "CSV"}, {"Inverse", "On"}})));
    std::vector<bool> states;
    for (int i = 0; i < 3; ++i)
    {
        m_device->SimulationPass(i);
        COpcVariant value;
        Item(L"N.P.D")->GetRawValue(value.Get());
        states.push_back(value->boolVal != VARIANT_FALSE);
    }
    EXPECT_EQ((std::vector<bool>{false, true, true}), states);
}

TEST_F(SimulationTest, OnlyTagsWithoutASimulationModeKeepWrittenValues)
{
    UseSimulation();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("Fixed") + Analog("Moving", {{"Simulation", "Increment"}})));
    COpcVariant v;
    SetInt16(v.Get(), 42);
    ASSERT_EQ(S_OK, Item(L"N.P.Fixed")->WriteItem(OPC_DA_READ_DEVICE, *v.Get(), nullptr, nullptr));
    ASSERT_EQ(S_OK, Item(L"N.P.Moving")->WriteItem(OPC_DA_READ_DEVICE, *v.Get(), nullptr, nullptr));
    EXPECT_EQ(42.0, Raw(L"N.P.Fixed"));
    EXPECT_EQ(0.0, Raw(L"N.P.Moving"));
    m_device->SimulationPass(0);
    EXPECT_EQ(42.0, Raw(L"N.P.Fixed"));
    EXPECT_EQ(1.0, Raw(L"N.P.Moving"));
    EXPECT_EQ(0, DevlaneControlCallCount("WriteDevice16DM"));
}

TEST_F(SimulationTest, AnArrayWriteFillsTheLeadingElementsAndNeverResizesTheTag)
{
    UseSimulation();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("Arr", {{"DataCount", "4"}})));
    COpcDaDeviceItem* item = Item(L"N.P.Arr");
    auto write = [item](std::vector<short> values)
    {
        COpcVariant v;
        SAFEARRAY* array = SafeArrayCreateVector(VT_I2, 0, static_cast<ULONG>(values.size()));
        for (LONG i = 0; i < static_cast<LONG>(values.size()); ++i)
            SafeArrayPutElement(array, &i, &values[i]);
        v->vt = VT_ARRAY | VT_I2;
        v->parray = array;
        return item->WriteItem(OPC_DA_READ_DEVICE, *v.Get(), nullptr, nullptr);
    };
    ASSERT_EQ(S_OK, write({7, 8}));
    EXPECT_EQ(OPC_E_RANGE, write({1, 2, 3, 4, 5}));
    COpcVariant value;
    ASSERT_EQ(S_OK, item->GetRawValue(value.Get()));
    ASSERT_EQ(4u, value->parray->rgsabound[0].cElements);
    COpcSafeArrayAccess access(value->parray);
    const short* data = static_cast<const short*>(access.Data());
    EXPECT_EQ((std::vector<short>{7, 8, 0, 0}), std::vector<short>(data, data + 4));
}

TEST_F(SimulationTest, ARangeCheckOfOneReadDoesNotStickToASimulatedTag)
{
    UseSimulation();
    ASSERT_EQ(S_OK, LoadQuietly(Analog("A")));
    COpcDaDeviceItem* item = Item(L"N.P.A");
    COpcVariant v;
    SetInt16(v.Get(), 50);
    ASSERT_EQ(S_OK, item->WriteItem(OPC_DA_READ_DEVICE, *v.Get(), nullptr, nullptr));
    SetDouble(v.Get(), 10);
    ASSERT_EQ(S_OK, item->WriteItem(OPC_DA_PROP_HIRANGE, *v.Get(), nullptr, nullptr));
    WORD quality = 0;
    ASSERT_EQ(S_OK, item->ReadItem(OPC_DA_READ_CACHE, v.Get(), nullptr, &quality));
    EXPECT_EQ(0x12, quality);
    SetDouble(v.Get(), 1000);
    ASSERT_EQ(S_OK, item->WriteItem(OPC_DA_PROP_HIRANGE, *v.Get(), nullptr, nullptr));
    m_device->SimulationPass(0);
    ASSERT_EQ(S_OK, item->ReadItem(OPC_DA_READ_CACHE, v.Get(), nullptr, &quality));
    EXPECT_EQ(0xC0, quality);
}
