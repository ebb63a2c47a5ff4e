// The rules by which numbers and booleans are read from text and written as
// text. Configuration files, string writes and type conversions all go through
// here, so the accepted forms are exactly these and nothing else.
#include "OpcString.h"

#include <cwchar>
#include <cwctype>
#include <cfloat>

namespace
{
struct Word
{
    const wchar_t* begin;
    const wchar_t* end;
    bool Empty() const { return begin == end; }
};

const wchar_t* SkipSpace(const wchar_t* p)
{
    while (*p != L'\0' && iswspace(*p))
        ++p;
    return p;
}

// The first white-space-delimited word; everything after it is ignored.
Word FirstWord(const wchar_t* text)
{
    const wchar_t* begin = SkipSpace(text);
    const wchar_t* end = begin;
    while (*end != L'\0' && !iswspace(*end))
        ++end;
    return {begin, end};
}

// Reads the first word as an unsigned magnitude in the given base, refusing
// any value above limit. All arithmetic is unsigned 64-bit.
bool ReadMagnitude(const wchar_t* text, unsigned base, uint64_t limit, uint64_t& value)
{
    static const wchar_t digits[] = L"0123456789ABCDEF";
    value = 0;
    Word word = FirstWord(text);
    if (word.Empty())
        return false;
    uint64_t result = 0;
    for (const wchar_t* p = word.begin; p != word.end; ++p)
    {
        wchar_t c = *p;
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
        unsigned digit = base;
        for (unsigned i = 0; i < base; ++i)
        {
            if (digits[i] == c)
            {
                digit = i;
                break;
            }
        }
        if (digit == base)
            return false;
        if (result > limit / base)
            return false;
        result *= base;
        if (result > limit - digit)
            return false;
        result += digit;
    }
    value = result;
    return true;
}

bool ParseUnsigned(const wchar_t* text, uint64_t limit, uint64_t& value)
{
    value = 0;
    if (text == nullptr)
        return false;
    const wchar_t* p = SkipSpace(text);
    unsigned base = 10;
    if (p[0] == L'0' && (p[1] == L'x' || p[1] == L'X'))
    {
        p += 2;
        base = 16;
    }
    return ReadMagnitude(p, base, limit, value);
}

bool ParseSigned(const wchar_t* text, int64_t minimum, int64_t maximum, int64_t& value)
{
    value = 0;
    if (text == nullptr)
        return false;
    const wchar_t* p = SkipSpace(text);
    bool negative = false;
    if (*p == L'+')
        ++p;
    else if (*p == L'-')
    {
        ++p;
        negative = true;
    }
    // The negated minimum, computed without overflowing for 64 bits.
    uint64_t limit = negative ? static_cast<uint64_t>(-(minimum + 1)) + 1u : static_cast<uint64_t>(maximum);
    uint64_t magnitude = 0;
    if (!ReadMagnitude(p, 10, limit, magnitude))
        return false;
    if (negative)
        value = magnitude == 0 ? 0 : static_cast<int64_t>(0u - magnitude);
    else
        value = static_cast<int64_t>(magnitude);
    return true;
}

template <typename T>
bool ParseSignedAs(const wchar_t* text, T& out, int64_t minimum, int64_t maximum)
{
    int64_t value = 0;
    bool ok = ParseSigned(text, minimum, maximum, value);
    out = ok ? static_cast<T>(value) : 0;
    return ok;
}

template <typename T>
bool ParseUnsignedAs(const wchar_t* text, T& out, uint64_t maximum)
{
    uint64_t value = 0;
    bool ok = ParseUnsigned(text, maximum, value);
    out = ok ? static_cast<T>(value) : 0;
    return ok;
}

COpcString Format(const wchar_t* format, ...)
{
    wchar_t buffer[1024];
    va_list args;
    va_start(args, format);
    _vsnwprintf(buffer, 1024, format, args);
    va_end(args);
    buffer[1023] = L'\0';
    return COpcString(buffer);
}
} // namespace

bool ParseInt8(const wchar_t* text, int8_t& value)
{
    return ParseSignedAs(text, value, INT8_MIN, INT8_MAX);
}
bool ParseInt16(const wchar_t* text, int16_t& value)
{
    return ParseSignedAs(text, value, INT16_MIN, INT16_MAX);
}
bool ParseInt32(const wchar_t* text, int32_t& value)
{
    return ParseSignedAs(text, value, INT32_MIN, INT32_MAX);
}
bool ParseInt64(const wchar_t* text, int64_t& value)
{
    return ParseSignedAs(text, value, INT64_MIN, INT64_MAX);
}
bool ParseUInt8(const wchar_t* text, uint8_t& value)
{
    return ParseUnsignedAs(text, value, UINT8_MAX);
}
bool ParseUInt16(const wchar_t* text, uint16_t& value)
{
    return ParseUnsignedAs(text, value, UINT16_MAX);
}
bool ParseUInt32(const wchar_t* text, uint32_t& value)
{
    return ParseUnsignedAs(text, value, UINT32_MAX);
}
bool ParseUInt64(const wchar_t* text, uint64_t& value)
{
    return ParseUnsignedAs(text, value, UINT64_MAX);
}

bool ParseDouble(const wchar_t* text, double& value)
{
    value = 0;
    if (text == nullptr)
        return false;
    Word word = FirstWord(text);
    if (word.Empty())
        return false;
    // A number never contains white space, so wcstod stops inside the word.
    wchar_t* end = nullptr;
    double result = wcstod(word.begin, &end);
    if (end != word.end)
        return false;
    value = result;
    return true;
}

bool ParseFloat(const wchar_t* text, float& value)
{
    double result = 0;
    bool ok = ParseDouble(text, result);
    value = ok ? static_cast<float>(result) : 0.0f;
    return ok;
}

bool ParseBoolean(const wchar_t* text, bool& value)
{
    value = false;
    if (text == nullptr)
        return false;
    int64_t number = 0;
    if (ParseInt64(text, number))
    {
        value = number != 0;
        return true;
    }
    // Whole text, lower-cased, no trimming.
    static const wchar_t* const words[] = {L"true", L"false"};
    for (int w = 0; w < 2; ++w)
    {
        const wchar_t* p = text;
        const wchar_t* q = words[w];
        while (*p != L'\0' && *q != L'\0' && static_cast<wchar_t>(towlower(*p)) == *q)
        {
            ++p;
            ++q;
        }
        if (*p == L'\0' && *q == L'\0')
        {
            value = (w == 0);
            return true;
        }
    }
    return false;
}

COpcString ValueToText(int8_t value)
{
    return Format(L"%d", static_cast<int>(value));
}
COpcString ValueToText(int16_t value)
{
    return Format(L"%d", static_cast<int>(value));
}
COpcString ValueToText(int32_t value)
{
    return Format(L"%d", static_cast<int>(value));
}
COpcString ValueToText(int64_t value)
{
    return Format(L"%I64d", static_cast<long long>(value));
}
COpcString ValueToText(uint8_t value)
{
    return Format(L"%u", static_cast<unsigned>(value));
}
COpcString ValueToText(uint16_t value)
{
    return Format(L"%u", static_cast<unsigned>(value));
}
COpcString ValueToText(uint32_t value)
{
    return Format(L"%u", static_cast<unsigned>(value));
}
COpcString ValueToText(uint64_t value)
{
    return Format(L"%I64u", static_cast<unsigned long long>(value));
}
COpcString ValueToText(float value)
{
    return Format(L"%0.8g", static_cast<double>(value));
}
COpcString ValueToText(double value)
{
    return Format(L"%0.16g", value);
}
