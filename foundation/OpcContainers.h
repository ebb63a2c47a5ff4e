// Hash map, linked list and growable array over the COM task allocator.
// Growth rules and iteration order are fixed: callers depend on the cost of a
// lookup and on the order in which a map hands out its entries.
#pragma once

#include "OpcString.h"

#include <objbase.h>

#include <cstddef>
#include <climits>
#include <cstdint>
#include <new>
#include <utility>

namespace opc_detail
{
// Blocks of nodes carved from one task-allocator allocation each. A block's
// header links the blocks so they can be released together.
struct NodeBlock
{
    NodeBlock* next;
};

inline void* AllocBlock(NodeBlock*& blocks, size_t nodeSize, size_t nodes)
{
    size_t bytes = sizeof(NodeBlock) + nodeSize * nodes;
    auto* block = static_cast<NodeBlock*>(CoTaskMemAlloc(bytes));
    if (block == nullptr)
        return nullptr;
    block->next = blocks;
    blocks = block;
    return block + 1;
}

inline size_t FreeBlocks(NodeBlock*& blocks)
{
    size_t freed = 0;
    while (blocks != nullptr)
    {
        NodeBlock* next = blocks->next;
        CoTaskMemFree(blocks);
        blocks = next;
        ++freed;
    }
    return freed;
}

inline size_t CountBlocks(const NodeBlock* blocks)
{
    size_t n = 0;
    for (; blocks != nullptr; blocks = blocks->next)
        ++n;
    return n;
}
} // namespace opc_detail

// How a key is hashed and compared. Strings hash ×33 per code unit and compare
// ordinally; 32-bit integers hash to themselves.
template <class K>
struct COpcMapKeyTraits;

template <>
struct COpcMapKeyTraits<COpcString>
{
    static DWORD Hash(const COpcString& key) noexcept { return key.Hash(); }
    static bool Equal(const COpcString& a, const COpcString& b) noexcept { return a.Compare(b) == 0; }
};

template <>
struct COpcMapKeyTraits<uint32_t>
{
    static DWORD Hash(uint32_t key) noexcept { return key; }
    static bool Equal(uint32_t a, uint32_t b) noexcept { return a == b; }
};

template <>
struct COpcMapKeyTraits<int32_t>
{
    static DWORD Hash(int32_t key) noexcept { return static_cast<DWORD>(key); }
    static bool Equal(int32_t a, int32_t b) noexcept { return a == b; }
};

template <class K, class V, class Traits = COpcMapKeyTraits<K>>
class COpcMap
{
public:
    struct Entry
    {
        Entry* next;
        DWORD hash;
        K key;
        V value;
    };

    static constexpr UINT InitialBuckets = 17;
    static constexpr size_t NodesPerBlock = 10;

    COpcMap() = default;
    ~COpcMap() { RemoveAll(); }
    COpcMap(const COpcMap&) = delete;
    COpcMap& operator=(const COpcMap&) = delete;

    size_t GetCount() const noexcept { return m_count; }
    bool IsEmpty() const noexcept { return m_count == 0; }
    UINT GetBucketCount() const noexcept { return m_bucketCount; }
    size_t GetBlockCount() const noexcept { return opc_detail::CountBlocks(m_blocks); }

    V* Lookup(const K& key) const noexcept
    {
        Entry* e = Find(key, Traits::Hash(key));
        return e != nullptr ? &e->value : nullptr;
    }

    bool Lookup(const K& key, V& value) const
    {
        const V* found = Lookup(key);
        if (found == nullptr)
            return false;
        value = *found;
        return true;
    }

