// The program's own version resource: description and the four version parts.
#pragma once

#include "OpcString.h"

#include <windows.h>

struct COpcVersionInfo
{
    COpcString description; // "Unknown" when the resource cannot be read
    WORD major = 0;
    WORD minor = 0;
    WORD build = 0;
    WORD revision = 0;
};

// Reads FileDescription (first entry of the translation table) and the fixed
// file version of a module; null reads the running program.
COpcVersionInfo ReadVersionInfo(HMODULE module = nullptr);
