// Helpers of the seeding tests: tile bytes that pass for PNG images, a Web
// Mercator storage, and an independent reference for the tiles a polygon
// touches (the area of polygon and tile together, by clipping).
#ifndef TVK_TESTS_SUPPORT_SEED_SUPPORT_H
#define TVK_TESTS_SUPPORT_SEED_SUPPORT_H

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "support/http_test_server.h"

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

// "/t/Z/X/Y.png" into a tile; false for anything else.
bool ParseTileTarget(const std::string& target, int& z, int& row, int& col);

// What the faulty tile server does to a tile, fixed by its address. A
// fault "Once" hits the tile's first request only.
enum class EmFault {
    None,
    Missing,      // 404
    Fail500Once,  // 500
    Busy429Once,  // 429 with Retry-After: 1 (level 4, columns 0-3 only)
    Busy503Once,  // 503 with Retry-After: 1 (level 3 only)
    DropOnce,     // connection closed without an answer
    CutOnce,      // half the body, then closed
    HtmlOnce,     // 200 with an HTML page
    SlowOnce,     // the body slower than a one-second timeout (level 2 only)
    Always500,
    Jpeg,  // 200 with a JPEG: not what a PNG cache takes
};
EmFault FaultOf(int z, int row, int col);
// Requests a seeder makes for a tile with retries >= 2.
size_t RequestsFor(EmFault fault);

// Answers "/t/Z/X/Y.png" with PngTile bytes and the tile's fault; healed,
// without faults. Thread-safe.
class eFaultyTiles {
public:
    tagHttpReply Answer(const tagHttpRequest& request);
    std::atomic<bool> Healed{false};
    std::atomic<int> DelayMs{0};  // before every answer

private:
    std::mutex m_mutex;
    std::map<std::string, int> m_seen;  // requests per target so far
};

}  // namespace tvktest

#endif
