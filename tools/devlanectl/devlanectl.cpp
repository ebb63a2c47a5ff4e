// devlanectl: steers the substitute runtime library inside a running process
// (by default the server, "tagbridge.exe") through its control pipe.
//   devlanectl [--pid N | --process NAME] [--timeout MS] COMMAND [ARGUMENT...]
// The words after the options form one command ("devlanectl help" lists them);
// a word with blanks or quotes is passed as one quoted value. The reply is
// printed; the exit code is 0 for "ok", 1 for "error", 2 when the process or
// its channel cannot be reached or the options are wrong.
#include "DevlaneControlClient.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
int Usage()
{
    std::fprintf(stderr, "usage: devlanectl [--pid N | --process NAME] [--timeout MS] COMMAND [ARGUMENT...]\n");
    return 2;
}

bool NeedsQuotes(const std::string& word)
{
    return word.empty() || word.find_first_of(" \t\"\\") != std::string::npos;
}
} // namespace

int main(int argc, char** argv)
{
    DWORD pid = 0;
    std::string processName = "tagbridge.exe";
    DWORD timeout = 5000;
    int i = 1;
    for (; i + 1 < argc && std::strncmp(argv[i], "--", 2) == 0; i += 2)
    {
        std::string option = argv[i];
        if (option == "--pid")
            pid = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
        else if (option == "--process")
            processName = argv[i + 1];
        else if (option == "--timeout")
            timeout = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
        else
            return Usage();
    }
    if (i >= argc)
        return Usage();
    if (pid == 0)
    {
        std::wstring wide(processName.begin(), processName.end());
        pid = devlane_control::FindProcess(wide.c_str());
        if (pid == 0)
        {
            std::fprintf(stderr, "no process %s is running\n", processName.c_str());
            return 2;
        }
    }
    std::string command;
    for (int k = i; k < argc; ++k)
    {
        std::string word = argv[k];
        if (!command.empty())
            command += ' ';
        command += NeedsQuotes(word) ? devlane_control::Quote(word) : word;
    }
    std::string reply;
    if (!devlane_control::Call(pid, command, reply, timeout))
    {
        std::fprintf(stderr, "the control channel of process %lu cannot be reached\n", static_cast<unsigned long>(pid));
        return 2;
    }
    std::printf("%s\n", reply.c_str());
    return devlane_control::IsOk(reply) ? 0 : 1;
}
