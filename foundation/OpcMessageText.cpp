#include "OpcString.h"

namespace
{
// Loaded once and kept for the life of the process; a failed load is retried
// on the next call so a library that appears later is still found.
HMODULE MessageLibrary()
{
    static HMODULE volatile library = nullptr;
    HMODULE module = library;
    if (module == nullptr)
    {
        module = LoadLibraryW(L"Kelmsg.dll");
        if (module != nullptr &&
            InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&library), module, nullptr) != nullptr)
        {
            FreeLibrary(module);
            module = library;
        }
    }
    return module;
}
} // namespace

LANGID MessageTextLanguage(LANGID systemLanguage)
{
    return systemLanguage == 1041 ? 1041 : 1033;
}

COpcString MessageText(DWORD messageId)
{
    HMODULE library = MessageLibrary();
    if (library == nullptr)
        return COpcString();
    wchar_t buffer[256] = {};
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, library, messageId,
                                  MessageTextLanguage(GetSystemDefaultLangID()), buffer, 256, nullptr);
    if (length == 0)
        return COpcString();
    buffer[255] = L'\0';
    // Only the first line is used; the line break and a carriage return before it go.
    wchar_t* newline = wcschr(buffer, L'\n');
    if (newline != nullptr && newline > buffer)
    {
        if (newline[-1] == L'\r')
            --newline;
        *newline = L'\0';
    }
    return COpcString(buffer);
}
