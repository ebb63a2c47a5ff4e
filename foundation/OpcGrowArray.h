// A growable array over the task allocator that doubles its capacity, for
// long sequences: the item list of a load, the items of a poller, the
// children of a browse node. COpcArray reallocates on every append and suits
// short lists only.
//
// Plain values (pointers, numbers, trivially copyable records) grow with one
// reallocation; other element types, such as owners like std::unique_ptr,
// are moved into the new storage, so the array can own what it holds.
#pragma once

#include <objbase.h>

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>

template <class T>
class COpcGrowArray
{
    static constexpr bool Plain = std::is_trivially_copyable<T>::value;
    static_assert(Plain || std::is_nothrow_move_constructible<T>::value,
                  "elements must move without throwing: growth cannot be undone halfway");

public:
    COpcGrowArray() = default;
    ~COpcGrowArray() { RemoveAll(); }
    COpcGrowArray(const COpcGrowArray&) = delete;
    COpcGrowArray& operator=(const COpcGrowArray&) = delete;

    size_t GetCount() const noexcept { return m_count; }
    bool IsEmpty() const noexcept { return m_count == 0; }
    T* GetData() const noexcept { return m_items; }
    T& operator[](size_t index) const noexcept { return m_items[index]; }
    // The array must not be empty.
    T& Last() const noexcept { return m_items[m_count - 1]; }

    // False when memory is exhausted; the array (and value) are then unchanged.
    bool Append(T&& value)
    {
        if (m_count == m_capacity && !Grow(m_count + 1))
            return false;
        new (&m_items[m_count]) T(std::move(value));
        ++m_count;
        return true;
    }

    bool Append(const T& value)
    {
        T copy(value); // the value may live in this array's storage
        return Append(std::move(copy));
    }

    bool Reserve(size_t count) { return count <= m_capacity || Grow(count); }

    // Removes the element at index, keeping the order of the rest.
    void RemoveAt(size_t index) noexcept
    {
        if (index >= m_count)
            return;
        for (size_t i = index + 1; i < m_count; ++i)
            m_items[i - 1] = std::move(m_items[i]);
        m_items[--m_count].~T();
    }

    void RemoveLast() noexcept
    {
        if (m_count > 0)
            m_items[--m_count].~T();
    }

    void RemoveAll() noexcept
    {
        // Owners are destroyed first to last, the order the elements were added.
        if (!Plain)
        {
            for (size_t i = 0; i < m_count; ++i)
                m_items[i].~T();
        }
        CoTaskMemFree(m_items);
        m_items = nullptr;
        m_count = 0;
        m_capacity = 0;
    }

    T* begin() const noexcept { return m_items; }
    T* end() const noexcept { return m_items + m_count; }

private:
    bool Grow(size_t needed)
    {
        size_t capacity = m_capacity < 8 ? 8 : m_capacity;
        while (capacity < needed)
        {
            if (capacity > SIZE_MAX / 2 / sizeof(T))
                return false;
            capacity *= 2;
        }
        if (capacity > SIZE_MAX / sizeof(T))
            return false;
        T* items = nullptr;
        if (Plain)
        {
            items = static_cast<T*>(CoTaskMemRealloc(m_items, capacity * sizeof(T)));
            if (items == nullptr)
                return false;
        }
        else
        {
            items = static_cast<T*>(CoTaskMemAlloc(capacity * sizeof(T)));
            if (items == nullptr)
                return false;
            for (size_t i = 0; i < m_count; ++i)
            {
                new (&items[i]) T(std::move(m_items[i]));
                m_items[i].~T();
            }
            CoTaskMemFree(m_items);
        }
        m_items = items;
        m_capacity = capacity;
        return true;
    }

    T* m_items = nullptr;
    size_t m_count = 0;
    size_t m_capacity = 0;
};
