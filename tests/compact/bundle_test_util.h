// Helpers for the bundle tests: a temporary folder, plain whole-file reads and
// writes, and bundle pairs built byte by byte, independent of the library.
#ifndef TVK_TESTS_COMPACT_BUNDLE_TEST_UTIL_H
#define TVK_TESTS_COMPACT_BUNDLE_TEST_UTIL_H

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "platform/eByteArray.h"

namespace bundletest {

using Bytes = std::vector<unsigned char>;
namespace fs = std::filesystem;

class TempDir {
public:
    TempDir() {
        std::random_device rd;
        m_path = fs::temp_directory_path() /
                 ("tvk-compact-" + std::to_string(rd()) + "-" + std::to_string(rd()));
        fs::create_directories(m_path);
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return m_path; }
    // The root as a string with a trailing '/'.
    std::string Root() const { return m_path.string() + "/"; }

private:
    fs::path m_path;
};

inline Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline void PutLE(Bytes& b, size_t at, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) b[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

inline uint32_t GetLE32(const Bytes& b, size_t at) {
    return uint32_t(b[at]) | uint32_t(b[at + 1]) << 8 | uint32_t(b[at + 2]) << 16 |
           uint32_t(b[at + 3]) << 24;
}

// Index bytes of slot i.
inline Bytes Slot(const Bytes& index, int i) {
    return Bytes(index.begin() + 16 + 5 * i, index.begin() + 16 + 5 * i + 5);
}

// This system's new index: 16 zero bytes, then 16,384 slots of 01 01 01 01 01.
inline Bytes NativeIndex() {
    Bytes index(16 + 16384 * 5, 0x01);
    for (int i = 0; i < 16; ++i) index[i] = 0;
    return index;
}

// An ArcGIS index and data file as ArcGIS Server 10.0-10.2 writes them, empty.
inline Bytes ArcGISIndex() {
    const unsigned char header[16] = {3, 0, 0, 0, 16, 0, 0, 0, 0, 0x40, 0, 0, 5, 0, 0, 0};
    const unsigned char trailer[16] = {0, 0, 0, 0, 16, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0};
    Bytes index(16 + 16384 * 5 + 16, 0);
    std::copy(header, header + 16, index.begin());
    for (int i = 0; i < 16384; ++i) PutLE(index, 16 + 5 * size_t(i), 60 + 4 * uint64_t(i), 5);
    std::copy(trailer, trailer + 16, index.begin() + 16 + 16384 * 5);
    return index;
}

inline Bytes ArcGISData(int firstRow, int firstCol) {
    Bytes data(60 + 16384 * 4, 0);
    PutLE(data, 0, 3, 4);
    PutLE(data, 4, 16384, 4);
    PutLE(data, 8, 0, 4);      // largest tile
    PutLE(data, 12, 5, 4);
    PutLE(data, 16, 0, 8);     // 4 x tile count
    PutLE(data, 24, data.size(), 8);
    PutLE(data, 32, 40, 8);
    PutLE(data, 40, 16, 4);
    PutLE(data, 44, uint64_t(firstRow), 4);
    PutLE(data, 48, uint64_t(firstRow + 127), 4);
    PutLE(data, 52, uint64_t(firstCol), 4);
    PutLE(data, 56, uint64_t(firstCol + 127), 4);
    return data;
}

inline Bytes Payload(const std::string& text) { return Bytes(text.begin(), text.end()); }

inline uint64_t GetLE(const Bytes& b, size_t at, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | b[at + size_t(i)];
    return value;
}

// A V2 bundle as ArcGIS 10.3+ writes it, without records: the 64-byte header
// (the largest tile and the file size as given) and 16,384 zero entries.
inline Bytes V2Bundle(uint32_t maxTile = 0, uint64_t fileSize = 131136) {
    Bytes file(64 + 16384 * 8, 0);
    PutLE(file, 0, 3, 4);
    PutLE(file, 4, 16384, 4);
    PutLE(file, 8, maxTile, 4);
    PutLE(file, 12, 5, 4);
    PutLE(file, 16, 0, 8);
    PutLE(file, 24, fileSize, 8);
    PutLE(file, 32, 40, 8);
    PutLE(file, 40, 20 + 131072, 4);
    PutLE(file, 44, 3, 4);
    PutLE(file, 48, 16, 4);
    PutLE(file, 52, 16384, 4);
    PutLE(file, 56, 5, 4);
    PutLE(file, 60, 131072, 4);
    return file;
}

// Entry number of a tile in a V2 bundle (row-major) and its file position.
inline size_t V2Entry(int row, int col) { return size_t(row % 128) * 128 + size_t(col % 128); }
inline size_t V2EntryAt(int row, int col) { return 64 + 8 * V2Entry(row, col); }

// Appends a record (4-byte length, bytes) and points the tile's entry at it.
inline void V2Append(Bytes& file, int row, int col, const Bytes& tile) {
    const size_t at = file.size();
    file.resize(at + 4 + tile.size());
    PutLE(file, at, tile.size(), 4);
    std::copy(tile.begin(), tile.end(), file.begin() + at + 4);
    PutLE(file, V2EntryAt(row, col), uint64_t(tile.size()) << 40 | (at + 4), 8);
}

// Payload of (level, row, col, version): a 16-byte head naming them, then a
// body of a length and content that depend on all four, so that a record
// mixed from two versions or cut short never passes Decode.
inline TVK::eByteArray Encode(int level, int row, int col, uint32_t version) {
    const uint32_t head[4] = {uint32_t(level), uint32_t(row), uint32_t(col), version};
    const size_t body = 50 + (version * 7919u + uint32_t(row)) % 3000;
    std::vector<unsigned char> bytes(16 + body);
    std::memcpy(bytes.data(), head, 16);
    for (size_t i = 0; i < body; ++i) bytes[16 + i] = static_cast<unsigned char>(version * 31 + i);
    return TVK::eByteArray(bytes.data(), static_cast<TVK::eInt>(bytes.size()));
}

// The version a payload carries, or -1 when it is not exactly the payload of
// one version of this address.
inline int64_t Decode(const TVK::eByteArray& data, int level, int row, int col) {
    if (data.GetSize() < 16) return -1;
    uint32_t head[4];
    std::memcpy(head, data.GetData(), 16);
    if (head[0] != uint32_t(level) || head[1] != uint32_t(row) || head[2] != uint32_t(col)) return -1;
    return Encode(level, row, col, head[3]) == data ? int64_t(head[3]) : -1;
}

}  // namespace bundletest

#endif
