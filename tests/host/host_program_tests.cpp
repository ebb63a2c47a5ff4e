// The real tagbridge.exe in the test prefix: self-registration and its
// removal, the categories as OPC clients find them, the service it installs
// and runs, and the single-instance guard. Every test leaves the prefix
// unregistered and no server process behind.
#include "OpcApartment.h"
#include "OpcHostIdentity.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include "DevlaneControlClient.h"
#include "HostTestSupport.h"

#include <comcat.h>
#include <opcda.h>

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using namespace host_test;

namespace
{
const std::wstring kClsidKey = std::wstring(L"CLSID\\") + opc_host::kServerClsidText;
const std::wstring kAppIdKey = std::wstring(L"AppID\\") + opc_host::kAppIdText;

std::wstring Tagbridge(const wchar_t* arguments)
{
    return L"\"" + ProgramPath(L"tagbridge.exe") + L"\" " + arguments;
}

DWORD RunTagbridge(const wchar_t* arguments)
{
    return RunToEnd(Tagbridge(arguments), 60000);
}

class ProgramTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        // A run that failed half-way must not decide this one.
        ASSERT_EQ(0u, RunTagbridge(L"/unregserver"));
        ASSERT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));
    }

    void TearDown() override
    {
        StopServiceIfRunning(opc_host::kServiceName);
        EXPECT_EQ(0u, RunTagbridge(L"/unregserver"));
    }

    static bool IsInCategory(const GUID& catid)
    {
        COpcComPtr<ICatInformation> info;
        if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                    reinterpret_cast<void**>(info.Receive()))))
            return false;
        CATID implemented = catid;
        return info->IsClassOfCategories(opc_host::kServerClsid, 1, &implemented, 0, nullptr) == S_OK;
    }

    static std::wstring CategoryDescription(const GUID& catid)
    {
        COpcComPtr<ICatInformation> info;
        if (FAILED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatInformation,
                                    reinterpret_cast<void**>(info.Receive()))))
            return L"<no manager>";
        COpcTaskMem<wchar_t> text;
        CATID id = catid;
        if (FAILED(info->GetCategoryDesc(id, LOCALE_USER_DEFAULT, text.Receive())) || text.Get() == nullptr)
            return L"<none>";
        return text.Get();
    }

    COpcApartment m_com;
};

TEST_F(ProgramTest, RegServerWritesTheClassProgIdAndAppIdLayout)
{
    ASSERT_EQ(0u, RunTagbridge(L"/RegServer"));

    const std::wstring display = opc_host::kDisplayName;
    EXPECT_EQ(display, ReadValue(HKEY_CLASSES_ROOT, kClsidKey));
    EXPECT_EQ(opc_host::kAppIdText, ReadValue(HKEY_CLASSES_ROOT, kClsidKey, L"AppID"));
    EXPECT_EQ(L"Vantrel.Kestrix.1", ReadValue(HKEY_CLASSES_ROOT, kClsidKey + L"\\ProgID"));
    EXPECT_EQ(L"Vantrel.Kestrix", ReadValue(HKEY_CLASSES_ROOT, kClsidKey + L"\\VersionIndependentProgID"));
    EXPECT_EQ(Lower(ProgramPath(L"tagbridge.exe")),
              Lower(ReadValue(HKEY_CLASSES_ROOT, kClsidKey + L"\\LocalServer32")));
    EXPECT_EQ(L"Free", ReadValue(HKEY_CLASSES_ROOT, kClsidKey + L"\\LocalServer32", L"ThreadingModel"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey + L"\\InprocServer32"));

    EXPECT_EQ(display, ReadValue(HKEY_CLASSES_ROOT, L"Vantrel.Kestrix.1"));
    EXPECT_EQ(opc_host::kServerClsidText, ReadValue(HKEY_CLASSES_ROOT, L"Vantrel.Kestrix.1\\CLSID"));
    EXPECT_EQ(display, ReadValue(HKEY_CLASSES_ROOT, L"Vantrel.Kestrix"));
    EXPECT_EQ(opc_host::kServerClsidText, ReadValue(HKEY_CLASSES_ROOT, L"Vantrel.Kestrix\\CLSID"));
    EXPECT_EQ(L"Vantrel.Kestrix.1", ReadValue(HKEY_CLASSES_ROOT, L"Vantrel.Kestrix\\CurVer"));

    // The 2.0 category row gives the ProgID its "OPC" key; the 3.0 row adds none.
    EXPECT_EQ(L"", ReadValue(HKEY_CLASSES_ROOT, L"Vantrel.Kestrix.1\\OPC"));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"Vantrel.Kestrix\\OPC"));

    EXPECT_EQ(opc_host::kAppIdText, ReadValue(HKEY_CLASSES_ROOT, L"AppID\\tagbridge.exe"));
    EXPECT_EQ(display, ReadValue(HKEY_CLASSES_ROOT, kAppIdKey));
    EXPECT_EQ(L"<absent>", ReadValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
    EXPECT_EQ(L"<absent>", ReadValue(HKEY_CLASSES_ROOT, kAppIdKey, L"ServiceParameters"));

    // What an OPC client's server browser asks for.
    CLSID found = {};
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"Vantrel.Kestrix.1", &found));
    EXPECT_TRUE(InlineIsEqualGUID(found, opc_host::kServerClsid));
    EXPECT_TRUE(IsInCategory(CATID_OPCDAServer20));
    EXPECT_TRUE(IsInCategory(CATID_OPCDAServer30));
    EXPECT_FALSE(IsInCategory(CATID_OPCDAServer10));
    EXPECT_EQ(L"OPC Data Access Servers Version 2.0", CategoryDescription(CATID_OPCDAServer20));
    EXPECT_EQ(L"OPC Data Access Servers Version 3.0", CategoryDescription(CATID_OPCDAServer30));
}

