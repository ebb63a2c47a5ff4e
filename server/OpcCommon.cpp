#include "OpcCommon.h"

#include "OpcTaskMem.h"

namespace
{
const LCID AvailableLocales[] = {1033, 9, 0, 127, 1041};
const DWORD ErrorTextChars = 1024;

bool IsAcceptedLocale(LCID lcid)
{
    switch (lcid)
    {
    case LOCALE_NEUTRAL:
    case 9:
    case LOCALE_INVARIANT:
    case LOCALE_USER_DEFAULT:
    case 1033:
    case 1041:
    case LOCALE_SYSTEM_DEFAULT: return true;
    default: return false;
    }
}

LANGID LanguageOf(LCID locale)
{
    switch (locale)
    {
    case LOCALE_INVARIANT: return 0;
    case LOCALE_USER_DEFAULT: return GetUserDefaultLangID();
    case LOCALE_SYSTEM_DEFAULT: return GetSystemDefaultLangID();
    default: return static_cast<LANGID>(locale & 0xFFFF);
    }
}

// The module's table first, then the system's.
bool FormatIn(HMODULE module, HRESULT error, LANGID language, wchar_t* buffer)
{
    buffer[0] = L'\0';
    if (module != nullptr && FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                                            static_cast<DWORD>(error), language, buffer, ErrorTextChars, nullptr) != 0)
        return true;
    return FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                          static_cast<DWORD>(error), language, buffer, ErrorTextChars, nullptr) != 0;
}
} // namespace

HRESULT OpcLookupErrorString(const wchar_t* moduleName, HRESULT error, LCID locale, LPWSTR* text)
{
    if (text == nullptr)
        return E_INVALIDARG;
    *text = nullptr;

    // The module is used only when something already loaded it.
    HMODULE module = moduleName != nullptr ? GetModuleHandleW(moduleName) : nullptr;
    wchar_t buffer[ErrorTextChars + 1];
    bool found = FormatIn(module, error, LanguageOf(locale), buffer);
    if (!found)
    {
        WORD primary = PRIMARYLANGID(static_cast<LANGID>(locale & 0xFFFF));
        if (locale == LOCALE_USER_DEFAULT || locale == LOCALE_SYSTEM_DEFAULT)
        {
            found =
                FormatIn(module, error, static_cast<LANGID>(locale), buffer) || FormatIn(module, error, 1033, buffer);
        }
        else if (locale != LOCALE_NEUTRAL && locale != LOCALE_INVARIANT &&
                 (primary == LANG_ENGLISH || primary == LANG_JAPANESE))
        {
            found = FormatIn(module, error, 1033, buffer);
        }
    }
    if (!found)
        return E_INVALIDARG;

    buffer[ErrorTextChars] = L'\0';
    size_t length = wcslen(buffer);
    if (length >= 2 && buffer[length - 2] == L'\r' && buffer[length - 1] == L'\n')
        buffer[length - 2] = L'\0';
    *text = DuplicateText(buffer);
    return *text != nullptr ? S_OK : E_OUTOFMEMORY;
}

STDMETHODIMP COpcCommon::SetLocaleID(LCID dwLcid)
{
    if (!IsAcceptedLocale(dwLcid))
        return E_INVALIDARG;
    m_localeId = dwLcid;
    return S_OK;
}

STDMETHODIMP COpcCommon::GetLocaleID(LCID* pdwLcid)
{
    if (pdwLcid == nullptr)
        return E_INVALIDARG;
    *pdwLcid = m_localeId;
    return S_OK;
}

STDMETHODIMP COpcCommon::QueryAvailableLocaleIDs(DWORD* pdwCount, LCID** pdwLcid)
{
    if (pdwCount == nullptr || pdwLcid == nullptr)
        return E_INVALIDARG;
    *pdwCount = 0;
    *pdwLcid = nullptr;
    const DWORD count = sizeof(AvailableLocales) / sizeof(AvailableLocales[0]);
    COpcTaskMem<LCID> ids;
    if (!ids.Allocate(count))
        return E_OUTOFMEMORY;
    for (DWORD i = 0; i < count; ++i)
        ids.Get()[i] = AvailableLocales[i];
    *pdwCount = count;
    *pdwLcid = ids.Detach();
    return S_OK;
}

STDMETHODIMP COpcCommon::GetErrorString(HRESULT dwError, LPWSTR* ppString)
{
    return LookupErrorString(dwError, m_localeId, ppString);
}

STDMETHODIMP COpcCommon::SetClientName(LPCWSTR szName)
{
    COpcString name(szName);
    COpcLockGuard guard(m_commonLock);
    m_clientName = name;
    return S_OK;
}

COpcString COpcCommon::ClientName()
{
    COpcLockGuard guard(m_commonLock);
    return m_clientName;
}
