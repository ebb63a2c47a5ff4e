#include "OpcEnumerators.h"

#include <new>

namespace
{
// Next's shared rules: the fetched pointer may be null only for one element.
bool NextArgumentsValid(ULONG celt, const void* out, const ULONG* fetched)
{
    return out != nullptr && (fetched != nullptr || celt == 1);
}
} // namespace

STDMETHODIMP COpcEnumString::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IEnumString)
        return E_NOINTERFACE;
    *object = static_cast<IEnumString*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) COpcEnumString::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_refs));
}

STDMETHODIMP_(ULONG) COpcEnumString::Release()
{
    LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0)
        delete this;
    return static_cast<ULONG>(refs);
}

STDMETHODIMP COpcEnumString::Next(ULONG celt, LPOLESTR* rgelt, ULONG* pceltFetched)
{
    if (pceltFetched != nullptr)
        *pceltFetched = 0;
    if (!NextArgumentsValid(celt, rgelt, pceltFetched))
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    ULONG fetched = 0;
    while (fetched < celt && m_position < m_items.GetSize()) {
        // Empty texts are still handed out as "" so the client never gets null.
        LPOLESTR copy = DuplicateText(m_items[m_position].TextOrEmpty());
        if (copy == nullptr) {
            for (ULONG i = 0; i < fetched; ++i) {
                CoTaskMemFree(rgelt[i]);
                rgelt[i] = nullptr;
            }
            m_position -= fetched;
            return E_OUTOFMEMORY;
        }
        rgelt[fetched++] = copy;
        ++m_position;
    }
    if (pceltFetched != nullptr)
        *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP COpcEnumString::Skip(ULONG celt)
{
    COpcLockGuard guard(m_lock);
    ULONG left = m_items.GetSize() - m_position;
    if (celt > left) {
        m_position = m_items.GetSize();
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}

STDMETHODIMP COpcEnumString::Reset()
{
    COpcLockGuard guard(m_lock);
    m_position = 0;
    return S_OK;
}

STDMETHODIMP COpcEnumString::Clone(IEnumString** ppenum)
{
    if (ppenum == nullptr)
        return E_POINTER;
    *ppenum = nullptr;
    auto* copy = new (std::nothrow) COpcEnumString();
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    COpcLockGuard guard(m_lock);
    if (!copy->m_items.Copy(m_items)) {
        copy->Release();
        return E_OUTOFMEMORY;
    }
    copy->m_position = m_position;
    *ppenum = copy;
    return S_OK;
}

COpcEnumUnknown::~COpcEnumUnknown()
{
    for (UINT i = 0; i < m_items.GetSize(); ++i)
        m_items[i]->Release();
}

bool COpcEnumUnknown::Add(IUnknown* item)
{
    if (item == nullptr || !m_items.Append(item))
        return false;
    item->AddRef();
    return true;
}

STDMETHODIMP COpcEnumUnknown::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (iid != IID_IUnknown && iid != IID_IEnumUnknown)
        return E_NOINTERFACE;
    *object = static_cast<IEnumUnknown*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) COpcEnumUnknown::AddRef()
{
    return static_cast<ULONG>(InterlockedIncrement(&m_refs));
}

STDMETHODIMP_(ULONG) COpcEnumUnknown::Release()
{
    LONG refs = InterlockedDecrement(&m_refs);
    if (refs == 0)
        delete this;
    return static_cast<ULONG>(refs);
}

STDMETHODIMP COpcEnumUnknown::Next(ULONG celt, IUnknown** rgelt, ULONG* pceltFetched)
{
    if (pceltFetched != nullptr)
        *pceltFetched = 0;
    if (!NextArgumentsValid(celt, rgelt, pceltFetched))
        return E_INVALIDARG;
    COpcLockGuard guard(m_lock);
    ULONG fetched = 0;
    while (fetched < celt && m_position < m_items.GetSize()) {
        rgelt[fetched] = m_items[m_position++];
        rgelt[fetched++]->AddRef();
    }
    if (pceltFetched != nullptr)
        *pceltFetched = fetched;
    return fetched == celt ? S_OK : S_FALSE;
}

STDMETHODIMP COpcEnumUnknown::Skip(ULONG celt)
{
    COpcLockGuard guard(m_lock);
    ULONG left = m_items.GetSize() - m_position;
    if (celt > left) {
        m_position = m_items.GetSize();
        return S_FALSE;
    }
    m_position += celt;
    return S_OK;
}

STDMETHODIMP COpcEnumUnknown::Reset()
{
    COpcLockGuard guard(m_lock);
    m_position = 0;
    return S_OK;
}

STDMETHODIMP COpcEnumUnknown::Clone(IEnumUnknown** ppenum)
{
    if (ppenum == nullptr)
        return E_POINTER;
    *ppenum = nullptr;
    auto* copy = new (std::nothrow) COpcEnumUnknown();
    if (copy == nullptr)
        return E_OUTOFMEMORY;
    COpcLockGuard guard(m_lock);
    for (UINT i = 0; i < m_items.GetSize(); ++i) {
        if (!copy->Add(m_items[i])) {
            copy->Release();
            return E_OUTOFMEMORY;
        }
    }
    copy->m_position = m_position;
    *ppenum = copy;
    return S_OK;
}
