#include "OpcXml.h"

#include "OpcApartment.h"

#include <gtest/gtest.h>
#include <objbase.h>

#include <cstdio>
#include <string>
#include <vector>

namespace
{
const wchar_t kSchemaNs[] = L"http://www.w3.org/2001/XMLSchema";
const wchar_t kInstanceNs[] = L"http://www.w3.org/2001/XMLSchema-instance";

std::wstring W(const COpcString& s)
{
    return s.IsEmpty() ? std::wstring() : std::wstring(s.Text(), s.Length());
}

// List entries by position, for checking document order.
template <typename T>
std::vector<T> Items(const COpcList<T>& list)
{
    std::vector<T> items;
    for (const T& item : list)
        items.push_back(item);
    return items;
}

// A private folder under the temp directory, removed with its files at the end.
class TempFolder
{
public:
    TempFolder()
    {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        wchar_t name[MAX_PATH];
        GetTempFileNameW(base, L"xml", 0, name);
        DeleteFileW(name);
        CreateDirectoryW(name, nullptr);
        m_path = name;
    }
    ~TempFolder()
    {
        for (const std::wstring& file : m_files)
            DeleteFileW(file.c_str());
        RemoveDirectoryW(m_path.c_str());
    }
    std::wstring File(const wchar_t* name)
    {
        m_files.push_back(m_path + L"\\" + name);
        return m_files.back();
    }
    std::wstring Write(const wchar_t* name, const std::string& bytes)
    {
        std::wstring path = File(name);
        FILE* f = _wfopen(path.c_str(), L"wb");
        if (f != nullptr)
        {
            fwrite(bytes.data(), 1, bytes.size(), f);
            fclose(f);
        }
        return path;
    }

private:
    std::wstring m_path;
    std::vector<std::wstring> m_files;
};

std::string ReadBytes(const std::wstring& path)
{
    std::string bytes;
    FILE* f = _wfopen(path.c_str(), L"rb");
    if (f == nullptr)
        return bytes;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, n);
    fclose(f);
    return bytes;
}

class OpcXml : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(m_com.Result())); }

    COpcApartment m_com;

    COpcXmlElement Parse(COpcXmlDocument& document, const wchar_t* text)
    {
        EXPECT_TRUE(document.LoadXml(COpcString(text))) << text;
        return document.DocumentElement();
    }
};
} // namespace

TEST_F(OpcXml, ChildMatchesTheExactNodeNameOnly)
{
    COpcXmlDocument document;
    COpcXmlElement root =
        Parse(document, L"<Root><!--note-->text<simulation Enabled='a'/>"
                        L"<x:Simulation xmlns:x='urn:x' Enabled='b'/><Simulation Enabled='c'/></Root>");
    COpcXmlElement child = root.Child(COpcString(L"Simulation"));
    ASSERT_FALSE(child.IsNull());
    EXPECT_EQ(L"c", W(child.Attribute(COpcString(L"Enabled")).Value()));
    EXPECT_EQ(L"b", W(root.Child(COpcString(L"x:Simulation")).Attribute(COpcString(L"Enabled")).Text()));

    COpcXmlDocument other;
    COpcXmlElement only = Parse(other, L"<Root><simulation/><x:Simulation xmlns:x='urn:x'/></Root>");
    EXPECT_TRUE(only.Child(COpcString(L"Simulation")).IsNull());

    COpcXmlElementList list;
    EXPECT_EQ(3u, root.Children(list));
    std::vector<COpcXmlElement> children = Items(list);
    EXPECT_EQ(L"simulation", W(children[0].Name()));
    EXPECT_EQ(L"x:Simulation", W(children[1].Name()));
    EXPECT_EQ(L"x", W(children[1].Prefix()));
}

