// The real server, started by COM from a folder of its own with the live
// sample configuration and the substitute runtime: the shutdown notice when
// the runtime disappears, the service stop with a client connected, group
// rules, browsing, and items with synchronous IO.
#include "LiveServerFixture.h"

using namespace host_test;

namespace
{
TEST_F(LiveServerTest, LostRuntimeBringsEveryClientExactlyOneShutdownRequest)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    Client& first = NewClient();
    Client& second = NewClient();
    ASSERT_HRESULT_SUCCEEDED(first.Connect());
    ASSERT_HRESULT_SUCCEEDED(second.Connect());
    EXPECT_EQ(OPC_STATUS_RUNNING, first.State()) << "the live sample is a good configuration";

    const DWORD pid = devlane_control::FindProcess(L"tagbridge.exe");
    ASSERT_NE(0u, pid);
    devlane_control::Client runtime(pid);
    ASSERT_TRUE(runtime.Runtime("down"));

    ASSERT_TRUE(WaitFor([&] { return first.sink.requests > 0 && second.sink.requests > 0; }));
    // The runtime stays away for several more watchdog cycles, while the
    // pollers (ramp and pressure, every 100 and 200 ms) go on reading.
    ASSERT_TRUE(WaitForLibraryCalls(runtime, "ReadDevice16M", 30));
    EXPECT_EQ(1, first.sink.requests);

    // One client letting go keeps the process for the other: it goes on
    // polling and serving.
    first.Disconnect();
    ASSERT_TRUE(WaitForLibraryCalls(runtime, "ReadDevice16M", 15));
    EXPECT_EQ(pid, devlane_control::FindProcess(L"tagbridge.exe"));
    EXPECT_NE(static_cast<OPCSERVERSTATE>(0), second.State());
    second.Disconnect();
    EXPECT_TRUE(WaitFor([] { return devlane_control::FindProcess(L"tagbridge.exe") == 0; }))
        << "the process ends after the last release";
    EXPECT_EQ(1, second.sink.requests) << "none came before the server ended";
}

TEST_F(LiveServerTest, OpcProbeConnectsByTheDefaultProgIdAndManagesGroups)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    const std::wstring outputFile = TempFile(L"prb");
    const DWORD code =
        RunToEnd(L"\"" + ProgramPath(L"opcprobe.exe") +
                     L"\" status add-group - 250 add-group - 100 list-groups remove-group Group001 status",
                 60000, outputFile);
    const std::string output = ReadFileText(outputFile);
    DeleteFileW(outputFile.c_str());
    ASSERT_EQ(0u, code) << output;
    EXPECT_EQ(0u, output.find("state: RUNNING\n")) << output;
    EXPECT_NE(std::string::npos, output.find("vendor: Vantrel.Kestrix Data Access 2.05a/3.00 Server\n")) << output;
    EXPECT_NE(std::string::npos, output.find("last update: none\n")) << output;
    EXPECT_NE(std::string::npos, output.find("groups: 0\n")) << output;
    EXPECT_NE(std::string::npos, output.find("bandwidth: 0xFFFFFFFF\n")) << output;
    EXPECT_NE(std::string::npos, output.find("group: Group001 handle=")) << output;
    EXPECT_NE(std::string::npos, output.find("group: Group002 handle=")) << output;
    EXPECT_NE(std::string::npos, output.find("group count: 2\n")) << output;
    EXPECT_NE(std::string::npos, output.find("removed: Group001\n")) << output;
    EXPECT_NE(std::string::npos, output.find("groups: 1\n")) << output;
}

