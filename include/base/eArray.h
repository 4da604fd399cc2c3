// eArray<T>: a growable array over std::vector whose indexed access reports a
// broken bound through Eassert before the standard out-of-range error, with an
// optional fixed growth step (m_nGrowBy > 0 grows the capacity linearly).
#ifndef TVK_BASE_EARRAY_H
#define TVK_BASE_EARRAY_H

#include <algorithm>
#include <cstdint>
#include <limits>
#include <stdexcept>
#include <utility>
#include <vector>

#include "platform/eAssert.h"
#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

template <typename T>
class eArray {
public:
    eArray() = default;
    // A positive step makes every reallocation reserve exactly that many more elements.
    explicit eArray(eInt nGrowBy) : m_nGrowBy(nGrowBy) {}
    eArray(const eArray& other) = default;
    eArray& operator=(const eArray& other) = default;
    eArray(eArray&& other) noexcept = default;
    eArray& operator=(eArray&& other) noexcept = default;
    ~eArray() = default;

    eInt GetSize() const { return static_cast<eInt>(m_array.size()); }
    // Reserved element count; exposed so callers can check the growth step.
    eInt GetCapacity() const { return static_cast<eInt>(m_array.capacity()); }
    eInt GetGrowBy() const { return m_nGrowBy; }
    void SetGrowBy(eInt nGrowBy) { m_nGrowBy = nGrowBy; }

    // Appends value; returns its index.
    eInt Add(const T& value) {
        // Indices are 32-bit: refuse to grow past what an eInt can address.
        if (m_array.size() >= static_cast<size_t>(std::numeric_limits<eInt>::max()))
            throw std::length_error("eArray");
        if (m_nGrowBy > 0 && m_array.size() == m_array.capacity())
            m_array.reserve(m_array.capacity() + static_cast<size_t>(m_nGrowBy));
        m_array.push_back(value);
        return static_cast<eInt>(m_array.size()) - 1;
    }

    T& operator[](eInt nIndex) {
        CheckIndex(nIndex, __LINE__);
        return m_array.at(static_cast<size_t>(nIndex));
    }
    const T& operator[](eInt nIndex) const {
        CheckIndex(nIndex, __LINE__);
        return m_array.at(static_cast<size_t>(nIndex));
    }
    T GetAt(eInt nIndex) const {
        CheckIndex(nIndex, __LINE__);
        return m_array.at(static_cast<size_t>(nIndex));
    }

    // Removes up to nCount elements from nIndex on; returns how many went.
    eInt RemoveAt(eInt nIndex, eInt nCount = 1) {
        if (nIndex < 0) {
            Eassert("nIndex>=0", "eArray", __LINE__);
            return 0;
        }
        if (nCount <= 0 || nIndex >= GetSize()) return 0;
        const eInt end =
            static_cast<eInt>(std::min<int64_t>(static_cast<int64_t>(nIndex) + nCount, GetSize()));
        m_array.erase(m_array.begin() + nIndex, m_array.begin() + end);
        return end - nIndex;
    }

    void RemoveAll() {
        m_array.clear();
        FreeExtra();
    }

    // Moves the elements into a block of exactly their count.
    void FreeExtra() {
        if (m_array.capacity() <= m_array.size()) return;
        std::vector<T> exact;
        exact.reserve(m_array.size());
        for (T& value : m_array) exact.push_back(std::move(value));
        m_array.swap(exact);
    }

protected:
    std::vector<T> m_array;
    eInt m_nGrowBy = 0;

private:
    void CheckIndex(eInt nIndex, int line) const {
        if (nIndex < 0 || nIndex >= static_cast<eInt>(m_array.size()))
            Eassert("nIndex>=0 && nIndex<(eInt)m_array.size()", "eArray", line);
    }
};

// Instantiations compiled into and exported by the library.
extern template class TVK_API eArray<unsigned char>;
extern template class TVK_API eArray<eString>;

}  // namespace TVK

#endif
