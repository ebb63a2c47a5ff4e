#include "OpcSimulationSwitch.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cstdio>
#include <string>

namespace
{
// A folder of its own under the temp directory, standing in for the program
// directory; holds at most one OpcConfiguration.xml.
class ProgramFolder
{
public:
    ProgramFolder()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        wchar_t name[MAX_PATH];
        GetTempFileNameW(base, L"sim", 0, name);
        DeleteFileW(name);
        CreateDirectoryW(name, nullptr);
        m_path = name;
    }
    ~ProgramFolder()
    {
        DeleteFileW(File().c_str());
        RemoveDirectoryW(m_path.c_str());
    }
    COpcString Path() const { return COpcString(m_path.c_str()); }
    std::wstring File() const { return m_path + L"\\OpcConfiguration.xml"; }
    void Write(const std::string& bytes) const
    {
        FILE* f = _wfopen(File().c_str(), L"wb");
        ASSERT_NE(nullptr, f);
        fwrite(bytes.data(), 1, bytes.size(), f);
        fclose(f);
    }
    // A configuration whose Simulation element carries the given attribute text.
    void WriteSimulation(const std::string& attributes) const
    {
        Write("<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<OpcConfiguration>\n  <Scan Cycle=\"100\"/>\n"
              "  <Simulation " +
              attributes + " Mode=\"Sine\"/>\n</OpcConfiguration>\n");
    }

private:
    std::wstring m_path;
};

class SimulationSwitch : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED))); }
    void TearDown() override { CoUninitialize(); }

    ProgramFolder folder;
};
} // namespace

TEST_F(SimulationSwitch, TrueByTheBooleanRule)
{
    for (const char* text : {"true", "1", "TRUE", "True", "-3"})
    {
        folder.WriteSimulation(std::string("Enabled=\"") + text + "\"");
        EXPECT_TRUE(ReadSimulationSwitch(folder.Path())) << text;
    }
}

TEST_F(SimulationSwitch, FalseForFalseOrAnythingNotABoolean)
{
    for (const char* text : {"false", "0", "yes", "on", "", "1.0"})
    {
        folder.WriteSimulation(std::string("Enabled=\"") + text + "\"");
        EXPECT_FALSE(ReadSimulationSwitch(folder.Path())) << text;
    }
}

TEST_F(SimulationSwitch, FalseWhenFileElementOrAttributeIsMissing)
{
    EXPECT_FALSE(ReadSimulationSwitch(folder.Path())); // no file
    folder.WriteSimulation("enabled=\"true\"");        // attribute names are case-sensitive
    EXPECT_FALSE(ReadSimulationSwitch(folder.Path()));
    folder.Write("<OpcConfiguration><simulation Enabled=\"true\"/></OpcConfiguration>");
    EXPECT_FALSE(ReadSimulationSwitch(folder.Path()));
    folder.Write("<OpcConfiguration><Group><Simulation Enabled=\"true\"/></Group></OpcConfiguration>");
    EXPECT_FALSE(ReadSimulationSwitch(folder.Path())); // only a child of the root counts
    folder.Write("<OpcConfiguration><Simulation Enabled=\"true\"></OpcConfiguration>");
    EXPECT_FALSE(ReadSimulationSwitch(folder.Path())); // not well-formed
    folder.Write("\x7f"
                 "ELF\x02\x01\x01");
    EXPECT_FALSE(ReadSimulationSwitch(folder.Path()));
    EXPECT_FALSE(ReadSimulationSwitch(COpcString()));
}

TEST_F(SimulationSwitch, DirectoryMayEndWithASeparator)
{
    folder.WriteSimulation("Enabled=\"1\"");
    EXPECT_TRUE(ReadSimulationSwitch(folder.Path() + COpcString(L"\\")));
}
