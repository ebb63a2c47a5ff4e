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
//   browse [ID] [filter=PATTERN] [vendor=TEXT] [kind=all|branches|items] [max=N]
//                             the children of ID (the root without it)
//   browse-flat [filter=PATTERN]  every item ID of the address space
//   props ID                  every property of an item with its value
//   read ID... [--device] [--maxage MS]
//                             values by item ID (IOPCItemIO); cached unless asked
//   write ID VALUE            VALUE as text, or TYPE:TEXT (bool i1 i2 i4 i8 ui1 ui2
//                             ui4 r4 r8 str) to send that type
//   watch ID... [branch=ID] [rate=MS] [deadband=PCT] [keepalive=MS] [duration=MS]
//                             subscribes to the items (and every item below
//                             branch ID) in one group and prints each change and
//                             keep-alive until duration ends or Ctrl-C
//
// Exit codes: 0 all actions succeeded, 1 an action failed, 2 wrong usage,
// 3 the server could not be reached.
#include "OpcApartment.h"
#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcResultCodes.h"
#include "OpcTaskMem.h"

#include <opccomn.h>
#include <opcda.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace
{
// Text goes to a console as it is and to a file or pipe as UTF-8, so names
// and error texts in any language arrive whole. Subscription callbacks print
// from other threads, so one text is written whole before the next.
void WriteText(DWORD which, const std::wstring& text)
{
    static COpcLock lock;
    COpcLockGuard guard(lock);
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
    int bytes =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
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
        L"         force-remove-group NAME | wait MS |\n"
        L"         browse [ID] [filter=PATTERN] [vendor=TEXT] [kind=all|branches|items] [max=N] |\n"
        L"         browse-flat [filter=PATTERN] | props ID |\n"
        L"         read ID... [--device] [--maxage MS] | write ID [TYPE:]VALUE |\n"
        L"         watch ID... [branch=ID] [rate=MS] [deadband=PCT] [keepalive=MS] [duration=MS]\n");
    return ExitUsage;
}

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
        HRESULT hr =
            m_server->AddGroup(requested, TRUE, rate, static_cast<OPCHANDLE>(m_groups.size() + 1), nullptr, nullptr, 0,
                               &handle, &revised, IID_IUnknown, reinterpret_cast<IUnknown**>(group.Receive()));
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
        COpcComPtr<IOPCGroupStateMgt> state =
            COpcComPtr<IOPCGroupStateMgt>::QueryFrom(group.Get(), IID_IOPCGroupStateMgt);
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
        Err(L"error: %ls failed: 0x%08lX%ls%ls\n", action, static_cast<unsigned long>(hr), text.empty() ? L"" : L" ",
            text.c_str());
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
            options.clsid.empty() ? options.progId.c_str() : options.clsid.c_str(), static_cast<unsigned long>(hr));
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

// ---- browsing and properties --------------------------------------------------------
//
//   browse [ID] [filter=PATTERN] [vendor=TEXT] [kind=all|branches|items] [max=N]
//                             the children of ID (the root without it), page by page
//   browse-flat [filter=PATTERN]
//                             every item ID of the address space
//   props ID                  every property of an item with its value

// Words that start the next action, so an optional ID is never mistaken for one.
bool IsActionWord(const std::wstring& word)
{
    static const wchar_t* const words[] = {
        L"status", L"add-group", L"list-groups", L"remove-group", L"force-remove-group",
        L"wait",   L"browse",    L"browse-flat", L"props",        L"read",
        L"write",  L"watch"};
    for (const wchar_t* w : words)
    {
        if (word == w)
            return true;
    }
    return false;
}

struct BrowseArguments
{
    std::wstring itemId;
    std::wstring filter;
    std::wstring vendor;
    OPCBROWSEFILTER kind = OPC_BROWSE_FILTER_ALL;
    DWORD max = 0;
};

