// Subscription delivery of the real server on live data, with the transport
// alone as the yardstick: the tests' own OPC server pushes OnDataChange
// reports of the same size and value types from stored values.
//
//   subscription_bench.exe SECONDS TAGFILE INIFILE RATE [TAGFILE INIFILE RATE]...
//
// Each triple is one scenario: a tag file and its runtime description as
// tools/taggen.py writes them, and the update rate of the one active group
// that holds every item of the file. The usual two (each command on one line):
//   cmake --build build --target subscription_bench
//   tools/taggen.py --tags 10000 --nodes 2 --devices 5 --no-simulation
//       --scan-cycles 1,10,10,10,10,10,10,10,10,10 --ini build/bin/sub10k.ini --out build/bin/sub10k.xml
//   tools/taggen.py --tags 100000 --nodes 2 --devices 5 --no-simulation
//       --scan-cycles 1,10,10,10,10,10,10,10,10,10 --ini build/bin/sub100k.ini --out build/bin/sub100k.xml
//   scripts/wine-run.sh build/bin/subscription_bench.exe 10
//       build/bin/sub10k.xml build/bin/sub10k.ini 100 build/bin/sub100k.xml build/bin/sub100k.ini 1000
// The prefix must exist (scripts/test.sh makes it).
//
// Every tag of the fastest scan cycle with a plain numeric type gets a ramp
// that steps every 100 ms in the description copied beside the library, so
// with the scan cycles above a tenth of the values change every base cycle;
// the first such tag is left alone as the probe. The program registers
// opcproxy.dll and the test server, puts tagbridge.exe, Devlane.dll and
// Kelmsg.dll with the tag file, the description and an OpcConfiguration.xml
// (simulation off) into bin\sub-bench, registers the server there with
// /regserver, and at the end removes its group, lets the server end and
// unregisters it.
//
// Measured per scenario, for SECONDS each:
//  - the server's CPU time with the group added but inactive (the pollers
//    alone) and with it active; the difference is what the subscriptions cost;
//  - the changes delivered per second against the changes the runtime makes
//    and against those one report per update period can carry;
//  - the latency from setting the probe through the runtime's control pipe to
//    its OnDataChange, probe after probe;
//  - the yardstick: Refresh2 on a test-server group of as many items as
//    change per period, two requests in flight, each answered by one
//    OnDataChange with every item; its reports per second and its CPU time.
// The machine's other load shows in every figure; run it two or three times.
#include "DevlaneControlClient.h"
#include "OpcHostIdentity.h"
#include "BenchSupport.h"
#include "testserver_protocol.h"

#include <windows.h>
#include <objbase.h>
#include <tlhelp32.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <cwctype>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace
{
using namespace bench_support;

const DWORD kRampEveryMs = 100;
const DWORD kBaseCycleMs = 100;
const DWORD kAddChunk = 10000;
const wchar_t kServerImage[] = L"tagbridge.exe";
const wchar_t kTestServerImage[] = L"opcidl_testserver.exe";

// The tag file with every DeadBand attribute set to 0.
std::string WithoutDeadbands(const std::string& text)
{
    const std::string key = "DeadBand=\"";
    std::string out;
    out.reserve(text.size());
    size_t at = 0;
    for (size_t found; (found = text.find(key, at)) != std::string::npos;)
    {
        const size_t end = text.find('"', found + key.size());
        if (end == std::string::npos)
            break;
        out.append(text, at, found - at).append(key).append("0");
        at = end;
    }
    return out.append(text, at, std::string::npos);
}

// ---- files, processes, registration ------------------------------------------------

bool ReadTextFile(const std::wstring& path, std::string& text)
{
    Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.get(), &size) || size.QuadPart > 512LL * 1024 * 1024)
        return false;
    text.assign(static_cast<size_t>(size.QuadPart), '\0');
    DWORD read = 0;
    return text.empty() ||
           (ReadFile(file.get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) && read == text.size());
}

std::wstring FullPath(const char* given)
{
    wchar_t wide[MAX_PATH] = {};
    wchar_t full[MAX_PATH] = {};
    if (MultiByteToWideChar(CP_ACP, 0, given, -1, wide, MAX_PATH) == 0 ||
        GetFullPathNameW(wide, MAX_PATH, full, nullptr) == 0)
        return std::wstring();
    return full;
}

// CPU time (user and kernel) of another process, in seconds; negative when
// it cannot be read.
class ProcessClock
{
public:
    explicit ProcessClock(DWORD processId)
        : m_process(processId != 0 ? OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId) : nullptr)
    {
    }
    double Seconds() const
    {
        FILETIME created, exited, kernel, user;
        if (!m_process || !GetProcessTimes(m_process.get(), &created, &exited, &kernel, &user))
            return -1.0;
        auto ticks = [](const FILETIME& t) { return (ULONGLONG(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
        return double(ticks(kernel) + ticks(user)) / 1e7;
    }

private:
    Handle m_process;
};

// The same from the host's view when the programs run under Wine, whose
// figures for another process can lag: the Linux process whose command line
// names the image, read through the Z: drive; negative when there is none.
class HostClock
{
public:
    explicit HostClock(const std::wstring& image)
    {
        WIN32_FIND_DATAW entry;
        HANDLE find = FindFirstFileW(L"Z:\\proc\\*", &entry);
        if (find == INVALID_HANDLE_VALUE)
            return;
        const std::string wanted = Lower(Utf8(image));
        do
        {
            if (!std::iswdigit(entry.cFileName[0]))
                continue;
            const std::wstring dir = std::wstring(L"Z:\\proc\\") + entry.cFileName;
            std::string line;
            if (ReadAll(dir + L"\\cmdline", line) && Lower(line).find(wanted) != std::string::npos)
            {
                m_stat = dir + L"\\stat";
                break;
            }
        } while (FindNextFileW(find, &entry));
        FindClose(find);
    }
    double Seconds() const
    {
        std::string text;
        if (m_stat.empty() || !ReadAll(m_stat, text))
            return -1.0;
        // utime and stime are the 12th and 13th fields after the command name, in 1/100 s.
        size_t at = text.rfind(')');
        if (at == std::string::npos)
            return -1.0;
        const char* p = text.c_str() + at + 1;
        double ticks = 0;
        for (int field = 1; field <= 13 && *p != '\0'; ++field)
        {
            char* end = nullptr;
            while (*p == ' ')
                ++p;
            if (field >= 12)
                ticks += std::strtod(p, &end);
            while (*p != ' ' && *p != '\0')
                ++p;
        }
        return ticks / 100.0;
    }

private:
    static std::string Lower(std::string text)
    {
        for (char& c : text)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        return text;
    }
    // Files of /proc have no size; read to the end.
    static bool ReadAll(const std::wstring& path, std::string& text)
    {
        Handle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                0, nullptr));
        if (!file)
            return false;
        char buffer[4096];
        DWORD read = 0;
        text.clear();
        for (int guard = 0; guard < 64 && ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr) && read > 0;
             ++guard)
            text.append(buffer, read);
        return !text.empty();
    }

    std::wstring m_stat;
};

