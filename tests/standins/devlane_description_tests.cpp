// Reading description files: what a good file defines, and that bad lines,
// binary junk, absurd numbers and missing files end in warnings, never in a crash.
#include "DevlaneTestSupport.h"

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

using namespace devlane_test;

namespace
{
class DevlaneDescription : public DevlaneTest
{
protected:
    static std::vector<std::string> Warnings()
    {
        std::string reply = Command("warnings");
        std::vector<std::string> lines;
        size_t start = reply.find('\n');
        while (start != std::string::npos)
        {
            size_t end = reply.find('\n', start + 1);
            lines.push_back(reply.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1));
            start = end;
        }
        return lines;
    }

    static std::wstring BesideThisProgram(const wchar_t* name)
    {
        wchar_t path[MAX_PATH] = {};
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring dir(path);
        return dir.substr(0, dir.find_last_of(L'\\') + 1) + name;
    }

    static std::wstring TempFile(const wchar_t* name, const std::string& content)
    {
        wchar_t dir[MAX_PATH] = {};
        GetTempPathW(MAX_PATH, dir);
        std::wstring path = std::wstring(dir) + name;
        std::ofstream(path.c_str(), std::ios::binary)
            .write(content.data(), static_cast<std::streamsize>(content.size()));
        return path;
    }
};
} // namespace

TEST_F(DevlaneDescription, BadLinesAreSkippedWithTheirNumberAndGoodLinesStillCount)
{
    const char* text = "\xEF\xBB\xBF# comment\n"                 // 1
                       "orphan = 1\n"                            // 2 outside any section
                       "[project]\n"                             // 3
                       "build = twelve\n"                        // 4
                       "build = 12\n"                            // 5
                       "[device N1.P1]\r\n"                      // 6
                       "D0 = int16 70000\n"                      // 7 does not fit
                       "D0 = int16 -5 6\n"                       // 8
                       "D2 = string \"a\\\"b\\\\c\\x41\"\n"      // 9
                       "D9 = string \"open\n"                    // 10 unterminated
                       "D10 = nothing 1\n"                       // 11 unknown type
                       "Q10 = int16 1\n"                         // 12 not an address
                       "D8191 = int16 1 2\n"                     // 13 past the end
                       "D20 = int16 ramp from=0 to=10 step=-1\n" // 14 never reaches 'to'
                       "D21 = int16 sine period=0\n"             // 15
                       "D22 = int16 toggle speed=3\n"            // 16 unknown setting
                       "D23 = string ramp\n"                     // 17 strings do not move
                       "size.Q = 10\n"                           // 18
                       "delay = 999999\n"                        // 19
                       "no equals sign\n"                        // 20
                       "[wrong section]\n"                       // 21
                       "D0 = int16 1\n"                          // 22 skipped with its section
                       "[symbols N1.P1]\n"                       // 23
                       "A.B = D0 int16 1\n"                      // 24
                       "A.B = D1 int16 1\n"                      // 25 twice
                       "A.C = D0 int16 0\n"                      // 26 count 0
                       "A.D = D0\n";                             // 27 too short
    LONG warnings = DevlaneControlLoadDescriptionText(text);
    std::vector<std::string> lines = Warnings();
    ASSERT_EQ(static_cast<size_t>(warnings), lines.size());
    const int expected[] = {2, 4, 7, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 25, 26, 27};
    ASSERT_EQ(sizeof expected / sizeof expected[0], lines.size());
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(0u, lines[i].find("line " + std::to_string(expected[i]) + ":")) << lines[i];

    EXPECT_EQ("ok -5 6", Command("get N1.P1 D0 int16 2"));
    EXPECT_EQ("ok \"a\\\"b\\\\cA\"", Command("get N1.P1 D2 string 6"));
    wchar_t path[DEVLANE_PATH_CHARS] = {};
    DWORD build = 0;
    EXPECT_EQ(kNoProject, GetLintorLoadedRXPPathW(path, &build)); // a build alone is no project
    SymbolInfo info = {};
    char scratch[DEVLANE_SYMBOL_SCRATCH] = {};
    DWORD reserved = 0;
    ASSERT_EQ(0, GetSymbolInformation("N1.P1", "A.B", 1, scratch, &info, &reserved));
    EXPECT_STREQ("D0", info.deviceAddress);
}

TEST_F(DevlaneDescription, BinaryJunkAndHugeLinesEndInWarnings)
{
    std::string junk(256 * 1024, '\0');
    uint32_t state = 12345;
    for (char& c : junk)
    {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>(state >> 24);
    }
    junk += "\n[device N1.P1]\nD0 = int16 42\n";
    DevlaneControlLoadDescriptionText(junk.c_str()); // stops at the first zero byte, like any C text
    std::wstring path = TempFile(L"devlane-junk.ini", junk);
    EXPECT_GT(DevlaneControlLoadDescription(path.c_str()), 0);
    EXPECT_EQ("ok 42", Command("get N1.P1 D0 int16"));

    std::string huge = "[device N1.P1]\nD0 = int16";
    for (int i = 0; i < 200000; ++i)
        huge += " 1";
    huge += "\nD1 = string \"" + std::string(100000, 'x') + "\"\n" + std::string(1000000, 0xFF) + "\n" + "[" +
            std::string(5000, 'd') + "]\nD2 = int16 9\n";
    EXPECT_EQ(4, DevlaneControlLoadDescriptionText(huge.c_str()));
}

