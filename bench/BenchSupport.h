// Helpers the out-of-process benchmarks share: the clock, files, running a
// program to its end, and registering the proxy/stub beside them.
#pragma once

#include "BenchClock.h"
#include "test_com.h"

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <cstdio>
#include <string>

namespace bench_support
{
using bench_clock::Now;

inline unsigned long Hex(HRESULT hr)
{
    return static_cast<unsigned long>(hr);
}

class Library
{
public:
    explicit Library(const std::wstring& path) : m_module(LoadLibraryW(path.c_str())) {}
    ~Library()
    {
        if (m_module != nullptr)
            FreeLibrary(m_module);
    }
    Library(const Library&) = delete;
    Library& operator=(const Library&) = delete;
    HMODULE Get() const { return m_module; }

private:
    HMODULE m_module;
};

inline std::wstring ProgramDirectory()
{
    wchar_t path[MAX_PATH] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text(path, n);
    return text.substr(0, text.rfind(L'\\'));
}

inline std::string Utf8(const std::wstring& text)
{
    int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n : 0, '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

inline std::string XmlText(const std::string& text)
{
    std::string out;
    for (char c : text)
    {
        switch (c)
        {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '"': out += "&quot;"; break;
        default: out += c;
        }
    }
    return out;
}

inline bool WriteTextFile(const std::wstring& path, const std::string& text)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr) &&
           written == text.size();
}

// Runs a program with its output on NUL (a server it starts must not hold our
// pipes); its exit code, or ~0u when it did not end in time.
// Copies the server and the libraries it loads from <directory> into <folder>.
inline bool CopyServerFiles(const std::wstring& directory, const std::wstring& folder)
{
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t* file : {L"tagbridge.exe", L"Devlane.dll", L"Kelmsg.dll"})
    {
        if (!CopyFileW((directory + L"\\" + file).c_str(), (folder + L"\\" + file).c_str(), FALSE))
        {
            std::printf("cannot copy %ls: %lu\n", file, GetLastError());
            return false;
        }
    }
    return true;
}

inline DWORD RunToEnd(const std::wstring& commandLine, DWORD timeoutMs)
{
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    Handle nul(
        CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
    STARTUPINFOW startup = {};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = startup.hStdError = nul.get();
    std::wstring line = commandLine;
    PROCESS_INFORMATION info = {};
    if (!CreateProcessW(nullptr, &line[0], nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &info))
        return ~0u - 1;
    Handle process(info.hProcess);
    Handle thread(info.hThread);
    if (WaitForSingleObject(process.get(), timeoutMs) != WAIT_OBJECT_0)
    {
        TerminateProcess(process.get(), 0xDEAD);
        return ~0u;
    }
    DWORD code = ~0u;
    GetExitCodeProcess(process.get(), &code);
    return code;
}

// What regsvr32 does, without its window: the interfaces must marshal before any call.
inline HRESULT RegisterProxy(const std::wstring& directory)
{
    Library proxy(directory + L"\\opcproxy.dll");
    if (proxy.Get() == nullptr)
        return HRESULT_FROM_WIN32(GetLastError());
    auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
        reinterpret_cast<void*>(GetProcAddress(proxy.Get(), "DllRegisterServer")));
    return registerServer != nullptr ? registerServer() : E_NOINTERFACE;
}

// Whether a process with this image name runs.
inline bool ProcessRuns(const wchar_t* name)
{
    Handle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    if (!snapshot)
        return false;
    PROCESSENTRY32W entry = {};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot.get(), &entry); more; more = Process32NextW(snapshot.get(), &entry))
        if (_wcsicmp(entry.szExeFile, name) == 0)
            return true;
    return false;
}

// Waits up to ms for every such process to end; false when one still runs.
inline bool WaitForProcessEnd(const wchar_t* name, DWORD ms)
{
    const ULONGLONG end = GetTickCount64() + ms;
    while (ProcessRuns(name))
    {
        if (GetTickCount64() >= end)
            return false;
        Sleep(50);
    }
    return true;
}
} // namespace bench_support
