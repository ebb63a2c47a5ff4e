#include "OpcDaBrowseTree.h"

#include <cstring>
#include <cwchar>
#include <new>

namespace
{
// Nodes with more children than this find them through a hash index.
const size_t kLinearChildren = 8;

uint32_t HashName(const wchar_t* text, size_t length) noexcept
{
    uint32_t hash = 2166136261u;
    for (size_t i = 0; i < length; ++i)
        hash = (hash ^ static_cast<uint32_t>(text[i])) * 16777619u;
    return hash;
}

bool NameEquals(const COpcString& name, const wchar_t* text, size_t length) noexcept
{
    return name.Length() == length && (length == 0 || wmemcmp(name.Text(), text, length) == 0);
}

// Appends the parts in order into one string; parts are (text, length).
COpcString Join(const wchar_t* const* texts, const size_t* lengths, size_t count)
{
    size_t total = 0;
    for (size_t i = 0; i < count; ++i)
        total += lengths[i];
    if (total == 0)
        return COpcString();
    if (total > (SIZE_MAX / sizeof(wchar_t)) - 1)
        return COpcString();
    auto* buffer = static_cast<wchar_t*>(CoTaskMemAlloc((total + 1) * sizeof(wchar_t)));
    if (buffer == nullptr)
        return COpcString();
    size_t at = 0;
    for (size_t i = 0; i < count; ++i) {
        if (lengths[i] > 0)
            wmemcpy(buffer + at, texts[i], lengths[i]);
        at += lengths[i];
    }
    buffer[at] = L'\0';
    COpcString result(buffer, total);
    CoTaskMemFree(buffer);
    return result;
}
} // namespace

// --- node ---------------------------------------------------------------------------

COpcDaBrowseNode::~COpcDaBrowseNode()
{
    CoTaskMemFree(m_index);
}

COpcDaBrowseNode* COpcDaBrowseNode::ChildAt(UINT position) const noexcept
{
    return position < m_children.GetCount() ? m_children[position] : nullptr;
}

COpcDaBrowseNode* COpcDaBrowseNode::Child(const wchar_t* name, size_t length) const noexcept
{
    if (name == nullptr && length > 0)
        return nullptr;
    if (m_index == nullptr) {
        for (COpcDaBrowseNode* child : m_children) {
            if (NameEquals(child->m_name, name, length))
                return child;
        }
        return nullptr;
    }
    for (size_t i = HashName(name, length) & (m_indexSlots - 1);; i = (i + 1) & (m_indexSlots - 1)) {
        COpcDaBrowseNode* child = m_index[i];
        if (child == nullptr)
            return nullptr;
        if (NameEquals(child->m_name, name, length))
            return child;
    }
}

bool COpcDaBrowseNode::RebuildIndex()
{
    CoTaskMemFree(m_index);
    m_index = nullptr;
    m_indexSlots = 0;
    const size_t count = m_children.GetCount();
    if (count <= kLinearChildren)
        return true;
    // Sized from the children, never from the old index, which a failed
    // allocation leaves at no slots: at most half full, a power of two.
    size_t slots = 32;
    while (slots < count * 2 && slots <= SIZE_MAX / sizeof(void*) / 2)
        slots *= 2;
    if (slots < count * 2)
        return false;
    auto** index = static_cast<COpcDaBrowseNode**>(CoTaskMemAlloc(slots * sizeof(void*)));
    if (index == nullptr)
        return false;   // lookups fall back to the linear search
    memset(index, 0, slots * sizeof(void*));
    for (COpcDaBrowseNode* child : m_children) {
        size_t i = HashName(child->m_name.TextOrEmpty(), child->m_name.Length()) & (slots - 1);
        while (index[i] != nullptr)
            i = (i + 1) & (slots - 1);
        index[i] = child;
    }
    m_index = index;
    m_indexSlots = slots;
    return true;
}

bool COpcDaBrowseNode::AddChild(COpcDaBrowseNode* child)
{
    if (!m_children.Append(child))
        return false;
    const size_t count = m_children.GetCount();
    if (count <= kLinearChildren)
        return true;
    // At most half full.
    if (m_index == nullptr || count * 2 > m_indexSlots) {
        RebuildIndex();
        return true;
    }
    size_t i = HashName(child->m_name.TextOrEmpty(), child->m_name.Length()) & (m_indexSlots - 1);
    while (m_index[i] != nullptr)
        i = (i + 1) & (m_indexSlots - 1);
    m_index[i] = child;
    return true;
}