TEST_F(OpcXml, MissingAttributesAndNullWrappersGiveEmptyResults)
{
    COpcXmlDocument document;
    COpcXmlElement root = Parse(document, L"<Root A='1' B='two'/>");
    COpcXmlAttribute missing = root.Attribute(COpcString(L"Missing"));
    EXPECT_TRUE(missing.IsNull());
    EXPECT_TRUE(missing.Text().IsEmpty());
    EXPECT_TRUE(missing.Value().IsEmpty());
    EXPECT_TRUE(root.Attribute(COpcString(L"a")).IsNull()); // names are case-sensitive

    COpcXmlAttributeList list;
    ASSERT_EQ(4u, root.Attributes(list)); // A, B and the two schema declarations
    std::vector<COpcXmlAttribute> attributes = Items(list);
    EXPECT_EQ(L"A", W(attributes[0].Name()));
    EXPECT_EQ(L"two", W(attributes[1].Value()));

    COpcXmlElement null;
    bool flag = true;
    EXPECT_TRUE(null.Name().IsEmpty());
    EXPECT_TRUE(null.Namespace().IsEmpty());
    EXPECT_TRUE(null.Child(COpcString(L"A")).IsNull());
    EXPECT_TRUE(null.Attribute(COpcString(L"A")).Text().IsEmpty());
    EXPECT_FALSE(null.TextAsBoolean(flag));
    EXPECT_TRUE(null.AddChild(COpcString(L"A"), COpcString(L"urn:a")).IsNull());
    EXPECT_EQ(E_POINTER, null.InsertFirst(root));
    COpcXmlElementList children;
    children.AddTail(root);
    EXPECT_EQ(0u, null.Children(children));
    EXPECT_TRUE(children.IsEmpty());

    COpcXmlDocument empty;
    COpcString xml(L"stale");
    EXPECT_TRUE(empty.DocumentElement().IsNull());
    EXPECT_FALSE(empty.Xml(xml));
    EXPECT_FALSE(empty.Save());
    EXPECT_FALSE(empty.DeclareNamespace(COpcString(L"p"), COpcString(L"urn:p")));
}

TEST_F(OpcXml, TextAsBooleanUsesTheBooleanRule)
{
    COpcXmlDocument document;
    COpcXmlElement root = Parse(document, L"<R><A>TRUE</A><B>0</B><C>yes</C><D>1.0</D></R>");
    bool value = false;
    EXPECT_TRUE(root.Child(COpcString(L"A")).TextAsBoolean(value));
    EXPECT_TRUE(value);
    EXPECT_TRUE(root.Child(COpcString(L"B")).TextAsBoolean(value));
    EXPECT_FALSE(value);
    value = true;
    EXPECT_FALSE(root.Child(COpcString(L"C")).TextAsBoolean(value));
    EXPECT_FALSE(root.Child(COpcString(L"D")).TextAsBoolean(value));
    EXPECT_TRUE(value);
}

TEST_F(OpcXml, LoadOfMissingMalformedOrForeignFilesFailsWithTheLoadCode)
{
    TempFolder folder;
    COpcXmlDocument document;
    EXPECT_EQ(OPC_DEV_E_XML_PARSE, document.Load(COpcString(folder.File(L"absent.xml").c_str())));
    EXPECT_EQ(OPC_DEV_E_XML_PARSE, document.Load(COpcString(folder.Write(L"bad.xml", "<Root><Open></Root>").c_str())));
    EXPECT_EQ(OPC_DEV_E_XML_PARSE, document.Load(COpcString(folder.Write(L"empty.xml", "").c_str())));
    std::string binary("MZ\x90\0\x03\0\0\0\xff\xfe\0\x01<", 13);
    EXPECT_EQ(OPC_DEV_E_XML_PARSE, document.Load(COpcString(folder.Write(L"program.exe", binary).c_str())));
    EXPECT_EQ(OPC_DEV_E_XML_PARSE, document.Load(COpcString()));
    EXPECT_TRUE(document.DocumentElement().IsNull());
    EXPECT_TRUE(document.FileName().IsEmpty());

    EXPECT_FALSE(document.LoadXml(COpcString(L"<a><b></a>")));
    EXPECT_FALSE(document.LoadXml(COpcString(L"not xml at all")));
    EXPECT_FALSE(document.LoadXml(COpcString()));
}

TEST_F(OpcXml, LoadRemembersThePathThatSaveWritesBackTo)
{
    TempFolder folder;
    std::wstring path = folder.Write(L"config.xml", "<?xml version='1.0'?><Root><Value>1</Value></Root>");
    {
        COpcXmlDocument document;
        ASSERT_EQ(S_OK, document.Load(COpcString(path.c_str())));
        EXPECT_EQ(path, W(document.FileName()));
        ASSERT_TRUE(document.DocumentElement().Child(COpcString(L"Value")).SetText(COpcString(L"2")));
        EXPECT_TRUE(document.Save());
    }
    COpcXmlDocument reread;
    ASSERT_EQ(S_OK, reread.Load(COpcString(path.c_str())));
    EXPECT_EQ(L"2", W(reread.DocumentElement().Child(COpcString(L"Value")).Text()));
}

