// opcprobe: a command-line OPC Data Access client. It connects to a server by
// ProgID (or CLSID), then runs the actions given on the command line in
// order, on that one connection.
//
//   opcprobe [--progid PROGID | --clsid {CLSID}] ACTION...
//
//   status                    the server status (IOPCServer::GetStatus)
//   add-group NAME RATE       an active group; NAME "-" lets the server name it
//   list-groups               the names of all groups of this connection
//   remove-group NAME         lets go of the group, then removes it
//   force-remove-group NAME   removes it even while it is still referenced
//   wait MS                   keeps the connection for MS milliseconds
//
// Exit codes: 0 all actions succeeded, 1 an action failed, 2 wrong usage,
// 3 the server could not be reached.
#include "OpcTaskMem.h"

#include <opccomn.h>
#include <opcda.h>
#include <opcerror.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <string>
#include <vector>

namespace
{
// Text goes to a console as it is and to a file or pipe as UTF-8, so names
// and error texts in any language arrive whole.
void WriteText(DWORD which, const std::wstring& text)
{
    HANDLE handle = GetStdHandle(which);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || text.empty())
        return;
    DWORD mode = 0;
    DWORD written = 0;
    if (GetConsoleMode(handle, &mode))
    {
        WriteConsoleW(handle, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        return;
    }
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::string utf8(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), &utf8[0], bytes, nullptr, nullptr);
    WriteFile(handle, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
}

std::wstring Format(const wchar_t* format, va_list args)
{
    std::vector<wchar_t> buffer(512);
    for (;;)
    {
        va_list copy;
        va_copy(copy, args);
        int n = std::vswprintf(buffer.data(), buffer.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < buffer.size())
            return std::wstring(buffer.data(), static_cast<size_t>(n));
        if (buffer.size() >= (1u << 20))
            return std::wstring();
        buffer.resize(buffer.size() * 2);
    }
}

void Out(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteText(STD_OUTPUT_HANDLE, Format(format, args));
    va_end(args);
}

void Err(const wchar_t* format, ...)
{
    va_list args;
    va_start(args, format);
    WriteText(STD_ERROR_HANDLE, Format(format, args));
    va_end(args);
}

enum ExitCode
{
    ExitOk = 0,
    ExitActionFailed = 1,
    ExitUsage = 2,
    ExitUnreachable = 3
};

const wchar_t kDefaultProgId[] = L"Vantrel.Kestrix.1";

int Usage()
{
    Err(L"usage: opcprobe [--progid PROGID | --clsid {CLSID}] ACTION...\n"
        L"actions: status | add-group NAME RATE | list-groups | remove-group NAME |\n"
        L"         force-remove-group NAME | wait MS\n");
    return ExitUsage;
}

class ComApartment
{
public:
    ComApartment() : m_result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~ComApartment()
    {
        if (SUCCEEDED(m_result))
            CoUninitialize();
    }
    ComApartment(const ComApartment&) = delete;
    ComApartment& operator=(const ComApartment&) = delete;
    HRESULT Result() const { return m_result; }

private:
    HRESULT m_result;
};

const wchar_t* StateName(OPCSERVERSTATE state)
{
    switch (state)
    {
    case OPC_STATUS_RUNNING: return L"RUNNING";
    case OPC_STATUS_FAILED: return L"FAILED";
    case OPC_STATUS_NOCONFIG: return L"NOCONFIG";
    case OPC_STATUS_SUSPENDED: return L"SUSPENDED";
    case OPC_STATUS_TEST: return L"TEST";
    case OPC_STATUS_COMM_FAULT: return L"COMM_FAULT";
    }
    return L"UNKNOWN";
}

std::wstring TimeText(const FILETIME& time)
{
    if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0)
        return L"none";
    SYSTEMTIME st = {};
    if (!FileTimeToSystemTime(&time, &st))
        return L"invalid";
    wchar_t text[64];
    std::swprintf(text, 64, L"%04u-%02u-%02u %02u:%02u:%02u.%03u UTC", st.wYear, st.wMonth, st.wDay, st.wHour,
                  st.wMinute, st.wSecond, st.wMilliseconds);
    return text;
}

bool ParseNumber(const wchar_t* text, DWORD& value)
{
    if (text == nullptr || *text == L'\0')
        return false;
    wchar_t* end = nullptr;
    unsigned long long parsed = std::wcstoull(text, &end, 10);
    if (*end != L'\0' || parsed > 0xFFFFFFFFull || text[0] == L'-')
        return false;
    value = static_cast<DWORD>(parsed);
    return true;
}

class Probe
{
public:
    explicit Probe(COpcComPtr<IOPCServer> server) : m_server(std::move(server)) {}

