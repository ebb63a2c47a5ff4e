// Linked into every test program. Its output is unbuffered, so a crash loses
// nothing already said; and it leaves the file the runner names in
// TAGBRIDGE_STARTED_MARKER, so the runner can tell a program that failed from
// one that never started (see scripts/wine-run.sh).
#include <windows.h>

#include <cstdio>

namespace
{
bool MarkStarted()
{
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    wchar_t path[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(L"TAGBRIDGE_STARTED_MARKER", path, MAX_PATH);
    if (length == 0 || length >= MAX_PATH)
        return false;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(file); // the file's existence is the whole message
    return true;
}

const bool started = MarkStarted();
} // namespace
