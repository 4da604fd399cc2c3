// What the server tells map clients about a cache, checked against hand
// arithmetic: WMTS capabilities (scale denominators at 0.28 mm per pixel,
// corners in the registry's axis order, matrix sizes and limits from the
// bounds), TileJSON only for Web Mercator zooms 0, 1, 2..., the ArcGIS REST
// service description with LevelIDs, and the pages.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <pugixml.hpp>

#include <cmath>

#include "documents.h"
#include "server_support.h"

namespace tvktest {

using nlohmann::json;
using server::tagServedCache;

namespace {

constexpr double kMetresPerDegree = 6378137.0 * 3.14159265358979323846 / 180.0;

struct tagMatrix {
    std::string Id;
    double ScaleDenominator;
    std::string TopLeft;
    long Width, Height;
};

std::vector<tagMatrix> Matrices(const pugi::xml_document& doc) {
    std::vector<tagMatrix> out;
    for (const auto& node : doc.select_nodes("/Capabilities/Contents/TileMatrixSet/TileMatrix")) {
        const pugi::xml_node m = node.node();
        out.push_back({m.child_value("ows:Identifier"),
                       std::stod(m.child_value("ScaleDenominator")), m.child_value("TopLeftCorner"),
                       std::stol(m.child_value("MatrixWidth")),
                       std::stol(m.child_value("MatrixHeight"))});
    }
    return out;
}

pugi::xml_document Parse(const std::string& text) {
    pugi::xml_document doc;
    const pugi::xml_parse_result result = doc.load_string(text.c_str());
    EXPECT_TRUE(result) << result.description() << "\n" << text;
    return doc;
}

}  // namespace

TEST(ServedCache, SchemesInClientTerms) {
    eTileStorage merc, geo, utm;
    MakeWebMercator(merc, 4, eTileStorage::Compact);
    MakeGeographic(geo, 3, eTileStorage::Original);
    MakeUtm(utm, eTileStorage::CompactV2);
    const tagServedCache m = Describe(merc, "m"), g = Describe(geo, "g"), u = Describe(utm, "u");

    // Web Mercator: level z is 2^z tiles across the world, zoom offset 0.
    EXPECT_EQ(m.ZoomOffset, 0);
    EXPECT_EQ(m.CrsUrn(), "urn:ogc:def:crs:EPSG::3857");
    EXPECT_FALSE(m.NorthingFirst);
    for (int z = 0; z < 4; ++z) {
        const double resolution = kWorld / 256 / std::ldexp(1.0, z);
        EXPECT_NEAR(m.Levels[z].Resolution / resolution, 1.0, 1e-9);
        EXPECT_NEAR(m.Levels[z].ScaleDenominator / (resolution / 0.00028), 1.0, 1e-9);
        EXPECT_EQ(m.Levels[z].MatrixWidth, 1LL << z);
        EXPECT_EQ(m.Levels[z].MatrixHeight, 1LL << z);
    }
    EXPECT_NEAR(m.North, 85.0511287798066, 1e-9);
    EXPECT_NEAR(m.West, -180.0, 1e-9);

    // EPSG:4326: latitude first, two 180-degree tiles at level 0, scale
    // denominators over the equator's metres per degree.
    EXPECT_TRUE(g.Geographic);
    EXPECT_TRUE(g.NorthingFirst);
    EXPECT_EQ(g.ZoomOffset, -1);
    EXPECT_NEAR(g.Levels[0].Resolution, 180.0 / 256, 1e-6);
    EXPECT_NEAR(g.Levels[0].ScaleDenominator / (180.0 / 256 * kMetresPerDegree / 0.00028), 1.0,
                1e-6);
    EXPECT_EQ(g.Levels[0].MatrixWidth, 2);
    EXPECT_EQ(g.Levels[0].MatrixHeight, 1);
    EXPECT_EQ(g.Levels[2].MatrixWidth, 8);
    EXPECT_EQ(g.Layout, "original");

    // UTM 32N at 1:50,000, 1:20,000, 1:10,000 and 96 DPI, 512-pixel tiles:
    // resolution = denominator x 0.0254 / 96 m; the matrices reach from the
    // origin (200000, 6200000) to the bounds' right and bottom edges.
    EXPECT_EQ(u.CrsUrn(), "urn:ogc:def:crs:EPSG::25832");
    EXPECT_FALSE(u.NorthingFirst);
    EXPECT_EQ(u.Layout, "compact-v2");
    const double denominators[] = {50000, 20000, 10000};
    for (int i = 0; i < 3; ++i) {
        const double resolution = denominators[i] * 0.0254 / 96;
        EXPECT_NEAR(u.Levels[i].Resolution / resolution, 1.0, 1e-9);
        EXPECT_NEAR(u.Levels[i].ScaleDenominator / (resolution / 0.00028), 1.0, 1e-9);
        EXPECT_NEAR(u.Levels[i].CacheScale, denominators[i], 1e-6);
        const long long side = static_cast<long long>(std::ceil(200000 / (resolution * 512)));
        EXPECT_EQ(u.Levels[i].MatrixWidth, side);
        EXPECT_EQ(u.Levels[i].MatrixHeight, side);
    }
    EXPECT_EQ(u.Levels[0].MatrixWidth, 30);  // 200 km / 6773.3 m
    // Eastings 300-400 km lie 200-100 km west of 9 E, at about 54-55 N.
    EXPECT_NEAR(u.West, 5.9, 0.1);
    EXPECT_NEAR(u.East, 7.5, 0.1);
    EXPECT_NEAR(u.South, 54.1, 0.1);
    EXPECT_NEAR(u.North, 55.0, 0.1);
}

TEST(ServedCache, WebMercatorGridStartingDeeperHasAZoomOffset) {
    eTileStorage storage;
    MakeWebMercator(storage, 6, eTileStorage::Compact);
    auto& levels = storage.GetTileCoordSys().GetLevelCaptions();
    levels.erase(levels.begin(), levels.begin() + 2);  // level 0 is zoom 2
    tagServedCache c = Describe(storage, "deep");
    EXPECT_EQ(c.ZoomOffset, 2);
    std::string out;
    EXPECT_FALSE(server::WriteTileJson(c, "http://h", out));
    // One level off the doubling: no Web Mercator grid at all.
    levels[1].Scale *= 1.5;
    EXPECT_EQ(Describe(storage, "odd").ZoomOffset, -1);
}

TEST(WmtsCapabilities, DescribeEachSchemeForClients) {
    eTileStorage merc, geo, utm;
    MakeWebMercator(merc, 3, eTileStorage::Compact);
    MakeGeographic(geo, 2, eTileStorage::Compact);
    MakeUtm(utm, eTileStorage::Compact);

    const pugi::xml_document m =
        Parse(server::WriteWmtsCapabilities(Describe(merc, "m"), "http://host:81"));
    const auto mm = Matrices(m);
    ASSERT_EQ(mm.size(), 3u);
    EXPECT_EQ(mm[0].Id, "0");
    EXPECT_NEAR(mm[0].ScaleDenominator, 559082264.0287178, 1e-4);
    EXPECT_EQ(mm[0].TopLeft, "-20037508.342789244 20037508.342789244");
    EXPECT_EQ(mm[2].Width, 4);
    EXPECT_STREQ(m.select_node("//TileMatrixSet/ows:SupportedCRS").node().child_value(),
                 "urn:ogc:def:crs:EPSG::3857");
    EXPECT_STREQ(m.select_node("//Layer/ResourceURL").node().attribute("template").value(),
                 "http://host:81/m/wmts/1.0.0/m/{Style}/{TileMatrixSet}/{TileMatrix}/{TileRow}/"
                 "{TileCol}.png");
    EXPECT_STREQ(m.select_node("//Layer/Format").node().child_value(), "image/png");
    EXPECT_STREQ(m.select_node("//ows:Operation[@name='GetTile']//ows:Get")
                     .node()
                     .attribute("xlink:href")
                     .value(),
                 "http://host:81/m/wmts?");

    const pugi::xml_document g =
        Parse(server::WriteWmtsCapabilities(Describe(geo, "g"), "http://h"));
    const auto gm = Matrices(g);
    ASSERT_EQ(gm.size(), 2u);
    EXPECT_EQ(gm[0].TopLeft, "90 -180");  // latitude first
    EXPECT_EQ(gm[0].Width, 2);
    EXPECT_EQ(gm[0].Height, 1);
    EXPECT_NEAR(gm[1].ScaleDenominator / (90.0 / 256 * kMetresPerDegree / 0.00028), 1.0, 1e-6);
    // The layer's own bounding box is in the system's axis order too; the
    // WGS 84 box is always longitude first.
    EXPECT_STREQ(g.select_node("//Layer/ows:BoundingBox/ows:LowerCorner").node().child_value(),
                 "-90 -180");
    EXPECT_STREQ(g.select_node("//Layer/ows:WGS84BoundingBox/ows:LowerCorner").node().child_value(),
                 "-180 -90");

    const pugi::xml_document u =
        Parse(server::WriteWmtsCapabilities(Describe(utm, "u"), "http://h"));
    const auto um = Matrices(u);
    ASSERT_EQ(um.size(), 3u);
    EXPECT_EQ(um[0].TopLeft, "200000 6200000");
    EXPECT_NEAR(um[0].ScaleDenominator, 50000 * 0.0254 / 96 / 0.00028, 1e-6);
    EXPECT_NEAR(um[2].ScaleDenominator, 10000 * 0.0254 / 96 / 0.00028, 1e-6);
    // The data (x 300-400 km, y 6000-6100 km) starts 100 km from the origin:
    // 14.8 tiles of 6773.3 m at level 0, so rows and columns 14 to 29.
    const pugi::xml_node limits = u.select_node("//TileMatrixLimits[TileMatrix='0']").node();
    EXPECT_STREQ(limits.child_value("MinTileRow"), "14");
    EXPECT_STREQ(limits.child_value("MaxTileRow"), "29");
    EXPECT_STREQ(limits.child_value("MinTileCol"), "14");
    EXPECT_STREQ(limits.child_value("MaxTileCol"), "29");

    const pugi::xml_document e = Parse(server::WriteOwsException("TileOutOfRange", "tilerow"));
    EXPECT_STREQ(e.select_node("//ows:Exception").node().attribute("exceptionCode").value(),
                 "TileOutOfRange");
}

TEST(ClientDocuments, TileJsonArcGisServiceAndCacheList) {
    eTileStorage merc, utm;
    MakeWebMercator(merc, 5, eTileStorage::Compact);
    MakeUtm(utm, eTileStorage::Compact);
    merc.SetTileType(eFileType::JPG);
    auto& levels = utm.GetTileCoordSys().GetLevelCaptions();
    for (size_t i = 0; i < levels.size(); ++i) levels[i].Level = static_cast<int>(12 + i);
    const tagServedCache m = Describe(merc, "m"), u = Describe(utm, "u");

    std::string text;
    ASSERT_TRUE(server::WriteTileJson(m, "http://h:1", text));
    const json tj = json::parse(text);
    EXPECT_EQ(tj["tilejson"], "3.0.0");
    EXPECT_EQ(tj["tiles"][0], "http://h:1/m/{z}/{x}/{y}.jpg");
    EXPECT_EQ(tj["minzoom"], 0);
    EXPECT_EQ(tj["maxzoom"], 4);
    EXPECT_EQ(tj["format"], "jpg");
    EXPECT_NEAR(tj["bounds"][3].get<double>(), 85.0511287798066, 1e-9);
    EXPECT_FALSE(server::WriteTileJson(u, "http://h:1", text));

    const json am = json::parse(server::WriteArcGisService(m));
    EXPECT_EQ(am["spatialReference"]["wkid"], 102100);
    EXPECT_EQ(am["spatialReference"]["latestWkid"], 3857);
    EXPECT_EQ(am["tileInfo"]["format"], "JPEG");
    EXPECT_EQ(am["tileInfo"]["rows"], 256);
    EXPECT_NEAR(am["tileInfo"]["origin"]["x"].get<double>(), -kWorld / 2, 1e-6);
    EXPECT_EQ(am["tileInfo"]["lods"].size(), 5u);
    EXPECT_NEAR(am["tileInfo"]["lods"][0]["resolution"].get<double>(), kWorld / 256, 1e-6);
    EXPECT_EQ(am["units"], "esriMeters");

    const json au = json::parse(server::WriteArcGisService(u));
    EXPECT_EQ(au["spatialReference"]["wkid"], 25832);
    const json& lods = au["tileInfo"]["lods"];
    ASSERT_EQ(lods.size(), 3u);
    EXPECT_EQ(lods[1]["level"], 13);  // the LevelIDs clients put in tile URLs
    EXPECT_NEAR(lods[1]["scale"].get<double>(), 20000, 1e-6);
    EXPECT_NEAR(lods[1]["resolution"].get<double>(), 20000 * 0.0254 / 96, 1e-9);
    EXPECT_EQ(au["tileInfo"]["rows"], 512);
    EXPECT_NEAR(au["fullExtent"]["xmax"].get<double>(), 400000, 1e-6);

    const json list = json::parse(server::WriteCacheListJson({m, u}, "http://h:1"));
    ASSERT_EQ(list["caches"].size(), 2u);
    EXPECT_EQ(list["caches"][0]["tilejson"], "http://h:1/m/tilejson.json");
    EXPECT_TRUE(list["caches"][1]["tilejson"].is_null());
    EXPECT_EQ(list["caches"][1]["crs"], "EPSG:25832");
    EXPECT_EQ(list["caches"][1]["xyz"], "http://h:1/u/{z}/{x}/{y}.png");
    const std::string html = server::WriteCacheListHtml({m, u});
    EXPECT_NE(html.find("href=\"/u/\""), std::string::npos);
    EXPECT_NE(html.find("/m/tilejson.json"), std::string::npos);
}

TEST(MapPage, WebMercatorOverLeafletsMapOtherSchemesOverTheirOwnGrid) {
    eTileStorage merc, utm;
    MakeWebMercator(merc, 6, eTileStorage::Compact);
    auto& levels = merc.GetTileCoordSys().GetLevelCaptions();
    levels.erase(levels.begin(), levels.begin() + 2);  // zooms 2-5
    MakeUtm(utm, eTileStorage::Compact);

    // The page's configuration is the JSON between "var cfg = " and ";".
    auto config = [](const std::string& page) {
        const size_t at = page.find("var cfg = ") + 10;
        return json::parse(page.substr(at, page.find(";\n", at) - at));
    };
    const std::string mp = server::WriteMapPage(Describe(merc, "m"), true);
    const json mc = config(mp);
    EXPECT_TRUE(mc["mercator"]);
    EXPECT_EQ(mc["minZoom"], 2);
    EXPECT_EQ(mc["zoomOffset"], -2);  // Leaflet zoom 2 asks for the cache's level 0
    EXPECT_EQ(mc["tiles"], "/m/{z}/{x}/{y}.png");
    EXPECT_NE(mp.find("src=\"/_tvk/leaflet.js\""), std::string::npos);
    // No request leaves the server unless the user asks for the base map.
    EXPECT_NE(mp.find("basemap=osm"), std::string::npos);

    const json uc = config(server::WriteMapPage(Describe(utm, "u"), true));
    EXPECT_FALSE(uc["mercator"]);
    EXPECT_EQ(uc["zoomOffset"], 0);
    EXPECT_EQ(uc["tileSize"], 512);
    ASSERT_EQ(uc["resolutions"].size(), 3u);
    EXPECT_NEAR(uc["resolutions"][2].get<double>(), 10000 * 0.0254 / 96, 1e-9);
    EXPECT_EQ(uc["origin"][1], 6200000);

    const std::string missing = server::WriteMapPage(Describe(utm, "u"), false);
    EXPECT_EQ(missing.find("leaflet.js"), std::string::npos);
    EXPECT_NE(missing.find("libjs-leaflet"), std::string::npos);
}

}  // namespace tvktest
