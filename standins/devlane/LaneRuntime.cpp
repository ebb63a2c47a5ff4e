#include "LaneRuntime.h"

#include "LaneCodes.h"
#include "LaneText.h"

#include <windows.h>

#include <cstring>

namespace devlane
{
void StartControlChannel(); // LaneControl.cpp

namespace
{
const char* const kFunctionNames[] = {
    "EasyInit",
    "EasyOutputLog",
    "EasyLoadErrorMessageExWM",
    "CreateLintorHandle",
    "DeleteLintorHandle",
    "LT_SetCacheQuicklyErrorAnswerModeM",
    "EasySetWaitTypeM",
    "LT_CreateCacheM",
    "LT_EntryCacheRecordM",
    "LT_StartCacheM",
    "LT_DestroyCacheM",
    "ReadDeviceBitM",
    "ReadDevice16M",
    "ReadDeviceBCD16M",
    "ReadDevice32M",
    "ReadDeviceBCD32M",
    "ReadDeviceFloatM",
    "ReadDeviceDoubleM",
    "ReadDeviceStrM",
    "WriteDeviceBitDM",
    "WriteDevice16DM",
    "WriteDeviceBCD16DM",
    "WriteDevice32DM",
    "WriteDeviceBCD32DM",
    "WriteDeviceFloatDM",
    "WriteDeviceDoubleDM",
    "WriteDeviceStrDM",
    "GetLintorLoadedRXPPathW",
    "EasyCheckServerFork",
    "GetSymbolInformation",
};
static_assert(sizeof kFunctionNames / sizeof kFunctionNames[0] == static_cast<size_t>(Fn::Count), "function names");

const size_t kMaxLogEntries = 10000;
const size_t kMaxHandles = 4096;
const size_t kMaxCaches = 10000;
const size_t kMaxRecords = 100000;
const size_t kMaxNameLength = 255;
const DWORD kMaxDelayMs = 60000;

bool ValidName(const char* name)
{
    return name != nullptr && *name != '\0' && std::strlen(name) <= kMaxNameLength;
}

std::string Ok(const std::string& text = std::string())
{
    return text.empty() ? "ok" : "ok " + text;
}

std::string Error(const std::string& text)
{
    return "error " + text;
}

HMODULE ThisModule()
{
    HMODULE module = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}
} // namespace

const char* FunctionName(Fn fn)
{
    return kFunctionNames[static_cast<int>(fn)];
}

bool FindFunction(std::string_view name, Fn& fn)
{
    for (int i = 0; i < static_cast<int>(Fn::Count); ++i)
        if (EqualsNoCase(name, kFunctionNames[i]))
        {
            fn = static_cast<Fn>(i);
            return true;
        }
    return false;
}

Runtime& Runtime::Instance()
{
    static Runtime* instance = []
    {
        Runtime* r = new Runtime();
        StartControlChannel();
        return r;
    }();
    return *instance;
}

Runtime::Runtime()
{
    for (auto& c : m_calls)
        c = 0;
    Install(LoadDescriptionFile(DefaultDescriptionPath()));
}

std::wstring Runtime::DefaultDescriptionPath() const
{
    std::wstring path(MAX_PATH, L'\0');
    DWORD n = GetModuleFileNameW(ThisModule(), &path[0], static_cast<DWORD>(path.size()));
    while (n == path.size() && path.size() < 32768)
    {
        path.resize(path.size() * 2);
        n = GetModuleFileNameW(ThisModule(), &path[0], static_cast<DWORD>(path.size()));
    }
    path.resize(n);
    size_t slash = path.find_last_of(L"\\/");
    path = slash == std::wstring::npos ? std::wstring() : path.substr(0, slash + 1);
    return path + L"Devlane.ini";
}

void Runtime::Install(std::unique_ptr<Project> project)
{
    // Caches belong to the project the runtime had loaded; a new project starts without.
    m_caches.clear();
    m_running = !project->startsDown;
    m_project = std::move(project);
    m_loadedAt = GetTickCount64();
}

uint64_t Runtime::Elapsed() const
{
    return GetTickCount64() - m_loadedAt;
}

uint32_t Runtime::Enter(Fn fn, const char* device)
{
    ++m_calls[static_cast<int>(fn)];
    Injection& injection = m_injections[static_cast<int>(fn)];
    if (!injection.active)
        return kOk;
    if (!injection.device.empty() && (device == nullptr || !EqualsNoCase(injection.device, device)))
        return kOk;
    uint32_t code = injection.code;
    if (injection.remaining > 0 && --injection.remaining == 0)
        injection = Injection();
    return code;
}

uint32_t Runtime::CheckHandle(LINTOR_HANDLE handle) const
{
    auto it = m_handles.find(handle);
    if (handle == 0 || it == m_handles.end())
        return kInvalidHandle;
    if (it->second.thread != GetCurrentThreadId())
        return kForeignThread;
    return kOk;
}

uint32_t Runtime::Init()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::EasyInit, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    m_attached = m_generation;
    return kOk;
}

