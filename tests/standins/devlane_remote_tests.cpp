// Control of the library from a second process while this process holds it:
// the child program of these tests and the devlanectl tool.
#include "DevlaneTestSupport.h"

#include <chrono>
#include <initializer_list>
#include <string>

using namespace devlane_test;

namespace
{
// One argument quoted so that the C runtime of the child reads it back unchanged.
std::wstring QuoteArgument(const std::string& argument)
{
    std::wstring wide(argument.begin(), argument.end());
    std::wstring out = L"\"";
    size_t backslashes = 0;
    for (wchar_t c : wide)
    {
        if (c == L'\\')
        {
            ++backslashes;
            continue;
        }
        out.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        out += c;
    }
    out.append(backslashes * 2, L'\\');
    return out + L"\"";
}

std::wstring BesideThisProgram(const wchar_t* name)
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path);
    return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
}

// Runs a program beside this one and returns its exit code (-1 when it did not start or end).
DWORD RunProgram(const wchar_t* program, std::initializer_list<std::string> arguments)
{
    std::wstring exe = BesideThisProgram(program);
    std::wstring commandLine = L"\"" + exe + L"\"";
    for (const std::string& a : arguments)
        commandLine += L" " + QuoteArgument(a);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(exe.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return static_cast<DWORD>(-1);
    struct Owner
    {
        PROCESS_INFORMATION& p;
        ~Owner()
        {
            CloseHandle(p.hThread);
            CloseHandle(p.hProcess);
        }
    } owner{process};
    DWORD code = static_cast<DWORD>(-1);
    if (WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0)
        GetExitCodeProcess(process.hProcess, &code);
    return code;
}

std::string OwnPid()
{
    return std::to_string(GetCurrentProcessId());
}

class DevlaneRemote : public DevlaneTest
{
protected:
    Handle h;
};
} // namespace

TEST_F(DevlaneRemote, AnotherProcessSetsValuesThisOneReads)
{
    ASSERT_EQ(0u, RunProgram(L"devlane_control_child.exe",
                             {OwnPid(), "ping", "ok " + OwnPid(), "set N1.P1 D0 int16 777", "ok",
                              "set N1.P1 D10 string \"from afar\"", "ok", "set N1.P1 M3 bit 1", "ok"}));
    short v = 0;
    ASSERT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(777, v);
    char text[10] = {};
    ASSERT_EQ(0, ReadDeviceStrM(h, "N1.P1", "D10", text, 9));
    EXPECT_STREQ("from afar", text);
    WORD bits = 0;
    ASSERT_EQ(0, ReadDeviceBitM(h, "N1.P1", "M0", &bits, 4));
    EXPECT_EQ(0x0008, bits);
}

TEST_F(DevlaneRemote, AnotherProcessSeesValuesLogAndCounts)
{
    const short v = 4242;
    ASSERT_EQ(0, WriteDevice16DM(h, "N1.P1", "D5", &v, 1));
    ASSERT_EQ(0, EasyOutputLog(8, "Kestrix:", "hello"));
    EXPECT_EQ(0u, RunProgram(L"devlane_control_child.exe",
                             {OwnPid(), "get N1.P1 D5 int16", "ok 4242", "log", "ok 1\n8\t\"Kestrix:\"\t\"hello\"",
                              "count WriteDevice16DM", "ok 1", "get N1.P9 D5 int16", "error unknown device*"}));
}

TEST_F(DevlaneRemote, AnotherProcessTakesTheRuntimeAwayAndBringsItBack)
{
    ASSERT_EQ(0u, RunProgram(L"devlane_control_child.exe", {OwnPid(), "runtime down", "ok down*"}));
    EXPECT_EQ(kRuntimeNotRunning, EasyCheckServerFork());
    ASSERT_EQ(0u, RunProgram(L"devlane_control_child.exe", {OwnPid(), "runtime up", "ok up*"}));
    EXPECT_EQ(0, EasyCheckServerFork());
    ASSERT_EQ(0u,
              RunProgram(L"devlane_control_child.exe", {OwnPid(), "runtime restart", "ok up generation=2 attached=1"}));
    EXPECT_EQ(kRuntimeRestarted, EasyCheckServerFork());
}

TEST_F(DevlaneRemote, AnotherProcessInjectsFailuresAndSlowsADevice)
{
    ASSERT_EQ(0u, RunProgram(L"devlane_control_child.exe",
                             {OwnPid(), "inject ReadDevice16M C0B00203 1", "ok", "delay N1.P1 300", "ok"}));
    short v = 0;
    EXPECT_EQ(kAddressRange, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(0, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 280);
}

TEST_F(DevlaneRemote, AMismatchOrAMissingChannelIsReported)
{
    EXPECT_EQ(1u, RunProgram(L"devlane_control_child.exe", {OwnPid(), "get N1.P1 D0 int16", "ok 1"}));
    // Process id 4 is never one that holds the library.
    EXPECT_EQ(2u, RunProgram(L"devlane_control_child.exe", {"4", "--timeout", "300", "ping", "ok*"}));
}

TEST_F(DevlaneRemote, TheCommandLineToolDrivesTheLibrary)
{
    EXPECT_EQ(0u, RunProgram(L"devlanectl.exe", {"--pid", OwnPid(), "set", "N1.P1", "D7", "string", "two words"}));
    char text[10] = {};
    ASSERT_EQ(0, ReadDeviceStrM(h, "N1.P1", "D7", text, 9));
    EXPECT_STREQ("two words", text);
    EXPECT_EQ(1u, RunProgram(L"devlanectl.exe", {"--pid", OwnPid(), "no-such-command"}));
}
