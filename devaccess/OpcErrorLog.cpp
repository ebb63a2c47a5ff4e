#include "OpcErrorLog.h"

#include "OpcProgramPath.h"

#include "DevlaneApi.h"
#include "OpcDeviceCodes.h"
#include "OpcTaskMem.h"
#include "OpcThreadRoles.h"

#include <cstdio>
#include <cstring>

namespace
{
const DWORD WriterTickMs = 100;
const int WriterTicksPerFlush = 100;

// Narrow copy of a wide text in the ANSI code page, in a task-allocator block.
bool ToAnsi(const wchar_t* text, COpcTaskMem<char>& out, int& length)
{
    length = 0;
    int needed = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (needed <= 0 || !out.Allocate(static_cast<size_t>(needed)))
        return false;
    if (WideCharToMultiByte(CP_ACP, 0, text, -1, out.Get(), needed, nullptr, nullptr) <= 0)
        return false;
    length = needed - 1;
    return true;
}
} // namespace

COpcErrorLog::COpcErrorLog(const SOpcDevlaneSettings& settings, COpcLock& lock, IOpcErrorLogSource& source,
                           const wchar_t* logDirectory)
    : m_settings(settings), m_lock(lock), m_source(source),
      m_logDirectory(logDirectory != nullptr ? COpcString(logDirectory) : ProgramDirectory())
{
    m_writer.Start(&COpcErrorLog::WriterBody, this, INFINITE, THREAD_PRIORITY_BELOW_NORMAL,
                   OpcThreadRole::ErrorLogWriter);
}

COpcErrorLog::~COpcErrorLog()
{
    StopWriter();
    // Records made after the writer stopped are written here.
    if (m_dirty)
        Flush();
    {
        COpcLockGuard guard(m_listLock);
        m_records.RemoveAll();
    }
    m_logFile.Reset();
}

void COpcErrorLog::StopWriter()
{
    m_writer.Stop(INFINITE);
}

void COpcErrorLog::LogFailure(LONG category, LONG deviceCode, const wchar_t* api, const wchar_t* cache,
                              const wchar_t* itemId, const wchar_t* property)
{
    COpcErrorContext ctx;
    ctx.category = category;
    ctx.deviceCode = deviceCode;
    ctx.api = api;
    ctx.cache = cache;
    ctx.itemId = itemId;
    ctx.property = property;
    WriteRecord(ctx);
}

COpcString COpcErrorLog::SimulationMessage(LONG code)
{
    static const struct
    {
        DWORD code;
        DWORD message;
    } texts[] = {{0xC0B00731, 0x48004}, {0xC0B00732, 0x48005}, {0xC0B00733, 0x48006}, {0xC0B00735, 0x48003},
                 {0xC0B00736, 0x48007}, {0xC0B00737, 0x48008}, {0xC0B00739, 0x48009}};
    for (const auto& t : texts)
    {
        if (t.code == static_cast<DWORD>(code))
            return MessageText(t.message);
    }
    return COpcString();
}