uint32_t Runtime::OutputLog(LONG level, const char* source, const char* message)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::EasyOutputLog, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (message == nullptr)
        return kInvalidArgument;
    if (m_log.size() >= kMaxLogEntries)
        m_log.pop_front();
    m_log.push_back(LogEntry{level, source != nullptr ? source : "", message});
    return kOk;
}

bool Runtime::ErrorMessage(LINTOR_HANDLE handle, uint32_t code, wchar_t* buffer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (Enter(Fn::EasyLoadErrorMessageExWM, nullptr) != kOk)
        return false;
    if (buffer == nullptr || CheckHandle(handle) != kOk)
        return false;
    std::wstring text;
    auto it = m_project->messages.find(code);
    if (it != m_project->messages.end())
        text = it->second;
    else
    {
        for (const CodeText& t : kDefaultTexts)
            if (t.code == code)
                text = AnsiToWide(t.text);
        // Every code of the library's own range has a text, if only a plain one.
        if (text.empty() && code >= 0xC0B00000 && code <= 0xC0B002FF)
            text = AnsiToWide(Format("Lintor runtime error 0x%08lX.", static_cast<unsigned long>(code)));
    }
    if (text.empty())
        return false;
    size_t n = text.size() < DEVLANE_ERROR_MESSAGE_CHARS - 1 ? text.size() : DEVLANE_ERROR_MESSAGE_CHARS - 1;
    std::memcpy(buffer, text.data(), n * sizeof(wchar_t));
    buffer[n] = L'\0';
    return true;
}

LINTOR_HANDLE Runtime::CreateHandle()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (Enter(Fn::CreateLintorHandle, nullptr) != kOk || !m_running || m_handles.size() >= kMaxHandles)
        return 0;
    LINTOR_HANDLE handle = m_nextHandle++;
    while (handle == 0 || m_handles.count(handle) != 0)
        handle = m_nextHandle++;
    m_handles[handle] = HandleInfo{GetCurrentThreadId(), 0, 0};
    return handle;
}

uint32_t Runtime::DeleteHandle(LINTOR_HANDLE handle)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::DeleteLintorHandle, nullptr))
        return code;
    if (uint32_t code = CheckHandle(handle))
        return code;
    m_handles.erase(handle);
    return kOk;
}

uint32_t Runtime::SetHandleMode(Fn fn, LINTOR_HANDLE handle, LONG value)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(fn, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (uint32_t code = CheckHandle(handle))
        return code;
    // Error answer modes are bit sets of three flags; wait types run 0 to 3.
    LONG highest = fn == Fn::LT_SetCacheQuicklyErrorAnswerModeM ? 7 : 3;
    if (value < 0 || value > highest)
        return kInvalidArgument;
    HandleInfo& info = m_handles[handle];
    (fn == Fn::LT_SetCacheQuicklyErrorAnswerModeM ? info.errorAnswerMode : info.waitType) = value;
    return kOk;
}

uint32_t Runtime::CreateCache(LINTOR_HANDLE handle, const char* name, LONG periodMs)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::LT_CreateCacheM, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (uint32_t code = CheckHandle(handle))
        return code;
    if (!ValidName(name) || periodMs <= 0)
        return kInvalidArgument;
    if (m_caches.count(std::string_view(name)) != 0)
        return kCacheNameInUse;
    if (m_caches.size() >= kMaxCaches)
        return kOutOfMemory;
    m_caches[name].periodMs = periodMs;
    return kOk;
}

