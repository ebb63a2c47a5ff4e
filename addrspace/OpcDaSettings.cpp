#include "OpcDaSettings.h"

#include "OpcTaskMem.h"

#include <cstdio>
#include <new>

void COpcDaSettings::Reset()
{
    COpcLockGuard guard(m_lock);
    m_tagConfigurationFile = COpcString();
    baseTick = 0;
    simulationEnabled = true;
    simulationInterval = 0;
    simulationUnit = 0;
    FreeTable();
    simulationRow = 0;
    csvColumnCursor = 0;
    csvCursorStarted = false;
    cttWaitTime = 0;
    outputLogDisable = false;
    m_scanCycleCount = 0;
}

bool COpcDaSettings::AddScanCycle(uint32_t value)
{
    COpcLockGuard guard(m_lock);
    // The list may reach eleven entries so that the caller's count check,
    // not this one, reports a file with too many cycles.
    if (m_scanCycleCount > MaxScanCycles)
        return false;
    for (size_t i = 0; i < m_scanCycleCount; ++i)
    {
        if (m_scanCycles[i] == value)
            return false;
    }
    m_scanCycles[m_scanCycleCount++] = value;
    return true;
}

bool COpcDaSettings::HasScanCycle(uint32_t value) const
{
    COpcLockGuard guard(m_lock);
    for (size_t i = 0; i < m_scanCycleCount; ++i)
    {
        if (m_scanCycles[i] == value)
            return true;
    }
    return false;
}

size_t COpcDaSettings::ScanCycleCount() const
{
    COpcLockGuard guard(m_lock);
    return m_scanCycleCount;
}

uint32_t COpcDaSettings::ScanCycleAt(size_t index) const
{
    COpcLockGuard guard(m_lock);
    return index < m_scanCycleCount ? m_scanCycles[index] : 0;
}

COpcString COpcDaSettings::GetTagConfigurationFile() const
{
    COpcLockGuard guard(m_lock);
    return m_tagConfigurationFile;
}

void COpcDaSettings::SetTagConfigurationFile(const COpcString& path)
{
    COpcLockGuard guard(m_lock);
    m_tagConfigurationFile = path;
}

void COpcDaSettings::FreeTable()
{
    for (uint32_t i = 0; i < simulationRowCount; ++i)
        m_rows[i].~COpcArray<COpcString>();
    CoTaskMemFree(m_rows);
    m_rows = nullptr;
    m_rowCapacity = 0;
    simulationRowCount = 0;
    simulationColumnCount = 0;
}

namespace
{
// A growable byte line; the whole file is read byte-wise, so lines of any
// length are kept whole.
class LineBuffer
{
public:
    ~LineBuffer() { CoTaskMemFree(m_data); }
    bool Push(char c)
    {
        if (m_length + 1 >= m_capacity)
        {
            size_t capacity = m_capacity == 0 ? 65025 : m_capacity + 260;
            char* data = static_cast<char*>(CoTaskMemRealloc(m_data, capacity));
            if (data == nullptr)
                return false;
            m_data = data;
            m_capacity = capacity;
        }
        m_data[m_length++] = c;
        return true;
    }
    void Clear() { m_length = 0; }
    size_t Length() const { return m_length; }
    const char* Terminated()
    {
        if (m_data == nullptr && !Push('\0'))
            return "";
        m_data[m_length] = '\0';
        return m_data;
    }

private:
    char* m_data = nullptr;
    size_t m_length = 0;
    size_t m_capacity = 0;
};

struct FileCloser
{
    FILE* f;
    ~FileCloser()
    {
        if (f != nullptr)
            fclose(f);
    }
};

// Splits a line at ","; cells beyond `limit` are ignored and missing ones
// are left empty by the caller's array.
template <class Fn>
uint32_t SplitCells(const char* line, uint32_t limit, Fn&& take)
{
    uint32_t cells = 0;
    const char* start = line;
    for (const char* p = line;; ++p)
    {
        if (*p == ',' || *p == '\0')
        {
            if (cells < limit)
                take(cells, start, static_cast<size_t>(p - start));
            ++cells;
            if (*p == '\0')
                break;
            start = p + 1;
        }
    }
    return cells;
}

COpcString CellText(const char* start, size_t length)
{
    if (length == 0)
        return COpcString();
    int wide = MultiByteToWideChar(CP_ACP, 0, start, static_cast<int>(length), nullptr, 0);
    if (wide <= 0)
        return COpcString();
    COpcTaskMem<wchar_t> buffer;
    if (!buffer.Allocate(static_cast<size_t>(wide) + 1))
        return COpcString();
    MultiByteToWideChar(CP_ACP, 0, start, static_cast<int>(length), buffer.Get(), wide);
    return COpcString(buffer.Get(), static_cast<size_t>(wide));
}
} // namespace

