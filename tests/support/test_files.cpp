#include "support/test_files.h"

#include <algorithm>
#include <atomic>
#include <fstream>
#include <iterator>
#include <random>

#include <sys/wait.h>
#include <unistd.h>

namespace tvktest {

TempDir::TempDir() {
    static std::atomic<int> counter{0};
    std::error_code ec;
    do {
        m_path = fs::temp_directory_path() / ("tvk_test_" + std::to_string(std::random_device{}()) +
                                              "_" + std::to_string(counter++));
    } while (!fs::create_directory(m_path, ec));
    fs::permissions(m_path, fs::perms(0755));
}

TempDir::~TempDir() {
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(m_path, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec))
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
    fs::remove_all(m_path, ec);
}

Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::error_code ec;
    if (path.has_parent_path()) fs::create_directories(path.parent_path(), ec);
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) !=
           haystack.end();
}

void PutLE(Bytes& b, size_t at, uint64_t value, int count) {
    for (int i = 0; i < count; ++i)
        b[at + size_t(i)] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLE(const Bytes& b, size_t at, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | b[at + size_t(i)];
    return value;
}

Bytes ReadRange(const fs::path& path, uint64_t offset, size_t count) {
    std::ifstream in(path, std::ios::binary);
    in.seekg(static_cast<std::streamoff>(offset));
    Bytes bytes(count);
    in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(count));
    bytes.resize(static_cast<size_t>(in.gcount()));
    return bytes;
}

int RunInChild(const std::function<int()>& body) {
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) ::_exit(body());  // never back into the test runner
    int status = 0;
    if (::waitpid(pid, &status, 0) != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

Bytes NativeIndex() {
    Bytes index(16 + 16384 * 5, 0x01);
    std::fill(index.begin(), index.begin() + 16, 0);
    return index;
}

Bytes ArcGISIndex() {
    Bytes index(16 + 16384 * 5 + 16, 0);
    const uint32_t header[4] = {3, 16, 16384, 5};
    for (int i = 0; i < 4; ++i) PutLE(index, 4 * size_t(i), header[i], 4);
    PutLE(index, 16 + 16384 * 5 + 4, uint64_t(16) << 32 | 16, 8);  // trailer 0, 16, 16, 0
    for (int i = 0; i < 16384; ++i) PutLE(index, 16 + 5 * size_t(i), 60 + 4 * uint64_t(i), 5);
    return index;
}

Bytes ArcGISData(int firstRow, int firstCol) {
    Bytes data(60 + 16384 * 4, 0);
    const uint32_t head[4] = {3, 16384, 0, 5};  // version, records, largest tile, offset bytes
    for (int i = 0; i < 4; ++i) PutLE(data, 4 * size_t(i), head[i], 4);
    PutLE(data, 16, 0, 8);  // 4 x tile count
    PutLE(data, 24, data.size(), 8);
    PutLE(data, 32, 40, 8);
    const int64_t tail[5] = {16, firstRow, firstRow + 127, firstCol, firstCol + 127};
    for (int i = 0; i < 5; ++i) PutLE(data, 40 + 4 * size_t(i), uint64_t(tail[i]), 4);
    return data;
}

Bytes Record(const Bytes& tile) {
    Bytes record(4);
    PutLE(record, 0, tile.size(), 4);
    return Concat(record, tile);
}

Bytes V2Bundle() {
    Bytes file(64 + 16384 * 8, 0);
    const uint32_t head[4] = {3, 16384, 0, 5}, user[4] = {3, 16, 16384, 5};
    for (int i = 0; i < 4; ++i) {
        PutLE(file, 4 * size_t(i), head[i], 4);
        PutLE(file, 44 + 4 * size_t(i), user[i], 4);
    }
    PutLE(file, 24, file.size(), 8);
    PutLE(file, 32, 40, 8);
    PutLE(file, 40, 20 + 131072, 4);
    PutLE(file, 60, 131072, 4);
    return file;
}

void V2Append(Bytes& file, int row, int col, const Bytes& tile) {
    const size_t at = file.size() + 4;
    file = Concat(file, Record(tile));
    PutLE(file, V2EntryAt(row, col), uint64_t(tile.size()) << 40 | at, 8);
    PutLE(file, 8, std::max<uint64_t>(GetLE(file, 8, 4), tile.size()), 4);
    PutLE(file, 24, file.size(), 8);
}

Bytes V2TileAt(const Bytes& file, int row, int col) {
    const uint64_t entry = GetLE(file, V2EntryAt(row, col), 8);
    const size_t offset = size_t(entry & 0xFFFFFFFFFFull), size = size_t(entry >> 40);
    if (size == 0 || offset + size > file.size()) return {};
    return Bytes(file.begin() + long(offset), file.begin() + long(offset + size));
}

}  // namespace tvktest
