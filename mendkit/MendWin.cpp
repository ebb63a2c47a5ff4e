#include "MendWin.h"

#include "OpcHandle.h"

#include <objbase.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

namespace
{
const char kUninstallKey[] = "SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
// Uninstall values are read into buffers of this many bytes, terminator included.
const size_t kMaxValueBytes = 260;

class CMendRegKey
{
public:
    CMendRegKey() = default;
    ~CMendRegKey()
    {
        if (m_key != nullptr)
            RegCloseKey(m_key);
    }
    CMendRegKey(const CMendRegKey&) = delete;
    CMendRegKey& operator=(const CMendRegKey&) = delete;
    HKEY Get() const { return m_key; }
    HKEY* Receive() { return &m_key; }

private:
    HKEY m_key = nullptr;
};

// COM for the shell's launch, on whichever thread runs an installer.
class CMendComScope
{
public:
    CMendComScope() : m_hr(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE)) {}
    ~CMendComScope()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    CMendComScope(const CMendComScope&) = delete;
    CMendComScope& operator=(const CMendComScope&) = delete;

private:
    HRESULT m_hr;
};
} // namespace

std::wstring MendWiden(const std::string& text)
{
    if (text.empty())
        return std::wstring();
    int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(length > 0 ? length : 0, L'\0');
    if (length > 0)
        MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &wide[0], length);
    return wide;
}

bool CMendWinRegistry::ReadUninstallValue(const std::string& productCode, const char* valueName, std::string& value)
{
    CMendRegKey key;
    std::string path = kUninstallKey + productCode;
    // The products install as 32-bit programs, so their entries live in the
    // 32-bit view on a 64-bit system; the native view is asked second.
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_32KEY, key.Receive()) !=
            ERROR_SUCCESS &&
        RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ | KEY_WOW64_64KEY, key.Receive()) != ERROR_SUCCESS)
        return false;
    DWORD type = 0;
    DWORD size = 0;
    if (RegQueryValueExA(key.Get(), valueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS)
        return false;
    if (type != REG_SZ && type != REG_EXPAND_SZ)
        return false;
    std::string buffer(size + 1, '\0');
    if (RegQueryValueExA(key.Get(), valueName, nullptr, &type, reinterpret_cast<BYTE*>(&buffer[0]), &size) !=
        ERROR_SUCCESS)
        return false;
    buffer.resize(strnlen(buffer.c_str(), size));
    if (buffer.size() > kMaxValueBytes - 1)
        buffer.resize(kMaxValueBytes - 1);
    value = buffer;
    return true;
}

MendRunResult CMendWinRunner::RunAndWait(const std::string& file, const std::string& parameters)
{
    CMendComScope com;
    std::wstring wideFile = MendWiden(file);
    std::wstring wideParameters = MendWiden(parameters);
    SHELLEXECUTEINFOW info = {};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS;
    info.lpVerb = L"open";
    info.lpFile = wideFile.c_str();
    info.lpParameters = wideParameters.c_str();
    info.nShow = SW_SHOWNORMAL;
    MendRunResult result;
    if (!ShellExecuteExW(&info))
        return result;
    COpcHandle process(info.hProcess);
    // A launch that hands over to a running program leaves no process to wait for.
    if (!process)
        return result;
    result.started = true;
    DWORD exitCode = 0;
    if (WaitForSingleObject(process.Get(), INFINITE) != WAIT_OBJECT_0 || !GetExitCodeProcess(process.Get(), &exitCode))
        exitCode = static_cast<DWORD>(-1);
    result.exitCode = exitCode;
    return result;
}

bool CMendWinFiles::Exists(const std::string& path)
{
    DWORD attributes = GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool CMendWinFiles::SetNormalAttributes(const std::string& path)
{
    return SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL) != FALSE;
}

bool CMendWinFiles::CopyOver(const std::string& source, const std::string& target)
{
    return CopyFileA(source.c_str(), target.c_str(), FALSE) != FALSE;
}

void CMendWinConsole::PrintLine(const std::string& line)
{
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

std::string CMendWinProfile::ReadText(const std::string& file, const char* section, const char* key,
                                      const std::string& defaultValue)
{
    char buffer[256] = {};
    DWORD length = GetPrivateProfileStringA(section, key, defaultValue.c_str(), buffer, sizeof(buffer), file.c_str());
    return std::string(buffer, length);
}

int CMendWinProfile::ReadInt(const std::string& file, const char* section, const char* key, int defaultValue)
{
    return static_cast<int>(GetPrivateProfileIntA(section, key, defaultValue, file.c_str()));
}

bool CMendWinSystem::ProgramDirectory(std::string& directory)
{
    char path[MAX_PATH] = {};
    DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    std::string file(path, length);
    std::string::size_type separator = file.find_last_of("\\/");
    if (separator == std::string::npos)
        return false;
    directory = file.substr(0, separator + 1);
    return true;
}

bool CMendWinSystem::SystemDirectory(std::string& directory)
{
    char path[MAX_PATH] = {};
    UINT length = GetSystemDirectoryA(path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    directory.assign(path, length);
    return true;
}

unsigned long CMendWinSystem::DefaultLocale()
{
    return GetSystemDefaultLCID();
}

bool CMendWinSystem::RuntimeRunning()
{
    // The runtime's applications share this mapping while any of them runs.
    COpcHandle mapping(OpenFileMappingA(FILE_MAP_READ, FALSE, "7a3c5e91.0.0.Memory"));
    return mapping.IsValid();
}

void HideMendConsole()
{
    // A console has no window handle of its own to ask for on older systems:
    // give it a unique title for a moment and look the window up by that.
    char oldTitle[1024] = {};
    GetConsoleTitleA(oldTitle, sizeof(oldTitle));
    char uniqueTitle[64] = {};
    std::snprintf(uniqueTitle, sizeof(uniqueTitle), "%lu/%lu", static_cast<unsigned long>(GetTickCount()),
                  static_cast<unsigned long>(GetCurrentProcessId()));
    if (!SetConsoleTitleA(uniqueTitle))
        return;
    Sleep(40); // the title change reaches the window asynchronously
    HWND window = FindWindowA(nullptr, uniqueTitle);
    SetConsoleTitleA(oldTitle);
    if (window != nullptr)
        ShowWindow(window, SW_HIDE);
}
