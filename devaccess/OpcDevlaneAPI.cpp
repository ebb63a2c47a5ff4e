#include "OpcDevlaneAPI.h"

#include "OpcTaskMem.h"

#include <cstdio>
#include <cstring>

namespace
{
const char* const LogSource = "Kestrix:";
const DWORD StartMessage = 0x48000;
const DWORD StopMessage = 0x48001;

// Library texts are narrow in the ANSI code page; an empty text is passed as null.
inline const char* Narrow(const COpcString& text)
{
    return text.IsEmpty() ? nullptr : text.NarrowText();
}

inline const wchar_t* OrNull(const COpcString& text)
{
    return text.IsEmpty() ? nullptr : text.Text();
}

// Where a read gathers the library's answer before the caller's output is
// touched: on the stack for the short reads that polling makes, from the task
// allocator for long ones.
template <class T>
class CReadScratch
{
public:
    // False for a count below 1 or when a long array cannot be allocated.
    bool Reserve(short count) noexcept
    {
        if (count <= 0)
            return false;
        if (static_cast<size_t>(count) <= LocalCount)
        {
            // Cleared like an allocated block, so a short answer never shows stale bytes.
            memset(m_local, 0, static_cast<size_t>(count) * sizeof(T));
            m_data = m_local;
            return true;
        }
        if (!m_heap.Allocate(static_cast<size_t>(count)))
            return false;
        m_data = m_heap.Get();
        return true;
    }
    T* Get() const noexcept { return m_data; }

private:
    static constexpr size_t LocalCount = 512 / sizeof(T);
    T m_local[LocalCount];
    COpcTaskMem<T> m_heap;
    T* m_data = nullptr;
};

} // namespace

COpcDevlaneAPI::COpcDevlaneAPI(const SOpcDevlaneSettings& settings, const wchar_t* logDirectory)
    : m_settings(settings), m_log(settings, m_lock, *this, logDirectory)
{
}

COpcDevlaneAPI::~COpcDevlaneAPI()
{
    // The log, going after this, writes the records made after an early Finish.
    Finish();
}

bool COpcDevlaneAPI::LoadMessage(LONG code, wchar_t* buffer)
{
    LINTOR_HANDLE h = GetThreadHandle();
    return h != 0 && EasyLoadErrorMessageExWM(h, code, buffer) != 0;
}

void COpcDevlaneAPI::ForwardToRuntimeLog(const char* text)
{
    EasyOutputLog(DEVLANE_LOG_ERROR, LogSource, text);
}

void COpcDevlaneAPI::Finish()
{
    // A second stop message would report a stop that never happened.
    if (m_finished.exchange(true))
        return;
    if (!m_settings.simulationEnabled)
    {
        COpcList<LINTOR_HANDLE> handles;
        {
            COpcLockGuard guard(m_lock);
            for (auto& entry : m_handles)
                handles.AddTail(entry.value);
            m_handles.RemoveAll();
        }
        for (LINTOR_HANDLE h : handles)
            DeleteLintorHandle(h);
        if (!m_settings.outputLogDisable)
        {
            COpcString text = MessageText(StopMessage);
            if (text.IsEmpty() || EasyOutputLog(DEVLANE_LOG_STOP, LogSource, text.NarrowText()) != 0)
                LogFailure(OPC_LOG_GENERAL, OPC_DEV_E_START_STOP, L"COpcDevlaneAPI::~COpcDevlaneAPI");
        }
    }
    m_log.StopWriter();
}

HRESULT COpcDevlaneAPI::Init()
{
    LONG code = EasyInit();
    if (code != 0)
        return Fail(OPC_LOG_GENERAL, OPC_DEV_E_START_STOP, L"COpcDevlaneAPI::Init");
    if (m_settings.outputLogDisable)
        return S_OK;
    COpcString text = MessageText(StartMessage);
    if (text.IsEmpty())
        return Fail(OPC_LOG_GENERAL, OPC_DEV_E_START_STOP, L"COpcDevlaneAPI::Init");
    code = EasyOutputLog(DEVLANE_LOG_START, LogSource, text.NarrowText());
    if (code != 0)
        return Fail(OPC_LOG_GENERAL, code, L"COpcDevlaneAPI::Init");
    return S_OK;
}