TEST_F(LiveServerTest, ServiceStopWithAClientNotifiesItAndWaitsForItsRelease)
{
    ASSERT_EQ(0u, Tagbridge(L"/service"));
    Client& client = NewClient();
    ASSERT_HRESULT_SUCCEEDED(client.Connect()) << "COM starts the service";

    ScHandle manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    ScHandle service(OpenServiceW(manager.Get(), opc_host::kServiceName, SERVICE_STOP | SERVICE_QUERY_STATUS));
    ASSERT_TRUE(service);
    auto state = [&]
    {
        SERVICE_STATUS status = {};
        QueryServiceStatus(service.Get(), &status);
        return status.dwCurrentState;
    };
    ASSERT_EQ(static_cast<DWORD>(SERVICE_RUNNING), state());

    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(service.Get(), SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(WaitFor([&] { return client.sink.requests > 0; }));
    // The watchdog goes on checking the runtime, which is there: some more
    // cycles of the server in which it must neither stop nor ask again.
    devlane_control::Client runtime(devlane_control::FindProcess(L"tagbridge.exe"));
    ASSERT_TRUE(WaitForLibraryCalls(runtime, "EasyCheckServerFork", 3));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOP_PENDING), state()) << "the client still holds its server";
    EXPECT_EQ(1, client.sink.requests);

    client.Disconnect();
    EXPECT_TRUE(WaitFor([&] { return state() == SERVICE_STOPPED; }));
}
} // namespace

namespace
{
// The name, rate, active flag and handles of a group, through its proxy.
struct GroupState
{
    HRESULT result = E_FAIL;
    std::wstring name;
    DWORD rate = 0;
    BOOL active = FALSE;
    OPCHANDLE client = 0;
    OPCHANDLE server = 0;
};

GroupState StateOf(IUnknown* group)
{
    GroupState state;
    auto mgt = COpcComPtr<IOPCGroupStateMgt>::QueryFrom(group, IID_IOPCGroupStateMgt);
    if (!mgt)
        return state;
    LPWSTR name = nullptr;
    LONG bias = 0;
    FLOAT deadband = 0;
    DWORD lcid = 0;
    state.result =
        mgt->GetState(&state.rate, &state.active, &name, &bias, &deadband, &lcid, &state.client, &state.server);
    if (name != nullptr)
        state.name = name;
    CoTaskMemFree(name);
    return state;
}

DWORD GroupCountOf(IOPCServer* server)
{
    COpcTaskMem<OPCSERVERSTATUS> status;
    if (FAILED(server->GetStatus(status.Receive())) || status.Get() == nullptr)
        return ~0u;
    CoTaskMemFree(status.Get()->szVendorInfo);
    return status.Get()->dwGroupCount;
}

std::wstring ErrorText(IOPCCommon* common, HRESULT code)
{
    LPWSTR text = nullptr;
    if (FAILED(common->GetErrorString(code, &text)) || text == nullptr)
        return L"<none>";
    std::wstring result = text;
    CoTaskMemFree(text);
    return result;
}
} // namespace

