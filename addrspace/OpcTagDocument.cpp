#include "OpcTagDocument.h"

#include "OpcGrowArray.h"
#include "OpcHandle.h"
#include "OpcTaskMem.h"

#include <msxml2.h>

#include <cstring>
#include <cwchar>
#include <new>

namespace
{
// The version-independent SAX reader class and the two interfaces used,
// declared here because the toolchain's libraries do not all define them.
const CLSID kClsidSaxReader = {0x079AA557, 0x4A18, 0x424A, {0x8E, 0xEE, 0xE3, 0x9F, 0x0A, 0x8D, 0x41, 0xB9}};
const IID kIidSaxReader = {0xA4F96ED0, 0xF829, 0x476E, {0x81, 0xC0, 0xCD, 0xC7, 0xBD, 0x2A, 0x08, 0x02}};
const IID kIidContentHandler = {0x1545CDFA, 0x9E4E, 0x4497, {0xA8, 0xA4, 0x2B, 0xF7, 0xD0, 0x11, 0x2C, 0x44}};

// Large enough that the heap takes each block straight from the system and
// gives it back when freed, rather than keeping it for later.
const size_t kBlockBytes = 1024 * 1024;
// The piece of the file read at a time.
const ULONG kReadBytes = 256 * 1024;

uint32_t HashText(const wchar_t* text, size_t length) noexcept
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<uint32_t>(text[i])) * 16777619u;
    return hash;
}
} // namespace

struct COpcTagElement::SName
{
    UINT length;
    uint32_t hash;
    wchar_t text[1];
};

struct COpcTagElement::SAttr
{
    const SName* name;
    const wchar_t* value;
};

struct COpcTagDocument::Block
{
    Block* next;
};

// --- element -------------------------------------------------------------------

const wchar_t* COpcTagElement::Name() const noexcept
{
    return m_name->text;
}
UINT COpcTagElement::NameLength() const noexcept
{
    return m_name->length;
}

bool COpcTagElement::NameIs(const wchar_t* name) const noexcept
{
    return name != nullptr && wcscmp(m_name->text, name) == 0;
}

const wchar_t* COpcTagElement::Attribute(const wchar_t* name) const noexcept
{
    if (name == nullptr)
        return nullptr;
    // The names carry their hash: most candidates are told apart without comparing texts.
    size_t length = 0;
    uint32_t hash = 2166136261u;
    for (; name[length] != L'\0'; ++length)
        hash = (hash ^ static_cast<uint32_t>(name[length])) * 16777619u;
    for (UINT i = 0; i < m_attributeCount; ++i)
    {
        const SAttr& a = m_attributes[i];
        if (a.name->hash == hash && a.name->length == length && wmemcmp(a.name->text, name, length) == 0)
            return a.value;
    }
    return nullptr;
}

// --- SAX handler -----------------------------------------------------------------

