// Device memory of the runtime library: memory areas, the address texts that
// name them, the data types the library reads and writes, and typed access.
//
// Addresses: an area name, then the unit number in the area's radix.
//   word areas: D (decimal), W (hex), R (decimal); unit = one 16-bit word;
//               "D100.A" names bit 10 of D100 (one hex digit after the dot).
//   bit areas:  X, Y (hex), M, L (decimal); unit = one bit.
// Words read from a bit area are 16 consecutive bits from the address, the
// first in bit 0. 32-bit values take two words, low word first; doubles four;
// strings two characters per word, first character in the low byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace devlane
{
enum AreaId : int
{
    kAreaX,
    kAreaY,
    kAreaM,
    kAreaL,
    kAreaD,
    kAreaW,
    kAreaR,
    kAreaCount
};

struct AreaInfo
{
    const char* name;
    bool bitUnits;
    int radix;
    uint32_t defaultSize; // in units
};

const AreaInfo& AreaOf(int area);
int FindArea(std::string_view name); // -1 when unknown

struct Address
{
    int area = -1;
    uint32_t unit = 0;
    int bit = -1; // bit of a word, -1 when the address names a whole word or a bit unit
};

// Syntax only; the memory decides whether the address lies inside it.
bool ParseAddress(std::string_view text, Address& address);

// Data types by the codes the server uses (1 bit ... 12 string).
struct TypeInfo
{
    int code;
    const char* name;     // short name of description files and the control channel
    const char* longName; // the server's configuration name, accepted as well
    uint32_t elementBits; // 8 for string characters
    bool isSigned;
    bool isHex;
    bool isBcd;
    bool isReal;
};

enum TypeCode : int
{
    kTypeBit = 1,
    kTypeInt16 = 2,
    kTypeUInt16 = 3,
    kTypeHex16 = 4,
    kTypeBcd16 = 5,
    kTypeInt32 = 6,
    kTypeUInt32 = 7,
    kTypeHex32 = 8,
    kTypeBcd32 = 9,
    kTypeFloat = 10,
    kTypeDouble = 11,
    kTypeString = 12
};

const TypeInfo* FindType(std::string_view name);
const TypeInfo* TypeByCode(int code);

// Bits of device memory that count elements occupy (strings round up to whole words).
uint64_t ExtentBits(const TypeInfo& type, uint32_t count);
// Bytes of the caller's buffer for count elements (bits are packed into 16-bit words).
size_t BufferBytes(const TypeInfo& type, uint32_t count);

class AreaMemory
{
public:
    void Configure(bool bitUnits, uint32_t sizeUnits);
    uint64_t SizeBits() const { return m_bitUnits ? m_sizeUnits : uint64_t(m_sizeUnits) * 16; }
    uint32_t SizeUnits() const { return m_sizeUnits; }
    bool GetBit(uint64_t bit) const;
    void SetBit(uint64_t bit, bool on);
    uint16_t GetWord(uint64_t bitOffset) const;
    void SetWord(uint64_t bitOffset, uint16_t value);

private:
    void Materialise();

    std::vector<uint16_t> m_words; // allocated on the first write; empty reads as zero
    uint32_t m_sizeUnits = 0;
    bool m_bitUnits = false;
};

class DeviceMemory
{
public:
    DeviceMemory();
    void SetSize(int area, uint32_t units) { m_areas[area].Configure(AreaOf(area).bitUnits, units); }
    uint32_t SizeOf(int area) const { return m_areas[area].SizeUnits(); }

    // Checks that count elements of the type fit at the address; the bit offset
    // of the first element in its area on success.
    uint32_t Locate(const Address& address, const TypeInfo& type, uint32_t count, uint64_t& bitOffset) const;

    // Elements in the caller's layout (see BufferBytes); BCD types take and give
    // decimal numbers. Output is written only on success; a write with one bad
    // value writes nothing.
    uint32_t Read(const Address& address, const TypeInfo& type, uint32_t count, void* out) const;
    uint32_t Write(const Address& address, const TypeInfo& type, uint32_t count, const void* in);

private:
    AreaMemory m_areas[kAreaCount];
};

// One element of the type from a real value (rounded and clamped to the type), in
// the caller's layout; used by the value generators. Not for strings.
void ElementFromReal(const TypeInfo& type, double value, void* element);

// Values as text: parse tokens into the caller's layout, or format a buffer.
bool ParseValues(const TypeInfo& type, const std::vector<std::string>& tokens, size_t first,
                 std::vector<uint8_t>& buffer, uint32_t& count, std::string& error);
std::string FormatValues(const TypeInfo& type, const void* buffer, uint32_t count);
} // namespace devlane