TEST_F(OpcXml, GeneratedPrefixSkipsOneAlreadyTaken)
{
    COpcXmlDocument document;
    COpcXmlElement root = Parse(document, L"<Root xmlns:s0='urn:other'><Child/></Root>");
    COpcXmlElement child = root.Child(COpcString(L"Child"));
    EXPECT_EQ(L"s1", W(child.PrefixForNamespace(COpcString(L"urn:new"))));
    COpcString xml;
    ASSERT_TRUE(document.Xml(xml));
    EXPECT_NE(std::wstring::npos, W(xml).find(L"<Root xmlns:s0=\"urn:other\"")) << W(xml);
    EXPECT_NE(std::wstring::npos, W(xml).find(L"xmlns:s1=\"urn:new\"")) << W(xml);
    // Now declared: found, not generated again.
    EXPECT_EQ(L"s1", W(child.PrefixForNamespace(COpcString(L"urn:new"))));
    EXPECT_EQ(L"urn:other", W(child.NamespaceForPrefix(COpcString(L"s0"))));
    EXPECT_EQ(L"urn:new", W(child.NamespaceForPrefix(COpcString(L"s1"))));
    EXPECT_EQ(L"xsd", W(child.PrefixForNamespace(COpcString(kSchemaNs))));
    EXPECT_TRUE(child.NamespaceForPrefix(COpcString(L"s2")).IsEmpty());
}

TEST_F(OpcXml, GeneratedPrefixIsFreeWhereItIsUsed)
{
    // s0 is taken only on the inner element; a root declaration of s0 would be
    // shadowed there, so the next free name is chosen.
    COpcXmlDocument document;
    COpcXmlElement root = Parse(document, L"<Root><Inner xmlns:s0='urn:inner'/></Root>");
    COpcXmlElement inner = root.Child(COpcString(L"Inner"));
    COpcXmlElement added = inner.AddChild(COpcString(L"Item"), COpcString(L"urn:new"));
    EXPECT_EQ(L"s1:Item", W(added.Name()));
    EXPECT_EQ(L"urn:new", W(added.QualifiedName().Namespace()));
    EXPECT_EQ(L"urn:new", W(added.NamespaceForPrefix(COpcString(L"s1"))));
}

TEST_F(OpcXml, DeclarationsAreFoundOnElementsWithoutOtherAttributes)
{
    COpcXmlDocument document;
    COpcXmlElement root = Parse(document, L"<Root><C xmlns:a='urn:a' xmlns:b='urn:b'><D/></C></Root>");
    COpcXmlElement c = root.Child(COpcString(L"C"));
    COpcXmlAttributeList list;
    ASSERT_EQ(2u, c.Attributes(list));
    std::vector<COpcXmlAttribute> attributes = Items(list);
    EXPECT_EQ(L"xmlns:a", W(attributes[0].Name()));
    EXPECT_EQ(L"xmlns:b", W(attributes[1].Name()));
    COpcXmlElement d = c.Child(COpcString(L"D"));
    EXPECT_EQ(L"b", W(d.PrefixForNamespace(COpcString(L"urn:b"))));
    EXPECT_EQ(L"urn:b", W(d.NamespaceForPrefix(COpcString(L"b"))));
}

