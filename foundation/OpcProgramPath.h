// Where the running program lives. Files the server names without a folder are
// the program's: COM and the service manager start it in some other directory.
#pragma once

#include "OpcString.h"

// What stands before the last "\\" of a full path. Empty when there is no
// separator, or when the only one is the first character (nothing before it).
COpcString DirectoryOfPath(const COpcString& path);

// The directory of the running program's file, without a trailing separator;
// empty when the path cannot be read.
COpcString ProgramDirectory();
