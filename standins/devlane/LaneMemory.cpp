#include "LaneMemory.h"

#include "LaneCodes.h"
#include "LaneText.h"

#include <cfloat>
#include <cmath>
#include <cstring>

namespace devlane
{
namespace
{
const AreaInfo kAreas[kAreaCount] = {
    {"X", true, 16, 0x800}, {"Y", true, 16, 0x800},   {"M", true, 10, 8192},   {"L", true, 10, 8192},
    {"D", false, 10, 8192}, {"W", false, 16, 0x2000}, {"R", false, 10, 32768},
};

const TypeInfo kTypes[] = {
    {kTypeBit, "bit", "Bit", 1, false, false, false, false},
    {kTypeInt16, "int16", "16Bit(Signed)", 16, true, false, false, false},
    {kTypeUInt16, "uint16", "16Bit(UnSigned)", 16, false, false, false, false},
    {kTypeHex16, "hex16", "16Bit(HEX)", 16, false, true, false, false},
    {kTypeBcd16, "bcd16", "16Bit(BCD)", 16, false, false, true, false},
    {kTypeInt32, "int32", "32Bit(Signed)", 32, true, false, false, false},
    {kTypeUInt32, "uint32", "32Bit(UnSigned)", 32, false, false, false, false},
    {kTypeHex32, "hex32", "32Bit(HEX)", 32, false, true, false, false},
    {kTypeBcd32, "bcd32", "32Bit(BCD)", 32, false, false, true, false},
    {kTypeFloat, "float", "Float", 32, true, false, false, true},
    {kTypeDouble, "double", "Double", 64, true, false, false, true},
    {kTypeString, "string", "String", 8, false, false, false, false},
};

int DigitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return 99;
}

bool DecodeBcd(uint32_t raw, int digits, uint32_t& value)
{
    uint32_t v = 0;
    for (int k = digits - 1; k >= 0; --k)
    {
        uint32_t d = (raw >> (4 * k)) & 0xF;
        if (d > 9)
            return false;
        v = v * 10 + d;
    }
    value = v;
    return true;
}

uint32_t EncodeBcd(uint32_t value)
{
    uint32_t raw = 0;
    for (int k = 0; k < 8 && value != 0; ++k)
    {
        raw |= (value % 10) << (4 * k);
        value /= 10;
    }
    return raw;
}

double Clamp(double v, double low, double high)
{
    if (!(v >= low))
        return low;
    return v > high ? high : v;
}
} // namespace

const AreaInfo& AreaOf(int area)
{
    return kAreas[area];
}

int FindArea(std::string_view name)
{
    for (int i = 0; i < kAreaCount; ++i)
        if (EqualsNoCase(name, kAreas[i].name))
            return i;
    return -1;
}

bool ParseAddress(std::string_view text, Address& address)
{
    // Longest area name that prefixes the text.
    int area = -1;
    size_t nameLength = 0;
    const char first = text.empty() ? '\0' : static_cast<char>(text[0] | 0x20);
    for (int i = 0; i < kAreaCount; ++i)
    {
        // Area names are letters: the first one decides most candidates cheaply.
        if ((kAreas[i].name[0] | 0x20) != first)
            continue;
        size_t n = std::strlen(kAreas[i].name);
        if (n > nameLength && text.size() > n && EqualsNoCase(text.substr(0, n), kAreas[i].name))
        {
            area = i;
            nameLength = n;
        }
    }
    if (area < 0)
        return false;
    std::string_view rest = text.substr(nameLength);
    size_t dot = rest.find('.');
    std::string_view number = rest.substr(0, dot);
    if (number.empty() || number.size() > 8)
        return false;
    uint64_t unit = 0;
    for (char c : number)
    {
        int d = DigitValue(c);
        if (d >= kAreas[area].radix)
            return false;
        unit = unit * static_cast<uint64_t>(kAreas[area].radix) + static_cast<uint64_t>(d);
    }
    if (unit > 0x0FFFFFFF)
        return false;
    int bit = -1;
    if (dot != std::string_view::npos)
    {
        std::string_view bitText = rest.substr(dot + 1);
        if (kAreas[area].bitUnits || bitText.size() != 1 || DigitValue(bitText[0]) > 15)
            return false;
        bit = DigitValue(bitText[0]);
    }
    address.area = area;
    address.unit = static_cast<uint32_t>(unit);
    address.bit = bit;
    return true;
}

const TypeInfo* FindType(std::string_view name)
{
    for (const TypeInfo& t : kTypes)
        if (EqualsNoCase(name, t.name) || EqualsNoCase(name, t.longName))
            return &t;
    return nullptr;
}

const TypeInfo* TypeByCode(int code)
{
    for (const TypeInfo& t : kTypes)
        if (t.code == code)
            return &t;
    return nullptr;
}