// Both views of one process's CPU time, sampled together.
struct CpuSample
{
    double wine = -1;
    double host = -1;
};

class CpuClocks
{
public:
    CpuClocks(DWORD processId, const std::wstring& image) : m_wine(processId), m_host(image) {}
    CpuSample Sample() const { return CpuSample{m_wine.Seconds(), m_host.Seconds()}; }

private:
    ProcessClock m_wine;
    HostClock m_host;
};

// CPU seconds per second between two samples, each view on its own.
CpuSample CpuRate(const CpuSample& a, const CpuSample& b, double seconds)
{
    CpuSample rate;
    if (a.wine >= 0 && b.wine >= 0)
        rate.wine = (b.wine - a.wine) / seconds;
    if (a.host >= 0 && b.host >= 0)
        rate.host = (b.host - a.host) / seconds;
    return rate;
}

// ---- the tag file and the runtime description -------------------------------------

struct Tag
{
    std::string name;
    std::string device; // node "." device, the runtime's connection text
    std::string address;
    std::string dataType;
    std::string condition;
    unsigned scanCycle = 0;
    const char* rampType = nullptr; // the runtime's type when it can carry a ramp
};

std::string Attribute(const std::string& element, const char* name)
{
    const std::string key = std::string(" ") + name + "=\"";
    size_t at = element.find(key);
    if (at == std::string::npos)
        return std::string();
    at += key.size();
    size_t end = element.find('"', at);
    return end == std::string::npos ? std::string() : element.substr(at, end - at);
}

// The runtime types of plain numeric tags, whose ramps come through unchanged
// or merely scaled.
const char* RampType(const std::string& dataType)
{
    static const std::pair<const char*, const char*> kTypes[] = {
        {"16Bit(Signed)", "int16"}, {"16Bit(UnSigned)", "uint16"},
        {"32Bit(Signed)", "int32"}, {"32Bit(UnSigned)", "uint32"},
        {"Float", "float"},         {"Double", "double"}};
    for (const auto& [configured, runtime] : kTypes)
        if (dataType == configured)
            return runtime;
    return nullptr;
}

// The tags in file order, from the elements' attributes; nodes and devices
// by their opening elements.
bool ReadTags(const std::string& text, std::vector<Tag>& tags)
{
    std::string node, device;
    for (size_t at = text.find('<'); at != std::string::npos; at = text.find('<', at + 1))
    {
        size_t end = text.find('>', at);
        if (end == std::string::npos)
            return false;
        const std::string element = text.substr(at, end - at);
        size_t nameEnd = element.find_first_of(" \t\r\n/", 1);
        const std::string kind = element.substr(1, nameEnd == std::string::npos ? std::string::npos : nameEnd - 1);
        if (kind == "Lintor")
            node = Attribute(element, "Name");
        else if (kind == "Device")
            device = Attribute(element, "Name");
        else if (kind == "AnalogTag" || kind == "DigitalTag" || kind == "StringTag")
        {
            Tag tag;
            tag.name = Attribute(element, "Name");
            tag.device = node + "." + device;
            tag.address = Attribute(element, "DeviceAddress");
            tag.dataType = Attribute(element, "DataType");
            tag.condition = Attribute(element, "SignalCondition");
            tag.scanCycle = static_cast<unsigned>(std::strtoul(Attribute(element, "ScanCycle").c_str(), nullptr, 10));
            if (kind == "AnalogTag")
                tag.rampType = RampType(tag.dataType);
            tags.push_back(std::move(tag));
        }
        at = end;
    }
    return !tags.empty();
}

// The canonical type the server gives a plain numeric tag; the yardstick's
// items take these when the server has not told them.
VARTYPE ExpectedType(const Tag& tag)
{
    if (tag.condition != "None")
        return VT_R8;
    static const std::pair<const char*, VARTYPE> kTypes[] = {{"16Bit(Signed)", VT_I2}, {"16Bit(UnSigned)", VT_UI2},
                                                             {"32Bit(Signed)", VT_I4}, {"32Bit(UnSigned)", VT_UI4},
                                                             {"Float", VT_R4},         {"Double", VT_R8}};
    for (const auto& [configured, type] : kTypes)
        if (tag.dataType == configured)
            return type;
    return VT_R8;
}

struct Scenario
{
    std::wstring tagFile;
    std::wstring iniFile;
    DWORD rate = 0;

    std::vector<Tag> tags;
    size_t probe = SIZE_MAX;      // index of the probe tag
    std::vector<size_t> changing; // indices of the ramped tags
    std::vector<VARTYPE> changingTypes;

