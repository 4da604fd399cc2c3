// Listing stored tiles per layout. Each layout has its own level scanner;
// ScanTiles picks one and sorts what it found.
#include "tile_scan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <sstream>
#include <iomanip>
#include <vector>

#include "bundle_index.h"
#include "cli.h"

namespace TVK {
namespace cli {

namespace {

std::string AllLayers(const eOpenCache& cache) { return cache.Root + "_alllayers"; }

int ScanCompactLevel(const eOpenCache& cache, int level, std::vector<tagStoredTile>& out) {
    const std::string folder = AllLayers(cache) + "/" + LevelFolderName(level);
    std::vector<eString> names;
    if (!eListDir(folder, names)) return kExitOk;  // no bundle at this level yet
    for (const eString& name : names) {
        const std::string& file = name.Std();
        const std::string ext = ".bundlx";
        if (file.size() <= ext.size() || file.compare(file.size() - ext.size(), ext.size(), ext) != 0) continue;
        const std::string base = file.substr(0, file.size() - ext.size());
        int rowGroup = 0, colGroup = 0;
        if (!ParseBundleBaseName(base, rowGroup, colGroup)) continue;
        const std::string basePath = folder + "/" + base;
        eBundleReader reader;
        std::string reason;
        if (!reader.Open(basePath + ".bundlx", basePath + ".bundle", reason))
            return Fail(kExitFailed, basePath + ".bundle", reason);
        for (int slot = 0; slot < kSlotCount; ++slot) {
            int64_t offset = 0, length = 0;
            if (reader.ReadSlot(slot, offset, length) != eBundleReader::SlotStored) continue;
            // Column-major slots: slot = (col % 128) * 128 + row % 128.
            out.push_back({level, rowGroup + slot % kPacketSize, colGroup + slot / kPacketSize, length});
        }
    }
    return kExitOk;
}

bool ParseSigned(const std::string& text, int& value) {
    const char* begin = text.data();
    const char* end = begin + text.size();
    const auto r = std::from_chars(begin, end, value);
    return r.ec == std::errc() && r.ptr == end && begin != end;
}

int ScanOriginalLevel(const eOpenCache& cache, int level, std::vector<tagStoredTile>& out) {
    const std::string folder = OriginalLevelFolder(cache, level);
    const std::string ext = "." + eTileStorage::GetFileExtName(cache.Storage->GetTileType()).Std();
    std::vector<eString> groups;
    if (!eListDir(folder, groups)) return kExitOk;
    for (const eString& group : groups) {
        const std::string groupPath = folder + "/" + group.Std();
        std::vector<eString> files;
        if (!eListDir(groupPath, files)) continue;  // a stray file, not a group folder
        for (const eString& name : files) {
            const std::string& file = name.Std();
            if (file.size() <= ext.size() || file.compare(file.size() - ext.size(), ext.size(), ext) != 0) continue;
            const std::string stem = file.substr(0, file.size() - ext.size());
            const auto x = stem.find('x');
            int row = 0, col = 0;
            if (x == std::string::npos || !ParseSigned(stem.substr(0, x), row) ||
                !ParseSigned(stem.substr(x + 1), col))
                continue;
            // Only a file at the path the storage builds for its address is a tile.
            if (OriginalGroupFolder(cache, row, col) != group.Std() ||
                std::to_string(row) + "x" + std::to_string(col) != stem)
                continue;
            const std::string path = groupPath + "/" + file;
            if (eFile::IsDirectory(path)) continue;
            out.push_back({level, row, col, eFile::GetFileSize(path)});
        }
    }
    return kExitOk;
}

}  // namespace

std::string OriginalLevelFolder(const eOpenCache& cache, int level) {
    const eTileCoordSys& scheme = cache.Storage->GetTileCoordSys();
    const double scale = scheme.GetLevelCaptions().at(static_cast<size_t>(level)).Scale;
    return AllLayers(cache) + "/" + std::to_string(static_cast<int>(scheme.Scale2ScaleName(scale)));
}

std::string OriginalGroupFolder(const eOpenCache& cache, int row, int col) {
    const double size = cache.Storage->GetTileGroupSize();
    const int rowGroup = static_cast<int>(std::floor(row / size));
    const int colGroup = static_cast<int>(std::floor(col / size));
    // Width 4 with '0' fill in front of any sign, as a text stream pads: -1 is "00-1".
    std::ostringstream text;
    text << 'R' << std::setfill('0') << std::setw(4) << rowGroup << 'C' << std::setw(4) << colGroup;
    return text.str();
}

int ScanTiles(const eOpenCache& cache, int first, int last, const eTileVisitor& visit) {
    std::vector<tagStoredTile> tiles;
    // Two levels with the same scale name share one folder in the original
    // layout and cannot be told apart; their tiles are listed once, under
    // the first of the two levels.
    std::vector<std::string> seenFolders;
    for (int level = first; level <= last; ++level) {
        tiles.clear();
        int code = kExitOk;
        switch (cache.Layout) {
            case eLayout::Compact:
                code = ScanCompactLevel(cache, level, tiles);
                break;
            case eLayout::Original: {
                const std::string folder = OriginalLevelFolder(cache, level);
                if (std::find(seenFolders.begin(), seenFolders.end(), folder) != seenFolders.end()) continue;
                seenFolders.push_back(folder);
                code = ScanOriginalLevel(cache, level, tiles);
                break;
            }
        }
        if (code != kExitOk) return code;
        std::sort(tiles.begin(), tiles.end(), [](const tagStoredTile& a, const tagStoredTile& b) {
            return a.Row != b.Row ? a.Row < b.Row : a.Col < b.Col;
        });
        for (const tagStoredTile& tile : tiles) {
            if (!visit(tile)) return kExitOk;
        }
    }
    return kExitOk;
}

}  // namespace cli
}  // namespace TVK