uint64_t ExtentBits(const TypeInfo& type, uint32_t count)
{
    if (type.code == kTypeString)
        return (uint64_t(count) + 1) / 2 * 16;
    return uint64_t(count) * type.elementBits;
}

size_t BufferBytes(const TypeInfo& type, uint32_t count)
{
    if (type.code == kTypeBit)
        return (size_t(count) + 15) / 16 * 2;
    return size_t(count) * type.elementBits / 8;
}

void AreaMemory::Configure(bool bitUnits, uint32_t sizeUnits)
{
    m_bitUnits = bitUnits;
    m_sizeUnits = sizeUnits;
    m_words.clear();
}

void AreaMemory::Materialise()
{
    if (m_words.empty())
        m_words.assign(static_cast<size_t>((SizeBits() + 15) / 16), 0);
}

bool AreaMemory::GetBit(uint64_t bit) const
{
    if (m_words.empty())
        return false;
    return (m_words[bit / 16] >> (bit % 16)) & 1;
}

void AreaMemory::SetBit(uint64_t bit, bool on)
{
    Materialise();
    uint16_t mask = static_cast<uint16_t>(1u << (bit % 16));
    if (on)
        m_words[bit / 16] |= mask;
    else
        m_words[bit / 16] &= static_cast<uint16_t>(~mask);
}

uint16_t AreaMemory::GetWord(uint64_t bitOffset) const
{
    if (m_words.empty())
        return 0;
    if (bitOffset % 16 == 0)
        return m_words[bitOffset / 16];
    uint16_t v = 0;
    for (unsigned i = 0; i < 16; ++i)
        if (GetBit(bitOffset + i))
            v |= static_cast<uint16_t>(1u << i);
    return v;
}

void AreaMemory::SetWord(uint64_t bitOffset, uint16_t value)
{
    Materialise();
    if (bitOffset % 16 == 0)
    {
        m_words[bitOffset / 16] = value;
        return;
    }
    for (unsigned i = 0; i < 16; ++i)
        SetBit(bitOffset + i, (value >> i) & 1);
}

DeviceMemory::DeviceMemory()
{
    for (int i = 0; i < kAreaCount; ++i)
        m_areas[i].Configure(kAreas[i].bitUnits, kAreas[i].defaultSize);
}

uint32_t DeviceMemory::Locate(const Address& address, const TypeInfo& type, uint32_t count, uint64_t& bitOffset) const
{
    if (address.area < 0 || address.area >= kAreaCount)
        return kBadAddress;
    const AreaInfo& area = kAreas[address.area];
    if (address.bit >= 0 && type.code != kTypeBit)
        return kBadAddress; // a single bit of a word holds no wider value
    uint64_t offset =
        area.bitUnits ? address.unit : uint64_t(address.unit) * 16 + uint64_t(address.bit < 0 ? 0 : address.bit);
    uint64_t size = m_areas[address.area].SizeBits();
    if (offset >= size || ExtentBits(type, count) > size - offset)
        return kAddressRange;
    bitOffset = offset;
    return kOk;
}

uint32_t DeviceMemory::Read(const Address& address, const TypeInfo& type, uint32_t count, void* out) const
{
    uint64_t at = 0;
    uint32_t code = Locate(address, type, count, at);
    if (code != kOk)
        return code;
    const AreaMemory& mem = m_areas[address.area];
    // The output is written only on success, so the elements gather here
    // first: on the stack for the usual short reads.
    const size_t bytes = BufferBytes(type, count);
    uint8_t local[256];
    std::vector<uint8_t> large;
    if (bytes > sizeof local)
        large.resize(bytes);
    uint8_t* p = bytes > sizeof local ? large.data() : local;
    std::memset(p, 0, bytes);
    switch (type.code)
    {
    case kTypeBit:
        for (uint32_t i = 0; i < count; ++i)
            if (mem.GetBit(at + i))
                reinterpret_cast<uint16_t*>(p)[i / 16] |= static_cast<uint16_t>(1u << (i % 16));
        break;
    case kTypeString:
        for (uint32_t i = 0; i < count; ++i)
        {
            uint16_t w = mem.GetWord(at + uint64_t(i / 2) * 16);
            p[i] = static_cast<uint8_t>(i % 2 == 0 ? (w & 0xFF) : (w >> 8));
        }
        break;
    default:
    {
        uint32_t words = type.elementBits / 16;
        for (uint32_t i = 0; i < count; ++i)
        {
            uint16_t w[4] = {};
            for (uint32_t k = 0; k < words; ++k)
                w[k] = mem.GetWord(at + (uint64_t(i) * words + k) * 16);
            uint8_t* element = p + size_t(i) * words * 2;
            if (type.code == kTypeBcd16)
            {
                uint32_t v = 0;
                if (!DecodeBcd(w[0], 4, v))
                    return kBadBcd;
                uint16_t s = static_cast<uint16_t>(v);
                std::memcpy(element, &s, 2);
            }
            else if (type.code == kTypeBcd32)
            {
                uint32_t v = 0;
                if (!DecodeBcd(uint32_t(w[0]) | (uint32_t(w[1]) << 16), 8, v))
                    return kBadBcd;
                std::memcpy(element, &v, 4);
            }
            else
                std::memcpy(element, w, words * 2); // little-endian: low word first
        }
        break;
    }
    }
    std::memcpy(out, p, bytes);
    return kOk;
}

