// The calls the address space makes on the device-access library: caches,
// symbol and project checks, reads and writes of device memory, and failure
// records. COpcDevlaneAPI is the real one; tests of the address space can
// put a fake in its place when they need values and failures, not the library.
#pragma once

#include "DevlaneApi.h"
#include "OpcString.h"

#include <windows.h>

class IOpcDeviceAccess
{
public:
    // One bit write carries at most this many bits.
    static constexpr short MaxBitWrite = 256;

    virtual ~IOpcDeviceAccess() = default;

    virtual HRESULT Init() = 0;
    // Library handles are per thread: made by the thread that uses them.
    virtual void CreateThreadHandle(DWORD threadId) = 0;
    virtual void DeleteThreadHandle(DWORD threadId) = 0;

    virtual HRESULT CreateCache(const COpcString& cacheName, DWORD periodMs) = 0;
    virtual HRESULT EntryCacheRecord(const COpcString& cacheName, const COpcString& device, const COpcString& address,
                                     LONG dataType, LONG dataCount) = 0;
    virtual HRESULT StartCache(const COpcString& cacheName) = 0;
    virtual HRESULT DestroyCache(const COpcString& cacheName) = 0;
    virtual HRESULT GetLoadedProjectPath(COpcString& path, DWORD& buildNumber) = 0;
    virtual HRESULT GetSymbolInfo(const COpcString& device, const COpcString& symbol, SymbolInfo& info) = 0;

    // Reads leave the output untouched on failure. Bit reads give one 0/1 per bit.
    virtual HRESULT ReadDeviceBitM(const COpcString& device, const COpcString& address, LONG* values, short count) = 0;
    virtual HRESULT ReadDevice16M(const COpcString& device, const COpcString& address, short* values, short count) = 0;
    virtual HRESULT ReadDeviceU16M(const COpcString& device, const COpcString& address, unsigned short* values,
                                   short count) = 0;
    virtual HRESULT ReadDeviceBCD16M(const COpcString& device, const COpcString& address, short* values,
                                     short count) = 0;
    virtual HRESULT ReadDevice32M(const COpcString& device, const COpcString& address, LONG* values, short count) = 0;
    virtual HRESULT ReadDeviceU32M(const COpcString& device, const COpcString& address, ULONG* values, short count) = 0;
    virtual HRESULT ReadDeviceBCD32M(const COpcString& device, const COpcString& address, LONG* values,
                                     short count) = 0;
    virtual HRESULT ReadDeviceFloatM(const COpcString& device, const COpcString& address, float* values,
                                     short count) = 0;
    virtual HRESULT ReadDeviceDoubleM(const COpcString& device, const COpcString& address, double* values,
                                      short count) = 0;
    virtual HRESULT ReadDeviceStrM(const COpcString& device, const COpcString& address, char* text, short count) = 0;

    // Bit writes take one flag per bit, at most MaxBitWrite of them.
    virtual HRESULT WriteDeviceBitDM(const COpcString& device, const COpcString& address, const LONG* flags,
                                     short count) = 0;
    virtual HRESULT WriteDevice16DM(const COpcString& device, const COpcString& address, const short* values,
                                    short count) = 0;
    virtual HRESULT WriteDeviceU16DM(const COpcString& device, const COpcString& address, const unsigned short* values,
                                     short count) = 0;
    virtual HRESULT WriteDeviceBCD16DM(const COpcString& device, const COpcString& address, const short* values,
                                       short count) = 0;
    virtual HRESULT WriteDevice32DM(const COpcString& device, const COpcString& address, const LONG* values,
                                    short count) = 0;
    virtual HRESULT WriteDeviceU32DM(const COpcString& device, const COpcString& address, const ULONG* values,
                                     short count) = 0;
    virtual HRESULT WriteDeviceBCD32DM(const COpcString& device, const COpcString& address, const LONG* values,
                                       short count) = 0;
    virtual HRESULT WriteDeviceFloatDM(const COpcString& device, const COpcString& address, const float* values,
                                       short count) = 0;
    virtual HRESULT WriteDeviceDoubleDM(const COpcString& device, const COpcString& address, const double* values,
                                        short count) = 0;
    virtual HRESULT WriteDeviceStrDM(const COpcString& device, const COpcString& address, const char* text,
                                     short count) = 0;

    // One error-log record made from the arguments (texts are borrowed for the call).
    virtual void LogFailure(LONG category, LONG deviceCode, const wchar_t* api, const wchar_t* cache = nullptr,
                            const wchar_t* itemId = nullptr, const wchar_t* property = nullptr) = 0;
};
