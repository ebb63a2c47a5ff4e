#include "AddressSpaceFixture.h"
#include "OpcDaCache.h"
#include "OpcDevlaneAPI.h"
#include "FailingAllocation.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <memory>
#include <string>

namespace
{
using addrspace_test::RemoveTree; // the fixture header also starts COM for the XML layer

// A fresh directory per test with an "ErrorLog" folder, so records can be read back.
class ConfigurationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        m_dir = std::wstring(temp) + L"tagbridge-config-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++s_counter);
        CreateDirectoryW(m_dir.c_str(), nullptr);
        CreateDirectoryW((m_dir + L"\\ErrorLog").c_str(), nullptr);
        m_settings = std::make_unique<COpcDaSettings>();
        m_api = std::make_unique<COpcDevlaneAPI>(*m_settings, m_dir.c_str());
        m_cache = std::make_unique<COpcDaCache>(*m_settings, *m_api);
    }
    void TearDown() override
    {
        m_cache.reset();
        m_api.reset();
        RemoveTree(m_dir);
    }

    std::wstring Write(const wchar_t* name, const std::string& content)
    {
        std::wstring path = m_dir + L"\\" + name;
        std::ofstream out(path.c_str(), std::ios::binary);
        out << content;
        return path;
    }

    HRESULT LoadText(const std::string& xml)
    {
        return m_cache->Load(COpcString(Write(L"OpcConfiguration.xml", xml).c_str()));
    }

    static std::string Cycles(int count, int first = 1)
    {
        std::string s = "<ScanCycles>";
        for (int i = 0; i < count; ++i)
            s += "<ScanCycle>" + std::to_string(first + i) + "</ScanCycle>";
        return s + "</ScanCycles>";
    }

    static std::string Config(const std::string& simulation, const std::string& rest)
    {
        return "<?xml version=\"1.0\"?><Configuration><OutputLogDisable>0</OutputLogDisable>" + simulation +
               "<TagConfiguration File=\"Tags.xml\"/>" + rest + "</Configuration>";
    }

    static std::string Live(const std::string& scanCycles, const std::string& interval = "100")
    {
        return Config("<Simulation Enabled=\"false\" Interval=\"" + interval + "\" File=\"none.csv\"/>", scanCycles);
    }

    std::wstring LastRecord() { return m_api->RecordCount() ? m_api->RecordAt(0).Text() : L""; }

    static int s_counter;
    std::wstring m_dir;
    std::unique_ptr<COpcDaSettings> m_settings;
    std::unique_ptr<COpcDevlaneAPI> m_api;
    std::unique_ptr<COpcDaCache> m_cache;
};
int ConfigurationTest::s_counter = 0;

const HRESULT Invalid = static_cast<HRESULT>(0xC0049002);      // 0xC0B00732 mapped
const HRESULT NoSimulation = static_cast<HRESULT>(0xC0049005); // 0xC0B00735 mapped
const HRESULT Unparsable = static_cast<HRESULT>(0xC0049001);   // 0xC0B00731 mapped
} // namespace

TEST_F(ConfigurationTest, ALiveConfigurationFillsTheSettings)
{
    ASSERT_EQ(S_OK, LoadText(Live(Cycles(10, 65526) + "<Unknown><ScanCycle>1</ScanCycle></Unknown>")));
    EXPECT_FALSE(m_settings->simulationEnabled);
    EXPECT_FALSE(m_settings->outputLogDisable);
    EXPECT_EQ(100u, m_settings->simulationInterval);
    EXPECT_EQ(100, m_settings->simulationUnit);
    EXPECT_TRUE(m_settings->GetTagConfigurationFile().Equals(L"Tags.xml"));
    EXPECT_EQ(10u, m_settings->ScanCycleCount());
    EXPECT_TRUE(m_settings->HasScanCycle(65535));
    EXPECT_EQ(0u, m_settings->cttWaitTime);
    EXPECT_EQ(0u, m_api->RecordCount());
}

TEST_F(ConfigurationTest, IntervalMustBeAMultipleOfAHundredFromAHundredOn)
{
    for (const char* bad : {"50", "150", "0", "-100", "abc", ""})
    {
        m_settings->Reset();
        EXPECT_EQ(Invalid, LoadText(Live(Cycles(10), bad))) << bad;
        EXPECT_NE(std::wstring::npos, LastRecord().find(L"Property = Simulation")) << bad;
    }
    for (const char* good : {"100", "1000", "0x3E8"})
    {
        m_settings->Reset();
        EXPECT_EQ(S_OK, LoadText(Live(Cycles(10), good))) << good;
    }
}

