// The state behind the exported functions: the loaded project, handles bound
// to their threads, device caches, the output log, and what tests control
// (runtime presence, injected failures, call counts, generator freeze).
// One recursive-free lock guards it all; no call sleeps while holding it.
#pragma once

#include "DevlaneApi.h"
#include "LaneProject.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace devlane
{
enum class Fn : int
{
    EasyInit,
    EasyOutputLog,
    EasyLoadErrorMessageExWM,
    CreateLintorHandle,
    DeleteLintorHandle,
    LT_SetCacheQuicklyErrorAnswerModeM,
    EasySetWaitTypeM,
    LT_CreateCacheM,
    LT_EntryCacheRecordM,
    LT_StartCacheM,
    LT_DestroyCacheM,
    ReadDeviceBitM,
    ReadDevice16M,
    ReadDeviceBCD16M,
    ReadDevice32M,
    ReadDeviceBCD32M,
    ReadDeviceFloatM,
    ReadDeviceDoubleM,
    ReadDeviceStrM,
    WriteDeviceBitDM,
    WriteDevice16DM,
    WriteDeviceBCD16DM,
    WriteDevice32DM,
    WriteDeviceBCD32DM,
    WriteDeviceFloatDM,
    WriteDeviceDoubleDM,
    WriteDeviceStrDM,
    GetLintorLoadedRXPPathW,
    EasyCheckServerFork,
    GetSymbolInformation,
    Count
};

const char* FunctionName(Fn fn);
bool FindFunction(std::string_view name, Fn& fn);

struct LogEntry
{
    LONG level;
    std::string source;
    std::string message;
};

class Runtime
{
public:
    // Created on first use with the description file beside the library; never
    // destroyed, so threads still inside the library at process end stay safe.
    static Runtime& Instance();

    // Library functions; results are library codes.
    uint32_t Init();
    uint32_t OutputLog(LONG level, const char* source, const char* message);
    bool ErrorMessage(LINTOR_HANDLE handle, uint32_t code, wchar_t* buffer);
    LINTOR_HANDLE CreateHandle();
    uint32_t DeleteHandle(LINTOR_HANDLE handle);
    uint32_t SetHandleMode(Fn fn, LINTOR_HANDLE handle, LONG value);
    uint32_t CreateCache(LINTOR_HANDLE handle, const char* name, LONG periodMs);
    uint32_t EntryCacheRecord(LINTOR_HANDLE handle, const char* cache, const char* device, const char* address,
                              LONG dataType, LONG dataCount);
    uint32_t StartCache(LINTOR_HANDLE handle, const char* name);
    uint32_t DestroyCache(LINTOR_HANDLE handle, const char* name);
    uint32_t DeviceAccess(Fn fn, LINTOR_HANDLE handle, const char* device, const char* address, int typeCode,
                          LONG count, void* buffer, bool write);
    uint32_t ProjectPath(wchar_t* path, DWORD* build);
    uint32_t CheckFork();
    uint32_t SymbolInformation(const char* device, const char* symbol, LONG mode, SymbolInfo* info);
    void CountOnly(Fn fn) { ++m_calls[static_cast<int>(fn)]; }

    // Control.
    uint32_t LoadFile(const std::wstring& path);
    uint32_t LoadText(std::string_view text);
    std::vector<std::string> Warnings();
    // One command of the control language; the reply starts with "ok" or "error".
    std::string Command(std::string_view line);
    uint32_t SetWords(const char* device, const char* address, const WORD* words, LONG count);
    uint32_t GetWords(const char* device, const char* address, WORD* words, LONG count);
    void SetRuntime(int state); // 0 down, 1 up, 2 restarted (a new runtime instance)
    uint32_t Inject(const char* function, uint32_t code, LONG calls, const char* device);
    uint32_t SetDelay(const char* device, DWORD ms);
    int64_t CallCount(const char* function);
    void ResetCounts();
    std::vector<LogEntry> OutputLogEntries();
    void Reset();
    std::wstring DefaultDescriptionPath() const;

private:
    struct HandleInfo
    {
        DWORD thread;
        LONG errorAnswerMode;
        LONG waitType;
    };
    struct Record
    {
        std::string device;
        std::string address;
        LONG dataType;
        LONG dataCount;
    };
    struct Cache
    {
        LONG periodMs = 0;
        bool started = false;
        bool reserved = false; // made by the control, standing for another client of the runtime
        std::vector<Record> records;
    };
    struct Injection
    {
        bool active = false;
        uint32_t code = 0;
        int64_t remaining = -1; // -1: until cleared
        std::string device;
    };

    Runtime();
    uint32_t Enter(Fn fn, const char* device); // counts the call; an injected code or 0
    uint32_t CheckHandle(LINTOR_HANDLE handle) const;
    void Install(std::unique_ptr<Project> project);
    uint64_t Elapsed() const;
    // The control commands, one function each; Execute picks one by its verb
    // and argument count (args[0] is the verb).
    typedef std::vector<std::string> Args;
    std::string Execute(const Args& args);
    std::string CommandPing(const Args& args);
    std::string CommandLoad(const Args& args);
    std::string CommandWarnings(const Args& args);
    std::string CommandSetOrGet(const Args& args);
    std::string CommandRuntime(const Args& args);
    std::string CommandInject(const Args& args);
    std::string CommandDelay(const Args& args);
    std::string CommandCount(const Args& args);
    std::string CommandLog(const Args& args);
    std::string CommandCaches(const Args& args);
    std::string CommandCacheReserve(const Args& args);
    std::string CommandFreeze(const Args& args);
    std::string CommandReset(const Args& args);
    std::string CommandHelp(const Args& args);

    std::mutex m_lock;
    std::unique_ptr<Project> m_project;
    uint64_t m_loadedAt = 0;
    std::map<LINTOR_HANDLE, HandleInfo> m_handles;
    LINTOR_HANDLE m_nextHandle = 0x00010001;
    std::map<std::string, Cache, std::less<>> m_caches; // found by the caller's text without a copy
    std::deque<LogEntry> m_log;
    bool m_running = true;
    uint32_t m_generation = 1;
    uint32_t m_attached = 1;
    bool m_frozen = false;
    Injection m_injections[static_cast<int>(Fn::Count)];
    std::atomic<int64_t> m_calls[static_cast<int>(Fn::Count)];
};
} // namespace devlane
