// eTileStorage: construction, destruction and the plain settings.
// Tile input/output, path naming and file extensions live in
// eTileStorage_io.cpp.
#include "eTileStorage.h"

#include "storage/eCacheLayout.h"

namespace TVK {

eTileStorage::eTileStorage() { ChooseLayout(); }

eTileStorage::~eTileStorage() {
    // The layout goes first: it closes every open bundle while the root
    // folder and the scheme are still alive.
    m_pLayout.reset();
}

void eTileStorage::ChooseLayout() {
    // The old layout's handles close before the new one opens any.
    m_pLayout.reset();
    m_pLayout = MakeCacheLayout(*this);
}

void eTileStorage::SetName(const eString& name) { m_strName = name; }
eString eTileStorage::GetName() const { return m_strName; }

void eTileStorage::SetFileDirectory(const eString& directory) {
    // Every layout relies on the storage and its pool naming the same root.
    m_strFileDirectory = directory;
    m_pLayout->SettingsChanged();
}
const eString& eTileStorage::GetFileDirectory() const { return m_strFileDirectory; }

void eTileStorage::SetServiceProvider(const eString& provider) { m_strServiceProvider = provider; }
const eString& eTileStorage::GetServiceProvider() const { return m_strServiceProvider; }

void eTileStorage::SetTileURLFormat(const eString& format) { m_strTileURLFormat = format; }
const eString& eTileStorage::GetTileURLFormat() const { return m_strTileURLFormat; }

void eTileStorage::SetTileLevelMode(unsigned char mode) { m_bTileLevelMode = mode != 0; }
unsigned char eTileStorage::GetTileLevelMode() const { return m_bTileLevelMode ? 1 : 0; }

void eTileStorage::SetTileCoordMode(unsigned char mode) { m_bTileCoordMode = mode != 0; }
unsigned char eTileStorage::GetTileCoordMode() const { return m_bTileCoordMode ? 1 : 0; }

void eTileStorage::SetTileBoundMode(unsigned char mode) { m_bTileBoundMode = mode != 0; }
unsigned char eTileStorage::GetTileBoundMode() const { return m_bTileBoundMode ? 1 : 0; }

void eTileStorage::SetLevelZoomMode(unsigned char mode) { m_TileCoordSys.SetLevelZoomMode(mode); }
unsigned char eTileStorage::GetLevelZoomMode() const { return m_TileCoordSys.GetLevelZoomMode(); }

void eTileStorage::SetLevelInverseMode(unsigned char mode) { m_bLevelInverseMode = mode != 0; }
unsigned char eTileStorage::GetLevelInverseMode() const { return m_bLevelInverseMode ? 1 : 0; }

void eTileStorage::SetPosInverseMode(unsigned char mode) { m_bPosInverseMode = mode != 0; }
unsigned char eTileStorage::GetPosInverseMode() const { return m_bPosInverseMode ? 1 : 0; }

void eTileStorage::SetRowInverseMode(unsigned char mode) { m_bRowInverseMode = mode != 0; }
unsigned char eTileStorage::GetRowInverseMode() const { return m_bRowInverseMode ? 1 : 0; }

void eTileStorage::SetTileIndexRadixFormat(int radix) { m_nTileIndexRadixFormat = radix; }
int eTileStorage::GetTileIndexRadixFormat() const { return m_nTileIndexRadixFormat; }

void eTileStorage::SetTileCoordSys(const eTileCoordSys& coordSys) { m_TileCoordSys = coordSys; }
eTileCoordSys& eTileStorage::GetTileCoordSys() { return m_TileCoordSys; }
const eTileCoordSys& eTileStorage::GetTileCoordSys() const { return m_TileCoordSys; }

void eTileStorage::SetCacheFormat(EmFormat format) {
    m_emCacheFormat = format;
    ChooseLayout();
}
eTileStorage::EmFormat eTileStorage::GetCacheFormat() const { return m_emCacheFormat; }

void eTileStorage::SetTileType(eFileType::EmType type) { m_emTileType = type; }
eFileType::EmType eTileStorage::GetTileType() const { return m_emTileType; }

void eTileStorage::SetTileGroupSize(int size) { m_nTileGroupSize = size; }
int eTileStorage::GetTileGroupSize() const { return m_nTileGroupSize; }

void eTileStorage::SetTileNaming(EmNaming naming) {
    m_emTileNaming = naming;
    ChooseLayout();
}
eTileStorage::EmNaming eTileStorage::GetTileNaming() const { return m_emTileNaming; }

void eTileStorage::SetArcGISTileFormat(const eString& format) { m_strArcGISTileFormat = format; }
const eString& eTileStorage::GetArcGISTileFormat() const { return m_strArcGISTileFormat; }

void eTileStorage::SetArcGISStructure(unsigned char arcgis) {
    m_bArcGISStructure = arcgis != 0;
    m_pLayout->SettingsChanged();
}
unsigned char eTileStorage::GetArcGISStructure() const { return m_bArcGISStructure ? 1 : 0; }

eFileType::EmType eTileStorage::GetFileType(const eString& text) {
    // No entry for "etif": a TIF cache's description reads back as PNG.
    static const struct {
        const char* name;
        eFileType::EmType type;
    } kNames[] = {
        {"ePNG", eFileType::PNG}, {"eJPG", eFileType::JPG}, {"eBIL", eFileType::BIL},
        {"eGIF", eFileType::GIF}, {"eBMP", eFileType::BMP}, {"eDATA", eFileType::DATA},
        {"pbf", eFileType::PBF},
    };
    for (const auto& entry : kNames) {
        if (text.CompareNoCase(entry.name) == 0) return entry.type;
    }
    return eFileType::PNG;
}

}  // namespace TVK