    int Status()
    {
        COpcTaskMem<OPCSERVERSTATUS> status;
        HRESULT hr = m_server->GetStatus(status.Receive());
        if (FAILED(hr) || status.Get() == nullptr)
            return Fail(L"status", FAILED(hr) ? hr : E_UNEXPECTED);
        const OPCSERVERSTATUS& s = *status.Get();
        COpcTaskMem<wchar_t> vendor(s.szVendorInfo);
        Out(L"state: %ls\n", StateName(s.dwServerState));
        Out(L"vendor: %ls\n", vendor.Get() != nullptr ? vendor.Get() : L"");
        Out(L"version: %u.%u.%u\n", s.wMajorVersion, s.wMinorVersion, s.wBuildNumber);
        Out(L"start time: %ls\n", TimeText(s.ftStartTime).c_str());
        Out(L"current time: %ls\n", TimeText(s.ftCurrentTime).c_str());
        Out(L"last update: %ls\n", TimeText(s.ftLastUpdateTime).c_str());
        Out(L"groups: %lu\n", static_cast<unsigned long>(s.dwGroupCount));
        Out(L"bandwidth: 0x%08lX\n", static_cast<unsigned long>(s.dwBandWidth));
        return ExitOk;
    }

    int AddGroup(const std::wstring& name, DWORD rate)
    {
        const wchar_t* requested = name == L"-" ? L"" : name.c_str();
        OPCHANDLE handle = 0;
        DWORD revised = 0;
        COpcComPtr<IUnknown> group;
        HRESULT hr = m_server->AddGroup(requested, TRUE, rate, static_cast<OPCHANDLE>(m_groups.size() + 1), nullptr,
                                        nullptr, 0, &handle, &revised, IID_IUnknown,
                                        reinterpret_cast<IUnknown**>(group.Receive()));
        if (FAILED(hr))
            return Fail(L"add-group", hr);
        std::wstring actual = ActualName(group, name);
        Out(L"group: %ls handle=0x%08lX rate=%lu%ls\n", actual.c_str(), static_cast<unsigned long>(handle),
                     static_cast<unsigned long>(revised), hr == OPC_S_UNSUPPORTEDRATE ? L" (rate revised)" : L"");
        m_groups[actual] = group;
        return ExitOk;
    }

    int ListGroups()
    {
        COpcComPtr<IEnumString> names;
        HRESULT hr = m_server->CreateGroupEnumerator(OPC_ENUM_ALL, IID_IEnumString,
                                                     reinterpret_cast<IUnknown**>(names.Receive()));
        if (FAILED(hr))
            return Fail(L"list-groups", hr);
        DWORD count = 0;
        if (names)
        {
            for (;;)
            {
                LPWSTR text = nullptr;
                ULONG fetched = 0;
                if (names->Next(1, &text, &fetched) != S_OK || fetched == 0)
                    break;
                COpcTaskMem<wchar_t> owned(text);
                Out(L"group: %ls\n", owned.Get() != nullptr ? owned.Get() : L"");
                ++count;
            }
        }
        Out(L"group count: %lu\n", static_cast<unsigned long>(count));
        return ExitOk;
    }

    int RemoveGroup(const std::wstring& name, bool force)
    {
        const wchar_t* action = force ? L"force-remove-group" : L"remove-group";
        COpcComPtr<IOPCGroupStateMgt> state;
        auto held = m_groups.find(name);
        HRESULT hr = S_OK;
        if (held != m_groups.end())
            state = COpcComPtr<IOPCGroupStateMgt>::QueryFrom(held->second.Get(), IID_IOPCGroupStateMgt);
        else
            hr = m_server->GetGroupByName(name.c_str(), IID_IOPCGroupStateMgt,
                                          reinterpret_cast<IUnknown**>(state.Receive()));
        if (FAILED(hr))
            return Fail(action, hr);
        if (!state)
            return Fail(action, E_NOINTERFACE);
        OPCHANDLE handle = 0;
        hr = ServerHandle(state, handle);
        if (FAILED(hr))
            return Fail(action, hr);
        // Our own references go first, so the server can let the group go at once.
        state.Reset();
        if (held != m_groups.end())
            m_groups.erase(held);
        hr = m_server->RemoveGroup(handle, force ? TRUE : FALSE);
        if (FAILED(hr))
            return Fail(action, hr);
        Out(L"removed: %ls%ls\n", name.c_str(), hr == OPC_S_INUSE ? L" (still in use)" : L"");
        return ExitOk;
    }

    void Wait(DWORD ms) { Sleep(ms); }

    void ReleaseGroups() { m_groups.clear(); }

private:
    static HRESULT ServerHandle(const COpcComPtr<IOPCGroupStateMgt>& state, OPCHANDLE& handle)
    {
        DWORD rate = 0;
        BOOL active = FALSE;
        COpcTaskMem<wchar_t> name;
        LONG bias = 0;
        FLOAT deadband = 0;
        DWORD lcid = 0;
        OPCHANDLE client = 0;
        return state->GetState(&rate, &active, name.Receive(), &bias, &deadband, &lcid, &client, &handle);
    }

