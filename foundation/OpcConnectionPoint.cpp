#include "OpcConnectionPoint.h"

#include <new>

// ---- COpcConnectionPoint ----------------------------------------------------

COpcConnectionPoint::COpcConnectionPoint(REFIID iid, COpcConnectionPointContainer* container)
    : m_iid(iid), m_container(container)
{
}

STDMETHODIMP COpcConnectionPoint::QueryInterface(REFIID iid, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    if (iid == IID_IUnknown || iid == IID_IConnectionPoint)
        *object = static_cast<IConnectionPoint*>(this);
    else if (iid == IID_IEnumConnections)
        *object = static_cast<IEnumConnections*>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) COpcConnectionPoint::AddRef()
{
    return m_container->AddRef();
}

STDMETHODIMP_(ULONG) COpcConnectionPoint::Release()
{
    return m_container->Release();
}

STDMETHODIMP COpcConnectionPoint::GetConnectionInterface(IID* pIID)
{
    if (pIID == nullptr)
        return E_INVALIDARG;
    *pIID = m_iid;
    return S_OK;
}

STDMETHODIMP COpcConnectionPoint::GetConnectionPointContainer(IConnectionPointContainer** ppCPC)
{
    if (ppCPC == nullptr)
        return E_INVALIDARG;
    *ppCPC = nullptr;
    if (m_container == nullptr)
        return E_FAIL;
    return m_container->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(ppCPC));
}

STDMETHODIMP COpcConnectionPoint::Advise(IUnknown* pUnkSink, DWORD* pdwCookie)
{
    if (pUnkSink == nullptr || pdwCookie == nullptr)
        return E_POINTER;
    *pdwCookie = 0;
    // Asking the sink is a call into the client: a slow or hung one must not
    // hold the point's lock, which the shutdown notice needs. The checks come
    // after it; a sink refused there is released once the lock is dropped.
    COpcComPtr<IUnknown> sink;
    HRESULT hr = pUnkSink->QueryInterface(m_iid, reinterpret_cast<void**>(sink.Receive()));
    if (FAILED(hr))
        return hr;
    DWORD cookie = 0;
    {
        COpcLockGuard guard(m_lock);
        if (m_retired)
            return E_FAIL;
        if (m_sink)
            return CONNECT_E_ADVISELIMIT;
        // One sink per point, so its pointer value identifies the connection.
        cookie = static_cast<DWORD>(reinterpret_cast<ULONG_PTR>(sink.Get()));
        if (cookie == 0)
            cookie = 1;
        m_sink = std::move(sink);
        m_cookie = cookie;
    }
    *pdwCookie = cookie;
    m_container->OnAdvise(m_iid, cookie);
    return S_OK;
}

STDMETHODIMP COpcConnectionPoint::Unadvise(DWORD dwCookie)
{
    COpcComPtr<IUnknown> released;
    {
        COpcLockGuard guard(m_lock);
        if (!m_sink || dwCookie != m_cookie)
            return CONNECT_E_NOCONNECTION;
        released = std::move(m_sink);
        m_cookie = 0;
    }
    // The sink is released outside the lock: it may be a call into the client.
    released.Reset();
    m_container->OnUnadvise(m_iid, dwCookie);
    return S_OK;
}

STDMETHODIMP COpcConnectionPoint::EnumConnections(IEnumConnections** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    {
        COpcLockGuard guard(m_lock);
        m_enumPosition = 0;
    }
    *ppEnum = static_cast<IEnumConnections*>(this);
    AddRef();
    return S_OK;
}

STDMETHODIMP COpcConnectionPoint::Next(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched)
{
    if (pcFetched == nullptr)
        return E_INVALIDARG;
    *pcFetched = 0;
    if (rgcd == nullptr && cConnections > 0)
        return E_POINTER;
    COpcLockGuard guard(m_lock);
    if (cConnections > 0 && m_sink && m_enumPosition == 0)
    {
        rgcd[0].pUnk = m_sink.Get();
        rgcd[0].pUnk->AddRef();
        rgcd[0].dwCookie = m_cookie;
        m_enumPosition = 1;
        *pcFetched = 1;
    }
    return *pcFetched == cConnections ? S_OK : S_FALSE;
}

