// A client for the tests to kill: it connects to the server, subscribes to the
// subscription tags, keeps asynchronous reads, writes and refreshes queued
// behind a data callback that never returns, signals the named event once it
// holds all that, and goes on queueing until it is killed.
//
//   robust_client.exe EVENTNAME
#include "OpcApartment.h"
#include "OpcHandle.h"
#include "OpcHostIdentity.h"
#include "OpcTaskMem.h"

#include <olectl.h>
#include <opcda.h>

#include <atomic>

namespace
{
// Every call blocks: the server's deliveries to this client stay under way.
class StuckSink final : public IOPCDataCallback
{
public:
    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, IID_IOPCDataCallback))
            return E_NOINTERFACE;
        *object = static_cast<IOPCDataCallback*>(this);
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return 2; }
    STDMETHOD_(ULONG, Release)() override { return 1; }
    STDMETHOD(OnDataChange)
    (DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*, HRESULT*) override
    {
        return Stuck();
    }
    STDMETHOD(OnReadComplete)
    (DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*, FILETIME*, HRESULT*) override
    {
        return Stuck();
    }
    STDMETHOD(OnWriteComplete)(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override { return Stuck(); }
    STDMETHOD(OnCancelComplete)(DWORD, OPCHANDLE) override { return Stuck(); }

private:
    static HRESULT Stuck()
    {
        Sleep(INFINITE);
        return S_OK;
    }
};

StuckSink g_sink;
} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc != 2)
        return 2;
    COpcApartment com;
    COpcHandle ready(OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[1]));
    COpcComPtr<IOPCServer> server;
    if (!ready || FAILED(CoCreateInstance(opc_host::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer,
                                          reinterpret_cast<void**>(server.Receive()))))
        return 1;
    COpcComPtr<IUnknown> group;
    OPCHANDLE groupHandle = 0;
    DWORD revised = 0;
    if (FAILED(server->AddGroup(L"", TRUE, 100, 1, nullptr, nullptr, 1033, &groupHandle, &revised, IID_IUnknown,
                                group.Receive())))
        return 1;
    OPCITEMDEF defs[3] = {};
    const wchar_t* ids[3] = {L"Line1.PLC1.Level", L"Line1.PLC1.Ramp", L"Line1.PLC1.Count"};
    for (int i = 0; i < 3; ++i)
    {
        defs[i].szItemID = const_cast<LPWSTR>(ids[i]);
        defs[i].szAccessPath = const_cast<LPWSTR>(L"");
        defs[i].bActive = TRUE;
        defs[i].hClient = static_cast<OPCHANDLE>(i + 1);
    }
    auto items = COpcComPtr<IOPCItemMgt>::QueryFrom(group.Get(), IID_IOPCItemMgt);
    COpcTaskMem<OPCITEMRESULT> results;
    COpcTaskMem<HRESULT> errors;
    if (!items || items->AddItems(3, defs, results.Receive(), errors.Receive()) != S_OK)
        return 1;
    // Level and Ramp only: the tests count the server's own polls of Count.
    OPCHANDLE handles[2] = {results.Get()[0].hServer, results.Get()[1].hServer};
    auto container = COpcComPtr<IConnectionPointContainer>::QueryFrom(group.Get(), IID_IConnectionPointContainer);
    COpcComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    if (!container || FAILED(container->FindConnectionPoint(IID_IOPCDataCallback, point.Receive())) ||
        FAILED(point->Advise(&g_sink, &cookie)))
        return 1;
    auto async = COpcComPtr<IOPCAsyncIO3>::QueryFrom(group.Get(), IID_IOPCAsyncIO3);
    if (!async)
        return 1;
    VARIANT value;
    VariantInit(&value);
    value.vt = VT_I4;
    value.lVal = 7;
    for (DWORD round = 1;; ++round)
    {
        DWORD cancel = 0;
        COpcTaskMem<HRESULT> e1, e2;
        async->Read(2, handles, round, &cancel, e1.Receive());
        async->Write(1, handles, &value, round, &cancel, e2.Receive());
        async->Refresh2(OPC_DS_CACHE, round, &cancel);
        if (round == 5)
            SetEvent(ready.Get());
        Sleep(20);
    }
}
