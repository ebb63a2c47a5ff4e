#include "OpcDaBrowseTree.h"

#include <climits>
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
    COpcTaskMem<wchar_t> block;
    if (!block.Allocate(total + 1))
        return COpcString();
    wchar_t* buffer = block.Get();
    size_t at = 0;
    for (size_t i = 0; i < count; ++i)
    {
        if (lengths[i] > 0)
            wmemcpy(buffer + at, texts[i], lengths[i]);
        at += lengths[i];
    }
    buffer[at] = L'\0';
    return COpcString(buffer, total);
}
} // namespace

// --- node ---------------------------------------------------------------------------

std::unique_ptr<COpcDaBrowseNode> COpcDaBrowseNode::Make(COpcDaBrowseNode* parent, const COpcString& name)
{
    return std::unique_ptr<COpcDaBrowseNode>(new (std::nothrow) COpcDaBrowseNode(parent, name));
}

COpcDaBrowseNode* COpcDaBrowseNode::ChildAt(UINT position) const noexcept
{
    return position < m_children.GetCount() ? m_children[position].get() : nullptr;
}

COpcDaBrowseNode* COpcDaBrowseNode::Child(const wchar_t* name, size_t length) const noexcept
{
    if (name == nullptr && length > 0)
        return nullptr;
    COpcDaBrowseNode* const* index = m_index.Get();
    if (index == nullptr)
    {
        for (const auto& child : m_children)
        {
            if (NameEquals(child->m_name, name, length))
                return child.get();
        }
        return nullptr;
    }
    for (size_t i = HashName(name, length) & (m_indexSlots - 1);; i = (i + 1) & (m_indexSlots - 1))
    {
        COpcDaBrowseNode* child = index[i];
        if (child == nullptr)
            return nullptr;
        if (NameEquals(child->m_name, name, length))
            return child;
    }
}

bool COpcDaBrowseNode::RebuildIndex()
{
    m_index.Reset();
    m_indexSlots = 0;
    const size_t count = m_children.GetCount();
    if (count <= kLinearChildren)
        return true;
    // Sized from the children, never from the old index, which a failed
    // allocation leaves at no slots: at most half full, a power of two.
    size_t slots = 32;
    while (slots < count * 2 && slots <= UINT_MAX / 2)
        slots *= 2;
    if (slots < count * 2)
        return false;
    COpcTaskMem<COpcDaBrowseNode*> index;
    if (!index.Allocate(slots))
        return false; // lookups fall back to the linear search
    for (const auto& child : m_children)
    {
        size_t i = HashName(child->m_name.TextOrEmpty(), child->m_name.Length()) & (slots - 1);
        while (index.Get()[i] != nullptr)
            i = (i + 1) & (slots - 1);
        index.Get()[i] = child.get();
    }
    m_index = std::move(index);
    m_indexSlots = static_cast<UINT>(slots);
    return true;
}

bool COpcDaBrowseNode::AddChild(std::unique_ptr<COpcDaBrowseNode>& owned)
{
    COpcDaBrowseNode* child = owned.get();
    if (!m_children.Append(std::move(owned)))
        return false;
    const size_t count = m_children.GetCount();
    if (count <= kLinearChildren)
        return true;
    // At most half full.
    COpcDaBrowseNode** index = m_index.Get();
    if (index == nullptr || count * 2 > m_indexSlots)
    {
        RebuildIndex();
        return true;
    }
    size_t i = HashName(child->m_name.TextOrEmpty(), child->m_name.Length()) & (m_indexSlots - 1);
    while (index[i] != nullptr)
        i = (i + 1) & (m_indexSlots - 1);
    index[i] = child;
    return true;
}

void COpcDaBrowseNode::RemoveChild(COpcDaBrowseNode* child)
{
    for (size_t i = 0; i < m_children.GetCount(); ++i)
    {
        if (m_children[i].get() == child)
        {
            m_children.RemoveAt(i);
            RebuildIndex();
            return;
        }
    }
}

