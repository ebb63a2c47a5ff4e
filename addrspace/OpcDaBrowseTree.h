// The browse tree of the address space: a root and named nodes, each with its
// children in the order they were added. Item IDs are entered by AddItem,
// which splits them at the separator and creates the branches on the way.
//
// Not locked: the address space guards the tree with its own lock, and the
// server objects hold that lock while they walk it (COpcDaCache::Lock).
#pragma once

#include "OpcGrowArray.h"
#include "OpcString.h"
#include "OpcTaskMem.h"

#include <windows.h>

#include <memory>

class COpcDaItemEntry;

class COpcDaBrowseNode
{
public:
    // Deep trees are taken down by the tree without recursion, see COpcDaBrowseTree::DeleteSubtree.
    ~COpcDaBrowseNode() = default;

    static constexpr wchar_t DefaultSeparator = L'.';

    const COpcString& Name() const noexcept { return m_name; }
    // Null for the root.
    COpcDaBrowseNode* Parent() const noexcept { return m_parent; }
    bool IsRoot() const noexcept { return m_parent == nullptr; }

    // Children in their table order; positions stay valid while the tree is unchanged.
    UINT ChildCount() const noexcept { return static_cast<UINT>(m_children.GetCount()); }
    bool HasChildren() const noexcept { return !m_children.IsEmpty(); }
    // Null when the position is out of range.
    COpcDaBrowseNode* ChildAt(UINT position) const noexcept;
    // Exact (case-sensitive) name; null when there is no such child.
    COpcDaBrowseNode* Child(const wchar_t* name, size_t length) const noexcept;
    COpcDaBrowseNode* Child(const COpcString& name) const noexcept { return Child(name.TextOrEmpty(), name.Length()); }

    // Its own separator if set, else its parent's, else ".".
    wchar_t Separator() const noexcept;
    void SetSeparator(wchar_t separator) noexcept { m_separator = separator; }

    // "" for the root; otherwise the parent's path, the parent's separator
    // (not after the root) and the name. Browse positions are paths.
    COpcString Path() const;
    // The explicit item ID when set; otherwise the parent's full item ID, its
    // separator when that ID is not empty, and the name.
    COpcString FullItemId() const;
    const COpcString& ExplicitItemId() const noexcept { return m_itemId; }

    // The node at a relative path below this one: leading separators are
    // skipped; a child named like the whole rest wins; otherwise the text is
    // split at the first separator, the head must name a child and the rest
    // is looked up below it. Empty text gives this node. Null when not found.
    COpcDaBrowseNode* Find(const wchar_t* relativePath) const;

    // The address-space entry when this node is an item, else null.
    COpcDaItemEntry* Item() const noexcept { return m_item; }
    bool IsItem() const noexcept { return m_item != nullptr; }

private:
    friend class COpcDaBrowseTree;

    COpcDaBrowseNode(COpcDaBrowseNode* parent, const COpcString& name) : m_name(name), m_parent(parent) {}

    // Null when out of memory.
    static std::unique_ptr<COpcDaBrowseNode> Make(COpcDaBrowseNode* parent, const COpcString& name);
    // The child is kept on success and left with the caller otherwise.
    bool AddChild(std::unique_ptr<COpcDaBrowseNode>& child);
    void RemoveChild(COpcDaBrowseNode* child);
    // False when out of memory; lookups then search the children in order.
    bool RebuildIndex();

    COpcString m_name;
    COpcString m_itemId;
    COpcDaBrowseNode* m_parent;
    COpcDaItemEntry* m_item = nullptr; // borrowed: the item map owns the entry
    wchar_t m_separator = 0;
    // Next to the separator, so that a node (there is one per item) takes a heap block size less.
    UINT m_indexSlots = 0;
    COpcGrowArray<std::unique_ptr<COpcDaBrowseNode>> m_children;
    // Hash index of the children by name, made once a node has many of them.
    COpcTaskMem<COpcDaBrowseNode*> m_index;
};

class COpcDaBrowseTree
{
public:
    COpcDaBrowseTree();
    ~COpcDaBrowseTree();
    COpcDaBrowseTree(const COpcDaBrowseTree&) = delete;
    COpcDaBrowseTree& operator=(const COpcDaBrowseTree&) = delete;

    // Null only when the root could not be made.
    COpcDaBrowseNode* Root() const noexcept { return m_root.get(); }
    size_t NodeCount() const noexcept { return m_nodeCount; }

    // The node of an item ID, made with its branches when missing; the item ID
    // becomes its explicit ID and entry its item. Null when out of memory or
    // when the ID holds no name at all.
    COpcDaBrowseNode* AddItem(const COpcString& itemId, COpcDaItemEntry* entry);
    // Forgets the item of the ID's node and removes the nodes that are left
    // with neither item nor children. False when the ID has no node.
    bool RemoveItem(const COpcString& itemId);
    // The node of an item ID as AddItem placed it; null when there is none.
    COpcDaBrowseNode* FindItemNode(const COpcString& itemId) const;
    // Back to an empty root.
    void Clear();

private:
    // Empties the node's subtree bottom-up, without recursion, so that a deep
    // tree cannot exhaust the stack; the node itself stays.
    static void DeleteSubtree(COpcDaBrowseNode* node);

    std::unique_ptr<COpcDaBrowseNode> m_root;
    size_t m_nodeCount = 0;
};
