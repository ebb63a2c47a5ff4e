#include "AddressSpaceFixture.h"

#include "OpcVariant.h"

#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

using namespace addrspace_test;

namespace
{
class TagLoaderTest : public AddressSpaceTest
{
protected:
    VARTYPE CanonicalType(const wchar_t* itemId)
    {
        COpcVariant value;
        if (Item(itemId) == nullptr || Item(itemId)->GetPropertyValue(OPC_DA_PROP_CDT, value.Get()) != S_OK)
            return VT_ILLEGAL;
        return static_cast<VARTYPE>(value->iVal);
    }

    // "NAME period= started= records= reserved=" lines of the runtime's caches.
    static std::string Caches()
    {
        char reply[8192] = {};
        DevlaneControlCommand("caches", reply, sizeof(reply));
        return reply;
    }
};
} // namespace

TEST_F(TagLoaderTest, ASecondTagWithTheSameItemIdIsSkippedAndLogged)
{
    UseSimulation();
    ASSERT_EQ(S_OK, Load(Analog("T", {{"DeviceAddress", "D1"}}) + Analog("T", {{"DeviceAddress", "D2"}})));
    EXPECT_EQ(1u, m_device->ItemCount());
    ASSERT_NE(nullptr, Item(L"N.P.T"));
    EXPECT_TRUE(Item(L"N.P.T")->DeviceAddress().Equals(L"D1"));
    EXPECT_TRUE(Logged(OPC_DEV_E_DUPLICATE, L"N.P.T", L"Name"));
    EXPECT_TRUE(m_cache->ValidateItemID(COpcString(L"N.P.T")));
}

TEST_F(TagLoaderTest, DisabledGroupsHideTheirTagsAndTheFlagCarriesOverToFollowingSiblings)
{
    UseSimulation();
    ASSERT_EQ(S_OK, Load(Group("Off", Analog("A"), "0") + // hidden by its group
                         Analog("B") +                    // still sees the cleared group flag
                         Group("On", Analog("C")) +       // a group sets it again
                         Analog("D") +                    // and so for the sibling after it
                         Group("Outer", Group("Sub", Analog("E"), "false") + Analog("F"))));
    EXPECT_EQ(nullptr, Item(L"N.P.Off.A"));
    EXPECT_EQ(nullptr, Item(L"N.P.B"));
    EXPECT_NE(nullptr, Item(L"N.P.On.C"));
    EXPECT_NE(nullptr, Item(L"N.P.D"));
    EXPECT_EQ(nullptr, Item(L"N.P.Outer.Sub.E"));
    EXPECT_NE(nullptr, Item(L"N.P.Outer.F")); // the subgroup flag is set again after a nested group
    EXPECT_EQ(3u, m_device->ItemCount());

    // Disabled nodes and devices hide everything below them.
    Build();
    ASSERT_EQ(S_OK, LoadFile(Tags(Node("N", Device("P", Analog("A"), "0") + Device("Q", Analog("B"))) +
                                  Element("Lintor", {{"Name", "M"}, {"Enable", "0"}}, Device("P", Analog("C"))))));
    EXPECT_EQ(nullptr, Item(L"N.P.A"));
    EXPECT_NE(nullptr, Item(L"N.Q.B"));
    EXPECT_EQ(nullptr, Item(L"M.P.C"));
}

TEST_F(TagLoaderTest, AThirdGroupLevelReusesTheSubgroupSlot)
{
    UseSimulation();
    // G3 takes the subgroup slot of G2, so G2's disabled flag no longer hides T.
    ASSERT_EQ(S_OK, Load(Group("G1", Group("G2", Group("G3", Analog("T") + Analog("x.y")), "0"))));
    EXPECT_NE(nullptr, Item(L"N.P.G1.G2.G3.T"));
    // A refusal names the load context: node, device, group, and the subgroup now held by G3.
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.G1.G3.x.y", L"Name"));
    EXPECT_TRUE(Records().front().find(L"API      = COpcDaDevice::Read") != std::wstring::npos);
    // An item's own refusal names the item ID.
    Build();
    ASSERT_EQ(S_OK, Load(Group("G1", Analog("Bad", {{"DataType", "Real"}}))));
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.G1.Bad", L"DataType"));
    EXPECT_TRUE(Records().front().find(L"API      = COpcDaDeviceItem::Read") != std::wstring::npos);
}

