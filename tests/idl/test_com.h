// Small owners for COM pointers, task-allocator blocks, VARIANTs and kernel
// handles, shared by the test server and the tests that talk to it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <olectl.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "OpcApartment.h"

#include "opccomn.h"
#include "opcda.h"
#include "opcshutdownctl.h"

template <class T>
class ComPtr
{
public:
    ComPtr() = default;
    ComPtr(const ComPtr& other) : p_(other.p_)
    {
        if (p_)
            p_->AddRef();
    }
    ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
    ComPtr& operator=(ComPtr other) noexcept
    {
        std::swap(p_, other.p_);
        return *this;
    }
    ~ComPtr() { reset(); }

    // Takes a reference the caller already owns.
    static ComPtr Adopt(T* p)
    {
        ComPtr c;
        c.p_ = p;
        return c;
    }
    // Adds a reference of its own.
    static ComPtr Share(T* p)
    {
        if (p)
            p->AddRef();
        return Adopt(p);
    }

    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }
    T** put()
    {
        reset();
        return &p_;
    }
    void** put_void() { return reinterpret_cast<void**>(put()); }
    void reset()
    {
        if (p_)
            std::exchange(p_, nullptr)->Release();
    }

    template <class U>
    HRESULT As(REFIID iid, ComPtr<U>& out) const
    {
        return p_->QueryInterface(iid, out.put_void());
    }

private:
    T* p_ = nullptr;
};

// Releases what a task-allocated element owns; plain values own nothing.
template <class T>
inline void Clean(T&)
{
}
inline void Clean(VARIANT& v)
{
    VariantClear(&v);
}
inline void Clean(LPWSTR& s)
{
    CoTaskMemFree(s);
    s = nullptr;
}
inline void Clean(OPCITEMSTATE& s)
{
    VariantClear(&s.vDataValue);
}
inline void Clean(OPCITEMRESULT& r)
{
    CoTaskMemFree(r.pBlob);
    r.pBlob = nullptr;
}
inline void Clean(OPCITEMVQT& v)
{
    VariantClear(&v.vDataValue);
}
inline void Clean(OPCITEMATTRIBUTES& a)
{
    CoTaskMemFree(a.szAccessPath);
    CoTaskMemFree(a.szItemID);
    CoTaskMemFree(a.pBlob);
    VariantClear(&a.vEUInfo);
    a.szAccessPath = a.szItemID = nullptr;
    a.pBlob = nullptr;
}
inline void Clean(OPCITEMPROPERTY& p)
{
    CoTaskMemFree(p.szItemID);
    CoTaskMemFree(p.szDescription);
    VariantClear(&p.vValue);
    p.szItemID = p.szDescription = nullptr;
}
inline void Clean(OPCITEMPROPERTIES& p)
{
    for (DWORD i = 0; p.pItemProperties && i < p.dwNumProperties; ++i)
        Clean(p.pItemProperties[i]);
    CoTaskMemFree(p.pItemProperties);
    p.pItemProperties = nullptr;
    p.dwNumProperties = 0;
}
inline void Clean(OPCBROWSEELEMENT& e)
{
    CoTaskMemFree(e.szName);
    CoTaskMemFree(e.szItemID);
    e.szName = e.szItemID = nullptr;
    Clean(e.ItemProperties);
}
inline void Clean(OPCSERVERSTATUS& s)
{
    CoTaskMemFree(s.szVendorInfo);
    s.szVendorInfo = nullptr;
}

// One task-allocator array of count elements, each cleaned before the block
// is freed. Used for [out] arrays a callee allocates and for arrays a server
// builds before handing them out with release().
template <class T>
class TaskArray
{
public:
    TaskArray() = default;
    explicit TaskArray(std::size_t count) : count_(count) {}
    TaskArray(const TaskArray&) = delete;
    TaskArray& operator=(const TaskArray&) = delete;
    ~TaskArray() { reset(); }