STDMETHODIMP COpcConnectionPoint::Skip(ULONG cConnections)
{
    COpcLockGuard guard(m_lock);
    ULONG available = (m_sink && m_enumPosition == 0) ? 1 : 0;
    if (cConnections > 0 && available > 0)
        m_enumPosition = 1;
    return cConnections <= available ? S_OK : S_FALSE;
}

STDMETHODIMP COpcConnectionPoint::Reset()
{
    COpcLockGuard guard(m_lock);
    m_enumPosition = 0;
    return S_OK;
}

STDMETHODIMP COpcConnectionPoint::Clone(IEnumConnections** ppEnum)
{
    if (ppEnum != nullptr)
        *ppEnum = nullptr;
    return E_NOTIMPL;
}

bool COpcConnectionPoint::IsConnected()
{
    COpcLockGuard guard(m_lock);
    return static_cast<bool>(m_sink);
}

IUnknown* COpcConnectionPoint::Sink()
{
    COpcLockGuard guard(m_lock);
    IUnknown* sink = m_sink.Get();
    if (sink != nullptr)
        sink->AddRef();
    return sink;
}

void COpcConnectionPoint::DropSink()
{
    COpcComPtr<IUnknown> dropped;
    {
        COpcLockGuard guard(m_lock);
        dropped = std::move(m_sink);
        m_cookie = 0;
    }
    // A dead client's proxy releases without calling it; a live one is told nothing more.
}

void COpcConnectionPoint::Retire()
{
    {
        COpcLockGuard guard(m_lock);
        m_retired = true;
    }
    DropSink();
}

// ---- COpcConnectionPointContainer ---------------------------------------------

COpcConnectionPointContainer::~COpcConnectionPointContainer()
{
    COpcLockGuard guard(m_pointsLock);
    m_points.RemoveAll();
    m_retired.RemoveAll();
}

COpcConnectionPoint* COpcConnectionPointContainer::Find(REFIID iid)
{
    for (const auto& point : m_points)
    {
        if (point->Interface() == iid)
            return point.get();
    }
    return nullptr;
}

HRESULT COpcConnectionPointContainer::AddConnectionPoint(REFIID iid)
{
    std::unique_ptr<COpcConnectionPoint> point(new (std::nothrow) COpcConnectionPoint(iid, this));
    if (!point)
        return E_OUTOFMEMORY;
    COpcLockGuard guard(m_pointsLock);
    return m_points.AddTail(std::move(point)) != nullptr ? S_OK : E_OUTOFMEMORY;
}

void COpcConnectionPointContainer::RemoveConnectionPoint(REFIID iid)
{
    COpcConnectionPoint* removed = nullptr;
    {
        COpcLockGuard guard(m_pointsLock);
        for (auto* node = m_points.GetHead(); node != nullptr; node = node->next)
        {
            if (node->value->Interface() != iid)
                continue;
            // A client may still hold the point (its references are ours), so it
            // stays allocated until the container goes; only its sink is dropped.
            // The retired slot comes first: without memory the point stays as it was.
            auto* retired = m_retired.AddTail(nullptr);
            if (retired != nullptr)
            {
                retired->value = std::move(node->value);
                removed = retired->value.get();
                m_points.RemoveAt(node);
            }
            break;
        }
    }
    if (removed != nullptr)
        removed->Retire();
}

STDMETHODIMP COpcConnectionPointContainer::FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP)
{
    if (ppCP == nullptr)
        return E_POINTER;
    *ppCP = nullptr;
    COpcLockGuard guard(m_pointsLock);
    COpcConnectionPoint* point = Find(riid);
    if (point == nullptr)
        return CONNECT_E_NOCONNECTION;
    return point->QueryInterface(IID_IConnectionPoint, reinterpret_cast<void**>(ppCP));
}

