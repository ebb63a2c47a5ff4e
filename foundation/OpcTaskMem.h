// Small owners of COM resources: a task-allocator block, a BSTR, a VARIANT, a
// SAFEARRAY (and its data lock) and a COM interface pointer. Each frees what
// it holds when it goes out of scope, so early returns never leak; none of
// them throws.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>
#include <utility>

// A block from CoTaskMemAlloc.
template <typename T>
class COpcTaskMem
{
public:
    COpcTaskMem() noexcept = default;
    explicit COpcTaskMem(T* block) noexcept : m_block(block) {}
    ~COpcTaskMem() { CoTaskMemFree(m_block); }
    COpcTaskMem(const COpcTaskMem&) = delete;
    COpcTaskMem& operator=(const COpcTaskMem&) = delete;
    COpcTaskMem(COpcTaskMem&& other) noexcept : m_block(other.Detach()) {}
    COpcTaskMem& operator=(COpcTaskMem&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }

    // Allocates count elements (zeroed); false on overflow or when out of memory.
    bool Allocate(size_t count) noexcept
    {
        Reset();
        if (count == 0 || count > SIZE_MAX / sizeof(T))
            return false;
        m_block = static_cast<T*>(CoTaskMemAlloc(count * sizeof(T)));
        if (m_block == nullptr)
            return false;
        ZeroMemory(m_block, count * sizeof(T));
        return true;
    }
    void Reset(T* block = nullptr) noexcept
    {
        if (block != m_block)
            CoTaskMemFree(m_block);
        m_block = block;
    }
    T* Detach() noexcept { return std::exchange(m_block, nullptr); }
    T* Get() const noexcept { return m_block; }
    T** Receive() noexcept
    {
        Reset();
        return &m_block;
    }

private:
    T* m_block = nullptr;
};

// A BSTR from SysAllocString*.
class COpcBstr
{
public:
    COpcBstr() noexcept = default;
    explicit COpcBstr(BSTR text) noexcept : m_text(text) {}
    ~COpcBstr() { SysFreeString(m_text); }
    COpcBstr(const COpcBstr&) = delete;
    COpcBstr& operator=(const COpcBstr&) = delete;
    COpcBstr(COpcBstr&& other) noexcept : m_text(other.Detach()) {}
    COpcBstr& operator=(COpcBstr&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }

    void Reset(BSTR text = nullptr) noexcept
    {
        if (text != m_text)
            SysFreeString(m_text);
        m_text = text;
    }
    BSTR Detach() noexcept { return std::exchange(m_text, nullptr); }
    BSTR Get() const noexcept { return m_text; }
    BSTR* Receive() noexcept
    {
        Reset();
        return &m_text;
    }
    UINT Length() const noexcept { return SysStringLen(m_text); }

private:
    BSTR m_text = nullptr;
};

// A VARIANT holding a long: nothing in it to clear, so it needs no owner.
inline VARIANT OpcLongVariant(LONG value) noexcept
{
    VARIANT v;
    VariantInit(&v);
    v.vt = VT_I4;
    v.lVal = value;
    return v;
}

// A VARIANT, initialised on construction and cleared on destruction.
class COpcVariant
{
public:
    COpcVariant() noexcept { VariantInit(&m_value); }
    ~COpcVariant() { VariantClear(&m_value); }
    COpcVariant(const COpcVariant&) = delete;
    COpcVariant& operator=(const COpcVariant&) = delete;
    // Moving hands the content over; the source is left VT_EMPTY.
    COpcVariant(COpcVariant&& other) noexcept : m_value(other.m_value) { VariantInit(&other.m_value); }
    COpcVariant& operator=(COpcVariant&& other) noexcept
    {
        if (this != &other)
        {
            VariantClear(&m_value);
            m_value = other.m_value;
            VariantInit(&other.m_value);
        }
        return *this;
    }

    VARIANT* Get() noexcept { return &m_value; }
    const VARIANT* Get() const noexcept { return &m_value; }
    VARIANT* operator->() noexcept { return &m_value; }
    const VARIANT* operator->() const noexcept { return &m_value; }
    // Clears the content and leaves VT_EMPTY.
    void Clear() noexcept
    {
        VariantClear(&m_value);
        VariantInit(&m_value);
    }
    // Moves the content out to an uninitialised or cleared variant; this one becomes VT_EMPTY.
    void MoveTo(VARIANT* target) noexcept
    {
        *target = m_value;
        VariantInit(&m_value);
    }

private:
    VARIANT m_value;
};

