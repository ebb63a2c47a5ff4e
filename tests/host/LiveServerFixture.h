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
