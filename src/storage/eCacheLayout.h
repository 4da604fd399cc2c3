// eCacheLayout: the seam between eTileStorage and the ways a cache lies on
// disk. One implementation per layout: this system's Original names, ArcGIS's
// exploded names (MIXED included), Compact V1 pairs (both structures) and
// Compact V2 files.
//
// eTileStorage makes its layout with MakeCacheLayout whenever a setting that
// selects one changes (the format, the file naming) and forwards each tile
// operation to it: one virtual call per tile. A layout reads the storage's
// other settings (folder, tiling scheme, tile type, group size, ArcGIS tile
// format) at each call, so they may change between calls as before; what it
// keeps a copy of (the pool's root and bundle structure) it refreshes in
// SettingsChanged.
//
// Adding a layout is one implementation and one line in MakeCacheLayout. A
// layout kept in one file fits the same seam: it finds its file from the
// storage's settings, opens it on first use and closes it in ReleaseHandles
// (and SettingsChanged); a format that can only be written whole answers 0
// to SaveTile for single tiles; listing and checking name that one file.
//
// Private to the library.
#ifndef TVK_STORAGE_ECACHELAYOUT_H
#define TVK_STORAGE_ECACHELAYOUT_H

#include <memory>
#include <vector>

#include "eCacheCheck.h"
#include "eTileListing.h"
#include "platform/eByteArray.h"

namespace TVK {

class eTileStorage;

// Stored tiles, one file or folder at a time (see eTileListing).
class eTileSource {
public:
    virtual ~eTileSource() = default;
    // Replaces batch with the tiles of the next bundle or folder, in listing
    // order (it may be empty). False when nothing is left, or at a bundle that
    // cannot be read; error then names it.
    virtual bool NextBatch(std::vector<tagStoredTile>& batch, tagCacheFinding& error) = 0;
};

// Findings, one file or folder at a time (see eCacheCheck).
class eFindingSource {
public:
    virtual ~eFindingSource() = default;
    // Replaces batch with the findings of the next bundle or folder (it may be
    // empty) and adds to totals what it counted; false when nothing is left.
    virtual bool NextBatch(std::vector<tagCacheFinding>& batch, tagCacheTotals& totals) = 0;
};

class eCacheLayout {
public:
    explicit eCacheLayout(const eTileStorage& storage) : m_Storage(storage) {}
    virtual ~eCacheLayout() = default;
    eCacheLayout(const eCacheLayout&) = delete;
    eCacheLayout& operator=(const eCacheLayout&) = delete;

    // The tile operations of eTileStorage, with its results; the storage has
    // already reported an empty folder and refused a null buffer.
    virtual unsigned char IsTileExist(int level, int row, int col) = 0;
    virtual unsigned char LoadTile(int level, int row, int col, eByteArray& data) = 0;
    virtual unsigned char SaveTile(int level, int row, int col, const unsigned char* data,
                                   unsigned int size) = 0;
    virtual unsigned char RemoveTile(int level, int row, int col) = 0;
    // Closes whatever the layout keeps open between calls.
    virtual void ReleaseHandles() {}
    // A setting the layout keeps a copy of may have changed.
    virtual void SettingsChanged() {}
    // Saves and removals until EndBulkWrite may be committed in batches
    // (eTileStorage::BeginBulkWrite); layouts without transactions ignore it.
    virtual void BeginBulkWrite() {}
    virtual unsigned char EndBulkWrite() { return 1; }

    // Levels firstLevel..lastLevel, already clipped to the level list.
    virtual std::unique_ptr<eTileSource> ListTiles(int firstLevel, int lastLevel) const = 0;
    // The whole cache when level < 0, else that level's folder.
    virtual std::unique_ptr<eFindingSource> CheckFiles(int level) const = 0;

protected:
    const eTileStorage& m_Storage;
};

// The layout the storage's format and naming select.
std::unique_ptr<eCacheLayout> MakeCacheLayout(const eTileStorage& storage);

// The implementations, one file each.
std::unique_ptr<eCacheLayout> MakeNativeLayout(const eTileStorage& storage);
std::unique_ptr<eCacheLayout> MakeExplodedLayout(const eTileStorage& storage);
std::unique_ptr<eCacheLayout> MakeCompactV1Layout(const eTileStorage& storage);
std::unique_ptr<eCacheLayout> MakeCompactV2Layout(const eTileStorage& storage);
// MBTiles or a GeoPackage tile table (GetTileFile names it).
std::unique_ptr<eCacheLayout> MakeTileFileLayout(const eTileStorage& storage, bool geoPackage);

}  // namespace TVK

#endif
