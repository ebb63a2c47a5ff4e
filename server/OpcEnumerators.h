// IEnumString and IEnumUnknown over snapshots: strings are copied, interface
// pointers held with a reference, so the enumerator outlives what it lists.
#pragma once

#include "OpcComObject.h"
#include "OpcContainers.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include <objidl.h>

#include <new>

// What differs between the element kinds: how an element is stored, handed
// out to a client and taken back when a later one cannot be handed out.
struct COpcStringElements
{
    typedef COpcString Stored;
    typedef LPOLESTR Out;
    static bool Hand(const Stored& item, Out& out)
    {
        // Empty texts are still handed out as "" so the client never gets null.
        out = DuplicateText(item.TextOrEmpty());
        return out != nullptr;
    }
    static void Unhand(Out& out) { CoTaskMemFree(out), out = nullptr; }
};

struct COpcUnknownElements
{
    typedef COpcComPtr<IUnknown> Stored;
    typedef IUnknown* Out;
    static bool Hand(const Stored& item, Out& out)
    {
        out = Stored(item).Detach();
        return true;
    }
    static void Unhand(Out& out) { Stored handedOut(std::exchange(out, nullptr)); }
};

template <class Interface, const IID* InterfaceId, class Elements>
class COpcEnumerator : public COpcComObject<COpcEnumerator<Interface, InterfaceId, Elements>, Interface>
{
public:
    typedef typename Elements::Stored Stored;
    typedef typename Elements::Out Out;
    static const SOpcInterfaceEntry<COpcEnumerator> Interfaces[];

    COpcEnumerator() = default;

    // Grows by doubling: enumerators are filled with whole address spaces.
    bool Add(const Stored& item)
    {
        if (m_count == m_items.GetSize())
        {
            UINT size = m_items.GetSize();
            UINT grown = size < 16 ? 16 : (size > UINT_MAX / 2 ? UINT_MAX : size * 2);
            if (grown == size || !m_items.SetSize(grown))
                return false;
        }
        m_items[m_count] = item;
        ++m_count;
        return true;
    }

    // The fetched pointer may be null only when one element is asked for.
    STDMETHOD(Next)(ULONG celt, Out* rgelt, ULONG* pceltFetched) override
    {
        if (pceltFetched != nullptr)
            *pceltFetched = 0;
        if (rgelt == nullptr || (pceltFetched == nullptr && celt != 1))
            return E_INVALIDARG;
        COpcLockGuard guard(m_lock);
        ULONG fetched = 0;
        while (fetched < celt && m_position < m_count)
        {
            if (!Elements::Hand(m_items[m_position], rgelt[fetched]))
            {
                while (fetched > 0)
                    Elements::Unhand(rgelt[--fetched]);
                return E_OUTOFMEMORY;
            }
            ++fetched;
            ++m_position;
        }
        if (pceltFetched != nullptr)
            *pceltFetched = fetched;
        return fetched == celt ? S_OK : S_FALSE;
    }

    STDMETHOD(Skip)(ULONG celt) override
    {
        COpcLockGuard guard(m_lock);
        ULONG left = m_count - m_position;
        if (celt > left)
        {
            m_position = m_count;
            return S_FALSE;
        }
        m_position += celt;
        return S_OK;
    }

    STDMETHOD(Reset)() override
    {
        COpcLockGuard guard(m_lock);
        m_position = 0;
        return S_OK;
    }

    STDMETHOD(Clone)(Interface** ppenum) override
    {
        if (ppenum == nullptr)
            return E_POINTER;
        *ppenum = nullptr;
        COpcComPtr<COpcEnumerator> copy(new (std::nothrow) COpcEnumerator());
        if (!copy)
            return E_OUTOFMEMORY;
        COpcLockGuard guard(m_lock);
        for (UINT i = 0; i < m_count; ++i)
        {
            if (!copy->Add(m_items[i]))
                return E_OUTOFMEMORY;
        }
        copy->m_position = m_position;
        *ppenum = copy.Detach();
        return S_OK;
    }

private:
    COpcLock m_lock;
    COpcArray<Stored> m_items; // capacity; the first m_count are in use
    UINT m_count = 0;
    ULONG m_position = 0;
};

template <class Interface, const IID* InterfaceId, class Elements>
const SOpcInterfaceEntry<COpcEnumerator<Interface, InterfaceId, Elements>> COpcEnumerator<Interface, InterfaceId,
                                                                                          Elements>::Interfaces[] = {
    OpcInterface<COpcEnumerator, Interface>(IID_IUnknown), OpcInterface<COpcEnumerator, Interface>(*InterfaceId), {}};

typedef COpcEnumerator<IEnumString, &IID_IEnumString, COpcStringElements> COpcEnumString;
typedef COpcEnumerator<IEnumUnknown, &IID_IEnumUnknown, COpcUnknownElements> COpcEnumUnknown;