void COpcDaBrowseNode::RemoveChild(COpcDaBrowseNode* child)
{
    for (size_t i = 0; i < m_children.GetCount(); ++i) {
        if (m_children[i] == child) {
            m_children.RemoveAt(i);
            RebuildIndex();
            return;
        }
    }
}

wchar_t COpcDaBrowseNode::Separator() const noexcept
{
    for (const COpcDaBrowseNode* node = this; node != nullptr; node = node->m_parent) {
        if (node->m_separator != 0)
            return node->m_separator;
    }
    return DefaultSeparator;
}

COpcString COpcDaBrowseNode::Path() const
{
    if (m_parent == nullptr)
        return COpcString();
    // name, separator, name ... from the top down.
    size_t depth = 0;
    for (const COpcDaBrowseNode* n = this; n->m_parent != nullptr; n = n->m_parent)
        ++depth;
    COpcGrowArray<const COpcDaBrowseNode*> chain;
    if (!chain.Reserve(depth))
        return COpcString();
    for (const COpcDaBrowseNode* n = this; n->m_parent != nullptr; n = n->m_parent)
        chain.Append(n);
    COpcGrowArray<const wchar_t*> texts;
    COpcGrowArray<size_t> lengths;
    wchar_t* separators = static_cast<wchar_t*>(CoTaskMemAlloc(depth * sizeof(wchar_t)));
    if (separators == nullptr || !texts.Reserve(depth * 2) || !lengths.Reserve(depth * 2)) {
        CoTaskMemFree(separators);
        return COpcString();
    }
    for (size_t k = depth; k-- > 0;) {
        const COpcDaBrowseNode* n = chain[k];
        if (!n->m_parent->IsRoot()) {
            separators[k] = n->m_parent->Separator();
            texts.Append(&separators[k]);
            lengths.Append(1);
        }
        texts.Append(n->m_name.TextOrEmpty());
        lengths.Append(n->m_name.Length());
    }
    COpcString path = Join(texts.GetData(), lengths.GetData(), texts.GetCount());
    CoTaskMemFree(separators);
    return path;
}

COpcString COpcDaBrowseNode::FullItemId() const
{
    if (!m_itemId.IsEmpty())
        return m_itemId;
    if (m_parent == nullptr)
        return COpcString();
    // Up to the nearest node with an explicit ID (or the root), then down again.
    COpcGrowArray<const COpcDaBrowseNode*> chain;
    const COpcDaBrowseNode* base = this;
    while (base != nullptr && base->m_itemId.IsEmpty() && base->m_parent != nullptr) {
        if (!chain.Append(base))
            return COpcString();
        base = base->m_parent;
    }
    COpcString id = base != nullptr ? base->m_itemId : COpcString();
    for (size_t k = chain.GetCount(); k-- > 0;) {
        const COpcDaBrowseNode* n = chain[k];
        const wchar_t separator[2] = {n->m_parent->Separator(), L'\0'};
        const wchar_t* texts[3] = {id.TextOrEmpty(), separator, n->m_name.TextOrEmpty()};
        size_t lengths[3] = {id.Length(), id.IsEmpty() ? 0u : 1u, n->m_name.Length()};
        id = Join(texts, lengths, 3);
    }
    return id;
}

COpcDaBrowseNode* COpcDaBrowseNode::Find(const wchar_t* relativePath) const
{
    const COpcDaBrowseNode* node = this;
    const wchar_t* text = relativePath != nullptr ? relativePath : L"";
    for (;;) {
        const wchar_t separator = node->Separator();
        while (*text == separator)
            ++text;
        if (*text == L'\0')
            return const_cast<COpcDaBrowseNode*>(node);
        const size_t rest = wcslen(text);
        if (COpcDaBrowseNode* whole = node->Child(text, rest))
            return whole;
        const wchar_t* split = wcschr(text, separator);
        if (split == nullptr)
            return nullptr;
        COpcDaBrowseNode* head = node->Child(text, static_cast<size_t>(split - text));
        if (head == nullptr)
            return nullptr;
        node = head;
        text = split + 1;
    }
}