uint32_t Runtime::EntryCacheRecord(LINTOR_HANDLE handle, const char* cache, const char* device, const char* address,
                                   LONG dataType, LONG dataCount)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::LT_EntryCacheRecordM, device))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (uint32_t code = CheckHandle(handle))
        return code;
    auto it = cache != nullptr ? m_caches.find(std::string_view(cache)) : m_caches.end();
    if (it == m_caches.end())
        return kCacheNotFound;
    if (it->second.started)
        return kCacheStarted;
    Device* d = m_project->FindDevice(device);
    if (d == nullptr)
        return kRecordDevice;
    Address a;
    if (d->Resolve(address, a) != kOk)
        return kRecordAddress;
    if (dataType == 0)
    {
        // Type and count 0 ask the runtime to take them from the symbol.
        if (dataCount != 0 || d->FindSymbol(address) == nullptr)
            return kRecordAddress;
    }
    else
    {
        const TypeInfo* type = TypeByCode(dataType);
        if (type == nullptr)
            return kBadDataType;
        if (dataCount <= 0 || dataCount > 0x7FFF)
            return kBadCount;
        uint64_t at = 0;
        if (d->memory.Locate(a, *type, static_cast<uint32_t>(dataCount), at) != kOk)
            return kRecordAddress;
    }
    if (it->second.records.size() >= kMaxRecords)
        return kOutOfMemory;
    it->second.records.push_back(Record{device, address, dataType, dataCount});
    return kOk;
}

uint32_t Runtime::StartCache(LINTOR_HANDLE handle, const char* name)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::LT_StartCacheM, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (uint32_t code = CheckHandle(handle))
        return code;
    auto it = name != nullptr ? m_caches.find(std::string_view(name)) : m_caches.end();
    if (it == m_caches.end())
        return kCacheNotFound;
    if (it->second.started)
        return kCacheStarted;
    it->second.started = true;
    return kOk;
}

uint32_t Runtime::DestroyCache(LINTOR_HANDLE handle, const char* name)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::LT_DestroyCacheM, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (uint32_t code = CheckHandle(handle))
        return code;
    auto it = name != nullptr ? m_caches.find(std::string_view(name)) : m_caches.end();
    if (it == m_caches.end())
        return kCacheNotFound;
    m_caches.erase(it);
    return kOk;
}

uint32_t Runtime::DeviceAccess(Fn fn, LINTOR_HANDLE handle, const char* device, const char* address, int typeCode,
                               LONG count, void* buffer, bool write)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(fn, device))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (uint32_t code = CheckHandle(handle))
        return code;
    if (buffer == nullptr)
        return kInvalidArgument;
    if (count <= 0)
        return kBadCount;
    Device* d = m_project->FindDevice(device);
    if (d == nullptr)
        return kUnknownDevice;
    if (const DWORD delay = d->delayMs; delay != 0)
    {
        guard.unlock();
        Sleep(delay); // a slow device blocks only its caller
        guard.lock();
        d = m_project->FindDevice(device); // the project may have been replaced meanwhile
        if (d == nullptr)
            return kUnknownDevice;
    }
    Address a;
    if (uint32_t code = d->Resolve(address, a))
        return code;
    if (!m_frozen)
        d->Advance(Elapsed());
    const TypeInfo& type = *TypeByCode(typeCode);
    uint32_t n = static_cast<uint32_t>(count);
    return write ? d->memory.Write(a, type, n, buffer) : d->memory.Read(a, type, n, buffer);
}

uint32_t Runtime::ProjectPath(wchar_t* path, DWORD* build)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::GetLintorLoadedRXPPathW, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (path == nullptr || build == nullptr)
        return kInvalidArgument;
    if (!m_project->hasProject)
        return kNoProject;
    std::memcpy(path, m_project->path.c_str(),
                (m_project->path.size() + 1) * sizeof(wchar_t)); // below 260, checked at load
    *build = m_project->build;
    return kOk;
}

uint32_t Runtime::CheckFork()
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::EasyCheckServerFork, nullptr))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (m_attached != m_generation)
        return kRuntimeRestarted;
    return kOk;
}

uint32_t Runtime::SymbolInformation(const char* device, const char* symbol, LONG mode, SymbolInfo* info)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (uint32_t code = Enter(Fn::GetSymbolInformation, device))
        return code;
    if (!m_running)
        return kRuntimeNotRunning;
    if (mode != 1 || info == nullptr)
        return kInvalidArgument;
    Device* d = m_project->FindDevice(device);
    if (d == nullptr)
        return kUnknownDevice;
    const Symbol* s = symbol != nullptr ? d->FindSymbol(symbol) : nullptr;
    if (s == nullptr)
        return kUnknownSymbol;
    info->dataType = static_cast<WORD>(s->typeCode);
    info->dataCount = static_cast<WORD>(s->count);
    std::memset(info->reserved, 0, sizeof info->reserved);
    std::memset(info->symbolName, 0, sizeof info->symbolName);
    std::memset(info->deviceAddress, 0, sizeof info->deviceAddress);
    // Lengths were limited at load to leave room for the terminators.
    std::memcpy(info->symbolName, s->reportedName.data(), s->reportedName.size());
    std::memcpy(info->deviceAddress, s->addressText.data(), s->addressText.size());
    return kOk;
}

