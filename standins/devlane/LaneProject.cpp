#include "LaneProject.h"

#include "LaneCodes.h"
#include "LaneHandle.h"
#include "LaneText.h"

#include <windows.h>

#include <cmath>
#include <cstring>

namespace devlane
{
namespace
{
const size_t kMaxWarnings = 1000;
const size_t kMaxNameLength = 255;
const uint64_t kMaxFileBytes = 16u * 1024 * 1024;
const uint32_t kMaxAreaUnits = 0x1000000;
const uint32_t kMaxDelayMs = 60000;

struct Parser
{
    Project& project;
    size_t lineNumber = 0;
    enum Section
    {
        kNone,
        kProjectSection,
        kMessages,
        kDevice,
        kSymbols,
        kUnknown
    } section = kNone;
    Device* device = nullptr;

    void Warn(const std::string& reason)
    {
        if (project.warnings.size() < kMaxWarnings)
            project.warnings.push_back(Format("line %zu: ", lineNumber) + reason);
        else if (project.warnings.size() == kMaxWarnings)
            project.warnings.push_back("further warnings dropped");
    }

    Device* DeviceNamed(const std::string& utf8Name) { return project.AddDevice(Utf8ToAnsi(utf8Name)); }

    void Header(const std::string& inside)
    {
        std::string text = Trim(inside);
        size_t blank = text.find_first_of(" \t");
        std::string kind = Lower(text.substr(0, blank));
        std::string argument = blank == std::string::npos ? std::string() : Trim(text.substr(blank));
        device = nullptr;
        if (kind == "project" && argument.empty())
            section = kProjectSection;
        else if (kind == "messages" && argument.empty())
            section = kMessages;
        else if ((kind == "device" || kind == "symbols") && !argument.empty() && argument.size() <= kMaxNameLength)
        {
            section = kind == "device" ? kDevice : kSymbols;
            device = DeviceNamed(argument);
        }
        else
        {
            section = kUnknown;
            Warn("unknown section [" + text + "]; its lines are skipped");
        }
    }

    void ProjectLine(const std::string& key, const std::string& value)
    {
        std::string k = Lower(key);
        if (k == "path")
        {
            std::vector<std::string> tokens;
            std::string error;
            std::string text = value;
            if (!value.empty() && value[0] == '"')
            {
                if (!Tokenize(value, tokens, error) || tokens.size() != 1)
                    return Warn("bad project path");
                text = tokens[0];
            }
            std::wstring path = Utf8ToWide(text);
            if (path.empty() || path.size() >= 260)
                return Warn("project path empty or longer than 259 characters");
            project.path = path;
            project.hasProject = true;
        }
        else if (k == "build")
        {
            uint32_t build = 0;
            if (!ParseUInt32(value, build))
                return Warn("build number is not an unsigned 32-bit number");
            project.build = build;
        }
        else if (k == "runtime")
        {
            if (EqualsNoCase(value, "up"))
                project.startsDown = false;
            else if (EqualsNoCase(value, "down"))
                project.startsDown = true;
            else
                Warn("runtime must be up or down");
        }
        else
            Warn("unknown project key '" + key + "'");
    }

    void MessageLine(const std::string& key, const std::string& value)
    {
        uint64_t code = 0;
        if (!ParseHex64(key, code) || code > 0xFFFFFFFFull)
            return Warn("message code is not a 32-bit hex number");
        if (value.empty() || value.size() > 4000)
            return Warn("message text empty or too long");
        project.messages[static_cast<uint32_t>(code)] = Utf8ToWide(value);
    }

    static bool NumberArg(const std::string& token, const char* name, double& value, bool& matched, bool& ok)
    {
        size_t n = std::strlen(name);
        if (token.size() <= n || token.compare(0, n, name) != 0 || token[n] != '=')
            return false;
        matched = true;
        ok = ParseDouble(std::string_view(token).substr(n + 1), value);
        return true;
    }

