// Listing stored tiles per layout. Each layout has its own level scanner;
// ScanTiles picks one and sorts what it found.
#include "tile_scan.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <iomanip>
#include <sstream>
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
        if (file.size() <= ext.size() ||
            file.compare(file.size() - ext.size(), ext.size(), ext) != 0)
            continue;
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
            out.push_back(
                {level, rowGroup + slot % kPacketSize, colGroup + slot / kPacketSize, length});
        }
    }
    return kExitOk;
}

int ScanCompactV2Level(const eOpenCache& cache, int level, std::vector<tagStoredTile>& out) {
    const std::string folder = AllLayers(cache) + "/" + LevelFolderName(level);
    std::vector<eString> names;
    if (!eListDir(folder, names)) return kExitOk;
    for (const eString& name : names) {
        const std::string& file = name.Std();
        const std::string ext = ".bundle";
        if (file.size() <= ext.size() ||
            file.compare(file.size() - ext.size(), ext.size(), ext) != 0)
            continue;
        int rowGroup = 0, colGroup = 0;
        if (!ParseBundleBaseName(file.substr(0, file.size() - ext.size()), rowGroup, colGroup))
            continue;
        eBundleV2Reader reader;
        std::string reason;
        if (!reader.Open(folder + "/" + file, reason))
            return Fail(kExitFailed, folder + "/" + file, reason);
        for (int entry = 0; entry < kSlotCount; ++entry) {
            int64_t offset = 0, size = 0;
            if (reader.ReadEntry(entry, offset, size) != eBundleV2Reader::EntryStored) continue;
            // Row-major entries: entry = (row % 128) * 128 + col % 128.
            out.push_back(
                {level, rowGroup + entry / kPacketSize, colGroup + entry % kPacketSize, size});
        }
    }
    return kExitOk;
}

int ScanExplodedLevel(const eOpenCache& cache, int level, const std::string& folder,
                      std::vector<tagStoredTile>& out) {
    const eExplodedKind kind = ExplodedKind(cache);
    std::vector<eString> rows;
    if (!eListDir(folder, rows)) return kExitOk;
    for (const eString& rowName : rows) {
        int row = 0;
        if (!ParseExplodedName(rowName.Std(), 'R', row)) continue;
        const std::string rowPath = folder + "/" + rowName.Std();
        std::vector<eString> files;
        if (!eListDir(rowPath, files)) continue;
        // A MIXED tile may exist as both kinds; the library reads ".jpg" first.
        std::sort(files.begin(), files.end(),
                  [](const eString& a, const eString& b) { return a.Std() < b.Std(); });
        const size_t before = out.size();
        for (const eString& name : files) {
            const std::string& file = name.Std();
            if (file.size() != 13 || file[9] != '.') continue;
            const std::string ext = file.substr(10);
            const bool jpg = ext == "jpg", png = ext == "png";
            if (!(kind == eExplodedKind::Jpg ? jpg : kind == eExplodedKind::Png ? png : jpg || png))
                continue;
            int col = 0;
            if (!ParseExplodedName(file.substr(0, 9), 'C', col)) continue;
            const std::string path = rowPath + "/" + file;
            if (eFile::IsDirectory(path)) continue;
            // Sorted names put "C...jpg" right before "C...png" of the same column.
            if (out.size() > before && out.back().Col == col) continue;
            out.push_back({level, row, col, eFile::GetFileSize(path)});
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
            if (file.size() <= ext.size() ||
                file.compare(file.size() - ext.size(), ext.size(), ext) != 0)
                continue;
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

eExplodedKind ExplodedKind(const eOpenCache& cache) {
    // As the library names files: the ArcGIS format text, else the tile type.
    const eString& format = cache.Storage->GetArcGISTileFormat();
    if (format.IsEmpty())
        return cache.Storage->GetTileType() == eFileType::JPG ? eExplodedKind::Jpg
                                                              : eExplodedKind::Png;
    if (format.CompareNoCase("JPEG") == 0 || format.CompareNoCase("JPG") == 0)
        return eExplodedKind::Jpg;
    if (format.CompareNoCase("MIXED") == 0) return eExplodedKind::Mixed;
    return eExplodedKind::Png;
}

std::string ExplodedLevelFolder(const eOpenCache& cache, int level) {
    const int number =
        cache.Storage->GetTileCoordSys().GetLevelCaptions().at(static_cast<size_t>(level)).Level;
    if (number < 0) return std::string();
    return AllLayers(cache) + "/" + LevelFolderName(number);
}

bool ParseExplodedName(const std::string& text, char prefix, int& value) {
    if (text.size() != 9 || text[0] != prefix) return false;
    uint32_t v = 0;
    for (size_t i = 1; i < text.size(); ++i) {
        const char ch = text[i];
        if (ch >= '0' && ch <= '9')
            v = v * 16 + static_cast<uint32_t>(ch - '0');
        else if (ch >= 'a' && ch <= 'f')
            v = v * 16 + static_cast<uint32_t>(ch - 'a' + 10);
        else
            return false;
    }
    if (v > 0x7fffffffu) return false;
    value = static_cast<int>(v);
    return true;
}

int ScanTiles(const eOpenCache& cache, int first, int last, const eTileVisitor& visit) {
    std::vector<tagStoredTile> tiles;
    // Two levels with the same scale name (or, in ArcGIS's names, the same
    // level number) share one folder and cannot be told apart; their tiles
    // are listed once, under the first of the two levels.
    std::vector<std::string> seenFolders;
    for (int level = first; level <= last; ++level) {
        tiles.clear();
        int code = kExitOk;
        switch (cache.Layout) {
            case eLayout::Compact: code = ScanCompactLevel(cache, level, tiles); break;
            case eLayout::CompactV2: code = ScanCompactV2Level(cache, level, tiles); break;
            case eLayout::Original: {
                const std::string folder = OriginalLevelFolder(cache, level);
                if (std::find(seenFolders.begin(), seenFolders.end(), folder) != seenFolders.end())
                    continue;
                seenFolders.push_back(folder);
                code = ScanOriginalLevel(cache, level, tiles);
                break;
            }
            case eLayout::ArcGISExploded: {
                const std::string folder = ExplodedLevelFolder(cache, level);
                if (folder.empty() ||
                    std::find(seenFolders.begin(), seenFolders.end(), folder) != seenFolders.end())
                    continue;
                seenFolders.push_back(folder);
                code = ScanExplodedLevel(cache, level, folder, tiles);
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