void COpcDevlaneAPI::CreateThreadHandle(DWORD threadId)
{
    // Only the owning thread creates its entry, so checking and storing need
    // not be one step; the library calls run outside the lock.
    if (threadId != GetCurrentThreadId())
        return;
    {
        COpcLockGuard guard(m_lock);
        if (m_handles.Lookup(threadId) != nullptr)
            return;
    }
    auto handle = static_cast<LINTOR_HANDLE>(CreateLintorHandle());
    if (handle == 0)
    {
        LogFailure(OPC_LOG_GENERAL, OPC_DEV_E_NO_HANDLE, L"CreateLintorHandle");
        return;
    }
    {
        COpcLockGuard guard(m_lock);
        if (!m_handles.SetAt(threadId, handle))
        {
            DeleteLintorHandle(handle);
            LogFailure(OPC_LOG_GENERAL, OPC_DEV_E_OUTOFMEMORY, L"CreateLintorHandle");
            return;
        }
    }
    LONG code = LT_SetCacheQuicklyErrorAnswerModeM(handle, 7);
    if (code != 0)
    {
        LogFailure(OPC_LOG_GENERAL, code, L"LT_SetCacheQuicklyErrorAnswerModeM");
        return;
    }
    code = EasySetWaitTypeM(handle, 2);
    if (code != 0)
        LogFailure(OPC_LOG_GENERAL, code, L"EasySetWaitTypeM");
}

void COpcDevlaneAPI::DeleteThreadHandle(DWORD threadId)
{
    LINTOR_HANDLE handle = 0;
    {
        COpcLockGuard guard(m_lock);
        LINTOR_HANDLE* found = m_handles.Lookup(threadId);
        if (found == nullptr)
            return;
        handle = *found;
        m_handles.RemoveKey(threadId);
    }
    DeleteLintorHandle(handle);
}

LINTOR_HANDLE COpcDevlaneAPI::GetThreadHandle()
{
    COpcLockGuard guard(m_lock);
    LINTOR_HANDLE* found = m_handles.Lookup(GetCurrentThreadId());
    return found != nullptr ? *found : 0;
}

HRESULT COpcDevlaneAPI::Fail(LONG category, LONG code, const wchar_t* api, const wchar_t* cache,
                             const wchar_t* property)
{
    LogFailure(category, code, api, cache, nullptr, property);
    return MapDeviceCode(code);
}

HRESULT COpcDevlaneAPI::CreateCache(const COpcString& cacheName, DWORD periodMs)
{
    LINTOR_HANDLE h = GetThreadHandle();
    if (h == 0)
        return Fail(OPC_LOG_GENERAL, OPC_DEV_E_NO_HANDLE, L"LT_CreateCacheM", OrNull(cacheName));
    LONG code = LT_CreateCacheM(h, Narrow(cacheName), static_cast<LONG>(periodMs));
    // The caller tries the next name; a name in use is no failure to report.
    if (code == DEVLANE_E_CACHE_NAME_IN_USE)
        return OPC_DEV_E_CACHE_NAME_IN_USE;
    if (code != 0)
        return Fail(OPC_LOG_GENERAL, code, L"LT_CreateCacheM", OrNull(cacheName));
    return S_OK;
}

HRESULT COpcDevlaneAPI::EntryCacheRecord(const COpcString& cacheName, const COpcString& device,
                                         const COpcString& address, LONG dataType, LONG dataCount)
{
    LINTOR_HANDLE h = GetThreadHandle();
    LONG code = h == 0
                    ? static_cast<LONG>(OPC_DEV_E_NO_HANDLE)
                    : LT_EntryCacheRecordM(h, Narrow(cacheName), Narrow(device), Narrow(address), dataType, dataCount);
    if (code == 0)
        return S_OK;
    // Two frequent codes get categories of their own so each reaches the runtime log once.
    LONG category = code == static_cast<LONG>(OPC_DEV_E_RECORD_4)   ? OPC_LOG_CACHE_RECORD_289
                    : code == static_cast<LONG>(OPC_DEV_E_RECORD_5) ? OPC_LOG_CACHE_RECORD_28A
                                                                    : OPC_LOG_CACHE_RECORD;
    return Fail(category, code, L"LT_EntryCacheRecordM", OrNull(cacheName));
}

HRESULT COpcDevlaneAPI::StartCache(const COpcString& cacheName)
{
    LINTOR_HANDLE h = GetThreadHandle();
    LONG code = h == 0 ? static_cast<LONG>(OPC_DEV_E_NO_HANDLE) : LT_StartCacheM(h, Narrow(cacheName));
    return code == 0 ? S_OK : Fail(OPC_LOG_GENERAL, code, L"LT_StartCacheM", OrNull(cacheName));
}

HRESULT COpcDevlaneAPI::DestroyCache(const COpcString& cacheName)
{
    LINTOR_HANDLE h = GetThreadHandle();
    LONG code = h == 0 ? static_cast<LONG>(OPC_DEV_E_NO_HANDLE) : LT_DestroyCacheM(h, Narrow(cacheName));
    return code == 0 ? S_OK : Fail(OPC_LOG_GENERAL, code, L"LT_DestroyCacheM", OrNull(cacheName));
}

