// ePMTilesLayout: the layout of a cache kept in one PMTiles archive, a local
// file or an http(s):// URL.
//
// An archive is read-only once it exists: saves and removals answer 0. A
// cache being created (eTileStorage::CreateTileFile) is the other way
// round: saves collect tiles in a writer, loads and tests answer 0 until
// FinishFile has written the archive, which is then read like any other.
//
// Levels of the storage's scheme stand on zoom levels of the Web Mercator
// grid by their tile width; a scheme read from an archive has level n on
// zoom n.
//
// Private to the library.
#ifndef TVK_STORAGE_EPMTILESLAYOUT_H
#define TVK_STORAGE_EPMTILESLAYOUT_H

#include <atomic>
#include <memory>
#include <vector>

#include "eTileCoordSys.h"
#include "platform/eString.h"
#include "platform/eThread.h"
#include "pmtiles/ePMTilesReader.h"
#include "pmtiles/ePMTilesWriter.h"
#include "storage/eCacheLayout.h"

namespace TVK {

// The zoom level of every level of a scheme of the Web Mercator grid;
// false with the reason for any other scheme (coordinate system, origin,
// a level that is no power-of-two division of the world, two levels on
// one zoom).
bool WebMercatorZooms(const eTileCoordSys& scheme, std::vector<int>& zooms, eString& why);

// True for names this layout reads: "*.pmtiles" and http(s) URLs.
bool IsPMTilesName(const eString& name);
bool IsRemoteName(const eString& name);

// Opens the archive a name stands for (a local path or a URL); null with
// the reason in why.
std::unique_ptr<ePMTilesReader> OpenPMTiles(const eString& name, eString& why);

class ePMTilesLayout final : public eCacheLayout {
public:
    explicit ePMTilesLayout(const eTileStorage& storage);

    // The archive FromTileFile has just opened, so that it is not opened twice.
    void AdoptReader(std::unique_ptr<ePMTilesReader> reader);
    // The writer CreateTileFile has begun.
    void AdoptWriter(std::unique_ptr<ePMTilesWriter> writer);

    unsigned char IsTileExist(int level, int row, int col) override;
    unsigned char LoadTile(int level, int row, int col, eByteArray& data) override;
    unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                           unsigned int size) override;
    unsigned char RemoveTile(int level, int row, int col) override;
    void SettingsChanged() override;
    unsigned char FinishFile(eString& why) override;

    std::unique_ptr<eTileSource> ListTiles(int firstLevel, int lastLevel) const override;
    std::unique_ptr<eFindingSource> CheckFiles(int level) const override;

private:
    // The open archive, opening it on first use; null when it cannot be.
    ePMTilesReader* Reader() const;
    // The zoom of a level, -1 for a level the grid has no zoom for.
    int ZoomOf(int level) const {
        return level >= 0 && static_cast<size_t>(level) < m_vecZooms.size()
                   ? m_vecZooms[static_cast<size_t>(level)]
                   : -1;
    }

    std::vector<int> m_vecZooms;  // by level; set up before the storage is shared
    std::unique_ptr<ePMTilesWriter> m_pWriter;
    // Set once the archive is open; readers test it without the mutex.
    mutable std::atomic<ePMTilesReader*> m_pReady{nullptr};
    mutable eMutex m_openMutex;
    mutable std::unique_ptr<ePMTilesReader> m_pReader TVK_GUARDED_BY(m_openMutex);
    mutable eString m_strOpened TVK_GUARDED_BY(m_openMutex);  // the name it was opened from
};

}  // namespace TVK

#endif
