// COpcString: the server's one text type, a shared reference-counted UTF-16
// string whose storage comes from the COM task allocator. The empty string has
// no storage at all, so copying and passing empty texts costs nothing.
#pragma once

#include <windows.h>
#include <cstdint>

class COpcString
{
public:
    COpcString() noexcept : m_rec(nullptr) {}
    COpcString(const wchar_t* text);
    COpcString(const wchar_t* text, size_t length);
    explicit COpcString(const GUID& guid);
    COpcString(const COpcString& other) noexcept;
    COpcString(COpcString&& other) noexcept : m_rec(other.m_rec) { other.m_rec = nullptr; }
    ~COpcString() { Release(); }

    COpcString& operator=(const COpcString& other) noexcept;
    COpcString& operator=(COpcString&& other) noexcept;
    COpcString& operator=(const wchar_t* text);

    // 8-bit text: UTF-8 first, falling back to the ANSI code page on invalid input.
    static COpcString FromUtf8First(const char* text);
    // 8-bit text in the ANSI code page.
    static COpcString FromAnsi(const char* text);

    // The wide text, or null when empty.
    const wchar_t* Text() const noexcept { return m_rec ? m_rec->text() : nullptr; }
    // Never null: for callers that need a C string.
    const wchar_t* TextOrEmpty() const noexcept { return m_rec ? m_rec->text() : L""; }
    // ANSI form, made on first use and cached with the text. Null when empty.
    const char* NarrowText() const;
    UINT Length() const noexcept;
    bool IsEmpty() const noexcept { return m_rec == nullptr; }

    COpcString& Append(const COpcString& other);
    COpcString& operator+=(const COpcString& other) { return Append(other); }
    friend COpcString operator+(const COpcString& a, const COpcString& b);

    COpcString Mid(UINT start, int count = -1) const;
    int Find(const wchar_t* text) const;        // case-insensitive; -1 when absent
    int ReverseFind(const wchar_t* text) const; // case-sensitive; -1 when absent
    int Compare(const COpcString& other, bool ignoreCase = false) const noexcept;
    bool Equals(const wchar_t* text) const { return Compare(COpcString(text)) == 0; }
    COpcString ToLower(int index = -1) const;
    COpcString ToUpper(int index = -1) const;
    DWORD Hash() const noexcept;

    // A fresh task-allocator copy for handing to a COM caller; null when empty.
    wchar_t* CopyToTaskMem() const;
    // True when both handles share one record (for tests of the sharing rule).
    bool SharesWith(const COpcString& other) const noexcept { return m_rec == other.m_rec; }

    bool operator==(const COpcString& other) const noexcept { return Compare(other) == 0; }
    bool operator!=(const COpcString& other) const noexcept { return Compare(other) != 0; }
    bool operator<(const COpcString& other) const noexcept { return Compare(other) < 0; }

private:
    // The text follows the record in the same block.
    struct Record
    {
        volatile LONG refCount;
        UINT length;
        char* narrowCache;
        // Hash() once worked out, 0 before; texts never change once made.
        volatile DWORD hash;

        wchar_t* text() noexcept { return reinterpret_cast<wchar_t*>(this + 1); }
    };

    static Record* NewRecord(const wchar_t* text, size_t length);
    // Text uninitialised, reference count 1; null when out of memory.
    static Record* AllocateRecord(size_t length);
    static COpcString Adopt(Record* rec) noexcept;
    void Release() noexcept;

    Record* m_rec;
};

// --- conversions between wide and 8-bit text ---------------------------------

// Converts into the caller's buffer; null when a pointer is null or the
// conversion fails (the buffer then holds an empty text).
char* WideToNarrow(char* buffer, const wchar_t* text, int bufferSize, UINT codePage);
// Task-allocator blocks; null for empty input or failure.
wchar_t* NarrowToWideAnsi(const char* text);
wchar_t* NarrowToWideUtf8First(const char* text);
// Task-allocator copy of a wide text; null for null. With emptyAsNull an empty text gives null too.
wchar_t* DuplicateText(const wchar_t* text, bool emptyAsNull = false);
// swprintf-style formatting into a caller buffer of bufferChars characters.
int FormatText(wchar_t* buffer, size_t bufferChars, const wchar_t* format, ...);

// --- text to value ------------------------------------------------------------
// Each returns true on success; on failure the out value is 0.

bool ParseInt8(const wchar_t* text, int8_t& value);
bool ParseInt16(const wchar_t* text, int16_t& value);
bool ParseInt32(const wchar_t* text, int32_t& value);
bool ParseInt64(const wchar_t* text, int64_t& value);
bool ParseUInt8(const wchar_t* text, uint8_t& value);
bool ParseUInt16(const wchar_t* text, uint16_t& value);
bool ParseUInt32(const wchar_t* text, uint32_t& value);
bool ParseUInt64(const wchar_t* text, uint64_t& value);
bool ParseFloat(const wchar_t* text, float& value);
bool ParseDouble(const wchar_t* text, double& value);
bool ParseBoolean(const wchar_t* text, bool& value);

// --- value to text ------------------------------------------------------------

COpcString ValueToText(int8_t value);
COpcString ValueToText(int16_t value);
COpcString ValueToText(int32_t value);
COpcString ValueToText(int64_t value);
COpcString ValueToText(uint8_t value);
COpcString ValueToText(uint16_t value);
COpcString ValueToText(uint32_t value);
COpcString ValueToText(uint64_t value);
COpcString ValueToText(float value);
COpcString ValueToText(double value);
inline COpcString ValueToText(const COpcString& value)
{
    return value;
}

// --- message texts ------------------------------------------------------------

// Message text by id from "Kelmsg.dll" in the system's language (Japanese or
// English), cut at the first line break; empty when the library or text is missing.
COpcString MessageText(DWORD messageId);
// The language MessageText asks for, given the system default language.
LANGID MessageTextLanguage(LANGID systemLanguage);