// Reads the arguments of browse or browse-flat starting at argv[i]; the count
// taken, or -1 when one is malformed.
int ReadBrowseArguments(int argc, wchar_t** argv, int i, bool flat, BrowseArguments& args)
{
    int taken = 0;
    if (!flat && i < argc && std::wcschr(argv[i], L'=') == nullptr && !IsActionWord(argv[i]))
    {
        args.itemId = argv[i];
        ++taken;
    }
    for (; i + taken < argc; ++taken)
    {
        std::wstring word = argv[i + taken];
        size_t equals = word.find(L'=');
        if (equals == std::wstring::npos)
            break;
        std::wstring key = word.substr(0, equals);
        std::wstring value = word.substr(equals + 1);
        if (key == L"filter")
            args.filter = value;
        else if (key == L"vendor" && !flat)
            args.vendor = value;
        else if (key == L"max" && !flat && ParseNumber(value.c_str(), args.max))
            continue;
        else if (key == L"kind" && !flat && value == L"all")
            args.kind = OPC_BROWSE_FILTER_ALL;
        else if (key == L"kind" && !flat && value == L"branches")
            args.kind = OPC_BROWSE_FILTER_BRANCHES;
        else if (key == L"kind" && !flat && value == L"items")
            args.kind = OPC_BROWSE_FILTER_ITEMS;
        else
            return -1;
    }
    return taken;
}

int ReportFailure(IOPCServer* server, const wchar_t* action, HRESULT hr)
{
    std::wstring text;
    COpcTaskMem<wchar_t> message;
    if (SUCCEEDED(server->GetErrorString(hr, LOCALE_SYSTEM_DEFAULT, message.Receive())) && message.Get() != nullptr)
        text = message.Get();
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r'))
        text.pop_back();
    Err(L"error: %ls failed: 0x%08lX%ls%ls\n", action, static_cast<unsigned long>(hr), text.empty() ? L"" : L" ",
        text.c_str());
    return ExitActionFailed;
}

void FreeProperties(OPCITEMPROPERTIES& item)
{
    for (DWORD i = 0; item.pItemProperties != nullptr && i < item.dwNumProperties; ++i)
    {
        CoTaskMemFree(item.pItemProperties[i].szItemID);
        CoTaskMemFree(item.pItemProperties[i].szDescription);
        VariantClear(&item.pItemProperties[i].vValue);
    }
    CoTaskMemFree(item.pItemProperties);
    item.pItemProperties = nullptr;
    item.dwNumProperties = 0;
}

std::wstring ValueText(const VARIANT& value)
{
    if (value.vt == VT_EMPTY)
        return L"(empty)";
    if (value.vt & VT_ARRAY)
    {
        SAFEARRAY* array = value.parray;
        LONG low = 0;
        LONG high = -1;
        if (array == nullptr || SafeArrayGetLBound(array, 1, &low) != S_OK ||
            SafeArrayGetUBound(array, 1, &high) != S_OK)
            return L"{}";
        std::wstring text = L"{";
        for (LONG i = low; i <= high; ++i)
        {
            COpcVariant element;
            VARTYPE type = static_cast<VARTYPE>(value.vt & ~VT_ARRAY);
            if (type == VT_VARIANT)
            {
                if (FAILED(SafeArrayGetElement(array, &i, element.Get())))
                    break;
            }
            else
            {
                element->vt = type;
                if (FAILED(SafeArrayGetElement(array, &i, &element->lVal)))
                    break;
            }
            text += (i > low ? L", " : L"") + ValueText(*element.Get());
        }
        return text + L"}";
    }
    COpcVariant text;
    if (FAILED(VariantChangeType(text.Get(), const_cast<VARIANT*>(&value), VARIANT_ALPHABOOL, VT_BSTR)))
        return L"(type " + std::to_wstring(value.vt) + L")";
    return text->bstrVal != nullptr ? text->bstrVal : L"";
}

