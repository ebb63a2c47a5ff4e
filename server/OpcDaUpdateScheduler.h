// The process-wide update scheduler of the subscriptions: one thread that
// ticks once per base cycle and scans every active group it lists.
//
// Locking: the scheduler lock is held for a whole scan pass and each group's
// lock is taken inside it, so nobody may call AddGroup or RemoveGroup while
// holding a group lock.
#pragma once

#include "OpcContainers.h"
#include "OpcDaCache.h"
#include "OpcDaTransaction.h"
#include "OpcLock.h"
#include "OpcTaskMem.h"
#include "OpcWorkerThread.h"

#include <memory>

class COpcDaGroup;
class COpcDaSettings;

// The base cycle in ms: the simulation interval when simulating, else the
// base tick of the scan periods; 100 while the settings name none.
DWORD OpcDaBaseCycle(const COpcDaSettings* settings);

class COpcDaUpdateScheduler final : public IOpcDaUpdateScheduler
{
public:
    // The settings are read again at every tick.
    explicit COpcDaUpdateScheduler(COpcDaSettings& settings);
    ~COpcDaUpdateScheduler() override;
    COpcDaUpdateScheduler(const COpcDaUpdateScheduler&) = delete;
    COpcDaUpdateScheduler& operator=(const COpcDaUpdateScheduler&) = delete;

    // Starts the thread unless it runs; false when it cannot.
    bool Start() override;
    // Lets go of every group, then ends the thread and waits for it.
    void Stop() override;

    // Lists a group (with a reference of its own); one already listed is left
    // alone. False when out of memory.
    bool AddGroup(COpcDaGroup* group);
    void RemoveGroup(COpcDaGroup* group);
    // Lists the group while it is active and not removed, and only then.
    // Called after each change of that state, with no group lock held:
    // whichever of two racing changes comes last leaves the list right.
    bool Follow(COpcDaGroup* group);
    size_t GroupCount();

private:
    static void Body(void* data, bool stopping);
    void Run();
    // One scan of every listed group; groups that no longer want scanning
    // leave the list. The groups scanned stay referenced in m_pass; returns
    // their number.
    size_t ScanAll(ULONGLONG tick, DWORD base);

    COpcDaSettings& m_settings;
    COpcLock m_lock;
    COpcList<COpcComPtr<COpcDaGroup>> m_groups;
    // The groups of the pass under way (scheduler thread only).
    std::unique_ptr<COpcDaGroupHold[]> m_pass;
    size_t m_passCapacity = 0;
    COpcWorkerThread m_thread;
};