bool COpcErrorLog::OpenLogFile()
{
    if (m_logFile.IsValid())
        return true;
    COpcString path = m_logDirectory + COpcString(L"\\ErrorLog\\Error.log");
    // A read-only log from an earlier run must not stop this one.
    SetFileAttributesW(path.Text(), FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(path.Text());
    HANDLE file =
        CreateFileW(path.Text(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    m_logFile.Reset(file);
    return true;
}

void COpcErrorLog::WriteErrorLog()
{
    // Take the shared context and clear it at once; the record is made from
    // the copy, so the library calls it needs run without this lock.
    COpcErrorContext ctx;
    {
        COpcLockGuard guard(m_lock);
        ctx = m_context;
        m_context = COpcErrorContext();
    }
    WriteRecord(ctx);
}

bool COpcErrorLog::TakeForwarding(LONG category)
{
    if (category == OPC_LOG_GENERAL)
        return true;
    if (category < 1 || category > 6)
        return false;
    COpcLockGuard guard(m_lock);
    bool first = m_once[category];
    m_once[category] = false;
    return first;
}

void COpcErrorLog::WriteRecord(COpcErrorContext ctx)
{
    if (m_settings.outputLogDisable)
        return;

    COpcTaskMem<wchar_t> buffer;
    const wchar_t* message = L"";
    COpcString simulationText;
    if (m_settings.simulationEnabled)
    {
        simulationText = SimulationMessage(ctx.deviceCode);
        message = simulationText.TextOrEmpty();
    }
    else if (buffer.Allocate(DEVLANE_ERROR_MESSAGE_CHARS))
    {
        // A failed lookup may leave part of a text; it is printed as it stands.
        bool found = m_source.LoadMessage(ctx.deviceCode, buffer.Get());
        buffer.Get()[DEVLANE_ERROR_MESSAGE_CHARS - 1] = L'\0';
        message = buffer.Get();
        COpcTaskMem<char> narrow;
        int length = 0;
        if (found && TakeForwarding(ctx.category) && ToAnsi(message, narrow, length))
            m_source.ForwardToRuntimeLog(narrow.Get());
    }

    {
        COpcLockGuard guard(m_lock);
        if (!OpenLogFile())
            return; // the record is lost; the next one tries the file again
    }

    bool known = true;
    ctx.oleCode = MapDeviceCode(ctx.deviceCode, &known);
    // A code without a translation reaches clients as a plain device failure;
    // the record keeps the library's own code for whoever reads the log.
    wchar_t codeNote[40] = L"";
    if (!known)
        _snwprintf(codeNote, 40, L" (device code 0x%8.8x)", static_cast<unsigned>(ctx.deviceCode));
    SYSTEMTIME now;
    GetLocalTime(&now);
    wchar_t record[RecordChars];
    int n = _snwprintf(record, RecordChars,
                       L"%d/%02d/%02d %02d:%02d:%02d\r\n  OLECode  = 0x%8.8x \r\n  API      = %ls \r\n  Cache    = "
                       L"%ls \r\n  ItemID   = %ls\r\n  Property = %ls\r\n  Message  = %ls%ls \r\n\r\n",
                       now.wYear, now.wMonth, now.wDay, now.wHour, now.wMinute, now.wSecond,
                       static_cast<unsigned>(ctx.oleCode), ctx.api ? ctx.api : L"", ctx.cache ? ctx.cache : L"",
                       ctx.itemId ? ctx.itemId : L"", ctx.property ? ctx.property : L"", message, codeNote);
    if (n < 0 || n >= static_cast<int>(RecordChars))
        record[RecordChars - 1] = L'\0';

    COpcLockGuard list(m_listLock);
    if (m_records.GetCount() >= MaxRecords)
        m_records.RemoveTail();
    m_records.AddHead(COpcString(record));
    m_dirty = 1;
}

size_t COpcErrorLog::RecordCount()
{
    COpcLockGuard list(m_listLock);
    return m_records.GetCount();
}

COpcString COpcErrorLog::RecordAt(size_t index)
{
    COpcLockGuard list(m_listLock);
    size_t i = 0;
    for (const COpcString& r : m_records)
    {
        if (i++ == index)
            return r;
    }
    return COpcString();
}

void COpcErrorLog::Flush()
{
    COpcArray<COpcString> copy;
    {
        COpcLockGuard list(m_listLock);
        if (copy.SetSize(static_cast<UINT>(m_records.GetCount())))
        {
            UINT i = 0;
            for (const COpcString& r : m_records)
            {
                if (!r.IsEmpty())
                    copy[i++] = r;
            }
            copy.SetSize(i);
        }
        m_dirty = 0;
    }
    if (copy.GetSize() == 0 || !m_logFile.IsValid())
        return;
    HANDLE file = m_logFile.Get();
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    for (UINT i = 0; i < copy.GetSize(); ++i)
    {
        COpcTaskMem<char> narrow;
        int length = 0;
        if (!ToAnsi(copy[i].Text(), narrow, length))
            continue;
        DWORD written = 0;
        WriteFile(file, narrow.Get(), static_cast<DWORD>(length), &written, nullptr);
    }
    SetEndOfFile(file);
}

void COpcErrorLog::WriterBody(void* data, bool stopping)
{
    if (stopping || data == nullptr)
        return;
    static_cast<COpcErrorLog*>(data)->WriterLoop();
}

void COpcErrorLog::WriterLoop()
{
    int counter = 0;
    while (!m_writer.IsStopRequested())
    {
        if (counter > WriterTicksPerFlush)
        {
            if (m_dirty)
                Flush();
            counter = 0;
        }
        else
        {
            ++counter;
            // The stop message wakes the tick, so a stop does not wait out a sleep.
            MsgWaitForMultipleObjects(0, nullptr, FALSE, WriterTickMs, QS_POSTMESSAGE);
        }
    }
    Flush();
}