    // The existing entry's value, or a new entry holding a default value.
    // Null only when memory is exhausted.
    V* SetAt(const K& key)
    {
        DWORD hash = Traits::Hash(key);
        if (Entry* e = Find(key, hash))
            return &e->value;
        if (m_buckets == nullptr && !AllocateBuckets(m_bucketCount))
            return nullptr;
        // Grow before the chains get long: below 1.2 buckets per entry,
        // rehash into twice as many buckets as there are entries.
        if (static_cast<uint64_t>(m_bucketCount) * 5 < static_cast<uint64_t>(m_count) * 6)
            Rehash(static_cast<UINT>(m_count * 2));
        Entry* node = TakeNode();
        if (node == nullptr)
            return nullptr;
        new (&node->key) K(key);
        new (&node->value) V();
        node->hash = hash;
        Entry*& head = m_buckets[hash % m_bucketCount];
        node->next = head;
        head = node;
        ++m_count;
        return &node->value;
    }

    bool SetAt(const K& key, const V& value)
    {
        V* slot = SetAt(key);
        if (slot == nullptr)
            return false;
        *slot = value;
        return true;
    }

    bool RemoveKey(const K& key)
    {
        if (m_buckets == nullptr)
            return false;
        DWORD hash = Traits::Hash(key);
        for (Entry** link = &m_buckets[hash % m_bucketCount]; *link != nullptr; link = &(*link)->next)
        {
            Entry* e = *link;
            if (e->hash == hash && Traits::Equal(e->key, key))
            {
                *link = e->next;
                DestroyNode(e);
                if (--m_count == 0)
                    ReleaseStorage(false);
                return true;
            }
        }
        return false;
    }

    void RemoveAll() noexcept { ReleaseStorage(true); }

    // Iteration runs bucket by bucket, each chain from its head.
    class iterator
    {
    public:
        iterator(const COpcMap* map, UINT bucket, Entry* e) : m_map(map), m_bucket(bucket), m_entry(e) {}
        Entry& operator*() const { return *m_entry; }
        Entry* operator->() const { return m_entry; }
        iterator& operator++()
        {
            m_entry = m_entry->next;
            if (m_entry == nullptr)
                Advance(m_bucket + 1);
            return *this;
        }
        bool operator==(const iterator& o) const { return m_entry == o.m_entry; }
        bool operator!=(const iterator& o) const { return m_entry != o.m_entry; }

    private:
        friend class COpcMap;
        void Advance(UINT from)
        {
            m_entry = nullptr;
            if (m_map->m_buckets == nullptr)
                return;
            for (m_bucket = from; m_bucket < m_map->m_bucketCount; ++m_bucket)
            {
                if (m_map->m_buckets[m_bucket] != nullptr)
                {
                    m_entry = m_map->m_buckets[m_bucket];
                    return;
                }
            }
        }
        const COpcMap* m_map;
        UINT m_bucket;
        Entry* m_entry;
    };

    iterator begin() const
    {
        iterator it(this, 0, nullptr);
        it.Advance(0);
        return it;
    }
    iterator end() const { return iterator(this, 0, nullptr); }

private:
    Entry* Find(const K& key, DWORD hash) const noexcept
    {
        if (m_buckets == nullptr)
            return nullptr;
        for (Entry* e = m_buckets[hash % m_bucketCount]; e != nullptr; e = e->next)
        {
            if (e->hash == hash && Traits::Equal(e->key, key))
                return e;
        }
        return nullptr;
    }

    bool AllocateBuckets(UINT count)
    {
        if (count == 0 || count > SIZE_MAX / sizeof(Entry*))
            return false;
        auto** buckets = static_cast<Entry**>(CoTaskMemAlloc(sizeof(Entry*) * count));
        if (buckets == nullptr)
            return false;
        for (UINT i = 0; i < count; ++i)
            buckets[i] = nullptr;
        m_buckets = buckets;
        m_bucketCount = count;
        return true;
    }

    void Rehash(UINT newCount)
    {
        Entry** old = m_buckets;
        UINT oldCount = m_bucketCount;
        // Without memory for a larger table the map stays correct, only slower.
        if (!AllocateBuckets(newCount))
            return;
        for (UINT b = 0; b < oldCount; ++b)
        {
            Entry* e = old[b];
            while (e != nullptr)
            {
                Entry* next = e->next;
                Entry*& head = m_buckets[e->hash % m_bucketCount];
                e->next = head;
                head = e;
                e = next;
            }
        }
        CoTaskMemFree(old);
    }

