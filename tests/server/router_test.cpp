// The request router on its own: every endpoint's address parsing, and the
// malformed and hostile targets that must never become a tile address.
#include <gtest/gtest.h>

#include "router.h"
#include "server_support.h"

namespace tvktest {

using server::EmRoute;
using server::RouteRequest;
using server::tagRoute;

class Router : public ::testing::Test {
protected:
    void SetUp() override {
        eTileStorage merc, utm;
        MakeWebMercator(merc, 4, eTileStorage::Compact);
        MakeUtm(utm, eTileStorage::Compact);
        // ArcGIS level numbers that do not start at 0.
        auto& levels = utm.GetTileCoordSys().GetLevelCaptions();
        for (size_t i = 0; i < levels.size(); ++i) levels[i].Level = static_cast<int>(12 + i);
        m_caches.push_back(Describe(merc, "merc"));
        m_caches.push_back(Describe(utm, "utm.v2-b_1"));
    }
    tagRoute Route(const std::string& target) { return RouteRequest(target, m_caches, m_static); }

    std::vector<server::tagServedCache> m_caches;
    std::vector<std::string> m_static = {"leaflet.js", "images/layers.png"};
};

TEST_F(Router, EndpointsGiveTheirRouteAndTileAddress) {
    struct {
        const char* Target;
        EmRoute Kind;
        int Cache, Level, Row, Col;
    } const cases[] = {
        {"/", EmRoute::CacheList, -1, -1, 0, 0},
        {"/merc", EmRoute::Redirect, 0, -1, 0, 0},
        {"/merc/", EmRoute::MapPage, 0, -1, 0, 0},
        {"/utm.v2-b_1/", EmRoute::MapPage, 1, -1, 0, 0},
        // XYZ: z / x (column) / y (row); the extension does not matter.
        {"/merc/3/5/2", EmRoute::Tile, 0, 3, 2, 5},
        {"/merc/3/5/2.png", EmRoute::Tile, 0, 3, 2, 5},
        {"/merc/3/5/2.jpeg?v=7", EmRoute::Tile, 0, 3, 2, 5},
        {"/merc/0003/05/002.pbf", EmRoute::Tile, 0, 3, 2, 5},
        {"/merc/3/999999999/999999999.webp", EmRoute::Tile, 0, 3, 999999999, 999999999},
        // A level the cache lacks is a missing tile, not a malformed address.
        {"/merc/4/0/0", EmRoute::Tile, 0, -1, 0, 0},
        {"/merc/tilejson.json", EmRoute::TileJson, 0, -1, 0, 0},
        {"/merc/wmts/1.0.0/WMTSCapabilities.xml", EmRoute::WmtsCapabilities, 0, -1, 0, 0},
        // WMTS RESTful: TileMatrix / TileRow / TileCol.
        {"/merc/wmts/1.0.0/merc/default/merc/2/1/3.png", EmRoute::Tile, 0, 2, 1, 3},
        {"/merc/wmts?SERVICE=WMTS&REQUEST=GetCapabilities", EmRoute::WmtsCapabilities, 0, -1, 0, 0},
        {"/merc/wmts?service=WMTS&request=GetTile&layer=merc&style=default&tilematrixset=merc&"
         "TileMatrix=2&TileRow=3&TileCol=1&format=image%2Fpng",
         EmRoute::Tile, 0, 2, 3, 1},
        {"/merc/MapServer", EmRoute::ArcGisService, 0, -1, 0, 0},
        {"/merc/MapServer?f=json", EmRoute::ArcGisService, 0, -1, 0, 0},
        {"/merc/MapServer/tile/2/1/3", EmRoute::Tile, 0, 2, 1, 3},
        // ArcGIS REST levels are LevelIDs: 13 is the second level of utm.
        {"/utm.v2-b_1/MapServer/tile/13/7/8", EmRoute::Tile, 1, 1, 7, 8},
        {"/utm.v2-b_1/MapServer/tile/1/7/8", EmRoute::Tile, 1, -1, 7, 8},
        {"/utm.v2-b_1/1/8/7.png", EmRoute::Tile, 1, 1, 7, 8},
        {"/%6Derc/1/0/1", EmRoute::Tile, 0, 1, 1, 0},                       // percent-encoded name
        {"http://example.org:8080/merc/1/0/1", EmRoute::Tile, 0, 1, 1, 0},  // absolute form
        {"/_tvk/leaflet.js", EmRoute::Static, -1, -1, 0, 0},
    };
    for (const auto& c : cases) {
        const tagRoute r = Route(c.Target);
        EXPECT_EQ(r.Kind, c.Kind) << c.Target;
        EXPECT_EQ(r.Cache, c.Cache) << c.Target;
        if (c.Kind != EmRoute::Tile) continue;
        EXPECT_EQ(r.Level, c.Level) << c.Target;
        EXPECT_EQ(r.Row, c.Row) << c.Target;
        EXPECT_EQ(r.Col, c.Col) << c.Target;
    }
    EXPECT_TRUE(Route("/?f=json").Json);
    EXPECT_FALSE(Route("/").Json);
    EXPECT_EQ(Route("/_tvk/images/layers.png").Static, 1);
}

TEST_F(Router, MalformedAndHostileTargetsNeverBecomeTiles) {
    struct {
        const char* Target;
        EmRoute Kind;
    } const cases[] = {
        {"", EmRoute::BadRequest},
        {"*", EmRoute::BadRequest},
        {"merc/1/0/0", EmRoute::BadRequest},
        {"/merc/1/-1/0", EmRoute::BadRequest},
        {"/merc/1/+1/0", EmRoute::BadRequest},
        {"/merc/1/ 1/0", EmRoute::BadRequest},
        {"/merc/1/0/0x1", EmRoute::BadRequest},
        {"/merc/1/1e3/0", EmRoute::BadRequest},
        {"/merc/1/0/1000000000", EmRoute::BadRequest},  // ten digits: beyond 32 bits
        {"/merc/1/0/4294967297", EmRoute::BadRequest},
        {"/merc/1/0/", EmRoute::BadRequest},
        {"/merc/1/0/0.", EmRoute::BadRequest},
        {"/merc/1/0/0.p/g", EmRoute::NotFound},
        {"/merc/1/0/0.averyverylongext", EmRoute::BadRequest},
        {"/merc/1/0/0.png%00", EmRoute::BadRequest},
        {"/merc/1/%2e%2e/0", EmRoute::BadRequest},
        {"/merc/1/0%2F0/0", EmRoute::BadRequest},
        {"/merc/%zz/0/0", EmRoute::BadRequest},
        {"/merc/%", EmRoute::BadRequest},
        {"/../etc/passwd", EmRoute::NotFound},
        {"/merc/../../etc/passwd", EmRoute::NotFound},
        {"/%2e%2e/%2e%2e/etc/passwd", EmRoute::NotFound},
        {"/_tvk/../../etc/passwd", EmRoute::NotFound},
        {"/_tvk/leaflet.js/", EmRoute::NotFound},
        {"/other/1/0/0", EmRoute::NotFound},
        {"/MERC/1/0/0", EmRoute::NotFound},
        {"/merc//1/0/0", EmRoute::NotFound},
        {"/merc/1/0/0/0", EmRoute::NotFound},
        {"/merc/a/b/c/d/e/f/g/h/i/j/k/l", EmRoute::NotFound},
        {"/merc/wmts/1.0.0/other/default/merc/1/0/0.png", EmRoute::NotFound},
        {"/merc/wmts/1.0.0/merc/default/merc/1/x/0.png", EmRoute::BadRequest},
        {"/merc/MapServer/tile/1/0/x", EmRoute::BadRequest},
        {"/merc/MapServer/export", EmRoute::NotFound},
        {"/?f=%zz", EmRoute::BadRequest},
    };
    for (const auto& c : cases) EXPECT_EQ(Route(c.Target).Kind, c.Kind) << c.Target;
}

TEST_F(Router, WmtsKvpErrorsNameTheParameter) {
    const std::string tile =
        "/merc/wmts?SERVICE=WMTS&REQUEST=GetTile&LAYER=merc&TILEMATRIXSET=merc";
    struct {
        std::string Target;
        const char* Code;
        const char* Locator;
    } const cases[] = {
        {"/merc/wmts", "MissingParameterValue", "service"},
        {"/merc/wmts?SERVICE=WMS&REQUEST=GetCapabilities", "InvalidParameterValue", "service"},
        {"/merc/wmts?SERVICE=WMTS", "MissingParameterValue", "request"},
        {"/merc/wmts?SERVICE=WMTS&REQUEST=GetFeatureInfo", "OperationNotSupported", "request"},
        {"/merc/wmts?SERVICE=WMTS&REQUEST=GetTile&TILEMATRIXSET=merc", "MissingParameterValue",
         "layer"},
        {"/merc/wmts?SERVICE=WMTS&REQUEST=GetTile&LAYER=x&TILEMATRIXSET=merc",
         "InvalidParameterValue", "layer"},
        {tile + "&STYLE=dark&TILEMATRIX=0&TILEROW=0&TILECOL=0", "InvalidParameterValue", "style"},
        {tile + "&TILEROW=0&TILECOL=0", "MissingParameterValue", "tilematrix"},
        {tile + "&TILEMATRIX=4&TILEROW=0&TILECOL=0", "InvalidParameterValue", "tilematrix"},
        {tile + "&TILEMATRIX=1&TILEROW=-1&TILECOL=0", "InvalidParameterValue", "tilerow"},
        // Level 1 of the Web Mercator grid is 2 x 2 tiles.
        {tile + "&TILEMATRIX=1&TILEROW=2&TILECOL=0", "TileOutOfRange", "tilerow"},
        {tile + "&TILEMATRIX=1&TILEROW=1&TILECOL=2", "TileOutOfRange", "tilecol"},
    };
    for (const auto& c : cases) {
        const tagRoute r = Route(c.Target);
        ASSERT_EQ(r.Kind, EmRoute::OwsException) << c.Target;
        EXPECT_STREQ(r.Code, c.Code) << c.Target;
        EXPECT_STREQ(r.Locator, c.Locator) << c.Target;
    }
    const tagRoute ok = Route(tile + "&TILEMATRIX=1&TILEROW=1&TILECOL=1");
    EXPECT_EQ(ok.Kind, EmRoute::Tile);
    EXPECT_EQ(ok.Level, 1);
}

}  // namespace tvktest