// --- tree ---------------------------------------------------------------------------

COpcDaBrowseTree::COpcDaBrowseTree()
{
    m_root = new (std::nothrow) COpcDaBrowseNode(nullptr, COpcString());
}

COpcDaBrowseTree::~COpcDaBrowseTree()
{
    DeleteSubtree(m_root);
}

void COpcDaBrowseTree::DeleteSubtree(COpcDaBrowseNode* node)
{
    // Without recursion: a node is deleted once its children are gone.
    COpcDaBrowseNode* stop = node != nullptr ? node->m_parent : nullptr;
    while (node != nullptr && node != stop) {
        if (!node->m_children.IsEmpty()) {
            COpcDaBrowseNode* last = node->m_children[node->m_children.GetCount() - 1];
            node->m_children.RemoveAt(node->m_children.GetCount() - 1);
            node = last;
            continue;
        }
        COpcDaBrowseNode* parent = node->m_parent;
        delete node;
        node = parent;
    }
}

void COpcDaBrowseTree::Clear()
{
    if (m_root == nullptr) {
        m_root = new (std::nothrow) COpcDaBrowseNode(nullptr, COpcString());
        m_nodeCount = 0;
        return;
    }
    for (COpcDaBrowseNode* child : m_root->m_children)
        DeleteSubtree(child);
    m_root->m_children.RemoveAll();
    m_root->RebuildIndex();
    m_root->m_item = nullptr;
    m_root->m_itemId = COpcString();
    m_nodeCount = 0;
}

namespace
{
// The next name of an item ID split at the separator; empty names are skipped.
bool NextSegment(const wchar_t*& cursor, const wchar_t* end, wchar_t separator, const wchar_t*& name,
                 size_t& length)
{
    while (cursor < end && *cursor == separator)
        ++cursor;
    if (cursor >= end)
        return false;
    name = cursor;
    while (cursor < end && *cursor != separator)
        ++cursor;
    length = static_cast<size_t>(cursor - name);
    return true;
}
} // namespace

COpcDaBrowseNode* COpcDaBrowseTree::AddItem(const COpcString& itemId, COpcDaItemEntry* entry)
{
    if (m_root == nullptr || itemId.IsEmpty())
        return nullptr;
    const wchar_t* cursor = itemId.Text();
    const wchar_t* end = cursor + itemId.Length();
    COpcDaBrowseNode* node = m_root;
    const wchar_t* name = nullptr;
    size_t length = 0;
    bool any = false;
    while (NextSegment(cursor, end, node->Separator(), name, length)) {
        any = true;
        COpcDaBrowseNode* child = node->Child(name, length);
        if (child == nullptr) {
            child = new (std::nothrow) COpcDaBrowseNode(node, COpcString(name, length));
            if (child == nullptr)
                return nullptr;
            if (!node->AddChild(child)) {
                delete child;
                return nullptr;
            }
            ++m_nodeCount;
        }
        node = child;
    }
    if (!any)
        return nullptr;
    node->m_itemId = itemId;
    node->m_item = entry;
    return node;
}

COpcDaBrowseNode* COpcDaBrowseTree::FindItemNode(const COpcString& itemId) const
{
    if (m_root == nullptr || itemId.IsEmpty())
        return nullptr;
    const wchar_t* cursor = itemId.Text();
    const wchar_t* end = cursor + itemId.Length();
    COpcDaBrowseNode* node = m_root;
    const wchar_t* name = nullptr;
    size_t length = 0;
    bool any = false;
    while (NextSegment(cursor, end, node->Separator(), name, length)) {
        any = true;
        node = node->Child(name, length);
        if (node == nullptr)
            return nullptr;
    }
    return any ? node : nullptr;
}

bool COpcDaBrowseTree::RemoveItem(const COpcString& itemId)
{
    COpcDaBrowseNode* node = FindItemNode(itemId);
    if (node == nullptr)
        return false;
    node->m_item = nullptr;
    node->m_itemId = COpcString();
    while (node != m_root && node->m_item == nullptr && node->m_children.IsEmpty()) {
        COpcDaBrowseNode* parent = node->m_parent;
        parent->RemoveChild(node);
        delete node;
        --m_nodeCount;
        node = parent;
    }
    return true;
}