TEST_F(LiveServerTest, GroupRulesHoldThroughTheProxy)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    Client& client = NewClient();
    ASSERT_HRESULT_SUCCEEDED(client.Connect());
    IOPCServer* server = client.server.Get();

    auto add = [&](const wchar_t* name, DWORD rate, FLOAT* deadband, COpcComPtr<IUnknown>& group, DWORD* revised,
                   OPCHANDLE* handle)
    {
        return server->AddGroup(name, FALSE, rate, 77, nullptr, deadband, 1033, handle, revised, IID_IUnknown,
                                group.Receive());
    };
    COpcComPtr<IUnknown> g1, g2, g3;
    DWORD revised = 0;
    OPCHANDLE h1 = 0, h2 = 0, h3 = 0;
    ASSERT_EQ(S_OK, add(L"", 1000, nullptr, g1, &revised, &h1));
    ASSERT_EQ(S_OK, add(L"", 1000, nullptr, g2, &revised, &h2));
    // The base cycle of the live sample is 100 ms: 250 becomes the next multiple.
    ASSERT_EQ(OPC_S_UNSUPPORTEDRATE, add(L"", 250, nullptr, g3, &revised, &h3));
    EXPECT_EQ(300u, revised);
    EXPECT_EQ(L"Group001", StateOf(g1.Get()).name);
    EXPECT_EQ(L"Group002", StateOf(g2.Get()).name);
    EXPECT_EQ(L"Group003", StateOf(g3.Get()).name);
    EXPECT_NE(h1, h2);

    // Refused groups leave nothing behind.
    COpcComPtr<IUnknown> refused;
    FLOAT tooMuch = 100.5f;
    EXPECT_EQ(E_INVALIDARG, add(L"Bad", 1000, &tooMuch, refused, &revised, &h3));
    EXPECT_TRUE(FAILED(add(L"NoRate", 1000, nullptr, refused, nullptr, &h3)));
    EXPECT_EQ(3u, GroupCountOf(server));
    IUnknown* missing = nullptr;
    EXPECT_EQ(E_INVALIDARG, server->GetGroupByName(L"Bad", IID_IUnknown, &missing));

    auto keep = COpcComPtr<IOPCGroupStateMgt2>::QueryFrom(g1.Get(), IID_IOPCGroupStateMgt2);
    ASSERT_TRUE(keep);
    DWORD keepAlive = 0;
    EXPECT_EQ(OPC_S_UNSUPPORTEDRATE, keep->SetKeepAlive(1, &keepAlive));
    EXPECT_EQ(1000u, keepAlive);

    // A clone starts inactive with the source's rate and client handle, under a handle of its own.
    COpcComPtr<IUnknown> clone;
    ASSERT_EQ(S_OK, keep->CloneGroup(L"Copy", IID_IUnknown, clone.Receive()));
    GroupState cloned = StateOf(clone.Get());
    EXPECT_EQ(L"Copy", cloned.name);
    EXPECT_EQ(1000u, cloned.rate);
    EXPECT_FALSE(cloned.active);
    EXPECT_EQ(77u, cloned.client);
    EXPECT_NE(h1, cloned.server);

    // Removing a group the client still holds: in use, and dead from then on.
    EXPECT_EQ(OPC_S_INUSE, server->RemoveGroup(h2, FALSE));
    EXPECT_EQ(E_FAIL, StateOf(g2.Get()).result);
    EXPECT_EQ(E_FAIL, server->RemoveGroup(h2, FALSE));
    keep.Reset();
    g1.Reset();
    g2.Reset();
    g3.Reset();
    clone.Reset();
}

TEST_F(LiveServerTest, LocalesAndErrorTextsThroughTheProxy)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    Client& client = NewClient();
    ASSERT_HRESULT_SUCCEEDED(client.Connect());
    auto common = COpcComPtr<IOPCCommon>::QueryFrom(client.server.Get(), IID_IOPCCommon);
    ASSERT_TRUE(common);
    EXPECT_EQ(E_INVALIDARG, common->SetLocaleID(1031));
    EXPECT_EQ(S_OK, common->SetLocaleID(1033));
    std::wstring english = ErrorText(common.Get(), OPC_E_UNKNOWNITEMID);
    EXPECT_NE(L"<none>", english);
    std::wstring system = ErrorText(common.Get(), E_OUTOFMEMORY);
    ASSERT_NE(L"<none>", system);
    EXPECT_NE(L'\n', system.back());
    EXPECT_EQ(S_OK, common->SetLocaleID(0x411));
    LCID lcid = 0;
    EXPECT_EQ(S_OK, common->GetLocaleID(&lcid));
    EXPECT_EQ(1041u, lcid);
    std::wstring japanese = ErrorText(common.Get(), OPC_E_UNKNOWNITEMID);
    EXPECT_NE(L"<none>", japanese);
    EXPECT_NE(english, japanese);
}