    // Picks the probe and the ramped tags among those of the fastest scan cycle.
    bool Choose()
    {
        unsigned fastest = ~0u;
        for (const Tag& t : tags)
            if (t.scanCycle != 0)
                fastest = std::min(fastest, t.scanCycle);
        for (size_t i = 0; i < tags.size(); ++i)
        {
            const Tag& t = tags[i];
            if (t.scanCycle != fastest || t.rampType == nullptr)
                continue;
            if (probe == SIZE_MAX && t.dataType == "16Bit(Signed)" && t.condition == "None")
                probe = i;
            else
            {
                changing.push_back(i);
                changingTypes.push_back(ExpectedType(t));
            }
        }
        if (fastest * 100 != kBaseCycleMs)
            std::printf("  note: the fastest scan cycle is %u00 ms, not the base cycle of %lu ms\n", fastest,
                        static_cast<unsigned long>(kBaseCycleMs));
        return probe != SIZE_MAX && !changing.empty();
    }

    // The description with a ramp on every changing tag; a device section may
    // come again and adds to the first.
    std::string Description(const std::string& original) const
    {
        std::map<std::string, std::string> lines;
        for (size_t i : changing)
        {
            const Tag& t = tags[i];
            lines[t.device] += t.address + " = " + t.rampType +
                               " ramp from=0 to=100 step=1 every=" + std::to_string(kRampEveryMs) + "\n";
        }
        std::string text = original;
        text += "\n# Ramps of the subscription benchmark.\n";
        for (const auto& [device, ramps] : lines)
            text += "\n[device " + device + "]\n" + ramps;
        return text;
    }

    // The distinct scan cycles of the file filled up to the ten the
    // configuration must name.
    std::string ScanCycles() const
    {
        std::vector<unsigned> cycles;
        for (const Tag& t : tags)
            if (std::find(cycles.begin(), cycles.end(), t.scanCycle) == cycles.end())
                cycles.push_back(t.scanCycle);
        for (unsigned c : {1u, 2u, 5u, 10u, 20u, 50u, 100u, 300u, 600u, 0u, 1200u, 3000u, 6000u})
            if (std::find(cycles.begin(), cycles.end(), c) == cycles.end())
                cycles.push_back(c);
        if (cycles.size() > 10)
            cycles.resize(10);
        std::string text;
        for (unsigned c : cycles)
            text += "    <ScanCycle>" + std::to_string(c) + "</ScanCycle>\n";
        return text;
    }
};

// Durations, for medians and the like.
class Samples
{
public:
    void Add(double seconds) { m_times.push_back(seconds); }
    size_t Count() const { return m_times.size(); }
    double Mean() const
    {
        double sum = 0;
        for (double t : m_times)
            sum += t;
        return m_times.empty() ? 0.0 : sum / double(m_times.size());
    }
    double Quantile(double q) const
    {
        if (m_times.empty())
            return 0.0;
        std::vector<double> sorted(m_times);
        std::sort(sorted.begin(), sorted.end());
        return sorted[std::min(sorted.size() - 1, static_cast<size_t>(q * double(sorted.size())))];
    }
    double Max() const { return m_times.empty() ? 0.0 : *std::max_element(m_times.begin(), m_times.end()); }
    size_t Over(double limit) const
    {
        return static_cast<size_t>(std::count_if(m_times.begin(), m_times.end(), [&](double t) { return t > limit; }));
    }

private:
    std::vector<double> m_times;
};

// ---- the client's data callback ------------------------------------------------------

// Counts what arrives; remembers when the probe showed the value it waits for.
class DataSink final : public IOPCDataCallback
{
public:
    // Client handles are 1 to itemCount; the changing ones are flagged.
    DataSink(size_t itemCount, const std::vector<size_t>& changing, OPCHANDLE probe)
        : m_changing(itemCount + 1, false), m_seen(itemCount + 1, false), m_probe(probe),
          m_event(CreateEventW(nullptr, FALSE, FALSE, nullptr)), m_slots(CreateSemaphoreW(nullptr, 0, 16, nullptr))
    {
        for (size_t i : changing)
            m_changing[i + 1] = true;
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (!InlineIsEqualGUID(riid, IID_IUnknown) && !InlineIsEqualGUID(riid, IID_IOPCDataCallback))
            return E_NOINTERFACE;
        *ppv = static_cast<IOPCDataCallback*>(this);
        AddRef();
        return S_OK;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override
    {
        ULONG left = --m_refs;
        if (left == 0)
            delete this;
        return left;
    }

    HRESULT STDMETHODCALLTYPE OnDataChange(DWORD transaction, OPCHANDLE, HRESULT, HRESULT, DWORD count,
                                           OPCHANDLE* clients, VARIANT* values, WORD*, FILETIME*, HRESULT*) override
    {
        const double now = Now();
        if (count == 0 || clients == nullptr || values == nullptr)
            return S_OK; // a keep-alive
        bool probeSeen = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            if (transaction == 0 && m_arrivals.size() < 1000000)
            {
                m_arrivals.push_back(now);
                m_sizes.push_back(count);
            }
            ++m_counts.reports;
            m_counts.entries += count;
            for (DWORD i = 0; i < count; ++i)
            {
                const OPCHANDLE h = clients[i];
                if (h >= m_changing.size())
                    continue;
                if (!m_seen[h])
                {
                    m_seen[h] = true;
                    ++m_counts.distinct;
                }
                if (m_changing[h])
                    ++m_counts.changing;
                else if (h == m_probe)
                {
                    VARIANT v;
                    VariantInit(&v);
                    if (SUCCEEDED(VariantChangeType(&v, &values[i], 0, VT_I4)) && V_I4(&v) == m_expected)
                    {
                        m_probeAt = now;
                        probeSeen = true;
                    }
                }
            }
        }
        if (probeSeen)
            SetEvent(m_event.get());
        // The yardstick's requests carry a transaction ID; each answer frees a slot.
        if (transaction != 0)
            ReleaseSemaphore(m_slots.get(), 1, nullptr);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnReadComplete(DWORD, OPCHANDLE, HRESULT, HRESULT, DWORD, OPCHANDLE*, VARIANT*, WORD*,
                                             FILETIME*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnWriteComplete(DWORD, OPCHANDLE, HRESULT, DWORD, OPCHANDLE*, HRESULT*) override
    {
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE OnCancelComplete(DWORD, OPCHANDLE) override { return S_OK; }

    struct Counts
    {
        ULONGLONG reports = 0;
        ULONGLONG entries = 0;
        ULONGLONG changing = 0; // entries of the ramped items
        ULONGLONG distinct = 0; // items reported at least once
    };
    Counts Snapshot()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_counts;
    }

    // Waits until the probe shows the value; the time it arrived, or a negative number.
    void Expect(LONG value)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_expected = value;
        m_probeAt = -1.0;
        ResetEvent(m_event.get());
    }
    double WaitProbe(DWORD timeoutMs)
    {
        if (WaitForSingleObject(m_event.get(), timeoutMs) != WAIT_OBJECT_0)
            return -1.0;
        std::lock_guard<std::mutex> guard(m_lock);
        return m_probeAt;
    }

    HANDLE Slots() const { return m_slots.get(); }

    // Times between the data-change reports that arrived after the given
    // time, and the reports' entries.
    void Gaps(double from, Samples& gaps, Samples& sizes)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (size_t i = 1; i < m_arrivals.size(); ++i)
        {
            if (m_arrivals[i - 1] >= from)
            {
                gaps.Add(m_arrivals[i] - m_arrivals[i - 1]);
                sizes.Add(double(m_sizes[i]));
            }
        }
    }

private:
    ~DataSink() = default;