int BrowseAction(IOPCServer* server, const BrowseArguments& args)
{
    COpcComPtr<IOPCBrowse> browse = COpcComPtr<IOPCBrowse>::QueryFrom(server, IID_IOPCBrowse);
    if (!browse)
        return ReportFailure(server, L"browse", E_NOINTERFACE);
    COpcTaskMem<wchar_t> point;
    // The proxy refuses a null property list even when it is empty.
    DWORD noProperties = 0;
    DWORD total = 0;
    do
    {
        BOOL more = FALSE;
        DWORD count = 0;
        OPCBROWSEELEMENT* elements = nullptr;
        // The server replaces the string it is given; the holder takes the new one.
        LPWSTR raw = point.Detach();
        HRESULT hr = browse->Browse(const_cast<LPWSTR>(args.itemId.c_str()), &raw, args.max, args.kind,
                                    const_cast<LPWSTR>(args.filter.c_str()), const_cast<LPWSTR>(args.vendor.c_str()),
                                    FALSE, FALSE, 0, &noProperties, &more, &count, &elements);
        point.Reset(raw);
        if (FAILED(hr))
            return ReportFailure(server, L"browse", hr);
        for (DWORD i = 0; i < count; ++i)
        {
            DWORD flags = elements[i].dwFlagValue;
            const wchar_t* kind = (flags & OPC_BROWSE_HASCHILDREN)
                                      ? ((flags & OPC_BROWSE_ISITEM) ? L"branch+item" : L"branch")
                                      : ((flags & OPC_BROWSE_ISITEM) ? L"item" : L"leaf");
            Out(L"%ls: %ls id=%ls\n", kind, elements[i].szName ? elements[i].szName : L"",
                elements[i].szItemID ? elements[i].szItemID : L"");
            CoTaskMemFree(elements[i].szName);
            CoTaskMemFree(elements[i].szItemID);
            FreeProperties(elements[i].ItemProperties);
        }
        CoTaskMemFree(elements);
        total += count;
    } while (point.Get() != nullptr && *point.Get() != L'\0');
    Out(L"elements: %lu\n", static_cast<unsigned long>(total));
    return ExitOk;
}

// Every item ID at and below branch (the root when empty), nested branches
// included, appended to ids.
HRESULT FlatItemIds(IOPCServer* server, const std::wstring& branch, const std::wstring& filter,
                    std::vector<std::wstring>& ids)
{
    COpcComPtr<IOPCBrowseServerAddressSpace> space =
        COpcComPtr<IOPCBrowseServerAddressSpace>::QueryFrom(server, IID_IOPCBrowseServerAddressSpace);
    if (!space)
        return E_NOINTERFACE;
    HRESULT hr = space->ChangeBrowsePosition(OPC_BROWSE_TO, branch.c_str());
    COpcComPtr<IEnumString> names;
    if (SUCCEEDED(hr))
        hr = space->BrowseOPCItemIDs(OPC_FLAT, filter.c_str(), VT_EMPTY, 0, names.Receive());
    if (FAILED(hr))
        return hr;
    LPOLESTR batch[64];
    ULONG fetched = 0;
    while (names && SUCCEEDED(names->Next(64, batch, &fetched)) && fetched > 0)
    {
        for (ULONG i = 0; i < fetched; ++i)
        {
            ids.push_back(batch[i] ? batch[i] : L"");
            CoTaskMemFree(batch[i]);
        }
    }
    return S_OK;
}

int BrowseFlatAction(IOPCServer* server, const BrowseArguments& args)
{
    std::vector<std::wstring> ids;
    HRESULT hr = FlatItemIds(server, L"", args.filter, ids);
    if (FAILED(hr))
        return ReportFailure(server, L"browse-flat", hr);
    for (const auto& id : ids)
        Out(L"item: %ls\n", id.c_str());
    Out(L"items: %lu\n", static_cast<unsigned long>(ids.size()));
    return ExitOk;
}

