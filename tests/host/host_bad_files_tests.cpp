// The real server started by COM from a folder holding a mutated
// configuration, tag or simulation file (a few of the seeded mutations the
// address-space tests run in-process): it serves with state running or
// no-configuration, and ends cleanly when its client lets go.
#include "FileMutations.h"
#include "LiveServerFixture.h"
#include "OpcHandle.h"

#include <cstdio>

using namespace host_test;

namespace
{
class BadFilesTest : public LiveServerTest
{
protected:
    // The simulation sample: no runtime needed, and all three files are read.
    const wchar_t* FolderName() const override { return L"host-mutations"; }

    void Put(const std::wstring& name, const std::string& content)
    {
        COpcHandle file(CreateFileW((m_folder + L"\\" + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_NE(INVALID_HANDLE_VALUE, file.Get());
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(file.Get(), content.data(), static_cast<DWORD>(content.size()), &written, nullptr));
    }
};

// Random mutations by operator (FileMutations.h takes them in turn): binary
// inserted, deep nesting, a huge value, a huge element count.
const size_t kOperators[] = {1, 2, 3, 4};
} // namespace

TEST_F(BadFilesTest, AServerOnAMutatedFileServesOrReportsNoConfigAndEndsCleanly)
{
    const wchar_t* files[] = {L"OpcConfiguration.xml", L"Tags.xml", L"Simulation.csv"};
    std::string samples[3];
    for (int f = 0; f < 3; ++f)
    {
        samples[f] = ReadFileText(m_folder + L"\\" + files[f] + L".sample");
        ASSERT_FALSE(samples[f].empty());
    }
    const uint32_t seed = mutation::Seed(20261208u);
    std::printf("[mutations] out of process, seed %u\n", static_cast<unsigned>(seed));
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    int tried = 0;
    for (int f = 0; f < 3; ++f)
    {
        mutation::Mutator mutator(samples[f], f == 2 ? mutation::Format::Csv : mutation::Format::Xml, seed);
        std::vector<mutation::Mutation> random = mutator.Random(12);
        std::vector<mutation::Mutation> cases = {mutator.Truncations(samples[f].size() / 2 + 1)[1]};
        for (size_t op : kOperators)
            cases.push_back(random[op]);
        for (const mutation::Mutation& m : cases)
        {
            const std::string where =
                std::string(files[f], files[f] + wcslen(files[f])) + " seed " + std::to_string(seed) + " " + m.name;
            for (int g = 0; g < 3; ++g)
                ASSERT_NO_FATAL_FAILURE(Put(files[g], g == f ? m.content : samples[g])) << where;
            ++tried;

            Client client;
            ASSERT_EQ(S_OK, client.Connect()) << where;
            const OPCSERVERSTATE state = client.State();
            EXPECT_TRUE(state == OPC_STATUS_RUNNING || state == OPC_STATUS_NOCONFIG) << where << " state " << state;
            std::printf("[mutations] %s: state %d\n", where.c_str(), static_cast<int>(state));
            const DWORD pid = devlane_control::FindProcess(L"tagbridge.exe");
            COpcHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_INFORMATION, FALSE, pid));
            ASSERT_TRUE(process.Get() != nullptr) << where;
            client.Disconnect();
            ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process.Get(), kWaitCeilingMs)) << where << " did not end";
            DWORD code = ~0u;
            GetExitCodeProcess(process.Get(), &code);
            EXPECT_EQ(0u, code) << where;
        }
    }
    std::printf("[mutations] out of process: %d tried\n", tried);
}
