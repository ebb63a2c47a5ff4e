// Thin wrappers over the platform's XML DOM: a document, its elements and
// attributes, returning COpcString results and hiding reference counting. They
// add the namespace handling the server needs: prefix <-> namespace lookups,
// prefixes declared on demand ("s0", "s1", ...) and the schema-instance type.
//
// No operation throws: a failing DOM call gives a null wrapper, an empty
// string, false or 0. Wrappers hold their own references, so an element stays
// usable after the document object that produced it has been closed.
#pragma once

#include "OpcContainers.h"
#include "OpcResultCodes.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include <msxml2.h>

// The version-independent DOM document class {F6D90F11-9C73-11D3-B32E-00C04F990BB4}.
// Declared here because the toolchain's header maps the plain name to another class.
extern const CLSID CLSID_OpcDomDocument;

// W3C XML Schema namespaces (2001 Recommendation) and their usual prefixes.
#define OPCXML_NS_SCHEMA L"http://www.w3.org/2001/XMLSchema"
#define OPCXML_NS_SCHEMA_INSTANCE L"http://www.w3.org/2001/XMLSchema-instance"
#define OPCXML_PREFIX_SCHEMA L"xsd"
#define OPCXML_PREFIX_SCHEMA_INSTANCE L"xsi"
#define OPCXML_PREFIX_XMLNS L"xmlns"
#define OPCXML_SEPARATOR L":"

// A local name and its namespace URI.
class COpcQualifiedName
{
public:
    COpcQualifiedName() = default;
    COpcQualifiedName(const COpcString& name, const COpcString& ns) : m_name(name), m_namespace(ns) {}

    const COpcString& Name() const noexcept { return m_name; }
    const COpcString& Namespace() const noexcept { return m_namespace; }
    void SetName(const COpcString& name) { m_name = name; }
    void SetNamespace(const COpcString& ns) { m_namespace = ns; }

    bool operator==(const COpcQualifiedName& other) const noexcept
    {
        return m_name == other.m_name && m_namespace == other.m_namespace;
    }
    bool operator!=(const COpcQualifiedName& other) const noexcept { return !(*this == other); }

private:
    COpcString m_name;
    COpcString m_namespace;
};

class COpcXmlAttribute
{
public:
    COpcXmlAttribute() noexcept = default;
    // Any DOM node; a node that is not an attribute gives a null attribute.
    explicit COpcXmlAttribute(IUnknown* node) noexcept;
    COpcXmlAttribute(const COpcXmlAttribute&) noexcept = default;
    COpcXmlAttribute(COpcXmlAttribute&&) noexcept = default;
    COpcXmlAttribute& operator=(const COpcXmlAttribute&) noexcept = default;
    COpcXmlAttribute& operator=(COpcXmlAttribute&&) noexcept = default;

    bool IsNull() const noexcept { return !m_attribute; }
    IXMLDOMAttribute* Interface() const noexcept { return m_attribute.Get(); }

    COpcString Name() const; // node name, prefix included
    COpcString Prefix() const;
    COpcString LocalName() const; // base name
    COpcString Namespace() const; // namespace URI
    COpcString Value() const;     // the value read as text
    COpcString Text() const;
    COpcQualifiedName QualifiedName() const;

private:
    COpcComPtr<IXMLDOMAttribute> m_attribute;
};

class COpcXmlElement;
// In document order.
typedef COpcList<COpcXmlElement> COpcXmlElementList;
typedef COpcList<COpcXmlAttribute> COpcXmlAttributeList;

class COpcXmlElement
{
public:
    COpcXmlElement() noexcept = default;
    // Any DOM node; a node that is not an element gives a null element.
    explicit COpcXmlElement(IUnknown* node) noexcept;
    COpcXmlElement(const COpcXmlElement&) noexcept = default;
    COpcXmlElement(COpcXmlElement&&) noexcept = default;
    COpcXmlElement& operator=(const COpcXmlElement&) noexcept = default;
    COpcXmlElement& operator=(COpcXmlElement&&) noexcept = default;

    bool IsNull() const noexcept { return !m_element; }
    IXMLDOMElement* Interface() const noexcept { return m_element.Get(); }

    COpcString Name() const;
    COpcString Prefix() const;
    COpcString Text() const;
    bool SetText(const COpcString& text);
    // Text by the boolean rule; false when the element is null or the text is not a boolean.
    bool TextAsBoolean(bool& value) const;

    // Inserts the node before the first child, or appends it when there is none.
    HRESULT InsertFirst(const COpcXmlElement& node);
    // Removes the first child node if its node name is exactly the name; S_FALSE when nothing was removed.
    HRESULT RemoveLeadingChild(const COpcString& name);

    // The namespace URI, or that of the nearest ancestor that has one.
    COpcString Namespace() const;
    COpcQualifiedName QualifiedName() const;

    COpcXmlAttribute Attribute(const COpcString& name) const;
    bool SetAttribute(const COpcString& name, const VARIANT& value);
    bool SetAttribute(const COpcString& name, const COpcString& value);

    // First child element whose node name matches exactly (case and prefix included).
    COpcXmlElement Child(const COpcString& name) const;
    size_t Children(COpcXmlElementList& list) const;
    size_t Attributes(COpcXmlAttributeList& list) const;

    COpcString NamespaceForPrefix(const COpcString& prefix) const;
    // May declare a generated prefix ("s0", "s1", ...) on the document element.
    COpcString PrefixForNamespace(const COpcString& ns);
    // The xsi:type attribute as a qualified name; false when it is missing or empty.
    bool SchemaType(COpcQualifiedName& type);

    COpcXmlElement AddChild(const COpcQualifiedName& name);
    COpcXmlElement AddChild(const COpcString& localName, const COpcString& ns);
    COpcXmlElement AddChildInDefaultNamespace(const COpcString& localName);

private:
    COpcComPtr<IXMLDOMElement> m_element;
};

class COpcXmlDocument
{
public:
    COpcXmlDocument() noexcept = default;
    virtual ~COpcXmlDocument() = default;
    COpcXmlDocument(const COpcXmlDocument&) = delete;
    COpcXmlDocument& operator=(const COpcXmlDocument&) = delete;

    // A fresh, empty document in place of any current one.
    virtual bool Create();
    virtual void Close();
    // A new document whose root is a deep copy of the element.
    virtual bool SetRoot(const COpcXmlElement& element);
    // A new document with the declaration and a root of this name and namespace.
    virtual bool CreateRoot(const COpcString& name, const COpcString& ns);
    // A new document holding only the declaration (version 1.0, encoding utf-16).
    virtual bool AddDeclaration();

    // S_OK, OPC_DEV_E_XML_LOAD or OPC_DEV_E_XML_PARSE.
    HRESULT Load(const COpcString& path);
    // Saves to the path, or to the path last loaded when it is empty.
    bool Save(const COpcString& path = COpcString());
    bool LoadXml(const COpcString& text);

    COpcXmlElement DocumentElement() const;
    COpcXmlElement SelectSingleNode(const COpcString& xpath) const;
    size_t SelectNodes(const COpcString& xpath, COpcXmlElementList& list) const;
    bool Xml(COpcString& text) const;
    bool DeclareNamespace(const COpcString& prefix, const COpcString& ns);

    const COpcString& FileName() const noexcept { return m_fileName; }
    IXMLDOMDocument* Interface() const noexcept { return m_document.Get(); }

private:
    bool DeclareSchemaNamespaces();

    COpcComPtr<IXMLDOMDocument> m_document;
    COpcString m_fileName;
};
