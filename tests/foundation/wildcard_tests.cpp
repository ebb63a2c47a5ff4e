#include "OpcWildcard.h"

#include <gtest/gtest.h>

#include <string>

namespace
{
bool M(const wchar_t* text, const wchar_t* pattern, bool caseSensitive = true)
{
    return MatchWildcard(text, pattern, caseSensitive);
}
} // namespace

TEST(Wildcard, QuestionStarAndDigit)
{
    EXPECT_TRUE(M(L"ABC", L"AB*"));
    EXPECT_TRUE(M(L"AB", L"AB*"));
    EXPECT_TRUE(M(L"ABC", L"*C"));
    EXPECT_FALSE(M(L"ABD", L"*C"));
    EXPECT_FALSE(M(L"AC", L"A?C"));
    EXPECT_TRUE(M(L"ABC", L"A?C"));
    EXPECT_TRUE(M(L"A7", L"A#"));
    EXPECT_FALSE(M(L"AB", L"A#"));
    EXPECT_FALSE(M(L"A", L"A#"));
    EXPECT_TRUE(M(L"Dev1.Tag22.Val", L"Dev#.*.V*"));
    EXPECT_TRUE(M(L"aXbXc", L"*X*X*"));
    EXPECT_FALSE(M(L"aXbc", L"*X*X*"));
    EXPECT_TRUE(M(L"", L"*"));
    EXPECT_TRUE(M(L"", L""));
    EXPECT_FALSE(M(L"A", L""));
    EXPECT_FALSE(M(L"", L"?"));
    EXPECT_FALSE(M(L"AB", L"A"));
}

TEST(Wildcard, SetsRangesAndNegation)
{
    EXPECT_TRUE(M(L"BX", L"[A-C]X"));
    EXPECT_FALSE(M(L"DX", L"[A-C]X"));
    EXPECT_TRUE(M(L"DX", L"[!A-C]X"));
    EXPECT_FALSE(M(L"BX", L"[!A-C]X"));
    EXPECT_TRUE(M(L"QX", L"[XYQ]X"));
    EXPECT_TRUE(M(L"7", L"[A-C0-9]"));
    EXPECT_FALSE(M(L"", L"[A-C]"));
    // A leading "-" ranges from code 0 up to its upper bound.
    EXPECT_TRUE(M(L"5", L"[-5]"));
    EXPECT_TRUE(M(L" ", L"[-5]"));
    EXPECT_TRUE(M(L"\x01", L"[-5]"));
    EXPECT_FALSE(M(L"6", L"[-5]"));
    // A range missing its upper bound fails the whole match.
    EXPECT_FALSE(M(L"AX", L"[A-]X"));
    EXPECT_FALSE(M(L"A", L"[A-"));
    // A set must find its closing bracket to match; otherwise nothing matches.
    EXPECT_FALSE(M(L"ZX", L"[AB]X"));
}

TEST(Wildcard, UnclosedSetEndsThePattern)
{
    EXPECT_TRUE(M(L"ABC", L"AB[C"));
    EXPECT_FALSE(M(L"ABCD", L"AB[C"));
    EXPECT_FALSE(M(L"ABD", L"AB[C"));
    EXPECT_TRUE(M(L"ABD", L"AB[!C"));
    EXPECT_FALSE(M(L"ABDE", L"AB[!C"));
}

TEST(Wildcard, FoldsOnlyAToZWhenCaseInsensitive)
{
    EXPECT_TRUE(M(L"ABC", L"ab*", false));
    EXPECT_FALSE(M(L"ABC", L"ab*", true));
    EXPECT_TRUE(M(L"b", L"[A-C]", false));
    EXPECT_FALSE(M(L"b", L"[A-C]", true));
    EXPECT_TRUE(M(L"tag", L"[!X-Z]AG", false));
    // Letters outside a-z are never folded.
    EXPECT_FALSE(M(L"\x00E4", L"\x00C4", false)); // a-umlaut vs A-umlaut
    EXPECT_FALSE(M(L"\x03B1", L"\x0391", false)); // Greek alpha
    // "[" to "`" lie between the cases: folding moves text but not them.
    EXPECT_FALSE(M(L"a", L"[_-z]", false));
    EXPECT_TRUE(M(L"a", L"[_-z]", true));
}

TEST(Wildcard, NullPatternMatchesAllNullTextMatchesNothing)
{
    EXPECT_TRUE(MatchWildcard(nullptr, nullptr, true));
    EXPECT_TRUE(MatchWildcard(L"anything", nullptr, false));
    EXPECT_FALSE(MatchWildcard(nullptr, L"*", false));
    EXPECT_FALSE(MatchWildcard(nullptr, L"", false));
}

TEST(Wildcard, PatternsAClientMakesUpTakeNoStackAndNoExponentialTime)
{
    const std::wstring stars(1 << 20, L'*');
    EXPECT_TRUE(M(L"Line1.PLC1.Level", stars.c_str()));
    std::wstring many;
    for (int i = 0; i < 4096; ++i)
        many += L"*a";
    const std::wstring text(4096, L'a');
    EXPECT_TRUE(M(text.c_str(), many.c_str()));
    EXPECT_FALSE(M(text.c_str(), (many + L"!").c_str()));
    EXPECT_FALSE(M(text.c_str(), (std::wstring(1 << 19, L'*') + std::wstring(1 << 19, L'?')).c_str()));
}
