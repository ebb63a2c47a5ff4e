// IOPCCommon as every OPC server object offers it: locales, error texts and
// the client's name. The derived object supplies IUnknown and the lookup of
// its error texts.
#pragma once

#include "OpcLock.h"
#include "OpcString.h"

#include <opccomn.h>

class COpcCommon : public IOPCCommon
{
public:
    COpcCommon() = default;
    virtual ~COpcCommon() = default;

    STDMETHOD(SetLocaleID)(LCID dwLcid) override;
    STDMETHOD(GetLocaleID)(LCID* pdwLcid) override;
    STDMETHOD(QueryAvailableLocaleIDs)(DWORD* pdwCount, LCID** pdwLcid) override;
    STDMETHOD(GetErrorString)(HRESULT dwError, LPWSTR* ppString) override;
    STDMETHOD(SetClientName)(LPCWSTR szName) override;

    // Supplied by the derived object: the text of an error code in a locale.
    virtual HRESULT LookupErrorString(HRESULT error, LCID locale, LPWSTR* text) = 0;

    LCID LocaleId() const { return m_localeId; }
    COpcString ClientName();

protected:
    COpcLock m_commonLock;

private:
    volatile LCID m_localeId = LOCALE_SYSTEM_DEFAULT;
    COpcString m_clientName;
};

// The text of an error code from the message table of the named module (when
// it is loaded in this process) or from the system, with the language fallbacks
// clients expect; the trailing line break is removed. The text is a task-allocator
// block. E_INVALIDARG when no text is found or the out pointer is null.
HRESULT OpcLookupErrorString(const wchar_t* moduleName, HRESULT error, LCID locale, LPWSTR* text);
