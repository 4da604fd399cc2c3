// eTileFileLayout: the layout of a cache kept in one SQLite file, an MBTiles
// file or a tile table of a GeoPackage.
//
// The storage names the file (GetTileFile: the path, for a GeoPackage
// followed by "?table=NAME"); the layout opens it at the first tile call,
// from whichever thread makes it, and serves every call through one
// eTileDatabase. MBTiles levels are placed by their tile width on the Web
// Mercator zoom levels (so any Web Mercator scheme reads its own levels); a
// GeoPackage's level n is its zoom_level n, with the matrices the file gives.
//
// Private to the library.
#ifndef TVK_STORAGE_ETILEFILELAYOUT_H
#define TVK_STORAGE_ETILEFILELAYOUT_H

#include <atomic>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/eByteArray.h"
#include "platform/eString.h"
#include "storage/eTileDatabase.h"

namespace TVK {

class eTileStorage;

class eTileFileLayout {
public:
    eTileFileLayout(const eTileStorage& storage, bool geoPackage)
        : m_Storage(storage), m_bGeoPackage(geoPackage) {}
    ~eTileFileLayout() = default;
    eTileFileLayout(const eTileFileLayout&) = delete;
    eTileFileLayout& operator=(const eTileFileLayout&) = delete;

    unsigned char IsTileExist(int level, int row, int col);
    unsigned char LoadTile(int level, int row, int col, eByteArray& data);
    unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                           unsigned int size);
    unsigned char RemoveTile(int level, int row, int col);
    // Closes every connection; the next call opens again.
    void ReleaseHandles();
    // The file or the scheme may have changed: the next call opens afresh.
    void SettingsChanged();

    void BeginBulkWrite();
    unsigned char EndBulkWrite();

    // The open database, opening it on first use; null when the file cannot
    // be opened as the storage describes it.
    eTileDatabase* Database() const;
    // The format's own checks beside the tile table's (metadata, GeoPackage
    // tables), read from a connection of their own.
    bool CheckFormat(std::vector<tagTileCheckNote>& notes) const;

private:
    const eTileStorage& m_Storage;
    const bool m_bGeoPackage;
    // Set once the database is open; readers test it without the mutex.
    mutable std::atomic<eTileDatabase*> m_pReady{nullptr};
    mutable std::mutex m_openMutex;  // guards the opening of m_pDatabase
    mutable std::unique_ptr<eTileDatabase> m_pDatabase;
};

// The file part of "FILE.gpkg?table=NAME" and the table (empty without one).
void SplitTileFileName(const eString& name, eString& path, eString& table);

}  // namespace TVK

#endif