TEST_F(OpcXml, SchemaTypeResolvesItsPrefix)
{
    COpcXmlDocument document;
    COpcXmlElement root = Parse(document, L"<Root xmlns='urn:default' xmlns:xsd='http://www.w3.org/2001/XMLSchema'"
                                          L" xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>"
                                          L"<A xsi:type='xsd:int'/><C xsi:type='Local'/><D/><E xsi:type=''/></Root>");
    COpcQualifiedName type;
    ASSERT_TRUE(root.Child(COpcString(L"A")).SchemaType(type));
    EXPECT_EQ(L"int", W(type.Name()));
    EXPECT_EQ(kSchemaNs, W(type.Namespace()));
    ASSERT_TRUE(root.Child(COpcString(L"C")).SchemaType(type));
    EXPECT_EQ(COpcQualifiedName(COpcString(L"Local"), COpcString(L"urn:default")), type);
    EXPECT_FALSE(root.Child(COpcString(L"D")).SchemaType(type));
    EXPECT_FALSE(root.Child(COpcString(L"E")).SchemaType(type));

    // Other prefixes for both namespaces, declared before the standard ones.
    COpcXmlDocument other;
    COpcXmlElement root2 = Parse(other, L"<Root xmlns:i='http://www.w3.org/2001/XMLSchema-instance'"
                                        L" xmlns:q='http://www.w3.org/2001/XMLSchema'><B i:type='q:double'/></Root>");
    ASSERT_TRUE(root2.Child(COpcString(L"B")).SchemaType(type));
    EXPECT_EQ(COpcQualifiedName(COpcString(L"double"), COpcString(kSchemaNs)), type);
}

TEST_F(OpcXml, ExistingDeclarationsAreKeptAndNeverDuplicated)
{
    COpcXmlDocument document;
    COpcXmlElement root =
        Parse(document, L"<Root xmlns:xsd='urn:own' xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance'>"
                        L"<xsd:A xsi:type='xsd:x'/></Root>");
    EXPECT_EQ(L"urn:own", W(root.NamespaceForPrefix(COpcString(L"xsd"))));
    EXPECT_FALSE(document.DeclareNamespace(COpcString(L"xsd"), COpcString(kSchemaNs)));
    EXPECT_TRUE(document.DeclareNamespace(COpcString(L"xsi"), COpcString(kInstanceNs)));
    EXPECT_TRUE(document.DeclareNamespace(COpcString(L"p"), COpcString(L"urn:p")));
    EXPECT_FALSE(document.DeclareNamespace(COpcString(), COpcString(L"urn:p")));

    COpcString xml;
    ASSERT_TRUE(document.Xml(xml));
    COpcXmlDocument reread;
    ASSERT_TRUE(reread.LoadXml(xml)) << W(xml);
    COpcQualifiedName type;
    ASSERT_TRUE(reread.DocumentElement().Child(COpcString(L"xsd:A")).SchemaType(type));
    EXPECT_EQ(COpcQualifiedName(COpcString(L"x"), COpcString(L"urn:own")), type);
    EXPECT_EQ(L"urn:p", W(reread.DocumentElement().NamespaceForPrefix(COpcString(L"p"))));
}

TEST_F(OpcXml, WrittenDocumentStartsWithTheDeclaration)
{
    TempFolder folder;
    std::wstring path = folder.File(L"out.xml");
    COpcXmlDocument document;
    ASSERT_TRUE(document.CreateRoot(COpcString(L"Root"), COpcString(L"urn:root")));
    ASSERT_TRUE(document.Save(COpcString(path.c_str())));
    std::string bytes = ReadBytes(path);
    ASSERT_GE(bytes.size(), 2u);
    std::wstring text;
    size_t start = 0;
    if (static_cast<unsigned char>(bytes[0]) == 0xFF && static_cast<unsigned char>(bytes[1]) == 0xFE)
        start = 2;
    for (size_t i = start; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<unsigned char>(bytes[i]) |
                                     (static_cast<unsigned char>(bytes[i + 1]) << 8));
    EXPECT_EQ(0u, text.find(L"<?xml version=\"1.0\" encoding=\"utf-16\"?>")) << text;
    EXPECT_NE(std::wstring::npos, text.find(L"<Root")) << text;

    COpcString xml;
    ASSERT_TRUE(document.Xml(xml));
    EXPECT_EQ(0u, W(xml).find(L"<?xml version=\"1.0\"")) << W(xml);

    ASSERT_TRUE(document.AddDeclaration());
    EXPECT_TRUE(document.DocumentElement().IsNull()); // a fresh document: the declaration only
}

