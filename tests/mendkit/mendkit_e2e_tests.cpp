// mendkit.exe end to end, on a display of its own: real uninstall entries in
// the registry, stand-in installers that record their command lines, and a
// "user" who reads every box mendkit shows and presses a button in it.
#include "OpcHandle.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <cstdint>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// Exported by gdi32 without a declaration in the headers: the dialog manager's
// own measure of a font's average character width and height.
extern "C" LONG WINAPI GdiGetCharDimensions(HDC dc, LPTEXTMETRICW metrics, LONG* height);

namespace
{
const wchar_t kUninstall[] = L"SOFTWARE\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";
const wchar_t kDravonCode[] = L"{5E2A9C41-3B7D-4F10-9A62-C18D3E07B4F5}";
const wchar_t kSendelCode[] = L"{A1D47F3C-92E8-4B6A-8C15-6F0E2B9D7A43}";
const wchar_t kRelease[] = L"mendkit-e2e-release-setup";
const DWORD kCeilingMs = 120000;

std::wstring BinDirectory()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring text = path;
    return text.substr(0, text.find_last_of(L'\\') + 1);
}

std::string ReadFile(const std::wstring& path)
{
    std::ifstream in(path.c_str(), std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::wstring& path, const std::string& text)
{
    std::ofstream(path.c_str(), std::ios::binary) << text;
}

// --- a PNG of the screen's pixels: stored (uncompressed) deflate blocks ---
uint32_t Crc(const std::string& data)
{
    uint32_t crc = 0xFFFFFFFFu;
    for (unsigned char byte : data)
    {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}

std::string Big32(uint32_t v)
{
    return {char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
}

std::string Chunk(const char* type, const std::string& data)
{
    std::string body = type + data;
    return Big32(static_cast<uint32_t>(data.size())) + body + Big32(Crc(body));
}

// <rgb> holds height rows of width RGB triples.
std::string EncodePng(int width, int height, const std::string& rgb)
{
    std::string raw;
    for (int y = 0; y < height; ++y)
        raw += '\0' + rgb.substr(static_cast<size_t>(y) * width * 3, static_cast<size_t>(width) * 3);
    std::string zlib = "\x78\x01";
    uint32_t a = 1, b = 0;
    for (unsigned char byte : raw)
        a = (a + byte) % 65521, b = (b + a) % 65521;
    for (size_t at = 0; at < raw.size() || at == 0; at += 65535)
    {
        size_t n = std::min<size_t>(65535, raw.size() - at);
        zlib += char(at + n >= raw.size() ? 1 : 0);
        zlib += {char(n), char(n >> 8), char(~n), char(~n >> 8)};
        zlib += raw.substr(at, n);
    }
    zlib += Big32((b << 16) | a);
    std::string header = Big32(width) + Big32(height) + std::string("\x08\x02\x00\x00\x00", 5);
    return std::string("\x89PNG\r\n\x1a\n", 8) + Chunk("IHDR", header) + Chunk("IDAT", zlib) + Chunk("IEND", "");
}

// The screen's pixels inside <rect>, as RGB rows.
std::string GrabScreen(const RECT& rect)
{
    const int width = rect.right - rect.left, height = rect.bottom - rect.top;
    std::unique_ptr<std::remove_pointer<HDC>::type, void (*)(HDC)> screen(GetDC(nullptr),
                                                                          [](HDC dc) { ReleaseDC(nullptr, dc); });
    std::unique_ptr<std::remove_pointer<HDC>::type, BOOL(WINAPI*)(HDC)> memory(CreateCompatibleDC(screen.get()),
                                                                               DeleteDC);
    std::unique_ptr<std::remove_pointer<HBITMAP>::type, BOOL(WINAPI*)(HGDIOBJ)> bitmap(
        CreateCompatibleBitmap(screen.get(), width, height), DeleteObject);
    HGDIOBJ old = SelectObject(memory.get(), bitmap.get());
    BitBlt(memory.get(), 0, 0, width, height, screen.get(), rect.left, rect.top, SRCCOPY);
    SelectObject(memory.get(), old);
    BITMAPINFO info = {};
    info.bmiHeader = {sizeof(BITMAPINFOHEADER), width, -height, 1, 32, BI_RGB};
    std::vector<uint8_t> bgrx(static_cast<size_t>(width) * height * 4);
    GetDIBits(memory.get(), bitmap.get(), 0, height, bgrx.data(), &info, DIB_RGB_COLORS);
    std::string rgb;
    for (size_t i = 0; i < bgrx.size(); i += 4)
        rgb += {char(bgrx[i + 2]), char(bgrx[i + 1]), char(bgrx[i])};
    return rgb;
}

std::wstring WindowText(HWND window)
{
    wchar_t text[2048] = {};
    GetWindowTextW(window, text, 2048);
    return text;
}

std::wstring ClassOf(HWND window)
{
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

// The protocol installer window as the user saw it.
struct Photo
{
    bool taken = false;
    std::wstring caption, text;
    RECT window = {}, client = {};
    LONG style = 0, exStyle = 0;
    int darkPixelsInText = 0;
};

// Plays the user at the screen: answers each message box of one process with
// the next button of a script, and photographs the protocol installer window.
class CUser
{
public:
    CUser(DWORD process, std::vector<int> answers, std::wstring photoFile)
        : m_process(process), m_answers(std::move(answers)), m_photoFile(std::move(photoFile))
    {
    }

    std::vector<std::wstring> boxes; // texts in the order shown
    Photo photo;
    bool scriptRanOut = false;

    void Look()
    {
        EnumWindows(
            [](HWND window, LPARAM self) -> BOOL
            {
                reinterpret_cast<CUser*>(self)->Consider(window);
                return TRUE;
            },
            reinterpret_cast<LPARAM>(this));
    }

private:
    void Consider(HWND window)
    {
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != m_process || !IsWindowVisible(window) || ClassOf(window) != L"#32770" ||
            m_handled.count(window) != 0)
            return;
        if (HWND text = GetDlgItem(window, 1002))
        {
            if (!m_photoFile.empty() && !Photograph(window, text))
                return; // not painted yet; look again
        }
        else if (!Answer(window))
            return;
        m_handled.insert(window);
    }

    bool Answer(HWND box)
    {
        std::wstring text;
        for (HWND child = GetWindow(box, GW_CHILD); child != nullptr; child = GetWindow(child, GW_HWNDNEXT))
            if (ClassOf(child) == L"Static" && WindowText(child).size() > text.size())
                text = WindowText(child);
        if (text.empty())
            return false;
        boxes.push_back(text);
        if (m_next >= m_answers.size())
        {
            scriptRanOut = true;
            return true;
        }
        PostMessageW(GetDlgItem(box, m_answers[m_next++]), BM_CLICK, 0, 0);
        return true;
    }

    bool Photograph(HWND dialog, HWND text)
    {
        Photo p;
        p.caption = WindowText(dialog);
        p.text = WindowText(text);
        GetWindowRect(dialog, &p.window);
        GetClientRect(dialog, &p.client);
        p.style = GetWindowLongW(dialog, GWL_STYLE);
        p.exStyle = GetWindowLongW(dialog, GWL_EXSTYLE);
        RECT textRect = {};
        GetWindowRect(text, &textRect);
        const std::string rgb = GrabScreen(p.window);
        const int width = p.window.right - p.window.left;
        for (int y = textRect.top; y < textRect.bottom; ++y)
            for (int x = textRect.left; x < textRect.right; ++x)
            {
                size_t at = (static_cast<size_t>(y - p.window.top) * width + (x - p.window.left)) * 3;
                if (at + 2 < rgb.size() && uint8_t(rgb[at]) + uint8_t(rgb[at + 1]) + uint8_t(rgb[at + 2]) < 240)
                    ++p.darkPixelsInText;
            }
        // Until the window has painted its text the picture would show nothing.
        if (m_firstLook == 0)
            m_firstLook = GetTickCount();
        if (p.darkPixelsInText < 20 && GetTickCount() - m_firstLook < 30000)
            return false;
        WriteFile(m_photoFile, EncodePng(width, p.window.bottom - p.window.top, rgb));
        p.taken = true;
        photo = p;
        COpcHandle release(OpenEventW(EVENT_MODIFY_STATE, FALSE, kRelease));
        SetEvent(release.Get());
        return true;
    }

    DWORD m_process;
    std::vector<int> m_answers;
    size_t m_next = 0;
    std::wstring m_photoFile;
    std::set<HWND> m_handled;
    DWORD m_firstLook = 0;
};

void SetUninstallEntry(const wchar_t* code, const wchar_t* version, const std::wstring& directory)
{
    const std::wstring path = std::wstring(kUninstall) + code;
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY})
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), view, 0);
    if (version == nullptr)
        return;
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_32KEY, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    auto set = [key](const wchar_t* name, const std::wstring& value)
    {
        RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                       static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    };
    set(L"InstallPath0", directory);
    if (*version != L'\0')
        set(L"DisplayVersion", version);
    RegCloseKey(key);
}

