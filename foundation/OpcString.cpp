#include "OpcString.h"

#include <objbase.h>
#include <cstdarg>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <climits>

// --- record management -------------------------------------------------------

COpcString::Record* COpcString::NewRecord(const wchar_t* text, size_t length)
{
    if (text == nullptr || length == 0)
        return nullptr;
    Record* rec = AllocateRecord(length);
    if (rec == nullptr)
        return nullptr;
    memcpy(rec->text(), text, length * sizeof(wchar_t));
    rec->text()[length] = L'\0';
    return rec;
}

// The record and its text in one block: half the allocations, and no
// separate heap header for the text.
COpcString::Record* COpcString::AllocateRecord(size_t length)
{
    if (length >= (SIZE_MAX / sizeof(wchar_t)) - 1 - sizeof(Record) || length > UINT_MAX - 1)
        return nullptr;
    Record* rec = static_cast<Record*>(CoTaskMemAlloc(sizeof(Record) + (length + 1) * sizeof(wchar_t)));
    if (rec == nullptr)
        return nullptr;
    rec->refCount = 1;
    rec->narrowCache = nullptr;
    rec->length = static_cast<UINT>(length);
    rec->hash = 0;
    return rec;
}

COpcString COpcString::Adopt(Record* rec) noexcept
{
    COpcString s;
    s.m_rec = rec;
    return s;
}

void COpcString::Release() noexcept
{
    Record* rec = m_rec;
    m_rec = nullptr;
    if (rec != nullptr && InterlockedDecrement(&rec->refCount) == 0)
    {
        CoTaskMemFree(rec->narrowCache);
        CoTaskMemFree(rec);
    }
}

COpcString::COpcString(const wchar_t* text) : m_rec(text ? NewRecord(text, wcslen(text)) : nullptr) {}

COpcString::COpcString(const wchar_t* text, size_t length) : m_rec(NewRecord(text, length)) {}

COpcString::COpcString(const GUID& guid) : m_rec(nullptr)
{
    wchar_t buffer[40] = {};
    if (StringFromGUID2(guid, buffer, 40) > 0)
        m_rec = NewRecord(buffer, wcslen(buffer));
}

COpcString::COpcString(const COpcString& other) noexcept : m_rec(other.m_rec)
{
    if (m_rec != nullptr)
        InterlockedIncrement(&m_rec->refCount);
}

COpcString& COpcString::operator=(const COpcString& other) noexcept
{
    if (m_rec != other.m_rec)
    {
        if (other.m_rec != nullptr)
            InterlockedIncrement(&other.m_rec->refCount);
        Release();
        m_rec = other.m_rec;
    }
    return *this;
}

COpcString& COpcString::operator=(COpcString&& other) noexcept
{
    if (this != &other)
    {
        Release();
        m_rec = other.m_rec;
        other.m_rec = nullptr;
    }
    return *this;
}

COpcString& COpcString::operator=(const wchar_t* text)
{
    Record* rec = text ? NewRecord(text, wcslen(text)) : nullptr;
    Release();
    m_rec = rec;
    return *this;
}

// --- 8-bit conversions --------------------------------------------------------

namespace
{
// Converts with one code page and flag set; null on failure or empty input.
wchar_t* ConvertNarrow(const char* text, UINT codePage, DWORD flags)
{
    if (text == nullptr || *text == '\0')
        return nullptr;
    int needed = MultiByteToWideChar(codePage, flags, text, -1, nullptr, 0);
    if (needed <= 0)
        return nullptr;
    wchar_t* out = static_cast<wchar_t*>(CoTaskMemAlloc(static_cast<size_t>(needed) * sizeof(wchar_t)));
    if (out == nullptr)
        return nullptr;
    if (MultiByteToWideChar(codePage, flags, text, -1, out, needed) <= 0)
    {
        CoTaskMemFree(out);
        return nullptr;
    }
    return out;
}

// Takes ownership of a task-allocator block of wide text.
COpcString FromTaskMem(wchar_t* text)
{
    COpcString s(text);
    CoTaskMemFree(text);
    return s;
}
} // namespace