bool COpcDaSettings::LoadSimulationFile(const COpcString& path)
{
    COpcLockGuard guard(m_lock);
    FreeTable();
    simulationRow = 0;
    if (path.IsEmpty())
        return false;
    FileCloser file{_wfopen(path.Text(), L"rt")};
    if (file.f == nullptr)
        return false;

    LineBuffer line;
    bool header = true;
    bool end = false;
    while (!end)
    {
        int c = fgetc(file.f);
        // A 0xFF byte ends the file as the end of file does.
        if (c == EOF || c == 0xFF)
            end = true;
        else if (c != '\n')
        {
            if (c != '\0' && !line.Push(static_cast<char>(c)))
                return true; // out of memory: keep what was read
            continue;
        }
        if (header)
        {
            // A file with nothing in it has no header and no rows.
            if (end && line.Length() == 0)
                break;
            simulationColumnCount = SplitCells(line.Terminated(), 0, [](uint32_t, const char*, size_t) {});
            header = false;
        }
        else if (line.Length() > 0)
        {
            if (simulationRowCount == m_rowCapacity)
            {
                uint32_t capacity = m_rowCapacity == 0 ? 16 : m_rowCapacity * 2;
                if (capacity < m_rowCapacity || capacity > SIZE_MAX / sizeof(COpcArray<COpcString>))
                    return true;
                auto* rows = static_cast<COpcArray<COpcString>*>(
                    CoTaskMemRealloc(m_rows, sizeof(COpcArray<COpcString>) * capacity));
                if (rows == nullptr)
                    return true;
                m_rows = rows;
                m_rowCapacity = capacity;
            }
            // The arrays hold only a pointer and a count, so moving them bytewise by the
            // reallocation above is safe.
            auto* row = new (&m_rows[simulationRowCount]) COpcArray<COpcString>();
            ++simulationRowCount;
            // A row without room for its cells stays empty; its line is dropped
            // with the others below, not carried into the next row.
            if (row->SetSize(simulationColumnCount))
                SplitCells(line.Terminated(), simulationColumnCount,
                           [row](uint32_t i, const char* start, size_t length)
                           { (*row)[i] = CellText(start, length); });
        }
        line.Clear();
    }
    return true;
}

COpcString COpcDaSettings::SimulationCell(uint32_t row, uint32_t column) const
{
    COpcLockGuard guard(m_lock);
    if (row >= simulationRowCount || column >= m_rows[row].GetSize())
        return COpcString();
    return m_rows[row][column];
}

uint32_t COpcDaSettings::NextCsvColumn()
{
    COpcLockGuard guard(m_lock);
    if (!csvCursorStarted)
    {
        csvCursorStarted = true;
        csvColumnCursor = 0;
    }
    else
    {
        ++csvColumnCursor;
        if (csvColumnCursor >= simulationColumnCount)
            csvColumnCursor = 0;
    }
    return csvColumnCursor;
}

void COpcDaSettings::AdvanceSimulationRow()
{
    uint32_t next = simulationRow + 1;
    simulationRow = next >= simulationRowCount ? 0 : next;
}