TEST_F(LiveServerTest, AKilledClientLeavesTheServerWorkingForOthers)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    // A client process that holds a server object and groups, then dies.
    Child doomed;
    const std::wstring probeOutput = TempFile(L"prb");
    ASSERT_TRUE(doomed.Start(
        L"\"" + ProgramPath(L"opcprobe.exe") + L"\" add-group Doomed 1000 add-group - 500 wait 60000", probeOutput));
    // It dies once the server has made both of its groups.
    ASSERT_TRUE(WaitFor(
        [&]
        {
            const std::string text = ReadFileText(probeOutput);
            const size_t first = text.find("group: ");
            return first != std::string::npos && text.find("group: ", first + 1) != std::string::npos;
        }));
    const DWORD pid = devlane_control::FindProcess(L"tagbridge.exe");
    ASSERT_NE(0u, pid);
    doomed.Kill();
    DeleteFileW(probeOutput.c_str());

    // Another client is served as before, and its own lifecycle works.
    Client& other = NewClient();
    ASSERT_HRESULT_SUCCEEDED(other.Connect());
    EXPECT_EQ(OPC_STATUS_RUNNING, other.State());
    COpcComPtr<IUnknown> group;
    DWORD revised = 0;
    OPCHANDLE handle = 0;
    EXPECT_EQ(S_OK, other.server->AddGroup(L"Alive", TRUE, 1000, 1, nullptr, nullptr, 1033, &handle, &revised,
                                           IID_IUnknown, group.Receive()));
    EXPECT_EQ(L"Alive", StateOf(group.Get()).name);
    group.Reset();
    EXPECT_EQ(S_OK, other.server->RemoveGroup(handle, FALSE));
    EXPECT_EQ(pid, devlane_control::FindProcess(L"tagbridge.exe"));
    other.Disconnect();
    m_clients.clear();

    // Without COM's collection of dead clients the server would wait for the
    // killed one forever; let it leave its loop so the fixture sees it end.
    QuitThreadsOf(pid);
}

namespace
{
// Names of one Browse page, with the element memory freed.
std::vector<std::wstring> BrowsePage(IOPCBrowse* browse, const wchar_t* itemId, LPWSTR* point, DWORD max,
                                     const wchar_t* vendor, HRESULT& hr)
{
    std::vector<std::wstring> names;
    BOOL more = TRUE;
    DWORD count = 0;
    OPCBROWSEELEMENT* elements = nullptr;
    // The proxy refuses a null property list even when it is empty.
    DWORD noProperties = 0;
    hr = browse->Browse(const_cast<LPWSTR>(itemId), point, max, OPC_BROWSE_FILTER_ALL, const_cast<LPWSTR>(L""),
                        const_cast<LPWSTR>(vendor), FALSE, FALSE, 0, &noProperties, &more, &count, &elements);
    EXPECT_FALSE(more);
    for (DWORD i = 0; i < count; ++i)
    {
        names.push_back(elements[i].szName);
        CoTaskMemFree(elements[i].szName);
        CoTaskMemFree(elements[i].szItemID);
    }
    CoTaskMemFree(elements);
    return names;
}

TEST_F(LiveServerTest, BrowsingThroughTheProxyWalksTheLiveSampleAndItsEdges)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    Client& client = NewClient();
    ASSERT_HRESULT_SUCCEEDED(client.Connect());
    auto space =
        COpcComPtr<IOPCBrowseServerAddressSpace>::QueryFrom(client.server.Get(), IID_IOPCBrowseServerAddressSpace);
    auto browse = COpcComPtr<IOPCBrowse>::QueryFrom(client.server.Get(), IID_IOPCBrowse);
    ASSERT_TRUE(space && browse);

    // The browse position: UP at the root fails, TO "" is the root, a leaf is no position.
    EXPECT_EQ(E_FAIL, space->ChangeBrowsePosition(OPC_BROWSE_UP, L""));
    EXPECT_EQ(S_OK, space->ChangeBrowsePosition(OPC_BROWSE_TO, L""));
    EXPECT_EQ(S_OK, space->ChangeBrowsePosition(OPC_BROWSE_TO, L"Line1.PLC1.Process"));
    EXPECT_EQ(E_INVALIDARG, space->ChangeBrowsePosition(OPC_BROWSE_DOWN, L"Level"));
    LPWSTR id = nullptr;
    EXPECT_EQ(S_OK, space->GetItemID(const_cast<LPWSTR>(L""), &id));
    EXPECT_EQ(L"Line1.PLC1.Process", TakeText(id));