TEST_F(TagLoaderTest, TagsShareACacheByDeviceAndScanPeriodAndNamesInUseAreSkipped)
{
    UseRuntime();
    char reply[256];
    ASSERT_EQ(0, DevlaneControlCommand("cache reserve #OPC_DeviceCache_0_1000_0 1000", reply, sizeof(reply)));
    ASSERT_EQ(S_OK, LoadFile(Tags(Project() + Node("N", Device("P", Analog("A", {{"DeviceAddress", "D0"}}) +
                                                                        Analog("B", {{"DeviceAddress", "D1"}}) +
                                                                        Analog("C", {{"ScanCycle", "5"}})) +
                                                            Device("Q", Analog("D"))))));
    ASSERT_EQ(3u, m_device->CacheCount());
    COpcDaDevicePoller* shared = m_device->PollerFor(COpcString(L"#OPC_DeviceCache_0_1000_1"));
    ASSERT_NE(nullptr, shared);
    EXPECT_EQ(2u, shared->ItemCount());
    EXPECT_EQ(1000u, shared->ScanPeriod());
    EXPECT_NE(nullptr, m_device->PollerFor(COpcString(L"#OPC_DeviceCache_0_500_0")));
    EXPECT_NE(nullptr, m_device->PollerFor(COpcString(L"#OPC_DeviceCache_1_1000_0")));
    uint32_t number = 99;
    EXPECT_TRUE(m_device->DeviceNumber(COpcString(L"N.Q"), number));
    EXPECT_EQ(1u, number);
    // Every cache was started after the walk.
    const std::string caches = Caches();
    EXPECT_NE(std::string::npos, caches.find("\"#OPC_DeviceCache_0_1000_1\" period=1000 started=1 records=2"));
    EXPECT_NE(std::string::npos, caches.find("\"#OPC_DeviceCache_0_500_0\" period=500 started=1 records=1"));
    EXPECT_EQ(500u, m_settings->baseTick);
}

TEST_F(TagLoaderTest, ATagWhoseCacheCannotBeMadeIsDiscardedNotFiledUnderAnother)
{
    UseRuntime();
    ASSERT_EQ(0, DevlaneControlInjectFailure("LT_CreateCacheM", static_cast<LONG>(0xC0B00010), 1, nullptr));
    ASSERT_EQ(S_OK, Load(Analog("A", {{"ScanCycle", "5"}}) + Analog("B")));
    EXPECT_EQ(nullptr, Item(L"N.P.A"));
    ASSERT_NE(nullptr, Item(L"N.P.B"));
    ASSERT_EQ(1u, m_device->CacheCount());
    EXPECT_EQ(1u, m_device->PollerAt(0)->ItemCount());
}

TEST_F(TagLoaderTest, AThousandCacheNamesInUseRefuseTheTag)
{
    UseRuntime();
    char reply[256];
    for (int serial = 0; serial < 1000; ++serial)
    {
        std::string command = "cache reserve #OPC_DeviceCache_0_1000_" + std::to_string(serial) + " 1000";
        ASSERT_EQ(0, DevlaneControlCommand(command.c_str(), reply, sizeof(reply)));
    }
    ASSERT_EQ(S_OK, Load(Analog("A") + Analog("B", {{"ScanCycle", "5"}})));
    EXPECT_EQ(nullptr, Item(L"N.P.A"));
    EXPECT_NE(nullptr, Item(L"N.P.B"));
    EXPECT_TRUE(Logged(OPC_DEV_E_CACHE_SERIALS, L"N.P.A", L"ScanCycle"));
    EXPECT_EQ(1000 + 1, DevlaneControlCallCount("LT_CreateCacheM"));
}

