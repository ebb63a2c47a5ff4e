#include "OpcDaCacheItem.h"

#include "OpcConditioning.h"
#include "OpcDaProperties.h"
#include "OpcVariant.h"

#include <opcda.h>

#include <cmath>
#include <new>

namespace
{
ULONGLONG Ticks(const FILETIME& time)
{
    return (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

// The elements of a one-dimensional array, locked for the life of the object.
struct SArrayView
{
    explicit SArrayView(SAFEARRAY* array) : access(array)
    {
        if (SUCCEEDED(access.Result()) && SafeArrayGetDim(array) == 1)
        {
            LONG low = 0, high = -1;
            SafeArrayGetLBound(array, 1, &low);
            SafeArrayGetUBound(array, 1, &high);
            count = high >= low ? static_cast<ULONG>(high - low + 1) : 0;
            ok = true;
        }
    }
    COpcSafeArrayAccess access;
    ULONG count = 0;
    bool ok = false;
};

// The label at index, or null when out of range.
BSTR LabelAt(const VARIANT& labels, LONG index)
{
    SArrayView view(labels.parray);
    if (!view.ok || index < 0 || static_cast<ULONG>(index) >= view.count)
        return nullptr;
    BSTR label = static_cast<BSTR*>(view.access.Data())[index];
    return SysAllocStringLen(label, SysStringLen(label));
}

// Index of the label equal to text (case-sensitive), or -1.
LONG FindLabel(const VARIANT& labels, BSTR text)
{
    if (text == nullptr)
        return -1;
    SArrayView view(labels.parray);
    if (!view.ok)
        return -1;
    const BSTR* items = static_cast<BSTR*>(view.access.Data());
    for (ULONG i = 0; i < view.count; ++i)
    {
        if (items[i] != nullptr && SysStringLen(items[i]) == SysStringLen(text) && wcscmp(items[i], text) == 0)
            return static_cast<LONG>(i);
    }
    return -1;
}

HRESULT StringProperty(IOpcDaItemProvider* provider, const COpcString& itemId, DWORD property, BSTR* text)
{
    COpcVariant value;
    HRESULT hr = provider->GetPropertyValue(itemId, property, value.Get());
    if (FAILED(hr))
        return hr;
    COpcVariant converted;
    hr = ChangeType(converted.Get(), value.Get(), LOCALE_SYSTEM_DEFAULT, VT_BSTR);
    if (FAILED(hr))
        return hr;
    *text = converted->bstrVal;
    converted->vt = VT_EMPTY;
    return S_OK;
}
} // namespace

COpcDaEntryRef COpcDaCacheItem::Create(const COpcString& itemId, IOpcDaItemProvider* provider, void*)
{
    return COpcDaEntryRef(new (std::nothrow) COpcDaCacheItem(itemId, provider));
}

double COpcDaCacheItem::NumberProperty(IOpcDaItemProvider* provider, DWORD property, double fallback)
{
    COpcVariant value;
    double number = fallback;
    if (FAILED(provider->GetPropertyValue(ItemId(), property, value.Get())) || FAILED(GetDouble(number, *value.Get())))
        return fallback;
    return number;
}

bool COpcDaCacheItem::Changed(IOpcDaItemProvider* provider, const VARIANT& fresh, const VARIANT& cached,
                              double deadband)
{
    if (ValuesEqual(fresh, cached))
        return false;
    if (deadband == 0.0 || NumberProperty(provider, OPC_DA_PROP_EUTYPE, 0) != OPC_ANALOG)
        return true;
    double range = NumberProperty(provider, OPC_DA_PROP_HIEU, 0) - NumberProperty(provider, OPC_DA_PROP_LOEU, 0);
    if (range == 0.0)
        return true;
    double limit = deadband / 100.0;
    if ((fresh.vt & VT_ARRAY) != 0 || (cached.vt & VT_ARRAY) != 0)
    {
        COpcVariant a, b;
        if (FAILED(ChangeType(a.Get(), &fresh, LOCALE_SYSTEM_DEFAULT, VT_ARRAY | VT_R8)) ||
            FAILED(ChangeType(b.Get(), &cached, LOCALE_SYSTEM_DEFAULT, VT_ARRAY | VT_R8)))
            return true;
        SArrayView va(a->parray), vb(b->parray);
        if (!va.ok || !vb.ok || va.count != vb.count)
            return true;
        const double* x = static_cast<double*>(va.access.Data());
        const double* y = static_cast<double*>(vb.access.Data());
        for (ULONG i = 0; i < va.count; ++i)
        {
            if (std::fabs(x[i] - y[i]) / std::fabs(range) >= limit)
                return true;
        }
        return false;
    }
    double x = 0, y = 0;
    if (FAILED(GetDouble(x, fresh)) || FAILED(GetDouble(y, cached)))
        return true;
    return std::fabs(x - y) / std::fabs(range) >= limit;
}

HRESULT COpcDaCacheItem::Refresh(DWORD accessMode)
{
    IOpcDaItemProvider* provider = Provider();
    if (provider == nullptr)
        return S_OK;
    COpcVariant fresh;
    FILETIME stamp = {};
    WORD quality = kOpcQualityGood;
    HRESULT hr = provider->Read(ItemId(), accessMode, fresh.Get(), &stamp, &quality);
    if (FAILED(hr))
        return hr;
    double deadband = NumberProperty(provider, OPC_DA_PROP_DEADBAND, 0);
    COpcVariant cached;
    WORD cachedQuality;
    {
        COpcLockGuard guard(m_itemLock);
        if (FAILED(VariantCopy(cached.Get(), m_value.Get())))
            return E_OUTOFMEMORY;
        cachedQuality = m_quality;
    }
    // The change test may ask the provider for properties: outside our lock.
    bool take = quality != cachedQuality || Changed(provider, *fresh.Get(), *cached.Get(), deadband);
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    COpcLockGuard guard(m_itemLock);
    if (take)
    {
        m_value.Clear();
        fresh.MoveTo(m_value.Get());
        m_quality = quality;
    }
    m_timeStamp = now;
    return hr;
}

HRESULT COpcDaCacheItem::GetEULabels(VARIANT* labels)
{
    IOpcDaItemProvider* provider = Provider();
    if (provider == nullptr)
        return OPC_E_BADTYPE;
    COpcVariant value;
    HRESULT hr = provider->GetPropertyValue(ItemId(), OPC_DA_PROP_EUINFO, value.Get());
    if (FAILED(hr))
        return hr;
    if (value->vt != (VT_ARRAY | VT_BSTR) || value->parray == nullptr)
        return OPC_E_BADTYPE;
    VariantClear(labels);
    value.MoveTo(labels);
    return S_OK;
}

HRESULT COpcDaCacheItem::IndexToLabel(VARIANT* out, const VARIANT& value)
{
    COpcVariant labels;
    if (FAILED(GetEULabels(labels.Get())))
        return OPC_E_BADTYPE;
    if (value.vt == VT_BSTR)
        return CopyValue(out, &value);
    if ((value.vt & VT_ARRAY) != 0)
    {
        COpcVariant indexes;
        if (FAILED(ChangeType(indexes.Get(), &value, LOCALE_SYSTEM_DEFAULT, VT_ARRAY | VT_I4)))
            return OPC_E_BADTYPE;
        SArrayView view(indexes->parray);
        if (!view.ok)
            return OPC_E_BADTYPE;
        COpcSafeArray texts(SafeArrayCreateVector(VT_BSTR, 0, view.count));
        if (texts.Get() == nullptr)
            return E_OUTOFMEMORY;
        {
            COpcSafeArrayAccess target(texts.Get());
            if (FAILED(target.Result()))
                return target.Result();
            for (ULONG i = 0; i < view.count; ++i)
            {
                BSTR label = LabelAt(*labels.Get(), static_cast<LONG*>(view.access.Data())[i]);
                if (label == nullptr)
                    return OPC_E_BADTYPE;
                static_cast<BSTR*>(target.Data())[i] = label;
            }
        }
        VariantClear(out);
        out->vt = VT_ARRAY | VT_BSTR;
        out->parray = texts.Detach();
        return S_OK;
    }
    int32_t index = 0;
    if (FAILED(GetInt32(index, value)))
        return OPC_E_BADTYPE;
    BSTR label = LabelAt(*labels.Get(), index);
    if (label == nullptr)
        return OPC_E_BADTYPE;
    VariantClear(out);
    out->vt = VT_BSTR;
    out->bstrVal = label;
    return S_OK;
}

HRESULT COpcDaCacheItem::LabelToIndex(VARIANT* out, const VARIANT& value)
{
    COpcVariant labels;
    if (FAILED(GetEULabels(labels.Get())))
        return OPC_E_BADTYPE;
    if (value.vt == (VT_ARRAY | VT_BSTR))
    {
        SArrayView view(value.parray);
        if (!view.ok)
            return OPC_E_BADTYPE;
        COpcSafeArray indexes(SafeArrayCreateVector(VT_I4, 0, view.count));
        if (indexes.Get() == nullptr)
            return E_OUTOFMEMORY;
        {
            COpcSafeArrayAccess target(indexes.Get());
            if (FAILED(target.Result()))
                return target.Result();
            for (ULONG i = 0; i < view.count; ++i)
            {
                LONG index = FindLabel(*labels.Get(), static_cast<BSTR*>(view.access.Data())[i]);
                if (index < 0)
                    return OPC_E_BADTYPE;
                static_cast<LONG*>(target.Data())[i] = index;
            }
        }
        VariantClear(out);
        out->vt = VT_ARRAY | VT_I4;
        out->parray = indexes.Detach();
        return S_OK;
    }
    if (value.vt != VT_BSTR)
        return OPC_E_BADTYPE;
    LONG index = FindLabel(*labels.Get(), value.bstrVal);
    if (index < 0)
        return OPC_E_BADTYPE;
    VariantClear(out);
    out->vt = VT_I4;
    out->lVal = index;
    return S_OK;
}

HRESULT COpcDaCacheItem::ContactLabels(VARIANT* out, const VARIANT& value)
{
    IOpcDaItemProvider* provider = Provider();
    if (provider == nullptr)
        return OPC_E_BADTYPE;
    COpcBstr close, open;
    HRESULT hr = StringProperty(provider, ItemId(), OPC_DA_PROP_CLOSE, close.Receive());
    if (SUCCEEDED(hr))
        hr = StringProperty(provider, ItemId(), OPC_DA_PROP_OPEN, open.Receive());
    if (FAILED(hr))
        return hr;
    if (value.vt == VT_BOOL)
    {
        COpcBstr& label = value.boolVal != VARIANT_FALSE ? close : open;
        VariantClear(out);
        out->vt = VT_BSTR;
        out->bstrVal = label.Detach();
        return S_OK;
    }
    SArrayView view(value.parray);
    if (!view.ok)
        return OPC_E_BADTYPE;
    COpcSafeArray texts(SafeArrayCreateVector(VT_BSTR, 0, view.count));
    if (texts.Get() == nullptr)
        return E_OUTOFMEMORY;
    {
        COpcSafeArrayAccess target(texts.Get());
        if (FAILED(target.Result()))
            return target.Result();
        for (ULONG i = 0; i < view.count; ++i)
        {
            BSTR source = static_cast<VARIANT_BOOL*>(view.access.Data())[i] != VARIANT_FALSE ? close.Get() : open.Get();
            BSTR copy = SysAllocStringLen(source, SysStringLen(source));
            if (copy == nullptr)
                return E_OUTOFMEMORY;
            static_cast<BSTR*>(target.Data())[i] = copy;
        }
    }
    VariantClear(out);
    out->vt = VT_ARRAY | VT_BSTR;
    out->parray = texts.Detach();
    return S_OK;
}

HRESULT COpcDaCacheItem::ReadItem(DWORD accessMode, LCID locale, VARTYPE requestedType, DWORD maxAge, DWORD selector,
                                  VARIANT* value, FILETIME* timeStamp, WORD* quality)
{
    if (value == nullptr)
        return E_POINTER;
    FILETIME now;
    GetSystemTimeAsFileTime(&now);
    ULONGLONG refreshed;
    {
        COpcLockGuard guard(m_itemLock);
        refreshed = Ticks(m_timeStamp);
    }
    // Ages in 100-ns units; 64 bits hold any max age times 10,000.
    ULONGLONG nowTicks = Ticks(now);
    ULONGLONG age = nowTicks > refreshed ? nowTicks - refreshed : 0;
    HRESULT refresh = S_OK;
    if (age >= static_cast<ULONGLONG>(maxAge) * 10000ull)
    {
        refresh = Refresh(accessMode);
        if (FAILED(refresh))
        {
            if (quality != nullptr)
            {
                COpcLockGuard guard(m_itemLock);
                *quality = m_quality;
            }
            return refresh;
        }
    }
    IOpcDaItemProvider* provider = Provider();
    if (selector != 0 && selector != OPC_DA_PROP_VALUE)
    {
        if (provider == nullptr)
            return OPC_E_INVALID_PID;
        COpcVariant property;
        HRESULT hr = provider->GetPropertyValue(ItemId(), selector, property.Get());
        if (FAILED(hr))
            return hr;
        if (requestedType != VT_EMPTY)
        {
            hr = ChangeType(value, property.Get(), locale, requestedType);
            if (FAILED(hr))
                return hr;
        }
        else
        {
            VariantClear(value);
            property.MoveTo(value);
        }
        COpcLockGuard guard(m_itemLock);
        if (timeStamp != nullptr)
            *timeStamp = m_timeStamp;
        if (quality != nullptr)
            *quality = kOpcQualityGood;
        return S_OK;
    }

    COpcVariant cached;
    FILETIME cachedStamp;
    WORD cachedQuality;
    {
        COpcLockGuard guard(m_itemLock);
        if (FAILED(VariantCopy(cached.Get(), m_value.Get())))
            return E_OUTOFMEMORY;
        cachedStamp = m_timeStamp;
        cachedQuality = m_quality;
    }
    VARTYPE base = static_cast<VARTYPE>(requestedType & VT_TYPEMASK);
    HRESULT hr = S_OK;
    if (base == VT_BSTR && provider != nullptr && NumberProperty(provider, OPC_DA_PROP_EUTYPE, 0) == OPC_ENUMERATED)
    {
        hr = IndexToLabel(value, *cached.Get());
    }
    else if (cached->vt == VT_BSTR && requestedType == VT_BOOL && SysStringLen(cached->bstrVal) == 0)
    {
        hr = DISP_E_TYPEMISMATCH;
    }
    else if ((cached->vt == VT_BOOL && requestedType == VT_BSTR) ||
             (cached->vt == (VT_ARRAY | VT_BOOL) && requestedType == (VT_ARRAY | VT_BSTR)))
    {
        hr = ContactLabels(value, *cached.Get());
    }
    else
    {
        hr = ChangeType(value, cached.Get(), locale, requestedType);
    }
    if (FAILED(hr))
        return hr;
    if (timeStamp != nullptr)
        *timeStamp = cachedStamp;
    if (quality != nullptr)
        *quality = cachedQuality;
    return refresh;
}

HRESULT COpcDaCacheItem::WriteItem(LCID locale, const VARIANT& value, const FILETIME* timeStamp, const WORD* quality)
{
    IOpcDaItemProvider* provider = Provider();
    DWORD rights = kOpcReadable | kOpcWriteable;
    if (provider != nullptr)
        rights = static_cast<DWORD>(NumberProperty(provider, OPC_DA_PROP_RIGHTS, rights));
    if ((rights & kOpcWriteable) == 0)
        return OPC_E_BADRIGHTS;
    VARTYPE canonical = VT_EMPTY;
    if (provider != nullptr)
        canonical = static_cast<VARTYPE>(static_cast<int32_t>(NumberProperty(provider, OPC_DA_PROP_CDT, 0)));
    COpcVariant converted;
    HRESULT hr;
    bool fromLabel = false;
    if (provider != nullptr && (value.vt & VT_TYPEMASK) == VT_BSTR &&
        NumberProperty(provider, OPC_DA_PROP_EUTYPE, 0) == OPC_ENUMERATED)
    {
        fromLabel = true;
        // The label's index, in the tag's own type like any other written value.
        COpcVariant index;
        hr = LabelToIndex(index.Get(), value);
        if (SUCCEEDED(hr))
            hr = ChangeType(converted.Get(), index.Get(), locale, canonical);
    }
    else if (value.vt == VT_EMPTY)
    {
        hr = OPC_E_BADTYPE;
    }
    else
    {
        hr = ChangeType(converted.Get(), &value, locale, canonical);
    }
    if (FAILED(hr))
        return hr;
    if (provider == nullptr)
        return S_OK;
    // A conditioned tag scales what the client sent itself; a label still
    // goes down as its index.
    bool conditioned = !fromLabel && NumberProperty(provider, OPC_DA_PROP_DECIMAL_POINT, 0) != 0;
    if (!conditioned && !fromLabel)
    {
        COpcVariant condition;
        if (SUCCEEDED(provider->GetPropertyValue(ItemId(), OPC_DA_PROP_SIGNAL_CONDITION, condition.Get())) &&
            condition->vt == VT_BSTR && condition->bstrVal != nullptr && wcscmp(condition->bstrVal, L"None") != 0)
            conditioned = true;
    }
    hr = provider->Write(ItemId(), OPC_DA_READ_DEVICE, conditioned ? value : *converted.Get(), timeStamp, quality,
                         nullptr);
    return FAILED(hr) ? hr : S_OK;
}
