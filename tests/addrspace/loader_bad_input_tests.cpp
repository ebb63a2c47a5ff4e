// Bad input for the tag loader: random and missing attributes, unknown
// elements, deep nesting, large and broken files. Whatever the file holds,
// the load must not crash, and every tag it refuses must be in the error log.
#include "AddressSpaceFixture.h"

#include <random>
#include <string>
#include <vector>

using namespace addrspace_test;

namespace
{
class LoaderBadInputTest : public AddressSpaceTest
{
protected:
    bool HasRecordFor(const std::wstring& itemId) const
    {
        const std::wstring line = L"ItemID   = " + itemId + L"\r\n";
        for (const std::wstring& r : Records())
        {
            if (r.find(line) != std::wstring::npos)
                return true;
        }
        return false;
    }

    static std::wstring Wide(const std::string& text) { return std::wstring(text.begin(), text.end()); }
};

// Values a careless or hostile file might hold; all plain XML attribute text.
const char* const kJunk[] = {"",
                             " ",
                             "-1",
                             "0",
                             "1",
                             "65536",
                             "1e309",
                             "nan",
                             "inf",
                             "-0",
                             "0x10",
                             "1020",
                             "1021",
                             "abc",
                             "On",
                             "Off",
                             "true",
                             "Bit",
                             "String",
                             "Float",
                             "CSV",
                             "SIN",
                             "Linear",
                             "4BCD",
                             "&amp;&lt;",
                             "12.25",
                             "100.5",
                             "-2147483649",
                             "4294967296",
                             "16Bit(Signed)",
                             "32Bit(BCD)",
                             "8Bit Binary",
                             "\xe6\xb8\xa9\xe5\xba\xa6"};
} // namespace

TEST_F(LoaderBadInputTest, RandomAttributeValuesNeverCrashAndEveryRefusalIsLogged)
{
    for (bool simulation : {true, false})
    {
        FreshSettings();
        if (simulation)
            UseSimulation();
        else
            UseRuntime();
        std::mt19937 random(simulation ? 1234 : 4321);
        std::string body;
        std::vector<std::string> names;
        for (int i = 0; i < 300; ++i)
        {
            const std::string name = "T" + std::to_string(i);
            names.push_back(name);
            Attributes attributes = i % 3 == 0   ? AnalogDefaults("")
                                    : i % 3 == 1 ? DigitalDefaults("")
                                                 : StringDefaults("");
            for (auto& a : attributes)
            {
                if (a.first == "Name")
                {
                    a.second = names.back().c_str();
                }
                else if (a.first == "Enable")
                {
                    a.second = random() % 10 == 0 ? "maybe" : "1"; // never a valid "off": hidden tags log nothing
                }
                else if (random() % 4 == 0)
                {
                    a.second = random() % 8 == 0 ? nullptr : kJunk[random() % (sizeof(kJunk) / sizeof(kJunk[0]))];
                }
            }
            const char* element = i % 3 == 0 ? "AnalogTag" : i % 3 == 1 ? "DigitalTag" : "StringTag";
            body += Element(element, attributes);
        }
        ASSERT_EQ(S_OK, LoadQuietly(body));
        size_t loaded = 0;
        for (const std::string& name : names)
        {
            const std::wstring id = L"N.P." + Wide(name);
            if (Item(id.c_str()) != nullptr)
                ++loaded;
            else
                EXPECT_TRUE(HasRecordFor(id)) << "no record for " << name << (simulation ? " (simulation)" : "");
        }
        // The junk must not be so thick that nothing is left to test.
        EXPECT_GT(loaded, 10u);
        EXPECT_LT(loaded, 290u);
        EXPECT_EQ(loaded, m_cache->ItemCount());
    }
}