uint32_t Runtime::LoadFile(const std::wstring& path)
{
    std::unique_ptr<Project> project = LoadDescriptionFile(path);
    std::lock_guard<std::mutex> guard(m_lock);
    Install(std::move(project));
    return kOk;
}

uint32_t Runtime::LoadText(std::string_view text)
{
    std::unique_ptr<Project> project = ParseDescription(text);
    std::lock_guard<std::mutex> guard(m_lock);
    Install(std::move(project));
    return kOk;
}

std::vector<std::string> Runtime::Warnings()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_project->warnings;
}

uint32_t Runtime::SetWords(const char* device, const char* address, const WORD* words, LONG count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Device* d = m_project->FindDevice(device);
    if (d == nullptr)
        return kUnknownDevice;
    if (words == nullptr)
        return kInvalidArgument;
    if (count <= 0)
        return kBadCount;
    Address a;
    if (uint32_t code = d->Resolve(address, a))
        return code;
    return d->memory.Write(a, *TypeByCode(kTypeHex16), static_cast<uint32_t>(count), words);
}

uint32_t Runtime::GetWords(const char* device, const char* address, WORD* words, LONG count)
{
    std::lock_guard<std::mutex> guard(m_lock);
    Device* d = m_project->FindDevice(device);
    if (d == nullptr)
        return kUnknownDevice;
    if (words == nullptr)
        return kInvalidArgument;
    if (count <= 0)
        return kBadCount;
    Address a;
    if (uint32_t code = d->Resolve(address, a))
        return code;
    if (!m_frozen)
        d->Advance(Elapsed());
    return d->memory.Read(a, *TypeByCode(kTypeHex16), static_cast<uint32_t>(count), words);
}

void Runtime::SetRuntime(int state)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_running = state != 0;
    if (state == 2)
        ++m_generation;
}

uint32_t Runtime::Inject(const char* function, uint32_t code, LONG calls, const char* device)
{
    Fn fn;
    if (function == nullptr || !FindFunction(function, fn))
        return kInvalidArgument;
    std::lock_guard<std::mutex> guard(m_lock);
    Injection& injection = m_injections[static_cast<int>(fn)];
    injection = Injection();
    if (code == 0)
        return kOk; // clears
    injection.active = true;
    injection.code = code;
    injection.remaining = calls > 0 ? calls : -1;
    injection.device = device != nullptr ? device : "";
    return kOk;
}

uint32_t Runtime::SetDelay(const char* device, DWORD ms)
{
    if (ms > kMaxDelayMs)
        return kInvalidArgument;
    std::lock_guard<std::mutex> guard(m_lock);
    Device* d = m_project->FindDevice(device);
    if (d == nullptr)
        return kUnknownDevice;
    d->delayMs = ms;
    return kOk;
}

int64_t Runtime::CallCount(const char* function)
{
    Fn fn;
    if (function == nullptr || !FindFunction(function, fn))
        return -1;
    return m_calls[static_cast<int>(fn)];
}

void Runtime::ResetCounts()
{
    for (auto& c : m_calls)
        c = 0;
}

std::vector<LogEntry> Runtime::OutputLogEntries()
{
    std::lock_guard<std::mutex> guard(m_lock);
    return std::vector<LogEntry>(m_log.begin(), m_log.end());
}

void Runtime::Reset()
{
    ResetCounts();
    std::lock_guard<std::mutex> guard(m_lock);
    for (Injection& injection : m_injections)
        injection = Injection();
    for (auto& d : m_project->devices)
        d->delayMs = 0;
    m_log.clear();
    m_caches.clear();
    m_running = true;
    m_attached = m_generation;
    m_frozen = false;
}

std::string Runtime::Command(std::string_view line)
{
    std::vector<std::string> args;
    std::string error;
    if (!Tokenize(line, args, error))
        return Error(error);
    if (args.empty())
        return Error("empty command");
    return Execute(args);
}

namespace
{
std::string UnknownCommand(const std::vector<std::string>& args)
{
    return Error("unknown command or wrong arguments: " + args[0]);
}
} // namespace

