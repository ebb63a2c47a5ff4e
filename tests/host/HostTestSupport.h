// Shared pieces of the host tests: running a program of the build beside the
// test and reading registry values.
#pragma once

#include "TestWaits.h"

#include <windows.h>
#include <tlhelp32.h>

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

namespace host_test
{
// The folder of the test program, where the build puts every program.
inline std::wstring BinDirectory()
{
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n);
    return text.substr(0, text.rfind(L'\\'));
}

inline std::wstring ProgramPath(const wchar_t* name)
{
    return BinDirectory() + L"\\" + name;
}

// A child process that is ended when the test is done with it, passed or not.
class Child
{
public:
    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() { Kill(); }

    // Output goes to outputFile when given (a pipe could be held open by a
    // server the child starts), else nowhere.
    bool Start(const std::wstring& commandLine, const std::wstring& outputFile = std::wstring())
    {
        Kill();
        SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
        HANDLE output =
            CreateFileW(outputFile.empty() ? L"NUL" : outputFile.c_str(), GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        STARTUPINFOW startup = {};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = nullptr;
        startup.hStdOutput = output;
        startup.hStdError = output;
        std::wstring line = commandLine;
        PROCESS_INFORMATION info = {};
        BOOL ok = CreateProcessW(nullptr, &line[0], nullptr, nullptr, output != INVALID_HANDLE_VALUE, CREATE_NO_WINDOW,
                                 nullptr, BinDirectory().c_str(), &startup, &info);
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
        if (!ok)
            return false;
        CloseHandle(info.hThread);
        m_process = info.hProcess;
        m_id = info.dwProcessId;
        return true;
    }

    // True when the process ended within the wait; its exit code goes to *code.
    bool Wait(DWORD ms, DWORD* code = nullptr)
    {
        if (m_process == nullptr || WaitForSingleObject(m_process, ms) != WAIT_OBJECT_0)
            return false;
        DWORD exitCode = 0;
        GetExitCodeProcess(m_process, &exitCode);
        if (code != nullptr)
            *code = exitCode;
        return true;
    }

    bool IsRunning() const { return m_process != nullptr && WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT; }
    DWORD Id() const { return m_id; }

    void Kill()
    {
        if (m_process == nullptr)
            return;
        if (WaitForSingleObject(m_process, 0) == WAIT_TIMEOUT)
        {
            TerminateProcess(m_process, 0xDEAD);
            WaitForSingleObject(m_process, 10000);
        }
        CloseHandle(m_process);
        m_process = nullptr;
        m_id = 0;
    }

private:
    HANDLE m_process = nullptr;
    DWORD m_id = 0;
};

// Runs a program of the build to its end; ~0u when it did not end in time (it is then killed).
inline DWORD RunToEnd(const std::wstring& commandLine, DWORD timeoutMs = 60000,
                      const std::wstring& outputFile = std::wstring())
{
    Child child;
    // Under a loaded Wine a process start now and then fails outright; the
    // program under test has not run then, so a second start is sound.
    bool started = false;
    for (int attempt = 0; attempt < 3 && !started; ++attempt)
    {
        started = child.Start(commandLine, outputFile);
        if (!started)
            Sleep(200);
    }
    if (!started)
        return ~0u - 1;
    DWORD code = ~0u;
    if (!child.Wait(timeoutMs, &code))
        return ~0u;
    return code;
}

inline bool KeyExists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

// The string value, or "<absent>" when the key or value is missing or not a string.
inline std::wstring ReadValue(HKEY root, const std::wstring& path, const wchar_t* name = nullptr)
{
    wchar_t value[1024] = {};
    DWORD bytes = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, value, &bytes) != ERROR_SUCCESS)
        return L"<absent>";
    return value;
}

inline std::wstring Lower(std::wstring text)
{
    for (wchar_t& c : text)
        c = static_cast<wchar_t>(towlower(c));
    return text;
}

inline std::string ReadFileText(const std::wstring& path)
{
    std::string text;
    HANDLE file =
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof buffer, &read, nullptr) && read > 0)
        text.append(buffer, read);
    CloseHandle(file);
    return text;
}

inline std::wstring TempFile(const wchar_t* prefix)
{
    wchar_t folder[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, folder);
    wchar_t name[MAX_PATH] = {};
    GetTempFileNameW(folder, prefix, 0, name);
    return name;
}
class ScHandle
{
public:
    explicit ScHandle(SC_HANDLE handle = nullptr) : m_handle(handle) {}
    ~ScHandle()
    {
        if (m_handle != nullptr)
            CloseServiceHandle(m_handle);
    }
    ScHandle(const ScHandle&) = delete;
    ScHandle& operator=(const ScHandle&) = delete;
    SC_HANDLE Get() const { return m_handle; }
    explicit operator bool() const { return m_handle != nullptr; }

private:
    SC_HANDLE m_handle;
};

// Asks every thread of a process to leave its message loop: the way to end a
// server that has no clients without killing it (a killed server would leave
// its class registration behind in the prefix's COM).
inline void QuitThreadsOf(DWORD processId)
{
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return;
    THREADENTRY32 entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry))
        if (entry.th32OwnerProcessID == processId)
            PostThreadMessageW(entry.th32ThreadID, WM_QUIT, 0, 0);
    CloseHandle(snapshot);
}

// A service test that failed may leave the service running: end it, by force if need be.
inline void StopServiceIfRunning(const wchar_t* name)
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(manager ? OpenServiceW(manager.Get(), name, SERVICE_QUERY_STATUS | SERVICE_STOP) : nullptr);
    if (!service)
        return;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (!QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status), sizeof status,
                              &needed) ||
        status.dwCurrentState == SERVICE_STOPPED)
        return;
    SERVICE_STATUS ignored = {};
    ControlService(service.Get(), SERVICE_CONTROL_STOP, &ignored);
    HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, status.dwProcessId);
    if (process != nullptr)
    {
        if (WaitForSingleObject(process, 10000) != WAIT_OBJECT_0)
            TerminateProcess(process, 0xDEAD);
        CloseHandle(process);
    }
}

} // namespace host_test