    std::atomic<ULONG> m_refs{1};
    std::mutex m_lock;
    std::vector<bool> m_changing;
    std::vector<bool> m_seen;
    const OPCHANDLE m_probe;
    LONG m_expected = -1;
    double m_probeAt = -1.0;
    Counts m_counts;
    std::vector<double> m_arrivals;
    std::vector<DWORD> m_sizes;
    Handle m_event;
    Handle m_slots;
};

// A sink advised on a group for as long as this lives.
class Advice
{
public:
    Advice() = default;
    ~Advice()
    {
        if (m_point)
            m_point->Unadvise(m_cookie);
    }
    Advice(const Advice&) = delete;
    Advice& operator=(const Advice&) = delete;

    HRESULT Advise(IUnknown* group, IUnknown* sink)
    {
        ComPtr<IConnectionPointContainer> container;
        HRESULT hr = group->QueryInterface(IID_IConnectionPointContainer, container.put_void());
        if (SUCCEEDED(hr))
            hr = container->FindConnectionPoint(IID_IOPCDataCallback, m_point.put());
        if (SUCCEEDED(hr))
            hr = m_point->Advise(sink, &m_cookie);
        if (FAILED(hr))
            m_point.reset();
        return hr;
    }

private:
    ComPtr<IConnectionPoint> m_point;
    DWORD m_cookie = 0;
};

// ---- groups ----------------------------------------------------------------------------

// A group of a server, removed again when the bench is done with it.
class Group
{
public:
    explicit Group(IOPCServer* server) : m_server(server) {}
    ~Group()
    {
        m_advice.reset();
        m_state.reset();
        m_items.reset();
        if (m_handle != 0)
            m_server->RemoveGroup(m_handle, FALSE);
    }
    Group(const Group&) = delete;
    Group& operator=(const Group&) = delete;

    HRESULT Add(BOOL active, DWORD rate)
    {
        DWORD revised = 0;
        FLOAT deadband = 0.0f;
        HRESULT hr = m_server->AddGroup(L"subscription-bench", active, rate, 1, nullptr, &deadband, 0, &m_handle,
                                        &revised, IID_IOPCItemMgt, reinterpret_cast<IUnknown**>(m_items.put()));
        if (SUCCEEDED(hr))
            hr = m_items.As(IID_IOPCGroupStateMgt, m_state);
        if (SUCCEEDED(hr) && revised != rate)
            std::printf("  the update rate was revised to %lu ms\n", static_cast<unsigned long>(revised));
        return hr;
    }
    IOPCItemMgt* Items() const { return m_items.get(); }

    // The item IDs with the given requested types (VT_EMPTY for the
    // canonical one); client handles are the first handle onwards. The
    // canonical types come back in types, the server handles in handles.
    HRESULT AddItems(const std::vector<std::wstring>& ids, const std::vector<VARTYPE>& requested, OPCHANDLE firstClient,
                     std::vector<OPCHANDLE>& handles, std::vector<VARTYPE>& types, DWORD& failed)
    {
        handles.assign(ids.size(), 0);
        types.assign(ids.size(), VT_EMPTY);
        failed = 0;
        for (size_t start = 0; start < ids.size(); start += kAddChunk)
        {
            const size_t n = std::min<size_t>(kAddChunk, ids.size() - start);
            std::vector<OPCITEMDEF> definitions(n);
            for (size_t i = 0; i < n; ++i)
            {
                OPCITEMDEF& d = definitions[i];
                d.szAccessPath = const_cast<LPWSTR>(L"");
                d.szItemID = const_cast<LPWSTR>(ids[start + i].c_str());
                d.bActive = TRUE;
                d.hClient = static_cast<OPCHANDLE>(firstClient + start + i);
                d.vtRequestedDataType = requested.empty() ? VARTYPE{VT_EMPTY} : requested[start + i];
            }
            TaskArray<OPCITEMRESULT> results(n);
            TaskArray<HRESULT> errors(n);
            HRESULT hr = m_items->AddItems(static_cast<DWORD>(n), definitions.data(), results.put(), errors.put());
            if (FAILED(hr))
                return hr;
            for (size_t i = 0; i < n; ++i)
            {
                if (FAILED(errors[i]))
                {
                    ++failed;
                    continue;
                }
                handles[start + i] = results[i].hServer;
                types[start + i] = results[i].vtCanonicalDataType;
            }
        }
        return failed != 0 ? S_FALSE : S_OK;
    }

    HRESULT SetActive(BOOL active)
    {
        DWORD revised = 0;
        return m_state->SetState(nullptr, &revised, &active, nullptr, nullptr, nullptr, nullptr);
    }

    HRESULT Advise(IUnknown* sink)
    {
        m_advice.reset(new Advice);
        return m_advice->Advise(m_items.get(), sink);
    }

private:
    IOPCServer* m_server;
    OPCHANDLE m_handle = 0;
    ComPtr<IOPCItemMgt> m_items;
    ComPtr<IOPCGroupStateMgt> m_state;
    std::unique_ptr<Advice> m_advice; // goes before the group
};