    Entry* TakeNode()
    {
        if (m_free == nullptr)
        {
            auto* nodes = static_cast<Entry*>(opc_detail::AllocBlock(m_blocks, sizeof(Entry), NodesPerBlock));
            if (nodes == nullptr)
                return nullptr;
            for (size_t i = 0; i < NodesPerBlock; ++i)
            {
                nodes[i].next = m_free;
                m_free = &nodes[i];
            }
        }
        Entry* node = m_free;
        m_free = node->next;
        return node;
    }

    void DestroyNode(Entry* e)
    {
        e->value.~V();
        e->key.~K();
        e->next = m_free;
        m_free = e;
    }

    void ReleaseStorage(bool destroyEntries) noexcept
    {
        if (destroyEntries && m_buckets != nullptr)
        {
            for (UINT b = 0; b < m_bucketCount; ++b)
            {
                for (Entry* e = m_buckets[b]; e != nullptr;)
                {
                    Entry* next = e->next;
                    e->value.~V();
                    e->key.~K();
                    e = next;
                }
            }
        }
        CoTaskMemFree(m_buckets);
        m_buckets = nullptr;
        m_bucketCount = InitialBuckets;
        m_count = 0;
        m_free = nullptr;
        opc_detail::FreeBlocks(m_blocks);
    }

    Entry** m_buckets = nullptr;
    UINT m_bucketCount = InitialBuckets;
    size_t m_count = 0;
    Entry* m_free = nullptr;
    opc_detail::NodeBlock* m_blocks = nullptr;
};

template <class V>
class COpcList
{
public:
    struct Node
    {
        Node* prev;
        Node* next;
        V value;
    };

    static constexpr size_t NodesPerBlock = 10;

    COpcList() = default;
    ~COpcList() { RemoveAll(); }
    COpcList(const COpcList&) = delete;
    COpcList& operator=(const COpcList&) = delete;

    size_t GetCount() const noexcept { return m_count; }
    bool IsEmpty() const noexcept { return m_count == 0; }
    Node* GetHead() const noexcept { return m_head; }
    Node* GetTail() const noexcept { return m_tail; }
    size_t GetBlockCount() const noexcept { return opc_detail::CountBlocks(m_blocks); }

    // The new node, or null when memory is exhausted (a value passed by
    // rvalue is then left with the caller, so move-only owners fit too).
    Node* AddTail(const V& value) { return AddTailWith(value); }
    Node* AddTail(V&& value) { return AddTailWith(std::move(value)); }

    Node* AddHead(const V& value)
    {
        Node* node = TakeNode();
        if (node == nullptr)
            return nullptr;
        new (&node->value) V(value);
        node->prev = nullptr;
        node->next = m_head;
        if (m_head != nullptr)
            m_head->prev = node;
        else
            m_tail = node;
        m_head = node;
        ++m_count;
        return node;
    }

    // The value of the last node; the list must not be empty.
    V RemoveTail()
    {
        V value(std::move(m_tail->value));
        RemoveAt(m_tail);
        return value;
    }

    void RemoveAt(Node* node)
    {
        if (node->prev != nullptr)
            node->prev->next = node->next;
        else
            m_head = node->next;
        if (node->next != nullptr)
            node->next->prev = node->prev;
        else
            m_tail = node->prev;
        node->value.~V();
        node->next = m_free;
        m_free = node;
        if (--m_count == 0)
            ReleaseStorage();
    }

    void RemoveAll() noexcept
    {
        for (Node* n = m_head; n != nullptr; n = n->next)
            n->value.~V();
        ReleaseStorage();
    }

