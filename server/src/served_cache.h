// tagServedCache: what the server knows about one cache, worked out once
// when the cache is added: its URL name, its tile format, and the tiling
// scheme in the terms map clients speak (resolutions, OGC scale
// denominators, matrix sizes, the WGS 84 extent, the coordinate system's
// registry name and axis order, the Web Mercator zoom of each level).
// The documents (WMTS, TileJSON, ArcGIS REST, pages) are written from it
// alone, so they can be tested without sockets or tiles on disk.
#ifndef TVK_SERVER_SERVED_CACHE_H
#define TVK_SERVER_SERVED_CACHE_H

#include <string>
#include <vector>

#include "eTileStorage.h"

namespace TVK {
namespace server {

// The OGC's "standardized rendering pixel size": 0.28 mm.
constexpr double kOgcPixelMetres = 0.00028;

struct tagServedLevel {
    int LevelId = 0;          // the level's own number (ArcGIS's LevelID; the index otherwise)
    double Resolution = 0.0;  // map units per pixel
    double ScaleDenominator = 0.0;  // Resolution in metres / 0.28 mm
    double CacheScale = 0.0;     // the cache's own scale denominator (1 / tagLevelCaption::Scale)
    long long MatrixWidth = 1;   // tile columns from the origin to the extent's right edge
    long long MatrixHeight = 1;  // tile rows from the origin to the extent's bottom edge
};

// The kinds of tile a cache declares; the bytes of each tile still decide
// its Content-Type.
enum class EmTileFormat { Png, Jpeg, Mixed, Gif, Tiff, Vector, Other };

struct tagServedCache {
    std::string Name;                 // URL name
    eTileStorage* Storage = nullptr;  // not owned
    std::string Layout;               // "compact", "compact-v2", "original", "arcgis-exploded"
    EmTileFormat Format = EmTileFormat::Png;
    std::string ArcGISFormat;  // ArcGIS's CacheTileFormat (PNG, PNG32, JPEG, MIXED...)
    std::vector<tagServedLevel> Levels;
    int TileSize = 256;
    double Dpi = 96.0;
    double OriginX = 0.0, OriginY = 0.0;  // top-left corner of tile 0/0, map units
    // Extent of the data in map units (left, bottom, right, top).
    double MinX = 0.0, MinY = 0.0, MaxX = 0.0, MaxY = 0.0;
    // The same extent in WGS 84 degrees, clamped to the world.
    double West = -180.0, South = -90.0, East = 180.0, North = 90.0;

    bool Geographic = false;
    double MetresPerUnit = 1.0;  // one map unit in metres (degrees: along the equator)
    bool NorthingFirst = false;  // the authority lists northing or latitude first
    std::string CrsAuthority;    // "EPSG", "ESRI", or empty when no registry names it
    int CrsCode = 0;
    std::string Wkt;  // the coordinate system's WKT, for clients that take no code
    // Level z is Web Mercator zoom z + ZoomOffset (the world 2^(z + offset)
    // tiles across, origin at its top-left corner); -1 when the cache is not
    // on that grid.
    int ZoomOffset = -1;

    bool IsWebMercatorGrid() const { return ZoomOffset >= 0; }
    // "urn:ogc:def:crs:EPSG::3857"; "" when no registry names the system.
    std::string CrsUrn() const;
    // File extension of tile URLs ("png", "jpg", "pbf"...).
    const char* Extension() const;
    // MIME types of the declared format (two for MIXED).
    std::vector<const char*> MimeTypes() const;
    // The level index of an ArcGIS LevelID; -1 when no level has it.
    int LevelOfId(long long levelId) const;
};

// Works out everything above from a storage whose settings are in place;
// false (with the reason) for a storage without levels or tile size.
bool DescribeCache(const std::string& name, eTileStorage& storage, tagServedCache& cache,
                   std::string& error);

}  // namespace server
}  // namespace TVK

#endif