int PropsAction(IOPCServer* server, const std::wstring& itemId)
{
    COpcComPtr<IOPCBrowse> browse = COpcComPtr<IOPCBrowse>::QueryFrom(server, IID_IOPCBrowse);
    if (!browse)
        return ReportFailure(server, L"props", E_NOINTERFACE);
    LPWSTR id = const_cast<LPWSTR>(itemId.c_str());
    COpcTaskMem<OPCITEMPROPERTIES> result;
    // The proxy refuses a null property list even when it is empty.
    DWORD noProperties = 0;
    HRESULT hr = browse->GetProperties(1, &id, TRUE, 0, &noProperties, result.Receive());
    if (FAILED(hr) || result.Get() == nullptr)
        return ReportFailure(server, L"props", FAILED(hr) ? hr : E_UNEXPECTED);
    OPCITEMPROPERTIES& item = result.Get()[0];
    int code = ExitOk;
    if (FAILED(item.hrErrorID))
    {
        code = ReportFailure(server, L"props", item.hrErrorID);
    }
    else
    {
        for (DWORD i = 0; i < item.dwNumProperties; ++i)
        {
            const OPCITEMPROPERTY& p = item.pItemProperties[i];
            if (FAILED(p.hrErrorID))
                Out(L"property %lu: %ls = (error 0x%08lX)\n", static_cast<unsigned long>(p.dwPropertyID),
                    p.szDescription ? p.szDescription : L"", static_cast<unsigned long>(p.hrErrorID));
            else
                Out(L"property %lu: %ls = %ls\n", static_cast<unsigned long>(p.dwPropertyID),
                    p.szDescription ? p.szDescription : L"", ValueText(p.vValue).c_str());
        }
        Out(L"properties: %lu\n", static_cast<unsigned long>(item.dwNumProperties));
    }
    FreeProperties(item);
    return code;
}

// Validates and runs one of the actions above at argv[i]: the number of
// arguments it took after the action word, or -1 when it is not one of them
// or is malformed. server null only validates.
int BrowseActions(IOPCServer* server, int argc, wchar_t** argv, int i, int& step)
{
    std::wstring action = argv[i];
    BrowseArguments args;
    if (action == L"browse" || action == L"browse-flat")
    {
        bool flat = action == L"browse-flat";
        int taken = ReadBrowseArguments(argc, argv, i + 1, flat, args);
        if (taken >= 0 && server != nullptr)
            step = flat ? BrowseFlatAction(server, args) : BrowseAction(server, args);
        return taken;
    }
    if (action == L"props" && i + 1 < argc)
    {
        if (server != nullptr)
            step = PropsAction(server, argv[i + 1]);
        return 1;
    }
    return -1;
}

// ---- read and write by item ID (IOPCItemIO) ------------------------------------------

struct ReadArguments
{
    std::vector<std::wstring> itemIds;
    DWORD maxAge = 0xFFFFFFFF; // what the server holds, unless it never read the tag
};

// Reads "ID... [--device] [--maxage MS]" at argv[i]: the count taken, or -1.
int ReadReadArguments(int argc, wchar_t** argv, int i, ReadArguments& args)
{
    int taken = 0;
    for (; i + taken < argc; ++taken)
    {
        std::wstring word = argv[i + taken];
        if (word == L"--device")
        {
            args.maxAge = 0;
        }
        else if (word == L"--maxage")
        {
            if (i + taken + 1 >= argc || !ParseNumber(argv[i + taken + 1], args.maxAge))
                return -1;
            ++taken;
        }
        else if (IsActionWord(word))
        {
            break;
        }
        else
        {
            args.itemIds.push_back(word);
        }
    }
    return args.itemIds.empty() ? -1 : taken;
}

