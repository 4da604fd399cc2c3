// eByteArray: the growable byte buffer that carries encoded tile bytes.
#ifndef TVK_PLATFORM_EBYTEARRAY_H
#define TVK_PLATFORM_EBYTEARRAY_H

#include <cstddef>
#include <vector>

#include "platform/eExport.h"

namespace TVK {

class TVK_API eByteArray {
public:
    eByteArray() = default;
    eByteArray(const unsigned char* data, eInt count) { Add(data, count); }

    eInt GetSize() const { return static_cast<eInt>(m_data.size()); }
    unsigned char* GetData() { return m_data.data(); }
    const unsigned char* GetData() const { return m_data.data(); }
    // Resizes; new bytes are zero. A negative size empties the array.
    void SetSize(eInt size) { m_data.resize(size > 0 ? static_cast<size_t>(size) : 0u); }
    // A read/write cursor kept for callers that stream through the buffer.
    void SetPosition(eInt position) { m_nPosition = position; }
    eInt GetPosition() const { return m_nPosition; }
    void Add(const unsigned char* data, eInt count) {
        if (data != nullptr && count > 0) m_data.insert(m_data.end(), data, data + count);
    }
    void RemoveAll() {
        m_data.clear();
        m_data.shrink_to_fit();
        m_nPosition = 0;
    }

    friend bool operator==(const eByteArray& a, const eByteArray& b) {
        return a.m_data == b.m_data;
    }
    friend bool operator!=(const eByteArray& a, const eByteArray& b) {
        return a.m_data != b.m_data;
    }

private:
    std::vector<unsigned char> m_data;
    eInt m_nPosition = 0;
};

}  // namespace TVK

#endif
