#include "OpcDeviceCodes.h"

#include <array>
#include <cstdint>

namespace
{
struct CodePair
{
    uint32_t code;
    uint32_t hr;
};

constexpr size_t TableSize = 370;

struct Table
{
    std::array<CodePair, TableSize> pairs{};
    size_t count = 0;

    constexpr void Range(uint32_t first, uint32_t last, uint32_t hrBase)
    {
        for (uint32_t c = first; c <= last; ++c)
            pairs[count++] = CodePair{c, hrBase + (c - first)};
    }
    constexpr void One(uint32_t code, uint32_t hr) { pairs[count++] = CodePair{code, hr}; }
};

constexpr Table MakeTable()
{
    Table t;
    // Library codes keep their low 12 bits in facility 4's 0x8000 range.
    t.Range(0xC0B00000, 0xC0B0003F, 0xC0048000);
    t.Range(0xC0B00060, 0xC0B000AF, 0xC0048060);
    t.Range(0xC0B000E0, 0xC0B000EF, 0xC00480E0);
    t.Range(0xC0B00200, 0xC0B0020D, 0xC0048200);
    t.Range(0xC0B0020F, 0xC0B002A8, 0xC004820F);
    // The server's own codes become standard and OPC codes.
    t.One(0xC0B00701, 0x80004001); // E_NOTIMPL
    t.One(0xC0B00702, 0x80004002); // E_NOINTERFACE
    t.One(0xC0B00703, 0x80004003); // E_POINTER
    t.One(0xC0B00704, 0x80004005); // E_FAIL
    t.One(0xC0B00705, 0x8007000E); // E_OUTOFMEMORY
    t.One(0xC0B00706, 0x80070057); // E_INVALIDARG
    t.One(0xC0B00707, 0x80040200); // CONNECT_E_NOCONNECTION
    t.One(0xC0B00708, 0x80040201); // CONNECT_E_ADVISELIMIT
    t.One(0xC0B00710, 0xC0040001); // OPC_E_INVALIDHANDLE
    t.One(0xC0B00711, 0xC0040004); // OPC_E_BADTYPE
    t.One(0xC0B00712, 0xC0040005); // OPC_E_PUBLIC
    t.One(0xC0B00713, 0xC0040006); // OPC_E_BADRIGHTS
    t.One(0xC0B00714, 0xC0040007); // OPC_E_UNKNOWNITEMID
    t.One(0xC0B00715, 0xC0040008); // OPC_E_INVALIDITEMID
    t.One(0xC0B00716, 0xC0040009); // OPC_E_INVALIDFILTER
    t.One(0xC0B00717, 0xC004000A); // OPC_E_UNKNOWNPATH
    t.One(0xC0B00718, 0xC004000B); // OPC_E_RANGE
    t.One(0xC0B00719, 0xC004000C); // OPC_E_DUPLICATENAME
    t.One(0xC0B0071A, 0xC0040010); // OPC_E_INVALIDCONFIGFILE
    t.One(0xC0B0071B, 0xC0040011); // OPC_E_NOTFOUND
    t.One(0xC0B0071C, 0xC0040203); // OPC_E_INVALID_PID
    t.One(0xC0B0071D, 0xC0040400); // OPC_E_DEADBANDNOTSET
    t.One(0xC0B0071E, 0xC0040401); // OPC_E_DEADBANDNOTSUPPORTED
    t.One(0xC0B0071F, 0xC0040402); // OPC_E_NOBUFFERING
    t.One(0xC0B00720, 0xC0040403); // OPC_E_INVALIDCONTINUATIONPOINT
    t.One(0xC0B00721, 0xC0040404); // OPC_E_WRITEONLY
    t.One(0xC0B00722, 0xC0040405); // OPC_E_READONLY
    t.One(0xC0B00723, 0xC0040406); // OPC_E_TYPECHANGED
    t.Range(0xC0B00730, 0xC0B0073D, 0xC0049000);
    return t;
}

constexpr Table Codes = MakeTable();
static_assert(Codes.count == TableSize, "every pair of the table is present");

// Codes are ordered by the sign of their wrapped difference; the table spans
// so few values that this orders every code consistently against it.
constexpr int Order(uint32_t a, uint32_t b)
{
    int32_t d = static_cast<int32_t>(a - b);
    return d < 0 ? -1 : (d > 0 ? 1 : 0);
}
} // namespace

HRESULT MapDeviceCode(LONG code, bool* known) noexcept
{
    if (known != nullptr)
        *known = true;
    if (code == 0)
        return S_OK;
    // Every other result of a library call is a failure. A code the table
    // lacks, positive values among them, must not pass as success: the caller
    // would then use an output the library never filled.
    uint32_t c = static_cast<uint32_t>(code);
    size_t lo = 0;
    size_t hi = Codes.count;
    while (lo < hi)
    {
        size_t mid = lo + (hi - lo) / 2;
        int o = Order(c, Codes.pairs[mid].code);
        if (o == 0)
            return static_cast<HRESULT>(Codes.pairs[mid].hr);
        if (o < 0)
            hi = mid;
        else
            lo = mid + 1;
    }
    if (known != nullptr)
        *known = false;
    return KESTRIX_E_DEVICE_FAILURE;
}

unsigned DeviceCodeTableSize() noexcept
{
    return static_cast<unsigned>(Codes.count);
}