// ---- the real server -------------------------------------------------------------------

class ServerFolder
{
public:
    explicit ServerFolder(const std::wstring& directory) : m_directory(directory), m_folder(directory + L"\\sub-bench")
    {
    }
    ~ServerFolder() { Unregister(); }
    ServerFolder(const ServerFolder&) = delete;
    ServerFolder& operator=(const ServerFolder&) = delete;

    // The program and its libraries with the tag file, the description with
    // its ramps and a configuration with absolute paths (a server started by
    // COM does not run in its own directory).
    bool Prepare(const Scenario& s)
    {
        if (!CopyServerFiles(m_directory, m_folder))
            return false;
        // The tags' own deadbands would hold back ramp steps smaller than them
        // in the address space, so every step counts only without them.
        const std::wstring tags = m_folder + L"\\Tags.xml";
        std::string tagText;
        if (!ReadTextFile(s.tagFile, tagText) || !WriteTextFile(tags, WithoutDeadbands(tagText)))
        {
            std::printf("  cannot copy the tag file %ls: %lu\n", s.tagFile.c_str(), GetLastError());
            return false;
        }
        std::string original;
        if (!ReadTextFile(s.iniFile, original))
        {
            std::printf("  cannot read the description %ls\n", s.iniFile.c_str());
            return false;
        }
        const std::string configuration = "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
                                          "<OpcConfiguration>\n"
                                          "  <OutputLogDisable>1</OutputLogDisable>\n"
                                          "  <Simulation Enabled=\"false\" Interval=\"1000\" File=\"" +
                                          XmlText(Utf8(m_folder + L"\\Simulation.csv")) +
                                          "\"/>\n"
                                          "  <TagConfiguration File=\"" +
                                          XmlText(Utf8(tags)) +
                                          "\"/>\n"
                                          "  <CTTWaitTime>0</CTTWaitTime>\n"
                                          "  <ScanCycles>\n" +
                                          s.ScanCycles() +
                                          "  </ScanCycles>\n"
                                          "</OpcConfiguration>\n";
        if (!WriteTextFile(m_folder + L"\\Devlane.ini", s.Description(original)) ||
            !WriteTextFile(m_folder + L"\\OpcConfiguration.xml", configuration))
        {
            std::printf("  cannot write the configuration: %lu\n", GetLastError());
            return false;
        }
        Tagbridge(L"/unregserver");
        DWORD code = Tagbridge(L"/regserver");
        m_registered = code == 0;
        if (!m_registered)
            std::printf("  /regserver failed: %lu\n", static_cast<unsigned long>(code));
        return m_registered;
    }

    void Unregister()
    {
        if (m_registered)
            Tagbridge(L"/unregserver");
        m_registered = false;
    }

private:
    DWORD Tagbridge(const wchar_t* arguments)
    {
        return RunToEnd(L"\"" + m_folder + L"\\tagbridge.exe\" " + arguments, 60000);
    }

    std::wstring m_directory;
    std::wstring m_folder;
    bool m_registered = false;
};

// The whole space, flat.
HRESULT BrowseAll(IOPCServer* server, std::vector<std::wstring>& names)
{
    ComPtr<IOPCBrowseServerAddressSpace> browse;
    HRESULT hr = server->QueryInterface(IID_IOPCBrowseServerAddressSpace, browse.put_void());
    ComPtr<IEnumString> enumerator;
    if (SUCCEEDED(hr))
        hr = browse->BrowseOPCItemIDs(OPC_FLAT, L"", VT_EMPTY, 0, enumerator.put());
    if (FAILED(hr) || !enumerator)
        return FAILED(hr) ? hr : E_FAIL;
    const ULONG batch = 10000;
    static_assert(sizeof(TaskString) == sizeof(LPOLESTR), "an array of owners doubles as the string array");
    std::vector<TaskString> strings(batch);
    for (int guard = 0; guard < 100000; ++guard)
    {
        ULONG fetched = 0;
        hr = enumerator->Next(batch, reinterpret_cast<LPOLESTR*>(strings.data()), &fetched);
        if (FAILED(hr))
            return hr;
        for (ULONG i = 0; i < fetched; ++i)
        {
            names.push_back(strings[i].get() != nullptr ? strings[i].get() : L"");
            strings[i].reset();
        }
        if (hr != S_OK || fetched == 0)
            break;
    }
    return S_OK;
}

// Reads of device values the library has served so far (the pollers' reads),
// negative when the count cannot be had.
double DeviceReads(const devlane_control::Client& control)
{
    std::string reply;
    if (!control.Command("count", &reply))
        return -1.0;
    double sum = 0;
    for (size_t at = reply.find('\n'); at != std::string::npos; at = reply.find('\n', at + 1))
    {
        if (reply.compare(at + 1, 10, "ReadDevice") != 0)
            continue;
        const size_t space = reply.find(' ', at + 1);
        if (space != std::string::npos)
            sum += std::strtod(reply.c_str() + space + 1, nullptr);
    }
    return sum;
}

// The reads the pollers should make per second: every tag once per scan cycle.
double NominalReads(const std::vector<Tag>& tags)
{
    double sum = 0;
    for (const Tag& t : tags)
        if (t.scanCycle != 0)
            sum += 10.0 / t.scanCycle;
    return sum;
}

struct ServerFigures
{
    bool measured = false;
    double seconds = 0;
    CpuSample cpuIdle;       // CPU seconds per second, group inactive
    CpuSample cpuActive;     // group active
    double deviceReads = -1; // library reads per second, group active
    DataSink::Counts counts;
    Samples latency;
    size_t probesLost = 0;
    Samples gaps;  // between data-change reports
    Samples sizes; // their entries
};

// Lets the group's first report (every item) arrive; false when it does not within the time.
bool WaitFirstReport(DataSink& sink, size_t items, DWORD timeoutMs)
{
    const ULONGLONG end = GetTickCount64() + timeoutMs;
    while (sink.Snapshot().distinct < items)
    {
        if (GetTickCount64() >= end)
            return false;
        Sleep(50);
    }
    return true;
}

