// The fast reader of tag files against the platform's reader: for every
// input, both accept it and build the same tree, or the fast reader leaves it
// to the platform's. Plain inputs must be read fast, or the load slows down.
#include "OpcTagDocument.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <random>
#include <string>

namespace
{
class ComEnvironment : public ::testing::Environment
{
public:
    void SetUp() override { CoInitializeEx(nullptr, COINIT_MULTITHREADED); }
    void TearDown() override { CoUninitialize(); }
};

::testing::Environment* const kComEnvironment = ::testing::AddGlobalTestEnvironment(new ComEnvironment);

// The tree as text: names, attributes in order, nesting.
std::wstring Dump(const COpcTagElement* element)
{
    std::wstring out = L"<";
    out += element->Name();
    // Attribute names are not listed by the element; the test inputs use a, b, c and Name.
    for (const wchar_t* name : {L"Name", L"a", L"b", L"c", L"Enable", L"DataType"})
    {
        if (const wchar_t* value = element->Attribute(name))
            out += std::wstring(L" ") + name + L"=[" + value + L"]";
    }
    out += L" #" + std::to_wstring(element->AttributeCount()) + L">";
    for (const COpcTagElement* child = element->FirstChild(); child != nullptr; child = child->NextSibling())
        out += Dump(child);
    return out + L"</>";
}

struct SOutcome
{
    bool loaded;
    bool fast;
    std::wstring tree;
};

SOutcome Read(const std::string& bytes, COpcTagDocument::Reader reader)
{
    COpcTagDocument document;
    const HRESULT hr = document.LoadBytes(bytes.data(), bytes.size(), reader);
    SOutcome outcome{SUCCEEDED(hr) && document.Root() != nullptr, document.ReadByFastReader(), L""};
    if (outcome.loaded)
        outcome.tree = Dump(document.Root());
    return outcome;
}

enum Expect
{
    Fast,     // read by the fast reader
    Platform, // left to the platform's reader, whatever it makes of it
    Either,   // only the outcome is compared
};

struct SCase
{
    const char* text;
    Expect expect;
};

// The platform's reader refuses a file that ends right after its last markup,
// so the plain cases end in whitespace as files do.
const SCase kCases[] = {
    {"<R/>", Platform},
    {"<R/>\n", Fast},
    {"<R></R>\n", Fast},
    {"<?xml version=\"1.0\"?><R/> ", Fast},
    {"<?xml version='1.0' encoding='UTF-8' standalone='yes'?>\r\n<R a=\"1\"/>\r\n", Fast},
    {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"utf-8\"?><R/>\r\n", Fast},
    {"<!-- c --><R><!-- - in a comment --><T a='x\"y' b=\"x'y\" c=\"a>b\"/>text ] ]> </R><!-- after -->\n", Fast},
    {"<R>\n  <G Name=\"N\" Enable=\"1\">\n    <T Name=\"\" a = \"1\" />\n  </G >\n</R>\n", Fast},
    {"<R a=\"\xC3\xA9\xE6\xB8\xA9\xF0\x9F\x98\x80\"/>\n", Fast},
    {"<R>\xE6\xB8\xA9\xE5\xBA\xA6</R>\n", Fast},
    {"<_x.y-z a.b=\"1\"/>\n", Fast},
    // References, normalised whitespace, other encodings and forms: the platform's.
    {"<R a=\"&amp;&lt;&#65;\"/>", Platform},
    {"<R a=\"x\ty\"/>", Platform},
    {"<R a=\"x\ny\"/>", Platform},
    {"<R>&amp;</R>", Platform},
    {"<R><![CDATA[x]]></R>", Platform},
    {"<?xml version=\"1.0\"?><?pi x?><R/>", Platform},
    {"<!DOCTYPE R [<!ENTITY e \"v\">]><R a=\"&e;\"/>", Platform},
    {"<p:R xmlns:p=\"urn:x\"/>", Platform},
    {"<R xmlns=\"urn:x\" a=\"1\"/>", Platform},
    {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R a=\"\xE9\"/>", Platform},
    {"<?xml version=\"1.1\"?><R/>", Platform},
    {"<R \xC3\xA9=\"1\"/>", Platform},
    // Malformed: the platform's reader refuses them, whatever the fast one thought.
    {"", Platform},
    {"<R>", Platform},
    {"<R a=\"1\" a=\"2\"/>", Platform},
    {"<R a=\"1\"b=\"2\"/>", Platform},
    {"<R></S>", Platform},
    {"<R/><S/>", Platform},
    {"x<R/>", Platform},
    {"<R/>x", Platform},
    {"<R>]]></R>", Platform},
    {"<R><!-- a -- b --></R>", Platform},
    {"<R a=\"<\"/>", Platform},
    {"<R a=1/>", Platform},
    {"< R/>", Platform},
    {"<R/ >", Platform},
    {"<1R/>", Platform},
    {"<R a=\"\xC0\xAF\"/>", Platform},     // overlong
    {"<R a=\"\xED\xA0\x80\"/>", Platform}, // a surrogate
    {"<R a=\"\xEF\xBF\xBF\"/>", Platform}, // U+FFFF
    {"<R a=\"\xE6\xB8\"/>", Platform},     // cut short
    {"<R a=\"\x01\"/>", Platform},         // a control character
    {"<R>\x01</R>", Platform},
    {"<?xml version=\"1.0\"?><?xml version=\"1.0\"?><R/>", Platform},
};

void ExpectSameOutcome(const std::string& bytes, const std::string& label, Expect expect)
{
    const SOutcome any = Read(bytes, COpcTagDocument::Reader::Any);
    const SOutcome platform = Read(bytes, COpcTagDocument::Reader::Platform);
    EXPECT_EQ(platform.loaded, any.loaded) << label;
    EXPECT_TRUE(platform.tree == any.tree) << label;
    if (expect == Fast)
    {
        EXPECT_TRUE(any.fast) << label;
        EXPECT_TRUE(platform.loaded) << label;
    }
    else if (expect == Platform)
    {
        EXPECT_FALSE(any.fast) << label;
    }
}
} // namespace

