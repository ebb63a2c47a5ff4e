/* Force-included ahead of the generated proxy sources of opcproxy.dll. */
#ifndef OPCPROXY_PRELUDE_H
#define OPCPROXY_PRELUDE_H

/* DllRegisterServer and DllUnregisterServer come from the generated dlldata.c.
   Without an explicit class ID the proxy factory would silently take the
   lowest IID in the file as its CLSID. */
#define REGISTER_PROXY_DLL
#define PROXY_CLSID_IS                                                                                                 \
    {                                                                                                                  \
        0xf6c15439, 0x417f, 0x44b3,                                                                                    \
        {                                                                                                              \
            0xbe, 0xa4, 0x98, 0x05, 0xf8, 0x52, 0x53, 0xdb                                                             \
        }                                                                                                              \
    }

#include <objbase.h>

/* mingw declares these only for C++; the generated C proxy vtables use them. */
HRESULT STDMETHODCALLTYPE IUnknown_QueryInterface_Proxy(IUnknown* This, REFIID riid, void** ppvObject);
ULONG STDMETHODCALLTYPE IUnknown_AddRef_Proxy(IUnknown* This);
ULONG STDMETHODCALLTYPE IUnknown_Release_Proxy(IUnknown* This);

#endif
