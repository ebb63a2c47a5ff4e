#include "OpcXml.h"

#include "OpcHandle.h"

#include <cwchar>

const CLSID CLSID_OpcDomDocument = {0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};

namespace
{
// IXMLDOMDocument2; the toolchain's uuid library does not define it.
const IID kIidDomDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

// Generated prefixes stop here; a document declaring this many is not ours.
const int kMaxGeneratedPrefixes = 10000;

// A BSTR copy of the text (an empty BSTR for an empty text); false when out of memory.
bool MakeBstr(const COpcString& text, COpcBstr& out)
{
    out.Reset(SysAllocStringLen(text.TextOrEmpty(), text.Length()));
    return out.Get() != nullptr;
}

COpcString FromBstr(BSTR text)
{
    return text != nullptr ? COpcString(text, SysStringLen(text)) : COpcString();
}

// Calls a DOM getter that returns a BSTR; empty on failure.
template <typename I>
COpcString ReadText(I* node, HRESULT (STDMETHODCALLTYPE I::*getter)(BSTR*))
{
    if (node == nullptr)
        return COpcString();
    COpcBstr text;
    if (FAILED((node->*getter)(text.Receive())))
        return COpcString();
    return FromBstr(text.Get());
}

COpcComPtr<IXMLDOMElement> ParentElement(IXMLDOMNode* node, bool* readFailed = nullptr)
{
    COpcComPtr<IXMLDOMNode> parent;
    HRESULT hr = node->get_parentNode(parent.Receive());
    if (readFailed != nullptr)
        *readFailed = FAILED(hr);
    return COpcComPtr<IXMLDOMElement>::QueryFrom(parent.Get(), IID_IXMLDOMElement);
}

// The namespace the element itself declares for the prefix ("xmlns:prefix",
// or "xmlns" for the empty prefix). Asked by name first, then by looking
// through the attributes: depending on how a declaration came into the
// document (parsed or added), some DOMs find it only one way or the other.
bool FindDeclaration(const COpcXmlElement& element, const COpcString& prefix, COpcString& ns)
{
    const COpcString xmlns(OPCXML_PREFIX_XMLNS);
    COpcString name = prefix.IsEmpty() ? xmlns : xmlns + COpcString(OPCXML_SEPARATOR) + prefix;
    COpcBstr bname(SysAllocStringLen(name.Text(), name.Length()));
    if (element.IsNull() || bname.Get() == nullptr)
        return false;
    COpcVariant value;
    if (element.Interface()->getAttribute(bname.Get(), value.Get()) == S_OK && value->vt == VT_BSTR)
    {
        ns = FromBstr(value->bstrVal);
        return true;
    }
    if (prefix.IsEmpty())
        return false;
    COpcXmlAttributeList attributes;
    element.Attributes(attributes);
    for (const COpcXmlAttribute& attribute : attributes)
    {
        if (attribute.Prefix() == xmlns && attribute.LocalName() == prefix)
        {
            ns = attribute.Value();
            return true;
        }
    }
    return false;
}

COpcString JoinName(const COpcString& prefix, const COpcString& localName)
{
    if (prefix.IsEmpty())
        return localName;
    return prefix + COpcString(OPCXML_SEPARATOR) + localName;
}
} // namespace

// --- attribute ----------------------------------------------------------------

COpcXmlAttribute::COpcXmlAttribute(IUnknown* node) noexcept
    : m_attribute(COpcComPtr<IXMLDOMAttribute>::QueryFrom(node, IID_IXMLDOMAttribute))
{
}