    void GeneratorLine(const Address& address, const TypeInfo& type, const std::vector<std::string>& tokens)
    {
        Generator g;
        g.address = address;
        g.type = &type;
        std::string kind = Lower(tokens[1]);
        if (kind == "ramp")
            g.kind = Generator::kRamp;
        else if (kind == "toggle")
            g.kind = Generator::kToggle;
        else
        {
            g.kind = Generator::kSine;
            g.everyMs = 100;
        }
        if (type.code == kTypeString)
            return Warn("a string cannot be generated");
        for (size_t i = 2; i < tokens.size(); ++i)
        {
            bool matched = false;
            bool ok = false;
            double every = 0;
            if (NumberArg(tokens[i], "every", every, matched, ok))
            {
                if (!ok || every < 1 || every > 86400000)
                    return Warn("every= must lie between 1 and 86400000 ms");
                g.everyMs = static_cast<uint32_t>(every);
                continue;
            }
            bool known = false;
            switch (g.kind)
            {
            case Generator::kRamp:
                known = NumberArg(tokens[i], "from", g.from, matched, ok) ||
                        NumberArg(tokens[i], "to", g.to, matched, ok) ||
                        NumberArg(tokens[i], "step", g.step, matched, ok);
                break;
            case Generator::kToggle:
                known = NumberArg(tokens[i], "low", g.low, matched, ok) ||
                        NumberArg(tokens[i], "high", g.high, matched, ok);
                break;
            case Generator::kSine:
                known = NumberArg(tokens[i], "offset", g.offset, matched, ok) ||
                        NumberArg(tokens[i], "amplitude", g.amplitude, matched, ok) ||
                        NumberArg(tokens[i], "period", g.periodMs, matched, ok);
                break;
            }
            if (!known)
                return Warn("unknown generator setting '" + tokens[i] + "'");
            if (!ok)
                return Warn("generator setting '" + tokens[i] + "' is not a number");
        }
        if (g.kind == Generator::kRamp)
        {
            double steps = (g.to - g.from) / g.step;
            if (g.step == 0 || !std::isfinite(steps) || steps < 0 || steps > 1e9)
                return Warn("ramp step must lead from 'from' to 'to' in at most 1e9 steps");
        }
        if (g.kind == Generator::kSine && !(g.periodMs >= 1))
            return Warn("sine period must be at least 1 ms");
        uint64_t at = 0;
        if (uint32_t code = device->memory.Locate(address, type, 1, at); code != kOk)
            return Warn("generated address outside the device memory");
        device->generators.push_back(g);
    }

    void DeviceLine(const std::string& key, const std::string& value)
    {
        std::string k = Lower(key);
        if (k == "delay")
        {
            uint32_t ms = 0;
            if (!ParseUInt32(value, ms) || ms > kMaxDelayMs)
                return Warn("delay must be 0 to 60000 ms");
            device->delayMs = ms;
            return;
        }
        if (k.compare(0, 5, "size.") == 0)
        {
            int area = FindArea(k.substr(5));
            uint32_t units = 0;
            if (area < 0)
                return Warn("unknown area in '" + key + "'");
            if (!ParseUInt32(value, units) || units == 0 || units > kMaxAreaUnits)
                return Warn("area size must be 1 to 16777216 units");
            device->memory.SetSize(area, units);
            return;
        }
        Address address;
        if (!ParseAddress(key, address))
            return Warn("'" + key + "' is neither a setting nor a device address");
        std::vector<std::string> tokens;
        std::string error;
        if (!Tokenize(value, tokens, error))
            return Warn(error);
        if (tokens.empty())
            return Warn("no type");
        const TypeInfo* type = FindType(tokens[0]);
        if (type == nullptr)
            return Warn("unknown type '" + tokens[0] + "'");
        if (tokens.size() >= 2 &&
            (EqualsNoCase(tokens[1], "ramp") || EqualsNoCase(tokens[1], "toggle") || EqualsNoCase(tokens[1], "sine")))
            return GeneratorLine(address, *type, tokens);
        std::vector<uint8_t> buffer;
        uint32_t count = 0;
        if (!ParseValues(*type, tokens, 1, buffer, count, error))
            return Warn(error);
        if (device->memory.Write(address, *type, count, buffer.data()) != kOk)
            return Warn("values do not fit the device memory at '" + key + "'");
    }

    void SymbolLine(const std::string& key, const std::string& value)
    {
        std::vector<std::string> tokens;
        std::string error;
        if (!Tokenize(value, tokens, error))
            return Warn(error);
        if (key.empty() || key.size() > kMaxNameLength)
            return Warn("symbol path empty or too long");
        if (tokens.size() < 3 || tokens.size() > 4)
            return Warn("a symbol takes: address type count [name=reported]");
        Symbol s;
        s.path = Utf8ToAnsi(key);
        size_t dot = s.path.rfind('.');
        s.reportedName = dot == std::string::npos ? s.path : s.path.substr(dot + 1);
        if (tokens.size() == 4)
        {
            if (tokens[3].compare(0, 5, "name=") != 0)
                return Warn("unknown symbol setting '" + tokens[3] + "'");
            s.reportedName = Utf8ToAnsi(tokens[3].substr(5));
        }
        if (s.reportedName.empty() || s.reportedName.size() > 67)
            return Warn("reported symbol name empty or longer than 67 characters");
        s.addressText = tokens[0];
        if (s.addressText.size() > 179 || !ParseAddress(s.addressText, s.address))
            return Warn("symbol address '" + tokens[0] + "' is not valid");
        const TypeInfo* type = FindType(tokens[1]);
        if (type == nullptr)
            return Warn("unknown type '" + tokens[1] + "'");
        s.typeCode = type->code;
        if (!ParseUInt32(tokens[2], s.count) || s.count == 0 || s.count > 1020)
            return Warn("symbol count must be 1 to 1020");
        uint64_t at = 0;
        if (device->memory.Locate(s.address, *type, s.count, at) != kOk)
            return Warn("symbol does not fit the device memory");
        if (!device->AddSymbol(std::move(s)))
            return Warn("symbol '" + key + "' defined twice; the first one stays");
    }

