// Signal conditioning of analog tags: the range checks with their OPC quality
// bits, the read side (raw device value to engineering units) and the write
// side (engineering units back to the raw value the device takes).
//
// Values are VARIANTs: a scalar or a one-dimensional SAFEARRAY, and every step
// applies to every element. Raw values are expected in the data type's
// canonical type (OpcCanonicalType); other numeric types are converted with
// ChangeType first. Nothing here takes a lock or keeps state.
#pragma once

#include "OpcDaDataTypes.h"
#include "OpcResultCodes.h"

#include <windows.h>
#include <oleauto.h>

#include <cstdint>

// OPC qualities and limit bits set by the checks.
constexpr WORD kOpcQualitySensorFailure = 0x10; // raw value outside the instrument range
constexpr WORD kOpcQualityUncertain = 0x40;     // invalid BCD digit
constexpr WORD kOpcQualityEguExceeded = 0x54;   // value outside the EU range
constexpr WORD kOpcLimitLow = 0x01;
constexpr WORD kOpcLimitHigh = 0x02;

// The configuration of one analog tag that the conditioning depends on.
struct SOpcConditioning
{
    uint32_t typeCode = 0; // data-type code 1 to 12
    uint32_t condition = kOpcConditionNone;
    int32_t decimalPoint = 0; // 0 to 7; anything else counts as 0
    // For text and other values that need the platform's conversion.
    LCID locale = LOCALE_USER_DEFAULT;
    double highEU = 0;
    double lowEU = 0;
    double highIR = 0; // HighInstrumentRange
    double lowIR = 0;  // LowInstrumentRange
};

// --- BCD -------------------------------------------------------------------------

// BCD code of a non-negative decimal number: digit d at position k (units
// k = 0) fills bits 4k to 4k+3, so 999 becomes 0x999. False when the number
// needs more than `digits` digits (at most 8).
bool EncodeBcd(uint32_t value, uint32_t& code, unsigned digits = 8);
// The lowest `digits` BCD digits of code as a number. False when one of them
// is 10 or more; value then holds the digits read at their face value.
bool DecodeBcd(uint32_t code, unsigned digits, uint32_t& value);

// --- range check -------------------------------------------------------------------

// Compares the value (each element of an array) with low and high as doubles.
// S_OK: inside. S_FALSE: outside, and *quality = baseQuality plus kOpcLimitLow
// (below low, not a number, or not convertible to a number) or kOpcLimitHigh
// (above high); for an array the first element outside decides the bit.
// E_POINTER when quality is null.
HRESULT CheckRange(const VARIANT& value, WORD baseQuality, double high, double low, WORD* quality);

// --- read side ----------------------------------------------------------------------

// The analog read steps on a raw value, in place:
//   1. the instrument-range check (quality 0x10 plus limit bits) on the field
//      the condition reads, against HIR and LIR (BCD-encoded for 3BCD, 4BCD and BCD);
//   2. conditioning and scaling to EU (quality 0x40 for an invalid BCD digit);
//   3. the EU-range check (quality 0x54 plus limit bits).
// All steps run; *quality receives the quality of the first failing step only
// and is left alone when none fails.
// Returns S_OK (no step failed), S_FALSE (*quality was set), or a failure
// (OPC_E_BADTYPE for a value that is not numeric, E_OUTOFMEMORY), in which
// case value and *quality are unchanged.
//
// The result type: with "None" the raw type, or with DecimalPoint n > 0 the
// value divided by 10^n as VT_R4 (16-bit types) or VT_R8 (32-bit types);
// "Float" and "Double" ignore DecimalPoint. Every other condition gives VT_R8.
// Arrays keep the array flag.
HRESULT ConditionRead(const SOpcConditioning& config, VARIANT* value, WORD* quality);

// Only the conditioning and scaling step (2 above), without range checks.
// S_FALSE with *quality = 0x40 for an invalid BCD digit; the value is then
// still converted, each bad digit counted at its face value.
HRESULT ConditionValue(const SOpcConditioning& config, VARIANT* value, WORD* quality);

// --- write side ----------------------------------------------------------------------

// Turns a client's value (in EU) into the raw value for the device, in place:
//   1. the type preparation: "None" with DecimalPoint converts 16-bit types and
//      "Float" to VT_R4, 32-bit types and "Double" to VT_R8; any other
//      condition converts 16-bit types and "Float" to VT_R8;
//   2. the value must lie within LowEU..HighEU (else OPC_E_RANGE,
//      *quality = 0x54 plus the limit bit);
//   3. the inverse conditioning: DecimalPoint (raw type range exceeded:
//      OPC_E_RANGE with *quality 0x11 or 0x12), inverse Linear and SQRT with
//      clamping, the n-bit layout, BCD coding (more digits than the field holds
//      or a negative number: OPC_E_RANGE);
//   4. the raw value must lie within the instrument range, BCD-encoded for the
//      BCD conditions (else OPC_E_RANGE, *quality = 0x10 plus the limit bit).
// The result is in the data type's raw type: VT_I2, VT_UI2, VT_I4, VT_UI4,
// VT_R4 or VT_R8 (array flag kept). BCD codes are stored bit for bit, so 4BCD
// on "16Bit(Signed)" 9999 becomes the VT_I2 holding 0x9999. "None" without
// DecimalPoint leaves the value's type alone (the caller's type check decides).
// A value that cannot be converted gives OPC_E_BADTYPE, an overflowing
// conversion OPC_E_RANGE. On failure value is unchanged; *quality is only
// written by the range checks.
HRESULT ConditionWrite(const SOpcConditioning& config, VARIANT* value, WORD* quality);
