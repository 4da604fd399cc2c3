// eTileStorage: the four tile operations over both layouts, the path
// grammar of the Original layout and the file types' extensions.
//
// Original: one file per tile, named in this system's grammar (Native),
//   <root>/_alllayers/<scale-name>/R<row-group>C<col-group>/<row>x<col>.<ext>
// with the groups floor(n / TileGroupSize) written at least four wide, '0'
// filled in front of any sign ("0002", "00-1", "12345"), or in ArcGIS's,
//   <root>/_alllayers/L<level>/R<row, 8 hex>/C<col, 8 hex>.<jpg|png>
// A save writes "<tile>.temp" and renames it onto the tile, so the tile's own
// name only ever names a completely written file; nothing is locked. Only
// regular files count as tiles: a folder standing on a tile's name is
// neither reported nor removed.
//
// Compact and CompactV2: the tile's 128 x 128 block (first row and column,
// rounded toward zero) selects an operator of the pool, which does all
// locking; the tile call follows on the same thread. The pool already knows
// which bundle format to use (SyncPoolFormat).
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "compact/eRasterCompactManager.h"
#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eFile.h"
#include "storage/eTileFileLayout.h"

namespace TVK {

namespace {

const char kSource[] = "eTileStorage";

// Rows and columns of one bundle; fixed by the bundle format, independent of
// TileGroupSize.
constexpr int kBundleSize = 128;

constexpr char kTempSuffix[] = ".temp";
constexpr int kTempSuffixLength = sizeof(kTempSuffix) - 1;

// Extension of a file type; the tile paths append it without building a
// string per tile.
const char* ExtText(eFileType::EmType type) {
    switch (type) {
        case eFileType::TIF: return "etif";
        case eFileType::BMP: return "ebmp";
        case eFileType::JPG: return "ejpg";
        case eFileType::PNG: return "epng";
        case eFileType::GIF: return "egif";
        case eFileType::BIL: return "ebil";
        case eFileType::DATA: return "edata";
        case eFileType::PBF: return "pbf";
    }
    return "png";  // unknown types: the plain extension, without the leading "e"
}

void AppendInt(std::string& out, long long value) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    out.append(digits, end);
}

// At least four characters, '0' filled on the left of the sign as well
// (group -1 is "00-1"): the folder names existing caches already use.
void AppendGroup(std::string& out, int group) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof(digits), group).ptr;
    const size_t length = static_cast<size_t>(end - digits);
    if (length < 4) out.append(4 - length, '0');
    out.append(digits, end);
}

int FloorGroup(int n, int groupSize) {
    return static_cast<int>(std::floor(static_cast<double>(n) / static_cast<double>(groupSize)));
}

// First row (or column) of the bundle holding n, rounded toward zero.
int BundleStart(int n) { return (n / kBundleSize) * kBundleSize; }

// The level a bundle's folder carries. ArcGIS names it by the level's own
// number (LevelID), as it does the exploded folders, so a cache whose levels
// do not start at 0 is still found; this system's own caches use the
// position in the list. A level outside the list has no ArcGIS number: -1,
// which the bundle handle refuses.
int BundleLevel(const eTileCoordSys& scheme, bool arcgisNaming, int level) {
    if (!arcgisNaming) return level;
    const auto& levels = scheme.GetLevelCaptions();
    if (level < 0 || static_cast<size_t>(level) >= levels.size()) return -1;
    return levels[static_cast<size_t>(level)].Level;
}

// Appends the relative path of a tile; the level's scale names its folder.
// Throws std::out_of_range for a level outside the list.
void AppendRelativePath(std::string& out, eTileCoordSys& scheme, int groupSize, int level, int row,
                        int col) {
    // A negative level converts to a huge index, so at() rejects it too.
    const double scale = scheme.GetLevelCaptions().at(static_cast<size_t>(level)).Scale;
    out += "_alllayers/";
    AppendInt(out, static_cast<int>(scheme.Scale2ScaleName(scale)));
    out += "/R";
    AppendGroup(out, FloorGroup(row, groupSize));
    out += 'C';
    AppendGroup(out, FloorGroup(col, groupSize));
    out += '/';
    AppendInt(out, row);
    out += 'x';
    AppendInt(out, col);
}