TEST(TagReaderTest, BothReadersBuildTheSameTreeOrTheFastOneDeclines)
{
    for (const SCase& c : kCases)
        ExpectSameOutcome(c.text, c.text, c.expect);
}

TEST(TagReaderTest, CutAndMutatedFilesGiveTheSameOutcomeWithBothReaders)
{
    const std::string sample =
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<TagConfiguration>\r\n"
        "<!-- plant -->\r\n<Lintor Name=\"N\" Enable=\"1\"><Device Name=\"P\" Enable='1'>"
        "<AnalogTag Name=\"T\xE6\xB8\xA9\" a=\"1\" b=\"x y\" DataType=\"Float\"/>"
        "<DigitalTag Name=\"D\" c=\"\"></DigitalTag></Device></Lintor>\r\n</TagConfiguration>\r\n";
    ExpectSameOutcome(sample, "sample", Fast);
    // Every cut, then seeded single-byte changes to the characters that matter to a reader.
    for (size_t cut = 0; cut < sample.size(); ++cut)
        ExpectSameOutcome(sample.substr(0, cut), "cut at " + std::to_string(cut), Either);
    const char replacements[] = {'<', '>', '/', '"',  '\'', '=', ' ',    '&',    '-',
                                 '!', '?', ':', '\n', '\0', 'x', '\x80', '\xC3', '\xFF'};
    std::mt19937 random(15);
    for (int i = 0; i < 300; ++i)
    {
        std::string mutated = sample;
        const size_t at = random() % mutated.size();
        mutated[at] = replacements[random() % sizeof(replacements)];
        ExpectSameOutcome(mutated, "mutation " + std::to_string(i) + " at " + std::to_string(at), Either);
    }
}
