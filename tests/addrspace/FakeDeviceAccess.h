// A stand-in for the device-access library, for address-space tests that need
// values and failures rather than the library: device memory as 16-bit words
// per address (wider values take consecutive words, low word first), caches
// that always come up, and failures injected per call.
#pragma once

#include "OpcDeviceAccess.h"
#include "OpcDeviceCodes.h"

#include <windows.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace addrspace_test
{
class FakeDeviceAccess : public IOpcDeviceAccess
{
public:
    void SetWords(const std::string& address, const std::vector<WORD>& words) { m_memory[address] = words; }
    std::vector<WORD> Words(const std::string& address) const
    {
        auto found = m_memory.find(address);
        return found != m_memory.end() ? found->second : std::vector<WORD>();
    }
    // The next call of that name fails with the device code.
    void FailNext(const std::string& call, LONG code) { m_failures[call] = code; }
    // The calls named in failure records, oldest first.
    const std::vector<std::wstring>& Logged() const { return m_logged; }

    HRESULT Init() override { return S_OK; }
    void CreateThreadHandle(DWORD) override {}
    void DeleteThreadHandle(DWORD) override {}
    HRESULT CreateCache(const COpcString&, DWORD) override { return Result("LT_CreateCacheM"); }
    HRESULT EntryCacheRecord(const COpcString&, const COpcString&, const COpcString&, LONG, LONG) override
    {
        return Result("LT_EntryCacheRecordM");
    }
    HRESULT StartCache(const COpcString&) override { return Result("LT_StartCacheM"); }
    HRESULT DestroyCache(const COpcString&) override { return Result("LT_DestroyCacheM"); }
    HRESULT GetLoadedProjectPath(COpcString&, DWORD&) override { return E_NOTIMPL; }
    HRESULT GetSymbolInfo(const COpcString&, const COpcString&, SymbolInfo&) override { return E_NOTIMPL; }

    HRESULT ReadDeviceBitM(const COpcString&, const COpcString& address, LONG* values, short count) override
    {
        std::vector<WORD> words;
        HRESULT hr = Take("ReadDeviceBitM", address, (count + 15) / 16, words);
        for (short i = 0; SUCCEEDED(hr) && i < count; ++i)
            values[i] = (words[static_cast<size_t>(i / 16)] >> (i % 16)) & 1;
        return hr;
    }
    HRESULT ReadDevice16M(const COpcString&, const COpcString& a, short* v, short n) override
    {
        return Read("ReadDevice16M", a, v, n);
    }
    HRESULT ReadDeviceU16M(const COpcString&, const COpcString& a, unsigned short* v, short n) override
    {
        return Read("ReadDeviceU16M", a, v, n);
    }
    HRESULT ReadDeviceBCD16M(const COpcString&, const COpcString& a, short* v, short n) override
    {
        return Read("ReadDeviceBCD16M", a, v, n);
    }
    HRESULT ReadDevice32M(const COpcString&, const COpcString& a, LONG* v, short n) override
    {
        return Read("ReadDevice32M", a, v, n);
    }
    HRESULT ReadDeviceU32M(const COpcString&, const COpcString& a, ULONG* v, short n) override
    {
        return Read("ReadDeviceU32M", a, v, n);
    }
    HRESULT ReadDeviceBCD32M(const COpcString&, const COpcString& a, LONG* v, short n) override
    {
        return Read("ReadDeviceBCD32M", a, v, n);
    }
    HRESULT ReadDeviceFloatM(const COpcString&, const COpcString& a, float* v, short n) override
    {
        return Read("ReadDeviceFloatM", a, v, n);
    }
    HRESULT ReadDeviceDoubleM(const COpcString&, const COpcString& a, double* v, short n) override
    {
        return Read("ReadDeviceDoubleM", a, v, n);
    }
    HRESULT ReadDeviceStrM(const COpcString&, const COpcString& a, char* text, short n) override
    {
        return Read("ReadDeviceStrM", a, text, n);
    }

    HRESULT WriteDeviceBitDM(const COpcString&, const COpcString& address, const LONG* flags, short count) override
    {
        std::vector<WORD> words(static_cast<size_t>((count + 15) / 16));
        for (short i = 0; i < count; ++i)
            words[static_cast<size_t>(i / 16)] |= flags[i] != 0 ? static_cast<WORD>(1u << (i % 16)) : 0;
        return Put("WriteDeviceBitDM", address, words.data(), words.size() * sizeof(WORD));
    }
    HRESULT WriteDevice16DM(const COpcString&, const COpcString& a, const short* v, short n) override
    {
        return Put("WriteDevice16DM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDeviceU16DM(const COpcString&, const COpcString& a, const unsigned short* v, short n) override
    {
        return Put("WriteDeviceU16DM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDeviceBCD16DM(const COpcString&, const COpcString& a, const short* v, short n) override
    {
        return Put("WriteDeviceBCD16DM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDevice32DM(const COpcString&, const COpcString& a, const LONG* v, short n) override
    {
        return Put("WriteDevice32DM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDeviceU32DM(const COpcString&, const COpcString& a, const ULONG* v, short n) override
    {
        return Put("WriteDeviceU32DM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDeviceBCD32DM(const COpcString&, const COpcString& a, const LONG* v, short n) override
    {
        return Put("WriteDeviceBCD32DM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDeviceFloatDM(const COpcString&, const COpcString& a, const float* v, short n) override
    {
        return Put("WriteDeviceFloatDM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDeviceDoubleDM(const COpcString&, const COpcString& a, const double* v, short n) override
    {
        return Put("WriteDeviceDoubleDM", a, v, n * sizeof(*v));
    }
    HRESULT WriteDeviceStrDM(const COpcString&, const COpcString& a, const char* text, short n) override
    {
        return Put("WriteDeviceStrDM", a, text, static_cast<size_t>(n));
    }

    void LogFailure(LONG, LONG, const wchar_t* api, const wchar_t*, const wchar_t*, const wchar_t*) override
    {
        m_logged.push_back(api != nullptr ? api : L"");
    }

private:
    HRESULT Result(const std::string& call)
    {
        auto failure = m_failures.find(call);
        if (failure == m_failures.end())
            return S_OK;
        const LONG code = failure->second;
        m_failures.erase(failure);
        // The wrapper logs a failed call under the call's name.
        m_logged.push_back(std::wstring(call.begin(), call.end()));
        return MapDeviceCode(code);
    }
    // wordCount words from the address on, zeros past what was set.
    HRESULT Take(const std::string& call, const COpcString& address, size_t wordCount, std::vector<WORD>& words)
    {
        HRESULT hr = Result(call);
        if (FAILED(hr))
            return hr;
        words = Words(address.NarrowText());
        words.resize(wordCount);
        return S_OK;
    }
    template <class T>
    HRESULT Read(const std::string& call, const COpcString& address, T* values, short count)
    {
        std::vector<WORD> words;
        const size_t bytes = static_cast<size_t>(count) * sizeof(T);
        HRESULT hr = Take(call, address, (bytes + 1) / 2, words);
        if (SUCCEEDED(hr))
            memcpy(values, words.data(), bytes);
        return hr;
    }
    HRESULT Put(const std::string& call, const COpcString& address, const void* data, size_t bytes)
    {
        HRESULT hr = Result(call);
        if (FAILED(hr))
            return hr;
        std::vector<WORD> words((bytes + 1) / 2);
        memcpy(words.data(), data, bytes);
        m_memory[address.NarrowText()] = words;
        return S_OK;
    }

    std::map<std::string, std::vector<WORD>> m_memory;
    std::map<std::string, LONG> m_failures;
    std::vector<std::wstring> m_logged;
};
} // namespace addrspace_test
