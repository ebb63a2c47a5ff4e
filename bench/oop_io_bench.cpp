// Out-of-process cost of browsing, AddItems and synchronous cache reads, with
// the transport alone as the yardstick: the tests' own OPC server answers the
// same 1,000-item read from stored values with no logic behind it.
//
//   oop_io_bench.exe TAGFILE [SECONDS]
//
// Build it (that also builds the server, its libraries, opcproxy.dll and the
// test server into bin), make a tag file and run it under Wine, for example
//   cmake --build build --target oop_io_bench
//   tools/taggen.py --tags 100000 --out build/bin/tags100k.xml
//   scripts/wine-run.sh build/bin/oop_io_bench.exe build/bin/tags100k.xml 3
// The prefix must exist (scripts/test.sh makes it). The program registers
// opcproxy.dll and the test server, puts tagbridge.exe, Devlane.dll and
// Kelmsg.dll with a copy of the tag file, a simulation file and an
// OpcConfiguration.xml (simulation on, one pass a second) into bin\oop-bench,
// registers the server there with /regserver, and at the end removes its
// groups, lets the server end and unregisters it.
//
// Measured: activation with loading; flat browses of the whole space drained
// by 10,000 and by 1,000 names; AddItems of the first 10,000 item IDs in one
// call; then Read(OPC_DS_CACHE) of 1,000 numeric items as VT_R4 from both
// servers in alternating quarter-second turns, SECONDS per server (default 3),
// and the same for one item, whose difference is the fixed cost of a call.
// The turns spread the load of a shared machine over both servers alike;
// still run it two or three times.
#include "OpcHostIdentity.h"
#include "BenchSupport.h"
#include "testserver_protocol.h"

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{
using namespace bench_support;

const DWORD kReadCount = 1000;
const DWORD kAddCount = 10000;

// ---- files, processes, registration ------------------------------------------------

// ---- groups and reads --------------------------------------------------------------

// An active group of a server, removed again when the bench is done with it.
class Group
{
public:
    explicit Group(IOPCServer* server) : m_server(server) {}
    ~Group()
    {
        m_items.reset();
        if (m_handle != 0)
            m_server->RemoveGroup(m_handle, FALSE);
    }
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    HRESULT Add()
    {
        DWORD revised = 0;
        return m_server->AddGroup(L"bench", TRUE, 1000, 1, nullptr, nullptr, 0, &m_handle, &revised, IID_IOPCItemMgt,
                                  reinterpret_cast<IUnknown**>(m_items.put()));
    }
    IOPCItemMgt* Items() const { return m_items.get(); }

    // Every ID requested as VT_R4, client handles counting from 1.
    HRESULT AddItems(const std::vector<std::wstring>& ids, TaskArray<OPCITEMRESULT>& results,
                     TaskArray<HRESULT>& errors)
    {
        std::vector<OPCITEMDEF> definitions(ids.size());
        for (size_t i = 0; i < ids.size(); ++i)
        {
            OPCITEMDEF& d = definitions[i];
            d.szAccessPath = const_cast<LPWSTR>(L"");
            d.szItemID = const_cast<LPWSTR>(ids[i].c_str());
            d.bActive = TRUE;
            d.hClient = static_cast<OPCHANDLE>(i + 1);
            d.vtRequestedDataType = VT_R4;
        }
        results.set_count(ids.size());
        errors.set_count(ids.size());
        return m_items->AddItems(static_cast<DWORD>(ids.size()), definitions.data(), results.put(), errors.put());
    }

private:
    IOPCServer* m_server;
    OPCHANDLE m_handle = 0;
    ComPtr<IOPCItemMgt> m_items;
};

// Durations of single calls.
class Samples
{
public:
    void Add(double seconds) { m_times.push_back(seconds); }
    size_t Count() const { return m_times.size(); }
    double Total() const
    {
        double sum = 0;
        for (double t : m_times)
            sum += t;
        return sum;
    }
    double Mean() const { return m_times.empty() ? 0.0 : Total() / double(m_times.size()); }
    double Median() const
    {
        if (m_times.empty())
            return 0.0;
        std::vector<double> sorted(m_times);
        std::nth_element(sorted.begin(), sorted.begin() + sorted.size() / 2, sorted.end());
        return sorted[sorted.size() / 2];
    }
    double Best() const { return m_times.empty() ? 0.0 : *std::min_element(m_times.begin(), m_times.end()); }

private:
    std::vector<double> m_times;
};

// One server with an active group and the handles of the items to read.
struct Reader
{
    const char* name = "";
    ComPtr<IOPCServer> server;
    std::unique_ptr<Group> group; // goes before the server reference
    ComPtr<IOPCSyncIO> io;
    std::vector<OPCHANDLE> handles;
    HRESULT result = S_OK;

    HRESULT Activate(const CLSID& clsid)
    {
        const double start = Now();
        HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.put_void());
        std::printf("  activation 0x%08lx in %.3f s\n", Hex(hr), Now() - start);
        if (FAILED(hr))
            return hr;
        group.reset(new Group(server.get()));
        if (FAILED(hr = group->Add()))
            std::printf("  AddGroup failed 0x%08lx\n", Hex(hr));
        return hr;
    }

    // Reads the first count handles from the cache, call after call, for
    // about the given time (at least once).
    void Run(DWORD count, double seconds, Samples& samples)
    {
        TaskArray<OPCITEMSTATE> states(count);
        TaskArray<HRESULT> errors(count);
        const double end = Now() + seconds;
        while (SUCCEEDED(result))
        {
            const double start = Now();
            result = io->Read(OPC_DS_CACHE, count, handles.data(), states.put(), errors.put());
            const double stop = Now();
            if (SUCCEEDED(result))
                samples.Add(stop - start);
            if (stop >= end)
                break;
        }
    }

    // The first answer item by item: every value a VT_R4 with a good result.
    bool Check()
    {
        TaskArray<OPCITEMSTATE> states(kReadCount);
        TaskArray<HRESULT> errors(kReadCount);
        result = io->Read(OPC_DS_CACHE, kReadCount, handles.data(), states.put(), errors.put());
        DWORD failed = 0, other = 0;
        for (DWORD i = 0; SUCCEEDED(result) && i < kReadCount; ++i)
        {
            if (FAILED(errors[i]))
                ++failed;
            else if (V_VT(&states[i].vDataValue) != VT_R4)
                ++other;
        }
        std::printf("  %s: first Read(OPC_DS_CACHE) of %lu: 0x%08lx, %lu items failed, %lu not VT_R4\n", name,
                    static_cast<unsigned long>(kReadCount), Hex(result), static_cast<unsigned long>(failed),
                    static_cast<unsigned long>(other));
        return result == S_OK && failed == 0 && other == 0;
    }
};

