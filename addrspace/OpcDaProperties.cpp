#include "OpcDaProperties.h"

#include <new>
#include <utility>

namespace
{
const SOpcDaPropertyInfo kProperties[] = {
    {1, VT_I2, L"Item Canonical Data Type", L"キャノニカルデータタイプ"},
    {2, VT_VARIANT, L"Item Value", L"デバイスアイテム値"},
    {3, VT_I2, L"Item Quality", L"アイテム品質"},
    {4, VT_DATE, L"Item Timestamp", L"タイムスタンプ"},
    {5, VT_I4, L"Item Access Rights", L"アクセス権"},
    {6, VT_R4, L"Server Scan Rate", L"スキャンレート"},
    {7, VT_I4, L"Item EU Type", L"計器レンジタイプ"},
    {8, VT_ARRAY | VT_BSTR, L"Item EU Info", L"計器レンジ情報"},
    {100, VT_BSTR, L"EU Units", L"工業単位"},
    {101, VT_BSTR, L"Item Description", L"説明"},
    {102, VT_R8, L"High EU", L"計器レンジ上限"},
    {103, VT_R8, L"Low EU", L"計器レンジ下限"},
    {104, VT_R8, L"High Instrument Range", L"入力レンジ上限"},
    {105, VT_R8, L"Low Instrument Range", L"入力レンジ下限"},
    {106, VT_BSTR, L"Contact Close Label", L"クローズラベル"},
    {107, VT_BSTR, L"Contact Open Label", L"オープンラベル"},
    {108, VT_I4, L"Item Timezone", L"タイムゾーン"},
    {300, VT_BSTR, L"Condition Status", L"Condition Status"},
    {301, VT_BSTR, L"Alarm Quick Help", L"Alarm Quick Help"},
    {302, VT_ARRAY | VT_BSTR, L"Alarm Area List", L"Alarm Area List"},
    {303, VT_BSTR, L"Primary Alarm Area", L"Primary Alarm Area"},
    {304, VT_BSTR, L"Condition Logic", L"Condition Logic"},
    {305, VT_BSTR, L"Limit Exceeded", L"Limit Exceeded"},
    {306, VT_R8, L"Deadband", L"デッドバンド"},
    {307, VT_R8, L"HiHi Limit", L"HiHi Limit"},
    {308, VT_R8, L"Hi Limit", L"Hi Limit"},
    {309, VT_R8, L"Lo Limit", L"Lo Limit"},
    {310, VT_R8, L"LoLo Limit", L"LoLo Limit"},
    {311, VT_R8, L"Rate of Change Limit", L"Rate of Change Limit"},
    {312, VT_R8, L"Deviation Limit", L"Deviation Limit"},
    {313, VT_BSTR, L"Sound File", L"Sound File"},
    {600, VT_BSTR, L"Type System ID", L"Type System ID"},
    {601, VT_BSTR, L"Dictionary ID", L"Dictionary ID"},
    {602, VT_BSTR, L"Type ID", L"Type ID"},
    {603, VT_VARIANT, L"Dictionary", L"Dictionary"},
    {604, VT_VARIANT, L"Type Description", L"Type Description"},
    {605, VT_BSTR, L"Consistency Window", L"Consistency Window"},
    {606, VT_BSTR, L"Write Behavior", L"Write Behavior"},
    {607, VT_BSTR, L"Unconverted Item ID", L"Unconverted Item ID"},
    {608, VT_BSTR, L"Unfiltered Item ID", L"Unfiltered Item ID"},
    {609, VT_BSTR, L"Data Filter Value", L"Data Filter Value"},
    {5000, VT_BSTR, L"NodeName", L"参加局"},
    {5001, VT_BSTR, L"TagName", L"Tag名"},
    {5002, VT_BSTR, L"SheetName", L"シート名"},
    {5003, VT_BSTR, L"SymbolName", L"シンボル名"},
    {5004, VT_BSTR, L"DeviceAddressName", L"デバイス名"},
    {5005, VT_BSTR, L"DataType", L"入力データタイプ"},
    {5006, VT_I4, L"DataCount", L"データ数"},
    {5007, VT_I4, L"DecimalPoint", L"小数点"},
    {5008, VT_BSTR, L"Inverse", L"ステータス反転"},
    {5009, VT_BSTR, L"SignalCondition", L"シグナルコンディション"},
    {5010, VT_BOOL, L"NullTermination", L"Null終端"},
    {5011, VT_BSTR, L"Simulation", L"シミュレーション"},
};
const size_t kPropertyCount = sizeof(kProperties) / sizeof(kProperties[0]);
static_assert(sizeof(kProperties) / sizeof(kProperties[0]) == 53, "property table size");

const LANGID kJapanese = 0x11; // LANG_JAPANESE
} // namespace

