// The Win32 side of the patch installer: the machine as mendkit.exe sees it.
#pragma once

#include "MendInterfaces.h"

#include <windows.h>

#include <string>

class CMendWinRegistry : public IMendRegistry
{
public:
    bool ReadUninstallValue(const std::string& productCode, const char* valueName, std::string& value) override;
};

class CMendWinRunner : public IMendRunner
{
public:
    MendRunResult RunAndWait(const std::string& file, const std::string& parameters) override;
};

class CMendWinFiles : public IMendFiles
{
public:
    bool Exists(const std::string& path) override;
    bool SetNormalAttributes(const std::string& path) override;
    bool CopyOver(const std::string& source, const std::string& target) override;
};

class CMendWinConsole : public IMendConsole
{
public:
    void PrintLine(const std::string& line) override;
};

class CMendWinProfile : public IMendProfile
{
public:
    std::string ReadText(const std::string& file, const char* section, const char* key,
                         const std::string& defaultValue) override;
    int ReadInt(const std::string& file, const char* section, const char* key, int defaultValue) override;
};

class CMendWinSystem : public IMendSystem
{
public:
    bool ProgramDirectory(std::string& directory) override;
    bool SystemDirectory(std::string& directory) override;
    unsigned long DefaultLocale() override;
    bool RuntimeRunning() override;
};

class CMendWinUi : public IMendUi
{
public:
    void ShowString(MendBox box, unsigned stringId, const std::string& insert) override;
    void ShowText(MendBox box, const std::string& text) override;
    bool AskRetry(unsigned stringId) override;
    int RunProtocolDialog(const std::function<int()>& install) override;
};

// Hides the console window the program was started with.
void HideMendConsole();

// String <id> of the program's resources in <language>; English when the
// language has no such string, empty when neither has it.
std::wstring LoadMendString(unsigned id, LANGID language);

std::wstring MendWiden(const std::string& text);
