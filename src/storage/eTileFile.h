// Single-file caches kept in SQLite (MBTiles, GeoPackage): what reading such
// a file yields, and the two formats' readers, writers and checks.
//
// A file holds its own tiling scheme: MBTiles always the Web Mercator grid
// (zoom z is 2^z x 2^z tiles from the top-left corner of the square world,
// rows stored from the bottom); a GeoPackage tile table any coordinate system
// and any list of zoom levels (gpkg_tile_matrix_set and gpkg_tile_matrix,
// rows from the top). Reading builds a scheme whose level n is zoom n, so
// every level of the file keeps its number; zoom levels a GeoPackage leaves
// out become levels with no place for tiles.
//
// Private to the library; TVK_API only for the test and fuzz programs.
#ifndef TVK_STORAGE_ETILEFILE_H
#define TVK_STORAGE_ETILEFILE_H

#include <vector>

#include "eTileCoordSys.h"
#include "eTileStorage.h"
#include "platform/eByteArray.h"
#include "platform/eExport.h"
#include "platform/eSqlite.h"
#include "platform/eString.h"
#include "storage/eTileDatabase.h"

namespace TVK {

struct TVK_API tagTileFileInfo {
    eTileCoordSys Scheme;
    eString Name;
    eFileType::EmType TileType = eFileType::PNG;
    eTileDatabase::tagTable Table;
    std::vector<tagTileLevelMap> Levels;
};

// The width of a level's tiles in map units, measured over 2^20 tiles: the
// width of the tile at the origin loses digits to the origin's own size
// (Web Mercator's 2e7 m against a tile of 1 m at zoom 25).
TVK_API double TileWidth(const eTileCoordSys& scheme, int level);

// The pixel width an encoded PNG, JPEG or WebP image declares; 0 when the
// bytes are none of these or too short to tell.
TVK_API int TileImageWidth(const unsigned char* data, size_t size);
// PNG, JPG or DATA (WebP) by the bytes' signature; PNG for anything else.
TVK_API eFileType::EmType TileImageType(const unsigned char* data, size_t size);

class TVK_API eMBTilesFile {
public:
    // The deepest zoom whose rows and columns fit in 32 bits.
    static constexpr int kMaxZoom = 30;

    // Reads the scheme and the tile table of an open file; false with the
    // reason in why.
    static bool Read(eSqliteDb& db, const eString& path, tagTileFileInfo& info, eString& why);
    // The zoom level of every level of a Web Mercator grid; false with the
    // reason for any other scheme (another coordinate system, origin, or a
    // level that is not a power-of-two division of the world, or two levels
    // on one zoom).
    static bool MapLevels(const eTileCoordSys& scheme, std::vector<tagTileLevelMap>& levels,
                          eString& why);
    // Creates a new file at path (nothing when it fails): the metadata and
    // an empty tiles table with its unique index, written under a temporary
    // name and renamed into place.
    static bool Create(const eString& path, const eTileCoordSys& scheme, const eString& name,
                       eFileType::EmType type, eString& why);
    // Departures from the format in the metadata that readers survive (the
    // tile table is eTileDatabase's to check).
    static void Check(eSqliteDb& db, std::vector<eString>& warnings);
};

class TVK_API eGeoPackageFile {
public:
    // PRAGMA application_id of GeoPackage 1.2 and later ("GPKG"), and the
    // user_version this writer sets (1.3.0).
    static constexpr int64_t kApplicationId = 0x47504B47;
    static constexpr int64_t kUserVersion = 10300;

    // Reads the tile table named table (the first of gpkg_contents when
    // empty); false with the reason in why.
    static bool Read(eSqliteDb& db, const eString& table, tagTileFileInfo& info, eString& why);
    // The table a new tile table of this file gets when none is named: the
    // file's name without folder and extension, if it is a plain identifier.
    static eString DefaultTableName(const eString& path);
    // Adds the tile table to the GeoPackage at path, creating the file when
    // there is none (under a temporary name, renamed into place); an existing
    // file must be a GeoPackage without that table. Nothing changes when it
    // fails.
    static bool Create(const eString& path, const eString& table, const eTileCoordSys& scheme,
                       const eString& name, eString& why);
    // Departures from the format in the tables around the tile table.
    static void Check(eSqliteDb& db, const eString& table, std::vector<eString>& warnings);
};

}  // namespace TVK

#endif