TEST_F(OpcXml, CreatedRootDeclaresSchemaPrefixesAndAddsChildren)
{
    COpcXmlDocument document;
    ASSERT_TRUE(document.CreateRoot(COpcString(L"Root"), COpcString(L"urn:root")));
    COpcXmlElement root = document.DocumentElement();
    EXPECT_EQ(COpcQualifiedName(COpcString(L"Root"), COpcString(L"urn:root")), root.QualifiedName());
    EXPECT_EQ(kSchemaNs, W(root.NamespaceForPrefix(COpcString(L"xsd"))));
    EXPECT_EQ(kInstanceNs, W(root.NamespaceForPrefix(COpcString(L"xsi"))));

    COpcXmlElement same = root.AddChild(COpcString(L"Item"), COpcString(L"urn:root"));
    EXPECT_EQ(L"Item", W(same.Name()));
    COpcXmlElement other = root.AddChild(COpcQualifiedName(COpcString(L"Other"), COpcString(L"urn:b")));
    EXPECT_EQ(L"s0:Other", W(other.Name()));
    EXPECT_EQ(COpcQualifiedName(COpcString(L"Other"), COpcString(L"urn:b")), other.QualifiedName());
    COpcXmlElement typed = root.AddChild(COpcString(L"int"), COpcString(kSchemaNs));
    EXPECT_EQ(L"xsd:int", W(typed.Name()));
    // The default namespace at s0:Other is the one its unprefixed parent is in.
    COpcXmlElement plain = other.AddChildInDefaultNamespace(COpcString(L"Leaf"));
    EXPECT_EQ(L"Leaf", W(plain.Name()));
    EXPECT_EQ(L"urn:root", W(plain.Namespace()));

    ASSERT_TRUE(same.SetAttribute(COpcString(L"Mode"), COpcString(L"a")));
    ASSERT_TRUE(same.SetAttribute(COpcString(L"Mode"), COpcString(L"b"))); // replaces
    COpcXmlAttributeList attributes;
    EXPECT_EQ(1u, same.Attributes(attributes));
    EXPECT_EQ(L"b", W(same.Attribute(COpcString(L"Mode")).Value()));

    COpcXmlElement unqualified = root.AddChild(COpcString(L"Plain"), COpcString());
    EXPECT_EQ(L"Plain", W(unqualified.Name()));

    COpcString xml;
    ASSERT_TRUE(document.Xml(xml));
    EXPECT_NE(std::wstring::npos, W(xml).find(L"xmlns:s0=\"urn:b\"")) << W(xml);
    COpcXmlDocument reread;
    EXPECT_TRUE(reread.LoadXml(xml)) << W(xml);
}

TEST_F(OpcXml, WrappersStayValidAfterTheirDocumentIsClosed)
{
    COpcXmlElement kept;
    {
        COpcXmlDocument document;
        COpcXmlElement root = Parse(document, L"<Root><Value Unit='bar'>7</Value></Root>");
        kept = root.Child(COpcString(L"Value"));
        document.Close();
        EXPECT_TRUE(document.DocumentElement().IsNull());
    }
    EXPECT_EQ(L"Value", W(kept.Name()));
    EXPECT_EQ(L"7", W(kept.Text()));
    EXPECT_EQ(L"bar", W(kept.Attribute(COpcString(L"Unit")).Value()));
    COpcXmlElement copy(kept);
    EXPECT_EQ(L"7", W(copy.Text()));
}

TEST_F(OpcXml, SetRootCopiesTheElementDeeply)
{
    COpcXmlDocument source;
    COpcXmlElement root = Parse(source, L"<Root><Part><Leaf>1</Leaf></Part></Root>");
    COpcXmlElement part = root.Child(COpcString(L"Part"));

    COpcXmlDocument copy;
    ASSERT_TRUE(copy.SetRoot(part));
    COpcXmlElement newRoot = copy.DocumentElement();
    EXPECT_EQ(L"Part", W(newRoot.Name()));
    ASSERT_TRUE(newRoot.Child(COpcString(L"Leaf")).SetText(COpcString(L"2")));
    EXPECT_EQ(L"1", W(part.Child(COpcString(L"Leaf")).Text()));
    EXPECT_EQ(kInstanceNs, W(newRoot.NamespaceForPrefix(COpcString(L"xsi"))));

    // Setting a document's own root from itself works too.
    ASSERT_TRUE(copy.SetRoot(copy.DocumentElement().Child(COpcString(L"Leaf"))));
    EXPECT_EQ(L"2", W(copy.DocumentElement().Text()));
}

