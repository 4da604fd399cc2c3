// eTileStorage: the four tile operations over both layouts, and the path
// grammar of the Original layout.
//
// Original: one file per tile,
//   <root>/_alllayers/<scale-name>/R<row-group>C<col-group>/<row>x<col>.<ext>
// with the groups floor(n / TileGroupSize) written at least four wide, '0'
// filled in front of any sign ("0002", "00-1", "12345"). A save writes
// "<tile>.temp" and renames it onto the tile, so the tile's own name only ever
// names a completely written file; nothing is locked.
//
// Compact: the tile's 128 x 128 block (first row and column, rounded toward
// zero) selects an operator of the pool, which does all locking; the tile
// call follows on the same thread.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>
#include <string>

#include "compact/eRasterCompactManager.h"
#include "eTileStorage.h"
#include "platform/eAssert.h"
#include "platform/eFile.h"

namespace TVK {

namespace {

const char kSource[] = "eTileStorage";

// Rows and columns of one bundle; fixed by the bundle format, independent of
// TileGroupSize.
constexpr int kBundleSize = 128;

constexpr char kTempSuffix[] = ".temp";
constexpr int kTempSuffixLength = sizeof(kTempSuffix) - 1;

// Same texts as GetFileExtName, without building a string per tile.
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
    return "png";
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

}  // namespace

void eTileStorage::TilePos2TileGroupPos(int row, int col, int& groupRow, int& groupCol) {
    groupRow = FloorGroup(row, m_nTileGroupSize);
    groupCol = FloorGroup(col, m_nTileGroupSize);
}

eString eTileStorage::TilePos2RelativeFilePathName(int level, int row, int col) {
    std::string path;
    path.reserve(64);
    AppendRelativePath(path, m_TileCoordSys, m_nTileGroupSize, level, row, col);
    return eString(std::move(path));
}

eString eTileStorage::TilePos2AbsoluteFilePathName(int level, int row, int col, int spare) {
    const std::string& root = m_strFileDirectory.Std();
    const char* ext = ExtText(m_emTileType);
    std::string path;
    // One allocation: root, the longest relative path (eleven-character
    // numbers), the extension and the caller's spare room.
    path.reserve(root.size() + 96 + std::char_traits<char>::length(ext) + static_cast<size_t>(spare));
    // Joined as eFile::GetAbsolutePath joins: one '/' between root and path;
    // an empty root leaves the path relative to the working folder.
    if (!root.empty()) {
        size_t keep = root.size();
        while (keep > 1 && root[keep - 1] == '/') --keep;
        path.append(root, 0, keep);
        if (path.back() != '/') path += '/';
    }
    AppendRelativePath(path, m_TileCoordSys, m_nTileGroupSize, level, row, col);
    path += '.';
    path += ext;
    return eString(std::move(path));
}

unsigned char eTileStorage::IsTileExist(int level, int row, int col) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    switch (m_emCacheFormat) {
        case Original: {
            if (m_nTileGroupSize <= 0) {
                Eassert("m_nTileGroupSize > 0", kSource, __LINE__);
                return 0;
            }
            return eFile::IsExist(TilePos2AbsoluteFilePathName(level, row, col, 0)) ? 1 : 0;
        }
        case Compact: {
            eRasterCompactOperator* op =
                m_pCompactManager->GetOperator(level, BundleStart(row), BundleStart(col));
            if (op == nullptr) {
                Eassert("false", kSource, __LINE__);
                return 0;
            }
            return op->IsTileExist(row, col, level) ? 1 : 0;
        }
    }
    Eassert("false", kSource, __LINE__);
    return 0;
}

unsigned char eTileStorage::LoadImageData(int level, int row, int col, eByteArray& data) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    switch (m_emCacheFormat) {
        case Original: {
            if (m_nTileGroupSize <= 0) {
                Eassert("m_nTileGroupSize > 0", kSource, __LINE__);
                return 0;
            }
            eFileStream stream;
            if (!stream.Open(TilePos2AbsoluteFilePathName(level, row, col, 0), eFileStream::Read, 8192)) {
                return 0;
            }
            // Leaves data untouched unless every byte was read.
            return stream.LoadByteArray(data) ? 1 : 0;
        }
        case Compact: {
            eRasterCompactOperator* op =
                m_pCompactManager->GetOperator(level, BundleStart(row), BundleStart(col));
            if (op == nullptr) return 0;
            return op->LoadTileData(data, row, col, level) ? 1 : 0;
        }
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
            if (m_nTileGroupSize <= 0) {
                Eassert("m_nTileGroupSize > 0", kSource, __LINE__);
                return 0;
            }
            const eString tilePath = TilePos2AbsoluteFilePathName(level, row, col, kTempSuffixLength);
            std::string temp = tilePath.Std();
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
                const unsigned int chunk =
                    std::min<unsigned int>(left, static_cast<unsigned int>(std::numeric_limits<eInt>::max()));
                written = stream.Save(next, static_cast<eInt>(chunk));
                next += chunk;
                left -= chunk;
            }
            const bool closed = stream.Close();
            if (!written || !closed || !eFile::Rename(tempPath, tilePath)) {
                eFile::Delete(tempPath);
                return 0;
            }
            return 1;
        }
        case Compact: {
            if (size > static_cast<unsigned int>(std::numeric_limits<eInt>::max())) return 0;
            eRasterCompactOperator* op =
                m_pCompactManager->GetOperator(level, BundleStart(row), BundleStart(col));
            if (op == nullptr) return 0;
            const eByteArray bytes(data, static_cast<eInt>(size));
            return op->SaveTileData(bytes, row, col, level) ? 1 : 0;
        }
    }
    Eassert("false", kSource, __LINE__);
    return 0;
}

unsigned char eTileStorage::RemoveTile(int level, int row, int col) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    switch (m_emCacheFormat) {
        case Original: {
            if (m_nTileGroupSize <= 0) {
                Eassert("m_nTileGroupSize > 0", kSource, __LINE__);
                return 0;
            }
            // Empty folders stay; another tile may be saved into them.
            return eFile::Delete(TilePos2AbsoluteFilePathName(level, row, col, 0)) ? 1 : 0;
        }
        case Compact: {
            eRasterCompactOperator* op =
                m_pCompactManager->GetOperator(level, BundleStart(row), BundleStart(col));
            if (op == nullptr) return 0;
            return op->RemoveTileData(row, col, level) ? 1 : 0;
        }
    }
    Eassert("false", kSource, __LINE__);
    return 0;
}

void eTileStorage::ReleaseHandles() {
    if (m_emCacheFormat == Compact) m_pCompactManager->ReleaseAll();
}

}  // namespace TVK