STDMETHODIMP COpcConnectionPointContainer::EnumConnectionPoints(IEnumConnectionPoints** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = nullptr;
    COpcLockGuard guard(m_pointsLock);
    COpcArray<IConnectionPoint*> points;
    if (!points.SetSize(static_cast<UINT>(m_points.GetCount())))
        return E_OUTOFMEMORY;
    UINT i = 0;
    for (const auto& point : m_points)
        points[i++] = point.get();
    COpcComPtr<COpcEnumConnectionPoints> enumerator(new (std::nothrow)
                                                        COpcEnumConnectionPoints(points.GetData(), points.GetSize()));
    if (!enumerator || !enumerator->IsValid())
        return E_OUTOFMEMORY;
    return enumerator->QueryInterface(IID_IEnumConnectionPoints, reinterpret_cast<void**>(ppEnum));
}

HRESULT COpcConnectionPointContainer::QueryConnectionPoint(REFIID iid, REFIID wanted, void** object)
{
    if (object == nullptr)
        return E_POINTER;
    *object = nullptr;
    COpcLockGuard guard(m_pointsLock);
    COpcConnectionPoint* point = Find(iid);
    if (point == nullptr)
        return E_FAIL;
    return point->QueryInterface(wanted, object);
}

bool COpcConnectionPointContainer::IsConnected(REFIID iid)
{
    COpcLockGuard guard(m_pointsLock);
    COpcConnectionPoint* point = Find(iid);
    return point != nullptr && point->IsConnected();
}

IUnknown* COpcConnectionPointContainer::SinkFor(REFIID iid)
{
    COpcLockGuard guard(m_pointsLock);
    COpcConnectionPoint* point = Find(iid);
    return point != nullptr ? point->Sink() : nullptr;
}

void COpcConnectionPointContainer::DropSink(REFIID iid)
{
    COpcLockGuard guard(m_pointsLock);
    COpcConnectionPoint* point = Find(iid);
    if (point != nullptr)
        point->DropSink();
}

// ---- COpcEnumConnectionPoints -------------------------------------------------

COpcEnumConnectionPoints::COpcEnumConnectionPoints(IConnectionPoint* const* points, ULONG count)
{
    m_valid = m_points.SetSize(count);
    for (ULONG i = 0; m_valid && i < count; ++i)
        m_points[i] = COpcComPtr<IConnectionPoint>::FromBorrowed(points[i]);
}

const SOpcInterfaceEntry<COpcEnumConnectionPoints> COpcEnumConnectionPoints::Interfaces[] = {
    OpcInterface<COpcEnumConnectionPoints, IEnumConnectionPoints>(IID_IUnknown),
    OpcInterface<COpcEnumConnectionPoints, IEnumConnectionPoints>(IID_IEnumConnectionPoints),
    {}};

STDMETHODIMP COpcEnumConnectionPoints::Next(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched)
{
    if (pcFetched == nullptr)
        return E_INVALIDARG;
    *pcFetched = 0;
    if (ppCP == nullptr && cConnections > 0)
        return E_POINTER;
    COpcLockGuard guard(m_lock);
    ULONG fetched = 0;
    while (fetched < cConnections && m_position < m_points.GetSize())
    {
        ppCP[fetched] = m_points[m_position++].Get();
        ppCP[fetched]->AddRef();
        ++fetched;
    }
    *pcFetched = fetched;
    return fetched == cConnections ? S_OK : S_FALSE;
}

STDMETHODIMP COpcEnumConnectionPoints::Skip(ULONG cConnections)
{
    COpcLockGuard guard(m_lock);
    ULONG left = m_points.GetSize() - m_position;
    if (cConnections > left)
    {
        m_position = m_points.GetSize();
        return S_FALSE;
    }
    m_position += cConnections;
    return S_OK;
}

STDMETHODIMP COpcEnumConnectionPoints::Reset()
{
    COpcLockGuard guard(m_lock);
    m_position = 0;
    return S_OK;
}

STDMETHODIMP COpcEnumConnectionPoints::Clone(IEnumConnectionPoints** ppEnum)
{
    if (ppEnum == nullptr)
        return E_POINTER;
    *ppEnum = nullptr;
    COpcLockGuard guard(m_lock);
    COpcComPtr<COpcEnumConnectionPoints> copy(new (std::nothrow) COpcEnumConnectionPoints(nullptr, 0));
    if (!copy || !copy->m_points.Copy(m_points))
        return E_OUTOFMEMORY;
    copy->m_position = m_position;
    *ppEnum = copy.Detach();
    return S_OK;
}
