// What the test server answers. Both sides include this, so a test builds the
// expected value locally and compares it with what crossed the process
// boundary through opcproxy.dll.
#pragma once

#include "test_com.h"
#include "opcerror.h"

#include <cwchar>
#include <string>

// {A58D1DF6-50CE-4817-99A3-56E6EF983142}
inline constexpr CLSID CLSID_OpcIdlTestServer = {
    0xa58d1df6, 0x50ce, 0x4817, {0x99, 0xa3, 0x56, 0xe6, 0xef, 0x98, 0x31, 0x42}};
inline constexpr wchar_t kTestServerClsidText[] = L"{A58D1DF6-50CE-4817-99A3-56E6EF983142}";

// Set once the class object is registered; the fixture waits for it.
inline constexpr wchar_t kReadyEventName[] = L"opcidl-testserver-ready";
// Ends a server started with /persist.
inline constexpr wchar_t kStopEventName[] = L"opcidl-testserver-stop";
// Owned by the serving instance for its whole life; a second instance started
// by a racing activation sees it and leaves at once.
inline constexpr wchar_t kAliveMutexName[] = L"opcidl-testserver-alive";

namespace testserver
{

inline constexpr FILETIME kStartTime = {0x89ABCDEFu, 0x01D9A2B3u};
inline constexpr FILETIME kCurrentTime = {0x01234567u, 0x01DA0001u};
inline constexpr FILETIME kLastUpdateTime = {0xFFFFFFFFu, 0x01D90000u};
inline constexpr OPCSERVERSTATE kServerState = OPC_STATUS_COMM_FAULT;
inline constexpr DWORD kBandWidth = 0xFFFFFFFFu;
inline constexpr WORD kMajor = 3, kMinor = 0, kBuild = 1234;
inline constexpr wchar_t kVendorInfo[] = L"opcidl テストサーバ \u2713 2.05a/3.00";
inline constexpr wchar_t kShutdownReason[] = L"テスト停止: server going down";
// A NULL pTimeBias or pPercentDeadband in AddGroup/SetState is recorded as these.
inline constexpr LONG kNoTimeBias = 0x7FFF0001;
inline constexpr float kNoDeadband = -1.0f;

inline std::wstring Hex(DWORD value)
{
    wchar_t text[16];
    swprintf(text, 16, L"%08X", static_cast<unsigned>(value));
    return text;
}

inline std::wstring CommonErrorText(HRESULT code, LCID locale, const std::wstring& client)
{
    return L"common " + Hex(static_cast<DWORD>(code)) + L" " + std::to_wstring(locale) + L" [" + client + L"]";
}

inline std::wstring ServerErrorText(HRESULT code, LCID locale, const std::wstring& client)
{
    return L"server " + Hex(static_cast<DWORD>(code)) + L" " + std::to_wstring(locale) + L" [" + client + L"]";
}

// IOPCBrowseServerAddressSpace: the position is "<direction>:<text>".
inline std::wstring BrowsePosition(OPCBROWSEDIRECTION direction, const wchar_t* text)
{
    return std::to_wstring(static_cast<int>(direction)) + L":" + (text ? text : L"");
}

inline std::wstring ItemIdAt(const std::wstring& position, const wchar_t* leaf)
{
    return position + L"/" + (leaf ? leaf : L"");
}

inline FILETIME ItemTime(DWORD index)
{
    return FILETIME{0x10000000u + index, 0x01DA0000u};
}

// ----------------------------------------------------------------- properties

struct PropertyInfo
{
    DWORD id;
    VARTYPE type;
    const wchar_t* description; // nullptr: depends on the item, see PropertyDescription
};

inline constexpr PropertyInfo kProperties[] = {
    {OPC_PROPERTY_DATATYPE, VT_I2, OPC_PROPERTY_DESC_DATATYPE},
    {OPC_PROPERTY_VALUE, VT_R8, OPC_PROPERTY_DESC_VALUE},
    {OPC_PROPERTY_QUALITY, VT_BSTR, OPC_PROPERTY_DESC_QUALITY},
    {OPC_PROPERTY_TIMESTAMP, VT_BOOL, OPC_PROPERTY_DESC_TIMESTAMP},
    {OPC_PROPERTY_ACCESS_RIGHTS, VT_ARRAY | VT_R8, OPC_PROPERTY_DESC_ACCESS_RIGHTS},
    {OPC_PROPERTY_SCAN_RATE, VT_EMPTY, OPC_PROPERTY_DESC_SCAN_RATE},
    {OPC_PROPERTY_EU_INFO, VT_ARRAY | VT_BSTR, OPC_PROPERTY_DESC_EU_INFO},
    {OPC_PROPERTY_DESCRIPTION, VT_BSTR, nullptr},
};
inline constexpr DWORD kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]);