TEST_F(ProgramTest, UnregServerRemovesEverythingAndAlwaysExitsZero)
{
    ASSERT_EQ(0u, RunTagbridge(L"/service"));
    ASSERT_TRUE(IsInCategory(CATID_OPCDAServer20));

    EXPECT_EQ(0u, RunTagbridge(L"/UnregServer"));
    for (const std::wstring& key : {kClsidKey, kAppIdKey, std::wstring(L"AppID\\tagbridge.exe"),
                                    std::wstring(L"Vantrel.Kestrix.1"), std::wstring(L"Vantrel.Kestrix")})
        EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, key)) << key.c_str();
    EXPECT_FALSE(IsInCategory(CATID_OPCDAServer20));
    EXPECT_FALSE(IsInCategory(CATID_OPCDAServer30));
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.Get(), opc_host::kServiceName, SERVICE_QUERY_STATUS));
    EXPECT_FALSE(service) << "the service is deleted";

    // Nothing left to remove: still 0.
    EXPECT_EQ(0u, RunTagbridge(L"/unregserver"));
}

TEST_F(ProgramTest, ServiceRegistrationNamesTheServiceAndInstallsIt)
{
    ASSERT_EQ(0u, RunTagbridge(L"/Service"));
    EXPECT_EQ(L"Kestrix", ReadValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
    EXPECT_EQ(L"-Service", ReadValue(HKEY_CLASSES_ROOT, kAppIdKey, L"ServiceParameters"));
    EXPECT_EQ(L"Free", ReadValue(HKEY_CLASSES_ROOT, kClsidKey + L"\\LocalServer32", L"ThreadingModel"));

    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.Get(), opc_host::kServiceName, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS | SERVICE_INTERACTIVE_PROCESS), config->dwServiceType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DEMAND_START), config->dwStartType);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ERROR_NORMAL), config->dwErrorControl);
    EXPECT_EQ(Lower(ProgramPath(L"tagbridge.exe")), Lower(config->lpBinaryPathName));
    EXPECT_STREQ(opc_host::kDisplayName, config->lpDisplayName);

    QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &needed);
    std::vector<BYTE> described(needed + 16);
    ASSERT_TRUE(QueryServiceConfig2W(service.Get(), SERVICE_CONFIG_DESCRIPTION, described.data(),
                                     static_cast<DWORD>(described.size()), &needed));
    const wchar_t* description = reinterpret_cast<SERVICE_DESCRIPTIONW*>(described.data())->lpDescription;
    ASSERT_NE(nullptr, description);
    EXPECT_EQ(std::wstring(MessageText(opc_host::kServiceDescriptionMessage).TextOrEmpty()), description);
    EXPECT_NE(L'\0', description[0]);

    // A later local-server registration only adds: the service form stays.
    ASSERT_EQ(0u, RunTagbridge(L"/regserver"));
    EXPECT_EQ(L"Kestrix", ReadValue(HKEY_CLASSES_ROOT, kAppIdKey, L"LocalService"));
}