    // FLAT: full item IDs of nested items, no branches.
    COpcComPtr<IEnumString> names;
    ASSERT_EQ(S_OK, space->BrowseOPCItemIDs(OPC_FLAT, L"Valves.*", VT_EMPTY, 0, names.Receive()));
    std::vector<std::wstring> flat;
    LPOLESTR name = nullptr;
    ULONG fetched = 0;
    while (names->Next(1, &name, &fetched) == S_OK)
        flat.push_back(TakeText(name));
    EXPECT_EQ((std::vector<std::wstring>{L"Line1.PLC1.Process.Valves.Inlet", L"Line1.PLC1.Process.Valves.Outlet"}),
              flat);

    // Nine children two at a time: 2, 2, 2, 2, 1 and then no continuation point.
    LPWSTR point = static_cast<LPWSTR>(CoTaskMemAlloc(sizeof(wchar_t)));
    *point = L'\0';
    std::vector<size_t> pages;
    HRESULT hr = E_FAIL;
    do
    {
        pages.push_back(BrowsePage(browse.Get(), L"Line1.PLC1.Process", &point, 2, L"", hr).size());
        ASSERT_EQ(S_OK, hr);
        ASSERT_NE(nullptr, point);
    } while (*point != L'\0' && pages.size() < 10);
    EXPECT_EQ((std::vector<size_t>{2, 2, 2, 2, 1}), pages);
    CoTaskMemFree(point);

    point = static_cast<LPWSTR>(CoTaskMemAlloc(4 * sizeof(wchar_t)));
    wcscpy(point, L"abc");
    BrowsePage(browse.Get(), L"Line1.PLC1.Process", &point, 0, L"", hr);
    EXPECT_EQ(OPC_E_INVALIDCONTINUATIONPOINT, hr);
    CoTaskMemFree(point);
    point = nullptr;
    EXPECT_EQ((std::vector<std::wstring>{L"Pump", L"Valves"}),
              BrowsePage(browse.Get(), L"Line1.PLC1.Process", &point, 0, L"digital tag type", hr));
    EXPECT_EQ(S_OK, hr);
    CoTaskMemFree(point);
    point = nullptr;
    BrowsePage(browse.Get(), L"Line1.PLC9", &point, 0, L"", hr);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, hr);
    CoTaskMemFree(point);

    // A Japanese client's GetProperties switches the descriptions of every client.
    auto common = COpcComPtr<IOPCCommon>::QueryFrom(client.server.Get(), IID_IOPCCommon);
    ASSERT_EQ(S_OK, common->SetLocaleID(1041));
    LPWSTR level = const_cast<LPWSTR>(L"Line1.PLC1.Process.Level");
    DWORD quality = 3;
    OPCITEMPROPERTIES* properties = nullptr;
    ASSERT_EQ(S_OK, browse->GetProperties(1, &level, TRUE, 1, &quality, &properties));
    ASSERT_EQ(1u, properties[0].dwNumProperties);
    EXPECT_EQ(L"アイテム品質", TakeText(properties[0].pItemProperties[0].szDescription));
    EXPECT_EQ(VT_I2, properties[0].pItemProperties[0].vValue.vt);
    CoTaskMemFree(properties[0].pItemProperties[0].szItemID);
    CoTaskMemFree(properties[0].pItemProperties);
    CoTaskMemFree(properties);

    Client& other = NewClient();
    ASSERT_HRESULT_SUCCEEDED(other.Connect());
    auto otherProperties = COpcComPtr<IOPCItemProperties>::QueryFrom(other.server.Get(), IID_IOPCItemProperties);
    ASSERT_TRUE(otherProperties);
    DWORD count = 0;
    DWORD* ids = nullptr;
    LPWSTR* descriptions = nullptr;
    VARTYPE* types = nullptr;
    ASSERT_EQ(S_OK, otherProperties->QueryAvailableProperties(level, &count, &ids, &descriptions, &types));
    ASSERT_GT(count, 2u);
    EXPECT_EQ(3u, ids[2]);
    EXPECT_EQ(L"アイテム品質", std::wstring(descriptions[2]));
    for (DWORD i = 0; i < count; ++i)
        CoTaskMemFree(descriptions[i]);
    CoTaskMemFree(ids);
    CoTaskMemFree(descriptions);
    CoTaskMemFree(types);
}

