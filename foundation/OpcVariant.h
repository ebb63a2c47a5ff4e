// VARIANT and SAFEARRAY conversion: the one routine that brings a value to the
// type a client asked for, the change test, FILETIME/DATE conversion and the
// small typed accessors.
//
// Every destination must be an initialised VARIANT (VariantInit or a value);
// its old content is cleared, so nothing leaks when a variant is reused.
#pragma once

#include "OpcContainers.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include <oleauto.h>

#include <cstdint>

// --- conversion ----------------------------------------------------------------

// Converts source to the requested type with the platform's rules plus ours:
// - VT_EMPTY, VT_VARIANT or the source's own type: an unchanged copy;
// - no sign change between signed and unsigned integers (DISP_E_OVERFLOW);
// - arrays (one dimension) convert element by element to an array type, or to
//   the text "{a | b | c}"; to any other scalar DISP_E_TYPEMISMATCH; when an
//   element fails DISP_E_OVERFLOW.
// On failure the destination is VT_EMPTY (unless it is the source itself,
// which then keeps its value).
HRESULT ChangeType(VARIANT* destination, const VARIANT* source, LCID locale, VARTYPE requested);

// Same type and same value; see the comparison rules in the implementation.
bool ValuesEqual(const VARIANT& a, const VARIANT& b);

// Clears the destination, then copies (a null source leaves it VT_EMPTY).
HRESULT CopyValue(VARIANT* destination, const VARIANT* source);
void ClearValue(VARIANT* value);

// --- typed getters: the out value is unchanged on failure ----------------------------------

HRESULT GetBool(bool& value, const VARIANT& source);
HRESULT GetInt16(int16_t& value, const VARIANT& source);
HRESULT GetUInt16(uint16_t& value, const VARIANT& source);
HRESULT GetInt32(int32_t& value, const VARIANT& source);
HRESULT GetFloat(float& value, const VARIANT& source);
HRESULT GetDouble(double& value, const VARIANT& source);
HRESULT GetString(COpcString& value, const VARIANT& source);
// FILETIME ticks (100 ns since 1601-01-01, UTC) of a value convertible to VT_DATE.
HRESULT GetFileTime(uint64_t& ticks, const VARIANT& source);

// --- typed setters: clear the destination, then store ------------------------------------

HRESULT SetBool(VARIANT* destination, bool value);
HRESULT SetInt16(VARIANT* destination, int16_t value);
HRESULT SetInt32(VARIANT* destination, int32_t value);
HRESULT SetFloat(VARIANT* destination, float value);
HRESULT SetDouble(VARIANT* destination, double value);
HRESULT SetString(VARIANT* destination, const COpcString& value);
HRESULT SetFileTime(VARIANT* destination, uint64_t ticks);

// A VT_BYREF variant of the base type pointing at value (the caller keeps the
// value alive). Types: VT_I2 to VT_BSTR, VT_BOOL, VT_VARIANT, VT_I1 to VT_UI8.
HRESULT MakeByRef(VARIANT* destination, VARTYPE type, void* value);

// VT_ARRAY | VT_BSTR of copies of the strings in order; no strings give VT_EMPTY.
HRESULT StringsToArray(VARIANT* destination, const COpcList<COpcString>& strings);
HRESULT StringsToArray(VARIANT* destination, const COpcString* strings, size_t count);
// Clears the list and appends each element of a VT_ARRAY | VT_BSTR source.
HRESULT ArrayToStrings(COpcList<COpcString>& list, const VARIANT& source);

// --- time -------------------------------------------------------------------------------

// OLE date of FILETIME ticks, rounded to a billionth of a day.
double FileTimeToDate(uint64_t ticks);
// FILETIME ticks of an OLE date, truncated; false for dates before 1601,
// beyond the 64-bit range, or not a number.
bool DateToFileTime(double date, uint64_t& ticks);

// --- canonical type table ---------------------------------------------------------------

const UINT kOpcCanonicalTypeCount = 16;
// VT_EMPTY for an index not in the table.
VARTYPE TypeFromIndex(UINT index);
// 0 for a type not in the table.
UINT IndexFromType(VARTYPE type);
