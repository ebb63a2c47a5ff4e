// Makes one task-memory allocation fail, for tests of out-of-memory paths:
// while an object of this class lives, the first CoTaskMemAlloc of the given
// size on the creating thread returns null. It works through the process's
// malloc spy, so all other allocations pass untouched.
#pragma once

#include <objbase.h>
#include <objidl.h>

class FailingAllocation
{
public:
    explicit FailingAllocation(SIZE_T size)
    {
        Spy& spy = Spy::Instance();
        spy.size = size;
        spy.thread = GetCurrentThreadId();
        spy.failed = false;
        // Still registered from an earlier use whose blocks are not all freed: that is ours.
        HRESULT hr = CoRegisterMallocSpy(&spy);
        m_registered = hr == S_OK || hr == CO_E_OBJISREG;
        spy.armed = m_registered;
    }
    ~FailingAllocation()
    {
        Spy::Instance().armed = false;
        if (m_registered)
            CoRevokeMallocSpy(); // deferred until the blocks made meanwhile are freed
    }
    FailingAllocation(const FailingAllocation&) = delete;
    FailingAllocation& operator=(const FailingAllocation&) = delete;

    bool Registered() const { return m_registered; }
    bool Failed() const { return Spy::Instance().failed; }

private:
    // Lives for the whole process, since a revoked spy may be called until then.
    struct Spy : IMallocSpy
    {
        static Spy& Instance()
        {
            static Spy spy;
            return spy;
        }
        STDMETHOD(QueryInterface)(REFIID iid, void** object) override
        {
            *object = iid == IID_IUnknown || iid == IID_IMallocSpy ? this : nullptr;
            return *object != nullptr ? S_OK : E_NOINTERFACE;
        }
        STDMETHOD_(ULONG, AddRef)() override { return 2; }
        STDMETHOD_(ULONG, Release)() override { return 1; }
        STDMETHOD_(SIZE_T, PreAlloc)(SIZE_T cb) override
        {
            if (!armed || failed || cb != size || GetCurrentThreadId() != thread)
                return cb;
            failed = true;
            return 0;
        }
        STDMETHOD_(void*, PostAlloc)(void* actual) override { return actual; }
        STDMETHOD_(void*, PreFree)(void* request, BOOL) override { return request; }
        STDMETHOD_(void, PostFree)(BOOL) override {}
        STDMETHOD_(SIZE_T, PreRealloc)(void* request, SIZE_T cb, void** actual, BOOL) override
        {
            *actual = request;
            return cb;
        }
        STDMETHOD_(void*, PostRealloc)(void* actual, BOOL) override { return actual; }
        STDMETHOD_(void*, PreGetSize)(void* request, BOOL) override { return request; }
        STDMETHOD_(SIZE_T, PostGetSize)(SIZE_T actual, BOOL) override { return actual; }
        STDMETHOD_(void*, PreDidAlloc)(void* request, BOOL) override { return request; }
        STDMETHOD_(int, PostDidAlloc)(void*, BOOL, int actual) override { return actual; }
        STDMETHOD_(void, PreHeapMinimize)() override {}
        STDMETHOD_(void, PostHeapMinimize)() override {}

        volatile bool armed = false;
        volatile bool failed = false;
        SIZE_T size = 0;
        DWORD thread = 0;
    };

    bool m_registered = false;
};