// Builds the tree from the reader's events. It lives on the stack of Parse,
// which releases the reader before it goes, so its reference count is not kept.
class COpcTagDocument::Handler : public ISAXContentHandler
{
public:
    explicit Handler(COpcTagDocument& document) : m_document(document) {}

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == kIidContentHandler)
        {
            *out = static_cast<ISAXContentHandler*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP putDocumentLocator(ISAXLocator*) override { return S_OK; }
    STDMETHODIMP startDocument() override { return S_OK; }
    STDMETHODIMP endDocument() override { return S_OK; }
    STDMETHODIMP startPrefixMapping(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP endPrefixMapping(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP characters(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP ignorableWhitespace(const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP processingInstruction(const wchar_t*, int, const wchar_t*, int) override { return S_OK; }
    STDMETHODIMP skippedEntity(const wchar_t*, int) override { return S_OK; }

    STDMETHODIMP startElement(const wchar_t*, int, const wchar_t*, int, const wchar_t* qName, int qLength,
                              ISAXAttributes* attributes) override
    {
        if (m_stack.GetCount() >= COpcTagDocument::MaxDepth)
            return E_FAIL; // ends the parse
        auto* element = static_cast<COpcTagElement*>(m_document.Allocate(sizeof(COpcTagElement)));
        if (element == nullptr)
            return E_OUTOFMEMORY;
        element->m_name = m_document.Intern(qName, qLength);
        element->m_attributes = nullptr;
        element->m_attributeCount = 0;
        element->m_firstChild = nullptr;
        element->m_next = nullptr;
        if (element->m_name == nullptr)
            return E_OUTOFMEMORY;

        int count = 0;
        if (attributes != nullptr && SUCCEEDED(attributes->getLength(&count)) && count > 0)
        {
            auto* list = static_cast<COpcTagElement::SAttr*>(
                m_document.Allocate(sizeof(COpcTagElement::SAttr) * static_cast<size_t>(count)));
            if (list == nullptr)
                return E_OUTOFMEMORY;
            UINT kept = 0;
            for (int i = 0; i < count; ++i)
            {
                const wchar_t* name = nullptr;
                const wchar_t* value = nullptr;
                int nameLength = 0;
                int valueLength = 0;
                if (FAILED(attributes->getQName(i, &name, &nameLength)) ||
                    FAILED(attributes->getValue(i, &value, &valueLength)))
                    continue;
                list[kept].name = m_document.Intern(name, nameLength);
                list[kept].value = m_document.CopyText(value, valueLength);
                if (list[kept].name == nullptr || list[kept].value == nullptr)
                    return E_OUTOFMEMORY;
                ++kept;
            }
            element->m_attributes = list;
            element->m_attributeCount = kept;
        }

        if (m_stack.IsEmpty())
        {
            m_document.m_root = element;
        }
        else
        {
            Frame& parent = m_stack[m_stack.GetCount() - 1];
            if (parent.last != nullptr)
                parent.last->m_next = element;
            else
                parent.element->m_firstChild = element;
            parent.last = element;
        }
        ++m_document.m_elementCount;
        return m_stack.Append(Frame{element, nullptr}) ? S_OK : E_OUTOFMEMORY;
    }

    STDMETHODIMP endElement(const wchar_t*, int, const wchar_t*, int, const wchar_t*, int) override
    {
        if (!m_stack.IsEmpty())
            m_stack.RemoveAt(m_stack.GetCount() - 1);
        return S_OK;
    }

private:
    struct Frame
    {
        COpcTagElement* element;
        COpcTagElement* last;
    };

    COpcTagDocument& m_document;
    COpcGrowArray<Frame> m_stack;
};

// --- document -------------------------------------------------------------------

void COpcTagDocument::Clear() noexcept
{
    while (m_blocks != nullptr)
    {
        Block* next = m_blocks->next;
        CoTaskMemFree(m_blocks);
        m_blocks = next;
    }
    CoTaskMemFree(m_names);
    m_names = nullptr;
    m_nameSlots = 0;
    m_nameCount = 0;
    m_next = nullptr;
    m_left = 0;
    m_arenaBytes = 0;
    m_root = nullptr;
    m_elementCount = 0;
}

void* COpcTagDocument::Allocate(size_t bytes, size_t alignment)
{
    size_t pad = (alignment - reinterpret_cast<uintptr_t>(m_next) % alignment) % alignment;
    if (m_next == nullptr || pad + bytes > m_left)
    {
        if (bytes > SIZE_MAX - sizeof(Block) - alignment)
            return nullptr;
        const size_t size = bytes + alignment > kBlockBytes ? bytes + alignment : kBlockBytes;
        auto* block = static_cast<Block*>(CoTaskMemAlloc(sizeof(Block) + size));
        if (block == nullptr)
            return nullptr;
        block->next = m_blocks;
        m_blocks = block;
        m_arenaBytes += sizeof(Block) + size;
        m_next = reinterpret_cast<BYTE*>(block + 1);
        m_left = size;
        pad = (alignment - reinterpret_cast<uintptr_t>(m_next) % alignment) % alignment;
    }
    void* p = m_next + pad;
    m_next += pad + bytes;
    m_left -= pad + bytes;
    return p;
}

const wchar_t* COpcTagDocument::CopyText(const wchar_t* text, int length)
{
    if (length < 0 || (length > 0 && text == nullptr))
        length = 0;
    auto* copy = static_cast<wchar_t*>(Allocate((static_cast<size_t>(length) + 1) * sizeof(wchar_t), sizeof(wchar_t)));
    if (copy == nullptr)
        return nullptr;
    if (length > 0)
        wmemcpy(copy, text, static_cast<size_t>(length));
    copy[length] = L'\0';
    return copy;
}

const COpcTagElement::SName* COpcTagDocument::Intern(const wchar_t* text, int length)
{
    if (length < 0 || (length > 0 && text == nullptr))
        length = 0;
    const uint32_t hash = HashText(text, static_cast<size_t>(length));
    if (m_nameSlots != 0)
    {
        for (size_t i = hash & (m_nameSlots - 1);; i = (i + 1) & (m_nameSlots - 1))
        {
            const COpcTagElement::SName* name = m_names[i];
            if (name == nullptr)
                break;
            if (name->hash == hash && name->length == static_cast<UINT>(length) &&
                wmemcmp(name->text, text, static_cast<size_t>(length)) == 0)
                return name;
        }
    }
    // Keep the table at most half full.
    if ((m_nameCount + 1) * 2 > m_nameSlots)
    {
        const size_t slots = m_nameSlots == 0 ? 64 : m_nameSlots * 2;
        if (slots > SIZE_MAX / sizeof(void*))
            return nullptr;
        auto** table = static_cast<const COpcTagElement::SName**>(CoTaskMemAlloc(slots * sizeof(void*)));
        if (table == nullptr)
            return nullptr;
        memset(table, 0, slots * sizeof(void*));
        for (size_t i = 0; i < m_nameSlots; ++i)
        {
            const COpcTagElement::SName* name = m_names[i];
            if (name == nullptr)
                continue;
            size_t j = name->hash & (slots - 1);
            while (table[j] != nullptr)
                j = (j + 1) & (slots - 1);
            table[j] = name;
        }
        CoTaskMemFree(m_names);
        m_names = table;
        m_nameSlots = slots;
    }
    auto* name = static_cast<COpcTagElement::SName*>(
        Allocate(offsetof(COpcTagElement::SName, text) + (static_cast<size_t>(length) + 1) * sizeof(wchar_t)));
    if (name == nullptr)
        return nullptr;
    name->length = static_cast<UINT>(length);
    name->hash = hash;
    if (length > 0)
        wmemcpy(name->text, text, static_cast<size_t>(length));
    name->text[length] = L'\0';
    size_t j = hash & (m_nameSlots - 1);
    while (m_names[j] != nullptr)
        j = (j + 1) & (m_nameSlots - 1);
    m_names[j] = name;
    ++m_nameCount;
    return name;
}

HRESULT COpcTagDocument::Parse(VARIANT& input)
{
    COpcComPtr<ISAXXMLReader> reader;
    HRESULT hr = CoCreateInstance(kClsidSaxReader, nullptr, CLSCTX_INPROC_SERVER, kIidSaxReader,
                                  reinterpret_cast<void**>(reader.Receive()));
    if (FAILED(hr) || !reader)
        return FAILED(hr) ? hr : E_FAIL;
    // A configuration file never pulls in other files; readers that do not
    // know a feature keep their default.
    reader->putFeature(L"http://xml.org/sax/features/external-general-entities", VARIANT_FALSE);
    reader->putFeature(L"http://xml.org/sax/features/external-parameter-entities", VARIANT_FALSE);

    Handler handler(*this);
    hr = reader->putContentHandler(&handler);
    if (SUCCEEDED(hr))
        hr = reader->parse(input);
    reader->putContentHandler(nullptr);
    reader.Reset();
    if (SUCCEEDED(hr) && m_root == nullptr)
        hr = E_FAIL;
    if (FAILED(hr))
        Clear();
    return hr;
}

HRESULT COpcTagDocument::LoadBytes(const void* data, size_t size)
{
    Clear();
    if (data == nullptr || size == 0)
        return E_INVALIDARG;
    if (size > MaxFileBytes)
        return E_OUTOFMEMORY;
    COpcSafeArray bytes(SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(size)));
    if (bytes.Get() == nullptr)
        return E_OUTOFMEMORY;
    {
        COpcSafeArrayAccess access(bytes.Get());
        if (FAILED(access.Result()))
            return access.Result();
        memcpy(access.Data(), data, size);
    }
    VARIANT input;
    VariantInit(&input);
    input.vt = VT_ARRAY | VT_UI1;
    input.parray = bytes.Get(); // borrowed; the owner frees it
    return Parse(input);
}

// Hands the reader the file piece by piece through one buffer, up to the size
// the file had when it was opened. Given the whole file in memory, or a path,
// the reader makes a copy of its own or reads in small pieces, and either
// costs more than this.
class COpcTagDocument::FileStream : public ISequentialStream
{
public:
    FileStream(HANDLE file, uint64_t size, BYTE* buffer, ULONG bufferBytes)
        : m_file(file), m_left(size), m_buffer(buffer), m_bufferBytes(bufferBytes)
    {
    }

    STDMETHODIMP QueryInterface(REFIID iid, void** out) override
    {
        if (out == nullptr)
            return E_POINTER;
        if (iid == IID_IUnknown || iid == IID_ISequentialStream)
        {
            *out = static_cast<ISequentialStream*>(this);
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    // Lives on the stack of Load, which releases the reader before it goes.
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP Read(void* out, ULONG wanted, ULONG* done) override
    {
        if (done != nullptr)
            *done = 0;
        if (out == nullptr)
            return STG_E_INVALIDPOINTER;
        if (FAILED(m_error))
            return m_error;
        ULONG copied = 0;
        while (copied < wanted)
        {
            if (m_next == m_filled && !Refill())
                break;
            const ULONG n = wanted - copied < m_filled - m_next ? wanted - copied : m_filled - m_next;
            memcpy(static_cast<BYTE*>(out) + copied, m_buffer + m_next, n);
            m_next += n;
            copied += n;
        }
        if (done != nullptr)
            *done = copied;
        if (FAILED(m_error))
            return m_error;
        return copied < wanted ? S_FALSE : S_OK;
    }
    STDMETHODIMP Write(const void*, ULONG, ULONG* written) override
    {
        if (written != nullptr)
            *written = 0;
        return STG_E_ACCESSDENIED;
    }

    // The first failure to read, S_OK when there was none.
    HRESULT Error() const noexcept { return m_error; }

private:
    // False at the end, or on a failure (then in m_error).
    bool Refill()
    {
        if (m_left == 0)
            return false;
        const ULONG wanted = m_left < m_bufferBytes ? static_cast<ULONG>(m_left) : m_bufferBytes;
        DWORD read = 0;
        if (!ReadFile(m_file, m_buffer, wanted, &read, nullptr))
        {
            m_error = HRESULT_FROM_WIN32(GetLastError());
            return false;
        }
        if (read == 0)
        {
            m_error = E_FAIL; // the file shrank while being read
            return false;
        }
        m_left -= read;
        m_next = 0;
        m_filled = read;
        return true;
    }

    HANDLE m_file;
    uint64_t m_left;
    BYTE* m_buffer;
    ULONG m_bufferBytes;
    ULONG m_next = 0;
    ULONG m_filled = 0;
    HRESULT m_error = S_OK;
};

HRESULT COpcTagDocument::Load(const COpcString& path)
{
    Clear();
    if (path.IsEmpty())
        return E_INVALIDARG;
    COpcHandle file(CreateFileW(path.Text(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_SEQUENTIAL_SCAN, nullptr));
    if (!file)
        return HRESULT_FROM_WIN32(GetLastError());
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.Get(), &size))
        return HRESULT_FROM_WIN32(GetLastError());
    if (size.QuadPart <= 0)
        return E_FAIL;
    if (static_cast<uint64_t>(size.QuadPart) > MaxFileBytes)
        return E_OUTOFMEMORY;

    COpcTaskMem<BYTE> buffer;
    if (!buffer.Allocate(kReadBytes))
        return E_OUTOFMEMORY;
    FileStream stream(file.Get(), static_cast<uint64_t>(size.QuadPart), buffer.Get(), kReadBytes);
    VARIANT input;
    VariantInit(&input);
    input.vt = VT_UNKNOWN;
    input.punkVal = &stream; // borrowed, like the handler
    const HRESULT hr = Parse(input);
    // A failed read is the reason, whatever the reader made of the bytes before it.
    if (FAILED(stream.Error()))
    {
        Clear();
        return stream.Error();
    }
    return hr;
}