// "TYPE:TEXT" with TYPE one of bool, i1, i2, i4, i8, ui1, ui2, ui4, r4, r8, str
// sends that type; plain text is sent as a string for the server to convert.
bool ParseTypedValue(const std::wstring& text, VARIANT* value)
{
    static const struct
    {
        const wchar_t* name;
        VARTYPE type;
    } types[] = {{L"bool", VT_BOOL}, {L"i1", VT_I1},   {L"i2", VT_I2},   {L"i4", VT_I4},
                 {L"i8", VT_I8},     {L"ui1", VT_UI1}, {L"ui2", VT_UI2}, {L"ui4", VT_UI4},
                 {L"r4", VT_R4},     {L"r8", VT_R8},   {L"str", VT_BSTR}};
    VARTYPE type = VT_BSTR;
    std::wstring body = text;
    size_t colon = text.find(L':');
    if (colon != std::wstring::npos)
    {
        for (const auto& t : types)
        {
            if (text.compare(0, colon, t.name) == 0)
            {
                type = t.type;
                body = text.substr(colon + 1);
            }
        }
    }
    COpcVariant source;
    source->vt = VT_BSTR;
    source->bstrVal = SysAllocString(body.c_str());
    if (source->bstrVal == nullptr)
        return false;
    // Invariant locale, so "1.5" means the same everywhere.
    return SUCCEEDED(VariantChangeTypeEx(value, source.Get(), 0x7F, VARIANT_ALPHABOOL, type));
}

int ReadAction(IOPCServer* server, const ReadArguments& args)
{
    COpcComPtr<IOPCItemIO> io = COpcComPtr<IOPCItemIO>::QueryFrom(server, IID_IOPCItemIO);
    if (!io)
        return ReportFailure(server, L"read", E_NOINTERFACE);
    std::vector<LPCWSTR> ids;
    for (const auto& id : args.itemIds)
        ids.push_back(id.c_str());
    std::vector<DWORD> ages(ids.size(), args.maxAge);
    COpcTaskMem<VARIANT> values;
    COpcTaskMem<WORD> qualities;
    COpcTaskMem<FILETIME> stamps;
    COpcTaskMem<HRESULT> errors;
    HRESULT hr = io->Read(static_cast<DWORD>(ids.size()), ids.data(), ages.data(), values.Receive(),
                          qualities.Receive(), stamps.Receive(), errors.Receive());
    if (FAILED(hr) || errors.Get() == nullptr)
        return ReportFailure(server, L"read", FAILED(hr) ? hr : E_UNEXPECTED);
    int code = ExitOk;
    for (size_t n = 0; n < ids.size(); ++n)
    {
        if (FAILED(errors.Get()[n]))
        {
            code = ReportFailure(server, (L"read " + args.itemIds[n]).c_str(), errors.Get()[n]);
        }
        else
        {
            Out(L"%ls = %ls  quality 0x%02X  time %ls\n", ids[n], ValueText(values.Get()[n]).c_str(),
                static_cast<unsigned>(qualities.Get()[n]), TimeText(stamps.Get()[n]).c_str());
        }
        VariantClear(&values.Get()[n]);
    }
    return code;
}

int WriteAction(IOPCServer* server, const std::wstring& itemId, const std::wstring& text)
{
    COpcComPtr<IOPCItemIO> io = COpcComPtr<IOPCItemIO>::QueryFrom(server, IID_IOPCItemIO);
    if (!io)
        return ReportFailure(server, L"write", E_NOINTERFACE);
    OPCITEMVQT vqt = {};
    if (!ParseTypedValue(text, &vqt.vDataValue))
    {
        Err(L"error: write: cannot make a value of %ls\n", text.c_str());
        return ExitActionFailed;
    }
    LPCWSTR id = itemId.c_str();
    COpcTaskMem<HRESULT> errors;
    HRESULT hr = io->WriteVQT(1, &id, &vqt, errors.Receive());
    VariantClear(&vqt.vDataValue);
    if (FAILED(hr) || errors.Get() == nullptr)
        return ReportFailure(server, L"write", FAILED(hr) ? hr : E_UNEXPECTED);
    if (FAILED(errors.Get()[0]))
        return ReportFailure(server, (L"write " + itemId).c_str(), errors.Get()[0]);
    Out(L"%ls written\n", id);
    return ExitOk;
}

// ---- watch: a subscription through IOPCDataCallback -----------------------------------

