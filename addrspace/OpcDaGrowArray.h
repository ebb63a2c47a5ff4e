// A growable array of plain values (pointers, numbers) over the task
// allocator that doubles its capacity, for the long sequences of the address
// space: the item list of a load, the items of a poller, the children of a
// browse node. COpcArray reallocates on every append and suits short lists only.
#pragma once

#include <objbase.h>

#include <cstddef>
#include <cstdint>
#include <type_traits>

template <class T>
class COpcDaGrowArray
{
    static_assert(std::is_trivially_copyable<T>::value, "plain values only");

public:
    COpcDaGrowArray() = default;
    ~COpcDaGrowArray() { CoTaskMemFree(m_items); }
    COpcDaGrowArray(const COpcDaGrowArray&) = delete;
    COpcDaGrowArray& operator=(const COpcDaGrowArray&) = delete;

    size_t GetCount() const noexcept { return m_count; }
    bool IsEmpty() const noexcept { return m_count == 0; }
    T* GetData() const noexcept { return m_items; }
    T& operator[](size_t index) const noexcept { return m_items[index]; }

    // False when memory is exhausted; the array is then unchanged.
    bool Append(const T& value)
    {
        if (m_count == m_capacity && !Grow(m_count + 1))
            return false;
        m_items[m_count++] = value;
        return true;
    }

    bool Reserve(size_t count) { return count <= m_capacity || Grow(count); }

    // Removes the element at index, keeping the order of the rest.
    void RemoveAt(size_t index) noexcept
    {
        if (index >= m_count)
            return;
        for (size_t i = index + 1; i < m_count; ++i)
            m_items[i - 1] = m_items[i];
        --m_count;
    }

    void RemoveAll() noexcept
    {
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
        while (capacity < needed) {
            if (capacity > SIZE_MAX / 2 / sizeof(T))
                return false;
            capacity *= 2;
        }
        if (capacity > SIZE_MAX / sizeof(T))
            return false;
        T* items = static_cast<T*>(CoTaskMemRealloc(m_items, capacity * sizeof(T)));
        if (items == nullptr)
            return false;
        m_items = items;
        m_capacity = capacity;
        return true;
    }

    T* m_items = nullptr;
    size_t m_count = 0;
    size_t m_capacity = 0;
};