uint32_t DeviceMemory::Write(const Address& address, const TypeInfo& type, uint32_t count, const void* in)
{
    uint64_t at = 0;
    uint32_t code = Locate(address, type, count, at);
    if (code != kOk)
        return code;
    const uint8_t* p = static_cast<const uint8_t*>(in);
    AreaMemory& mem = m_areas[address.area];
    switch (type.code)
    {
    case kTypeBit:
        for (uint32_t i = 0; i < count; ++i)
        {
            uint16_t w = 0;
            std::memcpy(&w, p + (i / 16) * 2, 2);
            mem.SetBit(at + i, (w >> (i % 16)) & 1);
        }
        return kOk;
    case kTypeString:
        // Whole words: an odd count leaves a zero in the last word's high byte.
        for (uint32_t i = 0; i < count; i += 2)
        {
            uint16_t w = p[i];
            if (i + 1 < count)
                w |= static_cast<uint16_t>(p[i + 1] << 8);
            mem.SetWord(at + uint64_t(i / 2) * 16, w);
        }
        return kOk;
    default: break;
    }
    uint32_t words = type.elementBits / 16;
    std::vector<uint16_t> raw(size_t(count) * words);
    for (uint32_t i = 0; i < count; ++i)
    {
        const uint8_t* element = p + size_t(i) * words * 2;
        uint16_t* w = &raw[size_t(i) * words];
        if (type.code == kTypeBcd16)
        {
            int16_t s = 0;
            std::memcpy(&s, element, 2);
            if (s < 0 || s > 9999)
                return kBadBcd;
            w[0] = static_cast<uint16_t>(EncodeBcd(static_cast<uint32_t>(s)));
        }
        else if (type.code == kTypeBcd32)
        {
            int32_t v = 0;
            std::memcpy(&v, element, 4);
            if (v < 0 || v > 99999999)
                return kBadBcd;
            uint32_t b = EncodeBcd(static_cast<uint32_t>(v));
            w[0] = static_cast<uint16_t>(b);
            w[1] = static_cast<uint16_t>(b >> 16);
        }
        else
            std::memcpy(w, element, words * 2);
    }
    for (size_t k = 0; k < raw.size(); ++k)
        mem.SetWord(at + uint64_t(k) * 16, raw[k]);
    return kOk;
}

void ElementFromReal(const TypeInfo& type, double value, void* element)
{
    switch (type.code)
    {
    case kTypeBit:
    {
        uint16_t w = value != 0 ? 1 : 0;
        std::memcpy(element, &w, 2);
        break;
    }
    case kTypeInt16:
    case kTypeUInt16:
    case kTypeHex16:
    case kTypeBcd16:
    {
        double low = type.code == kTypeBcd16 ? 0 : (type.isSigned ? -32768 : 0);
        double high = type.code == kTypeBcd16 ? 9999 : (type.isSigned ? 32767 : 65535);
        int32_t v = static_cast<int32_t>(std::lround(Clamp(value, low, high)));
        uint16_t w = static_cast<uint16_t>(v);
        std::memcpy(element, &w, 2);
        break;
    }
    case kTypeInt32:
    case kTypeUInt32:
    case kTypeHex32:
    case kTypeBcd32:
    {
        double low = type.code == kTypeBcd32 ? 0 : (type.isSigned ? -2147483648.0 : 0);
        double high = type.code == kTypeBcd32 ? 99999999 : (type.isSigned ? 2147483647.0 : 4294967295.0);
        int64_t v = std::llround(Clamp(value, low, high));
        uint32_t w = static_cast<uint32_t>(v);
        std::memcpy(element, &w, 4);
        break;
    }
    case kTypeFloat:
    {
        float f = static_cast<float>(Clamp(value, -FLT_MAX, FLT_MAX));
        std::memcpy(element, &f, 4);
        break;
    }
    case kTypeDouble: std::memcpy(element, &value, 8); break;
    default: break;
    }
}

