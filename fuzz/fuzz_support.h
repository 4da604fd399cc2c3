// Pieces the fuzz targets share. Every fuzz/*.cpp is a target of its own, so
// what they share lives here, header-only.
#ifndef TVK_FUZZ_SUPPORT_H
#define TVK_FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

#include <functional>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "eTileStorage.h"
#include "platform/eFile.h"

namespace tvkfuzz {

// A folder of this process's own below the temporary folder, with `inner`
// (if any) made inside it; removed with everything in it when the object
// goes, which for a function-local static is at process exit.
class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix, const char* inner = nullptr) {
        m_path = std::filesystem::temp_directory_path() /
                 (prefix + std::to_string(std::random_device{}()));
        std::filesystem::create_directories(inner != nullptr ? m_path / inner : m_path);
    }
    ~ScratchDir() {
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& Path() const { return m_path; }

private:
    std::filesystem::path m_path;
};

// Replaces the file at `path` with the bytes given; false on any failure.
inline bool WriteAll(const std::string& path, const uint8_t* data, size_t size) {
    TVK::eFile file;
    return file.Open(path.c_str(), TVK::eFile::CreateTruncate) &&
           (size == 0 || file.Write(data, static_cast<int64_t>(size))) && file.Close();
}

// Stops the run when the code under test disagrees with the target's own
// reading of the input.
inline void Check(bool ok) {
    if (!ok) __builtin_trap();
}

// The listing and the check of a one-level cache at root (bundle folder L00,
// block 0, 0) against the target's own reading: expected(position) is the
// size of the tile a load finds at row x 128 + column, 0 for none, -1 when
// the bundle cannot be read at all. The listing reports exactly those tiles,
// row by row, or stops with an error for an unreadable bundle; the check
// counts the same tiles and calls an unreadable bundle damage.
inline void CheckListing(const std::string& root, TVK::eTileStorage::EmFormat format,
                         const std::function<int64_t(int)>& expected) {
    TVK::eTileStorage storage;
    storage.GetTileCoordSys().SetScales({1e-6});
    storage.SetCacheFormat(format);
    storage.SetFileDirectory(root.c_str());
    const bool unusable = expected(0) < 0;
    TVK::eTileListing listing(storage);
    TVK::tagStoredTile tile;
    int next = 0;
    int64_t count = 0;
    while (listing.Next(tile)) {
        const int at = tile.Row * 128 + tile.Col;
        Check(!unusable && tile.Level == 0 && tile.Row >= 0 && tile.Row < 128 && tile.Col >= 0 &&
              tile.Col < 128 && at >= next);
        for (; next < at; ++next) Check(expected(next) == 0);
        Check(tile.Size > 0 && expected(at) == tile.Size);
        next = at + 1;
        ++count;
    }
    Check(unusable == (listing.GetError().Kind != TVK::eCacheCheck::None));
    if (!unusable)
        for (; next < 128 * 128; ++next) Check(expected(next) == 0);

    TVK::eCacheCheck check(storage);
    TVK::tagCacheFinding finding;
    while (check.Next(finding)) Check(finding.Kind != TVK::eCacheCheck::None);
    const TVK::tagCacheTotals& totals = check.GetTotals();
    Check(totals.Bundles == 1 && totals.Tiles == count && (!unusable || totals.Damage > 0));
}

}  // namespace tvkfuzz

#endif
