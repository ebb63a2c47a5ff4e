#include "OpcDaCache.h"

#include "OpcDevlaneAPI.h"

namespace
{
const uint32_t MinSimulationInterval = 100;
const uint32_t MaxScanCycleValue = 65535;

bool AttributeText(const COpcXmlElement& element, const wchar_t* name, COpcString& text)
{
    COpcXmlAttribute attribute = element.Attribute(COpcString(name));
    if (attribute.IsNull())
        return false;
    text = attribute.Value();
    return true;
}
} // namespace

COpcString COpcDaCache::ConfigurationPath()
{
    wchar_t path[MAX_PATH + 1] = {};
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return COpcString(L"OpcConfiguration.xml");
    wchar_t* slash = wcsrchr(path, L'\\');
    if (slash != nullptr)
        slash[1] = L'\0';
    return COpcString(path) + COpcString(L"OpcConfiguration.xml");
}

HRESULT COpcDaCache::Load(const COpcString& path)
{
    COpcLockGuard guard(m_lock);
    COpcXmlDocument document;
    HRESULT hr = document.Load(path);
    if (FAILED(hr)) {
        m_api.LogFailure(OPC_LOG_GENERAL, hr, L"Load");
        return MapDeviceCode(hr);
    }
    m_configRoot = document.DocumentElement();

    const wchar_t* property = nullptr;
    HRESULT code = ReadSettings(m_configRoot, property);
    if (code != S_OK) {
        m_api.LogFailure(OPC_LOG_GENERAL, code, L"Load", nullptr, nullptr, property);
        return MapDeviceCode(code);
    }
    return S_OK;
}

// The raw failure code, with `property` naming the element being read.
HRESULT COpcDaCache::ReadSettings(const COpcXmlElement& root, const wchar_t*& property)
{
    const HRESULT invalid = OPC_DEV_E_CONFIGURATION;
    COpcString text;

    property = L"OutputLogDisable";
    COpcXmlElement element = root.Child(COpcString(property));
    bool flag = false;
    if (element.IsNull() || !ParseBoolean(element.Text().Text(), flag))
        return invalid;
    m_settings.outputLogDisable = flag;

    property = L"Simulation";
    element = root.Child(COpcString(property));
    if (element.IsNull())
        return invalid;
    if (!AttributeText(element, L"Enabled", text) || !ParseBoolean(text.Text(), flag))
        return invalid;
    m_settings.simulationEnabled = flag;
    uint32_t interval = 0;
    if (!AttributeText(element, L"Interval", text) || !ParseUInt32(text.Text(), interval) ||
        interval < MinSimulationInterval || interval % MinSimulationInterval != 0)
        return invalid;
    m_settings.simulationInterval = interval;
    m_settings.simulationUnit = 100;
    // The attribute is required even when simulation is off; its file is read only when on.
    if (!AttributeText(element, L"File", text))
        return invalid;
    if (m_settings.simulationEnabled && !m_settings.LoadSimulationFile(text))
        return OPC_DEV_E_SIMULATION_FILE;

    property = L"TagConfiguration";
    element = root.Child(COpcString(property));
    if (element.IsNull() || !AttributeText(element, L"File", text))
        return invalid;
    m_settings.SetTagConfigurationFile(text);

    property = L"CTTWaitTime";
    element = root.Child(COpcString(property));
    uint32_t wait = 0;
    if (!element.IsNull() && ParseUInt32(element.Text().Text(), wait) && wait != 0)
        m_settings.cttWaitTime = wait;

    if (m_settings.simulationEnabled) {
        property = nullptr;
        return S_OK;
    }

    property = L"ScanCycles";
    element = root.Child(COpcString(property));
    if (element.IsNull())
        return invalid;
    COpcXmlElementList children;
    element.Children(children);
    for (const COpcXmlElement& child : children) {
        if (!child.Name().Equals(L"ScanCycle"))
            continue;
        uint32_t cycle = 0;
        if (!ParseUInt32(child.Text().Text(), cycle) || cycle > MaxScanCycleValue || !m_settings.AddScanCycle(cycle))
            return invalid;
    }
    if (m_settings.ScanCycleCount() != COpcDaSettings::MaxScanCycles)
        return invalid;
    property = nullptr;
    return S_OK;
}