struct WatchArguments
{
    std::vector<std::wstring> itemIds;
    bool byBranch = false;
    std::wstring branch;
    DWORD rate = 1000;
    FLOAT deadband = 0.0f;
    DWORD keepAlive = 0;
    DWORD duration = INFINITE;
};

// Reads "ID... [branch=ID] [rate=MS] [deadband=PCT] [keepalive=MS] [duration=MS]"
// at argv[i]: the count taken, or -1.
int ReadWatchArguments(int argc, wchar_t** argv, int i, WatchArguments& args)
{
    int taken = 0;
    for (; i + taken < argc; ++taken)
    {
        std::wstring word = argv[i + taken];
        if (IsActionWord(word))
            break;
        size_t equals = word.find(L'=');
        std::wstring key = equals == std::wstring::npos ? std::wstring() : word.substr(0, equals);
        const wchar_t* value = word.c_str() + equals + 1;
        if (key == L"branch")
        {
            args.branch = value;
            args.byBranch = true;
        }
        else if (key == L"rate" || key == L"keepalive" || key == L"duration")
        {
            DWORD& target = key == L"rate" ? args.rate : key == L"keepalive" ? args.keepAlive : args.duration;
            if (!ParseNumber(value, target))
                return -1;
        }
        else if (key == L"deadband")
        {
            wchar_t* end = nullptr;
            double percent = std::wcstod(value, &end);
            if (*value == L'\0' || *end != L'\0' || !(percent >= 0.0 && percent <= 100.0))
                return -1;
            args.deadband = static_cast<FLOAT>(percent);
        }
        else
        {
            args.itemIds.push_back(word);
        }
    }
    return args.itemIds.empty() && !args.byBranch ? -1 : taken;
}

// Prints what the subscription delivers; the client handle of an item is its
// index in itemIds. Calls come on RPC threads, each printed as one text.
class WatchSink final : public IOPCDataCallback
{
public:
    explicit WatchSink(std::vector<std::wstring> itemIds) : m_itemIds(std::move(itemIds)) {}
    WatchSink(const WatchSink&) = delete;
    WatchSink& operator=(const WatchSink&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_IOPCDataCallback))
            return E_NOINTERFACE;
        *ppv = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        LONG left = InterlockedDecrement(&m_refs);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    STDMETHODIMP OnDataChange(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD count, OPCHANDLE* clients, VARIANT* values,
                              WORD* qualities, FILETIME* stamps, HRESULT* errors) override
    {
        if (count == 0)
        {
            FILETIME now = {};
            GetSystemTimeAsFileTime(&now);
            Out(L"keep-alive %ls\n", TimeText(now).c_str());
            return S_OK;
        }
        if (clients == nullptr || values == nullptr || qualities == nullptr || stamps == nullptr || errors == nullptr)
            return E_INVALIDARG;
        std::wstring text;
        for (DWORD i = 0; i < count; ++i)
        {
            std::wstring id = clients[i] < m_itemIds.size() ? m_itemIds[clients[i]]
                                                            : L"(handle " + std::to_wstring(clients[i]) + L")";
            wchar_t tail[128];
            if (FAILED(errors[i]))
                std::swprintf(tail, 128, L": error 0x%08lX\n", static_cast<unsigned long>(errors[i]));
            else
                std::swprintf(tail, 128, L"  quality 0x%02X  time %ls\n", static_cast<unsigned>(qualities[i]),
                              TimeText(stamps[i]).c_str());
            text += FAILED(errors[i]) ? id + tail : id + L" = " + ValueText(values[i]) + tail;
        }
        WriteText(STD_OUTPUT_HANDLE, text);
        return S_OK;
    }
    STDMETHODIMP OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*,
                                HRESULT*) override
    {
        return S_OK;
    }
    STDMETHODIMP OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return S_OK; }
    STDMETHODIMP OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

private:
    ~WatchSink() = default;

    LONG m_refs = 1;
    const std::vector<std::wstring> m_itemIds;
};

