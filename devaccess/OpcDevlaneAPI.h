// The one wrapper around the device-access library: per-thread library
// handles, every device operation the server uses, and the error log that
// turns failures into records for people to read.
#pragma once

#include "DevlaneApi.h"
#include "OpcContainers.h"
#include "OpcDeviceCodes.h"
#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcWorkerThread.h"

#include <atomic>
#include <cstdint>

class COpcDaSettings;

// Error-log categories; they decide forwarding to the runtime's own log.
enum : LONG
{
    OPC_LOG_GENERAL = 0,      // forwarded every time
    OPC_LOG_CACHE_RECORD = 1, // this and the rest: first record only
    OPC_LOG_DEVICE_CONFIG = 2,
    OPC_LOG_DEVICE_IO = 3,
    OPC_LOG_CACHE_RECORD_289 = 4,
    OPC_LOG_CACHE_RECORD_28A = 5,
    OPC_LOG_DEVICE_LOAD = 6
};

// What a caller knows about a failure. Texts are borrowed and must live until
// WriteErrorLog returns.
struct COpcErrorContext
{
    LONG category = 0;
    LONG deviceCode = 0;
    HRESULT oleCode = S_OK;
    const wchar_t* api = nullptr;
    const wchar_t* cache = nullptr;
    const wchar_t* itemId = nullptr;
    const wchar_t* property = nullptr;
};

class COpcDevlaneAPI
{
public:
    static constexpr size_t MaxRecords = 1000;
    static constexpr size_t RecordChars = 1024;
    static constexpr short MaxBitWrite = 256;

    // logDirectory overrides the program directory for the "ErrorLog\Error.log" file.
    explicit COpcDevlaneAPI(const COpcDaSettings& settings, const wchar_t* logDirectory = nullptr);
    // Finish, if nobody did, then frees the records and closes the file.
    ~COpcDevlaneAPI();
    COpcDevlaneAPI(const COpcDevlaneAPI&) = delete;
    COpcDevlaneAPI& operator=(const COpcDevlaneAPI&) = delete;

    HRESULT Init();
    // The library's end of the process: every handle deleted, the stop
    // message, and the writer stopped after its final flush. Only the first
    // call acts, so a process that ends with clients still connected can
    // finish the library without destroying the object they use; later
    // operations find no handle, and their records stay in memory until the
    // destructor writes them.
    void Finish();
    void CreateThreadHandle(DWORD threadId);
    void DeleteThreadHandle(DWORD threadId);
    LINTOR_HANDLE GetThreadHandle();

    HRESULT CreateCache(const COpcString& cacheName, DWORD periodMs);
    HRESULT EntryCacheRecord(const COpcString& cacheName, const COpcString& device, const COpcString& address,
                             LONG dataType, LONG dataCount);
    HRESULT StartCache(const COpcString& cacheName);
    HRESULT DestroyCache(const COpcString& cacheName);
    HRESULT GetLoadedProjectPath(COpcString& path, DWORD& buildNumber);
    HRESULT CheckServerFork();
    HRESULT GetSymbolInfo(const COpcString& device, const COpcString& symbol, SymbolInfo& info);

    // Reads leave the output untouched on failure. Bit reads give one 0/1 per bit.
    HRESULT ReadDeviceBitM(const COpcString& device, const COpcString& address, LONG* values, short count);
    HRESULT ReadDevice16M(const COpcString& device, const COpcString& address, short* values, short count);
    HRESULT ReadDeviceU16M(const COpcString& device, const COpcString& address, unsigned short* values, short count);
    HRESULT ReadDeviceBCD16M(const COpcString& device, const COpcString& address, short* values, short count);
    HRESULT ReadDevice32M(const COpcString& device, const COpcString& address, LONG* values, short count);
    HRESULT ReadDeviceU32M(const COpcString& device, const COpcString& address, ULONG* values, short count);
    HRESULT ReadDeviceBCD32M(const COpcString& device, const COpcString& address, LONG* values, short count);
    HRESULT ReadDeviceFloatM(const COpcString& device, const COpcString& address, float* values, short count);
    HRESULT ReadDeviceDoubleM(const COpcString& device, const COpcString& address, double* values, short count);
    HRESULT ReadDeviceStrM(const COpcString& device, const COpcString& address, char* text, short count);

    // Bit writes take one flag per bit, at most MaxBitWrite of them.
    HRESULT WriteDeviceBitDM(const COpcString& device, const COpcString& address, const LONG* flags, short count);
    HRESULT WriteDevice16DM(const COpcString& device, const COpcString& address, const short* values, short count);
    HRESULT WriteDeviceU16DM(const COpcString& device, const COpcString& address, const unsigned short* values,
                             short count);
    HRESULT WriteDeviceBCD16DM(const COpcString& device, const COpcString& address, const short* values, short count);
    HRESULT WriteDevice32DM(const COpcString& device, const COpcString& address, const LONG* values, short count);
    HRESULT WriteDeviceU32DM(const COpcString& device, const COpcString& address, const ULONG* values, short count);
    HRESULT WriteDeviceBCD32DM(const COpcString& device, const COpcString& address, const LONG* values, short count);
    HRESULT WriteDeviceFloatDM(const COpcString& device, const COpcString& address, const float* values, short count);
    HRESULT WriteDeviceDoubleDM(const COpcString& device, const COpcString& address, const double* values,
                                short count);
    HRESULT WriteDeviceStrDM(const COpcString& device, const COpcString& address, const char* text, short count);

    // The error log. Callers fill Context() and call WriteErrorLog while holding
    // Lock(), so no other thread's failure mixes into their record. LogFailure
    // makes a record from its arguments without touching the shared context.
    COpcLock& Lock() { return m_lock; }
    COpcErrorContext& Context() { return m_context; }
    void WriteErrorLog();
    void LogFailure(LONG category, LONG deviceCode, const wchar_t* api, const wchar_t* cache = nullptr,
                    const wchar_t* itemId = nullptr, const wchar_t* property = nullptr);

    // For tests and the writer: the records, newest first, and an immediate flush.
    size_t RecordCount();
    COpcString RecordAt(size_t index);
    void Flush();

private:
    template <class LibT, class OutT, class Fn>
    HRESULT Read(const wchar_t* api, Fn fn, const COpcString& device, const COpcString& address, OutT* values,
                 short count);
    template <class T, class Fn>
    HRESULT Write(const wchar_t* api, Fn fn, const COpcString& device, const COpcString& address, const T* values,
                  short count);
    HRESULT Fail(LONG category, LONG code, const wchar_t* api, const wchar_t* cache = nullptr,
                 const wchar_t* property = nullptr);
    void ClearContext();
    void WriteRecord(COpcErrorContext ctx);
    bool TakeForwarding(LONG category);
    bool OpenLogFile();
    COpcString SimulationMessage(LONG code);
    static void WriterBody(void* data, bool stopping);
    void WriterLoop();

    const COpcDaSettings& m_settings;
    COpcLock m_lock;
    COpcErrorContext m_context;
    bool m_once[7] = {true, true, true, true, true, true, true}; // index = category
    COpcHandle m_logFile;
    COpcMap<uint32_t, LINTOR_HANDLE> m_handles;
    COpcLock m_listLock;
    COpcList<COpcString> m_records;
    COpcWorkerThread m_writer;
    volatile LONG m_dirty = 0;
    std::atomic<bool> m_finished{false};
    COpcString m_logDirectory;
};
