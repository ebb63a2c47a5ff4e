// COpcClassFactory: the class object registered for one row of the class
// table. LockServer keeps the factory itself alive; it does not touch the
// module lock count, which only server objects hold.
#pragma once

#include "OpcLock.h"
#include "OpcServiceModule.h"

#include <objbase.h>
#include <unknwn.h>

class COpcClassFactory final : public IClassFactory
{
public:
    // A new factory for the row, with one reference; null when out of memory.
    static COpcClassFactory* Create(const OpcClassEntry* entry);

    STDMETHOD(QueryInterface)(REFIID iid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    STDMETHOD(CreateInstance)(IUnknown* outer, REFIID iid, void** object) override;
    STDMETHOD(LockServer)(BOOL lock) override;

    // Live factories of the process, for tests.
    static LONG LiveCount();

private:
    explicit COpcClassFactory(const OpcClassEntry* entry);
    ~COpcClassFactory();

    COpcLock m_lock;
    LONG m_refCount = 1;
    LONG m_lockCount = 0;
    const OpcClassEntry* m_entry;
};
