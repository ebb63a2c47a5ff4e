// Registration in-process, with a class and names of the test's own: the
// registry primitives, the undo of a registration that fails half-way, and
// what reaches the category manager.
#include "OpcApartment.h"
#include "OpcRegistration.h"
#include "OpcTaskMem.h"

#include "HostTestSupport.h"

#include <comcat.h>
#include <olectl.h>
#include <opcda.h>

#include <gtest/gtest.h>

using namespace host_test;

namespace
{
// {8E2A4C61-7B3D-4A95-B0C8-1D2E3F405162}
const CLSID kTestClsid = {0x8e2a4c61, 0x7b3d, 0x4a95, {0xb0, 0xc8, 0x1d, 0x2e, 0x3f, 0x40, 0x51, 0x62}};
// {8E2A4C62-7B3D-4A95-B0C8-1D2E3F405162}
const GUID kTestAppId = {0x8e2a4c62, 0x7b3d, 0x4a95, {0xb0, 0xc8, 0x1d, 0x2e, 0x3f, 0x40, 0x51, 0x62}};
// {8E2A4C63-7B3D-4A95-B0C8-1D2E3F405162}
const GUID kTestCategory = {0x8e2a4c63, 0x7b3d, 0x4a95, {0xb0, 0xc8, 0x1d, 0x2e, 0x3f, 0x40, 0x51, 0x62}};

const wchar_t kVendor[] = L"TbRegTest";
const wchar_t kService[] = L"TbRegTestService";
const std::wstring kTestKey = L"Software\\TbRegTest";

std::wstring Text(const GUID& guid)
{
    return COpcString(guid).TextOrEmpty();
}

std::wstring OwnExeName()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(text.rfind(L'\\') + 1);
}

class RegistrationTest : public ::testing::Test
{
protected:
    void TearDown() override
    {
        const OpcClassEntry classes[] = {{&kTestClsid, L"Probe", L"1", L"", nullptr}, {}};
        UnregisterServer(nullptr, kVendor, kService, kTestAppId, classes, nullptr);
        DeleteRegistryTree(HKEY_CURRENT_USER, kTestKey.c_str());
        COpcComPtr<ICatRegister> categories;
        if (SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER, IID_ICatRegister,
                                       reinterpret_cast<void**>(categories.Receive()))))
        {
            CATID id = kTestCategory;
            categories->UnRegisterCategories(1, &id);
        }
    }

    COpcApartment m_com;
};

TEST_F(RegistrationTest, PrimitivesReadOnlyStringsAndDeleteWholeTrees)
{
    const std::wstring nested = kTestKey + L"\\A\\B\\C";
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, nested.c_str(), L"Name", L"value"));
    ASSERT_TRUE(WriteRegistryString(HKEY_CURRENT_USER, (kTestKey + L"\\A\\D").c_str(), nullptr, L""));
    COpcString value;
    EXPECT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, nested.c_str(), L"Name", value));
    EXPECT_STREQ(L"value", value.TextOrEmpty());

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, nested.c_str(), 0, KEY_SET_VALUE, &key));
    DWORD number = 7;
    RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    const wchar_t expand[] = L"%SystemRoot%\\x";
    RegSetValueExW(key, L"Expand", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE*>(expand), sizeof expand);
    // Stored without a terminator: still read as the whole text and no more.
    RegSetValueExW(key, L"Bare", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"abc"), 3 * sizeof(wchar_t));
    RegCloseKey(key);

    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, nested.c_str(), L"Number", value)) << "not a string";
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, nested.c_str(), L"Missing", value));
    EXPECT_FALSE(ReadRegistryString(HKEY_CURRENT_USER, (kTestKey + L"\\Nowhere").c_str(), L"Name", value));
    EXPECT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, nested.c_str(), L"Expand", value));
    EXPECT_STREQ(expand, value.TextOrEmpty()) << "not expanded";
    EXPECT_TRUE(ReadRegistryString(HKEY_CURRENT_USER, nested.c_str(), L"Bare", value));
    EXPECT_STREQ(L"abc", value.TextOrEmpty());

    EXPECT_TRUE(DeleteRegistryTree(HKEY_CURRENT_USER, (kTestKey + L"\\A").c_str()));
    EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTestKey + L"\\A"));
    EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, kTestKey));
    EXPECT_FALSE(DeleteRegistryTree(HKEY_CURRENT_USER, (kTestKey + L"\\A").c_str())) << "already gone";
    EXPECT_FALSE(DeleteRegistryTree(HKEY_CURRENT_USER, (kTestKey + L"\\").c_str())) << "no leaf";
}