COpcString COpcXmlAttribute::Name() const
{
    return ReadText<IXMLDOMNode>(m_attribute.Get(), &IXMLDOMNode::get_nodeName);
}
COpcString COpcXmlAttribute::Prefix() const
{
    return ReadText<IXMLDOMNode>(m_attribute.Get(), &IXMLDOMNode::get_prefix);
}
COpcString COpcXmlAttribute::LocalName() const
{
    return ReadText<IXMLDOMNode>(m_attribute.Get(), &IXMLDOMNode::get_baseName);
}
COpcString COpcXmlAttribute::Namespace() const
{
    return ReadText<IXMLDOMNode>(m_attribute.Get(), &IXMLDOMNode::get_namespaceURI);
}
COpcString COpcXmlAttribute::Text() const
{
    return ReadText<IXMLDOMNode>(m_attribute.Get(), &IXMLDOMNode::get_text);
}

COpcString COpcXmlAttribute::Value() const
{
    if (IsNull())
        return COpcString();
    COpcVariant value;
    if (FAILED(m_attribute->get_value(value.Get())))
        return COpcString();
    if (value->vt == VT_BSTR)
        return FromBstr(value->bstrVal);
    COpcVariant text;
    if (FAILED(VariantChangeType(text.Get(), value.Get(), VARIANT_NOVALUEPROP, VT_BSTR)))
        return COpcString();
    return FromBstr(text->bstrVal);
}

COpcQualifiedName COpcXmlAttribute::QualifiedName() const
{
    return COpcQualifiedName(LocalName(), Namespace());
}

// --- element ------------------------------------------------------------------

COpcXmlElement::COpcXmlElement(IUnknown* node) noexcept
    : m_element(COpcComPtr<IXMLDOMElement>::QueryFrom(node, IID_IXMLDOMElement))
{
}

COpcString COpcXmlElement::Name() const
{
    return ReadText<IXMLDOMNode>(m_element.Get(), &IXMLDOMNode::get_nodeName);
}
COpcString COpcXmlElement::Prefix() const
{
    return ReadText<IXMLDOMNode>(m_element.Get(), &IXMLDOMNode::get_prefix);
}
COpcString COpcXmlElement::Text() const
{
    return ReadText<IXMLDOMNode>(m_element.Get(), &IXMLDOMNode::get_text);
}

bool COpcXmlElement::SetText(const COpcString& text)
{
    COpcBstr value;
    if (IsNull() || !MakeBstr(text, value))
        return false;
    return SUCCEEDED(m_element->put_text(value.Get()));
}

bool COpcXmlElement::TextAsBoolean(bool& value) const
{
    if (IsNull())
        return false;
    COpcBstr text;
    if (FAILED(m_element->get_text(text.Receive())))
        return false;
    bool result = false;
    if (!ParseBoolean(FromBstr(text.Get()).TextOrEmpty(), result))
        return false;
    value = result;
    return true;
}

HRESULT COpcXmlElement::InsertFirst(const COpcXmlElement& node)
{
    if (IsNull() || node.IsNull())
        return E_POINTER;
    COpcComPtr<IXMLDOMNode> first;
    HRESULT hr = m_element->get_firstChild(first.Receive());
    if (FAILED(hr))
        return hr;
    COpcComPtr<IXMLDOMNode> inserted;
    if (first)
    {
        VARIANT before;
        VariantInit(&before);
        before.vt = VT_UNKNOWN;
        before.punkVal = first.Get(); // borrowed: not cleared
        return m_element->insertBefore(node.Interface(), before, inserted.Receive());
    }
    return m_element->appendChild(node.Interface(), inserted.Receive());
}

HRESULT COpcXmlElement::RemoveLeadingChild(const COpcString& name)
{
    if (IsNull())
        return E_POINTER;
    COpcComPtr<IXMLDOMNode> first;
    HRESULT hr = m_element->get_firstChild(first.Receive());
    if (FAILED(hr))
        return hr;
    if (!first || ReadText<IXMLDOMNode>(first.Get(), &IXMLDOMNode::get_nodeName) != name)
        return S_FALSE;
    COpcComPtr<IXMLDOMNode> removed;
    return m_element->removeChild(first.Get(), removed.Receive());
}