// A SAFEARRAY from SafeArrayCreate*.
class COpcSafeArray
{
public:
    COpcSafeArray() noexcept = default;
    explicit COpcSafeArray(SAFEARRAY* array) noexcept : m_array(array) {}
    ~COpcSafeArray() { Reset(); }
    COpcSafeArray(const COpcSafeArray&) = delete;
    COpcSafeArray& operator=(const COpcSafeArray&) = delete;

    void Reset(SAFEARRAY* array = nullptr) noexcept
    {
        if (m_array != nullptr && m_array != array)
            SafeArrayDestroy(m_array);
        m_array = array;
    }
    SAFEARRAY* Detach() noexcept { return std::exchange(m_array, nullptr); }
    SAFEARRAY* Get() const noexcept { return m_array; }

private:
    SAFEARRAY* m_array = nullptr;
};

// Holds SafeArrayAccessData for the life of the object.
class COpcSafeArrayAccess
{
public:
    explicit COpcSafeArrayAccess(SAFEARRAY* array) noexcept : m_array(array)
    {
        m_result = array ? SafeArrayAccessData(array, &m_data) : E_INVALIDARG;
        if (FAILED(m_result))
            m_data = nullptr;
    }
    ~COpcSafeArrayAccess()
    {
        // An array without elements may have no data but is locked all the same.
        if (SUCCEEDED(m_result))
            SafeArrayUnaccessData(m_array);
    }
    COpcSafeArrayAccess(const COpcSafeArrayAccess&) = delete;
    COpcSafeArrayAccess& operator=(const COpcSafeArrayAccess&) = delete;

    HRESULT Result() const noexcept { return m_result; }
    void* Data() const noexcept { return m_data; }

private:
    SAFEARRAY* m_array;
    void* m_data = nullptr;
    HRESULT m_result;
};

// A COM interface pointer; releases its reference on destruction.
template <typename T>
class COpcComPtr
{
public:
    COpcComPtr() noexcept = default;
    // Takes over a reference the caller already owns.
    explicit COpcComPtr(T* pointer) noexcept : m_pointer(pointer) {}
    ~COpcComPtr() { Reset(); }
    COpcComPtr(const COpcComPtr& other) noexcept : m_pointer(other.m_pointer)
    {
        if (m_pointer != nullptr)
            m_pointer->AddRef();
    }
    COpcComPtr(COpcComPtr&& other) noexcept : m_pointer(other.Detach()) {}
    COpcComPtr& operator=(const COpcComPtr& other) noexcept
    {
        if (other.m_pointer != nullptr)
            other.m_pointer->AddRef();
        Reset(other.m_pointer);
        return *this;
    }
    COpcComPtr& operator=(COpcComPtr&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }

    // Adds a reference of its own to a pointer the caller keeps.
    static COpcComPtr FromBorrowed(T* pointer) noexcept
    {
        if (pointer != nullptr)
            pointer->AddRef();
        return COpcComPtr(pointer);
    }
    // Asks any interface for T; null when it does not have it.
    template <typename U>
    static COpcComPtr QueryFrom(U* source, const IID& iid) noexcept
    {
        COpcComPtr result;
        if (source != nullptr)
        {
            void* out = nullptr;
            if (SUCCEEDED(source->QueryInterface(iid, &out)))
                result.m_pointer = static_cast<T*>(out);
        }
        return result;
    }

    void Reset(T* pointer = nullptr) noexcept
    {
        T* old = std::exchange(m_pointer, pointer);
        if (old != nullptr)
            old->Release();
    }
    // Lets go of the reference now and returns the count the object reports
    // after it: 0 when this was the last reference.
    ULONG Drop() noexcept
    {
        T* old = std::exchange(m_pointer, nullptr);
        return old != nullptr ? old->Release() : 0;
    }
    T* Detach() noexcept { return std::exchange(m_pointer, nullptr); }
    T* Get() const noexcept { return m_pointer; }
    T* operator->() const noexcept { return m_pointer; }
    T** Receive() noexcept
    {
        Reset();
        return &m_pointer;
    }
    explicit operator bool() const noexcept { return m_pointer != nullptr; }

private:
    T* m_pointer = nullptr;
};
