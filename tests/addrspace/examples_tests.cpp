// The sample configurations shipped under examples/ load without a single
// refusal, in simulation and against the substitute runtime they describe.
#include "AddressSpaceFixture.h"

#include "OpcVariant.h"

#include <cmath>
#include <string>

using namespace addrspace_test;

namespace
{
class ExamplesTest : public AddressSpaceTest
{
protected:
    // Runs the start-up of the address space on an example folder, whose
    // configuration names its files relative to the folder.
    void Start(const char* folder)
    {
        const std::wstring dir = SourcePath(folder);
        ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
        Build();
        m_cache->SetConfigurationPath(COpcString((dir + L"\\OpcConfiguration.xml").c_str()));
        ASSERT_EQ(S_OK, m_cache->Initialize());
        ASSERT_EQ(OPC_STATUS_RUNNING, m_cache->GetState());
        for (const std::wstring& record : Records())
        {
            EXPECT_EQ(std::wstring::npos, record.find(L"COpcDaDevice")) << std::string(record.begin(), record.end());
            EXPECT_EQ(std::wstring::npos, record.find(L"LT_")) << std::string(record.begin(), record.end());
        }
        EXPECT_EQ(27u, m_cache->ItemCount());
    }

    HRESULT Read(const wchar_t* itemId, COpcVariant& value, WORD& quality)
    {
        return m_cache->ReadItem(COpcString(itemId), OPC_DA_READ_DEVICE, LOCALE_USER_DEFAULT, VT_EMPTY, 0, value.Get(),
                                 nullptr, &quality);
    }

    void TearDown() override
    {
        if (m_cache)
            m_cache->Uninitialize();
        AddressSpaceTest::TearDown();
    }
};
} // namespace

TEST_F(ExamplesTest, TheSimulationSampleRunsAndFeedsItsCsvTagsFromTheTable)
{
    Start("examples/simulation");
    EXPECT_TRUE(m_settings->simulationEnabled);
    EXPECT_EQ(0, DevlaneControlCallCount("EasyInit"));
    EXPECT_EQ(0u, m_device->FindItem(COpcString(L"Line1.PLC1.Process.Level"))->CsvColumn());
    EXPECT_EQ(1u, m_device->FindItem(COpcString(L"Line1.PLC1.Process.Pump"))->CsvColumn());
    EXPECT_EQ(2u, m_device->FindItem(COpcString(L"Line1.PLC1.Process.Batch"))->CsvColumn());
    // One pass on row 0 with the simulation thread stopped, so the row stays put.
    COpcVariant value;
    WORD quality = 0;
    m_device->StopPolling();
    m_settings->simulationRow = 0;
    ASSERT_TRUE(m_device->SimulationPass(0));
    ASSERT_EQ(S_OK, ReadValue(L"Line1.PLC1.Process.Level", value, &quality, OPC_DA_READ_DEVICE));
    EXPECT_EQ(12.5f, value->fltVal);
    ASSERT_EQ(S_OK, ReadValue(L"Line1.PLC1.Process.Pump", value, &quality, OPC_DA_READ_DEVICE));
    EXPECT_EQ(VARIANT_TRUE, value->boolVal);
    ASSERT_EQ(S_OK, ReadValue(L"Line1.PLC1.Process.Batch", value, &quality, OPC_DA_READ_DEVICE));
    EXPECT_STREQ(L"Batch A", value->bstrVal);
}

TEST_F(ExamplesTest, TheLiveSampleMatchesTheSubstituteRuntimesDescription)
{
    ASSERT_EQ(0, DevlaneControlLoadDescription(SourcePath("examples/live/Devlane.ini").c_str()));
    m_settings->simulationEnabled = false;
    Start("examples/live");
    EXPECT_FALSE(m_settings->simulationEnabled);
    EXPECT_EQ(100u, m_settings->baseTick);
    uint32_t number = 0;
    EXPECT_TRUE(m_device->DeviceNumber(COpcString(L"Line1.Spare"), number)); // numbered, though disabled

    COpcVariant value;
    WORD quality = 0;
    ASSERT_EQ(S_OK, Read(L"Line1.PLC1.Fixed.Count", value, quality));
    EXPECT_EQ(VT_I2, value->vt);
    EXPECT_EQ(1234, value->iVal);
    EXPECT_EQ(0xC0, quality);
    ASSERT_EQ(S_OK, Read(L"Line1.PLC1.Fixed.Offset", value, quality));
    EXPECT_EQ(-4.2f, value->fltVal);
    ASSERT_EQ(S_OK, Read(L"Line1.PLC1.Fixed.Flow", value, quality));
    EXPECT_NEAR(250.0 * std::sqrt(65000.0 / 65535.0), value->dblVal, 1e-9);
    ASSERT_EQ(S_OK, Read(L"Line1.PLC1.Fixed.Serial", value, quality));
    EXPECT_EQ(12345678u, value->ulVal);
    EXPECT_EQ(0xC0, quality);
    ASSERT_EQ(S_OK, Read(L"Line1.PLC1.Process.Batch", value, quality));
    EXPECT_STREQ(L"Line one ready", value->bstrVal);
    ASSERT_EQ(S_OK, Read(L"Line1.PLC2.Label", value, quality));
    EXPECT_STREQ(L"PLC2", value->bstrVal);
    ASSERT_EQ(S_OK, Read(L"Line1.PLC1.Sheet1.Motors.Speed", value, quality));
    EXPECT_EQ(0xC0, quality);
    ASSERT_EQ(S_OK, Read(L"Line1.PLC1.Fixed.Inputs", value, quality));
    ASSERT_EQ(VT_ARRAY | VT_BOOL, value->vt);
    EXPECT_EQ(8u, value->parray->rgsabound[0].cElements);

    SetDouble(value.Get(), 50.0);
    ASSERT_EQ(S_OK, m_cache->WriteItem(COpcString(L"Line1.PLC1.Fixed.Setpoint"), LOCALE_USER_DEFAULT, *value.Get(),
                                       nullptr, nullptr));
    WORD word = 0;
    ASSERT_EQ(0, DevlaneControlGetWords("Line1.PLC1", "D200", &word, 1));
    EXPECT_EQ(500, word);
}
