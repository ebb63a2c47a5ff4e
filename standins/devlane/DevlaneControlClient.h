// Control of the substitute runtime library in another process, through the
// pipe "\\.\pipe\Devlane.<process id>" that the library serves once it is in
// use. Header-only so tests and the devlanectl tool need nothing else; the
// command language is listed in DevlaneControl.h.
#pragma once

#include "LaneHandle.h"

#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace devlane_control
{
inline std::wstring PipeName(DWORD processId)
{
    return L"\\\\.\\pipe\\Devlane." + std::to_wstring(processId);
}

// One command and its reply. False when the process's channel could not be
// reached within timeoutMs (the library may not be in use yet).
inline bool Call(DWORD processId, const std::string& command, std::string& reply, DWORD timeoutMs = 5000)
{
    const std::wstring name = PipeName(processId);
    std::vector<char> buffer(4 * 1024 * 1024);
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    for (;;)
    {
        DWORD read = 0;
        if (CallNamedPipeW(name.c_str(), const_cast<char*>(command.data()), static_cast<DWORD>(command.size()),
                           buffer.data(), static_cast<DWORD>(buffer.size()), &read, timeoutMs) ||
            GetLastError() == ERROR_MORE_DATA)
        {
            reply.assign(buffer.data(), read);
            return true;
        }
        // Between two clients the server briefly has no pipe instance: try again.
        if (GetTickCount64() >= deadline)
            return false;
        Sleep(20);
    }
}

inline bool IsOk(const std::string& reply)
{
    return reply.compare(0, 2, "ok") == 0 && (reply.size() == 2 || reply[2] == ' ' || reply[2] == '\n');
}

// The text after "ok " of a one-line reply.
inline std::string Payload(const std::string& reply)
{
    return reply.size() > 3 ? reply.substr(3) : std::string();
}

// Quoted so that the command reader takes the text as one value.
inline std::string Quote(const std::string& text)
{
    std::string out = "\"";
    for (char c : text)
    {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"')
            (out += '\\') += c;
        else if (u < 0x20 || u == 0x7F)
        {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", u);
            out += hex;
        }
        else
            out += c;
    }
    return out + "\"";
}

// The first running process with this image name ("tagbridge.exe"), 0 when none.
inline DWORD FindProcess(const wchar_t* imageName)
{
    devlane::UniqueHandle owner(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    HANDLE snapshot = owner.Get();
    if (snapshot == nullptr)
        return 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    DWORD found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more && found == 0; more = Process32NextW(snapshot, &entry))
        if (lstrcmpiW(entry.szExeFile, imageName) == 0)
            found = entry.th32ProcessID;
    return found;
}

class Client
{
public:
    explicit Client(DWORD processId, DWORD timeoutMs = 5000) : m_processId(processId), m_timeoutMs(timeoutMs) {}

    // True for an "ok" reply; the whole reply goes to *reply when given.
    bool Command(const std::string& command, std::string* reply = nullptr) const
    {
        std::string answer;
        bool reached = Call(m_processId, command, answer, m_timeoutMs);
        if (reply != nullptr)
            *reply = reached ? answer : "error control channel not reachable";
        return reached && IsOk(answer);
    }

    bool Set(const std::string& device, const std::string& address, const std::string& type,
             const std::string& values) const
    {
        return Command("set " + Quote(device) + " " + Quote(address) + " " + type + " " + values);
    }

    // The values as the reply lists them ("" on failure).
    std::string Get(const std::string& device, const std::string& address, const std::string& type, int count = 1) const
    {
        std::string reply;
        if (!Command("get " + Quote(device) + " " + Quote(address) + " " + type + " " + std::to_string(count), &reply))
            return std::string();
        return Payload(reply);
    }

    bool Runtime(const std::string& state) const { return Command("runtime " + state); }

    bool Inject(const std::string& function, unsigned long code, long calls = 0, const std::string& device = "") const
    {
        char hex[16];
        std::snprintf(hex, sizeof hex, "%08lX", code);
        std::string command = "inject " + function + " " + hex;
        if (calls > 0)
            command += " " + std::to_string(calls);
        if (!device.empty())
            command += " device=" + Quote(device);
        return Command(command);
    }

    bool Delay(const std::string& device, unsigned long ms) const
    {
        return Command("delay " + Quote(device) + " " + std::to_string(ms));
    }

    // Calls of one library function, -1 when unknown or unreachable.
    long long Count(const std::string& function) const
    {
        std::string reply;
        if (!Command("count " + function, &reply))
            return -1;
        return std::strtoll(Payload(reply).c_str(), nullptr, 10);
    }

    // Output log lines: LEVEL<tab>"SOURCE"<tab>"MESSAGE".
    std::vector<std::string> Log() const
    {
        std::vector<std::string> lines;
        std::string reply;
        if (!Command("log", &reply))
            return lines;
        size_t start = reply.find('\n');
        while (start != std::string::npos)
        {
            size_t end = reply.find('\n', start + 1);
            lines.push_back(reply.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1));
            start = end;
        }
        return lines;
    }

    bool Reset() const { return Command("reset"); }

private:
    DWORD m_processId;
    DWORD m_timeoutMs;
};
} // namespace devlane_control
