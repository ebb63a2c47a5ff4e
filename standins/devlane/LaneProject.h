// The runtime's loaded project as a description file defines it: the project
// file name and build, the devices with their memory, value generators and
// symbols, and message texts.
//
// Description file (UTF-8, one statement per line, "#" or ";" starts a comment line):
//
//   [project]
//   path    = C:\Lintor\Projects\Line1.rxp     project file the runtime reports
//   build   = 1042                             its build number
//   runtime = up | down                        state at load (default up)
//
//   [messages]
//   C0B00201 = text                            message for a code (hex, 0x optional)
//
//   [device Node1.PLC1]                        connection name: node "." device
//   delay  = 25                                milliseconds added to each read and write
//   size.D = 1000                              area size in units (clears the area)
//   D100   = int16 1234 -5                     consecutive values of one type
//   D200   = string "Line one"
//   M0     = bit 1 0 1 1
//   D10    = int16 ramp from=0 to=1000 step=10 every=100
//   M100   = bit toggle every=500 [low=0 high=1]
//   D20    = float sine offset=50 amplitude=25 period=10000 [every=100]
//
//   [symbols Node1.PLC1]
//   Sheet1.Motors.Speed = D300 int16 1 [name=Speed]
//
// Types: bit int16 uint16 hex16 bcd16 int32 uint32 hex32 bcd32 float double
// string, or the configuration names "16Bit(Signed)" and so on. A symbol's
// reported name is what follows the last "." of its path unless name= says
// otherwise. A line that cannot be used is skipped with a warning naming its
// line number; the rest of the file still counts.
#pragma once

#include "LaneMemory.h"
#include "LaneText.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace devlane
{
struct Symbol
{
    std::string path;         // what the server passes as address text
    std::string reportedName; // SymbolInfo symbol name
    std::string addressText;  // SymbolInfo device address
    Address address;
    int typeCode = 0;
    uint32_t count = 0;
};

struct Generator
{
    enum Kind
    {
        kRamp,
        kToggle,
        kSine
    };
    Kind kind = kRamp;
    Address address;
    const TypeInfo* type = nullptr;
    double from = 0, to = 100, step = 1;
    double low = 0, high = 1;
    double offset = 0, amplitude = 1, periodMs = 10000;
    uint32_t everyMs = 1000;
    int64_t lastTick = -1;

    double ValueAt(uint64_t tick) const;
};

struct Device
{
    Device() = default;
    Device(const Device&) = delete; // the symbol index points into the device
    Device& operator=(const Device&) = delete;

    std::string name;
    DeviceMemory memory;
    uint32_t delayMs = 0;
    std::vector<Generator> generators;

    const Symbol* FindSymbol(std::string_view path) const;
    // False when a symbol of that path (in any case) is already defined.
    bool AddSymbol(Symbol symbol);
    // A symbol path or an address text; a symbol wins over an address of the same spelling.
    uint32_t Resolve(const char* text, Address& address) const;
    // Brings generated values up to the time elapsed since the project loaded.
    void Advance(uint64_t elapsedMs);

private:
    // Every read and write resolves its address text here, so symbols are
    // found through a case-blind index rather than by a walk. The index
    // keys view the paths of the symbols it points to.
    std::deque<Symbol> m_symbols;
    std::unordered_map<std::string_view, const Symbol*, NoCaseHash, NoCaseEqual> m_symbolIndex;
};

struct Project
{
    bool hasProject = false;
    std::wstring path;
    uint32_t build = 0;
    bool startsDown = false;
    std::map<uint32_t, std::wstring> messages;
    std::vector<std::unique_ptr<Device>> devices;
    std::vector<std::string> warnings;

    Device* FindDevice(const char* name) const;
    // A new device, or the one already named so in any case.
    Device* AddDevice(const std::string& name);

private:
    // Every read and write looks its device up by name: an index, not a walk.
    // The keys view the names of the devices, which never change.
    std::unordered_map<std::string_view, Device*, NoCaseHash, NoCaseEqual> m_deviceIndex;
};

// Never fails: what cannot be used becomes a warning.
std::unique_ptr<Project> ParseDescription(std::string_view text);
std::unique_ptr<Project> LoadDescriptionFile(const std::wstring& path);
} // namespace devlane
