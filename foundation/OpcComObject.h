// The one IUnknown of the server's COM classes: an interlocked reference count
// that starts at one (the creator's reference), QueryInterface over the class's
// table of interfaces, and deletion at the last Release. What a class does at
// its end stays in its destructor, which the last Release runs.
//
//   class CThing : public COpcComObject<CThing, IFoo, IBar> { ... };
//   const SOpcInterfaceEntry<CThing> CThing::Interfaces[] = {
//       OpcInterface<CThing, IFoo>(IID_IUnknown), OpcInterface<CThing, IFoo>(IID_IFoo),
//       OpcInterface<CThing, IBar>(IID_IBar), {}};
#pragma once

#include <objbase.h>

// One row of a class's interface table: the IID asked for and the cast that
// gives the pointer answering it. The table ends with an empty row.
template <class Derived>
struct SOpcInterfaceEntry
{
    const IID* iid;
    void* (*cast)(Derived*);
};

template <class Derived, class Interface>
constexpr SOpcInterfaceEntry<Derived> OpcInterface(const IID& iid)
{
    return {&iid, [](Derived* object) -> void* { return static_cast<Interface*>(object); }};
}

// Derived declares `static const SOpcInterfaceEntry<Derived> Interfaces[];`.
// Bases are the interfaces, or classes implementing some of them.
template <class Derived, class... Bases>
class COpcComObject : public Bases...
{
public:
    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        for (const SOpcInterfaceEntry<Derived>* entry = Derived::Interfaces; entry->iid != nullptr; ++entry)
        {
            if (InlineIsEqualGUID(iid, *entry->iid))
            {
                *object = entry->cast(static_cast<Derived*>(this));
                AddRef();
                return S_OK;
            }
        }
        return E_NOINTERFACE;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(InterlockedIncrement(&m_refs)); }
    STDMETHOD_(ULONG, Release)() override
    {
        LONG refs = InterlockedDecrement(&m_refs);
        if (refs == 0)
            delete this;
        return static_cast<ULONG>(refs);
    }

    // A reference unless the count already reached zero: an object whose last
    // Release is under way is left to its end.
    bool TryAddRef()
    {
        for (LONG refs = m_refs; refs > 0; refs = m_refs)
        {
            if (InterlockedCompareExchange(&m_refs, refs + 1, refs) == refs)
                return true;
        }
        return false;
    }

protected:
    COpcComObject() = default;
    // The reference count as it stands; other threads may change it at once.
    LONG References() const { return m_refs; }
    // A Release that leaves the deletion to its caller when the count reaches zero.
    LONG DropReference() { return InterlockedDecrement(&m_refs); }
    virtual ~COpcComObject() = default;
    COpcComObject(const COpcComObject&) = delete;
    COpcComObject& operator=(const COpcComObject&) = delete;

private:
    volatile LONG m_refs = 1;
};
