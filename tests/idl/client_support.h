// Client side of the round-trip tests: connection to the test server and a
// deep comparison of VARIANTs (scalars, BSTRs, and one-dimensional arrays).
#pragma once

#include <gtest/gtest.h>

#include "testserver_protocol.h"

#include <string>
#include <vector>

inline bool operator==(const FILETIME& a, const FILETIME& b)
{
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

inline std::wstring Str(LPCWSTR text)
{
    return text ? text : L"(null)";
}

inline ::testing::AssertionResult SameVariant(const VARIANT& a, const VARIANT& b);

inline ::testing::AssertionResult SameArray(SAFEARRAY* a, SAFEARRAY* b, VARTYPE type)
{
    if (!a || !b)
        return a == b ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "null array";
    if (SafeArrayGetDim(a) != 1 || SafeArrayGetDim(b) != 1)
        return ::testing::AssertionFailure() << "not 1-D";
    LONG la = 0, ua = -1, lb = 0, ub = -1;
    SafeArrayGetLBound(a, 1, &la);
    SafeArrayGetUBound(a, 1, &ua);
    SafeArrayGetLBound(b, 1, &lb);
    SafeArrayGetUBound(b, 1, &ub);
    if (la != lb || ua != ub)
        return ::testing::AssertionFailure() << "bounds [" << la << "," << ua << "] vs [" << lb << "," << ub << "]";
    for (LONG i = la; i <= ua; ++i)
    {
        Variant ea, eb;
        V_VT(ea.get()) = V_VT(eb.get()) = type;
        void* pa = type == VT_VARIANT ? static_cast<void*>(ea.get()) : static_cast<void*>(&V_I1(ea.get()));
        void* pb = type == VT_VARIANT ? static_cast<void*>(eb.get()) : static_cast<void*>(&V_I1(eb.get()));
        if (type == VT_VARIANT)
            V_VT(ea.get()) = V_VT(eb.get()) = VT_EMPTY;
        if (FAILED(SafeArrayGetElement(a, &i, pa)) || FAILED(SafeArrayGetElement(b, &i, pb)))
            return ::testing::AssertionFailure() << "element " << i << " unreadable";
        auto same = SameVariant(*ea.get(), *eb.get());
        if (!same)
            return ::testing::AssertionFailure() << "element " << i << ": " << same.message();
    }
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult SameVariant(const VARIANT& a, const VARIANT& b)
{
    const VARTYPE type = V_VT(&a);
    if (type != V_VT(&b))
        return ::testing::AssertionFailure() << "type " << type << " vs " << V_VT(&b);
    if (type & VT_ARRAY)
    {
        VARTYPE element = 0;
        SafeArrayGetVartype(V_ARRAY(&a), &element);
        if (element != (type & VT_TYPEMASK))
            return ::testing::AssertionFailure() << "array element type";
        return SameArray(V_ARRAY(&a), V_ARRAY(&b), static_cast<VARTYPE>(type & VT_TYPEMASK));
    }
    bool same = false;
    switch (type)
    {
    case VT_EMPTY:
    case VT_NULL: same = true; break;
    case VT_I1:
    case VT_UI1: same = V_UI1(&a) == V_UI1(&b); break;
    case VT_I2:
    case VT_UI2:
    case VT_BOOL: same = V_I2(&a) == V_I2(&b); break;
    case VT_I4:
    case VT_UI4:
    case VT_INT:
    case VT_UINT:
    case VT_ERROR: same = V_I4(&a) == V_I4(&b); break;
    case VT_R4: same = V_R4(&a) == V_R4(&b); break;
    case VT_R8:
    case VT_DATE: same = V_R8(&a) == V_R8(&b); break;
    case VT_I8:
    case VT_UI8:
    case VT_CY: same = V_I8(&a) == V_I8(&b); break;
    case VT_BSTR:
    {
        const UINT la = SysStringLen(V_BSTR(&a)), lb = SysStringLen(V_BSTR(&b));
        same = la == lb && (la == 0 || std::wmemcmp(V_BSTR(&a), V_BSTR(&b), la) == 0);
        break;
    }
    default: return ::testing::AssertionFailure() << "type " << type << " not compared";
    }
    return same ? ::testing::AssertionSuccess() : ::testing::AssertionFailure() << "values differ, type " << type;
}

// One COM apartment and one test server object per test.
class TestServerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_HRESULT_SUCCEEDED(apartment_.Result());
        ASSERT_HRESULT_SUCCEEDED(
            CoCreateInstance(CLSID_OpcIdlTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server_.put_void()));
    }

    template <class I>
    ComPtr<I> Server(REFIID iid)
    {
        ComPtr<I> p;
        EXPECT_HRESULT_SUCCEEDED(server_.As(iid, p));
        return p;
    }

    // A group with count items whose server handles go to handles (in order).
    ComPtr<IOPCItemMgt> AddGroupWithItems(DWORD count, OPCHANDLE* handles)
    {
        ComPtr<IOPCItemMgt> items;
        OPCHANDLE group = 0;
        DWORD rate = 0;
        EXPECT_HRESULT_SUCCEEDED(server_->AddGroup(L"", TRUE, 100, 500, nullptr, nullptr, 1033, &group, &rate,
                                                   IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(items.put())));
        if (!items)
            return items;
        std::vector<std::wstring> ids;
        std::vector<OPCITEMDEF> defs(count);
        for (DWORD i = 0; i < count; ++i)
            ids.push_back(L"item." + std::to_wstring(i));
        for (DWORD i = 0; i < count; ++i)
        {
            defs[i].szItemID = &ids[i][0];
            defs[i].bActive = TRUE;
            defs[i].hClient = 7000 + i;
        }
        TaskArray<OPCITEMRESULT> results(count);
        TaskArray<HRESULT> errors(count);
        EXPECT_EQ(items->AddItems(count, defs.data(), results.put(), errors.put()), S_OK);
        for (DWORD i = 0; results.get() && i < count; ++i)
            handles[i] = results[i].hServer;
        return items;
    }

    COpcApartment apartment_;
    ComPtr<IOPCServer> server_;
};
