// opcprobe, run as a program against the tests' own OPC server, whose answers
// are fixed: what it prints, and its exit codes.
#include "HostTestSupport.h"
#include "testserver_protocol.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace host_test;

namespace
{
struct ProbeRun
{
    DWORD code;
    std::string output;
};

ProbeRun Probe(const std::wstring& arguments)
{
    const std::wstring outputFile = TempFile(L"prb");
    ProbeRun run;
    run.code = RunToEnd(L"\"" + ProgramPath(L"opcprobe.exe") + L"\" " + arguments, 60000, outputFile);
    run.output = ReadFileText(outputFile);
    DeleteFileW(outputFile.c_str());
    return run;
}

std::string Utf8(const std::wstring& text)
{
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(bytes > 0 ? bytes - 1 : 0), '\0');
    if (bytes > 1)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), -1, &out[0], bytes, nullptr, nullptr);
    return out;
}

std::wstring TestServer()
{
    return std::wstring(L"--clsid ") + kTestServerClsidText + L" ";
}

TEST(OpcProbe, PrintsTheServerStatus)
{
    ProbeRun run = Probe(TestServer() + L"status");
    ASSERT_EQ(0u, run.code) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("state: COMM_FAULT\n")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("version: 3.0.1234\n")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("groups: 0\n")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("bandwidth: 0xFFFFFFFF\n")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("start time: ")) << run.output;
    // Non-ASCII text arrives whole, as UTF-8.
    EXPECT_NE(std::string::npos, run.output.find("vendor: " + Utf8(testserver::kVendorInfo) + "\n")) << run.output;
}

TEST(OpcProbe, AddsAndRemovesGroupsOnOneConnection)
{
    ProbeRun run = Probe(TestServer() + L"add-group Line1 250 status remove-group Line1 status");
    ASSERT_EQ(0u, run.code) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("group: Line1 handle=0x")) << run.output;
    const size_t first = run.output.find("groups: 1\n");
    EXPECT_NE(std::string::npos, first) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("removed: Line1\n")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("groups: 0\n", first)) << run.output;
}

TEST(OpcProbe, FailedActionGivesExitCodeOneAndTheRestStillRuns)
{
    // The test server has no group enumerator, and no group of that name.
    ProbeRun run = Probe(TestServer() + L"list-groups remove-group Nowhere status");
    EXPECT_EQ(1u, run.code) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("error: list-groups failed: 0x80004001")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("error: remove-group failed: 0x80070057")) << run.output;
    EXPECT_NE(std::string::npos, run.output.find("state: COMM_FAULT")) << run.output;
}

TEST(OpcProbe, WatchPrintsChangesAndKeepAlivesAndReportsWhatFailed)
{
    // The test server sends the first values, and a keep-alive when one is set,
    // while AddItems runs, so no duration is needed. It revises rates to 50 ms
    // steps, refuses the empty item ID and has no flat browse.
    const struct
    {
        const wchar_t* args;
        DWORD code;
        std::vector<std::string> present;
        const char* absent;
    } cases[] = {
        {L"watch Tag.A \"\" Tag.B rate=120 keepalive=1000 duration=0 status",
         1,
         {"watching 3 items, rate 150 ms\n", "Tag.A = (empty)  quality 0x20  time 20",
          "Tag.B = (empty)  quality 0x20  time 20", "keep-alive 20", "error: watch  failed: 0xC0040008", "groups: 0\n"},
         nullptr},
        {L"watch Tag.A duration=0 status", 0, {"Tag.A = (empty)  quality 0x20", "groups: 0\n"}, "keep-alive"},
        {L"watch branch=Line1 status", 1, {"error: watch branch=Line1 failed: 0x80004001", "groups: 0\n"}, "watching"},
    };
    for (const auto& c : cases)
    {
        ProbeRun run = Probe(TestServer() + c.args);
        EXPECT_EQ(c.code, run.code) << run.output;
        for (const std::string& line : c.present)
            EXPECT_NE(std::string::npos, run.output.find(line)) << line << "\n" << run.output;
        if (c.absent != nullptr)
            EXPECT_EQ(std::string::npos, run.output.find(c.absent)) << run.output;
    }
}

TEST(OpcProbe, UsageAndUnreachableServersHaveTheirOwnExitCodes)
{
    EXPECT_EQ(2u, Probe(L"").code);
    EXPECT_EQ(2u, Probe(L"status bogus").code);
    EXPECT_EQ(2u, Probe(L"add-group G notanumber").code);
    EXPECT_EQ(2u, Probe(L"--colour red status").code);
    EXPECT_EQ(2u, Probe(L"watch rate=100").code);
    EXPECT_EQ(2u, Probe(L"watch A deadband=101").code);
    ProbeRun run = Probe(L"--progid No.Such.Server.1 status");
    EXPECT_EQ(3u, run.code);
    EXPECT_NE(std::string::npos, run.output.find("No.Such.Server.1")) << run.output;
}
} // namespace
