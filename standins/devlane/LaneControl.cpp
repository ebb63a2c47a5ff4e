// The control pipe that lets another process steer the runtime of this one,
// and the in-process control functions.
#ifndef DEVLANE_BUILDING
#define DEVLANE_BUILDING
#endif
#include "DevlaneControl.h"

#include "LaneCodes.h"
#include "LaneHandle.h"
#include "LaneRuntime.h"
#include "LaneText.h"

#include <cstring>
#include <new>

namespace devlane
{
namespace
{
const DWORD kMaxRequest = 64 * 1024;
const DWORD kMaxReply = 4 * 1024 * 1024;

std::string ReadRequest(HANDLE pipe)
{
    std::string request;
    char chunk[4096];
    for (;;)
    {
        DWORD read = 0;
        BOOL ok = ReadFile(pipe, chunk, sizeof chunk, &read, nullptr);
        if (request.size() + read <= kMaxRequest)
            request.append(chunk, read);
        if (ok)
            return request;
        if (GetLastError() != ERROR_MORE_DATA)
            return std::string();
    }
}

void ServeOne(HANDLE pipe)
{
    std::string request = ReadRequest(pipe);
    std::string reply;
    try
    {
        reply = request.empty() ? "error empty command" : Runtime::Instance().Command(request);
    }
    catch (const std::bad_alloc&)
    {
        reply = "error out of memory";
    }
    if (reply.size() > kMaxReply)
        reply.resize(kMaxReply);
    DWORD written = 0;
    WriteFile(pipe, reply.data(), static_cast<DWORD>(reply.size()), &written, nullptr);
    FlushFileBuffers(pipe); // the reply must reach the client before the disconnect drops it
    DisconnectNamedPipe(pipe);
}

DWORD WINAPI ServeControl(void*)
{
    const std::wstring name = L"\\\\.\\pipe\\Devlane." + std::to_wstring(GetCurrentProcessId());
    for (;;)
    {
        UniqueHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX,
                                           PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT,
                                           PIPE_UNLIMITED_INSTANCES, kMaxReply, kMaxRequest, 0, nullptr));
        if (!pipe)
        {
            Sleep(1000);
            continue;
        }
        if (ConnectNamedPipe(pipe.Get(), nullptr) || GetLastError() == ERROR_PIPE_CONNECTED)
            ServeOne(pipe.Get());
    }
}

LONG CopyOut(const std::string& text, char* out, DWORD chars)
{
    if (out == nullptr || chars == 0)
        return text.empty() ? 0 : 2;
    size_t n = text.size() < chars - 1 ? text.size() : chars - 1;
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
    return n < text.size() ? 2 : 0;
}
} // namespace

void StartControlChannel()
{
    // The serving thread runs until the process ends, so the library must never unload under it.
    HMODULE pinned = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCWSTR>(&ServeControl), &pinned);
    UniqueHandle thread(CreateThread(nullptr, 0, ServeControl, nullptr, 0, nullptr));
}
} // namespace devlane

using devlane::Runtime;

DEVLANE_CONTROL_API DevlaneControlCommand(const char* command, char* reply, DWORD replyChars)
{
    try
    {
        std::string answer = command == nullptr ? "error empty command" : Runtime::Instance().Command(command);
        LONG cut = devlane::CopyOut(answer, reply, replyChars);
        if (cut != 0)
            return cut;
        return answer.compare(0, 2, "ok") == 0 ? 0 : 1;
    }
    catch (...)
    {
        devlane::CopyOut("error out of memory", reply, replyChars);
        return 1;
    }
}

DEVLANE_CONTROL_API DevlaneControlLoadDescription(const wchar_t* path)
{
    try
    {
        Runtime& runtime = Runtime::Instance();
        runtime.LoadFile(path != nullptr ? path : runtime.DefaultDescriptionPath());
        return static_cast<LONG>(runtime.Warnings().size());
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlLoadDescriptionText(const char* text)
{
    try
    {
        Runtime& runtime = Runtime::Instance();
        runtime.LoadText(text != nullptr ? text : "");
        return static_cast<LONG>(runtime.Warnings().size());
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlSetWords(const char* device, const char* address, const WORD* words, LONG count)
{
    try
    {
        return static_cast<LONG>(Runtime::Instance().SetWords(device, address, words, count));
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlGetWords(const char* device, const char* address, WORD* words, LONG count)
{
    try
    {
        return static_cast<LONG>(Runtime::Instance().GetWords(device, address, words, count));
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlSetRuntime(LONG state)
{
    if (state < 0 || state > 2)
        return static_cast<LONG>(devlane::kInvalidArgument);
    try
    {
        Runtime::Instance().SetRuntime(state);
        return 0;
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlInjectFailure(const char* function, LONG code, LONG calls, const char* device)
{
    try
    {
        return static_cast<LONG>(Runtime::Instance().Inject(function, static_cast<uint32_t>(code), calls, device));
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlSetDeviceDelay(const char* device, DWORD milliseconds)
{
    try
    {
        return static_cast<LONG>(Runtime::Instance().SetDelay(device, milliseconds));
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlCallCount(const char* function)
{
    try
    {
        int64_t count = Runtime::Instance().CallCount(function);
        return count > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<LONG>(count);
    }
    catch (...)
    {
        return -1;
    }
}

DEVLANE_CONTROL_API DevlaneControlOutputLogCount(void)
{
    try
    {
        return static_cast<LONG>(Runtime::Instance().OutputLogEntries().size());
    }
    catch (...)
    {
        return 0;
    }
}

DEVLANE_CONTROL_API DevlaneControlReadOutputLog(LONG index, LONG* level, char* source, DWORD sourceChars, char* message,
                                                DWORD messageChars)
{
    try
    {
        std::vector<devlane::LogEntry> entries = Runtime::Instance().OutputLogEntries();
        if (index < 0 || static_cast<size_t>(index) >= entries.size())
            return static_cast<LONG>(devlane::kInvalidArgument);
        const devlane::LogEntry& e = entries[static_cast<size_t>(index)];
        if (level != nullptr)
            *level = e.level;
        devlane::CopyOut(e.source, source, sourceChars);
        devlane::CopyOut(e.message, message, messageChars);
        return 0;
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}

DEVLANE_CONTROL_API DevlaneControlReset(void)
{
    try
    {
        Runtime::Instance().Reset();
        return 0;
    }
    catch (...)
    {
        return static_cast<LONG>(devlane::kOutOfMemory);
    }
}
