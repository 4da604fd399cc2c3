// eTileStorage: caches kept in one file, opened from the file itself or
// created from the storage's scheme. The kinds: PMTiles (here and in
// eTileStorage_pmtiles.cpp).
#include "eTileStorage.h"
#include "storage/eCacheLayout.h"
#include "storage/ePMTilesLayout.h"

namespace TVK {

unsigned char eTileStorage::FromTileFile(const eString& name) {
    m_strTileFileError.Empty();
    if (IsPMTilesName(name)) return FromPMTilesFile(name);
    m_strTileFileError = "not a kind of single-file cache this library reads (.pmtiles or a URL)";
    return 0;
}

unsigned char eTileStorage::CreateTileFile(const eString& name) {
    m_strTileFileError.Empty();
    if (IsPMTilesName(name)) return CreatePMTilesFile(name);
    m_strTileFileError = "the file name must end in .pmtiles";
    return 0;
}

unsigned char eTileStorage::FinishTileFile() {
    m_strTileFileError.Empty();
    return m_pLayout->FinishFile(m_strTileFileError);
}

const eString& eTileStorage::GetTileFile() const { return m_strTileFile; }

const eString& eTileStorage::GetTileFileError() const { return m_strTileFileError; }

}  // namespace TVK