COpcString COpcXmlElement::Namespace() const
{
    // Iterative, so deeply nested documents cannot exhaust the stack.
    COpcComPtr<IXMLDOMElement> current = m_element;
    while (current)
    {
        COpcString ns = ReadText<IXMLDOMNode>(current.Get(), &IXMLDOMNode::get_namespaceURI);
        if (!ns.IsEmpty())
            return ns;
        current = ParentElement(current.Get());
    }
    return COpcString();
}

COpcQualifiedName COpcXmlElement::QualifiedName() const
{
    return COpcQualifiedName(ReadText<IXMLDOMNode>(m_element.Get(), &IXMLDOMNode::get_baseName), Namespace());
}

COpcXmlAttribute COpcXmlElement::Attribute(const COpcString& name) const
{
    COpcBstr bname;
    if (IsNull() || !MakeBstr(name, bname))
        return COpcXmlAttribute();
    COpcComPtr<IXMLDOMNamedNodeMap> map;
    if (FAILED(m_element->get_attributes(map.Receive())) || !map)
        return COpcXmlAttribute();
    COpcComPtr<IXMLDOMNode> node;
    if (FAILED(map->getNamedItem(bname.Get(), node.Receive())))
        return COpcXmlAttribute();
    return COpcXmlAttribute(node.Get());
}

bool COpcXmlElement::SetAttribute(const COpcString& name, const VARIANT& value)
{
    COpcBstr bname;
    if (IsNull() || name.IsEmpty() || !MakeBstr(name, bname))
        return false;
    COpcComPtr<IXMLDOMDocument> owner;
    if (FAILED(m_element->get_ownerDocument(owner.Receive())) || !owner)
        return false;
    COpcComPtr<IXMLDOMAttribute> attribute;
    if (FAILED(owner->createAttribute(bname.Get(), attribute.Receive())) || !attribute)
        return false;
    if (FAILED(attribute->put_value(value)))
        return false;
    COpcComPtr<IXMLDOMNamedNodeMap> map;
    if (FAILED(m_element->get_attributes(map.Receive())) || !map)
        return false;
    COpcComPtr<IXMLDOMNode> replaced;
    return SUCCEEDED(map->setNamedItem(attribute.Get(), replaced.Receive()));
}

bool COpcXmlElement::SetAttribute(const COpcString& name, const COpcString& value)
{
    COpcVariant text;
    text->bstrVal = SysAllocStringLen(value.TextOrEmpty(), value.Length());
    if (text->bstrVal == nullptr)
        return false;
    text->vt = VT_BSTR;
    return SetAttribute(name, *text.Get());
}

COpcXmlElement COpcXmlElement::Child(const COpcString& name) const
{
    if (IsNull())
        return COpcXmlElement();
    COpcComPtr<IXMLDOMNode> node;
    if (FAILED(m_element->get_firstChild(node.Receive())))
        return COpcXmlElement();
    while (node)
    {
        COpcXmlElement child(node.Get());
        if (!child.IsNull() && child.Name() == name)
            return child;
        COpcComPtr<IXMLDOMNode> next;
        if (FAILED(node->get_nextSibling(next.Receive())))
            break;
        node = std::move(next);
    }
    return COpcXmlElement();
}

size_t COpcXmlElement::Children(COpcXmlElementList& list) const
{
    list.RemoveAll();
    if (IsNull())
        return 0;
    COpcComPtr<IXMLDOMNode> node;
    if (FAILED(m_element->get_firstChild(node.Receive())))
        return 0;
    while (node)
    {
        COpcXmlElement child(node.Get());
        if (!child.IsNull() && !list.AddTail(child))
            break;
        COpcComPtr<IXMLDOMNode> next;
        if (FAILED(node->get_nextSibling(next.Receive())))
            break;
        node = std::move(next);
    }
    return list.GetCount();
}