TEST_F(OpcXml, SelectInsertFirstAndRemoveLeadingChild)
{
    COpcXmlDocument document;
    COpcXmlElement root = Parse(document, L"<Root><Item n='1'/><Other/><Item n='2'/></Root>");
    COpcXmlElementList items;
    EXPECT_EQ(2u, document.SelectNodes(COpcString(L"/Root/Item"), items));
    EXPECT_EQ(L"2", W(Items(items)[1].Attribute(COpcString(L"n")).Value()));
    EXPECT_EQ(L"Other", W(document.SelectSingleNode(COpcString(L"/Root/Other")).Name()));
    EXPECT_TRUE(document.SelectSingleNode(COpcString(L"/Root/None")).IsNull());
    EXPECT_TRUE(document.SelectSingleNode(COpcString(L"/Root/Item/@n")).IsNull()); // not an element
    EXPECT_EQ(0u, document.SelectNodes(COpcString(L"[[["), items));

    COpcXmlDocument other;
    COpcXmlElement info = Parse(other, L"<SelfRegInfo/>");
    EXPECT_EQ(S_OK, root.InsertFirst(info));
    COpcXmlElementList children;
    ASSERT_EQ(4u, root.Children(children));
    EXPECT_EQ(L"SelfRegInfo", W(children.GetHead()->value.Name()));
    EXPECT_EQ(S_FALSE, root.RemoveLeadingChild(COpcString(L"selfreginfo")));
    EXPECT_EQ(S_OK, root.RemoveLeadingChild(COpcString(L"SelfRegInfo")));
    EXPECT_EQ(3u, root.Children(children));

    COpcXmlElement empty = root.Child(COpcString(L"Other"));
    EXPECT_EQ(S_OK, empty.InsertFirst(Parse(other, L"<Only/>")));
    EXPECT_FALSE(empty.Child(COpcString(L"Only")).IsNull());
}

TEST_F(OpcXml, LargeAndDeepDocumentsNeverCrash)
{
    TempFolder folder;
    COpcXmlDocument document;

    std::string huge(4 * 1024 * 1024, 'v');
    ASSERT_EQ(S_OK, document.Load(COpcString(folder.Write(L"huge.xml", "<Root A='" + huge + "'/>").c_str())));
    EXPECT_EQ(huge.size(), document.DocumentElement().Attribute(COpcString(L"A")).Value().Length());

    std::string deep;
    for (int i = 0; i < 100000; ++i)
        deep += "<a>";
    for (int i = 0; i < 100000; ++i)
        deep += "</a>";
    HRESULT hr = document.Load(COpcString(folder.Write(L"deep.xml", deep).c_str()));
    EXPECT_TRUE(hr == S_OK || hr == OPC_DEV_E_XML_PARSE) << std::hex << hr;
    EXPECT_FALSE(document.LoadXml(COpcString(L"<a>") + COpcString(std::wstring(50000, L'x').c_str())));

    // Ancestor walks are loops: a deep tree built in memory resolves from its leaf.
    ASSERT_TRUE(document.CreateRoot(COpcString(L"Root"), COpcString(L"urn:deep")));
    COpcXmlElement leaf = document.DocumentElement();
    for (int i = 0; i < 3000 && !leaf.IsNull(); ++i)
        leaf = leaf.AddChild(COpcString(L"n"), COpcString(L"urn:deep"));
    ASSERT_FALSE(leaf.IsNull());
    EXPECT_EQ(L"urn:deep", W(leaf.Namespace()));
    EXPECT_EQ(kInstanceNs, W(leaf.NamespaceForPrefix(COpcString(L"xsi"))));
    EXPECT_TRUE(leaf.NamespaceForPrefix(COpcString(L"none")).IsEmpty());
}

TEST(OpcXmlWithoutCom, LoadReportsThatNoDocumentCouldBeCreated)
{
    // This thread never entered COM, so the DOM class cannot be created.
    COpcXmlDocument document;
    EXPECT_EQ(OPC_DEV_E_XML_LOAD, document.Load(COpcString(L"C:\\any.xml")));
    EXPECT_FALSE(document.LoadXml(COpcString(L"<a/>")));
    EXPECT_FALSE(document.CreateRoot(COpcString(L"a"), COpcString()));
}
