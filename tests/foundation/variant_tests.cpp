#include "OpcVariant.h"

#include "OpcApartment.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cmath>
#include <limits>
#include <string>

namespace
{
const LCID kLocale = 0x0409;
const uint64_t kTicksPerDay = 864000000000ull;

std::wstring W(const COpcString& s)
{
    return s.IsEmpty() ? std::wstring() : std::wstring(s.Text(), s.Length());
}

// A VARIANT holding one integer value of the given type.
void SetInteger(VARIANT* v, VARTYPE type, int64_t value)
{
    VariantInit(v);
    v->vt = type;
    switch (type)
    {
    case VT_I1: v->cVal = static_cast<CHAR>(value); break;
    case VT_UI1: v->bVal = static_cast<BYTE>(value); break;
    case VT_I2: v->iVal = static_cast<SHORT>(value); break;
    case VT_UI2: v->uiVal = static_cast<USHORT>(value); break;
    case VT_I4: v->lVal = static_cast<LONG>(value); break;
    case VT_UI4: v->ulVal = static_cast<ULONG>(value); break;
    case VT_I8: v->llVal = value; break;
    case VT_UI8: v->ullVal = static_cast<ULONGLONG>(value); break;
    }
}

// A one-dimensional array of the element type, lower bound given.
SAFEARRAY* MakeArray(VARTYPE type, ULONG count, LONG lowerBound = 0)
{
    SAFEARRAYBOUND bound = {count, lowerBound};
    return SafeArrayCreate(type, 1, &bound);
}

template <typename T>
void FillArray(SAFEARRAY* array, std::initializer_list<T> values)
{
    T* data = nullptr;
    SafeArrayAccessData(array, reinterpret_cast<void**>(&data));
    for (const T& value : values)
        *data++ = value;
    SafeArrayUnaccessData(array);
}

template <typename T>
void ArrayVariant(COpcVariant& v, VARTYPE type, std::initializer_list<T> values)
{
    v.Clear();
    v->parray = MakeArray(type, static_cast<ULONG>(values.size()));
    FillArray(v->parray, values);
    v->vt = VT_ARRAY | type;
}

std::wstring Text(const VARIANT& v)
{
    return v.vt == VT_BSTR && v.bstrVal ? std::wstring(v.bstrVal, SysStringLen(v.bstrVal)) : L"<not text>";
}

template <typename T>
T Element(const VARIANT& v, LONG index)
{
    T value{};
    SafeArrayGetElement(v.parray, &index, &value);
    return value;
}

int ElementSizeOf(VARTYPE type)
{
    switch (type)
    {
    case VT_I1:
    case VT_UI1: return 1;
    case VT_I2:
    case VT_UI2: return 2;
    case VT_I4:
    case VT_UI4: return 4;
    default: return 8;
    }
}

const VARTYPE kSigned[] = {VT_I1, VT_I2, VT_I4, VT_I8};
const VARTYPE kUnsigned[] = {VT_UI1, VT_UI2, VT_UI4, VT_UI8};

// Largest value of an unsigned type, which has the sign bit of the signed
// type of the same size set.
int64_t UnsignedMax(VARTYPE type)
{
    switch (type)
    {
    case VT_UI1: return 0xFF;
    case VT_UI2: return 0xFFFF;
    case VT_UI4: return 0xFFFFFFFFll;
    default: return -1; // all bits
    }
}

class OpcVariant : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(m_com.Result())); }

    COpcApartment m_com;
};
} // namespace

TEST_F(OpcVariant, NoNegativeValueBecomesUnsigned)
{
    for (VARTYPE from : kSigned)
    {
        for (VARTYPE to : kUnsigned)
        {
            VARIANT source;
            SetInteger(&source, from, -1);
            COpcVariant out;
            SetString(out.Get(), COpcString(L"old"));
            EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), &source, kLocale, to)) << from << "->" << to;
            EXPECT_EQ(VT_EMPTY, out->vt);

            SHORT referenced = -1;
            VARIANT byRef;
            VariantInit(&byRef);
            if (from == VT_I2)
            {
                MakeByRef(&byRef, VT_I2, &referenced);
                EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), &byRef, kLocale, to)) << "by reference to " << to;
            }

            SetInteger(&source, from, 5);
            ASSERT_EQ(S_OK, ChangeType(out.Get(), &source, kLocale, to)) << from << "->" << to;
            EXPECT_EQ(to, out->vt);
            EXPECT_EQ(5u, out->bVal);
        }
    }
}

