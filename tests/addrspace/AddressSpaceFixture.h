// Shared set-up of the address-space tests: a settings record, the
// device-access wrapper writing its log into a fresh directory (or a fake in
// its place), the device tree and the address space, with tag configurations
// written from small builders.
#pragma once

#include "DevlaneControl.h"
#include "FakeDeviceAccess.h"
#include "OpcDaDeviceCache.h"
#include "OpcDevlaneAPI.h"
#include "OpcTagDocument.h"
#include "OpcTaskMem.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace addrspace_test
{
// The XML reader needs COM on the test thread.
class ComEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};

inline ::testing::Environment* const kComEnvironment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

inline void RemoveTree(const std::wstring& dir)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (find != INVALID_HANDLE_VALUE)
    {
        do
        {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring path = dir + L"\\" + name;
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &found));
        FindClose(find);
    }
    RemoveDirectoryW(dir.c_str());
}

#ifdef TAGBRIDGE_SOURCE_DIR
// A path of the source tree as the Windows side sees it.
inline std::wstring SourcePath(const char* relative)
{
    std::string path = std::string(TAGBRIDGE_SOURCE_DIR) + "/" + relative;
    std::wstring wide = L"Z:";
    for (char c : path)
        wide += c == '/' ? L'\\' : static_cast<wchar_t>(c);
    return wide;
}
#endif

// Attributes in document order; a value of nullptr leaves the attribute out.
typedef std::vector<std::pair<std::string, const char*>> Attributes;

inline Attributes With(Attributes base, const Attributes& changes)
{
    for (const auto& change : changes)
    {
        bool replaced = false;
        for (auto& a : base)
        {
            if (a.first == change.first)
            {
                a.second = change.second;
                replaced = true;
            }
        }
        if (!replaced)
            base.push_back(change);
    }
    return base;
}

inline std::string Element(const std::string& name, const Attributes& attributes, const std::string& body = "")
{
    std::string text = "<" + name;
    for (const auto& a : attributes)
    {
        if (a.second != nullptr)
            text += " " + a.first + "=\"" + a.second + "\"";
    }
    return body.empty() ? text + "/>\n" : text + ">\n" + body + "</" + name + ">\n";
}

inline Attributes AnalogDefaults(const char* name)
{
    return {{"Name", name},
            {"Enable", "1"},
            {"DeviceAddress", "D0"},
            {"DataType", "16Bit(Signed)"},
            {"DataCount", "1"},
            {"ScanCycle", "10"},
            {"Description", "test"},
            {"Simulation", "None"},
            {"HighEU", "100"},
            {"LowEU", "0"},
            {"HighInstrumentRange", "32767"},
            {"LowInstrumentRange", "-32768"},
            {"EngineeringUnit", "%"},
            {"DeadBand", "0"},
            {"DecimalPoint", "0"},
            {"SignalCondition", "None"}};
}

inline Attributes DigitalDefaults(const char* name)
{
    return {{"Name", name},       {"Enable", "1"},      {"DeviceAddress", "M0"}, {"DataType", "Bit"},
            {"DataCount", "1"},   {"ScanCycle", "10"},  {"Description", "test"}, {"Simulation", "None"},
            {"CloseLabel", "ON"}, {"OpenLabel", "OFF"}, {"Inverse", "Off"}};
}

inline Attributes StringDefaults(const char* name)
{
    return {{"Name", name},          {"Enable", "1"},        {"DeviceAddress", "D30"},
            {"DataType", "String"},  {"DataCount", "8"},     {"ScanCycle", "10"},
            {"Description", "test"}, {"Simulation", "None"}, {"NullTermination", "1"}};
}

inline std::string Analog(const char* name, const Attributes& changes = {})
{
    return Element("AnalogTag", With(AnalogDefaults(name), changes));
}
inline std::string Digital(const char* name, const Attributes& changes = {})
{
    return Element("DigitalTag", With(DigitalDefaults(name), changes));
}
inline std::string Text(const char* name, const Attributes& changes = {})
{
    return Element("StringTag", With(StringDefaults(name), changes));
}
inline std::string Group(const char* name, const std::string& body, const char* enable = "1")
{
    return Element("TagGroup", {{"Name", name}, {"Enable", enable}}, body);
}
inline std::string Device(const char* name, const std::string& body, const char* enable = "1")
{
    return Element("Device", {{"Name", name}, {"Enable", enable}}, body);
}
inline std::string Node(const char* name, const std::string& body, const char* element = "Lintor")
{
    return Element(element, {{"Name", name}, {"Enable", "1"}}, body);
}
inline std::string Project(const char* file = "Test.rxp", const char* build = "7")
{
    return Element("RXIInformation", {{"BaseFileName", file}, {"BuiledNumber", build}});
}
inline std::string Tags(const std::string& body)
{
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<TagConfiguration>\n" + body + "</TagConfiguration>\n";
}

// The substitute runtime's project used by the tests with simulation off.
const char* const kRuntime = "[project]\n"
                             "path = C:\\Lintor\\Projects\\Test.rxp\n"
                             "build = 7\n"
                             "[device N.P]\n"
                             "[device N.Q]\n"
                             "[symbols N.P]\n"
                             "S.G.Speed = D100 int16 1\n"
                             "S.G.Rates = D110 float 2\n";

class AddressSpaceTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, DevlaneControlReset());
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        static int counter = 0;
        m_dir = std::wstring(temp) + L"tagbridge-as-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(++counter);
        CreateDirectoryW(m_dir.c_str(), nullptr);
        CreateDirectoryW((m_dir + L"\\ErrorLog").c_str(), nullptr);
        m_settings = std::make_unique<COpcDaSettings>();
    }

    void TearDown() override
    {
        m_cache.reset();
        m_device.reset();
        m_fake.reset();
        m_api.reset();
        RemoveTree(m_dir);
    }

    // A new settings record; the objects using the old one go first.
    void FreshSettings()
    {
        m_cache.reset();
        m_device.reset();
        m_api.reset();
        m_settings = std::make_unique<COpcDaSettings>();
    }

    // Simulation on, one pass per interval.
    void UseSimulation(uint32_t intervalMs = 1000)
    {
        m_settings->simulationEnabled = true;
        m_settings->simulationInterval = intervalMs;
        m_settings->simulationUnit = 100;
        Build();
    }

    // Simulation off with the substitute runtime and the usual ten scan cycles.
    void UseRuntime(const char* description = kRuntime)
    {
        ASSERT_EQ(0, DevlaneControlLoadDescriptionText(description));
        UseScanCycles();
        Build();
        m_api->CreateThreadHandle(GetCurrentThreadId());
    }

    // Simulation off with a fake in place of the library, for tests of values
    // and failures: no library calls and no error log.
    void UseFakeDevice()
    {
        UseScanCycles();
        m_cache.reset();
        m_device.reset();
        m_api.reset();
        m_fake = std::make_unique<FakeDeviceAccess>();
        m_device = std::make_unique<COpcDaDevice>(*m_settings, *m_fake);
        m_cache = std::make_unique<COpcDaDeviceCache>(*m_settings, *m_fake, *m_device);
    }

    void UseScanCycles()
    {
        m_settings->simulationEnabled = false;
        for (uint32_t cycle : {0u, 1u, 2u, 5u, 10u, 15u, 20u, 50u, 100u, 600u})
            m_settings->AddScanCycle(cycle);
    }

    // Fresh objects on the current settings; the old ones go in reverse order.
    void Build()
    {
        m_cache.reset();
        m_device.reset();
        m_fake.reset();
        m_api.reset();
        m_api = std::make_unique<COpcDevlaneAPI>(*m_settings, m_dir.c_str());
        m_device = std::make_unique<COpcDaDevice>(*m_settings, *m_api);
        m_cache = std::make_unique<COpcDaDeviceCache>(*m_settings, *m_api, *m_device);
    }

    std::wstring WriteFile(const wchar_t* name, const std::string& content)
    {
        std::wstring path = m_dir + L"\\" + name;
        std::ofstream out(path.c_str(), std::ios::binary);
        out << content;
        return path;
    }

    // Loads a whole tag configuration file.
    HRESULT LoadFile(const std::string& content)
    {
        return m_cache->LoadTagConfiguration(COpcString(WriteFile(L"Tags.xml", content).c_str()));
    }

    // Loads tags placed in device P of node N, after the project record.
    HRESULT Load(const std::string& deviceBody)
    {
        return LoadFile(Tags(Project() + Node("N", Device("P", deviceBody))));
    }

    // Builds the device tree and registers its items, but starts no thread,
    // so nothing refreshes an item behind the test's back.
    HRESULT LoadQuietly(const std::string& deviceBody)
    {
        COpcTagDocument document;
        HRESULT hr = document.Load(
            COpcString(WriteFile(L"Tags.xml", Tags(Project() + Node("N", Device("P", deviceBody)))).c_str()));
        if (FAILED(hr))
            return hr;
        m_device->ReadConfiguration(*document.Root());
        return m_device->RegisterAll();
    }

    COpcDaDeviceItem* Item(const wchar_t* itemId) const { return m_device->FindItem(COpcString(itemId)); }

    // The records of the error log, newest first.
    std::vector<std::wstring> Records() const
    {
        std::vector<std::wstring> records;
        for (size_t i = 0; i < m_api->RecordCount(); ++i)
            records.push_back(m_api->RecordAt(i).TextOrEmpty());
        return records;
    }

    // Whether a record carries the (mapped) code, item ID and property.
    bool Logged(HRESULT code, const wchar_t* itemId, const wchar_t* property) const
    {
        wchar_t ole[32];
        swprintf(ole, 32, L"OLECode  = 0x%8.8x ", static_cast<unsigned>(MapDeviceCode(code)));
        for (const std::wstring& r : Records())
        {
            if (r.find(ole) != std::wstring::npos &&
                r.find(std::wstring(L"ItemID   = ") + itemId + L"\r\n") != std::wstring::npos &&
                r.find(std::wstring(L"Property = ") + property + L"\r\n") != std::wstring::npos)
                return true;
        }
        return false;
    }

    // Reads a value (selector 0 refreshes first, 2 reads as kept).
    HRESULT ReadValue(const wchar_t* itemId, COpcVariant& value, WORD* quality = nullptr, DWORD selector = 2)
    {
        COpcDaDeviceItem* item = Item(itemId);
        if (item == nullptr)
            return E_FAIL;
        return item->ReadItem(selector, value.Get(), nullptr, quality);
    }

    std::wstring m_dir;
    std::unique_ptr<COpcDaSettings> m_settings;
    std::unique_ptr<COpcDevlaneAPI> m_api;
    std::unique_ptr<FakeDeviceAccess> m_fake;
    std::unique_ptr<COpcDaDevice> m_device;
    std::unique_ptr<COpcDaDeviceCache> m_cache;
};
} // namespace addrspace_test
