// Fuzzes the tile server's request handling without sockets: the input is a
// request target, optionally followed by a newline and an If-None-Match
// value. The router must give a tile address only of parsed, non-negative
// numbers and a level of the cache (or -1); the responder must answer every
// target with a complete head whose Content-Length matches the body, over a
// real cache on disk (a compact Web Mercator cache holding one tile).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>

#include "eTileStorage.h"
#include "fuzz_support.h"
#include "platform/ePrjCoordSys.h"
#include "responder.h"
#include "router.h"

namespace {

using namespace TVK;

struct Fixture {
    tvkfuzz::ScratchDir Dir{"tvk_fuzz_router_"};
    eTileStorage Storage;
    std::unique_ptr<server::eResponder> Responder;
    std::vector<server::tagServedCache> Caches;
    std::vector<std::string> Statics{"leaflet.js", "images/layers.png"};

    Fixture() {
        const double world = eCoordSys::kCircumference;
        ePrjCoordSys prj;
        prj << eWKT("EPSG:3857");
        eTileCoordSys& scheme = Storage.GetTileCoordSys();
        scheme.SetPrjCoordSys(prj);
        scheme.SetTileSize(256);
        scheme.SetDPI(96);
        scheme.SetTileOrigin(ePoint2D(-world / 2, world / 2));
        scheme.SetBounds(eRect2D(-world / 2, world / 2, world / 2, -world / 2));
        scheme.SetIndexBounds(scheme.GetBounds());
        scheme.SetScales(eTileCoordSys::ComputeMapScale(prj, world, 256, 5, 96 / 25.4));
        Storage.SetCacheFormat(eTileStorage::Compact);
        Storage.SetFileDirectory(Dir.Path().string().c_str());
        const unsigned char png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n', 1, 2, 3};
        Storage.SaveImageData(2, 1, 3, png, sizeof png);
        server::tagServedCache cache;
        std::string error;
        if (!server::DescribeCache("c", Storage, cache, error)) std::abort();
        Caches.push_back(cache);
        std::vector<server::tagStaticFile> statics{{"leaflet.js", "text/javascript", "L"},
                                                   {"images/layers.png", "image/png", "P"}};
        Responder = std::make_unique<server::eResponder>(Caches, tagServeOptions(), statics,
                                                         "http://127.0.0.1:1");
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Fixture fixture;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const size_t newline = input.find('\n');
    const std::string_view target = input.substr(0, newline);
    const std::string_view ifNoneMatch =
        newline == std::string_view::npos ? std::string_view() : input.substr(newline + 1);

    const server::tagRoute route = server::RouteRequest(target, fixture.Caches, fixture.Statics);
    if (route.Kind == server::EmRoute::Tile) {
        const int levels = static_cast<int>(fixture.Caches[0].Levels.size());
        if (route.Cache != 0 || route.Level < -1 || route.Level >= levels || route.Row < 0 ||
            route.Col < 0)
            std::abort();
    }

    server::tagRequestView request;
    request.Target = target;
    request.IfNoneMatch = ifNoneMatch;
    request.Host = ifNoneMatch;  // hostile Host values too
    server::tagResponse response;
    fixture.Responder->Respond(request, response);
    const std::string& head = response.Head;
    if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) std::abort();
    const size_t length = head.find("\r\nContent-Length: ");
    if (length != std::string::npos &&
        std::strtoull(head.c_str() + length + 18, nullptr, 10) != response.BodySize)
        std::abort();
    return 0;
}
