#include "OpcComObject.h"

#include <gtest/gtest.h>

#include <ocidl.h>

namespace
{
int destroyed = 0;

// Two interfaces, one of them answering for two IIDs, as the server's group
// answers IOPCSyncIO and IOPCSyncIO2 with one pointer.
class TwoFaced : public COpcComObject<TwoFaced, IEnumString, IEnumUnknown>
{
public:
    static const SOpcInterfaceEntry<TwoFaced> Interfaces[];
    ~TwoFaced() override { ++destroyed; }

    STDMETHOD(Next)(ULONG, LPOLESTR*, ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(Next)(ULONG, IUnknown**, ULONG*) override { return E_NOTIMPL; }
    STDMETHOD(Skip)(ULONG) override { return E_NOTIMPL; }
    STDMETHOD(Reset)() override { return E_NOTIMPL; }
    STDMETHOD(Clone)(IEnumString**) override { return E_NOTIMPL; }
    STDMETHOD(Clone)(IEnumUnknown**) override { return E_NOTIMPL; }
};

const SOpcInterfaceEntry<TwoFaced> TwoFaced::Interfaces[] = {OpcInterface<TwoFaced, IEnumString>(IID_IUnknown),
                                                             OpcInterface<TwoFaced, IEnumString>(IID_IEnumString),
                                                             OpcInterface<TwoFaced, IEnumUnknown>(IID_IEnumUnknown),
                                                             OpcInterface<TwoFaced, IEnumUnknown>(IID_IEnumVARIANT),
                                                             {}};

TEST(OpcComObject, QueryInterfaceAnswersFromTheTableAndTheLastReleaseDestroysOnce)
{
    destroyed = 0;
    auto* object = new TwoFaced();
    const struct
    {
        const IID* iid;
        HRESULT result;
        void* pointer;
    } cases[] = {
        {&IID_IUnknown, S_OK, static_cast<IEnumString*>(object)},
        {&IID_IEnumString, S_OK, static_cast<IEnumString*>(object)},
        {&IID_IEnumUnknown, S_OK, static_cast<IEnumUnknown*>(object)},
        {&IID_IEnumVARIANT, S_OK, static_cast<IEnumUnknown*>(object)},
        {&IID_IConnectionPoint, E_NOINTERFACE, nullptr},
    };
    ULONG held = 1;
    for (const auto& c : cases)
    {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(c.result, object->QueryInterface(*c.iid, &out));
        EXPECT_EQ(c.pointer, out);
        if (SUCCEEDED(c.result))
            ++held;
    }
    EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_TRUE(object->TryAddRef());
    ++held;
    while (held > 1)
    {
        EXPECT_EQ(held - 1, object->Release());
        --held;
    }
    EXPECT_EQ(0, destroyed);
    EXPECT_EQ(0u, object->Release());
    EXPECT_EQ(1, destroyed);
}
} // namespace