TEST_F(LiveServerTest, OpcProbeBrowsesTheLiveSampleAndShowsProperties)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    const std::wstring outputFile = TempFile(L"prb");
    const DWORD code = RunToEnd(L"\"" + ProgramPath(L"opcprobe.exe") +
                                    L"\" browse Line1.PLC1.Process max=4 vendor=\"Digital Tag Type\" browse-flat"
                                    L" filter=*Valves* props Line1.PLC1.Process.Level",
                                60000, outputFile);
    const std::string output = ReadFileText(outputFile);
    DeleteFileW(outputFile.c_str());
    ASSERT_EQ(0u, code) << output;
    EXPECT_NE(std::string::npos, output.find("item: Pump id=Line1.PLC1.Process.Pump\n")) << output;
    EXPECT_NE(std::string::npos, output.find("branch: Valves id=Line1.PLC1.Process.Valves\n")) << output;
    EXPECT_NE(std::string::npos, output.find("elements: 2\n")) << output;
    EXPECT_NE(std::string::npos, output.find("item: Line1.PLC1.Process.Valves.Outlet\n")) << output;
    EXPECT_NE(std::string::npos, output.find("items: 2\n")) << output;
    EXPECT_NE(std::string::npos, output.find("property 101: Item Description = Tank level\n")) << output;
    EXPECT_NE(std::string::npos, output.find("property 5005: DataType = Float\n")) << output;
}
} // namespace

TEST_F(LiveServerTest, ABrokenConfigurationIsReportedAsNoConfig)
{
    // The sample's file is put back whatever happens below.
    const std::wstring path = m_folder + L"\\OpcConfiguration.xml";
    const std::string original = ReadFileText(path);
    ASSERT_FALSE(original.empty());
    struct Restore
    {
        std::wstring path;
        std::string text;
        ~Restore()
        {
            HANDLE file =
                CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            DWORD written = 0;
            WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
            CloseHandle(file);
        }
    } restore{path, original};
    {
        const std::string broken = "<OpcConfiguration><OutputLogDisable>0</OutputLogDisable>"
                                   "<Simulation Enabled=\"false\" Interval=\"150\" File=\"x\"/></OpcConfiguration>";
        HANDLE file =
            CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        DWORD written = 0;
        WriteFile(file, broken.data(), static_cast<DWORD>(broken.size()), &written, nullptr);
        CloseHandle(file);
    }

    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    Client& client = NewClient();
    ASSERT_HRESULT_SUCCEEDED(client.Connect()) << "a broken configuration still gives a server object";
    EXPECT_EQ(OPC_STATUS_NOCONFIG, client.State());
    EXPECT_EQ(0u, GroupCountOf(client.server.Get()));
}

