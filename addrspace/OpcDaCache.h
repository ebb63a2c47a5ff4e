// The address space: the settings it was configured with, the server state
// that configuration decides, and the reading of "OpcConfiguration.xml".
#pragma once

#include "OpcDaSettings.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcXml.h"

class COpcDevlaneAPI;

// Server states as OPCSERVERSTATE numbers them.
enum : DWORD
{
    OPC_DA_STATE_RUNNING = 1,
    OPC_DA_STATE_FAILED = 2,
    OPC_DA_STATE_NOCONFIG = 3,
    OPC_DA_STATE_SUSPENDED = 4
};

class COpcDaCache
{
public:
    COpcDaCache(COpcDaSettings& settings, COpcDevlaneAPI& api) : m_settings(settings), m_api(api) {}
    virtual ~COpcDaCache() = default;
    COpcDaCache(const COpcDaCache&) = delete;
    COpcDaCache& operator=(const COpcDaCache&) = delete;

    COpcLock& Lock() { return m_lock; }
    DWORD GetState() const { return m_state; }
    void SetState(DWORD state) { m_state = state; }

    // Reads the configuration file into the settings. 0, or a mapped code
    // after one error-log record naming the element that failed.
    HRESULT Load(const COpcString& path);

    // "OpcConfiguration.xml" in the directory of the running program.
    static COpcString ConfigurationPath();

protected:
    COpcDaSettings& m_settings;
    COpcDevlaneAPI& m_api;
    COpcLock m_lock;
    volatile DWORD m_state = OPC_DA_STATE_SUSPENDED;
    COpcXmlElement m_configRoot;

private:
    HRESULT ReadSettings(const COpcXmlElement& root, const wchar_t*& property);
};