TEST_F(OpcVariant, NoUnsignedValueBecomesNegative)
{
    for (VARTYPE from : kUnsigned)
    {
        for (VARTYPE to : kSigned)
        {
            VARIANT source;
            SetInteger(&source, from, UnsignedMax(from));
            COpcVariant out;
            HRESULT hr = ChangeType(out.Get(), &source, kLocale, to);
            // A wider signed type holds the value; any other must refuse it.
            bool fits = ElementSizeOf(to) > ElementSizeOf(from);
            if (fits)
            {
                ASSERT_EQ(S_OK, hr) << from << "->" << to;
                COpcVariant wide;
                ASSERT_EQ(S_OK, ChangeType(wide.Get(), out.Get(), kLocale, VT_I8));
                EXPECT_EQ(UnsignedMax(from), wide->llVal);
            }
            else
            {
                EXPECT_EQ(DISP_E_OVERFLOW, hr) << from << "->" << to;
                EXPECT_EQ(VT_EMPTY, out->vt);
            }
        }
    }
}

TEST_F(OpcVariant, NoNaNOrInfinityBecomesANumber)
{
    const double odd[] = {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::infinity(),
                          -std::numeric_limits<double>::infinity()};
    std::vector<VARTYPE> targets(std::begin(kSigned), std::end(kSigned));
    targets.insert(targets.end(), std::begin(kUnsigned), std::end(kUnsigned));
    targets.push_back(VT_CY);
    for (double value : odd)
        for (VARTYPE from : {VARTYPE(VT_R4), VARTYPE(VT_R8)})
            for (VARTYPE to : targets)
            {
                VARIANT source;
                VariantInit(&source);
                source.vt = from;
                if (from == VT_R4)
                    source.fltVal = static_cast<float>(value);
                else
                    source.dblVal = value;
                COpcVariant out;
                EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), &source, kLocale, to))
                    << value << " " << from << "->" << to;
                EXPECT_EQ(VT_EMPTY, out->vt);
            }
}

TEST_F(OpcVariant, SignRuleExamples)
{
    VARIANT source;
    COpcVariant out;
    SetInteger(&source, VT_UI4, 3000000000ll);
    ASSERT_EQ(S_OK, ChangeType(out.Get(), &source, kLocale, VT_I8));
    EXPECT_EQ(3000000000ll, out->llVal);
    SetInteger(&source, VT_I8, 3000000000ll);
    ASSERT_EQ(S_OK, ChangeType(out.Get(), &source, kLocale, VT_UI4));
    EXPECT_EQ(3000000000u, out->ulVal);

    // A reference to a variant is looked through for the sign too.
    VARIANT inner;
    SetInteger(&inner, VT_UI2, 0xFFFF);
    VARIANT reference;
    VariantInit(&reference);
    ASSERT_EQ(S_OK, MakeByRef(&reference, VT_VARIANT, &inner));
    EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), &reference, kLocale, VT_I2));

    uint16_t u16 = 7;
    SetInteger(&source, VT_I2, -1);
    EXPECT_EQ(DISP_E_OVERFLOW, GetUInt16(u16, source));
    EXPECT_EQ(7u, u16);
}

TEST_F(OpcVariant, SameEmptyOrVariantTypeCopiesUnchanged)
{
    COpcVariant source;
    SetString(source.Get(), COpcString(L"12"));
    for (VARTYPE type : {VT_EMPTY, VT_VARIANT, VT_BSTR})
    {
        COpcVariant out;
        ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, type));
        EXPECT_EQ(L"12", Text(*out.Get()));
        EXPECT_NE(source->bstrVal, out->bstrVal); // an own copy
    }
    // Converting a value onto itself.
    ASSERT_EQ(S_OK, ChangeType(source.Get(), source.Get(), kLocale, VT_I4));
    EXPECT_EQ(VT_I4, source->vt);
    EXPECT_EQ(12, source->lVal);
    VARIANT text;
    VariantInit(&text);
    SetString(&text, COpcString(L"abc"));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ChangeType(&text, &text, kLocale, VT_I4));
    EXPECT_EQ(L"abc", Text(text)); // a failed in-place conversion keeps the value
    VariantClear(&text);
    EXPECT_EQ(E_POINTER, ChangeType(nullptr, source.Get(), kLocale, VT_I4));
}

