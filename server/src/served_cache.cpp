// The tiling scheme of a served cache in the terms map clients speak.
#include "served_cache.h"

#include <algorithm>
#include <cmath>

#include "platform/eCrsAxes.h"

namespace TVK {
namespace server {

namespace {

constexpr double kPi = 3.14159265358979323846;
// Points per edge when the extent is carried into degrees: curved edges
// (a Lambert grid's top edge, say) reach beyond their corners.
constexpr int kEdgeSamples = 21;
// Largest matrix side written: rows and columns are 32-bit in requests.
constexpr double kMaxMatrixSide = 2147483647.0;

bool IsEmptyRect(const eRect2D& r) {
    return !(r.right > r.left) || !(r.top > r.bottom) || !std::isfinite(r.left) ||
           !std::isfinite(r.right) || !std::isfinite(r.top) || !std::isfinite(r.bottom);
}

const char* LayoutOf(const eTileStorage& storage) {
    switch (storage.GetCacheFormat()) {
        case eTileStorage::Compact: return "compact";
        case eTileStorage::CompactV2: return "compact-v2";
        case eTileStorage::MBTiles: return "mbtiles";
        case eTileStorage::GeoPackage: return "geopackage";
        case eTileStorage::PMTiles: return "pmtiles";
        case eTileStorage::Original:
            return storage.GetTileNaming() == eTileStorage::ArcGIS ? "arcgis-exploded" : "original";
    }
    return "unknown";
}

EmTileFormat FormatOf(const eTileStorage& storage) {
    const eString& arcgis = storage.GetArcGISTileFormat();
    if (!arcgis.IsEmpty()) {
        if (arcgis.CompareNoCase("JPEG") == 0 || arcgis.CompareNoCase("JPG") == 0)
            return EmTileFormat::Jpeg;
        if (arcgis.CompareNoCase("MIXED") == 0) return EmTileFormat::Mixed;
        if (arcgis.Left(3).CompareNoCase("PNG") == 0) return EmTileFormat::Png;
    }
    switch (storage.GetTileType()) {
        case eFileType::PNG: return EmTileFormat::Png;
        case eFileType::JPG: return EmTileFormat::Jpeg;
        case eFileType::GIF: return EmTileFormat::Gif;
        case eFileType::TIF: return EmTileFormat::Tiff;
        case eFileType::PBF: return EmTileFormat::Vector;
        default: return EmTileFormat::Other;
    }
}

bool IsWebMercator(const ePrjCoordSys& prj) {
    if (prj.GetProjection().GetProjectionType() == 43045) return true;  // see ePrjCoordSys.h
    switch (prj.GetEpsgCode()) {
        case 3857:
        case 3785:
        case 900913: return true;
        default: return false;
    }
}

// The Web Mercator zoom of level 0, when every level's tiles divide the
// world into 2^(level + offset) columns from its top-left corner; else -1.
int WebMercatorZoomOffset(const eTileCoordSys& scheme, const std::vector<tagServedLevel>& levels) {
    if (!IsWebMercator(scheme.GetPrjCoordSys())) return -1;
    const double world = eCoordSys::kCircumference;
    const ePoint2D origin = scheme.GetTileOrigin();
    if (std::fabs(origin.x + world / 2) > 1e-6 * world ||
        std::fabs(origin.y - world / 2) > 1e-6 * world)
        return -1;
    int offset = -1;
    for (size_t i = 0; i < levels.size(); ++i) {
        const double span = levels[i].Resolution * scheme.GetTileSize();
        const double k = std::round(std::log2(world / span));
        if (k < 0 || k > 40 || std::fabs(world / std::exp2(k) - span) > 1e-6 * span) return -1;
        const int levelOffset = static_cast<int>(k) - static_cast<int>(i);
        if (levelOffset < 0 || (offset >= 0 && levelOffset != offset)) return -1;
        offset = levelOffset;
    }
    return offset;
}

// The extent's edges carried into WGS 84 degrees; false when no point converts.
bool ExtentInDegrees(const ePrjCoordSys& prj, const tagServedCache& cache, double& west,
                     double& south, double& east, double& north) {
    std::vector<ePoint2D> points;
    points.reserve(4 * kEdgeSamples);
    for (int i = 0; i < kEdgeSamples; ++i) {
        const double t = static_cast<double>(i) / (kEdgeSamples - 1);
        const double x = cache.MinX + t * (cache.MaxX - cache.MinX);
        const double y = cache.MinY + t * (cache.MaxY - cache.MinY);
        points.emplace_back(x, cache.MinY);
        points.emplace_back(x, cache.MaxY);
        points.emplace_back(cache.MinX, y);
        points.emplace_back(cache.MaxX, y);
    }
    prj.Inverse(points.data(), static_cast<int>(points.size()));  // failed points are not finite
    bool any = false;
    for (const ePoint2D& p : points) {
        if (!std::isfinite(p.x) || !std::isfinite(p.y)) continue;
        if (!any) {
            west = east = p.x;
            south = north = p.y;
            any = true;
        }
        west = std::min(west, p.x);
        east = std::max(east, p.x);
        south = std::min(south, p.y);
        north = std::max(north, p.y);
    }
    if (!any) return false;
    west = std::clamp(west, -180.0, 180.0);
    east = std::clamp(east, -180.0, 180.0);
    south = std::clamp(south, -90.0, 90.0);
    north = std::clamp(north, -90.0, 90.0);
    return west < east && south < north;
}

}  // namespace

std::string tagServedCache::CrsUrn() const {
    if (CrsAuthority.empty() || CrsCode <= 0) return std::string();
    return "urn:ogc:def:crs:" + CrsAuthority + "::" + std::to_string(CrsCode);
}

const char* tagServedCache::Extension() const {
    switch (Format) {
        case EmTileFormat::Png: return "png";
        case EmTileFormat::Jpeg: return "jpg";
        case EmTileFormat::Mixed: return "png";  // the extension is not used to find the tile
        case EmTileFormat::Gif: return "gif";
        case EmTileFormat::Tiff: return "tif";
        case EmTileFormat::Vector: return "pbf";
        case EmTileFormat::Other: return "bin";
    }
    return "bin";
}

std::vector<const char*> tagServedCache::MimeTypes() const {
    switch (Format) {
        case EmTileFormat::Png: return {"image/png"};
        case EmTileFormat::Jpeg: return {"image/jpeg"};
        case EmTileFormat::Mixed: return {"image/png", "image/jpeg"};
        case EmTileFormat::Gif: return {"image/gif"};
        case EmTileFormat::Tiff: return {"image/tiff"};
        case EmTileFormat::Vector: return {"application/vnd.mapbox-vector-tile"};
        case EmTileFormat::Other: return {"application/octet-stream"};
    }
    return {"application/octet-stream"};
}

int tagServedCache::LevelOfId(long long levelId) const {
    for (size_t i = 0; i < Levels.size(); ++i)
        if (Levels[i].LevelId == levelId) return static_cast<int>(i);
    return -1;
}

bool DescribeCache(const std::string& name, eTileStorage& storage, tagServedCache& cache,
                   std::string& error) {
    const eTileCoordSys& scheme = storage.GetTileCoordSys();
    const ePrjCoordSys& prj = scheme.GetPrjCoordSys();
    const auto& captions = scheme.GetLevelCaptions();
    if (captions.empty()) {
        error = "the cache describes no levels";
        return false;
    }
    if (scheme.GetTileSize() <= 0) {
        error = "the cache's tile size is not positive";
        return false;
    }

    tagServedCache c;
    c.Name = name;
    c.Storage = &storage;
    c.Layout = LayoutOf(storage);
    c.Format = FormatOf(storage);
    c.ArcGISFormat = storage.GetArcGISTileFormat().Std();
    c.TileSize = scheme.GetTileSize();
    c.Dpi = scheme.GetDPI();
    c.OriginX = scheme.GetTileOrigin().x;
    c.OriginY = scheme.GetTileOrigin().y;
    c.Geographic = prj.IsGeographic();
    c.Wkt = prj.GetWKT().Std();

    const double semiMajor = prj.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis();
    tagCrsAxes axes;
    if (eCrsAxes::Describe(prj, axes) && axes.UnitFactor > 0.0) {
        c.NorthingFirst = axes.NorthingFirst;
        c.CrsAuthority = axes.Authority.Std();
        c.CrsCode = axes.Code;
        c.MetresPerUnit = c.Geographic ? axes.UnitFactor * semiMajor : axes.UnitFactor;
    } else {
        c.MetresPerUnit = c.Geographic ? semiMajor * kPi / 180.0
                                       : (prj.GetUnits() > 0 ? prj.GetUnits() / 1e4 : 1.0);
    }

    // The data extent: the bounds, else the index bounds, else level 0's first tile.
    eRect2D extent = scheme.GetBounds();
    if (IsEmptyRect(extent)) extent = scheme.GetIndexBounds();
    if (IsEmptyRect(extent)) extent = scheme.ComputeTileWorldBounds(0, 0, 0);
    c.MinX = extent.left;
    c.MaxX = extent.right;
    c.MinY = extent.bottom;
    c.MaxY = extent.top;
    // The matrices reach the index bounds' right and bottom edges (the
    // grid's declared extent) and cover the data either way.
    double gridRight = extent.right, gridBottom = extent.bottom;
    const eRect2D index = scheme.GetIndexBounds();
    if (!IsEmptyRect(index)) {
        gridRight = std::max(gridRight, index.right);
        gridBottom = std::min(gridBottom, index.bottom);
    }

    for (size_t i = 0; i < captions.size(); ++i) {
        const int level = static_cast<int>(i);
        const eRect2D tile = scheme.ComputeTileWorldBounds(level, 0, 0);
        const double span = tile.right - tile.left;
        if (!(span > 0.0) || !std::isfinite(span) || !(captions[i].Scale > 0.0)) {
            error = "level " + std::to_string(i) + " has no usable scale";
            return false;
        }
        tagServedLevel l;
        l.LevelId = captions[i].Level;
        l.Resolution = span / c.TileSize;
        l.ScaleDenominator = l.Resolution * c.MetresPerUnit / kOgcPixelMetres;
        l.CacheScale = 1.0 / captions[i].Scale;
        // A sliver of a tile past the edge (rounding in the bounds) adds no column.
        const double cols = std::ceil((gridRight - c.OriginX) / span - 1e-6);
        const double rows = std::ceil((c.OriginY - gridBottom) / span - 1e-6);
        l.MatrixWidth = static_cast<long long>(std::clamp(cols, 1.0, kMaxMatrixSide));
        l.MatrixHeight = static_cast<long long>(std::clamp(rows, 1.0, kMaxMatrixSide));
        c.Levels.push_back(l);
    }
    c.ZoomOffset = WebMercatorZoomOffset(scheme, c.Levels);
    if (!ExtentInDegrees(prj, c, c.West, c.South, c.East, c.North)) {
        c.West = -180.0;
        c.South = -90.0;
        c.East = 180.0;
        c.North = 90.0;
    }
    cache = std::move(c);
    return true;
}

}  // namespace server
}  // namespace TVK
