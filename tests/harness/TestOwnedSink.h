// The IUnknown of a client sink that a test owns (on its stack or as a
// member): the server's references only count, so the test can check that
// the server let go of the sink, and a release too many cannot free it.
#pragma once

#include <objbase.h>

#include <atomic>

template <class I>
class TestOwnedSink : public I
{
public:
    explicit TestOwnedSink(REFIID iid) : m_iid(iid) {}
    virtual ~TestOwnedSink() = default;
    TestOwnedSink(const TestOwnedSink&) = delete;
    TestOwnedSink& operator=(const TestOwnedSink&) = delete;

    STDMETHOD(QueryInterface)(REFIID iid, void** object) override
    {
        if (object == nullptr)
            return E_POINTER;
        *object = nullptr;
        if (!InlineIsEqualGUID(iid, IID_IUnknown) && !InlineIsEqualGUID(iid, m_iid))
            return E_NOINTERFACE;
        this->AddRef();
        *object = static_cast<I*>(this);
        return S_OK;
    }
    STDMETHOD_(ULONG, AddRef)() override { return static_cast<ULONG>(++m_refs); }
    STDMETHOD_(ULONG, Release)() override { return static_cast<ULONG>(--m_refs); }

    // 1 when nobody but the test holds the sink.
    LONG References() const { return m_refs; }

private:
    IID m_iid;
    std::atomic<LONG> m_refs{1};
};
