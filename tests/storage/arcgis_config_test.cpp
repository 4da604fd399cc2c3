// Import of ArcGIS cache configurations: real-shaped fixtures (one-line,
// namespaced, xsi:type everywhere) and the import's failure rules.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>

#include "eTileStorage.h"
#include "platform/ePrjCoordSys.h"
#include "support/storage_util.h"

using namespace TVK;
using namespace tvktest;

namespace {

std::string Fixtures() {
    return std::string(__FILE__).substr(0, std::string(__FILE__).rfind('/')) + "/fixtures/";
}

constexpr double kPi = 3.141592653589793;

// Representative fraction of r map units per pixel, by hand: 10 / (r x dots
// per millimetre x units ratio).
double Scale(double r, double dpi, double unitsRatio) {
    return 10.0 / (r * (dpi / 25.4) * unitsRatio);
}

const std::string kLods = "<LODInfos>" + Lod(0, 0.5) + "</LODInfos>";
const std::string kStorage =
    "<CacheStorageInfo><StorageFormat>esriMapCacheStorageModeCompact</StorageFormat>"
    "</CacheStorageInfo>";
const std::string kEnvelope =
    "<EnvelopeN><XMin>-10</XMin><YMin>-20</YMin><XMax>30</XMax><YMax>40</YMax></EnvelopeN>";

}  // namespace

// Two real-shaped caches. The second was made on Windows: "Conf.xml" beside
// "conf.cdi", levels numbered from 2, JPEG tiles in the exploded layout, a
// DPI that is not a whole number. The bottom level is the level count; the
// index bounds are web mercator's whole world or the geographic defaults.
TEST(ArcGISImport, RealShapedCaches) {
    const double degrees = 6378137.0 * 10000.0 * kPi / 180.0, world = 20037508.342789244;
    const struct {
        const char *dir, *file;
        double unitsRatio, originX, dpi;
        int tileSize, firstLevel, format;
        std::vector<double> resolutions, bounds, indexBounds;
    } cases[] = {
        {"arcgis_compact/",
         "conf",
         10000.0,
         -20037508.342787001,
         96.0,
         256,
         0,
         eTileStorage::Compact,
         {156543.03392800014, 78271.516963999937, 39135.758482000092, 19567.879240999919},
         {-13884991.404203, 6338219.3731618, -7455066.8239041, 2870341.1822503},
         {-world, world, world, -world}},
        {"arcgis_exploded/",
         "Conf",
         degrees,
         -400.0,
         90.714285714285708,
         512,
         2,
         eTileStorage::Original,
         {0.17578125, 0.087890625, 0.0439453125},
         {-180, 90, 180, -90},
         {-180, 90, 180, -90}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file);
        eTileStorage storage;
        storage.SetTileType(eFileType::JPG);
        storage.SetTileGroupSize(16);
        storage.SetCacheFormat(eTileStorage::CompactV2);
        ASSERT_EQ(storage.FromArcGISConfigFile((Fixtures() + c.dir + c.file + ".xml").c_str()), 1);
        const eTileCoordSys& scheme = storage.GetTileCoordSys();
        EXPECT_EQ(scheme.GetPrjCoordSys().GetSpatialRefType() == 1, c.unitsRatio == degrees);
        EXPECT_DOUBLE_EQ(scheme.UnitsRatio, c.unitsRatio);
        EXPECT_EQ(scheme.GetTileOrigin().x, c.originX);
        EXPECT_EQ(scheme.GetTileOrigin().y, -c.originX);
        EXPECT_DOUBLE_EQ(scheme.GetDPI(), c.dpi);
        const size_t n = c.resolutions.size();
        ASSERT_EQ(scheme.GetLevelCaptions().size(), n);
        for (size_t i = 0; i < n; ++i) {
            EXPECT_EQ(scheme.GetLevelCaptions()[i].Level, c.firstLevel + int(i));
            EXPECT_DOUBLE_EQ(scheme.GetLevelCaptions()[i].Scale,
                             Scale(c.resolutions[i], c.dpi, c.unitsRatio));
        }
        EXPECT_EQ(std::vector<double>(
                      {double(scheme.GetTileSize()), double(scheme.GetTileBottomLevel()),
                       scheme.GetRefResolution(), double(storage.GetTileType()),
                       double(storage.GetCacheFormat()), double(storage.GetTileGroupSize())}),
                  std::vector<double>({double(c.tileSize), double(n), c.tileSize * double(1 << n),
                                       eFileType::PNG, double(c.format), 128}));
        EXPECT_EQ(Sides(scheme.GetBounds()), c.bounds);
        EXPECT_EQ(Sides(scheme.GetIndexBounds()), c.indexBounds);
        EXPECT_EQ(storage.GetName().Std(), c.file);
        EXPECT_EQ(storage.GetFileDirectory().Std(), Fixtures() + c.dir);
    }
}