TEST_F(RegistrationTest, AWriteThatFailsUndoesEverythingAndReportsSelfregClass)
{
    // A ProgID longer than a registry key name may be: its key cannot be made,
    // after the AppID and class keys already were.
    const std::wstring tooLong(300, L'x');
    const OpcClassEntry classes[] = {{&kTestClsid, tooLong.c_str(), L"1", L"Probe class", nullptr}, {}};
    const OpcCategoryEntry categories[] = {{&kTestClsid, &kTestCategory, L"Test category"}, {}};
    EXPECT_EQ(SELFREG_E_CLASS,
              RegisterServer(nullptr, kVendor, kService, L"Probe", kTestAppId, false, classes, categories));

    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID\\" + Text(kTestClsid)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\" + Text(kTestAppId)));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"AppID\\" + OwnExeName()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(kVendor) + L"." + tooLong));
}

TEST_F(RegistrationTest, CategoryDescriptionIsCutTo127CharactersAndOnlyDataAccessGetsTheOpcKey)
{
    std::wstring description;
    for (int i = 0; description.size() < 200; ++i)
        description += static_cast<wchar_t>(L'a' + i % 26);
    const OpcClassEntry classes[] = {{&kTestClsid, L"Probe", L"1", L"", nullptr}, {}};
    const OpcCategoryEntry categories[] = {{&kTestClsid, &kTestCategory, description.c_str()}, {}};
    ASSERT_EQ(S_OK, RegisterServer(nullptr, kVendor, kService, L"", kTestAppId, false, classes, categories));

    // An empty description falls back to the ProgID, an empty display name to the service name.
    EXPECT_EQ(L"TbRegTest.Probe.1", ReadValue(HKEY_CLASSES_ROOT, L"CLSID\\" + Text(kTestClsid)));
    EXPECT_EQ(kService, ReadValue(HKEY_CLASSES_ROOT, L"AppID\\" + Text(kTestAppId)));
    EXPECT_EQ(Text(kTestAppId), ReadValue(HKEY_CLASSES_ROOT, L"AppID\\" + OwnExeName()));
    EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, L"TbRegTest.Probe.1\\OPC"));

    // Read where the category manager keeps it: its own reader cannot return a
    // full 127 characters under every platform.
    EXPECT_EQ(description.substr(0, 127),
              ReadValue(HKEY_CLASSES_ROOT, L"Component Categories\\" + Text(kTestCategory), L"400"));
    COpcComPtr<ICatInformation> info;
    ASSERT_HRESULT_SUCCEEDED(CoCreateInstance(CLSID_StdComponentCategoriesMgr, nullptr, CLSCTX_INPROC_SERVER,
                                              IID_ICatInformation, reinterpret_cast<void**>(info.Receive())));
    CATID id = kTestCategory;
    EXPECT_EQ(S_OK, info->IsClassOfCategories(kTestClsid, 1, &id, 0, nullptr));

    EXPECT_EQ(E_INVALIDARG, RegisterCategory(kTestClsid, nullptr, L"x"));
}

TEST(CommandForPath, QuotesOnlyPathsWithBlanks)
{
    EXPECT_STREQ(L"C:\\bin\\tagbridge.exe", CommandForPath(COpcString(L"C:\\bin\\tagbridge.exe")).TextOrEmpty());
    EXPECT_STREQ(L"\"C:\\Program Files\\Vantrel\\tagbridge.exe\"",
                 CommandForPath(COpcString(L"C:\\Program Files\\Vantrel\\tagbridge.exe")).TextOrEmpty());
    EXPECT_STREQ(L"\"C:\\a b\\t.exe\"", CommandForPath(COpcString(L"\"C:\\a b\\t.exe\"")).TextOrEmpty());
}
} // namespace
