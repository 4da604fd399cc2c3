// eCacheCheck: an integrity check of the files of a cache, pulled one finding
// at a time, with totals at the end.
//
// The check reads what is on disk and changes nothing: the bundles of a
// compact cache (their indexes, headers and records) or the tile files of a
// cache of one file per tile, over the whole cache or the folder of one
// level. Each finding names one file or folder and says what is wrong there,
// as a kind and the numbers that go with it; IsDamage tells damage (tiles
// lost, unreadable or garbled) from warnings (space wasted, files the cache
// never reads, header fields other writers fill differently). Findings come
// file by file, in the order the files are checked; memory holds one bundle
// or one folder's names at a time, never the whole cache.
//
// The storage must outlive the check and keep its settings meanwhile; a
// check is used by one thread at a time. Run it on a cache nobody writes to:
// a record appended while its bundle is read may show as dead space.
#ifndef TVK_ECACHECHECK_H
#define TVK_ECACHECHECK_H

#include <cstdint>
#include <memory>
#include <vector>

#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

class eTileStorage;
class eFindingSource;
struct tagCacheFinding;

// What a check counted. Tiles and Bytes count the tiles a load would find;
// DeadBytes the bytes of bundles that no slot reaches (removed or replaced
// tiles, records of interrupted saves).
struct tagCacheTotals {
    int64_t Bundles = 0;    // bundles checked (V1 pairs or V2 files)
    int64_t TileFiles = 0;  // tile files checked (one-file-per-tile layouts)
    int64_t Tiles = 0;
    int64_t Bytes = 0;
    int64_t DeadBytes = 0;
    int64_t Damage = 0;    // findings that IsDamage
    int64_t Warnings = 0;  // the other findings (DeadSpace included)
};

class TVK_API eCacheCheck {
public:
    // Kinds of findings, each with the fields of tagCacheFinding it sets
    // besides Kind and Path (the others keep their defaults). "Slot" stands
    // for Slot, Row and Col: the slot (V1) or entry (V2) number and the
    // tile's own row and column.
    enum EmFinding : int32_t {
        None = 0,
        // ---- damage: tiles lost, unreadable or garbled ----
        FolderUnreadable = 1,  // a folder of the cache cannot be listed
        FileUnreadable = 2,    // a file cannot be opened, examined or read
        // V1 index shorter than its slots: FileSize, Expected.
        IndexTooShort = 3,
        // V1 index neither 81,936 nor 81,952 bytes long: FileSize.
        IndexSizeUnusual = 4,
        IndexWithoutData = 5,  // a .bundlx without its .bundle
        DataWithoutIndex = 6,  // a V1 .bundle without its .bundlx
        // ArcGIS-structured V1 data file shorter than its header: FileSize, Expected.
        DataTooShort = 7,
        // V2 file shorter than its header and entries: FileSize, Expected.
        BundleTooShort = 8,
        NotABundleHeader = 9,  // V2 header without version 3 and 5-byte offsets
        // V2 header's file size above the file's, a cut file: FileSize, Expected.
        HeaderSizeTooLarge = 10,
        // V1 slot offset with bit 31 set: Slot, Offset.
        RecordBeyond2GiB = 11,
        // Slot or entry pointing past the file's end: Slot, Offset, FileSize.
        RecordOutsideFile = 12,
        // The record's bytes run past the file's end: Slot, Offset, Size, FileSize.
        RecordRunsPastEnd = 13,
        // V1 record with a negative length: Slot, Offset.
        RecordNegativeLength = 14,
        // V2 entry pointing into the header or the entries: Slot, Offset.
        RecordInsideIndex = 15,
        // V2 entry's size (Size) other than its record's (Expected): Slot, Offset.
        RecordSizeMismatch = 16,
        EmptyTileFile = 17,  // a tile file of zero bytes
        // Single-file databases (MBTiles, GeoPackage):
        // SQLite's integrity check, or a table that cannot be read: Detail.
        DatabaseDamaged = 18,
        // Tile rows whose data is NULL or empty: Size (rows).
        TileDataMissing = 19,
        // Addresses stored more than once: Size (addresses).
        DuplicateAddress = 20,
        // Deduplicated MBTiles: addresses whose image is missing: Size (rows).
        ImageMissing = 21,
        // ---- warnings: space wasted, files never read, unusual headers ----
        TemporaryFile = 100,  // "<name>.temp" left by a save that never finished
        DeadSpace = 101,      // bundle bytes no slot reaches: Size
        // V2 header's file size below the file's: FileSize, Expected.
        HeaderSizeSmall = 102,
        // V2 header's largest tile (Expected) below a stored one (Size).
        HeaderMaxTileSmall = 103,
        // V2 header field at Offset holding Size where Expected is usual.
        HeaderFieldUnusual = 104,
        ForeignFile = 105,         // a file that is no bundle in a bundle folder
        ForeignLevelFolder = 106,  // a folder below "_alllayers" that is no level's
        ForeignRowFolder = 107,    // a folder in an exploded level that is no row's
        UnreachableName = 108,     // a bundle or tile file under a name the cache never uses
        DuplicateTile = 109,       // a MIXED tile in both kinds; the ".png" is never read
        // Tile rows of a zoom level (Expected) that no level has, or outside
        // its matrix: Size (rows).
        TilesNeverRead = 110,
        // A database departs from its format in a way readers survive
        // (metadata, a missing unique index): Detail.
        FormatUnusual = 111,
    };

    static bool IsDamage(EmFinding kind) { return kind != None && kind < TemporaryFile; }

    // Every file of the cache, below its "_alllayers" folder.
    explicit eCacheCheck(const eTileStorage& storage);
    // The folder of one level (a position in the level list); nothing for a
    // level outside the list.
    eCacheCheck(const eTileStorage& storage, int level);
    ~eCacheCheck();
    eCacheCheck(const eCacheCheck&) = delete;
    eCacheCheck& operator=(const eCacheCheck&) = delete;
    eCacheCheck(eCacheCheck&& other) noexcept;
    eCacheCheck& operator=(eCacheCheck&& other) noexcept;

    // The next finding; false when the check is complete.
    bool Next(tagCacheFinding& finding);
    // Counts so far; complete once Next has returned false.
    const tagCacheTotals& GetTotals() const { return m_Totals; }

private:
    std::unique_ptr<eFindingSource> m_pSource;
    std::vector<tagCacheFinding> m_Batch;
    size_t m_nNext = 0;
    tagCacheTotals m_Totals;
};

// One finding: a kind, the file or folder, and what the kind says it sets.
struct tagCacheFinding {
    eCacheCheck::EmFinding Kind = eCacheCheck::None;
    eString Path;
    int32_t Slot = -1;  // V1 slot or V2 entry number
    int32_t Row = -1;
    int32_t Col = -1;
    int64_t Offset = -1;    // in the file; for HeaderFieldUnusual, the field's
    int64_t Size = -1;      // a record's or field's value, or dead bytes
    int64_t FileSize = -1;  // the file's actual size
    int64_t Expected = -1;  // what the format or the header says instead
    eString Detail;         // for database findings: what is wrong, in words
};

}  // namespace TVK

#endif