// Both servers read in turns of a quarter second until each has read for the
// given time; the median call is the steadiest figure on a shared machine.
void Compare(Reader& baseline, Reader& real, DWORD count, double seconds)
{
    Samples a, b;
    for (int round = 0; round < 3; ++round)
    { // warm up
        baseline.Run(count, 0.0, a);
        real.Run(count, 0.0, b);
    }
    a = Samples();
    b = Samples();
    while ((a.Total() < seconds || b.Total() < seconds) && SUCCEEDED(baseline.result) && SUCCEEDED(real.result))
    {
        baseline.Run(count, 0.25, a);
        real.Run(count, 0.25, b);
    }
    std::printf("Read(OPC_DS_CACHE) of %lu item%s, in turns:\n", static_cast<unsigned long>(count),
                count == 1 ? "" : "s");
    for (const auto& [reader, samples] : {std::make_pair(&baseline, &a), std::make_pair(&real, &b)})
    {
        if (FAILED(reader->result))
        {
            std::printf("  %-9s read failed 0x%08lx\n", reader->name, Hex(reader->result));
            return;
        }
        std::printf("  %-9s %6zu reads: median %.3f ms, mean %.3f ms, best %.3f ms; %.0f items/s by the median\n",
                    reader->name, samples->Count(), samples->Median() * 1e3, samples->Mean() * 1e3,
                    samples->Best() * 1e3, count / samples->Median());
    }
    std::printf("  server/baseline: %.0f%% by the median, %.0f%% by the mean, %.0f%% by the best%s\n",
                100.0 * a.Median() / b.Median(), 100.0 * a.Mean() / b.Mean(), 100.0 * a.Best() / b.Best(),
                count == kReadCount ? " (goal 80%)" : "");
}