bool ParseValues(const TypeInfo& type, const std::vector<std::string>& tokens, size_t first,
                 std::vector<uint8_t>& buffer, uint32_t& count, std::string& error)
{
    if (first >= tokens.size())
    {
        error = "no value";
        return false;
    }
    size_t n = tokens.size() - first;
    if (type.code == kTypeString)
    {
        if (n != 1)
        {
            error = "a string takes one (quoted) value";
            return false;
        }
        const std::string& text = tokens[first];
        if (text.empty() || text.size() > 0x7FFF)
        {
            error = "string length out of range";
            return false;
        }
        buffer.assign(text.begin(), text.end());
        count = static_cast<uint32_t>(text.size());
        return true;
    }
    if (n > 0x7FFF)
    {
        error = "too many values";
        return false;
    }
    count = static_cast<uint32_t>(n);
    buffer.assign(BufferBytes(type, count), 0);
    for (size_t i = 0; i < n; ++i)
    {
        const std::string& token = tokens[first + i];
        uint8_t* element = buffer.data() + (type.code == kTypeBit ? 0 : i * type.elementBits / 8);
        bool ok = false;
        if (type.code == kTypeBit)
        {
            bool on = false;
            ok = true;
            if (token == "1" || EqualsNoCase(token, "on") || EqualsNoCase(token, "true"))
                on = true;
            else if (!(token == "0" || EqualsNoCase(token, "off") || EqualsNoCase(token, "false")))
                ok = false;
            if (on)
                reinterpret_cast<uint16_t*>(element)[i / 16] |= static_cast<uint16_t>(1u << (i % 16));
        }
        else if (type.isReal)
        {
            double v = 0;
            ok = ParseDouble(token, v) && (type.code == kTypeDouble || std::fabs(v) <= FLT_MAX);
            if (ok)
                ElementFromReal(type, v, element);
        }
        else
        {
            int64_t v = 0;
            uint64_t h = 0;
            bool wide = type.elementBits == 32;
            if (type.isHex)
            {
                ok = ParseHex64(token, h) && h <= (wide ? 0xFFFFFFFFull : 0xFFFFull);
                v = static_cast<int64_t>(h);
            }
            else if (type.isBcd)
                ok = ParseInt64(token, v) && v >= 0 && v <= (wide ? 99999999 : 9999);
            else
                ok = ParseInt64(token, v) && v >= (wide ? -2147483648ll : -32768) && v <= (wide ? 4294967295ll : 65535);
            if (ok)
            {
                if (wide)
                {
                    uint32_t w = static_cast<uint32_t>(v);
                    std::memcpy(element, &w, 4);
                }
                else
                {
                    uint16_t w = static_cast<uint16_t>(v);
                    std::memcpy(element, &w, 2);
                }
            }
        }
        if (!ok)
        {
            error = "value '" + token + "' does not fit type " + type.name;
            return false;
        }
    }
    return true;
}

std::string FormatValues(const TypeInfo& type, const void* buffer, uint32_t count)
{
    const uint8_t* p = static_cast<const uint8_t*>(buffer);
    if (type.code == kTypeString)
        return Quote(std::string_view(reinterpret_cast<const char*>(p), count));
    std::string out;
    for (uint32_t i = 0; i < count; ++i)
    {
        if (i != 0)
            out += ' ';
        const uint8_t* element = p + size_t(i) * type.elementBits / 8;
        switch (type.code)
        {
        case kTypeBit:
        {
            uint16_t w = 0;
            std::memcpy(&w, p + (i / 16) * 2, 2);
            out += ((w >> (i % 16)) & 1) ? '1' : '0';
            break;
        }
        case kTypeInt16:
        {
            int16_t v = 0;
            std::memcpy(&v, element, 2);
            out += Format("%d", v);
            break;
        }
        case kTypeUInt16:
        case kTypeBcd16:
        case kTypeHex16:
        {
            uint16_t v = 0;
            std::memcpy(&v, element, 2);
            out += Format(type.isHex ? "0x%04X" : "%u", v);
            break;
        }
        case kTypeInt32:
        {
            int32_t v = 0;
            std::memcpy(&v, element, 4);
            out += Format("%ld", static_cast<long>(v));
            break;
        }
        case kTypeUInt32:
        case kTypeBcd32:
        case kTypeHex32:
        {
            uint32_t v = 0;
            std::memcpy(&v, element, 4);
            out += Format(type.isHex ? "0x%08lX" : "%lu", static_cast<unsigned long>(v));
            break;
        }
        case kTypeFloat:
        {
            float v = 0;
            std::memcpy(&v, element, 4);
            out += Format("%.9g", static_cast<double>(v));
            break;
        }
        case kTypeDouble:
        {
            double v = 0;
            std::memcpy(&v, element, 8);
            out += Format("%.17g", v);
            break;
        }
        default: break;
        }
    }
    return out;
}
} // namespace devlane