TEST_F(OpcVariant, ArraysBecomeTextInBraces)
{
    COpcVariant source;
    COpcVariant out;
    ArrayVariant<LONG>(source, VT_I4, {1, 2, 3});
    ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(L"{1 | 2 | 3}", Text(*out.Get()));

    ArrayVariant<LONG>(source, VT_I4, {});
    ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(L"{}", Text(*out.Get()));

    source.Clear();
    source->vt = VT_ARRAY | VT_VARIANT;
    source->parray = MakeArray(VT_VARIANT, 3);
    VARIANT* items = nullptr;
    SafeArrayAccessData(source->parray, reinterpret_cast<void**>(&items));
    SetInteger(&items[0], VT_I2, -4);
    SetString(&items[1], COpcString(L"tank"));
    SetString(&items[2], COpcString());
    SafeArrayUnaccessData(source->parray);
    ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(L"{-4 | tank | }", Text(*out.Get()));

    // A variant holding an array holds the array as its only element.
    COpcVariant nested;
    nested->vt = VT_ARRAY | VT_VARIANT;
    nested->parray = MakeArray(VT_VARIANT, 1);
    LONG index = 0;
    SafeArrayPutElement(nested->parray, &index, source.Get());
    ASSERT_EQ(S_OK, ChangeType(out.Get(), nested.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(L"{{-4 | tank | }}", Text(*out.Get()));
}

TEST_F(OpcVariant, ArraysConvertElementByElement)
{
    COpcVariant source;
    COpcVariant out;
    ArrayVariant<double>(source, VT_R8, {1.5, 2.5, -0.5, 3.5, 2.4});
    ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_I4));
    ASSERT_EQ(VT_ARRAY | VT_I4, out->vt);
    EXPECT_EQ(2, Element<LONG>(*out.Get(), 0)); // half to even
    EXPECT_EQ(2, Element<LONG>(*out.Get(), 1));
    EXPECT_EQ(0, Element<LONG>(*out.Get(), 2));
    EXPECT_EQ(4, Element<LONG>(*out.Get(), 3));
    EXPECT_EQ(2, Element<LONG>(*out.Get(), 4));

    ArrayVariant<LONG>(source, VT_I4, {7, -8});
    ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_BSTR));
    COpcList<COpcString> strings;
    ASSERT_EQ(S_OK, ArrayToStrings(strings, *out.Get()));
    ASSERT_EQ(2u, strings.GetCount());
    EXPECT_EQ(L"7", W(strings.GetHead()->value));
    EXPECT_EQ(L"-8", W(strings.GetTail()->value));

    // Elements of a variant array are values, never references into the source.
    ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_VARIANT));
    source.Clear();
    COpcVariant first;
    LONG index = 1;
    ASSERT_EQ(S_OK, SafeArrayGetElement(out->parray, &index, first.Get()));
    EXPECT_EQ(VT_I4, first->vt);
    EXPECT_EQ(-8, first->lVal);

    ArrayVariant<LONG>(source, VT_I4, {});
    ASSERT_EQ(S_OK, ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_R8));
    EXPECT_EQ(0u, out->parray->rgsabound[0].cElements);
}

TEST_F(OpcVariant, ArrayFailuresLeaveNothingBehind)
{
    COpcVariant source;
    COpcVariant out;
    ArrayVariant<LONG>(source, VT_I4, {1, 2});
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ChangeType(out.Get(), source.Get(), kLocale, VT_I4));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ChangeType(out.Get(), source.Get(), kLocale, VT_R8));

    // Any failing element gives DISP_E_OVERFLOW, whatever its own failure.
    ArrayVariant<LONG>(source, VT_I4, {1, -1, 3});
    SetString(out.Get(), COpcString(L"old"));
    EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_UI2));
    EXPECT_EQ(VT_EMPTY, out->vt);

    source.Clear();
    COpcString texts[] = {COpcString(L"1"), COpcString(L"x")};
    ASSERT_EQ(S_OK, StringsToArray(source.Get(), texts, 2));
    EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_I4));
    EXPECT_EQ(VT_EMPTY, out->vt);

    source.Clear();
    source->vt = VT_ARRAY | VT_VARIANT;
    source->parray = MakeArray(VT_VARIANT, 1);
    VARIANT* items = nullptr;
    SafeArrayAccessData(source->parray, reinterpret_cast<void**>(&items));
    items[0].vt = VT_NULL;
    SafeArrayUnaccessData(source->parray);
    EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), source.Get(), kLocale, VT_BSTR));
}