TEST_F(LiveServerTest, ItemsAndSynchronousIoThroughTheProxy)
{
    ASSERT_EQ(0u, Tagbridge(L"/regserver"));
    Client& client = NewClient();
    ASSERT_HRESULT_SUCCEEDED(client.Connect());
    COpcComPtr<IUnknown> group;
    DWORD revised = 0;
    OPCHANDLE groupHandle = 0;
    ASSERT_EQ(S_OK, client.server->AddGroup(L"IO", TRUE, 1000, 1, nullptr, nullptr, 1033, &groupHandle, &revised,
                                            IID_IUnknown, group.Receive()));
    auto items = COpcComPtr<IOPCItemMgt>::QueryFrom(group.Get(), IID_IOPCItemMgt);
    auto io = COpcComPtr<IOPCSyncIO>::QueryFrom(group.Get(), IID_IOPCSyncIO);
    ASSERT_TRUE(items && io);

    const wchar_t* ids[] = {L"Line1.PLC1.Process.Level", L"Line1.PLC1.Fixed.Setpoint", L"", L"Line1.PLC1.NoSuchTag"};
    OPCITEMDEF defs[4] = {};
    for (DWORD i = 0; i < 4; ++i)
    {
        defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].bActive = TRUE;
        defs[i].hClient = 100 + i;
    }
    OPCITEMRESULT* results = nullptr;
    HRESULT* errors = nullptr;
    ASSERT_EQ(S_FALSE, items->AddItems(4, defs, &results, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    EXPECT_EQ(S_OK, errors[1]);
    EXPECT_EQ(OPC_E_INVALIDITEMID, errors[2]);
    EXPECT_EQ(OPC_E_UNKNOWNITEMID, errors[3]);
    EXPECT_EQ(VT_R4, results[0].vtCanonicalDataType);
    OPCHANDLE level = results[0].hServer;
    OPCHANDLE setpoint = results[1].hServer;
    for (DWORD i = 0; i < 4; ++i)
        CoTaskMemFree(results[i].pBlob);
    CoTaskMemFree(results);
    CoTaskMemFree(errors);

    // A device read of the live tag: the runtime's value with good quality and a fresh time.
    OPCITEMSTATE* states = nullptr;
    ASSERT_EQ(S_OK, io->Read(OPC_DS_DEVICE, 1, &level, &states, &errors));
    EXPECT_EQ(VT_R4, states[0].vDataValue.vt);
    EXPECT_EQ(0xC0, states[0].wQuality);
    EXPECT_NE(0u, states[0].ftTimeStamp.dwHighDateTime);
    EXPECT_EQ(100u, states[0].hClient);
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);
    EXPECT_EQ(E_INVALIDARG, io->Read(static_cast<OPCDATASOURCE>(3), 1, &level, &states, &errors));

    // A scaled write arrives raw in device memory: 50 % of 0..100 over 0..1000 is 500.
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_R8;
    value.dblVal = 50.0;
    ASSERT_EQ(S_OK, io->Write(1, &setpoint, &value, &errors));
    EXPECT_EQ(S_OK, errors[0]);
    CoTaskMemFree(errors);
    const DWORD pid = devlane_control::FindProcess(L"tagbridge.exe");
    ASSERT_NE(0u, pid);
    devlane_control::Client runtime(pid);
    EXPECT_EQ("500", runtime.Get("Line1.PLC1", "D200", "int16", 1));

    // The write-only set point cannot be read; the call reports the item's failure.
    ASSERT_EQ(S_FALSE, io->Read(OPC_DS_DEVICE, 1, &setpoint, &states, &errors));
    EXPECT_EQ(OPC_E_BADRIGHTS, errors[0]);
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    // An inactive item read from the cache keeps its value but reports out of service.
    ASSERT_EQ(S_OK, items->SetActiveState(1, &level, FALSE, &errors));
    CoTaskMemFree(errors);
    ASSERT_EQ(S_OK, io->Read(OPC_DS_CACHE, 1, &level, &states, &errors));
    EXPECT_EQ(0x1C, states[0].wQuality);
    EXPECT_EQ(VT_R4, states[0].vDataValue.vt);
    VariantClear(&states[0].vDataValue);
    CoTaskMemFree(states);
    CoTaskMemFree(errors);

    items.Reset();
    io.Reset();
    group.Reset();
}