// File kind of an ArcGIS-named tile.
enum class ArcGISKind { Jpg, Png, Mixed };

ArcGISKind ArcGISKindOf(const eString& format, eFileType::EmType type) {
    if (format.IsEmpty()) return type == eFileType::JPG ? ArcGISKind::Jpg : ArcGISKind::Png;
    if (format.CompareNoCase("JPEG") == 0 || format.CompareNoCase("JPG") == 0)
        return ArcGISKind::Jpg;
    if (format.CompareNoCase("MIXED") == 0) return ArcGISKind::Mixed;
    return ArcGISKind::Png;  // PNG, PNG8, PNG24, PNG32 and whatever else
}

// Both extensions have three letters: the other kind's name of a MIXED tile
// is the same path with its end replaced.
constexpr size_t kArcGISExtLength = 3;

bool IsJpegBytes(const unsigned char* data, unsigned int size) {
    return size >= 2 && data[0] == 0xFF && data[1] == 0xD8;
}

eString OtherKindPath(const eString& path) {
    std::string other = path.Std();
    const size_t at = other.size() - kArcGISExtLength;
    other.replace(at, kArcGISExtLength,
                  other.compare(at, kArcGISExtLength, "jpg") == 0 ? "png" : "jpg");
    return eString(std::move(other));
}

void AppendHex8(std::string& out, int value) {
    char digits[8];
    const auto end = std::to_chars(digits, digits + sizeof(digits), value, 16).ptr;
    const size_t length = static_cast<size_t>(end - digits);
    out.append(8 - length, '0');
    out.append(digits, end);
}

// ArcGIS's relative path (no extension); false for a tile without a name
// (negative level number, row or column). The folder carries the level's own
// number, as ArcGIS's LevelID does. Throws std::out_of_range for a level
// outside the list.
bool AppendArcGISPath(std::string& out, const eTileCoordSys& scheme, int level, int row, int col) {
    const int levelId = scheme.GetLevelCaptions().at(static_cast<size_t>(level)).Level;
    if (levelId < 0 || row < 0 || col < 0) return false;
    out += "_alllayers/L";
    if (levelId < 10) out += '0';
    AppendInt(out, levelId);
    out += "/R";
    AppendHex8(out, row);
    out += "/C";
    AppendHex8(out, col);
    return true;
}

// The tile's relative path (no extension) in the naming chosen; false for a
// tile without an ArcGIS name.
bool AppendTilePath(std::string& out, eTileCoordSys& scheme, bool arcgisNaming, int groupSize,
                    int level, int row, int col) {
    if (arcgisNaming) return AppendArcGISPath(out, scheme, level, row, col);
    AppendRelativePath(out, scheme, groupSize, level, row, col);
    return true;
}

}  // namespace

eString eTileStorage::GetFileExtName(eFileType::EmType type) { return ExtText(type); }

void eTileStorage::TilePos2TileGroupPos(int row, int col, int& groupRow, int& groupCol) {
    groupRow = FloorGroup(row, m_nTileGroupSize);
    groupCol = FloorGroup(col, m_nTileGroupSize);
}

eString eTileStorage::TilePos2RelativeFilePathName(int level, int row, int col) {
    std::string path;
    path.reserve(64);
    if (!AppendTilePath(path, m_TileCoordSys, m_emTileNaming == ArcGIS, m_nTileGroupSize, level,
                        row, col)) {
        return eString();
    }
    return eString(std::move(path));
}

