// The patch installer's sequence against fakes of the machine: which
// installers run with which command lines, what the user sees and the exit code.
#include "MendCore.h"
#include "MendResource.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <utility>
#include <vector>

namespace
{
struct Shown
{
    MendBox box;
    unsigned id;
    std::string text;
};

struct FakeUi : IMendUi
{
    std::vector<Shown> shown;
    std::deque<bool> retryAnswers;
    int dialogRuns = 0;
    void ShowString(MendBox box, unsigned id, const std::string& insert) override
    {
        shown.push_back({box, id, insert});
    }
    void ShowText(MendBox box, const std::string& text) override { shown.push_back({box, 0, text}); }
    bool AskRetry(unsigned id) override
    {
        shown.push_back({MendBox::Plain, id, ""});
        bool retry = !retryAnswers.empty() && retryAnswers.front();
        if (!retryAnswers.empty())
            retryAnswers.pop_front();
        return retry;
    }
    int RunProtocolDialog(const std::function<int()>& install) override
    {
        ++dialogRuns;
        return install();
    }
};

struct FakeRegistry : IMendRegistry
{
    std::map<std::pair<std::string, std::string>, std::string> values;
    bool ReadUninstallValue(const std::string& code, const char* name, std::string& value) override
    {
        auto it = values.find({code, name});
        if (it == values.end())
            return false;
        value = it->second;
        return true;
    }
};

struct FakeRunner : IMendRunner
{
    std::vector<std::pair<std::string, std::string>> calls;
    std::map<std::string, MendRunResult> results; // by file; started with 0 otherwise
    MendRunResult RunAndWait(const std::string& file, const std::string& parameters) override
    {
        calls.push_back({file, parameters});
        auto it = results.find(file);
        return it != results.end() ? it->second : MendRunResult{true, 0};
    }
};

struct FakeFiles : IMendFiles
{
    std::set<std::string> existing;
    bool attributesFail = false, copyFails = false;
    std::vector<std::string> changes;
    bool Exists(const std::string& path) override { return existing.count(path) != 0; }
    bool SetNormalAttributes(const std::string& path) override
    {
        changes.push_back("normal " + path);
        return !attributesFail;
    }
    bool CopyOver(const std::string& from, const std::string& to) override
    {
        changes.push_back(from + " > " + to);
        return !copyFails;
    }
};

struct FakeConsole : IMendConsole
{
    std::vector<std::string> lines;
    void PrintLine(const std::string& line) override { lines.push_back(line); }
};

struct FakeProfile : IMendProfile
{
    std::map<std::string, std::string> texts;
    std::map<std::string, int> numbers;
    std::string ReadText(const std::string&, const char*, const char* key, const std::string& def) override
    {
        auto it = texts.find(key);
        return it != texts.end() ? it->second : def;
    }
    int ReadInt(const std::string&, const char*, const char* key, int def) override
    {
        auto it = numbers.find(key);
        return it != numbers.end() ? it->second : def;
    }
};

struct FakeSystem : IMendSystem
{
    std::string programDirectory = "D:\\Media\\";
    std::string systemDirectory = "C:\\windows\\system32";
    unsigned long locale = 1033;
    int runningChecks = 0, runningFor = 0; // the runtime runs for the first <runningFor> checks
    bool ProgramDirectory(std::string& d) override
    {
        d = programDirectory;
        return !d.empty();
    }
    bool SystemDirectory(std::string& d) override
    {
        d = systemDirectory;
        return !d.empty();
    }
    unsigned long DefaultLocale() override { return locale; }
    bool RuntimeRunning() override { return runningChecks++ < runningFor; }
};

const std::string kDravonCode = "{5E2A9C41-3B7D-4F10-9A62-C18D3E07B4F5}";
const std::string kSendelCode = "{A1D47F3C-92E8-4B6A-8C15-6F0E2B9D7A43}";
const std::string kMsiexec = "C:\\windows\\system32\\msiexec.exe";
const std::string kSetup = "D:\\Media\\Protocol\\Setup.exe";

// Both products installed at 1.5, patches bring 2.0, both readmes on the medium.
struct Machine
{
    FakeUi ui;
    FakeRegistry registry;
    FakeRunner runner;
    FakeFiles files;
    FakeConsole console;
    FakeProfile profile;
    FakeSystem system;
    Machine()
    {
        Install(kDravonCode, "C:\\Apps\\Dravon\\", "1.5");
        Install(kSendelCode, "C:\\Apps\\Sendel\\", "1.5");
        profile.texts = {{"DravonVersion", "2.0"},
                         {"SendelVersion", "2.0"},
                         {"ProductName", "Lintor Suite"},
                         {"MessageEN", "Done."},
                         {"MessageJA", "Kanryo."}};
        files.existing = {"D:\\Media\\Readme_E.txt", "D:\\Media\\Readme_J.txt", "C:\\Apps\\Sendel\\Readme.txt"};
    }
    void Install(const std::string& code, const std::string& dir, const std::string& version)
    {
        registry.values[{code, "InstallPath0"}] = dir;
        if (!version.empty())
            registry.values[{code, "DisplayVersion"}] = version;
    }
    int Run()
    {
        MendWorld world{ui, registry, runner, files, console, profile, system};
        return RunMendSequence(world);
    }
    std::vector<unsigned> ShownIds() const
    {
        std::vector<unsigned> ids;
        for (const Shown& s : ui.shown)
            ids.push_back(s.id);
        return ids;
    }
};

TEST(MendkitVersions, CompareComponentByComponentAsNumbers)
{
    struct Row
    {
        const char* installed;
        const char* bound;
        MendOrder order;
    } rows[] = {
        {"1.2.3", "1.2", MendOrder::Lower},      {"1.2", "1.2.0", MendOrder::Equal},
        {"1.10", "1.9", MendOrder::Higher},      {"1.2", "1.2.5", MendOrder::Lower},
        {"1.00.000", "1.0.0", MendOrder::Equal}, {"2", "10", MendOrder::Lower},
        {"x.1", "0.1", MendOrder::Equal},        {"", "", MendOrder::Equal},
    };
    for (const Row& r : rows)
        EXPECT_EQ(CompareVersions(r.installed, r.bound), r.order) << r.installed << " vs " << r.bound;
}

TEST(MendkitVersions, PatchAppliesOnlyBetweenBaseAndPatchVersion)
{
    struct Row
    {
        bool sendel;
        const char* installed;
        const char* patch;
        const char* base;
        int exitCode;
        unsigned box;
        const char* insert;
    } rows[] = {
        {false, "1.2.3", "1.2", "", 0, 0, ""},
        {false, "1.2", "1.2.0", "", 6, IDS_MEND_ALREADY_UPDATED, "Lintor Suite"},
        {false, "1.10", "1.9", "", 6, IDS_MEND_ALREADY_UPDATED, "Lintor Suite"},
        {false, "", "1.9", "", 0, 0, ""}, // no DisplayVersion
        {false, "1.5", "3.0", "2.0", 6, IDS_MEND_CANNOT_PATCH, ""},
        {false, "2.0", "3.0", "2.0", 0, 0, ""},
        {true, "1.2", "1.2", "", 4, IDS_MEND_ALREADY_UPDATED, "Lintor Suite"},
        {true, "1.5", "3.0", "2.0", 4, IDS_MEND_CANNOT_PATCH, ""},
    };
    for (const Row& r : rows)
    {
        Machine m;
        m.registry.values.clear();
        const char* product = r.sendel ? "Sendel" : "Dravon";
        m.Install(r.sendel ? kSendelCode : kDravonCode, "C:\\Apps\\X\\", r.installed);
        m.profile.texts[std::string(product) + "Version"] = r.patch;
        m.profile.texts[std::string(product) + "Base"] = r.base;
        m.profile.numbers["ProtocolExist"] = 0;
        SCOPED_TRACE(std::string(product) + " " + r.installed + " patch " + r.patch + " base " + r.base);

        EXPECT_EQ(m.Run(), r.exitCode);
        EXPECT_EQ(m.runner.calls.size(), r.exitCode == 0 ? 1u : 0u);
        if (r.box == 0)
            continue;
        ASSERT_EQ(m.ui.shown.size(), 1u); // no closing message after a misfit
        EXPECT_EQ(m.ui.shown[0].box, MendBox::Plain);
        EXPECT_EQ(m.ui.shown[0].id, r.box);
        EXPECT_EQ(m.ui.shown[0].text, r.insert);
        EXPECT_EQ(m.console.lines, std::vector<std::string>{std::string("Invalid ") + product + " Version!"});
    }
}

TEST(MendkitSequence, FailuresSkipLaterStepsAndSetTheExitCode)
{
    const std::string copy = "D:\\Media\\Readme_E.txt > C:\\Apps\\Sendel\\Readme.txt";
    struct Row
    {
        const char* name;
        std::function<void(Machine&)> setup;
        int exitCode;
        std::vector<std::string> runs;
        std::vector<unsigned> shown;
        std::vector<std::string> lines;
        bool copied;
    } rows[] = {
        {"all steps", [](Machine&) {}, 0, {kMsiexec, kMsiexec, kSetup}, {0}, {}, true},
        {"neither product installed",
         [](Machine& m)
         {
             m.registry.values.clear();
             m.system.runningFor = 5;
         },
         10,
         {},
         {IDS_MEND_CANNOT_PATCH},
         {},
         false},
        {"cancel while the runtime runs",
         [](Machine& m)
         {
             m.system.runningFor = 5;
             m.ui.retryAnswers = {true, false};
         },
         11,
         {},
         {IDS_MEND_RUNTIME_RUNNING, IDS_MEND_RUNTIME_RUNNING},
         {},
         false},
        {"retry after the runtime ended",
         [](Machine& m)
         {
             m.system.runningFor = 1;
             m.ui.retryAnswers = {true};
         },
         0,
         {kMsiexec, kMsiexec, kSetup},
         {IDS_MEND_RUNTIME_RUNNING, 0},
         {},
         true},
        {"editor patch asks for a restart",
         [](Machine& m) {
             m.runner.results[kMsiexec] = {true, 3010};
         },
         3,
         {kMsiexec},
         {},
         {"Can not launch the Dravon Patch!"},
         false},
        {"editor patch does not start",
         [](Machine& m) {
             m.runner.results[kMsiexec] = {false, 0};
         },
         3,
         {kMsiexec},
         {},
         {"Can not launch the Dravon Patch!"},
         false},
        {"editor misfit skips the rest",
         [](Machine& m) { m.profile.texts["DravonVersion"] = "1.5"; },
         6,
         {},
         {IDS_MEND_ALREADY_UPDATED},
         {"Invalid Dravon Version!"},
         false},
        {"transfer utility patch fails",
         [](Machine& m)
         {
             m.registry.values.erase({kDravonCode, "InstallPath0"});
             m.runner.results[kMsiexec] = {true, 1603};
         },
         4,
         {kMsiexec},
         {},
         {"Can not launch the Sendel Patch!"},
         false},
        {"both patches switched off",
         [](Machine& m)
         {
             m.profile.numbers["DravonExist"] = 0;
             m.profile.numbers["SendelExist"] = 0;
         },
         0,
         {kSetup},
         {0},
         {},
         true},
        {"protocol fails, readme still updated",
         [](Machine& m) {
             m.runner.results[kSetup] = {true, 1};
         },
         5,
         {kMsiexec, kMsiexec, kSetup},
         {0},
         {"Can not launch the Protocol Installer!"},
         true},
        {"protocol switched off",
         [](Machine& m)
         {
             m.profile.numbers["ProtocolExist"] = 0;
             m.profile.texts["MessageEN"] = "";
         },
         0,
         {kMsiexec, kMsiexec},
         {},
         {},
         true},
        {"readme attributes cannot change",
         [](Machine& m) { m.files.attributesFail = true; },
         7,
         {kMsiexec, kMsiexec, kSetup},
         {0},
         {"Can not change attribute of File!"},
         false},
        {"readme cannot be copied",
         [](Machine& m) { m.files.copyFails = true; },
         7,
         {kMsiexec, kMsiexec, kSetup},
         {0},
         {"Can not update Readme.txt!"},
         true},
        {"no program directory",
         [](Machine& m) { m.system.programDirectory.clear(); },
         2,
         {},
         {},
         {"Can not get the directory where is execute file!"},
         false},
    };
    for (const Row& r : rows)
    {
        SCOPED_TRACE(r.name);
        Machine m;
        r.setup(m);
        EXPECT_EQ(m.Run(), r.exitCode);
        std::vector<std::string> runs;
        for (const auto& call : m.runner.calls)
            runs.push_back(call.first);
        EXPECT_EQ(runs, r.runs);
        EXPECT_EQ(m.ShownIds(), r.shown);
        EXPECT_EQ(m.console.lines, r.lines);
        bool copied = std::find(m.files.changes.begin(), m.files.changes.end(), copy) != m.files.changes.end();
        EXPECT_EQ(copied, r.copied);
        if (r.exitCode == 10)
        {
            EXPECT_EQ(m.system.runningChecks, 0);
            EXPECT_EQ(m.ui.shown[0].box, MendBox::SystemModal);
        }
    }
}

TEST(MendkitSequence, CommandLinesQuoteThePathsAndDropOneTrailingSeparator)
{
    struct Row
    {
        const char* systemDir;
        const char* sendelDir;
        const char* installer;
        const char* protocolParameters;
    } rows[] = {
        {"C:\\windows\\system32", "C:\\Apps\\Sendel\\", "C:\\windows\\system32\\msiexec.exe",
         "/s /a/p\"C:\\Apps\\Sendel\""},
        {"", "C:/Apps/Sendel/", "msiexec.exe", "/s /a/p\"C:/Apps/Sendel\""},
        {"C:\\windows\\system32", "C:\\Apps\\Sendel", kMsiexec.c_str(), "/s /a/p\"C:\\Apps\\Sendel\""},
        {"C:\\windows\\system32", "C:\\Apps\\Sendel\\\\", kMsiexec.c_str(), "/s /a/p\"C:\\Apps\\Sendel\\\""},
    };
    for (const Row& r : rows)
    {
        SCOPED_TRACE(r.sendelDir);
        Machine m;
        m.system.systemDirectory = r.systemDir;
        m.Install(kSendelCode, r.sendelDir, "1.5");
        m.profile.texts["DravonArgument"] = "/qn REBOOT=ReallySuppress";
        m.profile.texts["SendelArgument"] = "/passive";
        ASSERT_EQ(m.Run(), 0);
        using Call = std::pair<std::string, std::string>;
        EXPECT_EQ(m.runner.calls,
                  (std::vector<Call>{{r.installer, "/p \"D:\\Media\\Dravon\\Patch.msp\" /qn REBOOT=ReallySuppress"},
                                     {r.installer, "/p \"D:\\Media\\Sendel\\Patch.msp\" /passive"},
                                     {kSetup, r.protocolParameters}}));
    }
    EXPECT_EQ(MendPatchParameters("D:\\Media", "Dravon", ""), "/p \"D:\\Media\\Dravon\\Patch.msp\" ");
    EXPECT_EQ(MendPatchParameters("D:/Media/", "Sendel", "x"), "/p \"D:/Media/Sendel\\Patch.msp\" x");
    EXPECT_EQ(MendProtocolInstallerPath("D:\\Media"), kSetup);
}

TEST(MendkitSettings, JapaneseLocalePicksItsTextsAndLongValuesAreCut)
{
    struct Row
    {
        unsigned long locale;
        const char* readme;
        const char* closing;
    } rows[] = {
        {1033, "D:\\Media\\Readme_E.txt", "Done."},
        {1041, "D:\\Media\\Readme_J.txt", "Kanryo."},
        {1031, "D:\\Media\\Readme_E.txt", "Done."},
    };
    for (const Row& r : rows)
    {
        Machine m;
        m.system.locale = r.locale;
        ASSERT_EQ(m.Run(), 0);
        EXPECT_EQ(m.files.changes.back(), std::string(r.readme) + " > C:\\Apps\\Sendel\\Readme.txt");
        EXPECT_EQ(m.ui.shown.back().box, MendBox::Information);
        EXPECT_EQ(m.ui.shown.back().text, r.closing);
    }

    FakeProfile profile;
    profile.texts = {{"DravonVersion", "3.1"}, {"ProductName", std::string(300, 'n')}};
    MendSettings s = ReadMendSettings(profile, "D:\\Media\\mendkit.ini", 1033);
    EXPECT_EQ(s.productName, std::string(255, 'n'));
    EXPECT_EQ(s.versionKey, "3.1");
    EXPECT_EQ(s.sendelGuid, kSendelCode);
    EXPECT_EQ(s.sendelVersion, "1.00.000");
    EXPECT_EQ(s.dravonExist + s.sendelExist + s.protocolExist, 3);
}
} // namespace