// ---- baseline: the test server -----------------------------------------------------

// Items the test server answers from what was written to them: VT_R4 values,
// good quality and a time stamp each.
bool PrepareBaseline(const std::wstring& directory, Reader& reader)
{
    reader.name = "baseline";
    std::printf("baseline: the tests' own server, %lu VT_R4 items\n", static_cast<unsigned long>(kReadCount));
    DWORD code = RunToEnd(L"\"" + directory + L"\\opcidl_testserver.exe\" /regserver", 30000);
    if (code != 0)
    {
        std::printf("  test server registration failed: %lu\n", static_cast<unsigned long>(code));
        return false;
    }
    if (FAILED(reader.Activate(CLSID_OpcIdlTestServer)))
        return false;
    std::vector<std::wstring> ids;
    for (DWORD i = 0; i < kReadCount; ++i)
        ids.push_back(L"bench.R4." + std::to_wstring(i));
    TaskArray<OPCITEMRESULT> results;
    TaskArray<HRESULT> errors;
    HRESULT hr = reader.group->AddItems(ids, results, errors);
    if (hr != S_OK)
    {
        std::printf("  AddItems 0x%08lx\n", Hex(hr));
        return false;
    }
    std::vector<VARIANT> values(kReadCount);
    for (DWORD i = 0; i < kReadCount; ++i)
    {
        reader.handles.push_back(results[i].hServer);
        V_VT(&values[i]) = VT_R4;
        V_R4(&values[i]) = 0.5f * float(i);
    }
    if (FAILED(hr = ComPtr<IOPCItemMgt>::Share(reader.group->Items()).As(IID_IOPCSyncIO, reader.io)) ||
        (hr = reader.io->Write(kReadCount, reader.handles.data(), values.data(), errors.put())) != S_OK)
    {
        std::printf("  Write 0x%08lx\n", Hex(hr));
        return false;
    }
    return reader.Check();
}

// ---- the real server ---------------------------------------------------------------

class ServerFolder
{
public:
    explicit ServerFolder(const std::wstring& directory) : m_folder(directory + L"\\oop-bench") {}
    ~ServerFolder()
    {
        if (m_registered)
            Tagbridge(L"/unregserver");
    }
    ServerFolder(const ServerFolder&) = delete;
    ServerFolder& operator=(const ServerFolder&) = delete;

