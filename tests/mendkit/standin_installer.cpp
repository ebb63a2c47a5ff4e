// Stands in for "msiexec.exe" and "Protocol\Setup.exe" in the end-to-end test.
// Appends "<name>|<command line>" to the file MENDKIT_STANDIN_LOG, exits with the
// n-th code of MENDKIT_STANDIN_EXIT_<NAME> (comma list, n = this name's call
// number, 0 when absent) and, when MENDKIT_STANDIN_HOLD_<NAME> names an event,
// waits for it first, so the test can look at the installer's window meanwhile.
#include <windows.h>

#include <cwctype>
#include <fstream>
#include <sstream>
#include <string>

namespace
{
std::wstring Env(const std::wstring& name)
{
    wchar_t buffer[1024] = {};
    DWORD length = GetEnvironmentVariableW(name.c_str(), buffer, 1024);
    return length > 0 && length < 1024 ? std::wstring(buffer, length) : std::wstring();
}
} // namespace

int wmain()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring name = path;
    name = name.substr(name.find_last_of(L"\\/") + 1);
    name = name.substr(0, name.find(L'.'));
    for (wchar_t& c : name)
        c = static_cast<wchar_t>(std::towupper(c));

    const std::wstring log = Env(L"MENDKIT_STANDIN_LOG");
    int calls = 0;
    {
        std::wifstream in(log.c_str());
        for (std::wstring line; std::getline(in, line);)
            calls += line.compare(0, name.size() + 1, name + L"|") == 0 ? 1 : 0;
    }
    {
        std::wofstream out(log.c_str(), std::ios::app);
        out << name << L'|' << GetCommandLineW() << L'\n';
    }

    const std::wstring hold = Env(L"MENDKIT_STANDIN_HOLD_" + name);
    if (!hold.empty())
    {
        HANDLE event = OpenEventW(SYNCHRONIZE, FALSE, hold.c_str());
        if (event != nullptr)
        {
            WaitForSingleObject(event, 120000);
            CloseHandle(event);
        }
    }

    std::wstringstream codes(Env(L"MENDKIT_STANDIN_EXIT_" + name));
    std::wstring code = L"0";
    for (int i = 0; i <= calls && std::getline(codes, code, L',');)
        ++i;
    return static_cast<int>(std::wcstoul(code.c_str(), nullptr, 10));
}
