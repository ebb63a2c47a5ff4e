#include "MendCore.h"
#include "MendResource.h"

#include <cstdlib>

namespace
{
const char kSection[] = "Product";
const char kUninstallValuePath[] = "InstallPath0";
const char kVersionValue[] = "DisplayVersion";
// Settings texts are read into 256-character buffers by the installer media's
// older tools; longer values are cut the same way here.
const std::string::size_type kMaxSettingLength = 255;

std::string ReadSetting(IMendProfile& profile, const std::string& iniPath, const char* key,
                        const std::string& defaultValue)
{
    std::string value = profile.ReadText(iniPath, kSection, key, defaultValue);
    if (value.size() > kMaxSettingLength)
        value.resize(kMaxSettingLength);
    return value;
}

bool EndsInSeparator(const std::string& path)
{
    return !path.empty() && (path.back() == '\\' || path.back() == '/');
}

std::string WithSeparator(std::string directory)
{
    if (!EndsInSeparator(directory))
        directory += '\\';
    return directory;
}

// Removes the next component (up to and including its ".") and reads it as a
// number; text that is no number reads as 0.
long TakeComponent(std::string& text)
{
    if (text.empty())
        return 0;
    std::string::size_type dot = text.find('.');
    std::string part = text.substr(0, dot);
    text = dot == std::string::npos ? std::string() : text.substr(dot + 1);
    return std::strtol(part.c_str(), nullptr, 10);
}

bool RunSucceeded(const MendRunResult& result)
{
    // Any nonzero code fails, "restart required" (3010) included: the patch is
    // not in place until the machine restarts.
    return result.started && result.exitCode == 0;
}

std::string ReadInstallDirectory(IMendRegistry& registry, const std::string& productCode)
{
    std::string directory;
    if (!registry.ReadUninstallValue(productCode, kUninstallValuePath, directory))
        directory.clear();
    return directory;
}

struct PatchStep
{
    const char* product;
    const std::string& guid;
    const std::string& version;
    const std::string& base;
    const std::string& argument;
    int failureCode;
    int misfitCode;
};

int ApplyPatch(MendWorld& world, const MendSettings& settings, const std::string& programDirectory,
               const std::string& installer, const PatchStep& step)
{
    int fit = CheckInstalledVersion(world.registry, step.guid, step.version, step.base);
    if (fit == 0)
    {
        MendRunResult result =
            world.runner.RunAndWait(installer, MendPatchParameters(programDirectory, step.product, step.argument));
        if (RunSucceeded(result))
            return 0;
        world.console.PrintLine(std::string("Can not launch the ") + step.product + " Patch!");
        return step.failureCode;
    }
    if (fit > 0)
        world.ui.ShowString(MendBox::Plain, IDS_MEND_ALREADY_UPDATED, settings.productName);
    else
        world.ui.ShowString(MendBox::Plain, IDS_MEND_CANNOT_PATCH, std::string());
    world.console.PrintLine(std::string("Invalid ") + step.product + " Version!");
    return step.misfitCode;
}

int UpdateReadme(MendWorld& world, const std::string& programDirectory, unsigned long locale,
                 const std::string& sendelDirectory)
{
    // Without the transfer utility there is no folder the readme belongs to.
    if (sendelDirectory.empty())
        return 0;
    std::string source = programDirectory + (locale == kMendJapaneseLocale ? "Readme_J.txt" : "Readme_E.txt");
    std::string target = sendelDirectory + "Readme.txt";
    if (!world.files.Exists(source))
        return 0;
    if (world.files.Exists(target) && !world.files.SetNormalAttributes(target))
    {
        world.console.PrintLine("Can not change attribute of File!");
        return 7;
    }
    if (!world.files.CopyOver(source, target))
    {
        world.console.PrintLine("Can not update Readme.txt!");
        return 7;
    }
    return 0;
}
} // namespace

MendSettings ReadMendSettings(IMendProfile& profile, const std::string& iniPath, unsigned long locale)
{
    MendSettings s;
    s.dravonGuid = ReadSetting(profile, iniPath, "DravonGUID", "{5E2A9C41-3B7D-4F10-9A62-C18D3E07B4F5}");
    s.sendelGuid = ReadSetting(profile, iniPath, "SendelGUID", "{A1D47F3C-92E8-4B6A-8C15-6F0E2B9D7A43}");
    s.dravonVersion = ReadSetting(profile, iniPath, "DravonVersion", "1.00.000");
    s.sendelVersion = ReadSetting(profile, iniPath, "SendelVersion", "1.00.000");
    s.dravonBase = ReadSetting(profile, iniPath, "DravonBase", "");
    s.sendelBase = ReadSetting(profile, iniPath, "SendelBase", "");
    s.dravonArgument = ReadSetting(profile, iniPath, "DravonArgument", "");
    s.sendelArgument = ReadSetting(profile, iniPath, "SendelArgument", "");
    s.dravonExist = profile.ReadInt(iniPath, kSection, "DravonExist", 1);
    s.sendelExist = profile.ReadInt(iniPath, kSection, "SendelExist", 1);
    s.protocolExist = profile.ReadInt(iniPath, kSection, "ProtocolExist", 1);
    s.versionKey = ReadSetting(profile, iniPath, "VersionKey", s.dravonVersion);
    s.productName = ReadSetting(profile, iniPath, "ProductName", "");
    s.closingMessage = ReadSetting(profile, iniPath, locale == kMendJapaneseLocale ? "MessageJA" : "MessageEN", "");
    return s;
}

