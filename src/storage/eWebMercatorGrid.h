// The Web Mercator grid the MBTiles and PMTiles formats are defined on:
// level n is zoom n, 2^n x 2^n tiles over the whole square, 96 DPI. One place
// builds such a scheme from a file and checks a scheme against the grid.
#ifndef TVK_STORAGE_EWEBMERCATORGRID_H
#define TVK_STORAGE_EWEBMERCATORGRID_H

#include <vector>

#include "eTileCoordSys.h"
#include "platform/eGeometry.h"
#include "platform/ePrjCoordSys.h"
#include "platform/eString.h"

namespace TVK {
namespace webmercator {

// EPSG:3857, made once.
const ePrjCoordSys& Crs();

// The whole square in map units.
eRect2D World();

// The map-unit box of a longitude/latitude box, its latitudes clipped to the
// square; false when the box is empty or cannot be carried over.
bool LonLatToMap(double west, double south, double east, double north, eRect2D& map);

// Zooms 0 to levelCount - 1 of tiles of tileSize pixels, the first level
// with tiles topLevel, bounds in map units (the whole square when empty).
eTileCoordSys MakeScheme(int tileSize, int levelCount, int topLevel, const eRect2D& bounds);

// The zoom of each level of scheme (zooms[level]); false, with why naming
// the format `kind`, when scheme is no part of the grid, a level is deeper
// than maxZoom or two levels fall on one zoom.
bool ZoomsOf(const eTileCoordSys& scheme, const char* kind, int maxZoom, std::vector<int>& zooms,
             eString& why);

}  // namespace webmercator
}  // namespace TVK

#endif