TEST_F(ConfigurationTest, ScanCyclesMustBeTenDistinctValuesBelow65536)
{
    EXPECT_EQ(Invalid, LoadText(Live(Cycles(9))));
    m_settings->Reset();
    EXPECT_EQ(Invalid, LoadText(Live(Cycles(11))));
    m_settings->Reset();
    EXPECT_EQ(Invalid, LoadText(Live(Cycles(10, 65527))));
    m_settings->Reset();
    std::string duplicate = Cycles(9);
    duplicate.insert(duplicate.size() - std::string("</ScanCycles>").size(), "<ScanCycle>3</ScanCycle>");
    EXPECT_EQ(Invalid, LoadText(Live(duplicate)));
    m_settings->Reset();
    // Children with another name are skipped; a missing element fails a live configuration.
    std::string mixed = Cycles(10);
    mixed.insert(12, "<Comment>x</Comment>");
    EXPECT_EQ(S_OK, LoadText(Live(mixed)));
    m_settings->Reset();
    EXPECT_EQ(Invalid, LoadText(Live("")));
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"Property = ScanCycles"));
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"OLECode  = 0xc0049002"));
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"API      = Load"));
}

TEST_F(ConfigurationTest, SimulationNeedsItsFileOnlyWhenEnabled)
{
    // Off: the attribute must be there, its file is never opened.
    EXPECT_EQ(Invalid, LoadText(Config("<Simulation Enabled=\"0\" Interval=\"100\"/>", Cycles(10))));
    m_settings->Reset();
    EXPECT_EQ(S_OK, LoadText(Config("<Simulation Enabled=\"0\" Interval=\"100\" File=\"missing.csv\"/>", Cycles(10))));

    // On: no scan cycles needed, but the file must be readable.
    m_settings->Reset();
    std::wstring missing = m_dir + L"\\missing.csv";
    std::string missingA(missing.begin(), missing.end());
    EXPECT_EQ(NoSimulation,
              LoadText(Config("<Simulation Enabled=\"true\" Interval=\"100\" File=\"" + missingA + "\"/>", "")));
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"Property = Simulation"));
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"OLECode  = 0xc0049005"));

    m_settings->Reset();
    std::wstring csv = Write(L"sim.csv", "A,B\n1,2\n3,4\n");
    std::string csvA(csv.begin(), csv.end());
    EXPECT_EQ(S_OK, LoadText(Config("<Simulation Enabled=\"TRUE\" Interval=\"1000\" File=\"" + csvA + "\"/>", "")));
    EXPECT_TRUE(m_settings->simulationEnabled);
    EXPECT_EQ(2u, m_settings->simulationRowCount);
    EXPECT_EQ(0u, m_settings->ScanCycleCount());
}

TEST_F(ConfigurationTest, CttWaitTimeIsOptionalAndZeroMeansUnset)
{
    for (const char* text : {"", "<CTTWaitTime/>", "<CTTWaitTime>0</CTTWaitTime>", "<CTTWaitTime>x</CTTWaitTime>"})
    {
        m_settings->Reset();
        EXPECT_EQ(S_OK, LoadText(Live(std::string(text) + Cycles(10)))) << text;
        EXPECT_EQ(0u, m_settings->cttWaitTime) << text;
    }
    m_settings->Reset();
    EXPECT_EQ(S_OK, LoadText(Live("<CTTWaitTime>0x10</CTTWaitTime>" + Cycles(10))));
    EXPECT_EQ(16u, m_settings->cttWaitTime);
}

TEST_F(ConfigurationTest, AFailureKeepsWhatWasReadBeforeIt)
{
    std::string xml = "<R><OutputLogDisable>false</OutputLogDisable>"
                      "<Simulation Enabled=\"no\" Interval=\"100\" File=\"x\"/></R>";
    EXPECT_EQ(Invalid, LoadText(xml));
    EXPECT_FALSE(m_settings->outputLogDisable);
    EXPECT_EQ(1u, m_api->RecordCount());

    m_settings->Reset();
    xml = "<R><OutputLogDisable>0</OutputLogDisable><Simulation Enabled=\"0\" Interval=\"300\" File=\"x\"/></R>";
    EXPECT_EQ(Invalid, LoadText(xml));
    EXPECT_EQ(300u, m_settings->simulationInterval);
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"Property = TagConfiguration"));
    EXPECT_EQ(2u, m_api->RecordCount());
}

TEST_F(ConfigurationTest, MissingOrBrokenFilesFailWithTheParserCode)
{
    EXPECT_EQ(Unparsable, m_cache->Load(COpcString((m_dir + L"\\absent.xml").c_str())));
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"API      = Load"));
    EXPECT_EQ(Unparsable, LoadText("<Configuration><OutputLogDisable>"));
    std::string binary(4096, '\0');
    for (size_t i = 0; i < binary.size(); ++i)
        binary[i] = static_cast<char>(i * 131 + 7);
    EXPECT_EQ(Unparsable, LoadText(binary));
    // Absurd values fail as invalid, not as a crash.
    EXPECT_EQ(Invalid, LoadText(Live(Cycles(10), "99999999999999999999")));
    EXPECT_EQ(4u, m_api->RecordCount());
}

