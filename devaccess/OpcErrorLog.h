// The error log: failures turned into records for people to read, kept
// newest first in memory, written to "ErrorLog\Error.log" by a writer thread,
// and the first of each kind forwarded to the runtime's own log.
#pragma once

#include "OpcContainers.h"
#include "OpcDevlaneSettings.h"
#include "OpcHandle.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcWorkerThread.h"

#include <windows.h>

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

// What the log needs from the device library when simulation is off.
class IOpcErrorLogSource
{
public:
    virtual ~IOpcErrorLogSource() = default;
    // The library's text of a device code into buffer (DEVLANE_ERROR_MESSAGE_CHARS);
    // false when it has none (the buffer may then hold part of a text).
    virtual bool LoadMessage(LONG code, wchar_t* buffer) = 0;
    // A line for the runtime's own log, in the ANSI code page.
    virtual void ForwardToRuntimeLog(const char* text) = 0;
};

class COpcErrorLog
{
public:
    static constexpr size_t MaxRecords = 1000;
    static constexpr size_t RecordChars = 1024;

    // lock is shared with the wrapper the log belongs to, so records and
    // library handles keep the one lock they always had. logDirectory null:
    // the program's directory.
    COpcErrorLog(const SOpcDevlaneSettings& settings, COpcLock& lock, IOpcErrorLogSource& source,
                 const wchar_t* logDirectory);
    // Stops the writer, then writes what it left.
    ~COpcErrorLog();
    COpcErrorLog(const COpcErrorLog&) = delete;
    COpcErrorLog& operator=(const COpcErrorLog&) = delete;

    // The writer's last act is a final flush, so nothing recorded is lost;
    // records made later stay in memory until the destructor writes them.
    void StopWriter();

    // Callers fill Context() and call WriteErrorLog while holding Lock(), so
    // no other thread's failure mixes into their record. LogFailure makes a
    // record from its arguments without touching the shared context.
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
    void WriteRecord(COpcErrorContext ctx);
    bool TakeForwarding(LONG category);
    bool OpenLogFile();
    static COpcString SimulationMessage(LONG code);
    static void WriterBody(void* data, bool stopping);
    void WriterLoop();

    const SOpcDevlaneSettings& m_settings;
    COpcLock& m_lock;
    IOpcErrorLogSource& m_source;
    COpcErrorContext m_context;
    bool m_once[7] = {true, true, true, true, true, true, true}; // index = category
    COpcHandle m_logFile;
    COpcLock m_listLock;
    COpcList<COpcString> m_records;
    COpcWorkerThread m_writer;
    volatile LONG m_dirty = 0;
    COpcString m_logDirectory;
};
