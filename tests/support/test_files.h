// Test helpers: a scratch folder, plain whole-file reads and writes that do
// not go through the library, little-endian byte building, a forked child,
// and bundle files built byte by byte from their layouts.
#ifndef TVK_TESTS_SUPPORT_TEST_FILES_H
#define TVK_TESTS_SUPPORT_TEST_FILES_H

#include <cstdint>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "platform/eByteArray.h"

namespace tvktest {

using namespace TVK;

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;
constexpr double kWorld = 40075016.68557849;  // Web Mercator width, metres

// A fresh folder (mode 0755, so an unprivileged child can reach it) below the
// system temp folder, removed with everything in it, read-only parts included.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& Path() const { return m_path; }
    std::string Str() const { return m_path.string(); }
    std::string Root() const { return m_path.string() + "/"; }  // with the trailing '/'
    fs::path operator/(const std::string& relative) const { return m_path / relative; }

private:
    fs::path m_path;
};

Bytes ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const Bytes& bytes);  // makes the parent folders
inline Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
inline std::string ReadText(const fs::path& path) {
    const Bytes b = ReadFile(path);
    return std::string(b.begin(), b.end());
}
inline void WriteText(const fs::path& path, const std::string& text) {
    WriteFile(path, Text(text));
}
inline Bytes ToBytes(const TVK::eByteArray& a) {
    return Bytes(a.GetData(), a.GetData() + a.GetSize());
}
inline TVK::eByteArray ToArray(const Bytes& b) {
    return TVK::eByteArray(b.data(), static_cast<TVK::eInt>(b.size()));
}
Bytes Concat(Bytes a, const Bytes& b);
inline Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}
bool Contains(const Bytes& haystack, const Bytes& needle);

void PutLE(Bytes& b, size_t at, uint64_t value, int count);
uint64_t GetLE(const Bytes& b, size_t at, int count);
// count bytes at offset, for files too large to read whole.
Bytes ReadRange(const fs::path& path, uint64_t offset, size_t count);

// Runs body in a forked child; its exit code, or -1 when it did not exit normally.
int RunInChild(const std::function<int()>& body);

// V1 index of this system's own new pair: 16 zero bytes, 16,384 slots of 01 x 5.
Bytes NativeIndex();
// An empty V1 pair as ArcGIS Server 10.0-10.2 writes it: the index with its
// header, trailer and slots 60 + 4 x slot; the data file with its 60-byte
// header for the block at (firstRow, firstCol) and 16,384 zero lengths.
Bytes ArcGISIndex();
Bytes ArcGISData(int firstRow, int firstCol);
// A record: 4-byte little-endian length, then the bytes.
Bytes Record(const Bytes& tile);

// A V2 bundle without records: the 64-byte header and 16,384 zero entries.
Bytes V2Bundle();
// Entry position of a tile in a V2 bundle (row-major within its block).
inline size_t V2EntryAt(int row, int col) {
    return 64 + 8 * (size_t(row % 128) * 128 + size_t(col % 128));
}
// Appends a record, points the tile's entry at it, and updates the header's
// largest-tile and file-size fields.
void V2Append(Bytes& file, int row, int col, const Bytes& tile);
// A tile's bytes read through the entry by hand; empty when none.
Bytes V2TileAt(const Bytes& file, int row, int col);

}  // namespace tvktest

#endif