eString eTileStorage::TilePos2AbsoluteFilePathName(int level, int row, int col, bool jpeg) {
    // Only the native grammar divides by the group size.
    if (m_emTileNaming != ArcGIS && m_nTileGroupSize <= 0) {
        Eassert("m_nTileGroupSize > 0", kSource, __LINE__);
        return eString();
    }
    const std::string& root = m_strFileDirectory.Std();
    const char* ext = ExtText(m_emTileType);
    if (m_emTileNaming == ArcGIS) {
        switch (ArcGISKindOf(m_strArcGISTileFormat, m_emTileType)) {
            case ArcGISKind::Jpg: ext = "jpg"; break;
            case ArcGISKind::Png: ext = "png"; break;
            case ArcGISKind::Mixed: ext = jpeg ? "jpg" : "png"; break;
        }
    }
    std::string path;
    // One allocation: root, the longest relative path (eleven-character
    // numbers) and the extension.
    path.reserve(root.size() + 96 + std::char_traits<char>::length(ext));
    // Joined as eFile::GetAbsolutePath joins: one '/' between root and path;
    // an empty root leaves the path relative to the working folder.
    if (!root.empty()) {
        size_t keep = root.size();
        while (keep > 1 && root[keep - 1] == '/') --keep;
        path.append(root, 0, keep);
        if (path.back() != '/') path += '/';
    }
    if (!AppendTilePath(path, m_TileCoordSys, m_emTileNaming == ArcGIS, m_nTileGroupSize, level,
                        row, col)) {
        return eString();
    }
    path += '.';
    path += ext;
    return eString(std::move(path));
}

bool eTileStorage::IsMixedNaming() const {
    return m_emTileNaming == ArcGIS &&
           ArcGISKindOf(m_strArcGISTileFormat, m_emTileType) == ArcGISKind::Mixed;
}

eRasterCompactOperator* eTileStorage::BundleOperator(int level, int row, int col,
                                                     int& bundleLevel) {
    bundleLevel = BundleLevel(m_TileCoordSys, m_emTileNaming == ArcGIS, level);
    return m_pCompactManager->GetOperator(bundleLevel, BundleStart(row), BundleStart(col));
}

unsigned char eTileStorage::IsTileExist(int level, int row, int col) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    switch (m_emCacheFormat) {
        case Original: {
            const eString path = TilePos2AbsoluteFilePathName(level, row, col);
            if (path.IsEmpty()) return 0;
            if (eFile::IsFile(path)) return 1;
            return IsMixedNaming() && eFile::IsFile(OtherKindPath(path)) ? 1 : 0;
        }
        case Compact:
        case CompactV2: {
            int bundleLevel = 0;
            eRasterCompactOperator* op = BundleOperator(level, row, col, bundleLevel);
            if (op == nullptr) {
                Eassert("false", kSource, __LINE__);
                return 0;
            }
            return op->IsTileExist(row, col, bundleLevel) ? 1 : 0;
        }
        case MBTiles:
        case GeoPackage: return m_pTileFileLayout->IsTileExist(level, row, col);
        case PMTiles: break;
    }
    Eassert("false", kSource, __LINE__);
    return 0;
}

unsigned char eTileStorage::LoadImageData(int level, int row, int col, eByteArray& data) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    switch (m_emCacheFormat) {
        case Original: {
            const eString path = TilePos2AbsoluteFilePathName(level, row, col);
            if (path.IsEmpty()) return 0;
            eFileStream stream;
            if (!stream.Open(path, eFileStream::Read, 8192) &&
                !(IsMixedNaming() && stream.Open(OtherKindPath(path), eFileStream::Read, 8192))) {
                return 0;
            }
            // Leaves data untouched unless every byte was read.
            return stream.LoadByteArray(data) ? 1 : 0;
        }
        case Compact:
        case CompactV2: {
            int bundleLevel = 0;
            eRasterCompactOperator* op = BundleOperator(level, row, col, bundleLevel);
            if (op == nullptr) return 0;
            return op->LoadTileData(data, row, col, bundleLevel) ? 1 : 0;
        }
        case MBTiles:
        case GeoPackage: return m_pTileFileLayout->LoadTile(level, row, col, data);
        case PMTiles: break;
    }
    Eassert("false", kSource, __LINE__);
    return 0;
}

