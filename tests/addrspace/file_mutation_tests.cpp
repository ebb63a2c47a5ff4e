// Seeded mutations of the shipped samples (examples/) run through the whole
// start-up of the address space: whatever a configuration, tag or
// simulation file holds, start-up ends with success or one of its designed
// codes, the server state follows, a failure is in the error log, and
// nothing crashes or hangs. The seed is printed; TAGBRIDGE_MUTATION_SEED
// replays a run.
#include "AddressSpaceFixture.h"
#include "FileMutations.h"

#include "OpcResultCodes.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

using namespace addrspace_test;

namespace
{
std::string ReadSample(const char* relative)
{
    std::ifstream in(SourcePath(relative).c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Mutations per sample: random ones, and truncations at this many evenly spaced points.
const size_t kRandomMutations = 90;
const size_t kTruncations = 32;

enum class Kind
{
    Configuration,
    Tags,
    Simulation
};

class FileMutationTest : public AddressSpaceTest
{
protected:
    void TearDown() override
    {
        if (m_cache)
            m_cache->Uninitialize();
        AddressSpaceTest::TearDown();
    }

    // Every mutation of one file of a sample folder, the other files as shipped.
    void Run(const char* folder, const char* file, Kind kind, std::set<HRESULT> allowed)
    {
        allowed.insert(S_OK);
        const std::string base = std::string("examples/") + folder + "/";
        const bool live = std::string(folder) == "live";
        const uint32_t seed = mutation::Seed(20261208u + static_cast<uint32_t>(kind) * 7 + (live ? 1 : 0));
        std::printf("[mutations] %s/%s seed %u\n", folder, file, static_cast<unsigned>(seed));
        const std::string sample = ReadSample((base + file).c_str());
        ASSERT_FALSE(sample.empty());
        mutation::Mutator mutator(sample, kind == Kind::Simulation ? mutation::Format::Csv : mutation::Format::Xml,
                                  seed);
        std::vector<mutation::Mutation> mutations = mutator.Truncations(sample.size() / kTruncations + 1);
        for (mutation::Mutation& m : mutator.Random(kRandomMutations))
            mutations.push_back(std::move(m));

        for (const char* shipped : {"OpcConfiguration.xml", "Tags.xml", "Simulation.csv"})
            WriteFile(std::wstring(shipped, shipped + strlen(shipped)).c_str(),
                      ReadSample(("examples/simulation/" + std::string(shipped)).c_str()));
        for (const char* shipped : {"OpcConfiguration.xml", "Tags.xml"})
        {
            if (live)
                WriteFile(std::wstring(shipped, shipped + strlen(shipped)).c_str(),
                          ReadSample((base + shipped).c_str()));
        }
        ASSERT_TRUE(SetCurrentDirectoryW(m_dir.c_str()));

        size_t started = 0;
        for (const mutation::Mutation& m : mutations)
        {
            WriteFile(std::wstring(file, file + strlen(file)).c_str(), m.content);
            ASSERT_EQ(0, DevlaneControlReset());
            if (live)
            {
                ASSERT_EQ(0, DevlaneControlLoadDescription(SourcePath("examples/live/Devlane.ini").c_str()));
            }
            FreshSettings();
            Build();
            m_cache->SetConfigurationPath(COpcString((m_dir + L"\\OpcConfiguration.xml").c_str()));
            const HRESULT hr = m_cache->Initialize();
            const std::string where = "seed " + std::to_string(seed) + " mutation " + m.name;
            EXPECT_EQ(1u, allowed.count(hr)) << where << " gave 0x" << std::hex << hr;
            EXPECT_EQ(hr == S_OK ? OPC_STATUS_RUNNING : OPC_STATUS_NOCONFIG, m_cache->GetState()) << where;
            if (hr != S_OK)
            {
                EXPECT_TRUE(m_settings->outputLogDisable || HasRecordWith(hr))
                    << where << " failed without an error-log record";
                EXPECT_EQ(0u, m_device->ItemCount()) << where;
            }
            EXPECT_EQ(m_device->ItemCount(), m_cache->ItemCount()) << where;
            if (hr == S_OK)
            {
                ++started;
                CheckStarted(where);
            }
            m_cache->Uninitialize();
            if (HasFailure())
                return;
        }
        std::printf("[mutations] %s/%s: %zu tried, %zu started\n", folder, file, mutations.size(), started);
        // The mutations must not all be so rough that only the reader is tested.
        EXPECT_GT(started, mutations.size() / 40);
    }

    // A started address space holds settings within their rules, and its
    // simulation reads whatever table it got.
    void CheckStarted(const std::string& where)
    {
        const COpcDaSettings& s = *m_settings;
        if (s.simulationEnabled)
        {
            EXPECT_TRUE(s.simulationInterval >= 100 && s.simulationInterval % 100 == 0) << where;
            m_device->StopPolling();
            for (uint64_t pass = 0; pass < 3; ++pass)
            {
                m_device->SimulationPass(pass);
                m_settings->AdvanceSimulationRow();
            }
        }
        else
        {
            EXPECT_EQ(10u, s.ScanCycleCount()) << where;
        }
    }

    bool HasRecordWith(HRESULT code) const
    {
        wchar_t ole[32];
        swprintf(ole, 32, L"OLECode  = 0x%8.8x ", static_cast<unsigned>(code));
        for (const std::wstring& r : Records())
        {
            if (r.find(ole) != std::wstring::npos)
                return true;
        }
        return false;
    }
};

const HRESULT kUnparsable = MapDeviceCode(OPC_DEV_E_XML_PARSE);
const HRESULT kInvalid = MapDeviceCode(OPC_DEV_E_CONFIGURATION);
const HRESULT kTagFile = MapDeviceCode(OPC_DEV_E_TAG_FILE);
const HRESULT kProject = MapDeviceCode(OPC_DEV_E_PROJECT);
const HRESULT kNoSimulation = MapDeviceCode(OPC_DEV_E_SIMULATION_FILE);
} // namespace

TEST_F(FileMutationTest, ConfigurationFilesStartOrFailWithTheirCode)
{
    // A mutated configuration may also name a tag file that is not there.
    for (const char* folder : {"simulation", "live"})
        ASSERT_NO_FATAL_FAILURE(Run(folder, "OpcConfiguration.xml", Kind::Configuration,
                                    {kUnparsable, kInvalid, kNoSimulation, kTagFile, kProject}));
}

TEST_F(FileMutationTest, TagFilesStartOrFailWithTheirCode)
{
    for (const char* folder : {"simulation", "live"})
        ASSERT_NO_FATAL_FAILURE(Run(folder, "Tags.xml", Kind::Tags, {kTagFile, kProject}));
}

TEST_F(FileMutationTest, SimulationFilesAlwaysStart)
{
    ASSERT_NO_FATAL_FAILURE(Run("simulation", "Simulation.csv", Kind::Simulation, {}));
}
