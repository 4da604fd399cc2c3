// eTileStorage: one tile cache on disk, and eFileType, the tile file types.
//
// A cache is laid out either as one file per tile below "_alllayers"
// (Original) or as compact bundles of 128 x 128 tiles per level (Compact:
// .bundle/.bundlx pairs; CompactV2: single .bundle files), chosen by
// SetCacheFormat. The files of the Original layout are named either in this
// system's own grammar or in ArcGIS's (SetTileNaming); with ArcGIS naming the
// bundle folders of the compact layouts also carry each level's LevelID. The
// storage holds its tiling scheme, its settings and the pool of open bundles;
// the tile operations read the settings and never change them. eTileListing
// lists the tiles a cache holds and eCacheCheck checks its files. A cache may
// also be one file (MBTiles, a GeoPackage tile table), which describes itself:
// FromTileFile, CreateTileFile.
//
// Threads: settings are set up before the storage is shared and take no lock.
// The four tile operations may then be called from any number of threads at
// once. In the Original layout nothing is locked; calls on different tiles are
// independent, but two saves of the SAME tile from two threads at once are not
// supported (they share one temporary file name). In the Compact layout the
// pool does all locking. MBTiles and GeoPackage files are shared through
// SQLite's locking: reads in parallel (a connection per reading thread),
// writes one at a time, waiting for other threads and processes. ReleaseHandles
// and the destructor must run while no other thread uses the storage.
#ifndef TVK_ETILESTORAGE_H
#define TVK_ETILESTORAGE_H

#include <memory>

#include "eTileCoordSys.h"
#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eString.h"

namespace TVK {

class eCacheLayout;

class TVK_API eFileType {
public:
    // Tile file types; the numbers are fixed (they are stored in description
    // files), each with its file-name extension (eTileStorage::GetFileExtName).
    enum EmType : int32_t {
        TIF = 103,   // "etif"
        BMP = 121,   // "ebmp"
        JPG = 122,   // "ejpg"
        PNG = 123,   // "epng"
        GIF = 124,   // "egif"
        BIL = 141,   // "ebil"
        DATA = 600,  // "edata"
        PBF = 601,   // "pbf"
    };
};

class TVK_API eTileStorage {
public:
    // Cache layout.
    enum EmFormat : int32_t {
        Original = 0,    // one file per tile below "_alllayers"
        Compact = 1,     // .bundle/.bundlx pairs, one per 128 x 128 block of a level
        CompactV2 = 2,   // one .bundle per 128 x 128 block (ArcGIS 10.3 and later)
        MBTiles = 3,     // one MBTiles file (SQLite): the Web Mercator grid only
        GeoPackage = 4,  // a tile table of a GeoPackage file (SQLite): any tiling scheme
        PMTiles = 5,     // one PMTiles file, local or over HTTP(S)
    };

    // Path grammar of the Original layout.
    enum EmNaming : int32_t {
        // "_alllayers/<scale-name>/R<row-group>C<col-group>/<row>x<col>.<ext>"
        Native = 0,
        // ArcGIS's exploded caches: "_alllayers/L05/R0000012c/C00000401.png",
        // the level's number (tagLevelCaption::Level, ArcGIS's LevelID) in
        // at least two decimal digits, row and column in eight lower-case
        // hexadecimal digits. Negative levels, rows and columns have no name:
        // the tile operations answer 0 for them. The extension comes from
        // the ArcGIS tile format (SetArcGISTileFormat): "jpg" for JPEG,
        // "png" for the PNG kinds and any other text; with no text, from
        // TileType ("jpg" for JPG, else "png"). MIXED caches hold both kinds:
        // reads look for ".jpg" first (the usual kind of opaque tiles), then
        // ".png"; a save names the file after its bytes (FF D8 gives ".jpg",
        // anything else ".png") and removes the tile's file of the other
        // kind; a removal removes both.
        ArcGIS = 1,
    };

    // CacheFormat Original, TileType PNG, TileLevelMode true, the other mode
    // flags false, TileIndexRadixFormat 10, TileGroupSize 128, empty strings,
    // an empty pool and the tiling scheme's defaults. No directory is set.
    eTileStorage();
    // Releases the pool first (closing every open bundle), then the rest.
    ~eTileStorage();
    eTileStorage(const eTileStorage&) = delete;
    eTileStorage& operator=(const eTileStorage&) = delete;

