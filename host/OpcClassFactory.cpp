#include "OpcClassFactory.h"

#include "OpcTaskMem.h"

#include <new>

namespace
{
volatile LONG g_liveFactories = 0;
} // namespace

COpcClassFactory* COpcClassFactory::Create(const OpcClassEntry* entry)
{
    return new (std::nothrow) COpcClassFactory(entry);
}

COpcClassFactory::COpcClassFactory(const OpcClassEntry* entry) : m_entry(entry)
{
    InterlockedIncrement(&g_liveFactories);
}

COpcClassFactory::~COpcClassFactory()
{
    InterlockedDecrement(&g_liveFactories);
}

LONG COpcClassFactory::LiveCount()
{
    return g_liveFactories;
}

STDMETHODIMP COpcClassFactory::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (!InlineIsEqualGUID(iid, IID_IClassFactory) && !InlineIsEqualGUID(iid, IID_IUnknown))
        return E_NOINTERFACE;
    AddRef();
    *object = static_cast<IClassFactory*>(this);
    return S_OK;
}

STDMETHODIMP_(ULONG) COpcClassFactory::AddRef()
{
    COpcLockGuard guard(m_lock);
    return static_cast<ULONG>(++m_refCount);
}

STDMETHODIMP_(ULONG) COpcClassFactory::Release()
{
    LONG refs = 0;
    bool last = false;
    {
        COpcLockGuard guard(m_lock);
        // An extra Release must not drive the count below zero and delete twice.
        if (m_refCount > 0)
            --m_refCount;
        refs = m_refCount;
        last = m_refCount == 0 && m_lockCount == 0;
    }
    if (last)
        delete this;
    return static_cast<ULONG>(refs);
}

STDMETHODIMP COpcClassFactory::LockServer(BOOL lock)
{
    bool last = false;
    {
        COpcLockGuard guard(m_lock);
        if (lock)
        {
            ++m_lockCount;
        }
        else
        {
            // An unlock without a lock is ignored: a negative count would keep
            // the factory from ever being freed.
            if (m_lockCount == 0)
                return S_OK;
            --m_lockCount;
            last = m_lockCount == 0 && m_refCount == 0;
        }
    }
    if (last)
        delete this;
    return S_OK;
}

STDMETHODIMP COpcClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (outer != nullptr)
        return CLASS_E_NOAGGREGATION;
    if (m_entry == nullptr || m_entry->create == nullptr)
        return E_UNEXPECTED;

    COpcComPtr<IUnknown> created;
    HRESULT hr = m_entry->create(m_entry->clsid, created.Receive());
    if (FAILED(hr))
        return hr;
    if (!created)
        return E_UNEXPECTED;
    // The creation reference goes with `created`; the caller keeps the queried one.
    return created->QueryInterface(iid, object);
}