    // The program and its libraries beside the tag file, a simulation file,
    // and a configuration with absolute paths (a server started by COM does
    // not run in its own directory).
    bool Prepare(const std::wstring& directory, const std::wstring& tagFile)
    {
        if (!CopyServerFiles(directory, m_folder))
            return false;
        const std::wstring tags = m_folder + L"\\Tags.xml";
        if (!CopyFileW(tagFile.c_str(), tags.c_str(), FALSE))
        {
            std::printf("cannot copy the tag file %ls: %lu\n", tagFile.c_str(), GetLastError());
            return false;
        }
        const std::wstring simulation = m_folder + L"\\Simulation.csv";
        const std::string configuration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                          "<OpcConfiguration>\n"
                                          "  <OutputLogDisable>1</OutputLogDisable>\n"
                                          "  <Simulation Enabled=\"true\" Interval=\"1000\" File=\"" +
                                          XmlText(Utf8(simulation)) +
                                          "\"/>\n"
                                          "  <TagConfiguration File=\"" +
                                          XmlText(Utf8(tags)) +
                                          "\"/>\n"
                                          "  <CTTWaitTime>0</CTTWaitTime>\n"
                                          "</OpcConfiguration>\n";
        if (!WriteTextFile(simulation, "Level,State,Text\n12.5,On,A\n13.0,Off,B\n14.25,On,C\n") ||
            !WriteTextFile(m_folder + L"\\OpcConfiguration.xml", configuration))
        {
            std::printf("cannot write the configuration: %lu\n", GetLastError());
            return false;
        }
        Tagbridge(L"/unregserver");
        DWORD code = Tagbridge(L"/regserver");
        m_registered = code == 0;
        if (!m_registered)
            std::printf("/regserver failed: %lu\n", static_cast<unsigned long>(code));
        return m_registered;
    }

private:
    DWORD Tagbridge(const wchar_t* arguments)
    {
        return RunToEnd(L"\"" + m_folder + L"\\tagbridge.exe\" " + arguments, 60000);
    }

    std::wstring m_folder;
    bool m_registered = false;
};

struct BrowseFigures
{
    HRESULT result = E_FAIL;
    double call = 0;  // BrowseOPCItemIDs alone
    double total = 0; // with draining the enumerator
    size_t names = 0;
};

// One flat browse of the whole space, drained batch by batch; keeps the names when asked.
BrowseFigures BrowseFlat(IOPCBrowseServerAddressSpace* browse, ULONG batch, std::vector<std::wstring>* names)
{
    BrowseFigures figures;
    const double start = Now();
    ComPtr<IEnumString> enumerator;
    figures.result = browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, enumerator.put());
    figures.call = Now() - start;
    if (FAILED(figures.result) || !enumerator)
        return figures;
    // The strings of one batch, freed before the next; Next fills the owners in place.
    static_assert(sizeof(TaskString) == sizeof(LPOLESTR), "an array of owners doubles as the string array");
    std::vector<TaskString> strings(batch);
    for (;;)
    {
        ULONG fetched = 0;
        HRESULT hr = enumerator->Next(batch, reinterpret_cast<LPOLESTR*>(strings.data()), &fetched);
        if (FAILED(hr))
        {
            figures.result = hr;
            break;
        }
        for (ULONG i = 0; names != nullptr && i < fetched; ++i)
            names->push_back(strings[i].get() != nullptr ? strings[i].get() : L"");
        figures.names += fetched;
        for (ULONG i = 0; i < fetched; ++i)
            strings[i].reset();
        if (hr != S_OK || fetched == 0)
            break;
    }
    enumerator.reset();
    figures.total = Now() - start;
    return figures;
}

