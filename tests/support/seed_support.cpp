// Seeding test helpers.
#include "seed_support.h"

#include <cmath>

#include "platform/ePrjCoordSys.h"

namespace tvktest {

namespace {

const std::string kPngEnd("\0\0\0\0IEND\xae\x42\x60\x82", 12);

// One Sutherland-Hodgman pass: the part of ring on the inner side of a line.
std::vector<ePoint2D> ClipSide(const std::vector<ePoint2D>& ring, int axis, double value,
                               bool keepAbove) {
    std::vector<ePoint2D> out;
    const auto coord = [axis](const ePoint2D& p) { return axis == 0 ? p.x : p.y; };
    const auto inside = [&](const ePoint2D& p) {
        return keepAbove ? coord(p) >= value : coord(p) <= value;
    };
    for (size_t i = 0; i < ring.size(); ++i) {
        const ePoint2D& a = ring[i];
        const ePoint2D& b = ring[(i + 1) % ring.size()];
        if (inside(a)) out.push_back(a);
        if (inside(a) != inside(b)) {
            const double t = (value - coord(a)) / (coord(b) - coord(a));
            out.emplace_back(a.x + t * (b.x - a.x), a.y + t * (b.y - a.y));
        }
    }
    return out;
}

double RingArea(const std::vector<ePoint2D>& ring) {
    double twice = 0.0;
    for (size_t i = 0; i < ring.size(); ++i) {
        const ePoint2D& a = ring[i];
        const ePoint2D& b = ring[(i + 1) % ring.size()];
        twice += a.x * b.y - b.x * a.y;
    }
    return std::fabs(twice) / 2.0;
}

}  // namespace

std::string PngTile(int level, int row, int col) {
    return std::string("\x89PNG\r\n\x1a\n", 8) + "tile " + std::to_string(level) + "/" +
           std::to_string(row) + "/" + std::to_string(col) + kPngEnd;
}

std::string JpegTile(int level, int row, int col) {
    return "\xff\xd8\xff\xe0 jpeg " + std::to_string(level) + "/" + std::to_string(row) + "/" +
           std::to_string(col) + "\xff\xd9";
}

std::unique_ptr<eTileStorage> WebMercatorStorage(const std::string& root,
                                                 eTileStorage::EmFormat format, int levels) {
    auto storage = std::make_unique<eTileStorage>();
    ePrjCoordSys mercator;
    mercator << eWKT("EPSG:3857");
    const double world = 40075016.68557849;
    eTileCoordSys& scheme = storage->GetTileCoordSys();
    scheme.SetPrjCoordSys(mercator);
    scheme.SetTileSize(256);
    scheme.SetDPI(96);
    scheme.SetTileOrigin(ePoint2D(-world / 2, world / 2));
    scheme.SetBounds(eRect2D(-world / 2, world / 2, world / 2, -world / 2));
    scheme.SetIndexBounds(scheme.GetBounds());
    scheme.SetScales(eTileCoordSys::ComputeMapScale(mercator, world, 256, levels, 96 / 25.4));
    storage->SetCacheFormat(format);
    storage->SetTileType(eFileType::PNG);
    storage->SetFileDirectory(root.c_str());
    return storage;
}

double SharedArea(const std::vector<std::vector<ePoint2D>>& polygon, const eRect2D& tile) {
    double area = 0.0;
    for (size_t i = 0; i < polygon.size(); ++i) {
        std::vector<ePoint2D> ring = polygon[i];
        ring = ClipSide(ring, 0, tile.left, true);
        ring = ClipSide(ring, 0, tile.right, false);
        ring = ClipSide(ring, 1, tile.bottom, true);
        ring = ClipSide(ring, 1, tile.top, false);
        area += (i == 0 ? 1.0 : -1.0) * RingArea(ring);
    }
    return area;
}

}  // namespace tvktest