TEST_F(DevlaneDescription, AbsurdNumbersAreRefused)
{
    std::string file = "[project]\npath = C:\\" + std::string(300, 'p') +
                       "\nbuild = 4294967296\n"
                       "[device N1.P1]\n"
                       "size.D = 0\n"
                       "size.D = 99999999999\n"
                       "size.M = 16777217\n"
                       "D0 = int16 ramp from=0 to=1e300 step=1e-300\n"
                       "D1 = float 1e39\n"
                       "D2 = double 1e400\n"
                       "D3 = bcd16 10000\n"
                       "D4 = bcd32 -1\n"
                       "D5 = hex16 0x10000\n"
                       "D99999999 = int16 1\n"
                       "D6 = int16 toggle every=0\n"
                       "[messages]\nnot-hex = x\n123456789 = too wide\n";
    EXPECT_EQ(15, DevlaneControlLoadDescriptionText(file.c_str()));
    EXPECT_EQ("ok 0", Command("get N1.P1 D8191 int16")); // the default size stayed
}

TEST_F(DevlaneDescription, DevicesAndSymbolsAreOneWhateverTheCaseOfTheirNames)
{
    // Many devices of similar names, each with a value of its own; a section
    // naming a device in another case adds to that device.
    std::string text = "[project]\npath = C:\\P.rxp\nbuild = 1\n";
    for (int i = 0; i < 60; ++i)
        text += "[device Node.Plc" + std::to_string(i) + "]\nD0 = int16 " + std::to_string(1000 + i) + "\n";
    text += "[device NODE.PLC7]\nD1 = int16 -7\n"
            "[symbols node.plc7]\n"
            "Pump.Speed = D0 int16 1\n"
            "PUMP.SPEED = D1 int16 1\n"; // the same symbol: refused, the first stays
    ASSERT_EQ(1, DevlaneControlLoadDescriptionText(text.c_str())) << Command("warnings");
    EXPECT_NE(std::string::npos, Command("warnings").find("defined twice"));

    Handle h;
    for (int i = 0; i < 60; ++i)
    {
        short v = 0;
        const std::string device = (i % 2 ? "NODE.plc" : "node.PLC") + std::to_string(i);
        ASSERT_EQ(0, ReadDevice16M(h, device.c_str(), "D0", &v, 1)) << device;
        EXPECT_EQ(1000 + i, v) << device;
    }
    short pair[2] = {};
    ASSERT_EQ(0, ReadDevice16M(h, "Node.Plc7", "D0", pair, 2));
    EXPECT_EQ(1007, pair[0]);
    EXPECT_EQ(-7, pair[1]);
    short speed = 0;
    ASSERT_EQ(0, ReadDevice16M(h, "Node.Plc7", "pump.speed", &speed, 1));
    EXPECT_EQ(1007, speed);
    EXPECT_EQ(kUnknownDevice, ReadDevice16M(h, "Node.Plc60", "D0", &speed, 1));
    EXPECT_EQ(kUnknownDevice, ReadDevice16M(h, "Node.Plc7 ", "D0", &speed, 1));
    EXPECT_EQ(kBadAddress, ReadDevice16M(h, "Node.Plc8", "Pump.Speed", &speed, 1)); // symbols belong to their device
}

TEST_F(DevlaneDescription, AMissingFileLeavesAnEmptyRuntime)
{
    EXPECT_EQ(1, DevlaneControlLoadDescription(L"C:\\no\\such\\Devlane.ini"));
    Handle h;
    short v = 0;
    EXPECT_EQ(kUnknownDevice, ReadDevice16M(h, "N1.P1", "D0", &v, 1));
    EXPECT_EQ(0, EasyCheckServerFork());
}

TEST_F(DevlaneDescription, TheProjectCanStartWithTheRuntimeDown)
{
    DevlaneControlLoadDescriptionText("[project]\nruntime = down\n");
    EXPECT_EQ(kRuntimeNotRunning, EasyCheckServerFork());
}

TEST_F(DevlaneDescription, TheDefaultDescriptionBesideTheLibraryIsClean)
{
    EXPECT_EQ(0, DevlaneControlLoadDescription(nullptr));
    wchar_t path[DEVLANE_PATH_CHARS] = {};
    DWORD build = 0;
    ASSERT_EQ(0, GetLintorLoadedRXPPathW(path, &build));
    EXPECT_STREQ(L"C:\\Lintor\\Projects\\Line1.rxp", path);
    Handle h;
    char text[14] = {};
    ASSERT_EQ(0, ReadDeviceStrM(h, "Line1.PLC1", "Sheet1.Recipe.Name", text, sizeof text));
    EXPECT_EQ("Line one ready", std::string(text, sizeof text));
}

TEST_F(DevlaneDescription, EverySampleDescriptionIsClean)
{
    std::wstring dir = BesideThisProgram(L"examples\\");
    WIN32_FIND_DATAW found{};
    struct Search
    {
        HANDLE handle;
        ~Search()
        {
            if (handle != INVALID_HANDLE_VALUE)
                FindClose(handle);
        }
    } search{FindFirstFileW((dir + L"*.ini").c_str(), &found)};
    ASSERT_NE(INVALID_HANDLE_VALUE, search.handle);
    int files = 0;
    do
    {
        ++files;
        EXPECT_EQ(0, DevlaneControlLoadDescription((dir + found.cFileName).c_str())) << Command("warnings");
        wchar_t path[DEVLANE_PATH_CHARS] = {};
        DWORD build = 0;
        EXPECT_EQ(0, GetLintorLoadedRXPPathW(path, &build));
    } while (FindNextFileW(search.handle, &found));
    EXPECT_GE(files, 2);
}