size_t COpcXmlElement::Attributes(COpcXmlAttributeList& list) const
{
    list.RemoveAll();
    if (IsNull())
        return 0;
    COpcComPtr<IXMLDOMNamedNodeMap> map;
    long length = 0;
    if (FAILED(m_element->get_attributes(map.Receive())) || !map || FAILED(map->get_length(&length)))
        return 0;
    // Some DOMs index namespace declarations one off when an element has no
    // other attributes (the first twice, the last only at index length), so
    // read one index more and drop a repeat of the previous name.
    COpcString previous;
    for (long i = 0; i <= length; ++i)
    {
        COpcComPtr<IXMLDOMNode> node;
        if (map->get_item(i, node.Receive()) != S_OK || !node)
            continue;
        COpcXmlAttribute attribute(node.Get());
        if (attribute.IsNull())
            continue;
        COpcString name = attribute.Name();
        if (!list.IsEmpty() && name == previous)
            continue;
        previous = name;
        if (!list.AddTail(attribute))
            break;
    }
    return list.GetCount();
}

COpcString COpcXmlElement::NamespaceForPrefix(const COpcString& prefix) const
{
    COpcXmlElement current(*this);
    while (!current.IsNull())
    {
        if (current.Prefix() == prefix)
            return current.Namespace();
        COpcString declared;
        if (FindDeclaration(current, prefix, declared))
            return declared;
        COpcComPtr<IXMLDOMElement> parent = ParentElement(current.Interface());
        current = COpcXmlElement(parent.Get());
    }
    return COpcString();
}

COpcString COpcXmlElement::PrefixForNamespace(const COpcString& ns)
{
    // No namespace takes no prefix; a prefix may not be bound to the empty name.
    if (ns.IsEmpty())
        return COpcString();
    const COpcString xmlns(OPCXML_PREFIX_XMLNS);
    COpcXmlElement current(*this);
    COpcXmlAttributeList attributes;
    while (!current.IsNull())
    {
        if (current.Namespace() == ns)
            return current.Prefix();
        current.Attributes(attributes);
        for (const COpcXmlAttribute& attribute : attributes)
        {
            if (attribute.Prefix() == xmlns && attribute.Value() == ns)
                return attribute.LocalName();
        }
        bool readFailed = false;
        COpcComPtr<IXMLDOMElement> parent = ParentElement(current.Interface(), &readFailed);
        if (readFailed)
            return COpcString();
        if (!parent)
            break; // current is the document element
        current = COpcXmlElement(parent.Get());
    }
    if (current.IsNull())
        return COpcString();

    // Declare a new prefix on the document element. It must be free as seen
    // from this element, so a nearer declaration of the same name cannot
    // shadow the new one where it is used.
    for (int i = 0; i < kMaxGeneratedPrefixes; ++i)
    {
        wchar_t buffer[16];
        FormatText(buffer, 16, L"s%d", i);
        COpcString prefix(buffer);
        if (!NamespaceForPrefix(prefix).IsEmpty())
            continue;
        if (!current.SetAttribute(xmlns + COpcString(OPCXML_SEPARATOR) + prefix, ns))
            return COpcString();
        return prefix;
    }
    return COpcString();
}

bool COpcXmlElement::SchemaType(COpcQualifiedName& type)
{
    if (IsNull())
        return false;
    const COpcString instanceNs(OPCXML_NS_SCHEMA_INSTANCE);
    const COpcString typeName(L"type");
    // The attribute by its namespace first: a document may bind the instance
    // namespace to more than one prefix, and the first one found by
    // PrefixForNamespace need not be the one the attribute was written with.
    COpcString value;
    bool found = false;
    COpcXmlAttributeList attributes;
    Attributes(attributes);
    for (const COpcXmlAttribute& attribute : attributes)
    {
        if (attribute.LocalName() == typeName && attribute.Namespace() == instanceNs)
        {
            value = attribute.Value();
            found = true;
            break;
        }
    }
    if (!found)
        value = Attribute(JoinName(PrefixForNamespace(instanceNs), typeName)).Value();
    if (value.IsEmpty())
        return false;
    COpcString typePrefix;
    COpcString localName = value;
    int colon = value.Find(OPCXML_SEPARATOR);
    if (colon >= 0)
    {
        typePrefix = value.Mid(0, colon);
        localName = value.Mid(static_cast<UINT>(colon) + 1);
    }
    type = COpcQualifiedName(localName, NamespaceForPrefix(typePrefix));
    return true;
}

