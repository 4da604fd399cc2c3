// Seeding test helpers.
#include "seed_support.h"

#include "support/storage_util.h"

#include <cmath>
#include <cstdio>

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
    SetWebMercator(storage->GetTileCoordSys(), levels);
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

bool ParseTileTarget(const std::string& target, int& z, int& row, int& col) {
    char tail = 0;
    return std::sscanf(target.c_str(), "/t/%d/%d/%d.pn%c", &z, &col, &row, &tail) == 4 &&
           tail == 'g';
}

EmFault FaultOf(int z, int row, int col) {
    const unsigned h = (static_cast<unsigned>(z) * 73856093u) ^
                       (static_cast<unsigned>(row) * 19349663u) ^
                       (static_cast<unsigned>(col) * 83492791u);
    switch (h % 20) {
        case 0:
        case 1: return EmFault::Missing;
        case 2:
        case 3: return EmFault::Fail500Once;
        case 4: return z == 4 && col < 4 ? EmFault::Busy429Once : EmFault::None;
        case 5: return EmFault::DropOnce;
        case 6: return EmFault::CutOnce;
        case 7: return EmFault::HtmlOnce;
        case 8: return EmFault::Always500;
        case 9: return EmFault::Jpeg;
        case 10: return z == 3 ? EmFault::Busy503Once : EmFault::None;
        case 11: return z == 2 ? EmFault::SlowOnce : EmFault::None;
        default: return EmFault::None;
    }
}

size_t RequestsFor(EmFault fault) {
    switch (fault) {
        case EmFault::None:
        case EmFault::Missing:
        case EmFault::Jpeg: return 1;
        case EmFault::Always500: return 3;
        default: return 2;
    }
}

tagHttpReply eFaultyTiles::Answer(const tagHttpRequest& request) {
    tagHttpReply reply;
    int z = 0, row = 0, col = 0;
    if (!ParseTileTarget(request.Target, z, row, col)) {
        reply.Status = 400;
        return reply;
    }
    int seen = 0;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        seen = m_seen[request.Target]++;
    }
    reply.Body = PngTile(z, row, col);
    reply.DelayMs = DelayMs;
    const EmFault fault = Healed ? EmFault::None : FaultOf(z, row, col);
    const bool first = seen == 0;
    switch (fault) {
        case EmFault::None: break;
        case EmFault::Missing:
            reply.Status = 404;
            reply.Body = "none";
            break;
        case EmFault::Fail500Once:
            if (first) reply.Status = 500;
            break;
        case EmFault::Busy429Once:
        case EmFault::Busy503Once:
            if (first) {
                reply.Status = fault == EmFault::Busy429Once ? 429 : 503;
                reply.Headers.push_back({"Retry-After", "1"});
            }
            break;
        case EmFault::DropOnce:
            if (first) reply.Action = tagHttpReply::Drop;
            break;
        case EmFault::CutOnce:
            if (first) reply.Action = tagHttpReply::CutBody;
            break;
        case EmFault::HtmlOnce:
            if (first) {
                reply.ContentType = "text/html";
                reply.Body = "<html>busy</html>";
            }
            break;
        case EmFault::SlowOnce:
            if (first) {
                reply.Action = tagHttpReply::SlowBody;
                reply.DelayMs = 800;
            }
            break;
        case EmFault::Always500: reply.Status = 500; break;
        case EmFault::Jpeg:
            reply.Body = JpegTile(z, row, col);
            reply.ContentType = "image/jpeg";
            break;
    }
    return reply;
}

}  // namespace tvktest