HRESULT COpcDevlaneAPI::GetLoadedProjectPath(COpcString& path, DWORD& buildNumber)
{
    wchar_t buffer[DEVLANE_PATH_CHARS] = {};
    DWORD build = 0;
    LONG code = GetLintorLoadedRXPPathW(buffer, &build);
    if (code != 0)
        return Fail(OPC_LOG_GENERAL, code, L"GetLintorLoadedRXPPathW");
    buffer[DEVLANE_PATH_CHARS - 1] = L'\0'; // a full buffer still ends in the path's terminator
    path = COpcString(buffer);
    buildNumber = build;
    return S_OK;
}

HRESULT COpcDevlaneAPI::CheckServerFork()
{
    LONG code = EasyCheckServerFork();
    return code == 0 ? S_OK : Fail(OPC_LOG_GENERAL, code, L"EasyCheckServerFork");
}

HRESULT COpcDevlaneAPI::GetSymbolInfo(const COpcString& device, const COpcString& symbol, SymbolInfo& info)
{
    BYTE scratch[DEVLANE_SYMBOL_SCRATCH] = {};
    DWORD reserved = 0;
    LONG code = GetSymbolInformation(Narrow(device), Narrow(symbol), 1, scratch, &info, &reserved);
    if (code != 0)
        return Fail(OPC_LOG_GENERAL, code, L"GetSymbolInformation");
    info.symbolName[sizeof(info.symbolName) - 1] = '\0';
    info.deviceAddress[sizeof(info.deviceAddress) - 1] = '\0';
    return S_OK;
}

// ---- reads and writes -------------------------------------------------------

template <class LibT, class OutT, class Fn>
HRESULT COpcDevlaneAPI::Read(const wchar_t* api, Fn fn, const COpcString& device, const COpcString& address,
                             OutT* values, short count)
{
    LINTOR_HANDLE h = GetThreadHandle();
    if (h == 0)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_NO_HANDLE, api, nullptr, L"Value");
    if (values == nullptr)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_POINTER, api, nullptr, L"Value");
    // Read into a scratch array so the caller's output changes only on success.
    CReadScratch<LibT> scratch;
    if (!scratch.Reserve(count))
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_OUTOFMEMORY, api, nullptr, L"Value");
    LONG code = fn(h, Narrow(device), Narrow(address), scratch.Get(), count);
    if (code != 0)
        return Fail(OPC_LOG_DEVICE_IO, code, api, nullptr, L"Value");
    for (short i = 0; i < count; ++i)
        values[i] = static_cast<OutT>(scratch.Get()[i]);
    return S_OK;
}

template <class T, class Fn>
HRESULT COpcDevlaneAPI::Write(const wchar_t* api, Fn fn, const COpcString& device, const COpcString& address,
                              const T* values, short count)
{
    LINTOR_HANDLE h = GetThreadHandle();
    if (h == 0)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_NO_HANDLE, api, nullptr, L"Value");
    // The library would read through a null array; refuse it here instead.
    if (values == nullptr && count > 0)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_POINTER, api, nullptr, L"Value");
    LONG code = fn(h, Narrow(device), Narrow(address), values, count);
    return code == 0 ? S_OK : Fail(OPC_LOG_DEVICE_IO, code, api, nullptr, L"Value");
}

HRESULT COpcDevlaneAPI::ReadDeviceBitM(const COpcString& device, const COpcString& address, LONG* values, short count)
{
    const wchar_t* api = L"ReadDeviceBitM";
    LINTOR_HANDLE h = GetThreadHandle();
    if (h == 0)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_NO_HANDLE, api, nullptr, L"Value");
    if (values == nullptr)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_POINTER, api, nullptr, L"Value");
    CReadScratch<WORD> words;
    if (!words.Reserve(count))
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_OUTOFMEMORY, api, nullptr, L"Value");
    LONG code = ::ReadDeviceBitM(h, Narrow(device), Narrow(address), words.Get(), count);
    if (code != 0)
        return Fail(OPC_LOG_DEVICE_IO, code, api, nullptr, L"Value");
    for (short i = 0; i < count; ++i)
        values[i] = (words.Get()[i / 16] >> (i % 16)) & 1;
    return S_OK;
}

