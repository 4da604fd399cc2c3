// eTileListing: the stored tiles of a cache, pulled one at a time.
//
// Tiles come level by level (in the order of the level list). Within a level
// they come as the cache holds them: in compact caches bundle by bundle (by
// first row, then first column) and, within a bundle, row by row and column
// by column; in caches of one file per tile folder by folder (this system's
// group folders like bundles, ArcGIS's row folders by row) and, within a
// folder, by row and column. The same tiles therefore list alike in every
// layout of folders as long as a level is at most 128 columns wide. Single-
// file databases (MBTiles, GeoPackage) list in the order of their index:
// column by column, and within a column by row as stored (MBTiles stores
// rows from the bottom).
//
// The listing reads bundle indexes and lists folders; it never tries
// addresses one by one, and its memory does not grow with the number of
// tiles: it holds one bundle's index or one folder's names at a time. It
// reports exactly the tiles a load would find at their address: records that
// lie outside their file, files under names the cache never builds and
// folders standing on a tile's name are left out. Two levels whose folders
// share one name list its tiles once, under the first of them.
//
// The storage must outlive the listing and keep its settings meanwhile.
// Other threads may use the storage's tile operations at the same time;
// tiles saved or removed meanwhile may or may not be listed. A listing is
// used by one thread at a time.
#ifndef TVK_ETILELISTING_H
#define TVK_ETILELISTING_H

#include <cstdint>
#include <memory>
#include <vector>

#include "eCacheCheck.h"
#include "platform/eExport.h"

namespace TVK {

class eTileStorage;
class eTileSource;

struct tagStoredTile {
    int32_t Level = 0;  // position in the level list
    int32_t Row = 0;
    int32_t Col = 0;
    int64_t Size = 0;  // bytes a load returns
};

class TVK_API eTileListing {
public:
    // Every level of the storage.
    explicit eTileListing(const eTileStorage& storage);
    // Levels firstLevel to lastLevel (positions in the level list); levels
    // outside the list are left out, and first > last lists nothing.
    eTileListing(const eTileStorage& storage, int firstLevel, int lastLevel);
    ~eTileListing();
    eTileListing(const eTileListing&) = delete;
    eTileListing& operator=(const eTileListing&) = delete;
    eTileListing(eTileListing&& other) noexcept;
    eTileListing& operator=(eTileListing&& other) noexcept;

    // The next tile; false after the last one, or at a bundle that cannot be
    // read at all (a missing data file, an index too short for its slots, a
    // V2 header of another format): the listing stops there and GetError
    // names the file. eCacheCheck tells everything that is wrong.
    bool Next(tagStoredTile& tile);
    // Kind eCacheCheck::None unless the listing stopped at a bundle.
    const tagCacheFinding& GetError() const { return m_Error; }

private:
    std::unique_ptr<eTileSource> m_pSource;
    std::vector<tagStoredTile> m_Batch;
    size_t m_nNext = 0;
    tagCacheFinding m_Error;
};

}  // namespace TVK

#endif