MendOrder CompareVersions(std::string installed, std::string bound)
{
    long i = TakeComponent(installed);
    long x = TakeComponent(bound);
    while (i == x)
    {
        // A version that goes on after the bound's last component is lower:
        // 1.2.3 still takes the patch that brings 1.2.
        if (bound.empty())
            return installed.empty() ? MendOrder::Equal : MendOrder::Lower;
        i = TakeComponent(installed);
        x = TakeComponent(bound);
    }
    return i < x ? MendOrder::Lower : MendOrder::Higher;
}

int CheckInstalledVersion(IMendRegistry& registry, const std::string& productCode, const std::string& patchVersion,
                          const std::string& baseVersion)
{
    std::string installed;
    if (!registry.ReadUninstallValue(productCode, kVersionValue, installed))
        return 0;
    if (CompareVersions(installed, patchVersion) != MendOrder::Lower)
        return 1;
    if (!baseVersion.empty() && CompareVersions(installed, baseVersion) == MendOrder::Lower)
        return -1;
    return 0;
}

std::string MendInstallerPath(IMendSystem& system)
{
    std::string directory;
    if (!system.SystemDirectory(directory) || directory.empty())
        return "msiexec.exe";
    return directory + "\\msiexec.exe";
}

std::string MendPatchParameters(const std::string& programDirectory, const char* product, const std::string& argument)
{
    return "/p \"" + WithSeparator(programDirectory) + product + "\\Patch.msp\" " + argument;
}

std::string MendProtocolInstallerPath(const std::string& programDirectory)
{
    return WithSeparator(programDirectory) + "Protocol\\Setup.exe";
}

std::string MendProtocolParameters(const std::string& sendelDirectory)
{
    std::string directory = sendelDirectory;
    if (EndsInSeparator(directory))
        directory.pop_back();
    return "/s /a/p\"" + directory + "\"";
}

int RunMendProtocolInstall(IMendRunner& runner, IMendConsole& console, const std::string& programDirectory,
                           const std::string& sendelDirectory)
{
    MendRunResult result =
        runner.RunAndWait(MendProtocolInstallerPath(programDirectory), MendProtocolParameters(sendelDirectory));
    if (RunSucceeded(result))
        return 0;
    console.PrintLine("Can not launch the Protocol Installer!");
    return 5;
}

int RunMendSequence(MendWorld& world)
{
    std::string programDirectory;
    if (!world.system.ProgramDirectory(programDirectory) || programDirectory.empty())
    {
        world.console.PrintLine("Can not get the directory where is execute file!");
        return 2;
    }
    const unsigned long locale = world.system.DefaultLocale();
    const MendSettings settings = ReadMendSettings(world.profile, programDirectory + "mendkit.ini", locale);

    const std::string dravonDirectory = ReadInstallDirectory(world.registry, settings.dravonGuid);
    const std::string sendelDirectory = ReadInstallDirectory(world.registry, settings.sendelGuid);
    if (dravonDirectory.empty() && sendelDirectory.empty())
    {
        world.ui.ShowString(MendBox::SystemModal, IDS_MEND_CANNOT_PATCH, std::string());
        return 10;
    }
    const std::string installer = MendInstallerPath(world.system);

    // Patching while the runtime's applications run can leave them unable to start.
    while (world.system.RuntimeRunning())
    {
        if (!world.ui.AskRetry(IDS_MEND_RUNTIME_RUNNING))
            return 11;
    }

    int exitCode = 0;
    if (settings.dravonExist != 0 && !dravonDirectory.empty())
    {
        exitCode = ApplyPatch(world, settings, programDirectory, installer,
                              {"Dravon", settings.dravonGuid, settings.dravonVersion, settings.dravonBase,
                               settings.dravonArgument, 3, 6});
    }
    if (exitCode == 0 && settings.sendelExist != 0 && !sendelDirectory.empty())
    {
        exitCode = ApplyPatch(world, settings, programDirectory, installer,
                              {"Sendel", settings.sendelGuid, settings.sendelVersion, settings.sendelBase,
                               settings.sendelArgument, 4, 4});
    }
    if (exitCode != 0)
        return exitCode;

    if (settings.protocolExist != 0)
    {
        int result = world.ui.RunProtocolDialog(
            [&world, &programDirectory, &sendelDirectory]
            { return RunMendProtocolInstall(world.runner, world.console, programDirectory, sendelDirectory); });
        if (result != 0)
            exitCode = result;
    }

    int readme = UpdateReadme(world, programDirectory, locale, sendelDirectory);
    if (readme != 0)
        exitCode = readme;

    if (!settings.closingMessage.empty())
        world.ui.ShowText(MendBox::Information, settings.closingMessage);
    return exitCode;
}
