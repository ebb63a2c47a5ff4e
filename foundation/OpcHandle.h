// COpcHandle: owns one Win32 kernel handle and closes it once. Both null and
// INVALID_HANDLE_VALUE mean "no handle", so results of CreateEvent/CreateThread
// (null on failure) and CreateFile (INVALID_HANDLE_VALUE on failure) can be
// stored directly and tested with IsValid().
#pragma once

#include <windows.h>

class COpcHandle
{
public:
    COpcHandle() noexcept : m_handle(nullptr) {}
    explicit COpcHandle(HANDLE handle) noexcept : m_handle(Normalize(handle)) {}
    ~COpcHandle() { Close(); }

    COpcHandle(const COpcHandle&) = delete;
    COpcHandle& operator=(const COpcHandle&) = delete;

    COpcHandle(COpcHandle&& other) noexcept : m_handle(other.m_handle) { other.m_handle = nullptr; }
    COpcHandle& operator=(COpcHandle&& other) noexcept
    {
        if (this != &other)
            Reset(other.Detach());
        return *this;
    }

    HANDLE Get() const noexcept { return m_handle; }
    bool IsValid() const noexcept { return m_handle != nullptr; }
    explicit operator bool() const noexcept { return m_handle != nullptr; }

    // Closes the current handle and takes ownership of another one.
    void Reset(HANDLE handle = nullptr) noexcept
    {
        HANDLE old = m_handle;
        m_handle = Normalize(handle);
        if (old != nullptr && old != m_handle)
            CloseHandle(old);
    }

    // Gives up ownership without closing.
    HANDLE Detach() noexcept
    {
        HANDLE handle = m_handle;
        m_handle = nullptr;
        return handle;
    }

    void Close() noexcept { Reset(nullptr); }

private:
    static HANDLE Normalize(HANDLE handle) noexcept { return handle == INVALID_HANDLE_VALUE ? nullptr : handle; }

    HANDLE m_handle;
};