wchar_t* NarrowToWideAnsi(const char* text)
{
    return ConvertNarrow(text, CP_ACP, 0);
}

wchar_t* NarrowToWideUtf8First(const char* text)
{
    wchar_t* out = ConvertNarrow(text, CP_UTF8, MB_ERR_INVALID_CHARS | MB_PRECOMPOSED);
    if (out == nullptr && text != nullptr && *text != '\0')
        out = ConvertNarrow(text, CP_ACP, MB_ERR_INVALID_CHARS | MB_PRECOMPOSED);
    return out;
}

COpcString COpcString::FromUtf8First(const char* text)
{
    return FromTaskMem(NarrowToWideUtf8First(text));
}

COpcString COpcString::FromAnsi(const char* text)
{
    return FromTaskMem(NarrowToWideAnsi(text));
}

char* WideToNarrow(char* buffer, const wchar_t* text, int bufferSize, UINT codePage)
{
    if (buffer == nullptr || text == nullptr || bufferSize <= 0)
        return nullptr;
    if (WideCharToMultiByte(codePage, 0, text, -1, buffer, bufferSize, nullptr, nullptr) <= 0)
    {
        buffer[0] = '\0';
        return nullptr;
    }
    return buffer;
}

const char* COpcString::NarrowText() const
{
    if (m_rec == nullptr)
        return nullptr;
    if (m_rec->narrowCache == nullptr)
    {
        int needed = WideCharToMultiByte(CP_ACP, 0, m_rec->text(), -1, nullptr, 0, nullptr, nullptr);
        if (needed <= 0)
            return nullptr;
        char* narrow = static_cast<char*>(CoTaskMemAlloc(static_cast<size_t>(needed)));
        if (narrow == nullptr)
            return nullptr;
        if (WideCharToMultiByte(CP_ACP, 0, m_rec->text(), -1, narrow, needed, nullptr, nullptr) <= 0)
        {
            CoTaskMemFree(narrow);
            return nullptr;
        }
        // Two threads may race to fill the cache; the loser frees its copy.
        if (InterlockedCompareExchangePointer(reinterpret_cast<void* volatile*>(&m_rec->narrowCache), narrow,
                                              nullptr) != nullptr)
            CoTaskMemFree(narrow);
    }
    return m_rec->narrowCache;
}

wchar_t* DuplicateText(const wchar_t* text, bool emptyAsNull)
{
    if (text == nullptr || (emptyAsNull && *text == L'\0'))
        return nullptr;
    size_t length = wcslen(text);
    if (length >= SIZE_MAX / sizeof(wchar_t) - 1)
        return nullptr;
    wchar_t* out = static_cast<wchar_t*>(CoTaskMemAlloc((length + 1) * sizeof(wchar_t)));
    if (out != nullptr)
        memcpy(out, text, (length + 1) * sizeof(wchar_t));
    return out;
}

wchar_t* COpcString::CopyToTaskMem() const
{
    return m_rec ? DuplicateText(m_rec->text()) : nullptr;
}

int FormatText(wchar_t* buffer, size_t bufferChars, const wchar_t* format, ...)
{
    if (buffer == nullptr || bufferChars == 0 || format == nullptr)
        return -1;
    va_list args;
    va_start(args, format);
    int written = _vsnwprintf(buffer, bufferChars, format, args);
    va_end(args);
    // _vsnwprintf does not terminate a truncated text.
    buffer[bufferChars - 1] = L'\0';
    return written;
}

// --- operations ---------------------------------------------------------------

UINT COpcString::Length() const noexcept
{
    return m_rec ? m_rec->length : 0;
}

