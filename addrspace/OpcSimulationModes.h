// The simulation modes: how a simulated item's next value follows from its
// current one on each pass of the simulation thread, for every value kind,
// and the process-wide pseudo-random generator the "Random" mode draws from.
//
// The functions keep no state of their own apart from the generator, which
// is safe to use from any thread.
#pragma once

#include "OpcDaDataTypes.h"
#include "OpcString.h"

#include <windows.h>
#include <oleauto.h>

#include <cmath>
#include <cstdint>

// Wave length of "SIN" and "COS" in ms.
constexpr uint32_t kOpcSimulationWaveLength = 10000;

// What one refresh hands to the mode functions.
struct SOpcSimulationStep
{
    uint32_t mode = kOpcSimNone; // kOpcSimNone to kOpcSimCsv; others change nothing
    uint64_t cycle = 0;          // the simulation thread's pass counter n
    uint32_t periodMs = 0;       // the simulation interval
    int32_t stepUnit = 100;      // the settings' simulation unit (no mode depends on it yet)
    // HighEU and LowEU of an analog tag. Each is held within the value kind's
    // limits, so the defaults (and NaN) stand for the kind's own limits.
    double high = HUGE_VAL;
    double low = -HUGE_VAL;
    // "CSV": the cell of the current row in the tag's column
    // (COpcDaSettings::SimulationCell); empty leaves the value alone.
    COpcString cell;
    // Digital tags with "Inverse" "On": a state taken from a cell is turned around.
    bool inverse = false;
};

// The next value of one element of each kind. Integer results are truncated
// towards zero and held within the kind's limits:
//   "None" keeps x; "Increment" gives 0 when x equals high, else x + 1
//   (wrapping at the kind's maximum); "Random" low + r / 32767 x (high - low);
//   "SIN"/"COS" low + (f(2 pi t / 10000) + 1) x (high - low) / 2 with
//   t = (n x period) mod 10000; "CSV" the cell read by OpcParseCellNumber.
// Reals: "Increment" keeps x and "Random" leaves out low; results are held
// within the kind's finite range.
int8_t OpcSimulate(const SOpcSimulationStep& step, int8_t x);
uint8_t OpcSimulate(const SOpcSimulationStep& step, uint8_t x);
int16_t OpcSimulate(const SOpcSimulationStep& step, int16_t x);
uint16_t OpcSimulate(const SOpcSimulationStep& step, uint16_t x);
int32_t OpcSimulate(const SOpcSimulationStep& step, int32_t x);
uint32_t OpcSimulate(const SOpcSimulationStep& step, uint32_t x);
int64_t OpcSimulate(const SOpcSimulationStep& step, int64_t x);
uint64_t OpcSimulate(const SOpcSimulationStep& step, uint64_t x);
float OpcSimulate(const SOpcSimulationStep& step, float x);
double OpcSimulate(const SOpcSimulationStep& step, double x);
// Only "CSV" changes these: "On" true and "Off" false (both turned around
// with step.inverse), other text keeps x; a non-empty cell becomes the text.
bool OpcSimulate(const SOpcSimulationStep& step, bool x);
COpcString OpcSimulate(const SOpcSimulationStep& step, const COpcString& x);

// Applies the step to every element of an item's value. value should hold
// canonicalType (a scalar or an array); a VT_EMPTY scalar starts from zero,
// false or the empty text, and another scalar type is converted first.
// E_INVALIDARG when an array item's value is not an array of its type or the
// type is not a simulated kind; E_OUTOFMEMORY.
HRESULT OpcSimulateValue(const SOpcSimulationStep& step, VARTYPE canonicalType, VARIANT* value);

// A cell as a decimal real: leading white space skipped, an optional sign,
// digits with an optional point and exponent, stopping at the first character
// that does not fit; no digits give 0. Null counts as empty.
double OpcParseCellNumber(const wchar_t* text);

// The process-wide pseudo-random generator: 0 to 32767 per draw.
uint32_t OpcNextRandom();
void OpcSeedRandom(uint32_t seed);
// Seeds with the current time in seconds (called when an item is reset).
void OpcReseedRandom();
