// The process-wide settings read from "OpcConfiguration.xml", and the
// recorded values of the simulation file.
#pragma once

#include "OpcContainers.h"
#include "OpcDevlaneSettings.h"
#include "OpcLock.h"
#include "OpcString.h"

#include <cstdint>

// The device-access layer reads simulationEnabled and outputLogDisable from its base.
class COpcDaSettings : public SOpcDevlaneSettings
{
public:
    static constexpr size_t MaxScanCycles = 10;

    COpcDaSettings() { Reset(); }
    ~COpcDaSettings() { FreeTable(); }
    COpcDaSettings(const COpcDaSettings&) = delete;
    COpcDaSettings& operator=(const COpcDaSettings&) = delete;

    COpcLock& Lock() { return m_lock; }

    void Reset();

    // Refuses a value already present, and any value once more than ten are held.
    bool AddScanCycle(uint32_t value);
    bool HasScanCycle(uint32_t value) const;
    size_t ScanCycleCount() const;
    uint32_t ScanCycleAt(size_t index) const;

    COpcString GetTagConfigurationFile() const;
    void SetTagConfigurationFile(const COpcString& path);

    // True when the file could be opened; fills the table and its sizes.
    bool LoadSimulationFile(const COpcString& path);
    // Empty outside the table.
    COpcString SimulationCell(uint32_t row, uint32_t column) const;
    // 0 on the first call, then one more each time, wrapping at the column count.
    uint32_t NextCsvColumn();
    // Steps the current row after a full simulation pass, back to 0 after the last.
    void AdvanceSimulationRow();

    // Read without the lock after loading; written once while loading.
    uint32_t baseTick = 0;
    uint32_t simulationInterval = 0;
    int32_t simulationUnit = 0;
    uint32_t simulationRowCount = 0;
    uint32_t simulationColumnCount = 0;
    volatile uint32_t simulationRow = 0;
    uint32_t csvColumnCursor = 0;
    bool csvCursorStarted = false;
    uint32_t cttWaitTime = 0;

private:
    void FreeTable();

    mutable COpcLock m_lock;
    COpcString m_tagConfigurationFile;
    uint32_t m_scanCycles[MaxScanCycles + 1] = {};
    size_t m_scanCycleCount = 0;
    // One array of cells per data row, all of the header's width.
    COpcArray<COpcString>* m_rows = nullptr;
    uint32_t m_rowCapacity = 0;
};
