// The patch installer's logic: settings, version comparison, command lines
// and the main sequence.
#pragma once

#include "MendInterfaces.h"

#include <string>

const unsigned long kMendJapaneseLocale = 1041;

struct MendSettings
{
    std::string dravonGuid;
    std::string sendelGuid;
    std::string dravonVersion;
    std::string sendelVersion;
    std::string dravonBase;
    std::string sendelBase;
    std::string dravonArgument;
    std::string sendelArgument;
    int dravonExist = 1;
    int sendelExist = 1;
    int protocolExist = 1;
    std::string versionKey;
    std::string productName;
    std::string closingMessage;
};

// Reads section "Product" of <iniPath>; texts longer than 255 characters are cut.
MendSettings ReadMendSettings(IMendProfile& profile, const std::string& iniPath, unsigned long locale);

enum class MendOrder
{
    Lower,
    Equal,
    Higher
};

// Compares two dotted version texts number by number.
MendOrder CompareVersions(std::string installed, std::string bound);

// 0 when the installed version takes the patch, +1 when it is already at or
// above <patchVersion>, -1 when it is below a non-empty <baseVersion>.
int CheckInstalledVersion(IMendRegistry& registry, const std::string& productCode, const std::string& patchVersion,
                          const std::string& baseVersion);

std::string MendInstallerPath(IMendSystem& system);
// "/p "<dir>\<product>\Patch.msp" <argument>".
std::string MendPatchParameters(const std::string& programDirectory, const char* product, const std::string& argument);
std::string MendProtocolInstallerPath(const std::string& programDirectory);
std::string MendProtocolParameters(const std::string& sendelDirectory);

// The protocol installer step as the installer window's worker runs it: 0 or 5.
int RunMendProtocolInstall(IMendRunner& runner, IMendConsole& console, const std::string& programDirectory,
                           const std::string& sendelDirectory);

// The whole run; returns the program's exit code.
int RunMendSequence(MendWorld& world);
