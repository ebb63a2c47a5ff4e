// The class factory: its own lifetime with LockServer, and CreateInstance's
// hand-over of the created object.
#include "OpcClassFactory.h"
#include "OpcTaskMem.h"

#include <gtest/gtest.h>

namespace
{
// A plain COM object standing in for the server object.
class FakeServer final : public IClassFactory // any interface other than IUnknown will do
{
public:
    static LONG live;
    FakeServer() { ++live; }
    ~FakeServer() { --live; }
    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown))
            return E_NOINTERFACE;
        AddRef();
        *object = static_cast<IUnknown*>(this);
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }
    STDMETHOD(CreateInstance)(IUnknown*, REFIID, void**) override { return E_NOTIMPL; }
    STDMETHOD(LockServer)(BOOL) override { return E_NOTIMPL; }

private:
    LONG m_refs = 1;
};
LONG FakeServer::live = 0;

const CLSID* g_createdFor = nullptr;
HRESULT g_createResult = S_OK;

HRESULT CreateFake(const CLSID* clsid, IUnknown** object)
{
    g_createdFor = clsid;
    *object = nullptr;
    if (FAILED(g_createResult))
        return g_createResult;
    *object = static_cast<IUnknown*>(new FakeServer());
    return S_OK;
}

// {5B0E7A12-3C6D-4F8E-A1B2-C3D4E5F60718}
const CLSID kFakeClsid = {0x5b0e7a12, 0x3c6d, 0x4f8e, {0xa1, 0xb2, 0xc3, 0xd4, 0xe5, 0xf6, 0x07, 0x18}};
const OpcClassEntry kEntry = {&kFakeClsid, L"Fake", L"1", L"Fake server", CreateFake};

class ClassFactoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_createdFor = nullptr;
        g_createResult = S_OK;
        m_before = COpcClassFactory::LiveCount();
    }
    void TearDown() override
    {
        EXPECT_EQ(m_before, COpcClassFactory::LiveCount()) << "a factory was leaked";
        EXPECT_EQ(0, FakeServer::live) << "a created object was leaked";
    }
    LONG m_before = 0;
};

TEST_F(ClassFactoryTest, LockServerKeepsTheFactoryAliveAfterItsLastRelease)
{
    COpcClassFactory* factory = COpcClassFactory::Create(&kEntry);
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(0u, factory->Release());
    EXPECT_EQ(m_before + 1, COpcClassFactory::LiveCount()) << "freed while locked";

    // Still usable while only the lock holds it.
    COpcComPtr<IUnknown> object;
    EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(object.Receive())));
    object.Reset();

    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(m_before, COpcClassFactory::LiveCount());
}

TEST_F(ClassFactoryTest, UnbalancedUnlockDoesNotKeepTheFactoryForever)
{
    COpcClassFactory* factory = COpcClassFactory::Create(&kEntry);
    ASSERT_NE(nullptr, factory);
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    factory->Release();
    EXPECT_EQ(m_before, COpcClassFactory::LiveCount());
}

TEST_F(ClassFactoryTest, QueryInterfaceOffersOnlyTheFactoryInterfaces)
{
    COpcComPtr<IClassFactory> factory(COpcClassFactory::Create(&kEntry));
    ASSERT_TRUE(factory);
    COpcComPtr<IUnknown> unknown;
    EXPECT_EQ(S_OK, factory->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(unknown.Receive())));
    COpcComPtr<IClassFactory> again;
    EXPECT_EQ(S_OK, factory->QueryInterface(IID_IClassFactory, reinterpret_cast<void**>(again.Receive())));
    void* other = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, factory->QueryInterface(IID_IStream, &other));
    EXPECT_EQ(nullptr, other);
    EXPECT_EQ(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
}

TEST_F(ClassFactoryTest, CreateInstanceHandsOverOneReferenceAndDropsTheCreationOne)
{
    COpcComPtr<IClassFactory> factory(COpcClassFactory::Create(&kEntry));
    COpcComPtr<IUnknown> object;
    ASSERT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(object.Receive())));
    EXPECT_EQ(&kFakeClsid, g_createdFor);
    EXPECT_EQ(1, FakeServer::live);
    object.Reset();
    EXPECT_EQ(0, FakeServer::live);
}

TEST_F(ClassFactoryTest, CreateInstanceFailuresLeaveANullPointerAndNoObject)
{
    COpcComPtr<IClassFactory> factory(COpcClassFactory::Create(&kEntry));
    COpcComPtr<IUnknown> outer(static_cast<IUnknown*>(new FakeServer()));
    void* object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer.Get(), IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(nullptr, g_createdFor) << "aggregation is refused before anything is made";
    outer.Reset();

    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IStream, &object));
    EXPECT_EQ(nullptr, object);
    EXPECT_EQ(0, FakeServer::live) << "the object that lacks the interface must go again";

    g_createResult = CO_E_SERVER_STOPPING;
    object = reinterpret_cast<void*>(1);
    EXPECT_EQ(CO_E_SERVER_STOPPING, factory->CreateInstance(nullptr, IID_IUnknown, &object));
    EXPECT_EQ(nullptr, object);
}
} // namespace