std::string Runtime::Execute(const Args& args)
{
    struct Verb
    {
        const char* name;
        size_t minArgs; // counting the verb
        size_t maxArgs;
        std::string (Runtime::*run)(const Args&);
    };
    static constexpr size_t kAny = static_cast<size_t>(-1);
    static const Verb kVerbs[] = {
        {"ping", 1, 1, &Runtime::CommandPing},         {"load", 2, 2, &Runtime::CommandLoad},
        {"warnings", 1, 1, &Runtime::CommandWarnings}, {"set", 5, kAny, &Runtime::CommandSetOrGet},
        {"get", 4, 5, &Runtime::CommandSetOrGet},      {"runtime", 1, 2, &Runtime::CommandRuntime},
        {"inject", 2, kAny, &Runtime::CommandInject},  {"delay", 3, 3, &Runtime::CommandDelay},
        {"count", 1, 2, &Runtime::CommandCount},       {"log", 1, 2, &Runtime::CommandLog},
        {"caches", 1, 1, &Runtime::CommandCaches},     {"cache", 3, 4, &Runtime::CommandCacheReserve},
        {"freeze", 2, 2, &Runtime::CommandFreeze},     {"reset", 1, 1, &Runtime::CommandReset},
        {"help", 1, kAny, &Runtime::CommandHelp},
    };
    const std::string verb = Lower(args[0]);
    for (const Verb& v : kVerbs)
    {
        if (verb == v.name && args.size() >= v.minArgs && args.size() <= v.maxArgs)
            return (this->*v.run)(args);
    }
    return UnknownCommand(args);
}

std::string Runtime::CommandPing(const Args&)
{
    return Ok(Format("%lu", GetCurrentProcessId()));
}

std::string Runtime::CommandLoad(const Args& args)
{
    LoadFile(AnsiToWide(args[1]));
    return Ok(Format("%zu", Warnings().size()));
}

std::string Runtime::CommandWarnings(const Args&)
{
    std::vector<std::string> warnings = Warnings();
    std::string out = Format("%zu", warnings.size());
    for (const std::string& w : warnings)
        out += "\n" + w;
    return Ok(out);
}