TEST_F(TagLoaderTest, DataCountAndTheCanonicalTypes)
{
    UseSimulation();
    ASSERT_EQ(S_OK, Load(Analog("Big", {{"DataCount", "1021"}}) + Analog("Max", {{"DataCount", "1020"}}) +
                         Analog("Pair", {{"DataType", "Float"},
                                         {"DataCount", "2"},
                                         {"HighInstrumentRange", "100"},
                                         {"LowInstrumentRange", "0"}}) +
                         Text("Word", {{"DataCount", "8"}}) + Digital("Bits", {{"DataCount", "3"}})));
    EXPECT_EQ(nullptr, Item(L"N.P.Big"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.Big", L"DataCount"));
    EXPECT_EQ(VT_ARRAY | VT_I2, CanonicalType(L"N.P.Max"));
    EXPECT_EQ(VT_ARRAY | VT_R4, CanonicalType(L"N.P.Pair"));
    EXPECT_EQ(VT_BSTR, CanonicalType(L"N.P.Word"));
    EXPECT_EQ(VT_ARRAY | VT_BOOL, CanonicalType(L"N.P.Bits"));
    COpcVariant pair;
    ASSERT_EQ(S_OK, ReadValue(L"N.P.Pair", pair));
    ASSERT_EQ(VT_ARRAY | VT_R4, pair->vt);
    EXPECT_EQ(2u, pair->parray->rgsabound[0].cElements);
}

TEST_F(TagLoaderTest, TagNamesAreLimitedToFortyCharactersWithoutInnerDots)
{
    UseSimulation();
    const std::string forty(40, 'x');
    const std::string fortyOne(41, 'y');
    ASSERT_EQ(S_OK,
              Load(Analog(forty.c_str()) + Analog(fortyOne.c_str()) + Analog("a.b") + Analog(".lead") + Analog("")));
    EXPECT_NE(nullptr, Item((L"N.P." + std::wstring(40, L'x')).c_str()));
    EXPECT_EQ(nullptr, Item((L"N.P." + std::wstring(41, L'y')).c_str()));
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, (L"N.P." + std::wstring(41, L'y')).c_str(), L"Name"));
    EXPECT_EQ(nullptr, Item(L"N.P.a.b"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.a.b", L"Name"));
    EXPECT_NE(nullptr, Item(L"N.P..lead")); // a leading dot is allowed
    EXPECT_EQ(2u, m_device->ItemCount());
    // Nodes and devices are refused the same way; their tags are not walked.
    Build();
    ASSERT_EQ(S_OK, LoadFile(Tags(Node("N.1", Device("P", Analog("A"))) + Node("N", Device("", Analog("B"))))));
    EXPECT_EQ(0u, m_device->ItemCount());
}

TEST_F(TagLoaderTest, WithSimulationOnNoLibraryCallIsMade)
{
    UseSimulation();
    const std::string sheet = Element("SymbolSheet", {{"Name", "S"}, {"Enable", "1"}},
                                      Element("TagGroup", {{"Name", "G"}, {"SymbolName", "G"}, {"Enable", "1"}},
                                              Analog("Speed", {{"SymbolName", "Speed"}, {"ScanCycle", nullptr}})));
    // No project record needed either: the project is checked only against a runtime.
    ASSERT_EQ(S_OK, LoadFile(Tags(Node("N", Device("P", Analog("A", {{"ScanCycle", "12345"}}) + sheet)))));
    EXPECT_NE(nullptr, Item(L"N.P.A"));
    ASSERT_NE(nullptr, Item(L"N.P.S.G.Speed"));
    EXPECT_TRUE(Item(L"N.P.S.G.Speed")->AccessPath().Equals(L"S.G.Speed"));
    EXPECT_EQ(1000u, Item(L"N.P.A")->ScanPeriod()); // the simulation interval
    for (const char* function : {"LT_CreateCacheM", "LT_EntryCacheRecordM", "LT_StartCacheM", "GetSymbolInformation",
                                 "GetLintorLoadedRXPPathW", "ReadDevice16M"})
        EXPECT_EQ(0, DevlaneControlCallCount(function)) << function;
    uint32_t number = 0;
    EXPECT_FALSE(m_device->DeviceNumber(COpcString(L"N.P"), number));
    EXPECT_EQ(0u, m_device->CacheCount());
}

TEST_F(TagLoaderTest, SymbolSheetTagsMustMatchTheRuntimesSymbol)
{
    UseRuntime();
    auto sheet = [](const std::string& body)
    {
        return Element("SymbolSheet", {{"Name", "S"}, {"Enable", "1"}},
                       Element("TagGroup", {{"Name", "Grp"}, {"SymbolName", "G"}, {"Enable", "1"}}, body));
    };
    ASSERT_EQ(S_OK, Load(sheet(Analog("Speed", {{"SymbolName", "Speed"}, {"DeviceAddress", "D100"}}) +
                               Analog("Wrong", {{"SymbolName", "Speed"}, {"DeviceAddress", "D101"}}) +
                               Analog("Rates", {{"SymbolName", "Rates"},
                                                {"DeviceAddress", "D110"},
                                                {"DataType", "Float"},
                                                {"HighInstrumentRange", "100"},
                                                {"LowInstrumentRange", "0"}}) +
                               Analog("Missing", {{"SymbolName", "Nothing"}}))));
    ASSERT_NE(nullptr, Item(L"N.P.S.Grp.Speed"));
    EXPECT_TRUE(Item(L"N.P.S.Grp.Speed")->AccessPath().Equals(L"S.G.Speed"));
    EXPECT_EQ(nullptr, Item(L"N.P.S.Grp.Wrong"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.S.G.Wrong", L"DeviceAddress"));
    EXPECT_EQ(nullptr, Item(L"N.P.S.Grp.Rates")); // the symbol holds 2 values, the tag 1
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.S.G.Rates", L"DataCount"));
    EXPECT_EQ(nullptr, Item(L"N.P.S.Grp.Missing"));
    // Symbol records go to the runtime without type and count.
    EXPECT_NE(std::string::npos, Caches().find("records=1"));
}

TEST_F(TagLoaderTest, ScanCyclesMustBeConfiguredAndZeroMakesAWriteOnlyTagWithoutACache)
{
    UseRuntime();
    ASSERT_EQ(S_OK, Load(Analog("Fast", {{"ScanCycle", "1"}}) + Analog("Odd", {{"ScanCycle", "3"}}) +
                         Analog("Never", {{"ScanCycle", "0"}, {"DeviceAddress", "D5"}})));
    EXPECT_NE(nullptr, Item(L"N.P.Fast"));
    EXPECT_EQ(nullptr, Item(L"N.P.Odd"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.Odd", L"ScanCycle"));
    ASSERT_NE(nullptr, Item(L"N.P.Never"));
    EXPECT_EQ(1u, m_device->CacheCount());
    COpcVariant rights;
    ASSERT_EQ(S_OK, Item(L"N.P.Never")->GetPropertyValue(OPC_DA_PROP_RIGHTS, rights.Get()));
    EXPECT_EQ(2, rights->lVal);
    EXPECT_EQ(100u, m_settings->baseTick);
}

TEST_F(TagLoaderTest, UnknownElementsAreLoggedAndTheirSiblingsLoad)
{
    UseSimulation();
    ASSERT_EQ(S_OK, LoadFile(Tags(Element("Comment", {}) +
                                  Node("N", Device("P", Element("Tag", {{"Name", "X"}}) + Analog("A") +
                                                            Element("RXIInformation", {}) + Analog("B"))))));
    EXPECT_NE(nullptr, Item(L"N.P.A"));
    EXPECT_NE(nullptr, Item(L"N.P.B"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ELEMENT, L"", L"Comment"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ELEMENT, L"N.P", L"Tag"));
    EXPECT_TRUE(Logged(OPC_DEV_E_ELEMENT, L"N.P.A", L"RXIInformation"));
    // Every node name is a node.
    Build();
    ASSERT_EQ(S_OK, LoadFile(Tags(Node("A", Device("P", Analog("T")), "Calder") +
                                  Node("B", Device("P", Analog("T")), "Brindle") +
                                  Node("C", Device("P", Analog("T")), "Osprel"))));
    EXPECT_EQ(3u, m_device->ItemCount());
}

TEST_F(TagLoaderTest, TheProjectCheckFailsInitialisationWithNoConfig)
{
    const std::string config = "<OpcConfiguration><OutputLogDisable>0</OutputLogDisable>"
                               "<Simulation Enabled=\"0\" Interval=\"1000\" File=\"x.csv\"/>"
                               "<TagConfiguration File=\"" +
                               std::string(COpcString((m_dir + L"\\Tags.xml").c_str()).NarrowText()) +
                               "\"/><ScanCycles>" +
                               []
    {
        std::string s;
        for (int i = 1; i <= 10; ++i)
            s += "<ScanCycle>" + std::to_string(i) + "</ScanCycle>";
        return s;
    }() + "</ScanCycles></OpcConfiguration>";
    const std::wstring configPath = WriteFile(L"OpcConfiguration.xml", config);
    const std::string body = Node("N", Device("P", Analog("A")));
    struct Case
    {
        std::string file;
        HRESULT expected;
    } cases[] = {
        {Tags(body), MapDeviceCode(OPC_DEV_E_PROJECT)},                            // no project record
        {Tags(Project("Test.rxp", "8") + body), MapDeviceCode(OPC_DEV_E_PROJECT)}, // other build
        {Tags(Project("Other.rxp") + body), MapDeviceCode(OPC_DEV_E_PROJECT)},     // other project
        {Tags(Element("RXIInformation", {{"BuiledNumber", "7"}}) + body), MapDeviceCode(OPC_DEV_E_PROJECT)},
        {Tags(body + Project()), MapDeviceCode(OPC_DEV_E_PROJECT)},     // not the first child
        {Tags(Project("TEST.RXP") + body), S_OK},                       // case is ignored
        {Tags(Project("C:\\Lintor\\Projects\\Test.rxp") + body), S_OK}, // the whole path too
        {Tags(""), S_OK},                                               // nothing at all
        {"<Broken", MapDeviceCode(OPC_DEV_E_TAG_FILE)},
    };
    for (const Case& c : cases)
    {
        // Initialize reads the settings afresh from the file.
        FreshSettings();
        ASSERT_EQ(0, DevlaneControlLoadDescriptionText(kRuntime));
        Build();
        m_cache->SetConfigurationPath(COpcString(configPath.c_str()));
        WriteFile(L"Tags.xml", c.file);
        EXPECT_EQ(c.expected, m_cache->Initialize()) << c.file;
        EXPECT_EQ(c.expected == S_OK ? OPC_STATUS_RUNNING : OPC_STATUS_NOCONFIG, m_cache->GetState()) << c.file;
        if (c.expected == MapDeviceCode(OPC_DEV_E_PROJECT))
        {
            EXPECT_EQ(nullptr, Item(L"N.P.A"));
            EXPECT_NE(std::wstring::npos, Records().front().find(L"API      = Load_TagCnfFile"));
        }
        m_cache->Uninitialize();
        EXPECT_EQ(OPC_STATUS_SUSPENDED, m_cache->GetState());
    }
}

TEST_F(TagLoaderTest, DecimalAttributesReadToTheSameDoubleAsTheCLibraryGives)
{
    // Plain decimals take a short way; it must give the bits the general rule
    // gives, at every length up to where the short way gives up.
    std::vector<std::string> texts = {"0.5",
                                      "0.1",
                                      "0.3",
                                      "2.675",
                                      "1.005",
                                      "100",
                                      "99.99",
                                      "1.",
                                      "+2.5",
                                      "0.000001",
                                      "123456789012.345",
                                      "9007199254740.993",
                                      "4503599627370.4965",
                                      "1e2",
                                      "12345678901234.56"};
    std::mt19937 random(7);
    for (int i = 0; i < 200; ++i)
    {
        const int digits = 1 + static_cast<int>(random() % 15);
        std::string number;
        for (int d = 0; d < digits; ++d)
            number += static_cast<char>('0' + random() % 10);
        const size_t point = random() % number.size();
        texts.push_back(number.substr(0, point + 1) +
                        (point + 1 < number.size() ? "." + number.substr(point + 1) : ""));
    }
    UseSimulation();
    std::string body;
    for (size_t i = 0; i < texts.size(); ++i)
        body += Analog(("T" + std::to_string(i)).c_str(), {{"HighEU", texts[i].c_str()}, {"LowEU", "-1"}});
    ASSERT_EQ(S_OK, Load(body));
    for (size_t i = 0; i < texts.size(); ++i)
    {
        const std::wstring id = L"N.P.T" + std::to_wstring(i);
        const std::wstring wide(texts[i].begin(), texts[i].end());
        const double expected = wcstod(wide.c_str(), nullptr);
        COpcVariant value;
        ASSERT_NE(nullptr, Item(id.c_str())) << texts[i];
        ASSERT_EQ(S_OK, Item(id.c_str())->GetPropertyValue(OPC_PROPERTY_HIGH_EU, value.Get())) << texts[i];
        ASSERT_EQ(VT_R8, value->vt) << texts[i];
        EXPECT_EQ(0, memcmp(&expected, &value->dblVal, sizeof(double))) << texts[i];
    }
}
