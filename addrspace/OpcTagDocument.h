// The tag configuration file held in memory as a compact, read-only tree of
// elements and their attributes.
//
// The file is read once through the platform's SAX reader, which we hand its
// bytes in large pieces. A DOM of a 100,000-tag file takes well over half a
// gigabyte and, read from a path, tens of seconds; this tree takes a fraction
// of both and holds all the loader needs: element names, attributes and
// document order. Names are compared exactly (prefix and case included), as the DOM's
// node names are.
#pragma once

#include "OpcString.h"

#include <windows.h>
#include <oleauto.h>

#include <cstddef>
#include <cstdint>

class COpcTagDocument;

class COpcTagElement
{
public:
    // Zero-terminated, never null.
    const wchar_t* Name() const noexcept;
    UINT NameLength() const noexcept;
    bool NameIs(const wchar_t* name) const noexcept;

    // The attribute's value (zero-terminated, possibly empty), or null when the
    // element has no attribute of that name.
    const wchar_t* Attribute(const wchar_t* name) const noexcept;
    UINT AttributeCount() const noexcept { return m_attributeCount; }

    const COpcTagElement* FirstChild() const noexcept { return m_firstChild; }
    const COpcTagElement* NextSibling() const noexcept { return m_next; }
    bool HasChildren() const noexcept { return m_firstChild != nullptr; }

private:
    friend class COpcTagDocument;
    struct SName;
    struct SAttr;

    const SName* m_name;
    const SAttr* m_attributes;
    UINT m_attributeCount;
    COpcTagElement* m_firstChild;
    COpcTagElement* m_next;
};

class COpcTagDocument
{
public:
    // Larger files are refused rather than read.
    static constexpr uint64_t MaxFileBytes = 512ull * 1024 * 1024;
    // A document nested deeper than this is refused as a whole, however the
    // reader is fed; tag files nest a handful of levels.
    static constexpr size_t MaxDepth = 256;

    COpcTagDocument() = default;
    ~COpcTagDocument() { Clear(); }
    COpcTagDocument(const COpcTagDocument&) = delete;
    COpcTagDocument& operator=(const COpcTagDocument&) = delete;

    // S_OK, or a failure when the file cannot be read, is too large, is not
    // well-formed XML or nests too deep; the document is then empty. COM must be initialised on
    // the calling thread.
    HRESULT Load(const COpcString& path);
    // The same for a file's bytes already in memory.
    HRESULT LoadBytes(const void* data, size_t size);

    // Null when nothing is loaded.
    const COpcTagElement* Root() const noexcept { return m_root; }
    size_t ElementCount() const noexcept { return m_elementCount; }
    // Bytes held by the tree.
    size_t MemoryBytes() const noexcept { return m_arenaBytes; }

    void Clear() noexcept;

private:
    class Handler;
    class FileStream;
    struct Block;

    HRESULT Parse(VARIANT& input);
    void* Allocate(size_t bytes, size_t alignment = sizeof(void*));
    const COpcTagElement::SName* Intern(const wchar_t* text, int length);
    const wchar_t* CopyText(const wchar_t* text, int length);

    Block* m_blocks = nullptr;
    BYTE* m_next = nullptr;
    size_t m_left = 0;
    size_t m_arenaBytes = 0;
    // Open-addressing table of the distinct names of elements and attributes.
    const COpcTagElement::SName** m_names = nullptr;
    size_t m_nameSlots = 0;
    size_t m_nameCount = 0;
    COpcTagElement* m_root = nullptr;
    size_t m_elementCount = 0;
};