TEST_F(ConfigurationTest, ElementNamesAreExactAndOutputLogDisableSilencesTheLog)
{
    std::string lower = Live(Cycles(10));
    lower.replace(lower.find("<OutputLogDisable>0</OutputLogDisable>"), 38, "<outputlogdisable>0</outputlogdisable>");
    EXPECT_EQ(Invalid, LoadText(lower));
    EXPECT_NE(std::wstring::npos, LastRecord().find(L"Property = OutputLogDisable"));

    m_settings->Reset();
    std::string silent = "<R><OutputLogDisable>1</OutputLogDisable><Simulation/></R>";
    size_t before = m_api->RecordCount();
    EXPECT_EQ(Invalid, LoadText(silent));
    EXPECT_TRUE(m_settings->outputLogDisable);
    EXPECT_EQ(before, m_api->RecordCount());
}

TEST(SimulationFile, RowsTakeTheHeaderWidthAndCellsStayAsWritten)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"tagbridge-sim-" + std::to_wstring(GetCurrentProcessId()) + L".csv";
    {
        std::ofstream out(path.c_str(), std::ios::binary);
        std::string longCell(100000, 'x');
        out << "A,B,C\r\n5\r\n\r\n 1 ,2,3,4\n"
            << longCell << ",y\n"
            << "last,row" << '\xFF' << "\nnever,read\n";
    }
    COpcDaSettings settings;
    ASSERT_TRUE(settings.LoadSimulationFile(COpcString(path.c_str())));
    EXPECT_EQ(3u, settings.simulationColumnCount);
    ASSERT_EQ(4u, settings.simulationRowCount);
    EXPECT_TRUE(settings.SimulationCell(0, 0).Equals(L"5"));
    EXPECT_TRUE(settings.SimulationCell(0, 1).IsEmpty());
    EXPECT_TRUE(settings.SimulationCell(0, 2).IsEmpty());
    EXPECT_TRUE(settings.SimulationCell(1, 0).Equals(L" 1 "));
    EXPECT_TRUE(settings.SimulationCell(1, 2).Equals(L"3")); // the fourth cell is ignored
    EXPECT_EQ(100000u, settings.SimulationCell(2, 0).Length());
    EXPECT_TRUE(settings.SimulationCell(3, 1).Equals(L"row"));
    // Outside the table there is nothing to read.
    EXPECT_TRUE(settings.SimulationCell(4, 0).IsEmpty());
    EXPECT_TRUE(settings.SimulationCell(0, 3).IsEmpty());

    // Rows repeat after the last; CSV columns are handed out in turn.
    for (uint32_t expected : {1u, 2u, 3u, 0u, 1u})
    {
        settings.AdvanceSimulationRow();
        EXPECT_EQ(expected, settings.simulationRow);
    }
    EXPECT_EQ(0u, settings.NextCsvColumn());
    EXPECT_EQ(1u, settings.NextCsvColumn());
    EXPECT_EQ(2u, settings.NextCsvColumn());
    EXPECT_EQ(0u, settings.NextCsvColumn());

    EXPECT_FALSE(settings.LoadSimulationFile(COpcString(L"Z:\\no\\such\\file.csv")));
    EXPECT_EQ(0u, settings.simulationRowCount);
    settings.AdvanceSimulationRow();
    EXPECT_EQ(0u, settings.simulationRow);
    DeleteFileW(path.c_str());
}

TEST(SimulationFile, ARowWithoutRoomForItsCellsStaysEmptyAndTheNextIsReadWhole)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"tagbridge-oom-" + std::to_wstring(GetCurrentProcessId()) + L".csv";
    std::ofstream(path.c_str(), std::ios::binary) << "A,B,C,D,E\n1,2,3,4,5\n6,7,8,9,10\n";
    COpcDaSettings settings;
    {
        // The first row's five cells.
        FailingAllocation fail(5 * sizeof(COpcString));
        ASSERT_TRUE(fail.Registered());
        ASSERT_TRUE(settings.LoadSimulationFile(COpcString(path.c_str())));
        EXPECT_TRUE(fail.Failed());
    }
    DeleteFileW(path.c_str());
    ASSERT_EQ(2u, settings.simulationRowCount);
    EXPECT_TRUE(settings.SimulationCell(0, 0).IsEmpty());
    const wchar_t* second[] = {L"6", L"7", L"8", L"9", L"10"};
    for (uint32_t i = 0; i < 5; ++i)
        EXPECT_TRUE(settings.SimulationCell(1, i).Equals(second[i])) << i;
}

TEST(Settings, ScanCycleListRefusesDuplicatesAndGrowsToElevenAtMost)
{
    COpcDaSettings settings;
    EXPECT_TRUE(settings.AddScanCycle(5));
    EXPECT_FALSE(settings.AddScanCycle(5));
    for (uint32_t v = 10; v < 20; ++v)
        EXPECT_TRUE(settings.AddScanCycle(v));
    EXPECT_EQ(11u, settings.ScanCycleCount());
    EXPECT_FALSE(settings.AddScanCycle(99));
    settings.Reset();
    EXPECT_EQ(0u, settings.ScanCycleCount());
    EXPECT_TRUE(settings.simulationEnabled);
}