const SOpcDaPropertyInfo* OpcDaPropertyTable(size_t& count)
{
    count = kPropertyCount;
    return kProperties;
}

const SOpcDaPropertyInfo* OpcDaFindProperty(DWORD id)
{
    size_t low = 0;
    size_t high = kPropertyCount;
    while (low < high)
    {
        const size_t middle = (low + high) / 2;
        if (kProperties[middle].id == id)
            return &kProperties[middle];
        if (kProperties[middle].id < id)
            low = middle + 1;
        else
            high = middle;
    }
    return nullptr;
}

VARTYPE OpcDaPropertyType(DWORD id)
{
    const SOpcDaPropertyInfo* info = OpcDaFindProperty(id);
    return info != nullptr ? info->type : static_cast<VARTYPE>(VT_EMPTY);
}

const wchar_t* OpcDaPropertyDescription(DWORD id, bool japanese)
{
    const SOpcDaPropertyInfo* info = OpcDaFindProperty(id);
    if (info == nullptr)
        return nullptr;
    return japanese ? info->japanese : info->english;
}

bool OpcDaPropertyLocaleIsJapanese(LCID locale)
{
    if (locale == 0 || locale == LOCALE_SYSTEM_DEFAULT)
        return PRIMARYLANGID(GetSystemDefaultLangID()) == kJapanese;
    return locale == 1041;
}

// --- records ---------------------------------------------------------------------

COpcDaProperty::COpcDaProperty(COpcDaProperty&& other) noexcept
    : id(other.id), itemId(std::move(other.itemId)), description(std::move(other.description)), type(other.type),
      value(other.value), result(other.result)
{
    VariantInit(&other.value);
}

COpcDaProperty& COpcDaProperty::operator=(COpcDaProperty&& other) noexcept
{
    if (this != &other)
    {
        VariantClear(&value);
        id = other.id;
        itemId = std::move(other.itemId);
        description = std::move(other.description);
        type = other.type;
        value = other.value;
        VariantInit(&other.value);
        result = other.result;
    }
    return *this;
}

bool COpcDaPropertyList::SetCount(size_t count)
{
    for (size_t i = 0; i < m_count; ++i)
        m_items[i].~COpcDaProperty();
    CoTaskMemFree(m_items);
    m_items = nullptr;
    m_count = 0;
    if (count == 0)
        return true;
    if (count > SIZE_MAX / sizeof(COpcDaProperty))
        return false;
    auto* items = static_cast<COpcDaProperty*>(CoTaskMemAlloc(count * sizeof(COpcDaProperty)));
    if (items == nullptr)
        return false;
    for (size_t i = 0; i < count; ++i)
        new (&items[i]) COpcDaProperty();
    m_items = items;
    m_count = count;
    return true;
}

bool COpcDaPropertyList::AnyFailed() const noexcept
{
    for (size_t i = 0; i < m_count; ++i)
    {
        if (FAILED(m_items[i].result))
            return true;
    }
    return false;
}
