// eTileStorage: the four tile operations, forwarded to the storage's layout
// (storage/eCacheLayout.h: one implementation per layout, chosen when the
// format or the naming is set), the Original layout's path grammar and the
// file types' extensions.
#include "eTileStorage.h"

#include "platform/eAssert.h"
#include "storage/eCacheLayout.h"
#include "storage/eTilePaths.h"

namespace TVK {

namespace {

const char kSource[] = "eTileStorage";

}  // namespace

eString eTileStorage::GetFileExtName(eFileType::EmType type) { return tilepath::ExtText(type); }

void eTileStorage::TilePos2TileGroupPos(int row, int col, int& groupRow, int& groupCol) {
    groupRow = tilepath::FloorGroup(row, m_nTileGroupSize);
    groupCol = tilepath::FloorGroup(col, m_nTileGroupSize);
}

eString eTileStorage::TilePos2RelativeFilePathName(int level, int row, int col) {
    std::string path;
    path.reserve(64);
    if (m_emTileNaming == ArcGIS) {
        if (!tilepath::AppendArcGISPath(path, m_TileCoordSys, level, row, col)) return eString();
    } else {
        tilepath::AppendNativePath(path, m_TileCoordSys, m_nTileGroupSize, level, row, col);
    }
    return eString(std::move(path));
}

unsigned char eTileStorage::IsTileExist(int level, int row, int col) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    return m_pLayout->IsTileExist(level, row, col);
}

unsigned char eTileStorage::LoadImageData(int level, int row, int col, eByteArray& data) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    return m_pLayout->LoadTile(level, row, col, data);
}

unsigned char eTileStorage::SaveImageData(int level, int row, int col, const unsigned char* data,
                                          unsigned int size) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    if (data == nullptr && size != 0) return 0;
    return m_pLayout->SaveTile(level, row, col, data, size);
}

unsigned char eTileStorage::RemoveTile(int level, int row, int col) {
    if (m_strFileDirectory.IsEmpty()) Eassert("!m_strFileDirectory.IsEmpty()", kSource, __LINE__);
    return m_pLayout->RemoveTile(level, row, col);
}

void eTileStorage::ReleaseHandles() { m_pLayout->ReleaseHandles(); }

}  // namespace TVK
