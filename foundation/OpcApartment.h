// COpcApartment: the calling thread is in the multithreaded apartment for the
// life of the object, the COM environment of the server's threads, its tools
// and its tests. Uninitialises only what it initialised.
#pragma once

#include <windows.h>
#include <objbase.h>

class COpcApartment
{
public:
    COpcApartment() noexcept : m_result(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~COpcApartment()
    {
        if (SUCCEEDED(m_result))
            CoUninitialize();
    }
    COpcApartment(const COpcApartment&) = delete;
    COpcApartment& operator=(const COpcApartment&) = delete;

    HRESULT Result() const noexcept { return m_result; }

private:
    HRESULT m_result;
};
