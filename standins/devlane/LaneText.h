// Text helpers of the runtime library: tokens with quoting, case-blind compare,
// strict number parsing and code-page conversion. None of them throws except
// for std::bad_alloc, which the exported functions catch.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace devlane
{
// Splits at blanks and tabs; "..." keeps blanks and knows \\ \" \n \r \t \xHH.
// False (with the reason) for an unterminated quote or a bad escape.
bool Tokenize(std::string_view line, std::vector<std::string>& tokens, std::string& error);

// The quoted form Tokenize reads back unchanged.
std::string Quote(std::string_view text);

bool EqualsNoCase(std::string_view a, std::string_view b);
// Case-blind hashing and equality (ASCII letters, as EqualsNoCase) for maps keyed by text.
struct NoCaseHash
{
    size_t operator()(std::string_view text) const noexcept;
};
struct NoCaseEqual
{
    bool operator()(std::string_view a, std::string_view b) const noexcept { return EqualsNoCase(a, b); }
};
std::string Trim(std::string_view text);
std::string Lower(std::string_view text);

// Whole-text numbers: optional sign where signed, "0x" prefix for hex, no blanks.
bool ParseInt64(std::string_view text, int64_t& value);
bool ParseUInt32(std::string_view text, uint32_t& value);
bool ParseHex64(std::string_view text, uint64_t& value); // with or without 0x
bool ParseDouble(std::string_view text, double& value);  // finite values only

std::wstring Utf8ToWide(std::string_view text); // falls back to the ANSI code page for invalid UTF-8
std::string WideToAnsi(std::wstring_view text);
std::string Utf8ToAnsi(std::string_view text);
std::wstring AnsiToWide(std::string_view text);

std::string Format(const char* format, ...)
#ifdef __GNUC__
    __attribute__((format(gnu_printf, 1, 2)))
#endif
    ;
} // namespace devlane