bool RunServer(Scenario& s, double seconds, ServerFigures& figures)
{
    ComPtr<IOPCServer> server;
    double start = Now();
    HRESULT hr =
        CoCreateInstance(opc_host::kServerClsid, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.put_void());
    std::printf("  activation 0x%08lx in %.1f s\n", Hex(hr), Now() - start);
    if (FAILED(hr))
        return false;
    std::vector<std::wstring> names;
    if (FAILED(hr = BrowseAll(server.get(), names)))
    {
        std::printf("  flat browse failed 0x%08lx\n", Hex(hr));
        return false;
    }
    // Item IDs end in the tag's name; the client handle is the tag's index + 1.
    std::map<std::string, size_t> byName;
    for (size_t i = 0; i < s.tags.size(); ++i)
        byName.emplace(s.tags[i].name, i);
    std::vector<std::wstring> ids(s.tags.size());
    size_t found = 0;
    for (const std::wstring& name : names)
    {
        const size_t dot = name.rfind(L'.');
        auto it = byName.find(Utf8(dot == std::wstring::npos ? name : name.substr(dot + 1)));
        if (it != byName.end() && ids[it->second].empty())
        {
            ids[it->second] = name;
            ++found;
        }
    }
    if (found != s.tags.size())
    {
        std::printf("  the server lists %zu of the file's %zu tags\n", found, s.tags.size());
        return false;
    }

    DataSink* sinkObject = new DataSink(s.tags.size(), s.changing, static_cast<OPCHANDLE>(s.probe + 1));
    ComPtr<IOPCDataCallback> sink = ComPtr<IOPCDataCallback>::Adopt(sinkObject);
    Group group(server.get());
    if (FAILED(hr = group.Add(FALSE, s.rate)))
    {
        std::printf("  AddGroup failed 0x%08lx\n", Hex(hr));
        return false;
    }
    std::vector<OPCHANDLE> handles;
    std::vector<VARTYPE> types;
    DWORD failed = 0;
    start = Now();
    hr = group.AddItems(ids, {}, 1, handles, types, failed);
    std::printf("  AddItems of %zu: 0x%08lx in %.1f s, %lu failed\n", ids.size(), Hex(hr), Now() - start,
                static_cast<unsigned long>(failed));
    if (hr != S_OK)
        return false;
    for (size_t k = 0; k < s.changing.size(); ++k)
        s.changingTypes[k] = types[s.changing[k]];
    if (FAILED(hr = group.Advise(sink.get())))
    {
        std::printf("  Advise failed 0x%08lx\n", Hex(hr));
        return false;
    }

    const DWORD pid = devlane_control::FindProcess(kServerImage);
    devlane_control::Client control(pid);
    const Tag& probe = s.tags[s.probe];
    if (pid == 0 || !control.Set(probe.device, probe.address, "int16", "0"))
    {
        std::printf("  the runtime's control pipe of %ls does not answer\n", kServerImage);
        return false;
    }
    CpuClocks clock(pid, L"sub-bench\\" + std::wstring(kServerImage));

    // The pollers alone.
    CpuSample cpu0 = clock.Sample();
    double t0 = Now();
    Sleep(static_cast<DWORD>(std::max(2.0, seconds / 2) * 1000));
    CpuSample cpu1 = clock.Sample();
    double t1 = Now();
    figures.cpuIdle = CpuRate(cpu0, cpu1, t1 - t0);

    if (FAILED(hr = group.SetActive(TRUE)))
    {
        std::printf("  activating the group failed 0x%08lx\n", Hex(hr));
        return false;
    }
    start = Now();
    const bool first = WaitFirstReport(*sinkObject, s.tags.size(), 120000);
    std::printf("  first report of every item %s in %.1f s\n", first ? "arrived" : "did NOT arrive", Now() - start);
    if (!first)
        return false;
    Sleep(2 * s.rate + kBaseCycleMs);

    // Probe after probe, each set once the previous one came back (or was
    // given up), with a random pause so the sets fall on every phase of the
    // cycles.
    const DWORD giveUpMs = 3 * s.rate + 2000;
    DataSink::Counts c0 = sinkObject->Snapshot();
    const double reads0 = DeviceReads(control);
    cpu0 = clock.Sample();
    t0 = Now();
    const double end = t0 + seconds;
    LONG value = 1;
    while (Now() < end)
    {
        value = value % 30000 + 1;
        sinkObject->Expect(value);
        const double set = Now();
        if (!control.Set(probe.device, probe.address, "int16", std::to_string(value)))
        {
            std::printf("  setting the probe failed\n");
            break;
        }
        const double arrived = sinkObject->WaitProbe(giveUpMs);
        if (arrived < 0)
            ++figures.probesLost;
        else
            figures.latency.Add(arrived - set);
        Sleep(static_cast<DWORD>(std::rand() % (kBaseCycleMs + 1)));
    }
    cpu1 = clock.Sample();
    t1 = Now();
    DataSink::Counts c1 = sinkObject->Snapshot();
    const double reads1 = DeviceReads(control);
    figures.seconds = t1 - t0;
    figures.cpuActive = CpuRate(cpu0, cpu1, figures.seconds);
    if (reads0 >= 0 && reads1 >= 0)
        figures.deviceReads = (reads1 - reads0) / figures.seconds;
    sinkObject->Gaps(t0, figures.gaps, figures.sizes);
    figures.counts.reports = c1.reports - c0.reports;
    figures.counts.entries = c1.entries - c0.entries;
    figures.counts.changing = c1.changing - c0.changing;
    figures.measured = true;
    group.SetActive(FALSE);
    return true;
}

// ---- the yardstick: the test server ----------------------------------------------------

struct TransportFigures
{
    bool measured = false;
    double seconds = 0;
    DataSink::Counts counts;
    CpuSample cpu; // the test server's CPU seconds per second
};