    static std::wstring ActualName(const COpcComPtr<IUnknown>& group, const std::wstring& requested)
    {
        COpcComPtr<IOPCGroupStateMgt> state = COpcComPtr<IOPCGroupStateMgt>::QueryFrom(group.Get(), IID_IOPCGroupStateMgt);
        if (state)
        {
            DWORD rate = 0;
            BOOL active = FALSE;
            COpcTaskMem<wchar_t> name;
            LONG bias = 0;
            FLOAT deadband = 0;
            DWORD lcid = 0;
            OPCHANDLE client = 0;
            OPCHANDLE server = 0;
            if (SUCCEEDED(state->GetState(&rate, &active, name.Receive(), &bias, &deadband, &lcid, &client, &server)) &&
                name.Get() != nullptr)
                return name.Get();
        }
        return requested;
    }

    int Fail(const wchar_t* action, HRESULT hr)
    {
        std::wstring text;
        COpcTaskMem<wchar_t> message;
        if (SUCCEEDED(m_server->GetErrorString(hr, LOCALE_SYSTEM_DEFAULT, message.Receive())) &&
            message.Get() != nullptr)
            text = message.Get();
        while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
            text.pop_back();
        Err(L"error: %ls failed: 0x%08lX%ls%ls\n", action, static_cast<unsigned long>(hr),
                      text.empty() ? L"" : L" ", text.c_str());
        return ExitActionFailed;
    }

    COpcComPtr<IOPCServer> m_server;
    std::map<std::wstring, COpcComPtr<IUnknown>> m_groups;
};

struct Options
{
    std::wstring progId = kDefaultProgId;
    std::wstring clsid;
    int firstAction = 1;
};

int Connect(const Options& options, COpcComPtr<IOPCServer>& server)
{
    CLSID clsid = {};
    HRESULT hr = options.clsid.empty() ? CLSIDFromProgID(options.progId.c_str(), &clsid)
                                       : CLSIDFromString(options.clsid.c_str(), &clsid);
    if (FAILED(hr))
    {
        Err(L"error: %ls is not a registered server: 0x%08lX\n",
                      options.clsid.empty() ? options.progId.c_str() : options.clsid.c_str(),
                      static_cast<unsigned long>(hr));
        return ExitUnreachable;
    }
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                          reinterpret_cast<void**>(server.Receive()));
    if (FAILED(hr) || !server)
    {
        Err(L"error: the server could not be started: 0x%08lX\n", static_cast<unsigned long>(hr));
        return ExitUnreachable;
    }
    COpcComPtr<IOPCCommon> common = COpcComPtr<IOPCCommon>::QueryFrom(server.Get(), IID_IOPCCommon);
    if (common)
        common->SetClientName(L"opcprobe");
    return ExitOk;
}

// Checks the actions before anything is started, so a typo costs no server start.
bool ValidActions(int argc, wchar_t** argv, int first)
{
    if (first >= argc)
        return false;
    for (int i = first; i < argc; ++i)
    {
        std::wstring action = argv[i];
        DWORD number = 0;
        if (action == L"status" || action == L"list-groups")
            continue;
        if ((action == L"remove-group" || action == L"force-remove-group") && i + 1 < argc)
        {
            ++i;
            continue;
        }
        if (action == L"add-group" && i + 2 < argc && ParseNumber(argv[i + 2], number))
        {
            i += 2;
            continue;
        }
        if (action == L"wait" && i + 1 < argc && ParseNumber(argv[i + 1], number))
        {
            ++i;
            continue;
        }
        Err(L"error: unknown or incomplete action: %ls\n", argv[i]);
        return false;
    }
    return true;
}
} // namespace

int wmain(int argc, wchar_t** argv)
{
    Options options;
    int i = 1;
    for (; i + 1 < argc && std::wcsncmp(argv[i], L"--", 2) == 0; i += 2)
    {
        std::wstring option = argv[i];
        if (option == L"--progid")
            options.progId = argv[i + 1];
        else if (option == L"--clsid")
            options.clsid = argv[i + 1];
        else
            return Usage();
    }
    options.firstAction = i;
    if (!ValidActions(argc, argv, options.firstAction))
        return Usage();

    ComApartment apartment;
    if (FAILED(apartment.Result()))
        return ExitUnreachable;

    COpcComPtr<IOPCServer> server;
    int result = Connect(options, server);
    if (result != ExitOk)
        return result;

    Probe probe(server);
    server.Reset();
    for (i = options.firstAction; i < argc; ++i)
    {
        std::wstring action = argv[i];
        DWORD number = 0;
        int step = ExitOk;
        if (action == L"status")
            step = probe.Status();
        else if (action == L"list-groups")
            step = probe.ListGroups();
        else if (action == L"add-group")
        {
            ParseNumber(argv[i + 2], number);
            step = probe.AddGroup(argv[i + 1], number);
            i += 2;
        }
        else if (action == L"remove-group" || action == L"force-remove-group")
        {
            step = probe.RemoveGroup(argv[i + 1], action == L"force-remove-group");
            ++i;
        }
        else if (action == L"wait")
        {
            ParseNumber(argv[i + 1], number);
            probe.Wait(number);
            ++i;
        }
        if (step != ExitOk)
            result = step;
    }
    probe.ReleaseGroups();
    return result;
}