// The parameters of a recorded command line: everything after the program.
std::string Parameters(const std::string& commandLine)
{
    size_t end = commandLine[0] == '"' ? commandLine.find('"', 1) + 1 : commandLine.find(' ');
    return end >= commandLine.size() ? std::string() : commandLine.substr(end + 1);
}

struct Case
{
    const char* name;
    const wchar_t* dravonVersion; // installed version; nullptr: not installed; "": no DisplayVersion
    const wchar_t* sendelVersion;
    bool runtimeRunning;
    const wchar_t* msiexecCodes;
    const wchar_t* setupCodes;
    std::vector<int> answers;
    std::vector<std::wstring> boxes; // each shown text starts with the one here
    int exitCode;
    int patchRuns;
    bool protocolRuns;
    bool readmeCopied;
    const char* consoleLine;
};

TEST(MendkitEndToEnd, PatchMediumOnARealDesktop)
{
    const std::wstring bin = BinDirectory();
    const std::wstring root = bin + L"mendkit-e2e\\";
    const std::wstring medium = root + L"patch medium\\";
    const std::wstring dravonDir = root + L"Dravon Editor\\";
    const std::wstring sendelDir = root + L"Sendel Tool\\";
    const std::string narrowMedium(medium.begin(), medium.end());
    const std::string narrowSendel(sendelDir.begin(), sendelDir.end());
    for (const std::wstring& dir :
         {root, medium, medium + L"Dravon", medium + L"Sendel", medium + L"Protocol", dravonDir, sendelDir})
        CreateDirectoryW(dir.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW((bin + L"mendkit.exe").c_str(), (medium + L"mendkit.exe").c_str(), FALSE));
    const std::wstring standin = bin + L"mendkit_standin_installer.exe";
    ASSERT_TRUE(CopyFileW(standin.c_str(), (medium + L"Protocol\\Setup.exe").c_str(), FALSE));
    wchar_t system[MAX_PATH] = {};
    GetSystemDirectoryW(system, MAX_PATH);
    ASSERT_TRUE(CopyFileW(standin.c_str(), (std::wstring(system) + L"\\msiexec.exe").c_str(), FALSE));
    WriteFile(medium + L"Dravon\\Patch.msp", "patch");
    WriteFile(medium + L"Sendel\\Patch.msp", "patch");
    WriteFile(medium + L"Readme_E.txt", "readme, English, new");
    WriteFile(medium + L"Readme_J.txt", "readme, Japanese, new");
    WriteFile(medium + L"mendkit.ini",
              "[Product]\r\nDravonVersion=1.1\r\nSendelVersion=2.0\r\nProductName=Dravon Editor\r\n"
              "DravonArgument=/qn REBOOT=ReallySuppress\r\nSendelArgument=/qn\r\nMessageEN=Patches applied.\r\n");
    const std::wstring log = root + L"calls.log", console = root + L"console.txt", readme = sendelDir + L"Readme.txt";
    SetEnvironmentVariableW(L"MENDKIT_STANDIN_LOG", log.c_str());

    const int ok = IDOK, retry = IDRETRY, cancel = IDCANCEL;
    const std::wstring cannotPatch = L"The upgrade patch cannot be installed by the Windows Installer service";
    const std::wstring done = L"Finished installing the Protocol drivers successfully. Click OK to exit.";
    const Case cases[] = {
        {"every step", L"1.0.5", L"", false, L"0,0", L"0", {ok, ok}, {done, L"Patches applied."}, 0, 2, true, true, ""},
        {"neither product installed", nullptr, nullptr, true, L"", L"", {ok}, {cannotPatch}, 10, 0, false, false, ""},
        {"runtime running, retried, cancelled",
         L"1.0",
         nullptr,
         true,
         L"",
         L"",
         {retry, cancel},
         {L"The update cannot be executed", L"The update cannot be executed"},
         11,
         0,
         false,
         false,
         ""},
        {"editor installer asks for a reboot",
         L"1.0",
         L"1.0",
         false,
         L"3010",
         L"",
         {},
         {},
         3,
         1,
         false,
         false,
         "Can not launch the Dravon Patch!"},
        {"editor already updated (1.10 is above 1.1)",
         L"1.10",
         L"1.0",
         false,
         L"",
         L"",
         {ok},
         {L"'Dravon Editor' is already updated on the this machine.\nThe setup cannot continue."},
         6,
         0,
         false,
         false,
         "Invalid Dravon Version!"},
        {"protocol installer fails, readme still copied",
         nullptr,
         L"1.9.9",
         false,
         L"0",
         L"1",
         {ok, ok},
         {L"Failed to install the Protocol drivers. Click OK to exit.", L"Patches applied."},
         5,
         1,
         true,
         true,
         "Can not launch the Protocol Installer!"},
    };
    for (const Case& c : cases)
    {
        SCOPED_TRACE(c.name);
        SetUninstallEntry(kDravonCode, c.dravonVersion, dravonDir);
        SetUninstallEntry(kSendelCode, c.sendelVersion, sendelDir);
        DeleteFileW(log.c_str());
        SetFileAttributesW(readme.c_str(), FILE_ATTRIBUTE_NORMAL);
        WriteFile(readme, "readme, old");
        SetFileAttributesW(readme.c_str(), FILE_ATTRIBUTE_READONLY);
        SetEnvironmentVariableW(L"MENDKIT_STANDIN_EXIT_MSIEXEC", c.msiexecCodes);
        SetEnvironmentVariableW(L"MENDKIT_STANDIN_EXIT_SETUP", c.setupCodes);
        const bool photograph = c.protocolRuns && c.exitCode == 0;
        SetEnvironmentVariableW(L"MENDKIT_STANDIN_HOLD_SETUP", photograph ? kRelease : nullptr);
        COpcHandle release(CreateEventW(nullptr, TRUE, FALSE, kRelease));
        COpcHandle mapping(c.runtimeRunning ? CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                                                 L"7a3c5e91.0.0.Memory")
                                            : nullptr);

        SECURITY_ATTRIBUTES inherit = {sizeof(inherit), nullptr, TRUE};
        COpcHandle output(
            CreateFileW(console.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit, CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW start = {sizeof(start)};
        start.dwFlags = STARTF_USESTDHANDLES;
        start.hStdOutput = start.hStdError = output.Get();
        PROCESS_INFORMATION info = {};
        std::wstring commandLine = L"\"" + medium + L"mendkit.exe\"";
        ASSERT_TRUE(
            CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr, &start, &info));
        COpcHandle process(info.hProcess), thread(info.hThread);
        output.Close();

        CUser user(info.dwProcessId, c.answers, photograph ? bin + L"mendkit-protocol-dialog.png" : L"");
        const DWORD began = GetTickCount();
        while (WaitForSingleObject(process.Get(), 50) == WAIT_TIMEOUT && GetTickCount() - began < kCeilingMs &&
               !user.scriptRanOut)
            user.Look();
        DWORD exitCode = STILL_ACTIVE;
        GetExitCodeProcess(process.Get(), &exitCode);
        if (exitCode == STILL_ACTIVE)
            TerminateProcess(process.Get(), 99);
        EXPECT_EQ(exitCode, static_cast<DWORD>(c.exitCode));
        EXPECT_FALSE(user.scriptRanOut);

        ASSERT_EQ(user.boxes.size(), c.boxes.size());
        for (size_t i = 0; i < c.boxes.size(); ++i)
            EXPECT_EQ(user.boxes[i].substr(0, c.boxes[i].size()), c.boxes[i]) << "box " << i;

        std::vector<std::string> patches, protocol;
        std::istringstream calls(ReadFile(log));
        for (std::string line; std::getline(calls, line);)
            if (line.erase(line.find_last_not_of('\r') + 1).find('|') != std::string::npos)
                (line.rfind("MSIEXEC|", 0) == 0 ? patches : protocol)
                    .push_back(Parameters(line.substr(line.find('|') + 1)));
        const std::string expectedPatches[] = {"/p \"" + narrowMedium + "Dravon\\Patch.msp\" /qn REBOOT=ReallySuppress",
                                               "/p \"" + narrowMedium + "Sendel\\Patch.msp\" /qn"};
        ASSERT_EQ(patches.size(), static_cast<size_t>(c.patchRuns));
        for (const std::string& patch : patches)
            EXPECT_TRUE(patch == expectedPatches[0] || patch == expectedPatches[1]) << patch;
        if (c.patchRuns == 2) // the editor goes first
        {
            EXPECT_EQ(patches[1], expectedPatches[1]);
        }
        ASSERT_EQ(protocol.size(), c.protocolRuns ? 1u : 0u);
        if (c.protocolRuns) // the directory's trailing separator is dropped inside the quotes
        {
            EXPECT_EQ(protocol[0], "/s /a/p\"" + narrowSendel.substr(0, narrowSendel.size() - 1) + "\"");
        }

        EXPECT_EQ(ReadFile(readme), c.readmeCopied ? "readme, English, new" : "readme, old");
        const std::string printed = ReadFile(console);
        EXPECT_EQ(printed.substr(0, printed.find_first_of("\r\n")), c.consoleLine);

        if (photograph)
        {
            const Photo& p = user.photo;
            ASSERT_TRUE(p.taken);
            EXPECT_EQ(p.caption, L"Protocol Installer");
            EXPECT_EQ(p.text, L"Please wait while installing Protocol drivers.");
            EXPECT_GE(p.darkPixelsInText, 20) << "the text is not on the screen";
            EXPECT_NE(p.exStyle & WS_EX_TOPMOST, 0);
            // 265 by 65 dialog units in "MS Shell Dlg" 8 pt, the way the dialog manager converts them.
            std::unique_ptr<std::remove_pointer<HDC>::type, void (*)(HDC)> dc(GetDC(nullptr),
                                                                              [](HDC h) { ReleaseDC(nullptr, h); });
            HFONT font = CreateFontW(-MulDiv(8, GetDeviceCaps(dc.get(), LOGPIXELSY), 72), 0, 0, 0, FW_NORMAL, FALSE,
                                     FALSE, FALSE, DEFAULT_CHARSET, 0, 0, 0, 0, L"MS Shell Dlg");
            HGDIOBJ old = SelectObject(dc.get(), font);
            LONG unitHeight = 0;
            const LONG unitWidth = GdiGetCharDimensions(dc.get(), nullptr, &unitHeight);
            DeleteObject(SelectObject(dc.get(), old));
            RECT expected = {0, 0, MulDiv(265, unitWidth, 4), MulDiv(65, unitHeight, 8)};
            EXPECT_EQ(p.client.right, expected.right);
            EXPECT_EQ(p.client.bottom, expected.bottom);
            AdjustWindowRectEx(&expected, p.style, FALSE, p.exStyle);
            const int width = p.window.right - p.window.left, height = p.window.bottom - p.window.top;
            EXPECT_EQ(width, expected.right - expected.left);
            EXPECT_EQ(height, expected.bottom - expected.top);
            const std::string png = ReadFile(bin + L"mendkit-protocol-dialog.png");
            ASSERT_GT(png.size(), 24u);
            EXPECT_EQ(png.substr(16, 8), Big32(width) + Big32(height));
        }
    }
    for (const wchar_t* code : {kDravonCode, kSendelCode})
        SetUninstallEntry(code, nullptr, L"");
}
} // namespace