// Refresh2 of a group of as many items as one report of the server carries,
// two requests in flight, for the given time.
bool RunTransport(const std::wstring& directory, const Scenario& s, double seconds, TransportFigures& figures)
{
    DWORD code = RunToEnd(L"\"" + directory + L"\\" + kTestServerImage + L"\" /regserver", 30000);
    if (code != 0)
    {
        std::printf("  test server registration failed: %lu\n", static_cast<unsigned long>(code));
        return false;
    }
    ComPtr<IOPCServer> server;
    HRESULT hr =
        CoCreateInstance(CLSID_OpcIdlTestServer, nullptr, CLSCTX_LOCAL_SERVER, IID_IOPCServer, server.put_void());
    if (FAILED(hr))
    {
        std::printf("  test server activation failed 0x%08lx\n", Hex(hr));
        return false;
    }
    const size_t n = s.changing.size();
    std::vector<std::wstring> ids;
    for (size_t i = 0; i < n; ++i)
        ids.push_back(L"bench.item." + std::to_wstring(i));
    std::vector<size_t> everyOne(n);
    for (size_t i = 0; i < n; ++i)
        everyOne[i] = i;
    DataSink* sinkObject = new DataSink(n, everyOne, 0);
    ComPtr<IOPCDataCallback> sink = ComPtr<IOPCDataCallback>::Adopt(sinkObject);
    Group group(server.get());
    std::vector<OPCHANDLE> handles;
    std::vector<VARTYPE> types;
    DWORD failed = 0;
    if (FAILED(hr = group.Add(TRUE, s.rate)) ||
        (hr = group.AddItems(ids, s.changingTypes, 1, handles, types, failed)) != S_OK)
    {
        std::printf("  test server group or items failed 0x%08lx\n", Hex(hr));
        return false;
    }
    // Values of the server's types, one write.
    std::vector<VARIANT> values(n);
    for (size_t i = 0; i < n; ++i)
    {
        VARIANT source;
        VariantInit(&source);
        V_VT(&source) = VT_R8;
        V_R8(&source) = double(i % 101);
        VariantInit(&values[i]);
        if (FAILED(VariantChangeType(&values[i], &source, 0, s.changingTypes[i])))
            values[i] = source;
    }
    ComPtr<IOPCSyncIO> io;
    TaskArray<HRESULT> errors(n);
    if (FAILED(hr = group.Items()->QueryInterface(IID_IOPCSyncIO, io.put_void())) ||
        (hr = io->Write(static_cast<DWORD>(n), handles.data(), values.data(), errors.put())) != S_OK)
    {
        std::printf("  test server write failed 0x%08lx\n", Hex(hr));
        return false;
    }
    ComPtr<IOPCAsyncIO2> async;
    if (FAILED(hr = group.Items()->QueryInterface(IID_IOPCAsyncIO2, async.put_void())) ||
        FAILED(hr = group.Advise(sink.get())))
    {
        std::printf("  test server callbacks failed 0x%08lx\n", Hex(hr));
        return false;
    }
    CpuClocks clock(devlane_control::FindProcess(kTestServerImage), kTestServerImage);

    // Warm up with a few, then measure.
    const LONG depth = 2;
    ReleaseSemaphore(sinkObject->Slots(), depth, nullptr);
    DWORD transaction = 0;
    auto request = [&]()
    {
        if (WaitForSingleObject(sinkObject->Slots(), 30000) != WAIT_OBJECT_0)
            return E_ABORT;
        DWORD cancel = 0;
        return async->Refresh2(OPC_DS_CACHE, ++transaction, &cancel);
    };
    for (int i = 0; i < 5 && SUCCEEDED(hr); ++i)
        hr = request();
    DataSink::Counts c0 = sinkObject->Snapshot();
    const CpuSample cpu0 = clock.Sample();
    const double t0 = Now();
    while (SUCCEEDED(hr) && Now() < t0 + seconds)
        hr = request();
    // The last requests in flight count once they are in.
    for (LONG i = 0; i < depth && SUCCEEDED(hr); ++i)
        if (WaitForSingleObject(sinkObject->Slots(), 30000) != WAIT_OBJECT_0)
            hr = E_ABORT;
    const double t1 = Now();
    const CpuSample cpu1 = clock.Sample();
    DataSink::Counts c1 = sinkObject->Snapshot();
    for (VARIANT& v : values)
        VariantClear(&v);
    if (FAILED(hr))
    {
        std::printf("  Refresh2 failed 0x%08lx\n", Hex(hr));
        return false;
    }
    figures.seconds = t1 - t0;
    figures.counts.reports = c1.reports - c0.reports;
    figures.counts.entries = c1.entries - c0.entries;
    figures.cpu = CpuRate(cpu0, cpu1, figures.seconds);
    figures.measured = true;
    return true;
}

// ---- the table ---------------------------------------------------------------------------

std::string Percent(double part, double whole)
{
    if (whole <= 0)
        return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.0f%%", 100.0 * part / whole);
    return text;
}

std::string CpuText(double cpu)
{
    if (cpu < 0)
        return "n/a";
    char text[32];
    std::snprintf(text, sizeof text, "%.1f%%", 100.0 * cpu);
    return text;
}

// The host's figure first, Wine's in brackets.
std::string CpuText(const CpuSample& cpu)
{
    return CpuText(cpu.host) + " [" + CpuText(cpu.wine) + "]";
}

CpuSample CpuDifference(const CpuSample& active, const CpuSample& idle)
{
    CpuSample d;
    if (active.wine >= 0 && idle.wine >= 0)
        d.wine = std::max(0.0, active.wine - idle.wine);
    if (active.host >= 0 && idle.host >= 0)
        d.host = std::max(0.0, active.host - idle.host);
    return d;
}

