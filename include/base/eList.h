// eList<T>: a doubly linked list of values over std::list.
#ifndef TVK_BASE_ELIST_H
#define TVK_BASE_ELIST_H

#include <list>
#include <utility>

#include "platform/eExport.h"

namespace TVK {

template <typename T>
class eList {
public:
    using iterator = typename std::list<T>::iterator;
    using const_iterator = typename std::list<T>::const_iterator;

    eList() = default;
    eList(const eList& other) = default;
    eList& operator=(const eList& other) {
        if (this != &other) {
            m_list.clear();
            m_list.insert(m_list.end(), other.m_list.begin(), other.m_list.end());
        }
        return *this;
    }
    eList(eList&& other) noexcept = default;
    eList& operator=(eList&& other) noexcept = default;
    ~eList() = default;

    eInt GetCount() const { return static_cast<eInt>(m_list.size()); }
    bool IsEmpty() const { return m_list.empty(); }

    void AddTail(const T& value) { m_list.push_back(value); }
    void AddHead(const T& value) { m_list.push_front(value); }
    // Head/tail access: only on a non-empty list.
    T& GetHead() { return m_list.front(); }
    const T& GetHead() const { return m_list.front(); }
    T& GetTail() { return m_list.back(); }
    const T& GetTail() const { return m_list.back(); }
    // Removes and returns the first (last) element; only on a non-empty list.
    T RemoveHead() {
        T value = std::move(m_list.front());
        m_list.pop_front();
        return value;
    }
    T RemoveTail() {
        T value = std::move(m_list.back());
        m_list.pop_back();
        return value;
    }
    // Removes every element equal to value; returns how many went.
    eInt Remove(const T& value) {
        const size_t before = m_list.size();
        m_list.remove(value);
        return static_cast<eInt>(before - m_list.size());
    }
    void RemoveAll() { m_list.clear(); }

    iterator begin() { return m_list.begin(); }
    iterator end() { return m_list.end(); }
    const_iterator begin() const { return m_list.begin(); }
    const_iterator end() const { return m_list.end(); }
    iterator Erase(iterator where) { return m_list.erase(where); }

protected:
    std::list<T> m_list;
};

}  // namespace TVK

#endif
