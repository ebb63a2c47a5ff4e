#include "LaneText.h"

#include <windows.h>

#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

namespace devlane
{
namespace
{
bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

int HexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

char LowerChar(char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::wstring ToWide(UINT codePage, DWORD flags, std::string_view text, bool& ok)
{
    ok = true;
    if (text.empty())
        return std::wstring();
    if (text.size() > 0x7FFFFFFF)
    {
        ok = false;
        return std::wstring();
    }
    int n = MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (n <= 0)
    {
        ok = false;
        return std::wstring();
    }
    std::wstring out(static_cast<size_t>(n), L'\0');
    MultiByteToWideChar(codePage, flags, text.data(), static_cast<int>(text.size()), &out[0], n);
    return out;
}
} // namespace

bool Tokenize(std::string_view line, std::vector<std::string>& tokens, std::string& error)
{
    tokens.clear();
    size_t i = 0;
    while (i < line.size())
    {
        while (i < line.size() && IsBlank(line[i]))
            ++i;
        if (i >= line.size())
            break;
        std::string token;
        if (line[i] != '"')
        {
            while (i < line.size() && !IsBlank(line[i]))
                token += line[i++];
            tokens.push_back(std::move(token));
            continue;
        }
        ++i;
        bool closed = false;
        while (i < line.size())
        {
            char c = line[i++];
            if (c == '"')
            {
                closed = true;
                break;
            }
            if (c != '\\')
            {
                token += c;
                continue;
            }
            if (i >= line.size())
                break;
            char e = line[i++];
            switch (e)
            {
            case '\\': token += '\\'; break;
            case '"': token += '"'; break;
            case 'n': token += '\n'; break;
            case 'r': token += '\r'; break;
            case 't': token += '\t'; break;
            case 'x':
            {
                int hi = i < line.size() ? HexDigit(line[i]) : -1;
                int lo = i + 1 < line.size() ? HexDigit(line[i + 1]) : -1;
                if (hi < 0 || lo < 0)
                {
                    error = "bad \\x escape";
                    return false;
                }
                token += static_cast<char>(hi * 16 + lo);
                i += 2;
                break;
            }
            default: error = "unknown escape"; return false;
            }
        }
        if (!closed)
        {
            error = "unterminated quote";
            return false;
        }
        if (i < line.size() && !IsBlank(line[i]))
        {
            error = "text after closing quote";
            return false;
        }
        tokens.push_back(std::move(token));
    }
    return true;
}

std::string Quote(std::string_view text)
{
    std::string out = "\"";
    for (char c : text)
    {
        unsigned char u = static_cast<unsigned char>(c);
        if (c == '\\' || c == '"')
        {
            out += '\\';
            out += c;
        }
        else if (c == '\n')
            out += "\\n";
        else if (c == '\r')
            out += "\\r";
        else if (c == '\t')
            out += "\\t";
        else if (u < 0x20 || u == 0x7F)
            out += Format("\\x%02X", u);
        else
            out += c;
    }
    out += '"';
    return out;
}

bool EqualsNoCase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (LowerChar(a[i]) != LowerChar(b[i]))
            return false;
    return true;
}

size_t NoCaseHash::operator()(std::string_view text) const noexcept
{
    uint64_t hash = 14695981039346656037ull;
    for (char c : text)
        hash = (hash ^ static_cast<unsigned char>(LowerChar(c))) * 1099511628211ull;
    return static_cast<size_t>(hash);
}

std::string Trim(std::string_view text)
{
    size_t b = 0;
    size_t e = text.size();
    while (b < e && IsBlank(text[b]))
        ++b;
    while (e > b && IsBlank(text[e - 1]))
        --e;
    return std::string(text.substr(b, e - b));
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = LowerChar(c);
    return out;
}

bool ParseHex64(std::string_view text, uint64_t& value)
{
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 16)
        return false;
    uint64_t v = 0;
    for (char c : text)
    {
        int d = HexDigit(c);
        if (d < 0)
            return false;
        v = v * 16 + static_cast<uint64_t>(d);
    }
    value = v;
    return true;
}

bool ParseInt64(std::string_view text, int64_t& value)
{
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+'))
    {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty())
        return false;
    uint64_t magnitude = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
    {
        if (!ParseHex64(text, magnitude))
            return false;
    }
    else
    {
        if (text.size() > 19)
            return false;
        for (char c : text)
        {
            if (c < '0' || c > '9')
                return false;
            magnitude = magnitude * 10 + static_cast<uint64_t>(c - '0');
        }
    }
    if (negative)
    {
        if (magnitude > 0x8000000000000000ull)
            return false;
        value = static_cast<int64_t>(0 - magnitude);
    }
    else
    {
        if (magnitude > 0x7FFFFFFFFFFFFFFFull)
            return false;
        value = static_cast<int64_t>(magnitude);
    }
    return true;
}

bool ParseUInt32(std::string_view text, uint32_t& value)
{
    int64_t v = 0;
    if (text.empty() || text[0] == '-' || text[0] == '+' || !ParseInt64(text, v) || v > 0xFFFFFFFFll)
        return false;
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseDouble(std::string_view text, double& value)
{
    if (text.empty() || text.size() > 64 || IsBlank(text[0]))
        return false;
    std::string copy(text);
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(copy.c_str(), &end);
    if (end != copy.c_str() + copy.size() || errno == ERANGE || !std::isfinite(v))
        return false;
    value = v;
    return true;
}

std::wstring Utf8ToWide(std::string_view text)
{
    bool ok = false;
    std::wstring out = ToWide(CP_UTF8, MB_ERR_INVALID_CHARS, text, ok);
    if (!ok)
        out = ToWide(CP_ACP, 0, text, ok);
    return out;
}

std::wstring AnsiToWide(std::string_view text)
{
    bool ok = false;
    return ToWide(CP_ACP, 0, text, ok);
}

std::string WideToAnsi(std::wstring_view text)
{
    if (text.empty() || text.size() > 0x3FFFFFFF)
        return std::string();
    int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (n <= 0)
        return std::string();
    std::string out(static_cast<size_t>(n), '\0');
    WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), &out[0], n, nullptr, nullptr);
    return out;
}

std::string Utf8ToAnsi(std::string_view text)
{
    for (char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return WideToAnsi(Utf8ToWide(text));
    return std::string(text);
}

std::string Format(const char* format, ...)
{
    char buffer[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (n < 0)
        return std::string();
    if (static_cast<size_t>(n) < sizeof buffer)
        return std::string(buffer, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(&out[0], out.size(), format, args);
    va_end(args);
    out.resize(static_cast<size_t>(n));
    return out;
}
} // namespace devlane