    // Zeroed storage for count elements; false when the size overflows or
    // the allocator fails.
    bool allocate(std::size_t count)
    {
        reset();
        if (count == 0)
            return true;
        if (count > SIZE_MAX / sizeof(T))
            return false;
        p_ = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
        if (!p_)
            return false;
        std::memset(static_cast<void*>(p_), 0, count * sizeof(T));
        count_ = count;
        return true;
    }

    T** put()
    {
        reset();
        return &p_;
    }
    void set_count(std::size_t count) { count_ = count; }
    T* get() const { return p_; }
    std::size_t size() const { return count_; }
    T& operator[](std::size_t i) const { return p_[i]; }
    T* release() { return std::exchange(p_, nullptr); }
    void reset() { Free(std::exchange(p_, nullptr)); }

private:
    void Free(T* p)
    {
        if (!p)
            return;
        for (std::size_t i = 0; i < count_; ++i)
            Clean(p[i]);
        CoTaskMemFree(p);
    }

    T* p_ = nullptr;
    std::size_t count_ = 0;
};

// One task-allocator block that owns nothing else (a string, a struct).
template <class T>
class TaskPtr
{
public:
    TaskPtr() = default;
    TaskPtr(const TaskPtr&) = delete;
    TaskPtr& operator=(const TaskPtr&) = delete;
    ~TaskPtr() { reset(); }
    T** put()
    {
        reset();
        return &p_;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    T* release() { return std::exchange(p_, nullptr); }
    void reset()
    {
        if (p_)
        {
            Clean(*p_);
            CoTaskMemFree(std::exchange(p_, nullptr));
        }
    }

private:
    T* p_ = nullptr;
};

// A task-allocator string. The string pointee is the WCHAR block itself.
class TaskString
{
public:
    TaskString() = default;
    explicit TaskString(const wchar_t* text) { assign(text); }
    TaskString(const TaskString&) = delete;
    TaskString& operator=(const TaskString&) = delete;
    ~TaskString() { CoTaskMemFree(p_); }

    bool assign(const wchar_t* text)
    {
        reset();
        if (!text)
            return true;
        const std::size_t bytes = (wcslen(text) + 1) * sizeof(wchar_t);
        p_ = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        if (!p_)
            return false;
        std::memcpy(p_, text, bytes);
        return true;
    }
    LPWSTR* put()
    {
        reset();
        return &p_;
    }
    // For [in, out] strings: the callee frees what goes in and replaces it.
    LPWSTR* inout() { return &p_; }
    LPWSTR get() const { return p_; }
    LPWSTR release() { return std::exchange(p_, nullptr); }
    void reset() { CoTaskMemFree(std::exchange(p_, nullptr)); }

private:
    LPWSTR p_ = nullptr;
};

class Variant
{
public:
    Variant() { VariantInit(&v_); }
    Variant(const Variant& other)
    {
        VariantInit(&v_);
        VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
    }
    Variant& operator=(const Variant& other)
    {
        if (this != &other)
            VariantCopy(&v_, const_cast<VARIANT*>(&other.v_));
        return *this;
    }
    ~Variant() { VariantClear(&v_); }
    VARIANT* get() { return &v_; }
    const VARIANT* get() const { return &v_; }
    VARIANT* put()
    {
        VariantClear(&v_);
        return &v_;
    }

private:
    VARIANT v_;
};

class Handle
{
public:
    Handle() = default;
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    Handle(Handle&& other) noexcept : h_(std::exchange(other.h_, nullptr)) {}
    ~Handle() { reset(); }
    HANDLE get() const { return h_; }
    explicit operator bool() const { return h_ != nullptr && h_ != INVALID_HANDLE_VALUE; }
    void reset(HANDLE h = nullptr)
    {
        if (h_ && h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
        h_ = h;
    }

private:
    HANDLE h_ = nullptr;
};

// Deep copy into task memory; the element types the tests move around.
inline HRESULT CopyTo(const wchar_t* text, LPWSTR* out)
{
    TaskString s;
    if (!s.assign(text))
        return E_OUTOFMEMORY;
    *out = s.release();
    return S_OK;
}
