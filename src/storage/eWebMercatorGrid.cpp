#include "storage/eWebMercatorGrid.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>

#include "eCoordSys.h"
#include "storage/eTileFile.h"

namespace TVK {
namespace webmercator {

namespace {

constexpr double kWorld = eCoordSys::kCircumference;
constexpr double kHalfWorld = kWorld / 2.0;
// Projection type of Web Mercator in the projection layer.
constexpr int kWebMercator = 43045;
// Latitude where the square ends.
constexpr double kMaxLatitude = 85.0511287798066;
// A level's tiles must be as wide as a zoom's to this share of the world (the
// tool's grid comparison uses it), and the origin the world's corner to this
// many metres: far below a pixel at any zoom that has tiles.
constexpr double kWidthTolerance = 1e-9;
constexpr double kOriginTolerance = 1e-3;

}  // namespace

const ePrjCoordSys& Crs() {
    static const ePrjCoordSys prj = [] {
        ePrjCoordSys p;
        p << eWKT("EPSG:3857");
        return p;
    }();
    return prj;
}

eRect2D World() { return eRect2D(-kHalfWorld, kHalfWorld, kHalfWorld, -kHalfWorld); }

bool LonLatToMap(double west, double south, double east, double north, eRect2D& map) {
    south = std::max(south, -kMaxLatitude);
    north = std::min(north, kMaxLatitude);
    if (!(west < east) || !(south < north)) return false;
    ePoint2D corners[2] = {ePoint2D(west, south), ePoint2D(east, north)};
    if (!Crs().Forward(corners, 2)) return false;
    map = eRect2D(corners[0].x, corners[1].y, corners[1].x, corners[0].y);
    return std::isfinite(map.left) && std::isfinite(map.top) && std::isfinite(map.right) &&
           std::isfinite(map.bottom);
}

eTileCoordSys MakeScheme(int tileSize, int levelCount, int topLevel, const eRect2D& bounds) {
    eTileCoordSys scheme;
    scheme.SetPrjCoordSys(Crs());
    scheme.SetTileSize(tileSize);
    scheme.SetDPI(96.0);
    scheme.SetTileOrigin(ePoint2D(-kHalfWorld, kHalfWorld));
    scheme.SetIndexBounds(World());
    scheme.SetBounds(bounds);
    // Scales stop below 1:1 (zoom 29 for tiles of 256 pixels at 96 DPI), so
    // the scheme may have fewer levels than asked for.
    scheme.SetScales(
        eTileCoordSys::ComputeMapScale(Crs(), kWorld, tileSize, levelCount, 96.0 / 25.4));
    const int count = static_cast<int>(scheme.GetLevelCaptions().size());
    scheme.SetTileTopLevel(topLevel >= 0 && topLevel < count ? topLevel : 0);
    scheme.SetRefResolution(tileSize * std::ldexp(1.0, count));
    return scheme;
}

bool ZoomsOf(const eTileCoordSys& scheme, const char* kind, int maxZoom, std::vector<int>& zooms,
             eString& why) {
    zooms.clear();
    const std::string grid = std::string(kind) + " holds only the Web Mercator grid";
    if (scheme.GetPrjCoordSys().GetProjection().GetProjectionType() != kWebMercator) {
        why = eString(grid + " (EPSG:3857); this tiling scheme is in ") +
              (scheme.GetPrjCoordSys().IsEmpty() ? eString("no coordinate system")
                                                 : scheme.GetPrjCoordSys().GetName());
        return false;
    }
    const ePoint2D origin = scheme.GetTileOrigin();
    if (std::fabs(origin.x + kHalfWorld) > kOriginTolerance ||
        std::fabs(origin.y - kHalfWorld) > kOriginTolerance) {
        why = eString(grid +
                      "; this tiling scheme's origin is not the world's top-left corner "
                      "(-20037508.34, 20037508.34)");
        return false;
    }
    const int count = static_cast<int>(scheme.GetLevelCaptions().size());
    for (int level = 0; level < count; ++level) {
        const double width = TileWidth(scheme, level);
        const double exact = std::log2(kWorld / width);
        const long zoom = std::isfinite(exact) ? std::lround(exact) : -1;
        if (zoom < 0 || zoom > maxZoom ||
            std::fabs(width * std::ldexp(1.0, static_cast<int>(zoom)) - kWorld) >
                kWidthTolerance * kWorld) {
            char text[200];
            std::snprintf(text, sizeof text,
                          "; level %d of this tiling scheme (tiles %.6f m wide) is no zoom level "
                          "of it",
                          level, width);
            why = eString(grid + text);
            zooms.clear();
            return false;
        }
        if (std::find(zooms.begin(), zooms.end(), static_cast<int>(zoom)) != zooms.end()) {
            why = eString(std::string(kind) +
                          " has one level per zoom; two levels of this tiling scheme fall on "
                          "zoom " +
                          std::to_string(zoom));
            zooms.clear();
            return false;
        }
        zooms.push_back(static_cast<int>(zoom));
    }
    return true;
}

}  // namespace webmercator
}  // namespace TVK
