// The message table of opcproxy.dll, read the way GetErrorString reads it:
// FormatMessageW from the module with an explicit language.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>

#include "opcerror.h"

namespace
{

class Module
{
public:
    explicit Module(const wchar_t* name) : module_(LoadLibraryW(name)) {}
    Module(const Module&) = delete;
    Module& operator=(const Module&) = delete;
    ~Module()
    {
        if (module_)
            FreeLibrary(module_);
    }
    HMODULE get() const { return module_; }

private:
    HMODULE module_;
};

// The text for code in language, or "" with the Win32 error in *error.
std::wstring Text(HMODULE module, HRESULT code, WORD language, DWORD* error = nullptr)
{
    wchar_t buffer[1024] = {};
    DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, module,
                             static_cast<DWORD>(code), language, buffer, 1024, nullptr);
    if (error)
        *error = n ? 0 : GetLastError();
    return std::wstring(buffer, n);
}

const HRESULT kAllCodes[] = {
    OPC_E_INVALIDHANDLE,
    OPC_E_BADTYPE,
    OPC_E_PUBLIC,
    OPC_E_BADRIGHTS,
    OPC_E_UNKNOWNITEMID,
    OPC_E_INVALIDITEMID,
    OPC_E_INVALIDFILTER,
    OPC_E_UNKNOWNPATH,
    OPC_E_RANGE,
    OPC_E_DUPLICATENAME,
    OPC_S_UNSUPPORTEDRATE,
    OPC_S_CLAMP,
    OPC_S_INUSE,
    OPC_E_INVALIDCONFIGFILE,
    OPC_E_NOTFOUND,
    OPC_E_INVALID_PID,
    OPC_E_DEADBANDNOTSET,
    OPC_E_DEADBANDNOTSUPPORTED,
    OPC_E_NOBUFFERING,
    OPC_E_INVALIDCONTINUATIONPOINT,
    OPC_S_DATAQUEUEOVERFLOW,
    OPC_E_RATENOTSET,
    OPC_E_NOTSUPPORTED,
    OPCCPX_E_TYPE_CHANGED,
    OPCCPX_E_FILTER_DUPLICATE,
    OPCCPX_E_FILTER_INVALID,
    OPCCPX_E_FILTER_ERROR,
    OPCCPX_S_FILTER_NO_DATA,
    KESTRIX_E_DEVICE_FAILURE,
};

bool IsAscii(const std::wstring& text)
{
    for (wchar_t c : text)
        if (c > 0x7E)
            return false;
    return true;
}

TEST(OpcProxyMessages, UnknownItemIdInEnglishAndJapanese)
{
    Module proxy(L"opcproxy.dll");
    ASSERT_NE(proxy.get(), nullptr);
    EXPECT_EQ(Text(proxy.get(), OPC_E_UNKNOWNITEMID, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US)),
              L"The item ID is not in the server's address space.\r\n");
    EXPECT_EQ(Text(proxy.get(), OPC_E_UNKNOWNITEMID, 1041), L"アイテムIDがサーバのアドレス空間にありません。\r\n");
}

TEST(OpcProxyMessages, EveryOpcCodeHasBothTexts)
{
    Module proxy(L"opcproxy.dll");
    ASSERT_NE(proxy.get(), nullptr);
    for (HRESULT code : kAllCodes)
    {
        SCOPED_TRACE(static_cast<unsigned long>(code));
        const std::wstring english = Text(proxy.get(), code, 1033);
        const std::wstring japanese = Text(proxy.get(), code, 1041);
        EXPECT_GT(english.size(), 10u);
        EXPECT_TRUE(IsAscii(english));
        EXPECT_GT(japanese.size(), 3u);
        EXPECT_FALSE(IsAscii(japanese));
    }
}

TEST(OpcProxyMessages, CodesOutsideTheTableAndOtherLanguagesFindNothing)
{
    // GetErrorString falls back to the system table on these failures.
    Module proxy(L"opcproxy.dll");
    ASSERT_NE(proxy.get(), nullptr);
    DWORD error = 0;
    EXPECT_EQ(Text(proxy.get(), E_OUTOFMEMORY, 1033, &error), L"");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_MR_MID_NOT_FOUND));
    EXPECT_EQ(Text(proxy.get(), OPC_E_RANGE, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN), &error), L"");
    EXPECT_EQ(error, static_cast<DWORD>(ERROR_RESOURCE_LANG_NOT_FOUND));
}

} // namespace