TEST_F(OpcVariant, UnusualArraysAreReadWithinBoundsOrRefused)
{
    COpcVariant out;

    // Lower bound 1: exactly three elements, not four.
    COpcVariant shifted;
    shifted->parray = MakeArray(VT_I4, 3, 1);
    FillArray<LONG>(shifted->parray, {1, 2, 3});
    shifted->vt = VT_ARRAY | VT_I4;
    ASSERT_EQ(S_OK, ChangeType(out.Get(), shifted.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(L"{1 | 2 | 3}", Text(*out.Get()));

    // Two dimensions are refused, not read as one.
    COpcVariant square;
    SAFEARRAYBOUND bounds[2] = {{2, 0}, {2, 0}};
    square->parray = SafeArrayCreate(VT_I4, 2, bounds);
    square->vt = VT_ARRAY | VT_I4;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ChangeType(out.Get(), square.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ChangeType(out.Get(), square.Get(), kLocale, VT_ARRAY | VT_R8));
    COpcList<COpcString> strings;
    COpcVariant squareText;
    squareText->parray = SafeArrayCreate(VT_BSTR, 2, bounds);
    squareText->vt = VT_ARRAY | VT_BSTR;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ArrayToStrings(strings, *squareText.Get()));

    // An array whose elements are smaller than its variant type claims.
    COpcVariant mislabelled;
    mislabelled->parray = MakeArray(VT_I2, 2);
    mislabelled->vt = VT_ARRAY | VT_R8;
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ChangeType(out.Get(), mislabelled.Get(), kLocale, VT_BSTR));
    EXPECT_FALSE(ValuesEqual(*mislabelled.Get(), *mislabelled.Get()));

    // By reference: to an array, to a variant holding one, and null references.
    COpcVariant source;
    ArrayVariant<SHORT>(source, VT_I2, {4, 5});
    SAFEARRAY* array = source->parray;
    VARIANT arrayRef;
    VariantInit(&arrayRef);
    arrayRef.vt = VT_BYREF | VT_ARRAY | VT_I2;
    arrayRef.pparray = &array;
    ASSERT_EQ(S_OK, ChangeType(out.Get(), &arrayRef, kLocale, VT_BSTR));
    EXPECT_EQ(L"{4 | 5}", Text(*out.Get()));
    VARIANT variantRef;
    VariantInit(&variantRef);
    ASSERT_EQ(S_OK, MakeByRef(&variantRef, VT_VARIANT, source.Get()));
    ASSERT_EQ(S_OK, ChangeType(out.Get(), &variantRef, kLocale, VT_ARRAY | VT_I4));
    EXPECT_EQ(5, Element<LONG>(*out.Get(), 1));
    arrayRef.pparray = nullptr;
    EXPECT_TRUE(FAILED(ChangeType(out.Get(), &arrayRef, kLocale, VT_BSTR)));
    variantRef.pvarVal = nullptr;
    EXPECT_TRUE(FAILED(ChangeType(out.Get(), &variantRef, kLocale, VT_BSTR)));
    VARIANT nullScalar;
    VariantInit(&nullScalar);
    nullScalar.vt = VT_BYREF | VT_I4;
    EXPECT_TRUE(FAILED(ChangeType(out.Get(), &nullScalar, kLocale, VT_R8)));

    // A null array descriptor holds no elements.
    COpcVariant none;
    none->vt = VT_ARRAY | VT_I4;
    ASSERT_EQ(S_OK, ChangeType(out.Get(), none.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(L"{}", Text(*out.Get()));
    none->vt = VT_EMPTY;
}

TEST_F(OpcVariant, NestingAndOddRequestsFailCleanly)
{
    // Arrays of variants holding arrays again, deeper than any real value.
    COpcVariant value;
    SetInt32(value.Get(), 1);
    for (int level = 0; level < 40; ++level)
    {
        COpcVariant wrapper;
        wrapper->vt = VT_ARRAY | VT_VARIANT;
        wrapper->parray = MakeArray(VT_VARIANT, 1);
        LONG index = 0;
        SafeArrayPutElement(wrapper->parray, &index, value.Get());
        value.Clear();
        VariantCopy(value.Get(), wrapper.Get());
        if (level == 2)
        {
            COpcVariant text;
            ASSERT_EQ(S_OK, ChangeType(text.Get(), value.Get(), kLocale, VT_BSTR));
            EXPECT_EQ(L"{{{1}}}", Text(*text.Get()));
            EXPECT_TRUE(ValuesEqual(*value.Get(), *value.Get()));
        }
    }
    COpcVariant out;
    EXPECT_EQ(DISP_E_OVERFLOW, ChangeType(out.Get(), value.Get(), kLocale, VT_BSTR));
    EXPECT_EQ(VT_EMPTY, out->vt);
    EXPECT_FALSE(ValuesEqual(*value.Get(), *value.Get())); // too deep to tell: reported as changed

    VARIANT scalar;
    SetInteger(&scalar, VT_I4, 5);
    EXPECT_TRUE(FAILED(ChangeType(out.Get(), &scalar, kLocale, VT_BYREF | VT_I4)));
    HRESULT hr = ChangeType(out.Get(), &scalar, kLocale, VT_ARRAY | VT_I4);
    EXPECT_TRUE(FAILED(hr) || out->vt == (VT_ARRAY | VT_I4)) << std::hex << hr;
    EXPECT_TRUE(FAILED(ChangeType(out.Get(), &scalar, kLocale, 0x7FFF)));
    COpcVariant array;
    ArrayVariant<LONG>(array, VT_I4, {1});
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ChangeType(out.Get(), array.Get(), kLocale, VT_BYREF | VT_ARRAY | VT_I4));
    EXPECT_TRUE(FAILED(ChangeType(out.Get(), array.Get(), kLocale, VT_ARRAY | VT_RECORD)));
    EXPECT_EQ(VT_EMPTY, out->vt);
}

TEST_F(OpcVariant, ValuesEqualNeedsTheSameTypeAndValue)
{
    VARIANT a;
    VARIANT b;
    VariantInit(&a);
    VariantInit(&b);
    SetInteger(&a, VT_I4, 1);
    SetInteger(&b, VT_I2, 1);
    EXPECT_FALSE(ValuesEqual(a, b));
    SetInteger(&b, VT_I4, 1);
    EXPECT_TRUE(ValuesEqual(a, b));
    b.lVal = 2;
    EXPECT_FALSE(ValuesEqual(a, b));
    for (VARTYPE type : {VT_I1, VT_UI1, VT_I2, VT_UI2, VT_UI4, VT_I8, VT_UI8})
    {
        SetInteger(&a, type, 100);
        SetInteger(&b, type, 100);
        EXPECT_TRUE(ValuesEqual(a, b)) << type;
        SetInteger(&b, type, 101);
        EXPECT_FALSE(ValuesEqual(a, b)) << type;
    }

    VariantInit(&a);
    VariantInit(&b);
    EXPECT_TRUE(ValuesEqual(a, b)); // VT_EMPTY
    a.vt = b.vt = VT_NULL;
    EXPECT_FALSE(ValuesEqual(a, b)); // no rule for it: reported as changed

    SetDouble(&a, std::numeric_limits<double>::quiet_NaN());
    EXPECT_FALSE(ValuesEqual(a, a));
    SetDouble(&b, 0.25);
    SetDouble(&a, 0.25);
    EXPECT_TRUE(ValuesEqual(a, b));
    SetFloat(&a, 0.5f);
    SetFloat(&b, 0.5f);
    EXPECT_TRUE(ValuesEqual(a, b));
    SetBool(&a, true);
    SetBool(&b, false);
    EXPECT_FALSE(ValuesEqual(a, b));

    // Strings: null equals null only; the text is compared exactly.
    VARIANT s1;
    VARIANT s2;
    VariantInit(&s1);
    VariantInit(&s2);
    s1.vt = s2.vt = VT_BSTR;
    EXPECT_TRUE(ValuesEqual(s1, s2));
    s2.bstrVal = SysAllocString(L"");
    EXPECT_FALSE(ValuesEqual(s1, s2));
    EXPECT_FALSE(ValuesEqual(s2, s1));
    s1.bstrVal = SysAllocString(L"");
    EXPECT_TRUE(ValuesEqual(s1, s2));
    VariantClear(&s1);
    VariantClear(&s2);
    SetString(&s1, COpcString(L"Tank"));
    SetString(&s2, COpcString(L"tank"));
    EXPECT_FALSE(ValuesEqual(s1, s2));
    SetString(&s2, COpcString(L"Tank"));
    EXPECT_TRUE(ValuesEqual(s1, s2));
    VariantClear(&s1);
    VariantClear(&s2);
}

TEST_F(OpcVariant, ArraysAreEqualElementByElement)
{
    COpcVariant a;
    COpcVariant b;
    ArrayVariant<LONG>(a, VT_I4, {1, 2, 3});
    ArrayVariant<LONG>(b, VT_I4, {1, 2, 3});
    EXPECT_TRUE(ValuesEqual(*a.Get(), *b.Get()));
    ArrayVariant<LONG>(b, VT_I4, {1, 2, 4});
    EXPECT_FALSE(ValuesEqual(*a.Get(), *b.Get()));
    ArrayVariant<LONG>(b, VT_I4, {1, 2});
    EXPECT_FALSE(ValuesEqual(*a.Get(), *b.Get()));

    ArrayVariant<double>(a, VT_R8, {1.0, std::nan("")});
    EXPECT_FALSE(ValuesEqual(*a.Get(), *a.Get()));

    // Variant elements compare by their own rules, arrays inside included.
    COpcString texts[] = {COpcString(L"a"), COpcString(L"b")};
    a.Clear();
    b.Clear();
    ASSERT_EQ(S_OK, StringsToArray(a.Get(), texts, 2));
    ASSERT_EQ(S_OK, StringsToArray(b.Get(), texts, 2));
    EXPECT_TRUE(ValuesEqual(*a.Get(), *b.Get()));
    COpcVariant va;
    COpcVariant vb;
    ASSERT_EQ(S_OK, ChangeType(va.Get(), a.Get(), kLocale, VT_ARRAY | VT_VARIANT));
    ASSERT_EQ(S_OK, ChangeType(vb.Get(), b.Get(), kLocale, VT_ARRAY | VT_VARIANT));
    EXPECT_TRUE(ValuesEqual(*va.Get(), *vb.Get()));
    LONG index = 1;
    VARIANT changed;
    VariantInit(&changed);
    SetString(&changed, COpcString(L"B"));
    SafeArrayPutElement(vb->parray, &index, &changed);
    VariantClear(&changed);
    EXPECT_FALSE(ValuesEqual(*va.Get(), *vb.Get()));
    SetInteger(&changed, VT_I4, 1);
    SafeArrayPutElement(vb->parray, &index, &changed);
    SafeArrayPutElement(va->parray, &index, &changed);
    EXPECT_TRUE(ValuesEqual(*va.Get(), *vb.Get()));

    // Arrays of types without a rule never compare equal, whatever they hold.
    ArrayVariant<SCODE>(a, VT_ERROR, {1, 2});
    ArrayVariant<SCODE>(b, VT_ERROR, {1, 3});
    EXPECT_FALSE(ValuesEqual(*a.Get(), *b.Get()));
}

TEST_F(OpcVariant, FileTimeAndDate)
{
    EXPECT_EQ(-109205.0, FileTimeToDate(0));
    uint64_t ticks = 1;
    ASSERT_TRUE(DateToFileTime(0.0, ticks));
    EXPECT_EQ(109205ull * kTicksPerDay, ticks);

    // 2000-01-01 00:00 is date 36526; half a day later is 36526.5.
    const uint64_t y2k = 125911584000000000ull;
    EXPECT_EQ(36526.0, FileTimeToDate(y2k));
    EXPECT_EQ(36526.5, FileTimeToDate(y2k + kTicksPerDay / 2));
    // Rounded to a billionth of a day: one tick (about 1e-12 days) vanishes.
    EXPECT_EQ(36526.0, FileTimeToDate(y2k + 1));
    ASSERT_TRUE(DateToFileTime(36526.5, ticks));
    EXPECT_EQ(y2k + kTicksPerDay / 2, ticks);

    COpcVariant value;
    ASSERT_EQ(S_OK, SetFileTime(value.Get(), y2k));
    EXPECT_EQ(VT_DATE, value->vt);
    uint64_t back = 0;
    ASSERT_EQ(S_OK, GetFileTime(back, *value.Get()));
    EXPECT_EQ(y2k, back);

    // Before 1601, beyond 64 bits or not a number: no FILETIME.
    ticks = 42;
    EXPECT_FALSE(DateToFileTime(-109206.0, ticks));
    EXPECT_FALSE(DateToFileTime(std::nan(""), ticks));
    EXPECT_FALSE(DateToFileTime(1e20, ticks));
    EXPECT_EQ(42u, ticks);
    SetDouble(value.Get(), -200000.0);
    EXPECT_EQ(DISP_E_OVERFLOW, GetFileTime(back, *value.Get()));
    EXPECT_EQ(y2k, back);
}

TEST_F(OpcVariant, GettersLeaveTheOutValueAloneOnFailure)
{
    COpcVariant v;
    bool flag = false;
    SetInt32(v.Get(), 5);
    ASSERT_EQ(S_OK, GetBool(flag, *v.Get()));
    EXPECT_TRUE(flag);

    int16_t i16 = 7;
    SetInt32(v.Get(), 70000);
    EXPECT_EQ(DISP_E_OVERFLOW, GetInt16(i16, *v.Get()));
    int32_t i32 = 9;
    SetString(v.Get(), COpcString(L"pump"));
    EXPECT_TRUE(FAILED(GetInt32(i32, *v.Get())));
    EXPECT_EQ(7, i16);
    EXPECT_EQ(9, i32);

    // An empty text is stored as an empty string, never as a null one.
    SetString(v.Get(), COpcString());
    ASSERT_NE(nullptr, v->bstrVal);
    COpcString text(L"stale");
    ASSERT_EQ(S_OK, GetString(text, *v.Get()));
    EXPECT_TRUE(text.IsEmpty());

    COpcVariant copy;
    ASSERT_EQ(S_OK, CopyValue(copy.Get(), v.Get()));
    ASSERT_EQ(S_OK, CopyValue(copy.Get(), copy.Get()));
    EXPECT_TRUE(ValuesEqual(*copy.Get(), *v.Get()));
    ASSERT_EQ(S_OK, CopyValue(copy.Get(), nullptr));
    EXPECT_EQ(VT_EMPTY, copy->vt);
}

TEST_F(OpcVariant, MakeByRefAcceptsTheListedTypesOnly)
{
    double value = 2.5;
    VARIANT ref;
    VariantInit(&ref);
    for (VARTYPE type : {VT_I2, VT_BSTR, VT_BOOL, VT_VARIANT, VT_I1, VT_UI8})
        EXPECT_EQ(S_OK, MakeByRef(&ref, type, &value)) << type;
    const VARTYPE refused[] = {
        VT_EMPTY, VT_NULL, VT_DISPATCH, VT_ERROR, VT_DECIMAL, VT_INT, static_cast<VARTYPE>(VT_ARRAY | VT_I4)};
    for (VARTYPE type : refused)
        EXPECT_EQ(E_INVALIDARG, MakeByRef(&ref, type, &value)) << type;
    EXPECT_EQ(E_POINTER, MakeByRef(&ref, VT_I4, nullptr));

    ASSERT_EQ(S_OK, MakeByRef(&ref, VT_R8, &value));
    COpcVariant out;
    ASSERT_EQ(S_OK, ChangeType(out.Get(), &ref, kLocale, VT_BSTR));
    EXPECT_EQ(L"2.5", Text(*out.Get()));
}

TEST_F(OpcVariant, StringListsAndArrays)
{
    COpcList<COpcString> list;
    list.AddTail(COpcString(L"Line1.Pump"));
    list.AddTail(COpcString());
    list.AddTail(COpcString(L"Line2"));
    COpcVariant array;
    ASSERT_EQ(S_OK, StringsToArray(array.Get(), list));
    EXPECT_EQ(VT_ARRAY | VT_BSTR, array->vt);
    COpcList<COpcString> back;
    back.AddTail(COpcString(L"stale"));
    ASSERT_EQ(S_OK, ArrayToStrings(back, *array.Get()));
    ASSERT_EQ(3u, back.GetCount());
    auto it = back.begin();
    EXPECT_EQ(L"Line1.Pump", W(*it));
    EXPECT_TRUE((++it)->IsEmpty());
    EXPECT_EQ(L"Line2", W(*++it));

    COpcList<COpcString> none;
    ASSERT_EQ(S_OK, StringsToArray(array.Get(), none));
    EXPECT_EQ(VT_EMPTY, array->vt);
    EXPECT_EQ(E_POINTER, StringsToArray(array.Get(), nullptr, 2));

    COpcVariant numbers;
    ArrayVariant<LONG>(numbers, VT_I4, {1});
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ArrayToStrings(back, *numbers.Get()));
    EXPECT_TRUE(back.IsEmpty());
    SetString(numbers.Get(), COpcString(L"1"));
    EXPECT_EQ(DISP_E_TYPEMISMATCH, ArrayToStrings(back, *numbers.Get()));
}