// Activation with loading, flat browses, and AddItems of the first kAddCount
// item IDs in one call; the read set is the first kReadCount numeric items.
bool PrepareServer(Reader& reader)
{
    reader.name = "server";
    if (FAILED(reader.Activate(opc_host::kServerClsid)))
        return false;
    TaskPtr<OPCSERVERSTATUS> status;
    HRESULT hr = reader.server->GetStatus(status.put());
    if (FAILED(hr) || status.get() == nullptr)
    {
        std::printf("  GetStatus failed 0x%08lx\n", Hex(hr));
        return false;
    }
    std::printf("  state %d (1 is running)\n", static_cast<int>(status->dwServerState));

    ComPtr<IOPCBrowseServerAddressSpace> browse;
    if (FAILED(reader.server.As(IID_IOPCBrowseServerAddressSpace, browse)))
    {
        std::printf("  no IOPCBrowseServerAddressSpace\n");
        return false;
    }
    std::vector<std::wstring> names;
    for (ULONG batch : {10000u, 1000u, 10000u, 1000u})
    {
        BrowseFigures b = BrowseFlat(browse.get(), batch, names.empty() ? &names : nullptr);
        std::printf("  flat browse, Next by %5lu: 0x%08lx, %zu names in %.3f s (BrowseOPCItemIDs %.3f s, "
                    "draining %.3f s)%s\n",
                    batch, Hex(b.result), b.names, b.total, b.call, b.total - b.call,
                    b.total <= 1.0 ? "" : "  [goal: 1 s]");
    }
    if (names.size() < kAddCount)
    {
        std::printf("  the space has %zu items, %lu needed\n", names.size(), static_cast<unsigned long>(kAddCount));
        return false;
    }

    names.resize(kAddCount);
    TaskArray<OPCITEMRESULT> results;
    TaskArray<HRESULT> errors;
    const double start = Now();
    hr = reader.group->AddItems(names, results, errors);
    const double added = Now() - start;
    DWORD failed = 0;
    for (DWORD i = 0; SUCCEEDED(hr) && i < kAddCount; ++i)
    {
        if (FAILED(errors[i]))
        {
            ++failed;
            continue;
        }
        // Strings do not convert to VT_R4; the read set is the numeric items.
        VARTYPE canonical = results[i].vtCanonicalDataType;
        if (reader.handles.size() < kReadCount && canonical != VT_BSTR && (canonical & VT_ARRAY) == 0)
            reader.handles.push_back(results[i].hServer);
    }
    std::printf("  AddItems of %lu in one call: 0x%08lx in %.3f s (%.1f us per item), %lu failed\n",
                static_cast<unsigned long>(kAddCount), Hex(hr), added, added * 1e6 / kAddCount,
                static_cast<unsigned long>(failed));
    if (FAILED(hr) || reader.handles.size() < kReadCount)
        return false;
    if (FAILED(hr = ComPtr<IOPCItemMgt>::Share(reader.group->Items()).As(IID_IOPCSyncIO, reader.io)))
    {
        std::printf("  no IOPCSyncIO: 0x%08lx\n", Hex(hr));
        return false;
    }
    return reader.Check();
}
} // namespace

int main(int argc, char** argv)
{
    if (argc < 2)
    {
        std::printf("usage: %s TAGFILE [SECONDS]\n", argv[0]);
        return 2;
    }
    const double seconds = argc >= 3 ? std::atof(argv[2]) : 3.0;
    wchar_t given[MAX_PATH] = {};
    wchar_t tagFile[MAX_PATH] = {};
    if (seconds <= 0 || MultiByteToWideChar(CP_ACP, 0, argv[1], -1, given, MAX_PATH) == 0 ||
        GetFullPathNameW(given, MAX_PATH, tagFile, nullptr) == 0)
    {
        std::printf("usage: %s TAGFILE [SECONDS]\n", argv[0]);
        return 2;
    }
    COpcApartment apartment;
    if (FAILED(apartment.Result()))
        return 1;
    const std::wstring directory = ProgramDirectory();
    HRESULT hr = RegisterProxy(directory);
    if (FAILED(hr))
    {
        std::printf("opcproxy.dll registration failed 0x%08lx\n", Hex(hr));
        return 1;
    }
    int code = 1;
    Reader baseline;
    ServerFolder folder(directory);
    if (PrepareBaseline(directory, baseline))
    {
        std::printf("the server: tagbridge.exe with simulation, tag file %ls\n", tagFile);
        Reader server;
        if (folder.Prepare(directory, tagFile) && PrepareServer(server))
        {
            Compare(baseline, server, kReadCount, seconds);
            Compare(baseline, server, 1, seconds / 3);
            code = 0;
        }
    }
    // The server's group and reference went with its reader above; the
    // process then ends by itself, and the folder unregisters it.
    if (ProcessRuns(L"tagbridge.exe") && !WaitForProcessEnd(L"tagbridge.exe", 15000))
        std::printf("the server did not end within 15 s of the last release\n");
    return code;
}