    // ---- settings: plain stores and reads, no validation, no lock ----
    void SetName(const eString& name);
    eString GetName() const;
    // Root folder of the cache; also becomes the pool's root folder.
    void SetFileDirectory(const eString& directory);
    const eString& GetFileDirectory() const;
    void SetServiceProvider(const eString& provider);
    const eString& GetServiceProvider() const;
    void SetTileURLFormat(const eString& format);
    const eString& GetTileURLFormat() const;
    void SetTileLevelMode(unsigned char mode);
    unsigned char GetTileLevelMode() const;
    void SetTileCoordMode(unsigned char mode);
    unsigned char GetTileCoordMode() const;
    void SetTileBoundMode(unsigned char mode);
    unsigned char GetTileBoundMode() const;
    // Stored in the tiling scheme.
    void SetLevelZoomMode(unsigned char mode);
    unsigned char GetLevelZoomMode() const;
    void SetLevelInverseMode(unsigned char mode);
    unsigned char GetLevelInverseMode() const;
    void SetPosInverseMode(unsigned char mode);
    unsigned char GetPosInverseMode() const;
    void SetRowInverseMode(unsigned char mode);
    unsigned char GetRowInverseMode() const;
    void SetTileIndexRadixFormat(int radix);
    int GetTileIndexRadixFormat() const;
    // Assigned with the scheme's assignment.
    void SetTileCoordSys(const eTileCoordSys& coordSys);
    // The storage's own scheme, writable (SetScales etc. act on the cache).
    eTileCoordSys& GetTileCoordSys();
    const eTileCoordSys& GetTileCoordSys() const;
    // A value other than Original, Compact or CompactV2 is stored as given;
    // the tile operations then report it and fail.
    void SetCacheFormat(EmFormat format);
    EmFormat GetCacheFormat() const;
    void SetTileType(eFileType::EmType type);
    eFileType::EmType GetTileType() const;
    // Rows (and columns) per group folder of the Original layout; must be > 0.
    void SetTileGroupSize(int size);
    int GetTileGroupSize() const;
    void SetTileNaming(EmNaming naming);
    EmNaming GetTileNaming() const;
    // ArcGIS's CacheTileFormat text (JPEG, PNG, PNG8, PNG24, PNG32, MIXED);
    // empty for caches that did not come from ArcGIS. Compared ignoring case.
    void SetArcGISTileFormat(const eString& format);
    const eString& GetArcGISTileFormat() const;
    // Whether the cache belongs to ArcGIS: new V1 bundles are then created in
    // ArcGIS's own structure (headers ArcGIS expects) instead of this
    // system's. FromArcGISConfigFile and ToArcGISConfigFile set it (the cache
    // is described by an ArcGIS configuration), FromConfigFile clears it;
    // bundles already on disk keep their structure either way.
    void SetArcGISStructure(unsigned char arcgis);
    unsigned char GetArcGISStructure() const;

    // Extension text of a file type ("epng" for PNG); "png" for an unknown value.
    static eString GetFileExtName(eFileType::EmType type);
    // File type of an extension text, ignoring letter case; PNG for any text it
    // does not know ("etif" included).
    static eFileType::EmType GetFileType(const eString& text);

    // ---- description files (one per cache; see their own sources) ----
    // Each returns 1 on success, 0 on failure, and sets the cache directory
    // to the folder of the file read or written. TileNaming and the ArcGIS
    // tile format are written only when they differ from Native and empty,
    // and a file without them reads back as those defaults.
    unsigned char ToConfigFile(const eString& path);
    unsigned char FromConfigFile(const eString& path);
    // Also keeps ArcGIS's CacheTileFormat text (SetArcGISTileFormat; empty
    // when the file has none), selects ArcGIS's file naming whenever the
    // StorageFormat is one it knows (Compact, CompactV2 or exploded, which
    // is Original), and marks the cache as ArcGIS's (SetArcGISStructure).
    unsigned char FromArcGISConfigFile(const eString& path);
    // Writes an ArcGIS configuration for the storage's current state: `path`
    // (conf.xml: coordinate system, origin, tile size, DPI, one LODInfo per
    // level, tile format, storage layout) and beside it the extent file (the
    // same name with the extension "cdi": the bounds as an EnvelopeN). Index
    // bounds, the top level and the settings kept for users have no place
    // there. Returns 0 when a file cannot be written (each file is replaced
    // atomically, so a failed write leaves that file as it was; the extent
    // file is written first), the layout has no ArcGIS name, or the cache is
    // an Original one whose tiles carry this system's own names; on success the
    // file's folder becomes the cache directory and the cache counts as
    // ArcGIS's (SetArcGISStructure).
    unsigned char ToArcGISConfigFile(const eString& path);