COpcXmlElement COpcXmlElement::AddChild(const COpcQualifiedName& name)
{
    return AddChild(name.Name(), name.Namespace());
}

COpcXmlElement COpcXmlElement::AddChild(const COpcString& localName, const COpcString& ns)
{
    if (IsNull() || localName.IsEmpty())
        return COpcXmlElement();
    COpcString prefix = PrefixForNamespace(ns);
    COpcBstr nodeName;
    COpcBstr uri;
    if (!MakeBstr(JoinName(prefix, localName), nodeName) || !MakeBstr(ns, uri))
        return COpcXmlElement();
    COpcComPtr<IXMLDOMDocument> owner;
    if (FAILED(m_element->get_ownerDocument(owner.Receive())) || !owner)
        return COpcXmlElement();
    VARIANT nodeType;
    VariantInit(&nodeType);
    nodeType.vt = VT_I4;
    nodeType.lVal = NODE_ELEMENT;
    COpcComPtr<IXMLDOMNode> node;
    if (FAILED(owner->createNode(nodeType, nodeName.Get(), uri.Get(), node.Receive())) || !node)
        return COpcXmlElement();
    COpcComPtr<IXMLDOMNode> appended;
    if (FAILED(m_element->appendChild(node.Get(), appended.Receive())))
        return COpcXmlElement();
    return COpcXmlElement(appended ? appended.Get() : node.Get());
}

COpcXmlElement COpcXmlElement::AddChildInDefaultNamespace(const COpcString& localName)
{
    return AddChild(localName, NamespaceForPrefix(COpcString()));
}

// --- document -----------------------------------------------------------------

bool COpcXmlDocument::Create()
{
    Close();
    COpcComPtr<IXMLDOMDocument> document;
    HRESULT hr = CoCreateInstance(CLSID_OpcDomDocument, nullptr, CLSCTX_INPROC_SERVER, IID_IXMLDOMDocument,
                                  reinterpret_cast<void**>(document.Receive()));
    if (FAILED(hr) || !document)
        return false;
    // Load must have finished when it returns, and a file never pulls in
    // external entities from elsewhere.
    document->put_async(VARIANT_FALSE);
    document->put_resolveExternals(VARIANT_FALSE);
    // Queries are XPath; the older default pattern language of this class
    // crashes some DOM implementations on malformed queries.
    COpcComPtr<IXMLDOMDocument2> document2 = COpcComPtr<IXMLDOMDocument2>::QueryFrom(document.Get(), kIidDomDocument2);
    COpcBstr property(SysAllocString(L"SelectionLanguage"));
    COpcVariant language;
    language->bstrVal = SysAllocString(L"XPath");
    if (language->bstrVal != nullptr)
        language->vt = VT_BSTR;
    if (!document2 || property.Get() == nullptr || language->vt != VT_BSTR ||
        FAILED(document2->setProperty(property.Get(), *language.Get())))
        return false;
    m_document = std::move(document);
    return true;
}

void COpcXmlDocument::Close()
{
    m_document.Reset();
}

namespace
{
// Far beyond any configuration; a larger file is refused rather than read.
const LONGLONG MaxDocumentBytes = 256LL * 1024 * 1024;
} // namespace

