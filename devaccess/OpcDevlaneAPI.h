// The one wrapper around the device-access library: per-thread library
// handles and every device operation the server uses. Failures go to its
// error log (COpcErrorLog), which it owns.
#pragma once

#include "DevlaneApi.h"
#include "OpcContainers.h"
#include "OpcDeviceAccess.h"
#include "OpcDeviceCodes.h"
#include "OpcDevlaneSettings.h"
#include "OpcErrorLog.h"
#include "OpcLock.h"
#include "OpcString.h"

#include <atomic>
#include <cstdint>

class COpcDevlaneAPI : public IOpcDeviceAccess, private IOpcErrorLogSource
{
public:
    static constexpr size_t MaxRecords = COpcErrorLog::MaxRecords;
    static constexpr size_t RecordChars = COpcErrorLog::RecordChars;

    // logDirectory overrides the program directory for the "ErrorLog\Error.log" file.
    explicit COpcDevlaneAPI(const SOpcDevlaneSettings& settings, const wchar_t* logDirectory = nullptr);
    // Finish, if nobody did; the log then writes what is left and closes its file.
    ~COpcDevlaneAPI() override;
    COpcDevlaneAPI(const COpcDevlaneAPI&) = delete;
    COpcDevlaneAPI& operator=(const COpcDevlaneAPI&) = delete;

    HRESULT Init() override;
    // The library's end of the process: every handle deleted, the stop
    // message, and the writer stopped after its final flush. Only the first
    // call acts, so a process that ends with clients still connected can
    // finish the library without destroying the object they use; later
    // operations find no handle, and their records stay in memory until the
    // destructor writes them.
    void Finish();
    void CreateThreadHandle(DWORD threadId) override;
    void DeleteThreadHandle(DWORD threadId) override;
    LINTOR_HANDLE GetThreadHandle();

    HRESULT CreateCache(const COpcString& cacheName, DWORD periodMs) override;
    HRESULT EntryCacheRecord(const COpcString& cacheName, const COpcString& device, const COpcString& address,
                             LONG dataType, LONG dataCount) override;
    HRESULT StartCache(const COpcString& cacheName) override;
    HRESULT DestroyCache(const COpcString& cacheName) override;
    HRESULT GetLoadedProjectPath(COpcString& path, DWORD& buildNumber) override;
    HRESULT CheckServerFork();
    HRESULT GetSymbolInfo(const COpcString& device, const COpcString& symbol, SymbolInfo& info) override;

    // Reads leave the output untouched on failure. Bit reads give one 0/1 per bit.
    HRESULT ReadDeviceBitM(const COpcString& device, const COpcString& address, LONG* values, short count) override;
    HRESULT ReadDevice16M(const COpcString& device, const COpcString& address, short* values, short count) override;
    HRESULT ReadDeviceU16M(const COpcString& device, const COpcString& address, unsigned short* values,
                           short count) override;
    HRESULT ReadDeviceBCD16M(const COpcString& device, const COpcString& address, short* values, short count) override;
    HRESULT ReadDevice32M(const COpcString& device, const COpcString& address, LONG* values, short count) override;
    HRESULT ReadDeviceU32M(const COpcString& device, const COpcString& address, ULONG* values, short count) override;
    HRESULT ReadDeviceBCD32M(const COpcString& device, const COpcString& address, LONG* values, short count) override;
    HRESULT ReadDeviceFloatM(const COpcString& device, const COpcString& address, float* values, short count) override;
    HRESULT ReadDeviceDoubleM(const COpcString& device, const COpcString& address, double* values,
                              short count) override;
    HRESULT ReadDeviceStrM(const COpcString& device, const COpcString& address, char* text, short count) override;

    // Bit writes take one flag per bit, at most MaxBitWrite of them.
    HRESULT WriteDeviceBitDM(const COpcString& device, const COpcString& address, const LONG* flags,
                             short count) override;
    HRESULT WriteDevice16DM(const COpcString& device, const COpcString& address, const short* values,
                            short count) override;
    HRESULT WriteDeviceU16DM(const COpcString& device, const COpcString& address, const unsigned short* values,
                             short count) override;
    HRESULT WriteDeviceBCD16DM(const COpcString& device, const COpcString& address, const short* values,
                               short count) override;
    HRESULT WriteDevice32DM(const COpcString& device, const COpcString& address, const LONG* values,
                            short count) override;
    HRESULT WriteDeviceU32DM(const COpcString& device, const COpcString& address, const ULONG* values,
                             short count) override;
    HRESULT WriteDeviceBCD32DM(const COpcString& device, const COpcString& address, const LONG* values,
                               short count) override;
    HRESULT WriteDeviceFloatDM(const COpcString& device, const COpcString& address, const float* values,
                               short count) override;
    HRESULT WriteDeviceDoubleDM(const COpcString& device, const COpcString& address, const double* values,
                                short count) override;
    HRESULT WriteDeviceStrDM(const COpcString& device, const COpcString& address, const char* text,
                             short count) override;

    // The error log's operations, kept here for the wrapper's users.
    COpcLock& Lock() { return m_log.Lock(); }
    COpcErrorContext& Context() { return m_log.Context(); }
    void WriteErrorLog() { m_log.WriteErrorLog(); }
    void LogFailure(LONG category, LONG deviceCode, const wchar_t* api, const wchar_t* cache = nullptr,
                    const wchar_t* itemId = nullptr, const wchar_t* property = nullptr) override
    {
        m_log.LogFailure(category, deviceCode, api, cache, itemId, property);
    }
    size_t RecordCount() { return m_log.RecordCount(); }
    COpcString RecordAt(size_t index) { return m_log.RecordAt(index); }
    void Flush() { m_log.Flush(); }
    COpcErrorLog& ErrorLog() { return m_log; }

private:
    template <class LibT, class OutT, class Fn>
    HRESULT Read(const wchar_t* api, Fn fn, const COpcString& device, const COpcString& address, OutT* values,
                 short count);
    template <class T, class Fn>
    HRESULT Write(const wchar_t* api, Fn fn, const COpcString& device, const COpcString& address, const T* values,
                  short count);
    HRESULT Fail(LONG category, LONG code, const wchar_t* api, const wchar_t* cache = nullptr,
                 const wchar_t* property = nullptr);
    // --- IOpcErrorLogSource --------------------------------------------------
    bool LoadMessage(LONG code, wchar_t* buffer) override;
    void ForwardToRuntimeLog(const char* text) override;

    const SOpcDevlaneSettings& m_settings;
    // Guards the handles, and the log's context and file (the log shares it).
    COpcLock m_lock;
    COpcMap<uint32_t, LINTOR_HANDLE> m_handles;
    std::atomic<bool> m_finished{false};
    COpcErrorLog m_log;
};