TEST_F(LoaderBadInputTest, EachMissingAttributeRefusesTheTagNamingTheAttribute)
{
    UseRuntime();
    struct Kind
    {
        const char* element;
        Attributes defaults;
    } kinds[] = {
        {"AnalogTag", AnalogDefaults("")}, {"DigitalTag", DigitalDefaults("")}, {"StringTag", StringDefaults("")}};
    std::string body;
    std::vector<std::pair<std::wstring, std::wstring>> expected; // item ID, property
    int n = 0;
    std::vector<std::string> names;
    for (const Kind& kind : kinds)
    {
        for (const auto& missing : kind.defaults)
        {
            if (missing.first == "Name")
                continue;
            names.push_back("M" + std::to_string(n++));
            Attributes attributes = With(kind.defaults, {{"Name", names.back().c_str()}, {missing.first, nullptr}});
            body += Element(kind.element, attributes);
            expected.emplace_back(L"N.P." + Wide(names.back()), Wide(missing.first));
        }
    }
    body += Element("AnalogTag", With(AnalogDefaults(""), {{"Name", nullptr}}));
    ASSERT_EQ(S_OK, LoadQuietly(body));
    EXPECT_EQ(0u, m_device->ItemCount());
    for (const auto& e : expected)
        EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, e.first.c_str(), e.second.c_str()))
            << std::string(e.first.begin(), e.first.end()) << " " << std::string(e.second.begin(), e.second.end());
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.", L"Name"));
}

TEST_F(LoaderBadInputTest, UnknownElementsAtEveryLevelAreSkippedAndTheRestLoads)
{
    UseSimulation();
    const std::string junk = Element("Junk", {{"Name", "J"}}, Analog("Inside"));
    ASSERT_EQ(S_OK, LoadFile(Tags(junk + Project() +
                                  Node("N", junk + Device("P", junk + Group("G", junk + Analog("A")) +
                                                                   Element("AnalogTag", AnalogDefaults("B"), junk) +
                                                                   Element("analogtag", AnalogDefaults("C")))))));
    EXPECT_NE(nullptr, Item(L"N.P.G.A"));
    EXPECT_NE(nullptr, Item(L"N.P.B"));
    EXPECT_EQ(nullptr, Item(L"N.P.C")); // names are compared exactly
    EXPECT_EQ(2u, m_device->ItemCount());
    size_t unknown = 0;
    wchar_t ole[32];
    swprintf(ole, 32, L"OLECode  = 0x%8.8x ", static_cast<unsigned>(MapDeviceCode(OPC_DEV_E_ELEMENT)));
    for (const std::wstring& r : Records())
        unknown += r.find(ole) != std::wstring::npos ? 1 : 0;
    EXPECT_EQ(6u, unknown);
}

TEST_F(LoaderBadInputTest, DeepNestingIsRefusedWithoutExhaustingTheStack)
{
    UseSimulation();
    std::string deep = Analog("Bottom");
    for (int i = 0; i < 200; ++i)
        deep = Group(("G" + std::to_string(i)).c_str(), deep);
    const HRESULT hr = Load(deep + Analog("Top"));
    // The reader may refuse so deep a document outright; if it reads it, the
    // walk refuses what lies too deep and keeps the rest.
    if (hr == S_OK)
    {
        EXPECT_NE(nullptr, Item(L"N.P.Top"));
        EXPECT_EQ(1u, m_device->ItemCount());
    }
    else
    {
        EXPECT_EQ(MapDeviceCode(OPC_DEV_E_TAG_FILE), hr);
    }

    // Far deeper than any reader accepts: refused as a file, nothing built.
    Build();
    std::string open;
    std::string close;
    for (int i = 0; i < 100000; ++i)
    {
        open += "<TagGroup Name=\"g\" Enable=\"1\">";
        close += "</TagGroup>";
    }
    EXPECT_EQ(MapDeviceCode(OPC_DEV_E_TAG_FILE), Load(open + close));
    EXPECT_EQ(0u, m_device->ItemCount());
}

