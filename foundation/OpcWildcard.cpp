#include "OpcWildcard.h"

#include <cwctype>

namespace
{
inline wchar_t Fold(wchar_t c, bool caseSensitive)
{
    return (!caseSensitive && c >= L'a' && c <= L'z') ? static_cast<wchar_t>(c - L'a' + L'A') : c;
}

enum class SetResult
{
    Match,    // character accepted; pattern continues after the set
    NoMatch,  // character refused
    Malformed // a range without its upper bound fails the whole match
};

// Reads the set starting just after "[" (and "!" when negated); leaves p after
// the closing "]" or at the pattern's end.
SetResult MatchSet(wchar_t c, const wchar_t*& p, bool negated, bool caseSensitive)
{
    bool found = false;
    while (*p != L'\0' && *p != L']')
    {
        wchar_t lower;
        wchar_t upper;
        if (*p == L'-')
        {
            lower = 0;
            ++p;
            if (*p == L'\0' || *p == L']')
                return SetResult::Malformed;
            upper = Fold(*p++, caseSensitive);
        }
        else if (p[1] == L'-')
        {
            lower = Fold(*p, caseSensitive);
            p += 2;
            if (*p == L'\0' || *p == L']')
                return SetResult::Malformed;
            upper = Fold(*p++, caseSensitive);
        }
        else
        {
            lower = upper = Fold(*p++, caseSensitive);
        }
        if (c >= lower && c <= upper)
        {
            if (negated)
                return SetResult::NoMatch;
            found = true;
            // The rest of the set only needs skipping.
            while (*p != L'\0' && *p != L']')
                ++p;
            break;
        }
    }
    if (*p == L']')
        ++p;
    return (found || negated) ? SetResult::Match : SetResult::NoMatch;
}

// Matches the one text character at t against the pattern element at p (not
// "*") and moves p past that element.
bool MatchOne(const wchar_t* t, const wchar_t*& p, bool caseSensitive)
{
    const wchar_t pc = *p++;
    if (*t == L'\0')
        return false;
    switch (pc)
    {
    case L'?': return true;
    case L'#': return std::iswdigit(static_cast<wint_t>(*t)) != 0;
    case L'[':
    {
        const bool negated = *p == L'!';
        if (negated)
            ++p;
        return MatchSet(Fold(*t, caseSensitive), p, negated, caseSensitive) == SetResult::Match;
    }
    default: return Fold(pc, caseSensitive) == Fold(*t, caseSensitive);
    }
}

// Every element but "*" takes exactly one character, so on a mismatch only
// the last "*" needs to take one character more: time grows with the product
// of the lengths, not exponentially, and the stack not at all, whatever
// pattern a client sends.
bool Match(const wchar_t* t, const wchar_t* p, bool caseSensitive)
{
    const wchar_t* starPattern = nullptr; // just after the last "*"
    const wchar_t* starText = nullptr;    // where that "*" run ends for now
    for (;;)
    {
        if (*p == L'*')
        {
            while (*p == L'*')
                ++p;
            starPattern = p;
            starText = t;
            continue;
        }
        if (*p == L'\0' && *t == L'\0')
            return true;
        const wchar_t* next = p;
        if (*p != L'\0' && MatchOne(t, next, caseSensitive))
        {
            ++t;
            p = next;
            continue;
        }
        if (starPattern == nullptr || *starText == L'\0')
            return false;
        t = ++starText;
        p = starPattern;
    }
}
} // namespace

bool MatchWildcard(const wchar_t* text, const wchar_t* pattern, bool caseSensitive)
{
    if (pattern == nullptr)
        return true;
    if (text == nullptr)
        return false;
    return Match(text, pattern, caseSensitive);
}