// Set by Ctrl-C (or Ctrl-Break, or closing the console) while a watch runs.
COpcHandle g_watchStop;

BOOL WINAPI StopWatch(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT)
        return FALSE;
    SetEvent(g_watchStop.Get());
    return TRUE;
}

// Ctrl-C ends the watch instead of the program while this lives.
class CtrlCStopsWatch
{
public:
    CtrlCStopsWatch() : m_installed(SetConsoleCtrlHandler(StopWatch, TRUE) != FALSE) {}
    ~CtrlCStopsWatch()
    {
        if (m_installed)
            SetConsoleCtrlHandler(StopWatch, FALSE);
    }
    CtrlCStopsWatch(const CtrlCStopsWatch&) = delete;
    CtrlCStopsWatch& operator=(const CtrlCStopsWatch&) = delete;

private:
    bool m_installed;
};

// Adds the items, active, with client handle = index; refused ones are
// reported and the rest kept. Sets added to the number the group took.
int AddWatchItems(IOPCServer* server, IUnknown* group, const std::vector<std::wstring>& ids, DWORD& added)
{
    COpcComPtr<IOPCItemMgt> items = COpcComPtr<IOPCItemMgt>::QueryFrom(group, IID_IOPCItemMgt);
    if (!items)
        return ReportFailure(server, L"watch", E_NOINTERFACE);
    std::vector<OPCITEMDEF> defs(ids.size());
    for (size_t n = 0; n < ids.size(); ++n)
    {
        defs[n].szAccessPath = const_cast<LPWSTR>(L"");
        defs[n].szItemID = const_cast<LPWSTR>(ids[n].c_str());
        defs[n].bActive = TRUE;
        defs[n].hClient = static_cast<OPCHANDLE>(n);
        defs[n].vtRequestedDataType = VT_EMPTY;
    }
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    HRESULT hr = items->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Receive(), errors.Receive());
    if (FAILED(hr) || results.Get() == nullptr || errors.Get() == nullptr)
        return ReportFailure(server, L"watch", FAILED(hr) ? hr : E_UNEXPECTED);
    int code = ExitOk;
    for (size_t n = 0; n < ids.size(); ++n)
    {
        CoTaskMemFree(results.Get()[n].pBlob);
        if (FAILED(errors.Get()[n]))
            code = ReportFailure(server, (L"watch " + ids[n]).c_str(), errors.Get()[n]);
        else
            ++added;
    }
    return code;
}

// Everything between AddGroup and RemoveGroup; every reference to the group
// is gone when it returns, so the group can be removed at once.
int RunWatch(IOPCServer* server, COpcComPtr<IUnknown> group, const std::vector<std::wstring>& ids,
             const WatchArguments& args)
{
    if (args.keepAlive != 0)
    {
        COpcComPtr<IOPCGroupStateMgt2> state =
            COpcComPtr<IOPCGroupStateMgt2>::QueryFrom(group.Get(), IID_IOPCGroupStateMgt2);
        DWORD revised = 0;
        HRESULT hr = state ? state->SetKeepAlive(args.keepAlive, &revised) : E_NOINTERFACE;
        if (FAILED(hr))
            return ReportFailure(server, L"watch keepalive", hr);
    }
    COpcComPtr<IConnectionPointContainer> container =
        COpcComPtr<IConnectionPointContainer>::QueryFrom(group.Get(), IID_IConnectionPointContainer);
    COpcComPtr<IConnectionPoint> point;
    HRESULT hr = container ? container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive()) : E_NOINTERFACE;
    COpcComPtr<WatchSink> sink(new (std::nothrow) WatchSink(ids));
    if (SUCCEEDED(hr) && !sink)
        hr = E_OUTOFMEMORY;
    DWORD cookie = 0;
    if (SUCCEEDED(hr))
        hr = point->Advise(sink.Get(), &cookie);
    if (FAILED(hr))
        return ReportFailure(server, L"watch", hr);
    // The sink is in place before the items, so no first value is missed.
    DWORD added = 0;
    int code = AddWatchItems(server, group.Get(), ids, added);
    if (added > 0)
    {
        CtrlCStopsWatch ctrlC;
        WaitForSingleObject(g_watchStop.Get(), args.duration);
    }
    hr = point->Unadvise(cookie);
    if (FAILED(hr))
        code = ReportFailure(server, L"watch", hr);
    return code;
}