HRESULT COpcXmlDocument::Load(const COpcString& path)
{
    if (!Create())
        return OPC_DEV_E_XML_LOAD;
    // The file is read here and handed over as bytes: a path would send the
    // DOM through the URL machinery, which can stall for many seconds, and the
    // bytes still let the parser detect the encoding from the declaration.
    if (path.IsEmpty())
        return OPC_DEV_E_XML_PARSE;
    COpcHandle file(CreateFileW(path.Text(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart <= 0 || size.QuadPart > MaxDocumentBytes)
        return OPC_DEV_E_XML_PARSE;
    COpcSafeArray bytes(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size.QuadPart)));
    if (bytes.Get() == nullptr)
        return E_OUTOFMEMORY;
    {
        COpcSafeArrayAccess data(bytes.Get());
        if (data.Data() == nullptr)
            return E_OUTOFMEMORY;
        DWORD read = 0;
        if (!ReadFile(file.Get(), data.Data(), static_cast<DWORD>(size.QuadPart), &read, nullptr) ||
            read != static_cast<DWORD>(size.QuadPart))
            return OPC_DEV_E_XML_PARSE;
    }
    COpcVariant source;
    source->vt = VT_ARRAY | VT_UI1;
    source->parray = bytes.Detach();
    VARIANT_BOOL loaded = VARIANT_FALSE;
    HRESULT hr = m_document->load(*source.Get(), &loaded);
    if (FAILED(hr) || hr == S_FALSE || loaded == VARIANT_FALSE)
        return OPC_DEV_E_XML_PARSE;
    m_fileName = path;
    return S_OK;
}

bool COpcXmlDocument::Save(const COpcString& path)
{
    const COpcString& target = path.IsEmpty() ? m_fileName : path;
    if (!m_document || target.IsEmpty())
        return false;
    COpcVariant destination;
    destination->bstrVal = SysAllocStringLen(target.Text(), target.Length());
    if (destination->bstrVal == nullptr)
        return false;
    destination->vt = VT_BSTR;
    return SUCCEEDED(m_document->save(*destination.Get()));
}

bool COpcXmlDocument::LoadXml(const COpcString& text)
{
    COpcBstr xml;
    if (!Create() || !MakeBstr(text, xml))
        return false;
    VARIANT_BOOL loaded = VARIANT_FALSE;
    HRESULT hr = m_document->loadXML(xml.Get(), &loaded);
    if (FAILED(hr) || loaded == VARIANT_FALSE)
        return false;
    return DeclareSchemaNamespaces();
}

COpcXmlElement COpcXmlDocument::DocumentElement() const
{
    if (!m_document)
        return COpcXmlElement();
    COpcComPtr<IXMLDOMElement> root;
    if (FAILED(m_document->get_documentElement(root.Receive())))
        return COpcXmlElement();
    return COpcXmlElement(root.Get());
}

COpcXmlElement COpcXmlDocument::SelectSingleNode(const COpcString& xpath) const
{
    COpcBstr query;
    if (!m_document || !MakeBstr(xpath, query))
        return COpcXmlElement();
    COpcComPtr<IXMLDOMNode> node;
    if (FAILED(m_document->selectSingleNode(query.Get(), node.Receive())))
        return COpcXmlElement();
    return COpcXmlElement(node.Get());
}

size_t COpcXmlDocument::SelectNodes(const COpcString& xpath, COpcXmlElementList& list) const
{
    list.RemoveAll();
    COpcBstr query;
    if (!m_document || !MakeBstr(xpath, query))
        return 0;
    COpcComPtr<IXMLDOMNodeList> nodes;
    long length = 0;
    if (FAILED(m_document->selectNodes(query.Get(), nodes.Receive())) || !nodes || FAILED(nodes->get_length(&length)))
        return 0;
    for (long i = 0; i < length; ++i)
    {
        COpcComPtr<IXMLDOMNode> node;
        if (FAILED(nodes->get_item(i, node.Receive())) || !node)
            continue;
        COpcXmlElement element(node.Get());
        if (!element.IsNull() && !list.AddTail(element))
            break;
    }
    return list.GetCount();
}

bool COpcXmlDocument::Xml(COpcString& text) const
{
    if (!m_document)
        return false;
    COpcBstr xml;
    if (FAILED(m_document->get_xml(xml.Receive())))
        return false;
    text = FromBstr(xml.Get());
    return true;
}