TEST_F(OpcVariant, CanonicalTypeTable)
{
    const VARTYPE expected[] = {VT_EMPTY, VT_BOOL, VT_I1, VT_UI1, VT_I2, VT_UI2,  VT_I4,   VT_UI4,
                                VT_I8,    VT_UI8,  VT_R4, VT_R8,  VT_CY, VT_BSTR, VT_DATE, VT_VARIANT};
    for (UINT i = 0; i < kOpcCanonicalTypeCount; ++i)
    {
        EXPECT_EQ(expected[i], TypeFromIndex(i)) << i;
        EXPECT_EQ(i, IndexFromType(expected[i])) << i;
    }
    EXPECT_EQ(VT_EMPTY, TypeFromIndex(16));
    EXPECT_EQ(VT_EMPTY, TypeFromIndex(0xFFFFFFFFu));
    EXPECT_EQ(0u, IndexFromType(VT_DECIMAL));
    EXPECT_EQ(0u, IndexFromType(VT_ARRAY | VT_I4));
}

namespace
{
// Counts task-allocator blocks that are allocated and not yet freed. BSTRs
// and SAFEARRAYs come from the task allocator too.
class CountingSpy : public IMallocSpy
{
public:
    LONG Live() const { return m_live; }
    LONG Allocations() const { return m_allocations; }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (iid == IID_IUnknown || iid == IID_IMallocSpy)
        {
            *out = static_cast<IMallocSpy*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP_(SIZE_T) PreAlloc(SIZE_T size) override { return size; }
    STDMETHODIMP_(void*) PostAlloc(void* block) override
    {
        if (block != nullptr)
        {
            InterlockedIncrement(&m_live);
            InterlockedIncrement(&m_allocations);
        }
        return block;
    }
    STDMETHODIMP_(void*) PreFree(void* block, BOOL spied) override
    {
        if (block != nullptr && spied)
            InterlockedDecrement(&m_live);
        return block;
    }
    STDMETHODIMP_(void) PostFree(BOOL) override {}
    STDMETHODIMP_(SIZE_T) PreRealloc(void* block, SIZE_T size, void** newBlock, BOOL spied) override
    {
        // Realloc of null allocates, to size 0 frees; otherwise the count stays.
        m_reallocFromNull = block == nullptr;
        if (block != nullptr && size == 0 && spied)
            InterlockedDecrement(&m_live);
        *newBlock = block;
        return size;
    }
    STDMETHODIMP_(void*) PostRealloc(void* block, BOOL) override
    {
        if (m_reallocFromNull && block != nullptr)
            InterlockedIncrement(&m_live);
        return block;
    }
    STDMETHODIMP_(void*) PreGetSize(void* block, BOOL) override { return block; }
    STDMETHODIMP_(SIZE_T) PostGetSize(SIZE_T size, BOOL) override { return size; }
    STDMETHODIMP_(void*) PreDidAlloc(void* block, BOOL) override { return block; }
    STDMETHODIMP_(int) PostDidAlloc(void*, BOOL, int actual) override { return actual; }
    STDMETHODIMP_(void) PreHeapMinimize() override {}
    STDMETHODIMP_(void) PostHeapMinimize() override {}

private:
    volatile LONG m_live = 0;
    volatile LONG m_allocations = 0;
    bool m_reallocFromNull = false;
};

// One round of every operation that allocates, including failing ones.
void ConversionRound()
{
    COpcVariant source;
    COpcVariant out;
    ArrayVariant<LONG>(source, VT_I4, {1, 2, 3});
    ChangeType(out.Get(), source.Get(), kLocale, VT_BSTR);
    ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_BSTR);
    ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_VARIANT);
    COpcVariant variants;
    CopyValue(variants.Get(), out.Get());
    ChangeType(out.Get(), variants.Get(), kLocale, VT_BSTR);
    ChangeType(out.Get(), variants.Get(), kLocale, VT_ARRAY | VT_R8);
    ChangeType(out.Get(), source.Get(), kLocale, VT_I4);

