#include "OpcCommon.h"
#include "OpcConnectionPoint.h"
#include "OpcHandle.h"

#include "ShutdownSink.h"

#include <opcerror.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <thread>

namespace
{
// An object as the server builds them: IOPCCommon plus a connection point for IOPCShutdown.
class TestObject : public COpcCommon, public COpcConnectionPointContainer
{
public:
    TestObject() { AddConnectionPoint(IID_IOPCShutdown); }

    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (iid == IID_IUnknown || iid == IID_IOPCCommon)
            *object = static_cast<IOPCCommon*>(this);
        else if (iid == IID_IConnectionPointContainer)
            *object = static_cast<IConnectionPointContainer*>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return InterlockedIncrement(&refs); }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG n = InterlockedDecrement(&refs);
        if (n == 0)
            delete this;
        return n;
    }
    HRESULT LookupErrorString(HRESULT error, LCID locale, LPWSTR* text) override
    {
        return OpcLookupErrorString(L"opcproxy", error, locale, text);
    }
    void OnAdvise(REFIID, DWORD cookie) override { advised = cookie; }
    void OnUnadvise(REFIID, DWORD cookie) override { unadvised = cookie; }

    volatile LONG refs = 1;
    DWORD advised = 0;
    DWORD unadvised = 0;
};

// A client whose QueryInterface hangs until the test lets it go.
class HangingSink : public ShutdownSink
{
public:
    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        SetEvent(entered.Get());
        WaitForSingleObject(release.Get(), INFINITE);
        return ShutdownSink::QueryInterface(iid, object);
    }
    COpcHandle entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
    COpcHandle release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
};

std::wstring ErrorText(TestObject& object, HRESULT code)
{
    LPWSTR text = nullptr;
    HRESULT hr = object.GetErrorString(code, &text);
    std::wstring result = SUCCEEDED(hr) && text ? text : L"<failed>";
    CoTaskMemFree(text);
    return result;
}
} // namespace

TEST(OpcCommon, LocalesAreTheListedOnesOnly)
{
    TestObject object;
    LCID lcid = 0;
    EXPECT_EQ(S_OK, object.GetLocaleID(&lcid));
    EXPECT_EQ(static_cast<LCID>(LOCALE_SYSTEM_DEFAULT), lcid);
    EXPECT_EQ(E_INVALIDARG, object.SetLocaleID(1031));
    EXPECT_EQ(S_OK, object.GetLocaleID(&lcid));
    EXPECT_EQ(static_cast<LCID>(LOCALE_SYSTEM_DEFAULT), lcid);
    for (LCID ok : {0x411u, 0u, 9u, 127u, 1024u, 1033u, 2048u})
        EXPECT_EQ(S_OK, object.SetLocaleID(ok)) << ok;
    EXPECT_EQ(S_OK, object.SetLocaleID(0x411));
    object.GetLocaleID(&lcid);
    EXPECT_EQ(1041u, lcid);
    EXPECT_EQ(E_INVALIDARG, object.GetLocaleID(nullptr));

    DWORD count = 0;
    LCID* ids = nullptr;
    EXPECT_EQ(E_INVALIDARG, object.QueryAvailableLocaleIDs(nullptr, &ids));
    ASSERT_EQ(S_OK, object.QueryAvailableLocaleIDs(&count, &ids));
    ASSERT_EQ(5u, count);
    const LCID expected[] = {1033, 9, 0, 127, 1041};
    for (DWORD i = 0; i < count; ++i)
        EXPECT_EQ(expected[i], ids[i]);
    CoTaskMemFree(ids);
    EXPECT_EQ(S_OK, object.SetClientName(L"probe"));
    EXPECT_TRUE(object.ClientName().Equals(L"probe"));
}

TEST(OpcCommon, ErrorTextsComeFromTheProxyTableThenTheSystemWithFallbacks)
{
    TestObject object;
    // Not loaded: the OPC codes have no text of their own.
    if (GetModuleHandleW(L"opcproxy") == nullptr)
    {
        object.SetLocaleID(1033);
        LPWSTR text = nullptr;
        EXPECT_EQ(E_INVALIDARG, object.GetErrorString(OPC_E_UNKNOWNITEMID, &text));
        EXPECT_EQ(nullptr, text);
    }
    ASSERT_NE(nullptr, LoadLibraryW(L"opcproxy.dll"));
    object.SetLocaleID(1033);
    std::wstring english = ErrorText(object, OPC_E_UNKNOWNITEMID);
    EXPECT_NE(L"<failed>", english);
    EXPECT_NE(L'\n', english.back());
    object.SetLocaleID(1041);
    std::wstring japanese = ErrorText(object, OPC_E_UNKNOWNITEMID);
    EXPECT_NE(english, japanese);
    EXPECT_NE(std::wstring::npos, japanese.find_first_of(L"\x30a2\x30a4\x30c6\x30e0\x9805\x76ee"));

    // A system code: its text without the trailing line break, also via the 1033 fallback.
    object.SetLocaleID(1033);
    std::wstring system = ErrorText(object, E_OUTOFMEMORY);
    ASSERT_NE(L"<failed>", system);
    EXPECT_NE(L'\n', system.back());
    object.SetLocaleID(1041);
    EXPECT_NE(L"<failed>", ErrorText(object, E_OUTOFMEMORY));

    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(E_INVALIDARG, object.GetErrorString(static_cast<HRESULT>(0xC0DEC0DE), &text));
    EXPECT_EQ(nullptr, text);
    EXPECT_EQ(E_INVALIDARG, object.GetErrorString(E_FAIL, nullptr));
}