HRESULT COpcDevlaneAPI::ReadDevice16M(const COpcString& device, const COpcString& address, short* values, short count)
{
    return Read<short>(L"ReadDevice16M", ::ReadDevice16M, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDeviceU16M(const COpcString& device, const COpcString& address, unsigned short* values,
                                       short count)
{
    return Read<short>(L"ReadDeviceU16M", ::ReadDevice16M, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDeviceBCD16M(const COpcString& device, const COpcString& address, short* values,
                                         short count)
{
    return Read<short>(L"ReadDeviceBCD16M", ::ReadDeviceBCD16M, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDevice32M(const COpcString& device, const COpcString& address, LONG* values, short count)
{
    return Read<LONG>(L"ReadDevice32M", ::ReadDevice32M, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDeviceU32M(const COpcString& device, const COpcString& address, ULONG* values, short count)
{
    return Read<LONG>(L"ReadDeviceU32M", ::ReadDevice32M, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDeviceBCD32M(const COpcString& device, const COpcString& address, LONG* values, short count)
{
    return Read<LONG>(L"ReadDeviceBCD32M", ::ReadDeviceBCD32M, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDeviceFloatM(const COpcString& device, const COpcString& address, float* values,
                                         short count)
{
    return Read<float>(L"ReadDeviceFloatM", ::ReadDeviceFloatM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDeviceDoubleM(const COpcString& device, const COpcString& address, double* values,
                                          short count)
{
    return Read<double>(L"ReadDeviceDoubleM", ::ReadDeviceDoubleM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::ReadDeviceStrM(const COpcString& device, const COpcString& address, char* text, short count)
{
    const wchar_t* api = L"ReadDeviceStrM";
    LINTOR_HANDLE h = GetThreadHandle();
    if (h == 0)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_NO_HANDLE, api, nullptr, L"Value");
    if (text == nullptr)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_POINTER, api, nullptr, L"Value");
    LONG code = ::ReadDeviceStrM(h, Narrow(device), Narrow(address), text, count);
    return code == 0 ? S_OK : Fail(OPC_LOG_DEVICE_IO, code, api, nullptr, L"Value");
}

HRESULT COpcDevlaneAPI::WriteDeviceBitDM(const COpcString& device, const COpcString& address, const LONG* flags,
                                         short count)
{
    const wchar_t* api = L"WriteDeviceBitDM";
    // The packed form holds 256 bits; more would run past it.
    if (count < 0 || count > MaxBitWrite)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_INVALIDARG, api, nullptr, L"Value");
    if (flags == nullptr && count > 0)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_POINTER, api, nullptr, L"Value");
    WORD words[MaxBitWrite / 16] = {};
    for (short k = 0; k < count; ++k)
    {
        if (flags[k] != 0)
            words[k / 16] |= static_cast<WORD>(1u << (k % 16));
    }
    LINTOR_HANDLE h = GetThreadHandle();
    if (h == 0)
        return Fail(OPC_LOG_DEVICE_IO, OPC_DEV_E_NO_HANDLE, api, nullptr, L"Value");
    LONG code = ::WriteDeviceBitDM(h, Narrow(device), Narrow(address), words, count);
    return code == 0 ? S_OK : Fail(OPC_LOG_DEVICE_IO, code, api, nullptr, L"Value");
}

HRESULT COpcDevlaneAPI::WriteDevice16DM(const COpcString& device, const COpcString& address, const short* values,
                                        short count)
{
    return Write(L"WriteDevice16DM", ::WriteDevice16DM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::WriteDeviceU16DM(const COpcString& device, const COpcString& address,
                                         const unsigned short* values, short count)
{
    return Write(L"WriteDeviceU16DM", ::WriteDevice16DM, device, address, reinterpret_cast<const short*>(values),
                 count);
}

HRESULT COpcDevlaneAPI::WriteDeviceBCD16DM(const COpcString& device, const COpcString& address, const short* values,
                                           short count)
{
    return Write(L"WriteDeviceBCD16DM", ::WriteDeviceBCD16DM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::WriteDevice32DM(const COpcString& device, const COpcString& address, const LONG* values,
                                        short count)
{
    return Write(L"WriteDevice32DM", ::WriteDevice32DM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::WriteDeviceU32DM(const COpcString& device, const COpcString& address, const ULONG* values,
                                         short count)
{
    return Write(L"WriteDeviceU32DM", ::WriteDevice32DM, device, address, reinterpret_cast<const LONG*>(values), count);
}

HRESULT COpcDevlaneAPI::WriteDeviceBCD32DM(const COpcString& device, const COpcString& address, const LONG* values,
                                           short count)
{
    return Write(L"WriteDeviceBCD32DM", ::WriteDeviceBCD32DM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::WriteDeviceFloatDM(const COpcString& device, const COpcString& address, const float* values,
                                           short count)
{
    return Write(L"WriteDeviceFloatDM", ::WriteDeviceFloatDM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::WriteDeviceDoubleDM(const COpcString& device, const COpcString& address, const double* values,
                                            short count)
{
    return Write(L"WriteDeviceDoubleDM", ::WriteDeviceDoubleDM, device, address, values, count);
}

HRESULT COpcDevlaneAPI::WriteDeviceStrDM(const COpcString& device, const COpcString& address, const char* text,
                                         short count)
{
    return Write(L"WriteDeviceStrDM", ::WriteDeviceStrDM, device, address, text, count);
}