wchar_t COpcDaBrowseNode::Separator() const noexcept
{
    for (const COpcDaBrowseNode* node = this; node != nullptr; node = node->m_parent)
    {
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
    COpcTaskMem<wchar_t> separatorBlock;
    if (!separatorBlock.Allocate(depth) || !texts.Reserve(depth * 2) || !lengths.Reserve(depth * 2))
        return COpcString();
    wchar_t* separators = separatorBlock.Get();
    for (size_t k = depth; k-- > 0;)
    {
        const COpcDaBrowseNode* n = chain[k];
        if (!n->m_parent->IsRoot())
        {
            separators[k] = n->m_parent->Separator();
            texts.Append(&separators[k]);
            lengths.Append(1);
        }
        texts.Append(n->m_name.TextOrEmpty());
        lengths.Append(n->m_name.Length());
    }
    return Join(texts.GetData(), lengths.GetData(), texts.GetCount());
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
    while (base != nullptr && base->m_itemId.IsEmpty() && base->m_parent != nullptr)
    {
        if (!chain.Append(base))
            return COpcString();
        base = base->m_parent;
    }
    COpcString id = base != nullptr ? base->m_itemId : COpcString();
    for (size_t k = chain.GetCount(); k-- > 0;)
    {
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
    for (;;)
    {
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

COpcDaBrowseTree::COpcDaBrowseTree() : m_root(COpcDaBrowseNode::Make(nullptr, COpcString())) {}

COpcDaBrowseTree::~COpcDaBrowseTree()
{
    DeleteSubtree(m_root.get());
}

void COpcDaBrowseTree::DeleteSubtree(COpcDaBrowseNode* top)
{
    // Down to a leaf, which goes with its slot in the parent's children; then
    // on from the parent. Every node freed has no children left.
    COpcDaBrowseNode* node = top;
    while (node != nullptr)
    {
        if (node->HasChildren())
        {
            node = node->m_children.Last().get();
            continue;
        }
        if (node == top)
            break;
        COpcDaBrowseNode* parent = node->m_parent;
        parent->m_children.RemoveLast();
        node = parent;
    }
}

void COpcDaBrowseTree::Clear()
{
    if (m_root == nullptr)
    {
        m_root = COpcDaBrowseNode::Make(nullptr, COpcString());
        m_nodeCount = 0;
        return;
    }
    DeleteSubtree(m_root.get());
    m_root->RebuildIndex();
    m_root->m_item = nullptr;
    m_root->m_itemId = COpcString();
    m_nodeCount = 0;
}

namespace
{
// The next name of an item ID split at the separator; empty names are skipped.
bool NextSegment(const wchar_t*& cursor, const wchar_t* end, wchar_t separator, const wchar_t*& name, size_t& length)
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
    COpcDaBrowseNode* node = m_root.get();
    const wchar_t* name = nullptr;
    size_t length = 0;
    bool any = false;
    while (NextSegment(cursor, end, node->Separator(), name, length))
    {
        any = true;
        COpcDaBrowseNode* child = node->Child(name, length);
        if (child == nullptr)
        {
            std::unique_ptr<COpcDaBrowseNode> made = COpcDaBrowseNode::Make(node, COpcString(name, length));
            child = made.get();
            if (child == nullptr || !node->AddChild(made))
                return nullptr;
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
    COpcDaBrowseNode* node = m_root.get();
    const wchar_t* name = nullptr;
    size_t length = 0;
    bool any = false;
    while (NextSegment(cursor, end, node->Separator(), name, length))
    {
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
    while (node != m_root.get() && node->m_item == nullptr && node->m_children.IsEmpty())
    {
        COpcDaBrowseNode* parent = node->m_parent;
        parent->RemoveChild(node); // frees the node
        --m_nodeCount;
        node = parent;
    }
    return true;
}
