// Helpers of the seeding tests: tile bytes that pass for PNG images, a Web
// Mercator storage, and an independent reference for the tiles a polygon
// touches (the area of polygon and tile together, by clipping).
#ifndef TVK_TESTS_SUPPORT_SEED_SUPPORT_H
#define TVK_TESTS_SUPPORT_SEED_SUPPORT_H

#include <memory>
#include <string>
#include <vector>

#include "eTileStorage.h"
#include "platform/eGeometry.h"

namespace tvktest {

using namespace TVK;

// A PNG signature, a payload naming the tile, and the IEND chunk: what a
// seeder takes for a whole PNG.
std::string PngTile(int level, int row, int col);
// The same, with a JPEG's start and end.
std::string JpegTile(int level, int row, int col);

// Web Mercator levels 0..levels-1, 256-pixel tiles, in root.
std::unique_ptr<eTileStorage> WebMercatorStorage(const std::string& root,
                                                 eTileStorage::EmFormat format, int levels);

// Area shared by a tile rectangle and a polygon (outer ring first, then
// holes), each ring clipped to the rectangle on its own (Sutherland-Hodgman,
// exact for a rectangular window).
double SharedArea(const std::vector<std::vector<ePoint2D>>& polygon, const eRect2D& tile);

}  // namespace tvktest

#endif