    class iterator
    {
    public:
        explicit iterator(Node* n) : m_node(n) {}
        V& operator*() const { return m_node->value; }
        V* operator->() const { return &m_node->value; }
        iterator& operator++()
        {
            m_node = m_node->next;
            return *this;
        }
        bool operator!=(const iterator& o) const { return m_node != o.m_node; }
        bool operator==(const iterator& o) const { return m_node == o.m_node; }

    private:
        Node* m_node;
    };

    iterator begin() const { return iterator(m_head); }
    iterator end() const { return iterator(nullptr); }

private:
    template <class U>
    Node* AddTailWith(U&& value)
    {
        Node* node = TakeNode();
        if (node == nullptr)
            return nullptr;
        new (&node->value) V(std::forward<U>(value));
        node->next = nullptr;
        node->prev = m_tail;
        if (m_tail != nullptr)
            m_tail->next = node;
        else
            m_head = node;
        m_tail = node;
        ++m_count;
        return node;
    }

    Node* TakeNode()
    {
        if (m_free == nullptr)
        {
            auto* nodes = static_cast<Node*>(opc_detail::AllocBlock(m_blocks, sizeof(Node), NodesPerBlock));
            if (nodes == nullptr)
                return nullptr;
            for (size_t i = 0; i < NodesPerBlock; ++i)
            {
                nodes[i].next = m_free;
                m_free = &nodes[i];
            }
        }
        Node* node = m_free;
        m_free = node->next;
        return node;
    }

    void ReleaseStorage() noexcept
    {
        m_head = m_tail = m_free = nullptr;
        m_count = 0;
        opc_detail::FreeBlocks(m_blocks);
    }

    Node* m_head = nullptr;
    Node* m_tail = nullptr;
    size_t m_count = 0;
    Node* m_free = nullptr;
    opc_detail::NodeBlock* m_blocks = nullptr;
};

// Arrays are reallocated to their exact size on every change, so they suit
// short, rarely grown sequences only.
template <class T>
class COpcArray
{
public:
    COpcArray() = default;
    ~COpcArray() { SetSize(0); }
    COpcArray(const COpcArray&) = delete;
    COpcArray& operator=(const COpcArray&) = delete;

    UINT GetSize() const noexcept { return m_count; }
    T* GetData() const noexcept { return m_items; }
    T& operator[](UINT index) const { return m_items[index]; }

    // Reallocates to exactly count elements; keeps the first min(count, old)
    // and default-constructs the rest. False when memory is exhausted, in
    // which case the array is unchanged.
    bool SetSize(UINT count)
    {
        if (count == m_count)
            return true;
        T* items = nullptr;
        if (count > 0)
        {
            if (count > SIZE_MAX / sizeof(T))
                return false;
            items = static_cast<T*>(CoTaskMemAlloc(sizeof(T) * count));
            if (items == nullptr)
                return false;
            UINT keep = count < m_count ? count : m_count;
            for (UINT i = 0; i < keep; ++i)
                new (&items[i]) T(std::move(m_items[i]));
            for (UINT i = keep; i < count; ++i)
                new (&items[i]) T();
        }
        for (UINT i = 0; i < m_count; ++i)
            m_items[i].~T();
        CoTaskMemFree(m_items);
        m_items = items;
        m_count = count;
        return true;
    }

    bool Append(const T& value)
    {
        if (m_count == UINT_MAX)
            return false;
        T copy(value); // the value may live in this array
        if (!SetSize(m_count + 1))
            return false;
        m_items[m_count - 1] = std::move(copy);
        return true;
    }

    bool Copy(const COpcArray& other)
    {
        if (&other == this)
            return true;
        COpcArray fresh;
        if (!fresh.SetSize(other.m_count))
            return false;
        for (UINT i = 0; i < other.m_count; ++i)
            fresh.m_items[i] = other.m_items[i];
        Swap(fresh);
        return true;
    }

    void Swap(COpcArray& other) noexcept
    {
        std::swap(m_items, other.m_items);
        std::swap(m_count, other.m_count);
    }

private:
    T* m_items = nullptr;
    UINT m_count = 0;
};
