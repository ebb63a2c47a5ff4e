// mendkit.exe's texts and window template as the resource compiler left them:
// the UTF-8 source must come out as the right UTF-16 text in each language.
#include "MendResource.h"
#include "MendWin.h"

#include <gtest/gtest.h>

namespace
{
const LANGID kEnglish = MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US);
const LANGID kJapanese = MAKELANGID(LANG_JAPANESE, SUBLANG_DEFAULT);

TEST(MendkitResources, StringsLoadInTheAskedLanguageOrEnglish)
{
    struct Row
    {
        unsigned id;
        LANGID language;
        const wchar_t* text;
    } rows[] = {
        {IDS_MEND_PROTOCOL_WAIT, kEnglish, L"Please wait while installing Protocol drivers."},
        {IDS_MEND_PROTOCOL_WAIT, kJapanese, L"プロトコルをインストールしています。しばらくお待ちください。"},
        {IDS_MEND_PROTOCOL_CAPTION, kJapanese, L"Protocol Installer"},
        {IDS_MEND_ALREADY_UPDATED, kEnglish,
         L"'%s' is already updated on the this machine.\nThe setup cannot continue."},
        {IDS_MEND_ALREADY_UPDATED, kJapanese,
         L"このマシンでは、既に「%s」のアップデートが実施されています。\nセットアップを続行することはできません。"},
        {IDS_MEND_PROTOCOL_FAILED, MAKELANGID(LANG_GERMAN, SUBLANG_GERMAN),
         L"Failed to install the Protocol drivers. Click OK to exit."},
        {113, kEnglish, L""},
    };
    for (const Row& r : rows)
        EXPECT_EQ(LoadMendString(r.id, r.language), r.text) << r.id << " in " << r.language;

    for (unsigned id : {IDS_MEND_CANNOT_PATCH, IDS_MEND_PROTOCOL_DONE, IDS_MEND_RUNTIME_RUNNING})
        for (LANGID language : {kEnglish, kJapanese})
            EXPECT_GT(LoadMendString(id, language).size(), 20u) << id << " in " << language;
    EXPECT_EQ(LoadMendString(IDS_MEND_RUNTIME_RUNNING, kJapanese).substr(0, 7), L"Lintorに");
}

TEST(MendkitResources, ProtocolWindowIsATopmostExtendedTemplate)
{
    HMODULE module = GetModuleHandleW(nullptr);
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(IDD_MEND_PROTOCOL), RT_DIALOG);
    ASSERT_NE(found, nullptr);
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    ASSERT_NE(data, nullptr);
    struct Head
    {
        WORD version, signature;
        DWORD helpId, exStyle, style;
        WORD items;
        short x, y, cx, cy;
    };
    Head head;
    memcpy(&head, data, sizeof(head));
    EXPECT_EQ(head.version, 1);
    EXPECT_EQ(head.signature, 0xFFFF);
    EXPECT_EQ(head.exStyle & WS_EX_TOPMOST, static_cast<DWORD>(WS_EX_TOPMOST));
    const DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT;
    EXPECT_EQ(head.style & style, style);
    EXPECT_EQ(head.items, 1);
    EXPECT_EQ(head.cx, 265);
    EXPECT_EQ(head.cy, 65);
}
} // namespace