    ArrayVariant<LONG>(source, VT_I4, {1, -1});
    ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_BSTR);
    ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_UI4); // fails at the second element
    COpcString texts[] = {COpcString(L"12"), COpcString(L"x"), COpcString(L"ok")};
    StringsToArray(source.Get(), texts, 3);
    ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_VARIANT);
    ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_I4); // fails at "x"
    ChangeType(out.Get(), source.Get(), kLocale, VT_ARRAY | VT_BSTR);
    COpcList<COpcString> strings;
    ArrayToStrings(strings, *source.Get());

    SetString(out.Get(), COpcString(L"text"));
    SetInt32(out.Get(), 1);
    SetString(out.Get(), COpcString(L"text"));
    ChangeType(out.Get(), out.Get(), kLocale, VT_R8); // fails in place
    COpcString text;
    GetString(text, *source.Get());
    SetDouble(source.Get(), 1.5);
    GetString(text, *source.Get());
    ValuesEqual(*out.Get(), *source.Get());
}
} // namespace

TEST_F(OpcVariant, ConversionsFreeEverythingTheyAllocate)
{
    CountingSpy spy;
    ASSERT_EQ(S_OK, CoRegisterMallocSpy(&spy));
    // Warm up first: the platform may keep a cache of freed strings.
    for (int i = 0; i < 20; ++i)
        ConversionRound();
    const LONG before = spy.Live();
    const LONG allocationsBefore = spy.Allocations();
    for (int i = 0; i < 500; ++i)
        ConversionRound();
    const LONG after = spy.Live();
    const LONG allocations = spy.Allocations() - allocationsBefore;
    CoRevokeMallocSpy();
    EXPECT_GT(allocations, 500 * 10); // the spy does see the conversions' blocks
    EXPECT_EQ(before, after) << "blocks left behind by 500 rounds";
}