inline const PropertyInfo* FindProperty(DWORD id)
{
    for (const PropertyInfo& p : kProperties)
        if (p.id == id)
            return &p;
    return nullptr;
}

inline std::wstring PropertyDescription(const wchar_t* item, const PropertyInfo& p)
{
    if (p.description)
        return p.description;
    return std::wstring(item ? item : L"") + L" の説明";
}

inline std::wstring PropertyItemId(const wchar_t* item, DWORD id)
{
    return std::wstring(item ? item : L"") + L"#" + std::to_wstring(id);
}

inline HRESULT MakeR8Array(const double* values, LONG count, VARIANT* out)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_R8, 0, count);
    if (!array)
        return E_OUTOFMEMORY;
    for (LONG i = 0; i < count; ++i)
    {
        double value = values[i];
        HRESULT hr = SafeArrayPutElement(array, &i, &value);
        if (FAILED(hr))
        {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    V_VT(out) = VT_ARRAY | VT_R8;
    V_ARRAY(out) = array;
    return S_OK;
}

inline HRESULT MakeBstrArray(const wchar_t* const* values, LONG count, VARIANT* out)
{
    SAFEARRAY* array = SafeArrayCreateVector(VT_BSTR, 0, count);
    if (!array)
        return E_OUTOFMEMORY;
    for (LONG i = 0; i < count; ++i)
    {
        BSTR value = SysAllocString(values[i]);
        HRESULT hr = value ? SafeArrayPutElement(array, &i, value) : E_OUTOFMEMORY;
        SysFreeString(value);
        if (FAILED(hr))
        {
            SafeArrayDestroy(array);
            return hr;
        }
    }
    V_VT(out) = VT_ARRAY | VT_BSTR;
    V_ARRAY(out) = array;
    return S_OK;
}

inline HRESULT MakeBstr(const wchar_t* text, VARIANT* out)
{
    BSTR value = SysAllocString(text);
    if (!value)
        return E_OUTOFMEMORY;
    V_VT(out) = VT_BSTR;
    V_BSTR(out) = value;
    return S_OK;
}

// The value of property id of item into an empty VARIANT; OPC_E_INVALID_PID
// for an id the server does not know.
inline HRESULT PropertyValue(const wchar_t* item, DWORD id, VARIANT* out)
{
    VariantInit(out);
    static const double ranges[] = {1.5, -2.5, 1e300, 0.0};
    static const wchar_t* const labels[] = {L"開", L"閉", L""};
    switch (id)
    {
    case OPC_PROPERTY_DATATYPE:
        V_VT(out) = VT_I2;
        V_I2(out) = VT_R8;
        return S_OK;
    case OPC_PROPERTY_VALUE:
        V_VT(out) = VT_R8;
        V_R8(out) = 3.25;
        return S_OK;
    case OPC_PROPERTY_QUALITY: return MakeBstr(item ? item : L"", out);
    case OPC_PROPERTY_TIMESTAMP:
        V_VT(out) = VT_BOOL;
        V_BOOL(out) = VARIANT_TRUE;
        return S_OK;
    case OPC_PROPERTY_ACCESS_RIGHTS: return MakeR8Array(ranges, 4, out);
    case OPC_PROPERTY_SCAN_RATE: return S_OK;
    case OPC_PROPERTY_EU_INFO: return MakeBstrArray(labels, 3, out);
    case OPC_PROPERTY_DESCRIPTION: return MakeBstr((std::wstring(L"説明 ") + (item ? item : L"")).c_str(), out);
    default: return OPC_E_INVALID_PID;
    }
}

// -------------------------------------------------------------------- browse

inline constexpr DWORD kBrowseElementCount = 5;

inline std::wstring BrowseName(DWORD index)
{
    return L"要素" + std::to_wstring(index);
}

inline std::wstring BrowseItemId(const wchar_t* root, DWORD index)
{
    return std::wstring(root ? root : L"") + L"." + BrowseName(index);
}

inline DWORD BrowseFlags(DWORD index)
{
    return index % 2 ? OPC_BROWSE_HASCHILDREN : OPC_BROWSE_ISITEM;
}

inline std::wstring ContinuationPoint(const wchar_t* root, DWORD next)
{
    return std::wstring(root ? root : L"") + L":" + std::to_wstring(next);
}

// Engineering-unit info the item enumerator reports for the item at index.
inline OPCEUTYPE EuTypeOf(DWORD index)
{
    return static_cast<OPCEUTYPE>(index % 3);
}

inline HRESULT EuInfoOf(DWORD index, VARIANT* out)
{
    VariantInit(out);
    static const double range[] = {-10.0, 110.0};
    static const wchar_t* const states[] = {L"開", L"閉"};
    switch (EuTypeOf(index))
    {
    case OPC_ANALOG: return MakeR8Array(range, 2, out);
    case OPC_ENUMERATED: return MakeBstrArray(states, 2, out);
    default: return S_OK;
    }
}

} // namespace testserver
