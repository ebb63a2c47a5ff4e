// Second process of the remote-control tests: sends commands to the library
// held by another process and compares each reply.
//   devlane_control_child PID [--timeout MS] (COMMAND EXPECTED)...
// EXPECTED is the exact reply, or its beginning when it ends in "*".
// Exit code: 0 all replies matched, 1 a reply differed, 2 channel unreachable or bad usage.
#include "DevlaneControlClient.h"

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 2)
        return 2;
    DWORD pid = static_cast<DWORD>(std::strtoul(argv[1], nullptr, 10));
    DWORD timeout = 5000;
    int i = 2;
    if (i + 1 < argc && std::string(argv[i]) == "--timeout")
    {
        timeout = static_cast<DWORD>(std::strtoul(argv[i + 1], nullptr, 10));
        i += 2;
    }
    if ((argc - i) % 2 != 0)
        return 2;
    for (; i < argc; i += 2)
    {
        std::string reply;
        if (!devlane_control::Call(pid, argv[i], reply, timeout))
        {
            std::fprintf(stderr, "channel of process %lu not reachable\n", static_cast<unsigned long>(pid));
            return 2;
        }
        std::string expected = argv[i + 1];
        bool matches = !expected.empty() && expected.back() == '*'
                           ? reply.compare(0, expected.size() - 1, expected, 0, expected.size() - 1) == 0
                           : reply == expected;
        if (!matches)
        {
            std::fprintf(stderr, "command [%s]: reply [%s], expected [%s]\n", argv[i], reply.c_str(), expected.c_str());
            return 1;
        }
    }
    return 0;
}
