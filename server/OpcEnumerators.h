// IEnumString and IEnumUnknown over snapshots: strings are copied, interface
// pointers held with a reference, so the enumerator outlives what it lists.
#pragma once

#include "OpcContainers.h"
#include "OpcLock.h"
#include "OpcString.h"

#include <objidl.h>

class COpcEnumString : public IEnumString
{
public:
    COpcEnumString() = default;
    virtual ~COpcEnumString() = default;
    bool Add(const COpcString& text) { return m_items.Append(text); }

    STDMETHOD(QueryInterface)(REFIID iid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(Next)(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched) override;
    STDMETHOD(Skip)(ULONG celt) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumString** ppenum) override;

private:
    volatile LONG m_refs = 1;
    COpcLock m_lock;
    COpcArray<COpcString> m_items;
    ULONG m_position = 0;
};

class COpcEnumUnknown : public IEnumUnknown
{
public:
    COpcEnumUnknown() = default;
    virtual ~COpcEnumUnknown();
    // Takes a reference of its own.
    bool Add(IUnknown* item);

    STDMETHOD(QueryInterface)(REFIID iid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;
    STDMETHOD(Next)(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched) override;
    STDMETHOD(Skip)(ULONG celt) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumUnknown** ppenum) override;

private:
    volatile LONG m_refs = 1;
    COpcLock m_lock;
    COpcArray<IUnknown*> m_items;
    ULONG m_position = 0;
};