void Report(const Scenario& s, const ServerFigures& server, const TransportFigures& transport)
{
    const size_t changing = s.changing.size();
    const double made = double(changing) * 1000.0 / kRampEveryMs;
    // One value per item and update period reaches the client at most.
    const double deliverable = double(changing) * 1000.0 / std::max<DWORD>(s.rate, kRampEveryMs);
    std::printf("\n%zu items at %lu ms, %zu ramped every %lu ms (%s of the items), probe %s:\n", s.tags.size(),
                static_cast<unsigned long>(s.rate), changing, static_cast<unsigned long>(kRampEveryMs),
                Percent(double(changing), double(s.tags.size())).c_str(), s.tags[s.probe].name.c_str());
    double delivered = 0;
    if (server.measured)
    {
        const double secs = server.seconds;
        delivered = double(server.counts.changing) / secs;
        std::printf("  %-44s %10.0f /s\n", "changes made in the runtime", made);
        std::printf("  %-44s %10.0f /s\n", "changes one report per period can carry", deliverable);
        std::printf("  %-44s %10.0f /s  (%s of those carried; goal 100%%)\n", "changes delivered (ramped items)",
                    delivered, Percent(delivered, deliverable).c_str());
        std::printf("  %-44s %10.0f /s\n", "other entries delivered (probe, unchanged)",
                    double(server.counts.entries - server.counts.changing) / secs);
        std::printf("  %-44s %10.1f /s, %.0f entries each (10%%/50%%/90%%: %.0f/%.0f/%.0f)\n", "reports",
                    double(server.counts.reports) / secs,
                    server.counts.reports ? double(server.counts.entries) / double(server.counts.reports) : 0.0,
                    server.sizes.Quantile(0.1), server.sizes.Quantile(0.5), server.sizes.Quantile(0.9));
        std::printf("  %-44s 10%%/50%%/90%% %.0f/%.0f/%.0f ms, mean %.0f ms, max %.0f ms\n", "time between reports",
                    server.gaps.Quantile(0.1) * 1e3, server.gaps.Quantile(0.5) * 1e3, server.gaps.Quantile(0.9) * 1e3,
                    server.gaps.Mean() * 1e3, server.gaps.Max() * 1e3);
        if (server.deviceReads >= 0)
            std::printf("  %-44s %10.0f /s of %.0f nominal (%s)\n", "device reads by the pollers", server.deviceReads,
                        NominalReads(s.tags), Percent(server.deviceReads, NominalReads(s.tags)).c_str());
        const double goal = (s.rate + kBaseCycleMs) / 1000.0;
        std::printf("  %-44s %zu probes: median %.0f ms, 90%% %.0f ms, max %.0f ms, mean %.0f ms; %zu over %.0f ms "
                    "(goal), %zu lost\n",
                    "latency set -> OnDataChange", server.latency.Count(), server.latency.Quantile(0.5) * 1e3,
                    server.latency.Quantile(0.9) * 1e3, server.latency.Max() * 1e3, server.latency.Mean() * 1e3,
                    server.latency.Over(goal), goal * 1e3, server.probesLost);
        std::printf("  %-44s %s idle (group inactive), %s active, %s for the subscription (goal 25%%)\n",
                    "server CPU of one core [Wine's figure]", CpuText(server.cpuIdle).c_str(),
                    CpuText(server.cpuActive).c_str(),
                    CpuText(CpuDifference(server.cpuActive, server.cpuIdle)).c_str());
    }
    else
    {
        std::printf("  the server was not measured\n");
    }
    if (transport.measured)
    {
        const double secs = transport.seconds;
        const double reports = double(transport.counts.reports) / secs;
        const double entries = double(transport.counts.entries) / secs;
        std::printf("  %-44s %10.0f /s in %.1f reports/s of %zu entries; test server CPU %s\n",
                    "yardstick: entries the transport carries", entries, reports, changing,
                    CpuText(transport.cpu).c_str());
        if (server.measured)
            std::printf("  %-44s %s (goal 80%%; the server sends only what changes, so this is the share of "
                        "the transport it needs)\n",
                        "server delivered / transport capacity", Percent(delivered, entries).c_str());
    }
    else
    {
        std::printf("  the yardstick was not measured\n");
    }
}
} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc >= 2 ? std::atof(argv[1]) : 0.0;
    if (argc < 5 || (argc - 2) % 3 != 0 || !(seconds > 0 && seconds <= 600))
    {
        std::printf("usage: %s SECONDS TAGFILE INIFILE RATE [TAGFILE INIFILE RATE]...\n", argv[0]);
        return 2;
    }
    std::vector<Scenario> scenarios;
    for (int i = 2; i + 2 < argc; i += 3)
    {
        Scenario s;
        s.tagFile = FullPath(argv[i]);
        s.iniFile = FullPath(argv[i + 1]);
        s.rate = static_cast<DWORD>(std::strtoul(argv[i + 2], nullptr, 10));
        if (s.tagFile.empty() || s.iniFile.empty() || s.rate < kBaseCycleMs || s.rate > 60000)
        {
            std::printf("bad scenario: %s %s %s (rate 100 to 60000 ms)\n", argv[i], argv[i + 1], argv[i + 2]);
            return 2;
        }
        scenarios.push_back(std::move(s));
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
    int code = 0;
    ServerFolder folder(directory);
    for (Scenario& s : scenarios)
    {
        std::printf("\nscenario: %ls at %lu ms\n", s.tagFile.c_str(), static_cast<unsigned long>(s.rate));
        std::string text;
        if (!ReadTextFile(s.tagFile, text) || !ReadTags(text, s.tags) || !s.Choose())
        {
            std::printf("  no usable tags in %ls (a probe and ramps need numeric tags of the fastest scan cycle)\n",
                        s.tagFile.c_str());
            code = 1;
            continue;
        }
        ServerFigures server;
        if (devlane_control::FindProcess(kServerImage) != 0 && !WaitForProcessEnd(kServerImage, 30000))
            std::printf("  a server from before still runs\n");
        else if (folder.Prepare(s) && RunServer(s, seconds, server))
        {
            // the group and the server reference went with RunServer
        }
        else
        {
            code = 1;
        }
        if (!WaitForProcessEnd(kServerImage, 30000))
            std::printf("  the server did not end within 30 s of the last release\n");
        TransportFigures transport;
        if (!RunTransport(directory, s, seconds, transport))
            code = 1;
        Report(s, server, transport);
    }
    folder.Unregister();
    return code;
}