    // ---- single-file caches: the file is its own description ----
    // Opens a single-file cache: FILE.mbtiles, FILE.gpkg (optionally
    // "FILE.gpkg?table=NAME"; the first tile table by default), FILE.pmtiles,
    // or an http(s):// URL of a PMTiles file (read-only). A file with another
    // extension is recognised by its tables. Reads the tiling scheme and
    // settings from the file itself: an MBTiles file gives levels 0 to its
    // deepest zoom (level n is zoom n, 96 DPI, the tile size of its first
    // tile, 256 without one); a GeoPackage tile table gives level n for its
    // zoom_level n (zoom levels it leaves out hold no tiles). 1 on success, 0
    // otherwise (nothing half-opened; GetTileFileError says why).
    unsigned char FromTileFile(const eString& path);
    // Creates a new single-file cache at path from the storage's current
    // tiling scheme and settings (the kind from the extension; a GeoPackage
    // that exists already gains a tile table: "FILE.gpkg?table=NAME", by
    // default named after the file). MBTiles and PMTiles refuse any scheme
    // but the Web Mercator grid. 1 on success, 0 otherwise (no file is left
    // behind; GetTileFileError says why).
    unsigned char CreateTileFile(const eString& path);
    // The file (with "?table=NAME" for a GeoPackage) a single-file cache was
    // opened or created from; empty for caches of folders.
    const eString& GetTileFile() const;
    // Why the last FromTileFile or CreateTileFile failed.
    const eString& GetTileFileError() const;

    // Bulk writing (MBTiles, GeoPackage; other layouts ignore it): until
    // EndBulkWrite, saves and removals are committed in batches of
    // thousands of tiles instead of one by one, which is many times faster.
    // Meanwhile other storages and processes see a batch only once it is
    // committed, and a failure that undoes a batch (a full disk) loses the
    // tiles saved since the last commit: the failing call returns 0, and so
    // does EndBulkWrite. A bulk writer is best a single thread.
    void BeginBulkWrite();
    // Commits what is left; 1 when every batch was committed.
    unsigned char EndBulkWrite();

    // ---- tiles, addressed by (level, row, col) ----
    // Each returns 1 for success / yes and 0 otherwise. In the Original layout
    // a level outside the tiling scheme's level list throws std::out_of_range
    // (the tile's folder is named after the level's scale).
    unsigned char IsTileExist(int level, int row, int col);
    // Replaces data with the tile's bytes; on failure data is left untouched.
    unsigned char LoadImageData(int level, int row, int col, eByteArray& data);
    // Original: writes "<tile>.temp" and renames it onto the tile, replacing
    // an existing tile atomically; on any failure returns 0, removes the
    // temporary file and leaves an existing tile as it was.
    // Compact, CompactV2: never replace a stored tile (return 0 for one).
    // MBTiles, GeoPackage: replace a stored tile in one transaction; an
    // address outside its level's tile matrix (2^z x 2^z tiles for MBTiles)
    // has no place in the file and every tile operation answers 0 for it.
    unsigned char SaveImageData(int level, int row, int col, const unsigned char* data,
                                unsigned int size);
    // Original: 0 when the tile file was not there. Compact, CompactV2,
    // MBTiles, GeoPackage: 1 also then.
    unsigned char RemoveTile(int level, int row, int col);
    // Compact, CompactV2: closes every bundle the pool holds open. MBTiles,
    // GeoPackage: commits an open bulk batch and closes every connection.
    // Original: nothing.
    void ReleaseHandles();

private:
    friend class eTileListing;
    friend class eCacheCheck;

    // The relative path without extension in the naming chosen; empty for a
    // tile that has no ArcGIS name.
    eString TilePos2RelativeFilePathName(int level, int row, int col);
    // Group folder of a tile: floor(row / TileGroupSize), floor(col / TileGroupSize).
    void TilePos2TileGroupPos(int row, int col, int& groupRow, int& groupCol);
    // Makes the layout the format and naming select, closing the old one's handles.
    void ChooseLayout();
    const eCacheLayout& GetLayout() const { return *m_pLayout; }

    eTileCoordSys m_TileCoordSys;
    eString m_strName;
    eString m_strTileFile;  // single-file caches: the file (and "?table=")
    eString m_strTileFileError;
    EmFormat m_emCacheFormat = Original;
    eFileType::EmType m_emTileType = eFileType::PNG;
    eString m_strFileDirectory;
    eString m_strServiceProvider;
    eString m_strTileURLFormat;
    bool m_bTileLevelMode = true;
    bool m_bTileCoordMode = false;
    bool m_bTileBoundMode = false;
    bool m_bLevelInverseMode = false;
    bool m_bPosInverseMode = false;
    bool m_bRowInverseMode = false;
    int32_t m_nTileIndexRadixFormat = 10;
    int32_t m_nTileGroupSize = 128;
    EmNaming m_emTileNaming = Native;
    eString m_strArcGISTileFormat;
    bool m_bArcGISStructure = false;
    // The layout every tile call goes to (for the compact layouts it holds
    // the pool of open bundles): released first by the destructor. Held
    // through a pointer because its type is internal.
    std::unique_ptr<eCacheLayout> m_pLayout;
};

}  // namespace TVK

#endif
