// eHash<T>: a string-keyed open-addressing table with a power-of-two slot
// count. Readers and fillers share one probe sequence: for h = HashVal(key),
// start = (h ^ (h >> 13)) & mask, step = ((h ^ (h >> 17)) | 1) & mask, and a
// key always lives before the first free slot of its sequence (no deletion
// markers; slots are never emptied one by one). A slot with an empty key is free.
#ifndef TVK_BASE_EHASH_H
#define TVK_BASE_EHASH_H

#include <cstdint>
#include <memory>
#include <utility>

#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

template <typename T>
class eHash {
public:
    struct tagSlot {
        eString key;
        T value{};
    };

    eHash() = default;
    eHash(const eHash& other) { CopyFrom(other); }
    eHash& operator=(const eHash& other) {
        if (this != &other) CopyFrom(other);
        return *this;
    }
    eHash(eHash&& other) noexcept { Swap(other); }
    eHash& operator=(eHash&& other) noexcept {
        if (this != &other) {
            eHash empty;
            Swap(empty);
            Swap(other);
        }
        return *this;
    }
    virtual ~eHash();

    // 1 and value set when key is present; otherwise 0, value untouched.
    unsigned char Lookup(const eString& key, T& value) const;

    // Stores value under key, replacing an earlier value. An empty key is
    // refused (0): it would mark a free slot. The table doubles and rehashes
    // before it would become more than half full.
    unsigned char SetAt(const eString& key, const T& value);

    // The stored value, or a value-initialised T (an empty string) when the
    // key is absent; the table is not changed.
    T operator[](const eString& key) const {
        T value{};
        Lookup(key, value);
        return value;
    }

    // Number of keys stored.
    eInt GetCount() const { return m_nCount; }
    // Slots allocated (0 before the first SetAt); a power of two.
    uint32_t GetSlotCount() const { return m_pEntries ? m_nMask + 1u : 0u; }
    // Key in slot index (empty when free or out of range); for diagnostics.
    eString GetSlotKey(uint32_t index) const {
        return (m_pEntries && index <= m_nMask) ? m_pEntries[index].key : eString();
    }
    void RemoveAll() {
        m_pEntries.reset();
        m_nMask = 0;
        m_nCount = 0;
    }

protected:
    static constexpr uint32_t kInitialSlots = 16;

    // Index of the slot holding key, or of the first free slot of its probe
    // sequence; -1 when the sequence came back to its start without either.
    int64_t FindSlot(const eString& key, uint32_t h) const;
    void Grow();
    void CopyFrom(const eHash& other);
    void Swap(eHash& other) noexcept {
        std::swap(m_pEntries, other.m_pEntries);
        std::swap(m_nMask, other.m_nMask);
        std::swap(m_nCount, other.m_nCount);
    }

    std::unique_ptr<tagSlot[]> m_pEntries;
    uint32_t m_nMask = 0;
    eInt m_nCount = 0;
};

template <typename T>
eHash<T>::~eHash() = default;

template <typename T>
int64_t eHash<T>::FindSlot(const eString& key, uint32_t h) const {
    const uint32_t start = (h ^ (h >> 13)) & m_nMask;
    const uint32_t step = ((h ^ (h >> 17)) | 1u) & m_nMask;
    uint32_t i = start;
    while (m_pEntries[i].key != key) {
        if (m_pEntries[i].key.IsEmpty()) return i;
        i = (i + step) & m_nMask;
        if (i == start) return -1;
    }
    return i;
}

template <typename T>
unsigned char eHash<T>::Lookup(const eString& key, T& value) const {
    const eStringEx keyEx(key);
    if (keyEx.IsEmpty() || !m_pEntries) return 0;
    const int64_t i = FindSlot(key, keyEx.HashVal());
    if (i < 0 || m_pEntries[i].key.IsEmpty()) return 0;
    value = m_pEntries[i].value;
    return 1;
}

template <typename T>
unsigned char eHash<T>::SetAt(const eString& key, const T& value) {
    const eStringEx keyEx(key);
    if (keyEx.IsEmpty()) return 0;
    const uint32_t h = keyEx.HashVal();
    if (!m_pEntries) {
        m_pEntries = std::make_unique<tagSlot[]>(kInitialSlots);
        m_nMask = kInitialSlots - 1;
    }
    int64_t i = FindSlot(key, h);
    if (i >= 0 && !m_pEntries[i].key.IsEmpty()) {
        m_pEntries[i].value = value;
        return 1;
    }
    // A new key: keep at most half the slots in use so probes stay short.
    if (static_cast<uint64_t>(m_nCount + 1) * 2 > static_cast<uint64_t>(m_nMask) + 1) {
        Grow();
        i = FindSlot(key, h);
    }
    if (i < 0) return 0;  // cannot happen below half load; kept as a guard
    m_pEntries[i].key = key;
    m_pEntries[i].value = value;
    ++m_nCount;
    return 1;
}

template <typename T>
void eHash<T>::Grow() {
    const uint64_t newCount = (static_cast<uint64_t>(m_nMask) + 1) * 2;
    std::unique_ptr<tagSlot[]> old = std::make_unique<tagSlot[]>(newCount);
    old.swap(m_pEntries);
    const uint32_t oldCount = m_nMask + 1;
    m_nMask = static_cast<uint32_t>(newCount - 1);
    for (uint32_t j = 0; j < oldCount; ++j) {
        tagSlot& slot = old[j];
        if (slot.key.IsEmpty()) continue;
        const int64_t i = FindSlot(slot.key, eStringEx(slot.key).HashVal());
        m_pEntries[i].key = std::move(slot.key);
        m_pEntries[i].value = std::move(slot.value);
    }
}

template <typename T>
void eHash<T>::CopyFrom(const eHash& other) {
    std::unique_ptr<tagSlot[]> entries;
    if (other.m_pEntries) {
        entries = std::make_unique<tagSlot[]>(other.m_nMask + 1u);
        for (uint32_t j = 0; j <= other.m_nMask; ++j) entries[j] = other.m_pEntries[j];
    }
    m_pEntries = std::move(entries);
    m_nMask = other.m_nMask;
    m_nCount = other.m_nCount;
}

// Instantiations compiled into and exported by the library.
extern template class TVK_API eHash<eString>;
extern template class TVK_API eHash<void*>;

}  // namespace TVK

#endif
