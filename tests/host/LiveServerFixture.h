// The real server started by COM from a folder of its own ("host-live" beside
// the test programs) with the live sample configuration and the substitute
// runtime, and clients that connect to it through the proxy.
#pragma once

#include "OpcApartment.h"
#include "OpcHostIdentity.h"
#include "OpcTaskMem.h"

#include "DevlaneControlClient.h"
#include "HostTestSupport.h"
#include "ShutdownSink.h"

#include <opccomn.h>
#include <opcda.h>
#include <opcerror.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace host_test
{
// One client: a server object and its advised sink.
struct Client
{
    COpcComPtr<IOPCServer> server;
    COpcComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    ShutdownSink sink;

    HRESULT Connect()
    {
        HRESULT hr = CoCreateInstance(opc_host::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                      reinterpret_cast<void**>(server.Receive()));
        if (FAILED(hr))
            return hr;
        auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(server.Get(), IID_IConnectionPointContainer);
        if (!container)
            return E_NOINTERFACE;
        hr = container->FindConnectionPoint(IID_IOPCShutdown, point.Receive());
        if (FAILED(hr))
            return hr;
        return point->Advise(static_cast<IOPCShutdown*>(&sink), &cookie);
    }

    OPCSERVERSTATE State()
    {
        COpcTaskMem<OPCSERVERSTATUS> status;
        if (FAILED(server->GetStatus(status.Receive())) || status.Get() == nullptr)
            return static_cast<OPCSERVERSTATE>(0);
        CoTaskMemFree(status.Get()->szVendorInfo);
        return status.Get()->dwServerState;
    }

    void Disconnect()
    {
        if (point && cookie != 0)
            point->Unadvise(cookie);
        cookie = 0;
        point.Reset();
        server.Reset();
    }

    ~Client() { Disconnect(); }
};

// An active group with active items (client handles 1, 2, ... in the order
// given) and a data callback advised.
struct SubscribedGroup
{
    COpcComPtr<IUnknown> group;
    OPCHANDLE handle = 0;
    std::vector<OPCHANDLE> items; // server handles
    COpcComPtr<IConnectionPoint> point;
    DWORD cookie = 0;

    HRESULT Create(IOPCServer* server, const wchar_t* name, DWORD rate, const std::vector<const wchar_t*>& ids,
                   IOPCDataCallback* sink)
    {
        DWORD revised = 0;
        HRESULT hr = server->AddGroup(name, TRUE, rate, 1, nullptr, nullptr, 1033, &handle, &revised, IID_IUnknown,
                                      group.Receive());
        if (FAILED(hr))
            return hr;
        auto itemMgt = COpcComPtr<IOPCItemMgt>::QueryFrom(group.Get(), IID_IOPCItemMgt);
        auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(group.Get(), IID_IConnectionPointContainer);
        if (!itemMgt || !container)
            return E_NOINTERFACE;
        std::vector<OPCITEMDEF> defs(ids.size());
        for (size_t i = 0; i < ids.size(); ++i)
        {
            defs[i] = OPCITEMDEF{};
            defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
            defs[i].szAccessPath = const_cast<LPWSTR>(L"");
            defs[i].bActive = TRUE;
            defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
        }
        COpcTaskMem<OPCITEMRESULT> results;
        COpcTaskMem<HRESULT> errors;
        hr = itemMgt->AddItems(static_cast<DWORD>(defs.size()), defs.data(), results.Receive(), errors.Receive());
        if (hr != S_OK)
            return FAILED(hr) ? hr : E_FAIL;
        for (size_t i = 0; i < ids.size(); ++i)
            items.push_back(results.Get()[i].hServer);
        hr = container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive());
        return FAILED(hr) ? hr : point->Advise(sink, &cookie);
    }
};

// Waits until the server has called a library function this many more times.
// The server's own threads set that pace, so a loaded machine slows it as
// much as the rest of the server: a wait for what the server must not do
// that lasts some server cycles rather than some milliseconds.
inline bool WaitForLibraryCalls(const devlane_control::Client& runtime, const char* function, long long calls)
{
    const long long start = runtime.Count(function);
    return start >= 0 && WaitFor([&] { return runtime.Count(function) >= start + calls; });
}

class LiveServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // The program and the libraries it loads by name, beside the live sample.
        m_folder = BinDirectory() + L"\\" + FolderName();
        for (const wchar_t* file : {L"tagbridge.exe", L"Devlane.dll", L"Kelmsg.dll"})
            ASSERT_TRUE(CopyFileW((BinDirectory() + L"\\" + file).c_str(), (m_folder + L"\\" + file).c_str(), FALSE))
                << file;
        ASSERT_EQ(0u, Tagbridge(L"/unregserver"));
    }

    void TearDown() override
    {
        m_clients.clear();
        StopServiceIfRunning(opc_host::kServiceName);
        // A server whose clients are gone ends by itself; one that does not is ended here.
        if (!WaitFor([] { return devlane_control::FindProcess(L"tagbridge.exe") == 0; }))
        {
            ADD_FAILURE() << "the server did not end after its clients let go";
            for (DWORD pid; (pid = devlane_control::FindProcess(L"tagbridge.exe")) != 0;)
            {
                HANDLE process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, pid);
                if (process == nullptr)
                    break;
                TerminateProcess(process, 0xDEAD);
                WaitForSingleObject(process, 5000);
                CloseHandle(process);
            }
        }
        EXPECT_EQ(0u, Tagbridge(L"/unregserver"));
    }

    // The folder beside the test programs that holds the configuration served.
    virtual const wchar_t* FolderName() const { return L"host-live"; }

    DWORD Tagbridge(const wchar_t* arguments)
    {
        return RunToEnd(L"\"" + m_folder + L"\\tagbridge.exe\" " + arguments, 60000);
    }

    Client& NewClient()
    {
        m_clients.emplace_back(new Client());
        return *m_clients.back();
    }

    // Registers the server and connects a first client, whose server object becomes m_server.
    void RegisterAndConnect()
    {
        ASSERT_EQ(0u, Tagbridge(L"/regserver"));
        Client& client = NewClient();
        ASSERT_HRESULT_SUCCEEDED(client.Connect());
        m_server = client.server.Get();
    }

    COpcApartment m_com; // first in, last out: the clients' pointers go before it
    std::wstring m_folder;
    std::vector<std::unique_ptr<Client>> m_clients;
    IOPCServer* m_server = nullptr; // held by the first client
};

// A task-memory text as a string, freed.
inline std::wstring TakeText(LPWSTR text)
{
    std::wstring result = text != nullptr ? text : L"(null)";
    CoTaskMemFree(text);
    return result;
}
} // namespace host_test
