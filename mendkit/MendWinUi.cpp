// Message boxes, resource strings and the protocol installer window.
#include "MendResource.h"
#include "MendWin.h"

#include "OpcHandle.h"

namespace
{
const wchar_t kCaption[] = L"mendkit";
const UINT kProtocolDone = WM_APP + 1;

UINT BoxStyle(MendBox box)
{
    switch (box)
    {
    case MendBox::SystemModal: return MB_OK | MB_ICONEXCLAMATION | MB_SYSTEMMODAL;
    case MendBox::Information: return MB_OK | MB_ICONINFORMATION;
    case MendBox::Plain: break;
    }
    return MB_OK | MB_ICONEXCLAMATION;
}

bool FindString(unsigned id, LANGID language, std::wstring& text)
{
    HMODULE module = GetModuleHandleW(nullptr);
    // Strings are stored in blocks of 16; the block's resource id is id / 16 + 1.
    HRSRC found = FindResourceExW(module, RT_STRING, MAKEINTRESOURCEW(id / 16 + 1), language);
    if (found == nullptr)
        return false;
    HGLOBAL loaded = LoadResource(module, found);
    const WCHAR* entry = loaded != nullptr ? static_cast<const WCHAR*>(LockResource(loaded)) : nullptr;
    if (entry == nullptr)
        return false;
    for (unsigned index = 0; index < id % 16; ++index)
        entry += 1 + *entry;
    text.assign(entry + 1, *entry);
    return !text.empty();
}

struct ProtocolWindow
{
    const std::function<int()>* install = nullptr;
    HWND dialog = nullptr;
    COpcHandle worker;
};

DWORD WINAPI ProtocolWorker(void* parameter)
{
    ProtocolWindow& window = *static_cast<ProtocolWindow*>(parameter);
    int result = (*window.install)();
    ShowWindow(window.dialog, SW_HIDE);
    LANGID language = GetThreadUILanguage();
    MessageBoxW(window.dialog,
                LoadMendString(result == 0 ? IDS_MEND_PROTOCOL_DONE : IDS_MEND_PROTOCOL_FAILED, language).c_str(),
                LoadMendString(IDS_MEND_PROTOCOL_CAPTION, language).c_str(),
                MB_OK | MB_TOPMOST | (result == 0 ? MB_ICONINFORMATION : MB_ICONWARNING));
    // The dialog ends on its own thread; this one only reports the result.
    PostMessageW(window.dialog, kProtocolDone, static_cast<WPARAM>(result), 0);
    return 0;
}

INT_PTR CALLBACK ProtocolDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message)
    {
    case WM_INITDIALOG:
    {
        ProtocolWindow& window = *reinterpret_cast<ProtocolWindow*>(lParam);
        window.dialog = dialog;
        LANGID language = GetThreadUILanguage();
        SetWindowTextW(dialog, LoadMendString(IDS_MEND_PROTOCOL_CAPTION, language).c_str());
        SetDlgItemTextW(dialog, IDC_MEND_PROTOCOL_TEXT, LoadMendString(IDS_MEND_PROTOCOL_WAIT, language).c_str());
        window.worker.Reset(CreateThread(nullptr, 0, ProtocolWorker, &window, 0, nullptr));
        if (!window.worker)
            EndDialog(dialog, 5);
        return TRUE;
    }
    case kProtocolDone: EndDialog(dialog, static_cast<INT_PTR>(wParam)); return TRUE;
    case WM_COMMAND:
        // No way out while the drivers install: Escape and the close box do nothing.
        return TRUE;
    }
    return FALSE;
}
} // namespace

std::wstring LoadMendString(unsigned id, LANGID language)
{
    std::wstring text;
    if (FindString(id, language, text) || FindString(id, MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US), text))
        return text;
    return std::wstring();
}

void CMendWinUi::ShowString(MendBox box, unsigned stringId, const std::string& insert)
{
    std::wstring text = LoadMendString(stringId, GetThreadUILanguage());
    std::wstring::size_type slot = text.find(L"%s");
    if (slot != std::wstring::npos)
        text.replace(slot, 2, MendWiden(insert));
    MessageBoxW(nullptr, text.c_str(), kCaption, BoxStyle(box));
}

void CMendWinUi::ShowText(MendBox box, const std::string& text)
{
    MessageBoxW(nullptr, MendWiden(text).c_str(), kCaption, BoxStyle(box));
}

bool CMendWinUi::AskRetry(unsigned stringId)
{
    return MessageBoxW(nullptr, LoadMendString(stringId, GetThreadUILanguage()).c_str(), kCaption,
                       MB_RETRYCANCEL | MB_ICONEXCLAMATION) == IDRETRY;
}

int CMendWinUi::RunProtocolDialog(const std::function<int()>& install)
{
    ProtocolWindow window;
    window.install = &install;
    INT_PTR result = DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(IDD_MEND_PROTOCOL), nullptr,
                                     ProtocolDialogProc, reinterpret_cast<LPARAM>(&window));
    // The worker posts its result as its last step; let it finish before its state goes.
    if (window.worker)
        WaitForSingleObject(window.worker.Get(), INFINITE);
    // Without the window the drivers were never installed.
    return result == -1 ? 5 : static_cast<int>(result);
}
