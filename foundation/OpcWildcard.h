// Wildcard matching of item names against the filters browsing clients pass.
#pragma once

// Pattern characters: ? any one, * any run, # one digit, [set], [!set] with
// ranges a-b. Case-insensitive folding touches a-z only. A null pattern
// matches everything; a null text matches nothing.
bool MatchWildcard(const wchar_t* text, const wchar_t* pattern, bool caseSensitive);