TEST_F(LoaderBadInputTest, BrokenFilesFailTheLoadAndBuildNothing)
{
    UseSimulation();
    const std::string good = Tags(Node("N", Device("P", Analog("A"))));
    const std::string cases[] = {
        "",
        good.substr(0, good.size() - 10), // cut short
        std::string("\x00\x01\x02\xff\xfe garbage", 13),
        "<a><b></a></b>",
        good + "<Second/>",
        "plain text",
    };
    for (const std::string& file : cases)
    {
        Build();
        EXPECT_EQ(MapDeviceCode(OPC_DEV_E_TAG_FILE), LoadFile(file)) << file;
        EXPECT_EQ(0u, m_device->ItemCount());
        EXPECT_EQ(0u, m_cache->ItemCount());
    }
    Build();
    EXPECT_EQ(MapDeviceCode(OPC_DEV_E_TAG_FILE),
              m_cache->LoadTagConfiguration(COpcString((m_dir + L"\\missing.xml").c_str())));
    EXPECT_TRUE(Logged(OPC_DEV_E_TAG_FILE, L"", (m_dir + L"\\missing.xml").c_str()));

    // The same document in UTF-16 with a byte-order mark reads as well.
    std::wstring wide(good.begin(), good.end());
    const size_t declaration = wide.find(L"?>");
    wide = L"\xFEFF<?xml version=\"1.0\" encoding=\"utf-16\"?>" + wide.substr(declaration + 2);
    Build();
    ASSERT_EQ(S_OK, LoadFile(std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * 2)));
    EXPECT_NE(nullptr, Item(L"N.P.A"));
}

TEST_F(LoaderBadInputTest, LargeFilesAndHugeValuesLoad)
{
    UseSimulation();
    std::string body;
    for (int i = 0; i < 20000; ++i)
        body += Analog(("T" + std::to_string(i)).c_str());
    const std::string huge(1024 * 1024, 'x');
    body += Analog("Huge", {{"Description", huge.c_str()}});
    ASSERT_EQ(S_OK, Load(body));
    EXPECT_EQ(20000u, m_device->ItemCount());
    EXPECT_EQ(20000u, m_cache->ItemCount());
    EXPECT_TRUE(Logged(OPC_DEV_E_ATTRIBUTE, L"N.P.Huge", L"Description"));
}

TEST_F(LoaderBadInputTest, TheDocumentKeepsTextWholeAcrossReadPiecesAndRefusesExcessiveDepth)
{
    // Several hundred kilobytes of three-byte characters, so that some of
    // them straddle the pieces the file is read in.
    const std::string word = "\xe6\xb8\xa9\xe5\xba\xa6\xc2\xb0"; // two CJK characters and a degree sign
    const std::wstring wideWord = L"\x6e29\x5ea6\x00b0";
    std::string body;
    const int count = 9000;
    for (int i = 0; i < count; ++i)
    {
        std::string text;
        for (int k = 0; k <= i % 23; ++k)
            text += word;
        body += "<T N=\"" + std::to_string(i) + "\" D=\"" + text + "\"/>";
    }
    COpcTagDocument document;
    ASSERT_EQ(S_OK, document.Load(COpcString(WriteFile(L"Wide.xml", "<R>" + body + "</R>").c_str())));
    int seen = 0;
    for (const COpcTagElement* e = document.Root()->FirstChild(); e != nullptr; e = e->NextSibling(), ++seen)
    {
        std::wstring expected;
        for (int k = 0; k <= seen % 23; ++k)
            expected += wideWord;
        ASSERT_STREQ(expected.c_str(), e->Attribute(L"D")) << seen;
    }
    EXPECT_EQ(count, seen);

    // The limit on nesting holds however the file is read.
    auto nested = [](size_t depth)
    {
        std::string open;
        std::string close;
        for (size_t i = 0; i < depth; ++i)
        {
            open += "<g>";
            close += "</g>";
        }
        return open + close;
    };
    EXPECT_EQ(S_OK, document.Load(COpcString(WriteFile(L"Deep.xml", nested(COpcTagDocument::MaxDepth)).c_str())));
    EXPECT_EQ(COpcTagDocument::MaxDepth, document.ElementCount());
    EXPECT_TRUE(
        FAILED(document.Load(COpcString(WriteFile(L"Deeper.xml", nested(COpcTagDocument::MaxDepth + 1)).c_str()))));
    EXPECT_EQ(nullptr, document.Root());
}
