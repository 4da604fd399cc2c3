// Helpers shared by the storage tests: a scratch cache folder, plain file
// reads that do not go through the library, and storages set up the way a
// caller does it (through the setters).
#ifndef TVK_TESTS_STORAGE_FIXTURE_H
#define TVK_TESTS_STORAGE_FIXTURE_H

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "eTileStorage.h"

namespace storage_test {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

// A fresh folder below the system temp folder, removed with everything in it.
// Mode 0755 on the path so a child process without privileges can reach it.
class TempDir {
public:
    TempDir() {
        static std::atomic<int> counter{0};
        const fs::path base = fs::temp_directory_path();
        for (;;) {
            m_path = base / ("tvk_storage_" + std::to_string(std::random_device{}()) + "_" +
                             std::to_string(counter++));
            std::error_code ec;
            if (fs::create_directory(m_path, ec)) break;
        }
        fs::permissions(m_path, fs::perms(0755));
    }
    ~TempDir() {
        std::error_code ec;
        // Undo any read-only marking a test left behind before removing.
        for (auto it = fs::recursive_directory_iterator(m_path, ec);
             !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
            fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ec);
        }
        fs::remove_all(m_path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const fs::path& Path() const { return m_path; }
    std::string Str() const { return m_path.string(); }
    fs::path operator/(const std::string& relative) const { return m_path / relative; }

private:
    fs::path m_path;
};

inline Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void WriteFile(const fs::path& path, const Bytes& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

// Recognisable tile bytes: a seed-dependent sequence of the given length.
inline Bytes TileBytes(unsigned seed, size_t size) {
    Bytes bytes(size);
    unsigned x = seed * 2654435761u + 1u;
    for (auto& b : bytes) {
        x = x * 1103515245u + 12345u;
        b = static_cast<unsigned char>(x >> 16);
    }
    return bytes;
}

inline Bytes ToBytes(const TVK::eByteArray& array) {
    return Bytes(array.GetData(), array.GetData() + array.GetSize());
}

inline bool Contains(const Bytes& haystack, const Bytes& needle) {
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end()) != haystack.end();
}

// Six levels, 1:32,000,000 down to 1:1,000,000 (level 5), halving each time.
inline std::vector<double> SixScales() {
    return {1.0 / 32000000, 1.0 / 16000000, 1.0 / 8000000, 1.0 / 4000000, 1.0 / 2000000, 1.0 / 1000000};
}

inline std::unique_ptr<TVK::eTileStorage> MakeStorage(const std::string& root,
                                                      TVK::eTileStorage::EmFormat format) {
    auto storage = std::make_unique<TVK::eTileStorage>();
    storage->GetTileCoordSys().SetScales(SixScales());
    storage->SetCacheFormat(format);
    storage->SetFileDirectory(root.c_str());
    return storage;
}

inline unsigned char Save(TVK::eTileStorage& storage, int level, int row, int col, const Bytes& bytes) {
    return storage.SaveImageData(level, row, col, bytes.data(), static_cast<unsigned int>(bytes.size()));
}

// Every file below root whose name ends with ".temp".
inline std::vector<fs::path> TempFiles(const fs::path& root) {
    std::vector<fs::path> found;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        const std::string name = entry.path().filename().string();
        if (name.size() >= 5 && name.compare(name.size() - 5, 5, ".temp") == 0) found.push_back(entry.path());
    }
    return found;
}

}  // namespace storage_test

#endif