bool COpcXmlDocument::AddDeclaration()
{
    if (!Create())
        return false;
    COpcBstr target(SysAllocString(L"xml"));
    COpcBstr data(SysAllocString(L"version=\"1.0\" encoding=\"utf-16\""));
    COpcComPtr<IXMLDOMProcessingInstruction> declaration;
    COpcComPtr<IXMLDOMNode> appended;
    if (target.Get() == nullptr || data.Get() == nullptr ||
        FAILED(m_document->createProcessingInstruction(target.Get(), data.Get(), declaration.Receive())) ||
        !declaration || FAILED(m_document->appendChild(declaration.Get(), appended.Receive())))
    {
        Close();
        return false;
    }
    return true;
}

bool COpcXmlDocument::CreateRoot(const COpcString& name, const COpcString& ns)
{
    COpcBstr nodeName;
    COpcBstr uri;
    if (name.IsEmpty() || !MakeBstr(name, nodeName) || !MakeBstr(ns, uri) || !AddDeclaration())
        return false;
    VARIANT nodeType;
    VariantInit(&nodeType);
    nodeType.vt = VT_I4;
    nodeType.lVal = NODE_ELEMENT;
    COpcComPtr<IXMLDOMNode> node;
    COpcComPtr<IXMLDOMNode> appended;
    if (FAILED(m_document->createNode(nodeType, nodeName.Get(), uri.Get(), node.Receive())) || !node ||
        FAILED(m_document->appendChild(node.Get(), appended.Receive())))
        return false;
    return DeclareSchemaNamespaces();
}

bool COpcXmlDocument::SetRoot(const COpcXmlElement& element)
{
    if (element.IsNull())
        return false;
    // Clone before replacing the document: the element may belong to it.
    COpcComPtr<IXMLDOMNode> clone;
    if (FAILED(element.Interface()->cloneNode(VARIANT_TRUE, clone.Receive())) || !clone)
        return false;
    COpcComPtr<IXMLDOMNode> parent;
    if (SUCCEEDED(clone->get_parentNode(parent.Receive())) && parent)
    {
        COpcComPtr<IXMLDOMNode> removed;
        parent->removeChild(clone.Get(), removed.Receive());
    }
    if (!AddDeclaration())
        return false;
    COpcComPtr<IXMLDOMNode> appended;
    if (FAILED(m_document->appendChild(clone.Get(), appended.Receive())))
        return false;
    return DeclareSchemaNamespaces();
}

bool COpcXmlDocument::DeclareNamespace(const COpcString& prefix, const COpcString& ns)
{
    if (prefix.IsEmpty())
        return false;
    COpcXmlElement root = DocumentElement();
    if (root.IsNull())
        return false;
    // An existing declaration is never written twice (that is not
    // well-formed) nor rebound (names using it would change meaning).
    COpcString existing;
    if (FindDeclaration(root, prefix, existing))
        return existing == ns;
    return root.SetAttribute(COpcString(OPCXML_PREFIX_XMLNS) + COpcString(OPCXML_SEPARATOR) + prefix, ns);
}

bool COpcXmlDocument::DeclareSchemaNamespaces()
{
    // A document that binds these prefixes itself keeps its own binding.
    COpcXmlElement root = DocumentElement();
    const wchar_t* const prefixes[] = {OPCXML_PREFIX_SCHEMA, OPCXML_PREFIX_SCHEMA_INSTANCE};
    const wchar_t* const namespaces[] = {OPCXML_NS_SCHEMA, OPCXML_NS_SCHEMA_INSTANCE};
    for (int i = 0; i < 2; ++i)
    {
        const COpcString prefix(prefixes[i]);
        COpcString existing;
        if (!FindDeclaration(root, prefix, existing) && !DeclareNamespace(prefix, COpcString(namespaces[i])))
            return false;
    }
    return true;
}