COpcString& COpcString::Append(const COpcString& other)
{
    if (other.m_rec == nullptr)
        return *this;
    if (m_rec == nullptr)
        return *this = other;
    size_t total = static_cast<size_t>(m_rec->length) + other.m_rec->length;
    if (total > UINT_MAX - 1)
        return *this;
    Record* rec = AllocateRecord(total);
    if (rec == nullptr)
        return *this;
    memcpy(rec->text(), m_rec->text(), m_rec->length * sizeof(wchar_t));
    memcpy(rec->text() + m_rec->length, other.m_rec->text(), (other.m_rec->length + 1) * sizeof(wchar_t));
    Release();
    m_rec = rec;
    return *this;
}

COpcString operator+(const COpcString& a, const COpcString& b)
{
    COpcString result(a);
    result.Append(b);
    return result;
}

COpcString COpcString::Mid(UINT start, int count) const
{
    UINT length = Length();
    if (start >= length || count == 0)
        return COpcString();
    UINT available = length - start;
    UINT take = (count < 0 || static_cast<UINT>(count) > available) ? available : static_cast<UINT>(count);
    if (start == 0 && take == length)
        return *this;
    return Adopt(NewRecord(m_rec->text() + start, take));
}

int COpcString::Find(const wchar_t* text) const
{
    if (m_rec == nullptr || text == nullptr || *text == L'\0')
        return -1;
    size_t needle = wcslen(text);
    if (needle > m_rec->length)
        return -1;
    for (size_t i = 0; i + needle <= m_rec->length; ++i)
    {
        if (_wcsnicmp(m_rec->text() + i, text, needle) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int COpcString::ReverseFind(const wchar_t* text) const
{
    if (m_rec == nullptr || text == nullptr || *text == L'\0')
        return -1;
    size_t needle = wcslen(text);
    if (needle > m_rec->length)
        return -1;
    for (size_t i = m_rec->length - needle + 1; i-- > 0;)
    {
        if (wcsncmp(m_rec->text() + i, text, needle) == 0)
            return static_cast<int>(i);
    }
    return -1;
}

int COpcString::Compare(const COpcString& other, bool ignoreCase) const noexcept
{
    if (m_rec == other.m_rec)
        return 0;
    if (m_rec == nullptr)
        return -1;
    if (other.m_rec == nullptr)
        return 1;
    if (ignoreCase)
        return _wcsicmp(m_rec->text(), other.m_rec->text());
    // Ordinal by UTF-16 code unit; wchar_t is unsigned 16-bit here.
    const wchar_t* a = m_rec->text();
    const wchar_t* b = other.m_rec->text();
    while (*a != L'\0' && *a == *b)
    {
        ++a;
        ++b;
    }
    return static_cast<int>(static_cast<unsigned short>(*a)) - static_cast<int>(static_cast<unsigned short>(*b));
}

namespace
{
COpcString ChangeCase(const COpcString& source, int index, bool lower)
{
    UINT length = source.Length();
    if (length == 0 || (index >= 0 && static_cast<UINT>(index) >= length))
        return source;
    COpcString copy(source.Text(), length);
    wchar_t* text = const_cast<wchar_t*>(copy.Text());
    if (text == nullptr)
        return source;
    UINT first = index < 0 ? 0 : static_cast<UINT>(index);
    UINT last = index < 0 ? length : first + 1;
    for (UINT i = first; i < last; ++i)
    {
        if (lower && iswupper(text[i]))
            text[i] = towlower(text[i]);
        else if (!lower && iswlower(text[i]))
            text[i] = towupper(text[i]);
    }
    return copy;
}
} // namespace

COpcString COpcString::ToLower(int index) const
{
    return ChangeCase(*this, index, true);
}

COpcString COpcString::ToUpper(int index) const
{
    return ChangeCase(*this, index, false);
}

DWORD COpcString::Hash() const noexcept
{
    if (m_rec == nullptr)
        return 0xFFFFFFFFu;
    // Item IDs are hashed on every map lookup; a record keeps its hash. Two
    // threads working it out at once store the same value.
    DWORD hash = m_rec->hash;
    if (hash != 0)
        return hash;
    for (const wchar_t* p = m_rec->text(); *p != L'\0'; ++p)
        hash = hash * 33u + static_cast<unsigned short>(*p);
    m_rec->hash = hash;
    return hash;
}