unsigned char eTileStorage::SaveImageData(int level, int row, int col, const unsigned char* data,
                                          unsigned int size) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    if (data == nullptr && size != 0) return 0;
    switch (m_emCacheFormat) {
        case Original: {
            const eString tilePath =
                TilePos2AbsoluteFilePathName(level, row, col, IsJpegBytes(data, size));
            if (tilePath.IsEmpty()) return 0;
            std::string temp;
            temp.reserve(tilePath.Std().size() + kTempSuffixLength);
            temp += tilePath.Std();
            temp += kTempSuffix;
            const eString tempPath(std::move(temp));

            eFileStream stream;
            if (!stream.Open(tempPath, eFileStream::Write, 8192)) {
                // Usually the tile's folders do not exist yet. MkDirEx accepts
                // folders that another thread made meanwhile; any other cause
                // (no permission, a folder standing on the name) fails again.
                if (!eFile::MkDirEx(eFile::GetDir(tilePath))) return 0;
                if (!stream.Open(tempPath, eFileStream::Write, 8192)) return 0;
            }
            // From here on the temporary file is ours: remove it on any failure.
            bool written = true;
            const unsigned char* next = data;
            unsigned int left = size;
            while (written && left > 0) {
                const unsigned int chunk = std::min<unsigned int>(
                    left, static_cast<unsigned int>(std::numeric_limits<eInt>::max()));
                written = stream.Save(next, static_cast<eInt>(chunk));
                next += chunk;
                left -= chunk;
            }
            const bool closed = stream.Close();
            if (!written || !closed || !eFile::Rename(tempPath, tilePath)) {
                eFile::Delete(tempPath);
                return 0;
            }
            if (IsMixedNaming()) {
                // A stale tile of the other kind would still be found by a
                // load looking for that kind first.
                const eString other = OtherKindPath(tilePath);
                if (eFile::IsFile(other) && !eFile::Delete(other)) return 0;
            }
            return 1;
        }
        case Compact:
        case CompactV2: {
            if (size > static_cast<unsigned int>(std::numeric_limits<eInt>::max())) return 0;
            int bundleLevel = 0;
            eRasterCompactOperator* op = BundleOperator(level, row, col, bundleLevel);
            if (op == nullptr) return 0;
            const eByteArray bytes(data, static_cast<eInt>(size));
            return op->SaveTileData(bytes, row, col, bundleLevel) ? 1 : 0;
        }
        case MBTiles:
        case GeoPackage: return m_pTileFileLayout->SaveTile(level, row, col, data, size);
        case PMTiles: break;
    }
    Eassert("false", kSource, __LINE__);
    return 0;
}

unsigned char eTileStorage::RemoveTile(int level, int row, int col) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    switch (m_emCacheFormat) {
        case Original: {
            const eString path = TilePos2AbsoluteFilePathName(level, row, col);
            if (path.IsEmpty()) return 0;
            // Empty folders stay; another tile may be saved into them. A
            // folder on the tile's own name is not a tile and stays too.
            bool removed = eFile::IsFile(path) && eFile::Delete(path);
            if (IsMixedNaming()) {
                const eString other = OtherKindPath(path);
                if (eFile::IsFile(other) && eFile::Delete(other)) removed = true;
            }
            return removed ? 1 : 0;
        }
        case Compact:
        case CompactV2: {
            int bundleLevel = 0;
            eRasterCompactOperator* op = BundleOperator(level, row, col, bundleLevel);
            if (op == nullptr) return 0;
            return op->RemoveTileData(row, col, bundleLevel) ? 1 : 0;
        }
        case MBTiles:
        case GeoPackage: return m_pTileFileLayout->RemoveTile(level, row, col);
        case PMTiles: break;
    }
    Eassert("false", kSource, __LINE__);
    return 0;
}

void eTileStorage::ReleaseHandles() {
    if (m_emCacheFormat == Compact || m_emCacheFormat == CompactV2) m_pCompactManager->ReleaseAll();
    if (m_pTileFileLayout) m_pTileFileLayout->ReleaseHandles();
}

}  // namespace TVK