int WatchAction(IOPCServer* server, const WatchArguments& args)
{
    std::vector<std::wstring> ids = args.itemIds;
    if (args.byBranch)
    {
        HRESULT hr = FlatItemIds(server, args.branch, L"", ids);
        if (FAILED(hr))
            return ReportFailure(server, (L"watch branch=" + args.branch).c_str(), hr);
    }
    if (ids.empty())
    {
        Err(L"error: watch: no items below %ls\n", args.branch.c_str());
        return ExitActionFailed;
    }
    if (!g_watchStop)
        g_watchStop.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    if (!g_watchStop)
        return ReportFailure(server, L"watch", HRESULT_FROM_WIN32(GetLastError()));
    ResetEvent(g_watchStop.Get());

    FLOAT deadband = args.deadband;
    OPCHANDLE handle = 0;
    DWORD revised = 0;
    COpcComPtr<IUnknown> group;
    HRESULT hr = server->AddGroup(L"", TRUE, args.rate, 0, nullptr, &deadband, 0, &handle, &revised, IID_IUnknown,
                                  reinterpret_cast<IUnknown**>(group.Receive()));
    if (FAILED(hr))
        return ReportFailure(server, L"watch", hr);
    Out(L"watching %lu items, rate %lu ms\n", static_cast<unsigned long>(ids.size()),
        static_cast<unsigned long>(revised));
    int code = RunWatch(server, std::move(group), ids, args);
    hr = server->RemoveGroup(handle, FALSE);
    if (FAILED(hr))
        code = ReportFailure(server, L"watch", hr);
    return code;
}

// Like BrowseActions, for read, write and watch.
int IoActions(IOPCServer* server, int argc, wchar_t** argv, int i, int& step)
{
    std::wstring action = argv[i];
    if (action == L"read")
    {
        ReadArguments args;
        int taken = ReadReadArguments(argc, argv, i + 1, args);
        if (taken >= 0 && server != nullptr)
            step = ReadAction(server, args);
        return taken;
    }
    if (action == L"watch")
    {
        WatchArguments args;
        int taken = ReadWatchArguments(argc, argv, i + 1, args);
        if (taken >= 0 && server != nullptr)
            step = WatchAction(server, args);
        return taken;
    }
    if (action == L"write" && i + 2 < argc)
    {
        if (server != nullptr)
            step = WriteAction(server, argv[i + 1], argv[i + 2]);
        return 2;
    }
    return -1;
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
        int ignored = 0;
        int taken = BrowseActions(nullptr, argc, argv, i, ignored);
        if (taken < 0)
            taken = IoActions(nullptr, argc, argv, i, ignored);
        if (taken >= 0)
        {
            i += taken;
            continue;
        }
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

    COpcApartment apartment;
    if (FAILED(apartment.Result()))
        return ExitUnreachable;

    COpcComPtr<IOPCServer> server;
    int result = Connect(options, server);
    if (result != ExitOk)
        return result;

    // The browse actions talk to the server directly.
    COpcComPtr<IOPCServer> browseServer = server;
    Probe probe(server);
    server.Reset();
    for (i = options.firstAction; i < argc; ++i)
    {
        std::wstring action = argv[i];
        DWORD number = 0;
        int step = ExitOk;
        int taken = BrowseActions(browseServer.Get(), argc, argv, i, step);
        if (taken < 0)
            taken = IoActions(browseServer.Get(), argc, argv, i, step);
        if (taken >= 0)
            i += taken;
        else if (action == L"status")
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