    void Line(std::string_view raw)
    {
        if (raw.find('\0') != std::string_view::npos)
            return Warn("line holds a zero byte");
        std::string line = Trim(raw);
        if (line.empty() || line[0] == '#' || line[0] == ';')
            return;
        if (line[0] == '[')
        {
            if (line.back() != ']')
                return Warn("section header without ']'");
            return Header(line.substr(1, line.size() - 2));
        }
        if (section == kUnknown)
            return;
        size_t eq = line.find('=');
        if (eq == std::string::npos)
            return Warn("no '=' in line");
        std::string key = Trim(std::string_view(line).substr(0, eq));
        std::string value = Trim(std::string_view(line).substr(eq + 1));
        switch (section)
        {
        case kNone: return Warn("line outside any section");
        case kProjectSection: return ProjectLine(key, value);
        case kMessages: return MessageLine(key, value);
        case kDevice: return DeviceLine(key, value);
        case kSymbols: return SymbolLine(key, value);
        case kUnknown: return;
        }
    }
};
} // namespace

double Generator::ValueAt(uint64_t tick) const
{
    switch (kind)
    {
    case kRamp:
    {
        uint64_t steps = static_cast<uint64_t>(std::floor((to - from) / step)) + 1;
        return from + step * static_cast<double>(tick % steps);
    }
    case kToggle: return tick % 2 == 0 ? low : high;
    case kSine:
    {
        const double pi = 3.14159265358979323846;
        double t = std::fmod(static_cast<double>(tick) * everyMs, periodMs);
        return offset + amplitude * std::sin(2 * pi * t / periodMs);
    }
    }
    return 0;
}

const Symbol* Device::FindSymbol(std::string_view path) const
{
    auto it = m_symbolIndex.find(path);
    return it != m_symbolIndex.end() ? it->second : nullptr;
}

bool Device::AddSymbol(Symbol symbol)
{
    if (FindSymbol(symbol.path) != nullptr)
        return false;
    m_symbols.push_back(std::move(symbol));
    const Symbol& added = m_symbols.back();
    m_symbolIndex.emplace(std::string_view(added.path), &added);
    return true;
}

uint32_t Device::Resolve(const char* text, Address& address) const
{
    if (text == nullptr || *text == '\0')
        return kBadAddress;
    if (const Symbol* s = FindSymbol(text))
    {
        address = s->address;
        return kOk;
    }
    return ParseAddress(text, address) ? kOk : kBadAddress;
}

void Device::Advance(uint64_t elapsedMs)
{
    for (Generator& g : generators)
    {
        int64_t tick = static_cast<int64_t>(elapsedMs / g.everyMs);
        if (tick == g.lastTick)
            continue;
        g.lastTick = tick;
        uint8_t element[8] = {};
        ElementFromReal(*g.type, g.ValueAt(static_cast<uint64_t>(tick)), element);
        memory.Write(g.address, *g.type, 1, element);
    }
}

Device* Project::FindDevice(const char* name) const
{
    if (name == nullptr)
        return nullptr;
    auto it = m_deviceIndex.find(std::string_view(name));
    return it != m_deviceIndex.end() ? it->second : nullptr;
}

Device* Project::AddDevice(const std::string& name)
{
    if (Device* d = FindDevice(name.c_str()))
        return d;
    auto d = std::make_unique<Device>();
    d->name = name;
    Device* added = d.get();
    devices.push_back(std::move(d));
    m_deviceIndex.emplace(std::string_view(added->name), added);
    return added;
}

std::unique_ptr<Project> ParseDescription(std::string_view text)
{
    auto project = std::make_unique<Project>();
    Parser parser{*project};
    if (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0)
        text.remove_prefix(3);
    size_t start = 0;
    while (start <= text.size())
    {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        ++parser.lineNumber;
        parser.Line(text.substr(start, end - start));
        start = end + 1;
    }
    return project;
}

std::unique_ptr<Project> LoadDescriptionFile(const std::wstring& path)
{
    UniqueHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
    {
        auto project = std::make_unique<Project>();
        project->warnings.push_back("description file " + WideToAnsi(path) + " cannot be opened");
        return project;
    }
    std::string text;
    LARGE_INTEGER size{};
    bool ok = GetFileSizeEx(file.Get(), &size) && static_cast<uint64_t>(size.QuadPart) <= kMaxFileBytes;
    if (ok)
    {
        text.resize(static_cast<size_t>(size.QuadPart));
        DWORD read = 0;
        ok = text.empty() ||
             (ReadFile(file.Get(), &text[0], static_cast<DWORD>(text.size()), &read, nullptr) && read == text.size());
    }
    file.Reset();
    if (!ok)
    {
        auto project = std::make_unique<Project>();
        project->warnings.push_back("description file " + WideToAnsi(path) + " cannot be read or exceeds 16 MB");
        return project;
    }
    return ParseDescription(text);
}
} // namespace devlane
