// Connection points for the callbacks an OPC object fires: one point per
// outgoing interface, each serving one client sink.
#pragma once

#include "OpcComObject.h"
#include "OpcContainers.h"
#include "OpcLock.h"
#include "OpcTaskMem.h"

#include <ocidl.h>
#include <olectl.h>

#include <memory>

class COpcConnectionPointContainer;

// Owned by its container. Its reference count is the container's, so a client
// holding a point keeps the container (and so the point) alive.
class COpcConnectionPoint : public IConnectionPoint, public IEnumConnections
{
public:
    COpcConnectionPoint(REFIID iid, COpcConnectionPointContainer* container);
    virtual ~COpcConnectionPoint() = default;
    COpcConnectionPoint(const COpcConnectionPoint&) = delete;
    COpcConnectionPoint& operator=(const COpcConnectionPoint&) = delete;

    // IUnknown
    STDMETHOD(QueryInterface)(REFIID iid, void** object) override;
    STDMETHOD_(ULONG, AddRef)() override;
    STDMETHOD_(ULONG, Release)() override;

    // IConnectionPoint
    STDMETHOD(GetConnectionInterface)(IID* pIID) override;
    STDMETHOD(GetConnectionPointContainer)(IConnectionPointContainer** ppCPC) override;
    STDMETHOD(Advise)(IUnknown* pUnkSink, DWORD* pdwCookie) override;
    STDMETHOD(Unadvise)(DWORD dwCookie) override;
    STDMETHOD(EnumConnections)(IEnumConnections** ppEnum) override;

    // IEnumConnections: the one advised sink, if any.
    STDMETHOD(Next)(ULONG cConnections, CONNECTDATA* rgcd, ULONG* pcFetched) override;
    STDMETHOD(Skip)(ULONG cConnections) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumConnections** ppEnum) override;

    const IID& Interface() const { return m_iid; }
    bool IsConnected();
    // The advised sink, with a reference for the caller, or null.
    IUnknown* Sink();
    // Forgets the sink without calling it (a client that has gone away).
    void DropSink();
    // Taken out of its container: drops the sink and refuses new ones.
    void Retire();

private:
    IID m_iid;
    COpcConnectionPointContainer* m_container;
    COpcLock m_lock;
    COpcComPtr<IUnknown> m_sink;
    DWORD m_cookie = 0;
    ULONG m_enumPosition = 0;
    bool m_retired = false;
};

class COpcConnectionPointContainer : public IConnectionPointContainer
{
public:
    COpcConnectionPointContainer() = default;
    virtual ~COpcConnectionPointContainer();
    COpcConnectionPointContainer(const COpcConnectionPointContainer&) = delete;
    COpcConnectionPointContainer& operator=(const COpcConnectionPointContainer&) = delete;

    // IConnectionPointContainer
    STDMETHOD(EnumConnectionPoints)(IEnumConnectionPoints** ppEnum) override;
    STDMETHOD(FindConnectionPoint)(REFIID riid, IConnectionPoint** ppCP) override;

    HRESULT AddConnectionPoint(REFIID iid);
    void RemoveConnectionPoint(REFIID iid);
    HRESULT QueryConnectionPoint(REFIID iid, REFIID wanted, void** object);
    bool IsConnected(REFIID iid);
    // The sink advised for the outgoing interface, with a reference, or null.
    IUnknown* SinkFor(REFIID iid);
    // Forgets the sink of the outgoing interface without calling it.
    void DropSink(REFIID iid);

    // Told after a sink was advised or unadvised, outside the point's lock.
    virtual void OnAdvise(REFIID iid, DWORD cookie) {}
    virtual void OnUnadvise(REFIID iid, DWORD cookie) {}

private:
    COpcConnectionPoint* Find(REFIID iid);

    COpcLock m_pointsLock;
    COpcList<std::unique_ptr<COpcConnectionPoint>> m_points;
    COpcList<std::unique_ptr<COpcConnectionPoint>> m_retired; // removed but perhaps still held by a client
};

// Enumerates a snapshot of connection points, each held with a reference.
class COpcEnumConnectionPoints : public COpcComObject<COpcEnumConnectionPoints, IEnumConnectionPoints>
{
public:
    static const SOpcInterfaceEntry<COpcEnumConnectionPoints> Interfaces[];

    // The points are AddRef'd here; an object that could not take them all is empty.
    COpcEnumConnectionPoints(IConnectionPoint* const* points, ULONG count);
    ~COpcEnumConnectionPoints() override = default;

    STDMETHOD(Next)(ULONG cConnections, IConnectionPoint** ppCP, ULONG* pcFetched) override;
    STDMETHOD(Skip)(ULONG cConnections) override;
    STDMETHOD(Reset)() override;
    STDMETHOD(Clone)(IEnumConnectionPoints** ppEnum) override;

    bool IsValid() const { return m_valid; }

private:
    COpcLock m_lock;
    COpcArray<COpcComPtr<IConnectionPoint>> m_points;
    bool m_valid = true;
    ULONG m_position = 0;
};
