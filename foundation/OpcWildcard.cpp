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

bool Match(const wchar_t* t, const wchar_t* p, bool caseSensitive)
{
    for (;;)
    {
        wchar_t pc = *p;
        if (pc == L'\0')
            return *t == L'\0';
        ++p;
        switch (pc)
        {
        case L'?':
            if (*t == L'\0')
                return false;
            ++t;
            break;
        case L'#':
            if (*t == L'\0' || !std::iswdigit(static_cast<wint_t>(*t)))
                return false;
            ++t;
            break;
        case L'*':
            for (const wchar_t* from = t; *from != L'\0'; ++from)
            {
                if (Match(from, p, caseSensitive))
                    return true;
            }
            while (*t != L'\0')
                ++t;
            break;
        case L'[':
        {
            if (*t == L'\0')
                return false;
            bool negated = *p == L'!';
            if (negated)
                ++p;
            SetResult r = MatchSet(Fold(*t, caseSensitive), p, negated, caseSensitive);
            if (r != SetResult::Match)
                return false;
            ++t;
            // A set left open by the pattern's end ends the pattern too.
            if (*p == L'\0')
                return *t == L'\0';
            break;
        }
        default:
            if (*t == L'\0' || Fold(pc, caseSensitive) != Fold(*t, caseSensitive))
                return false;
            ++t;
            break;
        }
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