TEST(ConnectionPoints, OneSinkPerPointWithCookieAndHooks)
{
    auto* object = new TestObject;
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, object->FindConnectionPoint(IID_IOPCCommon, &point));
    EXPECT_EQ(E_POINTER, object->FindConnectionPoint(IID_IOPCShutdown, nullptr));
    ASSERT_EQ(S_OK, object->FindConnectionPoint(IID_IOPCShutdown, &point));
    EXPECT_EQ(2, object->refs); // the point holds its container

    ShutdownSink sink;
    DWORD cookie = 0;
    EXPECT_EQ(E_POINTER, point->Advise(nullptr, &cookie));
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
    EXPECT_NE(0u, cookie);
    EXPECT_EQ(cookie, object->advised);
    EXPECT_TRUE(object->IsConnected(IID_IOPCShutdown));
    DWORD second = 0;
    EXPECT_EQ(CONNECT_E_ADVISELIMIT, point->Advise(&sink, &second));

    IEnumConnections* connections = nullptr;
    ASSERT_EQ(S_OK, point->EnumConnections(&connections));
    CONNECTDATA data[2] = {};
    ULONG fetched = 0;
    EXPECT_EQ(E_INVALIDARG, connections->Next(1, data, nullptr));
    EXPECT_EQ(S_FALSE, connections->Next(2, data, &fetched));
    EXPECT_EQ(1u, fetched);
    EXPECT_EQ(cookie, data[0].dwCookie);
    data[0].pUnk->Release();
    connections->Release();

    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie + 1));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(cookie, object->unadvised);
    EXPECT_EQ(1, sink.References());
    EXPECT_FALSE(object->IsConnected(IID_IOPCShutdown));

    IConnectionPointContainer* container = nullptr;
    ASSERT_EQ(S_OK, point->GetConnectionPointContainer(&container));
    EXPECT_EQ(static_cast<IConnectionPointContainer*>(object), container);
    container->Release();
    IID iid = {};
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&iid));
    EXPECT_EQ(IID_IOPCShutdown, iid);
    point->Release();
    object->Release();
}

TEST(ConnectionPoints, EnumeratorHandsOutReferencesAndSinksMustHaveTheInterface)
{
    auto* object = new TestObject;
    object->AddConnectionPoint(IID_IOPCCommon);
    IEnumConnectionPoints* points = nullptr;
    ASSERT_EQ(S_OK, object->EnumConnectionPoints(&points));
    IConnectionPoint* got[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(3, got, &fetched));
    ASSERT_EQ(2u, fetched);
    IID iid = {};
    got[1]->GetConnectionInterface(&iid);
    EXPECT_EQ(IID_IOPCCommon, iid);
    EXPECT_EQ(S_OK, points->Reset());
    EXPECT_EQ(S_FALSE, points->Skip(3));

    // A sink without the outgoing interface is refused with the sink's own answer.
    ShutdownSink sink;
    DWORD cookie = 0;
    EXPECT_EQ(E_NOINTERFACE, got[1]->Advise(&sink, &cookie));
    got[0]->Release();
    got[1]->Release();
    points->Release();

    object->RemoveConnectionPoint(IID_IOPCCommon);
    IConnectionPoint* removed = nullptr;
    EXPECT_EQ(CONNECT_E_NOCONNECTION, object->FindConnectionPoint(IID_IOPCCommon, &removed));
    void* unknown = nullptr;
    EXPECT_EQ(E_FAIL, object->QueryConnectionPoint(IID_IOPCCommon, IID_IConnectionPoint, &unknown));
    EXPECT_EQ(1, object->refs);
    object->Release();
}

TEST(ConnectionPoints, AdviseAsksTheSinkWithoutHoldingThePoint)
{
    // What another thread does to the point while a sink's QueryInterface
    // hangs, and what the hung Advise then answers.
    ShutdownSink other;
    const struct
    {
        const char* name;
        std::function<void(TestObject&, IConnectionPoint&)> meanwhile;
        HRESULT advised;
    } cases[] = {
        {"retired", [](TestObject& object, IConnectionPoint&) { object.RemoveConnectionPoint(IID_IOPCShutdown); },
         E_FAIL},
        {"taken",
         [&other](TestObject&, IConnectionPoint& point)
         {
             DWORD c;
             point.Advise(&other, &c);
         },
         CONNECT_E_ADVISELIMIT},
    };
    for (const auto& c : cases)
    {
        auto* object = new TestObject;
        IConnectionPoint* point = nullptr;
        ASSERT_EQ(S_OK, object->FindConnectionPoint(IID_IOPCShutdown, &point));
        HangingSink sink;
        DWORD cookie = 0;
        HRESULT advised = S_OK;
        std::thread client([&] { advised = point->Advise(&sink, &cookie); });
        ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(sink.entered.Get(), 10000)) << c.name;
        COpcHandle done(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        std::thread second(
            [&]
            {
                c.meanwhile(*object, *point);
                SetEvent(done.Get());
            });
        const DWORD waited = WaitForSingleObject(done.Get(), 10000);
        SetEvent(sink.release.Get());
        client.join();
        second.join();
        EXPECT_EQ(WAIT_OBJECT_0, waited) << c.name;
        EXPECT_EQ(c.advised, advised) << c.name;
        EXPECT_EQ(0u, cookie) << c.name;
        EXPECT_EQ(1, sink.References()) << c.name; // the refused sink was let go
        point->Release();
        object->Release();
    }
    EXPECT_EQ(1, other.References());
}