TEST_F(ProgramTest, AnExistingServiceIsLeftAsItIs)
{
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ASSERT_TRUE(manager);
    {
        ScHandle existing(CreateServiceW(manager.Get(), opc_host::kServiceName, L"Someone else's", SERVICE_ALL_ACCESS,
                                         SERVICE_WIN32_OWN_PROCESS, SERVICE_DISABLED, SERVICE_ERROR_IGNORE,
                                         L"C:\\windows\\system32\\other.exe", nullptr, nullptr, nullptr, nullptr,
                                         nullptr));
        ASSERT_TRUE(existing);
    }
    ASSERT_EQ(0u, RunTagbridge(L"/service"));

    ScHandle service(OpenServiceW(manager.Get(), opc_host::kServiceName, SERVICE_QUERY_CONFIG));
    ASSERT_TRUE(service);
    DWORD needed = 0;
    QueryServiceConfigW(service.Get(), nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + 16);
    auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
    ASSERT_TRUE(QueryServiceConfigW(service.Get(), config, static_cast<DWORD>(buffer.size()), &needed));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_DISABLED), config->dwStartType);
    EXPECT_STREQ(L"C:\\windows\\system32\\other.exe", config->lpBinaryPathName);
    EXPECT_STREQ(L"Someone else's", config->lpDisplayName);
}

TEST_F(ProgramTest, ServiceWithoutClientsRunsAndStopsAtOnce)
{
    ASSERT_EQ(0u, RunTagbridge(L"/service"));
    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
    ScHandle service(
        OpenServiceW(manager.Get(), opc_host::kServiceName, SERVICE_START | SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(service);
    ASSERT_TRUE(StartServiceW(service.Get(), 0, nullptr)) << GetLastError();

    auto state = [&](SERVICE_STATUS_PROCESS& status)
    {
        DWORD needed = 0;
        return QueryServiceStatusEx(service.Get(), SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                    sizeof status, &needed) != FALSE;
    };
    SERVICE_STATUS_PROCESS status = {};
    WaitFor(
        [&] {
            return !state(status) || status.dwCurrentState == SERVICE_RUNNING ||
                   status.dwCurrentState == SERVICE_STOPPED;
        });
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), status.dwCurrentState);
    EXPECT_EQ(static_cast<DWORD>(SERVICE_ACCEPT_STOP), status.dwControlsAccepted);
    const DWORD processId = status.dwProcessId;
    ASSERT_NE(0u, processId);

    SERVICE_STATUS stopping = {};
    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &stopping));
    WaitFor([&] { return !state(status) || status.dwCurrentState == SERVICE_STOPPED; });
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), status.dwCurrentState);
    EXPECT_EQ(0u, status.dwWin32ExitCode);

    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, processId);
    if (process != nullptr)
    {
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(process, kWaitCeilingMs))
            << "the service process ends after its stop";
        CloseHandle(process);
    }
}

TEST_F(ProgramTest, SecondInstanceWaitsForTheMutexAndLeaves)
{
    HANDLE mutex = CreateMutexW(nullptr, TRUE, opc_host::kInstanceMutexName);
    ASSERT_NE(nullptr, mutex);
    std::unique_ptr<void, void (*)(void*)> owner(mutex,
                                                 [](void* m)
                                                 {
                                                     ReleaseMutex(m);
                                                     CloseHandle(m);
                                                 });
    if (GetLastError() == ERROR_ALREADY_EXISTS)
    {
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(mutex, 0)) << "another server holds the guard";
    }

    const ULONGLONG start = GetTickCount64();
    const DWORD code = RunToEnd(Tagbridge(L"-Embedding"), kWaitCeilingMs);
    const ULONGLONG elapsed = GetTickCount64() - start;
    EXPECT_EQ(0u, code) << "it leaves";
    EXPECT_GE(elapsed, 2900u) << "it waits 3000 ms for the guard";
}

TEST_F(ProgramTest, DashSwitchRunsTheServerInsteadOfRegistering)
{
    Child server;
    ASSERT_TRUE(server.Start(Tagbridge(L"-regserver")));
    // Run starts the library right before its message loop, and only then
    // does the library answer on its control channel.
    devlane_control::Client runtime(server.Id(), 1000);
    ASSERT_TRUE(WaitFor([&] { return runtime.Count("EasyInit") == 1 || !server.IsRunning(); }));
    EXPECT_TRUE(server.IsRunning()) << "a server without clients waits in its message loop";
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, kClsidKey));

    QuitThreadsOf(server.Id());
    DWORD code = ~0u;
    EXPECT_TRUE(server.Wait(kWaitCeilingMs, &code)) << "the message loop ends with WM_QUIT";
    EXPECT_EQ(0u, code);
}
} // namespace
