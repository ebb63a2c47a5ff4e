// The patch installer's view of the outside world. The sequence only talks to
// these, so it can be driven by fakes; the Win32 versions live in MendWin.h.
// All text is narrow in the system code page, as the installer media and the
// uninstall entries are.
#pragma once

#include <functional>
#include <string>

// Kinds of message boxes the sequence shows.
enum class MendBox
{
    Plain,       // OK, owned by nobody
    SystemModal, // OK, on top of everything
    Information, // OK with the information icon
};

class IMendUi
{
public:
    virtual ~IMendUi() = default;
    // Shows resource string <stringId>; a "%s" in it is replaced by <insert>.
    virtual void ShowString(MendBox box, unsigned stringId, const std::string& insert) = 0;
    // Shows a text that comes from the settings, not from the resources.
    virtual void ShowText(MendBox box, const std::string& text) = 0;
    // Resource string in a Retry/Cancel box; true when the user picked Retry.
    virtual bool AskRetry(unsigned stringId) = 0;
    // Runs the protocol installer window: <install> runs on a worker thread
    // while the window shows, and returns the window's result (0 or 5).
    virtual int RunProtocolDialog(const std::function<int()>& install) = 0;
};

class IMendRegistry
{
public:
    virtual ~IMendRegistry() = default;
    // Reads a text value under the product's uninstall key; false when the key
    // or the value cannot be read.
    virtual bool ReadUninstallValue(const std::string& productCode, const char* valueName, std::string& value) = 0;
};

struct MendRunResult
{
    bool started = false;
    unsigned long exitCode = 0;
};

class IMendRunner
{
public:
    virtual ~IMendRunner() = default;
    // Starts <file> with <parameters> and waits for it to end.
    virtual MendRunResult RunAndWait(const std::string& file, const std::string& parameters) = 0;
};

class IMendFiles
{
public:
    virtual ~IMendFiles() = default;
    virtual bool Exists(const std::string& path) = 0;
    virtual bool SetNormalAttributes(const std::string& path) = 0;
    virtual bool CopyOver(const std::string& source, const std::string& target) = 0;
};

class IMendConsole
{
public:
    virtual ~IMendConsole() = default;
    virtual void PrintLine(const std::string& line) = 0;
};

// Reads "mendkit.ini"-style files.
class IMendProfile
{
public:
    virtual ~IMendProfile() = default;
    virtual std::string ReadText(const std::string& file, const char* section, const char* key,
                                 const std::string& defaultValue) = 0;
    virtual int ReadInt(const std::string& file, const char* section, const char* key, int defaultValue) = 0;
};

class IMendSystem
{
public:
    virtual ~IMendSystem() = default;
    // Folder of the program file, ending in a separator.
    virtual bool ProgramDirectory(std::string& directory) = 0;
    virtual bool SystemDirectory(std::string& directory) = 0;
    virtual unsigned long DefaultLocale() = 0;
    // True while an application of the runtime is running.
    virtual bool RuntimeRunning() = 0;
};

struct MendWorld
{
    IMendUi& ui;
    IMendRegistry& registry;
    IMendRunner& runner;
    IMendFiles& files;
    IMendConsole& console;
    IMendProfile& profile;
    IMendSystem& system;
};