// set DEV ADDR TYPE VALUE... | get DEV ADDR TYPE [COUNT]
std::string Runtime::CommandSetOrGet(const Args& args)
{
    const bool set = EqualsNoCase(args[0], "set");
    const size_t n = args.size();
    const TypeInfo* type = FindType(args[3]);
    if (type == nullptr)
        return Error("unknown type " + args[3]);
    std::vector<uint8_t> buffer;
    uint32_t count = 1;
    std::string error;
    if (set && !ParseValues(*type, args, 4, buffer, count, error))
        return Error(error);
    if (!set)
    {
        if (n == 5 && (!ParseUInt32(args[4], count) || count == 0 || count > 0x7FFF))
            return Error("count must be 1 to 32767");
        buffer.assign(BufferBytes(*type, count), 0);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    Device* d = m_project->FindDevice(args[1].c_str());
    if (d == nullptr)
        return Error("unknown device " + args[1]);
    Address a;
    if (d->Resolve(args[2].c_str(), a) != kOk)
        return Error("bad address " + args[2]);
    if (!m_frozen)
        d->Advance(Elapsed());
    uint32_t code =
        set ? d->memory.Write(a, *type, count, buffer.data()) : d->memory.Read(a, *type, count, buffer.data());
    if (code != kOk)
        return Error(Format("0x%08lX", static_cast<unsigned long>(code)));
    return set ? Ok() : Ok(FormatValues(*type, buffer.data(), count));
}

std::string Runtime::CommandRuntime(const Args& args)
{
    if (args.size() == 2)
    {
        std::string state = Lower(args[1]);
        if (state != "down" && state != "up" && state != "restart")
            return Error("runtime takes down, up or restart");
        SetRuntime(state == "down" ? 0 : state == "up" ? 1 : 2);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    return Ok(Format("%s generation=%lu attached=%lu", m_running ? "up" : "down",
                     static_cast<unsigned long>(m_generation), static_cast<unsigned long>(m_attached)));
}

std::string Runtime::CommandInject(const Args& args)
{
    const size_t n = args.size();
    if (EqualsNoCase(args[1], "clear") && n <= 3)
    {
        if (n == 3)
            return Inject(args[2].c_str(), 0, 0, nullptr) == kOk ? Ok() : Error("unknown function " + args[2]);
        std::lock_guard<std::mutex> guard(m_lock);
        for (Injection& injection : m_injections)
            injection = Injection();
        return Ok();
    }
    uint64_t code = 0;
    uint32_t calls = 0;
    std::string device;
    if (n < 3 || n > 5 || !ParseHex64(args[2], code) || code == 0 || code > 0xFFFFFFFFull)
        return Error("inject takes: function code(hex, not 0) [calls] [device=name]");
    for (size_t i = 3; i < n; ++i)
    {
        if (args[i].compare(0, 7, "device=") == 0 && args[i].size() > 7)
            device = args[i].substr(7);
        else if (!ParseUInt32(args[i], calls) || calls > 0x7FFFFFFF)
            return Error("bad inject argument " + args[i]);
    }
    if (Inject(args[1].c_str(), static_cast<uint32_t>(code), static_cast<LONG>(calls),
               device.empty() ? nullptr : device.c_str()) != kOk)
        return Error("unknown function " + args[1]);
    return Ok();
}

std::string Runtime::CommandDelay(const Args& args)
{
    uint32_t ms = 0;
    if (!ParseUInt32(args[2], ms) || ms > kMaxDelayMs)
        return Error("delay must be 0 to 60000 ms");
    return SetDelay(args[1].c_str(), ms) == kOk ? Ok() : Error("unknown device " + args[1]);
}

std::string Runtime::CommandCount(const Args& args)
{
    if (args.size() == 2 && EqualsNoCase(args[1], "reset"))
    {
        ResetCounts();
        return Ok();
    }
    if (args.size() == 2)
    {
        int64_t c = CallCount(args[1].c_str());
        return c < 0 ? Error("unknown function " + args[1]) : Ok(Format("%lld", static_cast<long long>(c)));
    }
    std::string out;
    for (int i = 0; i < static_cast<int>(Fn::Count); ++i)
        out += Format("\n%s %lld", kFunctionNames[i], static_cast<long long>(m_calls[i]));
    return "ok" + out;
}

std::string Runtime::CommandLog(const Args& args)
{
    if (args.size() == 2)
    {
        if (!EqualsNoCase(args[1], "clear"))
            return Error("log takes nothing or clear");
        std::lock_guard<std::mutex> guard(m_lock);
        m_log.clear();
        return Ok();
    }
    std::vector<LogEntry> entries = OutputLogEntries();
    std::string out = Format("%zu", entries.size());
    for (const LogEntry& e : entries)
        out += Format("\n%ld\t", static_cast<long>(e.level)) + Quote(e.source) + "\t" + Quote(e.message);
    return Ok(out);
}

std::string Runtime::CommandCaches(const Args&)
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::string out = Format("%zu", m_caches.size());
    for (const auto& [name, cache] : m_caches)
        out += "\n" + Quote(name) +
               Format(" period=%ld started=%d records=%zu reserved=%d", static_cast<long>(cache.periodMs),
                      cache.started ? 1 : 0, cache.records.size(), cache.reserved ? 1 : 0);
    return Ok(out);
}

// cache reserve NAME [PERIOD]
std::string Runtime::CommandCacheReserve(const Args& args)
{
    if (!EqualsNoCase(args[1], "reserve"))
        return UnknownCommand(args);
    uint32_t period = 1000;
    if ((args.size() == 4 && (!ParseUInt32(args[3], period) || period == 0 || period > 0x7FFFFFFF)) ||
        !ValidName(args[2].c_str()))
        return Error("cache reserve takes: name [period]");
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_caches.count(args[2]) != 0)
        return Error("cache name in use");
    Cache& cache = m_caches[args[2]];
    cache.periodMs = static_cast<LONG>(period);
    cache.reserved = true;
    return Ok();
}

std::string Runtime::CommandFreeze(const Args& args)
{
    if (!EqualsNoCase(args[1], "on") && !EqualsNoCase(args[1], "off"))
        return UnknownCommand(args);
    std::lock_guard<std::mutex> guard(m_lock);
    m_frozen = EqualsNoCase(args[1], "on");
    return Ok();
}

std::string Runtime::CommandReset(const Args&)
{
    Reset();
    return Ok();
}

std::string Runtime::CommandHelp(const Args&)
{
    return Ok("ping | load PATH | warnings | set DEV ADDR TYPE VALUE... | get DEV ADDR TYPE [COUNT] | "
              "runtime [down|up|restart] | inject FUNCTION CODE [CALLS] [device=DEV] | inject clear [FUNCTION] | "
              "delay DEV MS | count [FUNCTION|reset] | log [clear] | caches | cache reserve NAME [PERIOD] | "
              "freeze on|off | reset");
}
} // namespace devlane
