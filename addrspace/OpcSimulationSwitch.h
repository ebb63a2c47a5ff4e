// The simulation switch read at start-up: the attribute "Enabled" of the
// element "Simulation" under the root of "OpcConfiguration.xml".
#pragma once

#include "OpcString.h"

// True only when the file, the element and the attribute exist and the
// attribute reads as true by the boolean rule; every other case is false.
// The directory is joined with "\\"; an empty directory gives false.
bool ReadSimulationSwitch(const COpcString& directory);

// The same for the directory of the running program.
bool ReadSimulationSwitch();