TEST(ArcGISImport, FailuresAndRulesOfTheReader) {
    TempDir dir;
    const std::string conf = (dir / "conf.xml").string(), cdi = (dir / "conf.cdi").string();
    eTileStorage storage;
    eTileCoordSys& scheme = storage.GetTileCoordSys();
    auto import = [&](const std::string& text, const std::string& extent = kEnvelope) {
        WriteText(conf, text);
        std::filesystem::remove(cdi);
        if (!extent.empty()) WriteText(cdi, extent);
        return storage.FromArcGISConfigFile(conf.c_str());
    };
    // Missing or not XML: 0, nothing changed.
    EXPECT_EQ(storage.FromArcGISConfigFile((dir / "none.xml").string().c_str()), 0);
    EXPECT_EQ(import("<CacheInfo>"), 0);
    EXPECT_EQ(import(""), 0);
    EXPECT_TRUE(storage.GetName().IsEmpty() && storage.GetFileDirectory().IsEmpty());

    // Another root: only name, folder and extent.
    scheme.SetScales({0.001, 0.002});
    EXPECT_EQ(
        import(
            "<MapCacheInfo><TileCacheInfo><TileCols>9</TileCols></TileCacheInfo></MapCacheInfo>"),
        1);
    EXPECT_EQ(storage.GetName().Std(), "conf");
    EXPECT_EQ(storage.GetFileDirectory().Std(), dir.Str() + "/");
    EXPECT_EQ(scheme.GetTileSize(), 256);
    EXPECT_EQ(scheme.GetBounds().right, 30.0);
    // No TileCacheInfo is no failure by itself.
    EXPECT_EQ(import(Conf("", kStorage)), 1);

    // No SpatialReference, one without WKT, or a refused WKT: 0, coordinate
    // system kept, the rest read.
    scheme.SetPrjCoordSys(ePrjCoordSys());
    EXPECT_EQ(import(Conf("<TileCols>300</TileCols>" + kLods, kStorage)), 0);
    EXPECT_EQ(scheme.GetTileSize(), 300);
    EXPECT_EQ(scheme.GetLevelCaptions().size(), 1u);
    EXPECT_EQ(
        import(Conf("<SpatialReference><WKID>4326</WKID></SpatialReference>" + kLods, kStorage)),
        0);
    EXPECT_EQ(import(Conf("<SpatialReference><WKT>PROJCS[broken</WKT></SpatialReference>" + kLods,
                          kStorage)),
              0);
    EXPECT_TRUE(scheme.GetPrjCoordSys().IsEmpty());

    // No LODInfos: 0; scale list, reference resolution and bottom level kept.
    scheme.SetScales({0.001, 0.002});
    scheme.SetRefResolution(5.0);
    EXPECT_EQ(import(Conf(kGeographic + "<TileCols>256</TileCols>", kStorage)), 0);
    EXPECT_EQ(scheme.GetLevelCaptions().size(), 2u);
    EXPECT_EQ(scheme.GetRefResolution(), 5.0);
    EXPECT_EQ(scheme.GetTileBottomLevel(), 1);

    // No StorageFormat: 0, layout kept; PacketSize read when positive.
    storage.SetTileGroupSize(64);
    EXPECT_EQ(import(Conf(kGeographic + kLods,
                          "<CacheStorageInfo><PacketSize>0</PacketSize></CacheStorageInfo>")),
              0);
    EXPECT_EQ(storage.GetCacheFormat(), eTileStorage::Compact);
    EXPECT_EQ(storage.GetTileGroupSize(), 64);
    // Unknown texts (letter case counts): reported, layout kept, result
    // unaffected.
    {
        AssertLog asserts;
        EXPECT_EQ(import(Conf(kGeographic + kLods,
                              "<CacheStorageInfo><StorageFormat>esrimapcachestoragemodecompact"
                              "</StorageFormat><PacketSize>32</PacketSize></CacheStorageInfo>")),
                  1);
        EXPECT_EQ(AssertLog::Entries(), std::vector<std::string>{"FALSE@eTileStorage"});
    }
    EXPECT_EQ(storage.GetCacheFormat(), eTileStorage::Compact);
    EXPECT_EQ(storage.GetTileGroupSize(), 32);

    // Extent file missing or without EnvelopeN: 0, bounds kept, index
    // bounds still set (geographic defaults).
    scheme.SetBounds(eRect2D(1, 2, 3, 0));
    scheme.SetIndexBounds(eRect2D(0, 0, 0, 0));
    EXPECT_EQ(import(Conf(kGeographic + kLods, kStorage), ""), 0);
    EXPECT_EQ(scheme.GetBounds().left, 1.0);
    EXPECT_EQ(scheme.GetIndexBounds().right, 180.0);
    EXPECT_EQ(import(Conf(kGeographic + kLods, kStorage), "<Envelope><XMin>5</XMin></Envelope>"),
              0);
    EXPECT_EQ(scheme.GetBounds().left, 1.0);

    // The larger edge; one edge alone; neither gives 0.
    EXPECT_EQ(import(Conf(kGeographic + "<TileCols>256</TileCols><TileRows>512</TileRows>" + kLods,
                          kStorage)),
              1);
    EXPECT_EQ(scheme.GetTileSize(), 512);
    EXPECT_EQ(import(Conf(kGeographic + "<TileRows>256</TileRows><TileCols>wide</TileCols>" + kLods,
                          kStorage)),
              1);
    EXPECT_EQ(scheme.GetTileSize(), 256);
    EXPECT_EQ(import(Conf(kGeographic + kLods, kStorage)), 1);
    EXPECT_EQ(scheme.GetTileSize(), 0);

    // An IndexBounds after the envelope is read (in any child order).
    EXPECT_EQ(import(Conf(kGeographic + kLods, kStorage),
                     kEnvelope + "<IndexBounds><Top>4</Top><Left>1</Left><Bottom>2</Bottom>"
                                 "<Right>3</Right></IndexBounds>"),
              1);
    EXPECT_EQ(Sides(scheme.GetBounds()), std::vector<double>({-10, 40, 30, -20}));
    EXPECT_EQ(Sides(scheme.GetIndexBounds()), std::vector<double>({1, 4, 3, 2}));

    // Neither geographic nor web mercator: the index bounds copy the bounds.
    EXPECT_EQ(import(Conf("<SpatialReference><WKT>EPSG:32633</WKT></SpatialReference>" + kLods,
                          kStorage)),
              1);
    EXPECT_EQ(Sides(scheme.GetIndexBounds()), std::vector<double>({-10, 40, 30, -20}));
}
