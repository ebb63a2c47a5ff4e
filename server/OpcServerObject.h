// The object a client gets from the server class: its groups, the server
// status, error texts, the shutdown notice and IO by item ID. Browsing and
// item properties live in OpcServerBrowse.cpp.
#pragma once

#include "OpcComObject.h"
#include "OpcCommon.h"
#include "OpcConnectionPoint.h"
#include "OpcContainers.h"
#include "OpcDaRequestWorker.h"
#include "OpcLock.h"
#include "OpcString.h"
#include "OpcThreadPool.h"
#include "OpcWorkerThread.h"

#include <opcda.h>
#include <opcshutdownctl.h>

#include <memory>

class COpcDaGroup;
class COpcDaTransaction;
class COpcDaPropertyList;

// The class table's creator: a new server object with one reference.
HRESULT OpcCreateServerObject(const CLSID* clsid, IUnknown** object);

class COpcServerObject : public COpcComObject<COpcServerObject, COpcCommon, COpcConnectionPointContainer, IOPCServer,
                                              IOPCBrowseServerAddressSpace, IOPCBrowse, IOPCItemProperties, IOPCItemIO,
                                              IOpcDaShutdownControl>
{
public:
    // IUnknown
    static const SOpcInterfaceEntry<COpcServerObject> Interfaces[];

    // IOPCCommon's error lookup: the OPC proxy's table, then the system's.
    HRESULT LookupErrorString(HRESULT error, LCID locale, LPWSTR* text) override;

    // IOPCServer
    STDMETHOD(AddGroup)
    (LPCWSTR szName, BOOL bActive, DWORD dwRequestedUpdateRate, OPCHANDLE hClientGroup, LONG* pTimeBias,
     FLOAT* pPercentDeadband, DWORD dwLCID, OPCHANDLE* phServerGroup, DWORD* pRevisedUpdateRate, REFIID riid,
     LPUNKNOWN* ppUnk) override;
    STDMETHOD(GetErrorString)(HRESULT dwError, LCID dwLocale, LPWSTR* ppString) override;
    using COpcCommon::GetErrorString;
    STDMETHOD(GetGroupByName)(LPCWSTR szName, REFIID riid, LPUNKNOWN* ppUnk) override;
    STDMETHOD(GetStatus)(OPCSERVERSTATUS** ppServerStatus) override;
    STDMETHOD(RemoveGroup)(OPCHANDLE hServerGroup, BOOL bForce) override;
    STDMETHOD(CreateGroupEnumerator)(OPCENUMSCOPE dwScope, REFIID riid, LPUNKNOWN* ppUnk) override;

    // IOPCBrowseServerAddressSpace
    STDMETHOD(QueryOrganization)(OPCNAMESPACETYPE* pNameSpaceType) override;
    STDMETHOD(ChangeBrowsePosition)(OPCBROWSEDIRECTION dwBrowseDirection, LPCWSTR szString) override;
    STDMETHOD(BrowseOPCItemIDs)
    (OPCBROWSETYPE dwBrowseFilterType, LPCWSTR szFilterCriteria, VARTYPE vtDataTypeFilter, DWORD dwAccessRightsFilter,
     LPENUMSTRING* ppIEnumString) override;
    STDMETHOD(GetItemID)(LPWSTR szItemDataID, LPWSTR* szItemID) override;
    STDMETHOD(BrowseAccessPaths)(LPCWSTR szItemID, LPENUMSTRING* ppIEnumString) override;

    // IOPCBrowse
    STDMETHOD(GetProperties)
    (DWORD dwItemCount, LPWSTR* pszItemIDs, BOOL bReturnPropertyValues, DWORD dwPropertyCount, DWORD* pdwPropertyIDs,
     OPCITEMPROPERTIES** ppItemProperties) override;
    STDMETHOD(Browse)
    (LPWSTR szItemID, LPWSTR* pszContinuationPoint, DWORD dwMaxElementsReturned, OPCBROWSEFILTER dwBrowseFilter,
     LPWSTR szElementNameFilter, LPWSTR szVendorFilter, BOOL bReturnAllProperties, BOOL bReturnPropertyValues,
     DWORD dwPropertyCount, DWORD* pdwPropertyIDs, BOOL* pbMoreElements, DWORD* pdwCount,
     OPCBROWSEELEMENT** ppBrowseElements) override;

    // IOPCItemProperties
    STDMETHOD(QueryAvailableProperties)
    (LPWSTR szItemID, DWORD* pdwCount, DWORD** ppPropertyIDs, LPWSTR** ppDescriptions,
     VARTYPE** ppvtDataTypes) override;
    STDMETHOD(GetItemProperties)
    (LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, VARIANT** ppvData, HRESULT** ppErrors) override;
    STDMETHOD(LookupItemIDs)
    (LPWSTR szItemID, DWORD dwCount, DWORD* pdwPropertyIDs, LPWSTR** ppszNewItemIDs, HRESULT** ppErrors) override;

    // IOPCItemIO
    STDMETHOD(Read)
    (DWORD dwCount, LPCWSTR* pszItemIDs, DWORD* pdwMaxAge, VARIANT** ppvValues, WORD** ppwQualities,
     FILETIME** ppftTimeStamps, HRESULT** ppErrors) override;
    STDMETHOD(WriteVQT)(DWORD dwCount, LPCWSTR* pszItemIDs, OPCITEMVQT* pItemVQT, HRESULT** ppErrors) override;

    // IOpcDaShutdownControl
    STDMETHOD(RequestShutdown)() override;

    // Called by the host's registry when the runtime has gone or the service stops.
    void NotifyShutdownAll();

    // For the groups.
    HRESULT CreateGroupByName(const COpcString& name, COpcComPtr<COpcDaGroup>& group);
    HRESULT RemoveGroupByName(const COpcString& name);
    HRESULT RenameGroup(const COpcString& oldName, const COpcString& newName);
    HRESULT CloneGroup(const COpcString& sourceName, const COpcString& newName, COpcComPtr<COpcDaGroup>& clone);
    void RecordUpdateTime();
    // Executes the synchronous IO of this object and its groups.
    COpcDaRequestWorker& RequestWorker() { return m_requestWorker; }
    // Where the groups' transactions run: callbacks on the pool, the write
    // step of asynchronous writes on the write thread. Whoever queues work
    // there holds a reference on this object until the work is done.
    COpcThreadPool& CallbackPool() { return m_callbackPool; }
    // Takes the transaction when it returns true.
    bool PostWrite(std::unique_ptr<COpcDaTransaction>& transaction);

    // Live server objects of the process, for tests and diagnostics.
    static size_t LiveCount();

private:
    friend HRESULT OpcCreateServerObject(const CLSID*, IUnknown**);
    COpcServerObject();
    ~COpcServerObject() override;
    HRESULT FinalConstruct();
    void FinalRelease();
    // The notice to every live server's clients; skips `except` when given.
    static void SendShutdownNotice(COpcServerObject* caller, COpcServerObject* except);
    HRESULT PropertiesOf(LPWSTR itemIdText, DWORD count, const DWORD* propertyIds, bool withValues,
                         COpcDaPropertyList& list);
    // IOPCItemIO as the request worker executes it.
    HRESULT ExecuteItemRead(DWORD count, LPCWSTR* itemIds, const DWORD* maxAges, VARIANT** values, WORD** qualities,
                            FILETIME** timeStamps, HRESULT** errors);
    HRESULT ExecuteItemWrite(DWORD count, LPCWSTR* itemIds, const OPCITEMVQT* vqts, HRESULT** errors);

    bool m_hostLocked = false;
    bool m_constructed = false;
    COpcLock m_lock;
    COpcString m_browsePosition;
    COpcMap<COpcString, COpcComPtr<COpcDaGroup>> m_groups;
    FILETIME m_startTime = {};
    FILETIME m_lastUpdateTime = {};
    DWORD m_groupCount = 0;
    DWORD m_bandWidth = 0xFFFFFFFF;
    WORD m_majorVersion = 0;
    WORD m_minorVersion = 0;
    WORD m_buildNumber = 0;
    COpcString m_vendorInfo;
    DWORD m_groupNameCounter = 0;
    COpcDaRequestWorker m_requestWorker;
    COpcThreadPool m_callbackPool;
    COpcWorkerThread m_writeThread;
};

// The build number a client sees: build and revision folded together when the
// build is small (1.0.3.7 reports 307).
WORD OpcReportedBuildNumber(WORD build, WORD revision);
