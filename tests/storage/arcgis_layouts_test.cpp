// Caches in ArcGIS's own forms: exploded trees named ArcGIS's way (MIXED
// tiles included), Compact V2 caches, ArcGIS-structured V1 bundles for
// imported caches, the description file's new settings, and the export of an
// ArcGIS configuration (read back by the importer, and by GDAL when present).
#include <gtest/gtest.h>

#include <cstdlib>

#include "platform/ePrjCoordSys.h"
#include "support/storage_util.h"

using namespace TVK;
using namespace tvktest;

namespace {

const Bytes kJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 'j', 'p', 'e', 'g', 0xFF, 0xD9};
const Bytes kPng = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 'p', 'n', 'g'};

// A valid 256 x 256 one-bit grey PNG (stripes), small enough to embed.
const std::string kRealPngHex =
    "89504e470d0a1a0a0000000d4948445200000100000001000100000000740995cb000000344944415478daedca21"
    "0100000c02304ad2bf0a116e2f36bdf410411004411004411004411004411004411004411004411084df616746a0"
    "9726ee03030000000049454e44ae426082";

// Writes an ArcGIS configuration in the shape ArcGIS writes (one line,
// namespaces) and its extent file into dir, and imports it.
std::unique_ptr<eTileStorage> ImportCache(const TempDir& dir, const std::string& storageFormat,
                                          const std::string& tileFormat, const std::string& lods) {
    WriteText(dir / "conf.xml",
              Conf(kGeographic +
                       "<TileOrigin><X>-400</X><Y>400</Y></TileOrigin><TileCols>256</TileCols>"
                       "<TileRows>256</TileRows><DPI>96</DPI><LODInfos>" +
                       lods + "</LODInfos>",
                   "<TileImageInfo><CacheTileFormat>" + tileFormat +
                       "</CacheTileFormat></TileImageInfo>"
                       "<CacheStorageInfo><StorageFormat>" +
                       storageFormat +
                       "</StorageFormat><PacketSize>128</PacketSize></CacheStorageInfo>"));
    WriteText(
        dir / "conf.cdi",
        "<EnvelopeN><XMin>-180</XMin><YMin>-90</YMin><XMax>180</XMax><YMax>90</YMax></EnvelopeN>");
    auto storage = std::make_unique<eTileStorage>();
    EXPECT_EQ(storage->FromArcGISConfigFile((dir / "conf.xml").string().c_str()), 1);
    return storage;
}

}  // namespace

// A MIXED exploded cache as ArcGIS leaves it (levels numbered from 2, hex
// row and column names, both kinds of file), read and written through its
// import.
TEST(ArcGISExploded, ImportedMixedTreeIsReadAndWrittenByArcGISNames) {
    TempDir dir;
    const Bytes deep = TileBytes(7, 40);
    const fs::path jpg = dir / "_alllayers/L02/R0000012c/C00000401.jpg";
    const fs::path png = dir / "_alllayers/L02/R0000012c/C00000401.png";
    WriteFile(jpg, kJpeg);
    WriteFile(dir / "_alllayers/L03/R00000000/C0000000a.png", kPng);
    WriteFile(dir / "_alllayers/L03/R7fffffff/C7fffffff.png", deep);
    fs::create_directories(dir / "_alllayers/L03/R00000001/C00000001.png");  // a folder, not a tile
    auto storage =
        ImportCache(dir, "esriMapCacheStorageModeExploded", "MIXED", Lod(2, 0.25) + Lod(3, 0.125));
    EXPECT_EQ(storage->GetCacheFormat(), eTileStorage::Original);
    EXPECT_EQ(storage->GetTileNaming(), eTileStorage::ArcGIS);
    EXPECT_EQ(storage->GetArcGISTileFormat().Std(), "MIXED");

    // Level index 0 is LevelID 2: its folder is L02.
    EXPECT_EQ(Load(*storage, 0, 300, 1025), kJpeg);
    EXPECT_EQ(storage->IsTileExist(1, 0, 10), 1);
    EXPECT_EQ(Load(*storage, 1, 0, 10), kPng);
    EXPECT_EQ(Load(*storage, 1, 0x7fffffff, 0x7fffffff), deep);
    EXPECT_EQ(storage->IsTileExist(1, 300, 1025), 0);
    // A folder on a tile's name is neither a tile nor removed.
    EXPECT_EQ(storage->IsTileExist(1, 1, 1), 0);
    EXPECT_EQ(storage->RemoveTile(1, 1, 1), 0);
    EXPECT_TRUE(fs::is_directory(dir / "_alllayers/L03/R00000001/C00000001.png"));
    // Negative rows and columns have no ArcGIS name: refused, nothing written.
    EXPECT_EQ(storage->IsTileExist(0, -1, 0), 0);
    EXPECT_EQ(Save(*storage, 0, 0, -5, kPng), 0);
    EXPECT_EQ(storage->RemoveTile(0, -1, -1), 0);
    EXPECT_FALSE(fs::exists(dir / "_alllayers/L02/R00000000"));

    // A save keeps the kind of its bytes; the other kind goes.
    ASSERT_EQ(Save(*storage, 0, 300, 1025, kPng), 1);
    EXPECT_EQ(ReadFile(png), kPng);
    EXPECT_FALSE(fs::exists(jpg));
    ASSERT_EQ(Save(*storage, 0, 300, 1025, kJpeg), 1);
    EXPECT_FALSE(fs::exists(png));
    EXPECT_EQ(Load(*storage, 0, 300, 1025), kJpeg);
    // A removal takes both kinds, whichever exist.
    WriteFile(png, kPng);
    EXPECT_EQ(storage->RemoveTile(0, 300, 1025), 1);
    EXPECT_FALSE(fs::exists(jpg) || fs::exists(png));
    EXPECT_EQ(storage->RemoveTile(0, 300, 1025), 0);
    EXPECT_EQ(TempFiles(dir.Path()), 0u);

    // Single-kind formats name every tile alike, whatever its bytes.
    storage->SetArcGISTileFormat("png8");
    ASSERT_EQ(Save(*storage, 0, 0, 255, kJpeg), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/L02/R00000000/C000000ff.png"), kJpeg);
    storage->SetArcGISTileFormat("JPEG");
    ASSERT_EQ(Save(*storage, 0, 0, 255, kPng), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/L02/R00000000/C000000ff.jpg"), kPng);
}

// V2 bundles built byte by byte are read through an imported cache whose
// LevelIDs start at 2 (bundle folders carry the LevelID); saved tiles land
// in V2 bundles, readable by hand.
TEST(ArcGISCompact, ImportedV2CacheReadsAndWritesV2Bundles) {
    TempDir dir;
    const fs::path bundle = dir / "_alllayers/L03/R0080C0100.bundle";
    Bytes built = V2Bundle();
    V2Append(built, 130, 257, kPng);
    V2Append(built, 255, 383, kJpeg);
    WriteFile(bundle, built);
    auto storage =
        ImportCache(dir, "esriMapCacheStorageModeCompactV2", "PNG", Lod(2, 0.5) + Lod(3, 0.25));
    EXPECT_EQ(Load(*storage, 1, 130, 257), kPng);
    EXPECT_EQ(Load(*storage, 1, 255, 383), kJpeg);
    const Bytes added = TileBytes(3, 500);
    ASSERT_EQ(Save(*storage, 1, 200, 300, added), 1);
    ASSERT_EQ(Save(*storage, 0, 5, 6, added), 1);
    EXPECT_EQ(Save(*storage, 2, 1, 2, kJpeg), 0);  // no such level: no folder "L-1"
    storage->ReleaseHandles();

    V2Append(built, 200, 300, added);
    EXPECT_EQ(ReadFile(bundle), built);
    // A new bundle is a V2 one: no index file beside it.
    const Bytes fresh = ReadFile(dir / "_alllayers/L02/R0000C0000.bundle");
    Bytes expected = V2Bundle();
    V2Append(expected, 5, 6, added);
    EXPECT_EQ(fresh, expected);
    EXPECT_FALSE(fs::exists(dir / "_alllayers/L02/R0000C0000.bundlx"));
    EXPECT_FALSE(fs::exists(dir / "_alllayers/L00"));
    EXPECT_EQ(Load(*storage, 0, 5, 6), added);  // after ReleaseHandles too
}

// New V1 bundles take ArcGIS's structure only for caches of an ArcGIS
// configuration; the storage's own description gives its own structure.
TEST(ArcGISCompact, NewV1BundlesFollowTheCacheDescription) {
    TempDir dir;
    auto storage = ImportCache(dir, "esriMapCacheStorageModeCompact", "PNG", Lod(0, 0.5));
    EXPECT_EQ(storage->GetArcGISStructure(), 1);
    ASSERT_EQ(Save(*storage, 0, 130, 260, kPng), 1);
    storage->ReleaseHandles();
    // Slot (260 - 256) x 128 + (130 - 128) = 514, its record at 65,596.
    Bytes index = ArcGISIndex(), data = Concat(ArcGISData(128, 256), Record(kPng));
    PutLE(index, 16 + 5 * 514, 65596, 5);
    PutLE(data, 8, kPng.size(), 4);
    PutLE(data, 16, 4, 8);
    PutLE(data, 24, data.size(), 8);
    EXPECT_EQ(ReadFile(dir / "_alllayers/L00/R0080C0100.bundlx"), index);
    EXPECT_EQ(ReadFile(dir / "_alllayers/L00/R0080C0100.bundle"), data);

    const std::string own = (dir / "own/cache.xml").string();
    ASSERT_EQ(storage->ToConfigFile(own.c_str()), 1);
    eTileStorage reopened;
    ASSERT_EQ(reopened.FromConfigFile(own.c_str()), 1);
    EXPECT_EQ(reopened.GetArcGISStructure(), 0);
    ASSERT_EQ(Save(reopened, 0, 0, 0, kPng), 1);
    reopened.ReleaseHandles();
    EXPECT_EQ(fs::file_size(dir / "own/_alllayers/L00/R0000C0000.bundlx"), 81936u);
}

// The description file writes the naming and format text only when they
// differ from the defaults, so files written before stay identical.
TEST(ConfigFile, NamingFormatTextAndCompactV2RoundTrip) {
    TempDir dir;
    const std::string path = (dir / "cache.xml").string();
    auto storage = MakeStorage(dir.Str(), eTileStorage::CompactV2);
    eTileStorage read;
    for (const bool arcgis : {true, false}) {
        storage->SetTileNaming(arcgis ? eTileStorage::ArcGIS : eTileStorage::Native);
        storage->SetArcGISTileFormat(arcgis ? "MIXED" : "");
        ASSERT_EQ(storage->ToConfigFile(path.c_str()), 1);
        const std::string text = ReadText(path);
        EXPECT_NE(
            text.find(
                "<StorageFormat>CompactV2</StorageFormat>\n\t\t<PacketSize>128</PacketSize>\n" +
                std::string(
                    arcgis ? "\t\t<TileNaming>ArcGIS</TileNaming>\n\t\t<ArcGISTileFormat>MIXED<"
                           : "\t</TileStorageInfo>")),
            std::string::npos)
            << text;
        read.SetArcGISStructure(1);
        ASSERT_EQ(read.FromConfigFile(path.c_str()), 1);
        EXPECT_EQ(read.GetCacheFormat(), eTileStorage::CompactV2);
        EXPECT_EQ(read.GetTileNaming(), storage->GetTileNaming());
        EXPECT_EQ(read.GetArcGISTileFormat(), storage->GetArcGISTileFormat());
        EXPECT_EQ(read.GetArcGISStructure(), 0);
    }
}

namespace {

// The resolutions of ArcGIS's web mercator levels 0 to 2, as its caches
// list them (with the origin +-20037508.342787001 they tile the world).
constexpr double kArcGISResolutions[] = {156543.03392800014, 78271.516963999937,
                                         39135.758482000092};

// A web mercator cache with ArcGIS's first levels (LevelIDs from 0) or a
// geographic one with levels numbered from 3 and a DPI that is not whole.
std::unique_ptr<eTileStorage> ExportableStorage(const std::string& root,
                                                eTileStorage::EmFormat format, bool geographic) {
    auto storage = std::make_unique<eTileStorage>();
    eTileCoordSys& scheme = storage->GetTileCoordSys();
    ePrjCoordSys prj;
    EXPECT_TRUE(prj << eWKT(geographic ? kGeographicWkt : "EPSG:3857", 0));
    scheme.SetPrjCoordSys(prj);
    scheme.SetTileSize(256);
    const double w = 20037508.342787001;
    scheme.SetDPI(geographic ? 90.714285714285708 : 96.0);
    scheme.SetTileOrigin(geographic ? ePoint2D(-400.0, 400.0) : ePoint2D(-w, w));
    scheme.SetBounds(geographic ? eRect2D(-179.5, 89.25, 180.0, -90.0) : eRect2D(-w, w, w, -w));
    std::vector<tagLevelCaption> captions;
    for (int i = 0; i < 3;
         ++i)  // web mercator: ArcGIS's first levels at 96 DPI, 0.0254 / (96 x resolution)
        captions.push_back(geographic
                               ? tagLevelCaption{1e-6 * (1 << i) / 3.0, 3 + i}
                               : tagLevelCaption{0.0254 / (96.0 * kArcGISResolutions[i]), i});
    scheme.SetLevelCaptions(captions);
    storage->SetCacheFormat(format);
    storage->SetFileDirectory(root.c_str());
    return storage;
}

}  // namespace

TEST(ArcGISExport, ImportReadsTheSameSchemeBackForEveryLayout) {
    const struct {
        eTileStorage::EmFormat format;
        bool geographic;
        const char* storageText;
    } cases[] = {
        {eTileStorage::Original, true, "esriMapCacheStorageModeExploded"},
        {eTileStorage::Compact, false, "esriMapCacheStorageModeCompact"},
        {eTileStorage::CompactV2, true, "esriMapCacheStorageModeCompactV2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.storageText);
        TempDir dir;
        auto storage = ExportableStorage(dir.Str(), c.format, c.geographic);
        storage->SetArcGISTileFormat(c.geographic ? "" : "MIXED");
        storage->SetTileType(eFileType::JPG);
        const fs::path conf = dir / "out/conf.xml";
        if (c.format == eTileStorage::Original) {
            // A tree of this system's own names is no exploded ArcGIS cache.
            EXPECT_EQ(storage->ToArcGISConfigFile(conf.string().c_str()), 0);
            EXPECT_FALSE(fs::exists(conf));
            storage->SetTileNaming(eTileStorage::ArcGIS);
        }
        ASSERT_EQ(storage->ToArcGISConfigFile(conf.string().c_str()), 1);
        EXPECT_EQ(storage->GetFileDirectory().Std(), (dir / "out/").string());
        EXPECT_EQ(storage->GetArcGISStructure(), 1);

        const std::string text = ReadText(conf);
        EXPECT_NE(text.find(std::string("<StorageFormat>") + c.storageText + "</StorageFormat>"),
                  std::string::npos);
        EXPECT_EQ(text.find("<WKID>3857</WKID>") != std::string::npos, !c.geographic);

        eTileStorage back;
        ASSERT_EQ(back.FromArcGISConfigFile(conf.string().c_str()), 1);
        const eTileCoordSys& a = storage->GetTileCoordSys();
        const eTileCoordSys& b = back.GetTileCoordSys();
        EXPECT_EQ(back.GetCacheFormat(), c.format);
        EXPECT_EQ(b.GetPrjCoordSys().GetProjection().GetProjectionType(),
                  a.GetPrjCoordSys().GetProjection().GetProjectionType());
        EXPECT_EQ(std::make_pair(b.GetTileOrigin().x, b.GetTileOrigin().y),
                  std::make_pair(a.GetTileOrigin().x, a.GetTileOrigin().y));
        EXPECT_EQ(b.GetTileSize(), 256);
        EXPECT_DOUBLE_EQ(b.GetDPI(), a.GetDPI());
        ASSERT_EQ(b.GetLevelCaptions().size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(b.GetLevelCaptions()[i].Level, a.GetLevelCaptions()[i].Level);
            EXPECT_DOUBLE_EQ(b.GetLevelCaptions()[i].Scale, a.GetLevelCaptions()[i].Scale);
        }
        EXPECT_EQ(Sides(b.GetBounds()), Sides(a.GetBounds()));
        EXPECT_EQ(back.GetArcGISTileFormat().Std(), c.geographic ? "JPEG" : "MIXED");
        EXPECT_EQ(back.GetTileNaming(), eTileStorage::ArcGIS);
    }

    // A folder that cannot be made.
    TempDir dir;
    auto storage = ExportableStorage(dir.Str(), eTileStorage::Compact, false);
    WriteFile(dir / "file", {1});
    EXPECT_EQ(storage->ToArcGISConfigFile((dir / "file/conf.xml").string().c_str()), 0);
    EXPECT_EQ(storage->GetFileDirectory().Std(), dir.Str());
}

namespace {

// stdout and stderr of a shell command.
std::string RunCommand(const std::string& command, const TempDir& dir) {
    (void)std::system((command + " > '" + (dir / "out.txt").string() + "' 2>&1").c_str());
    return ReadText(dir / "out.txt");
}

}  // namespace

// GDAL's reader of V2 caches opens one written by this library: its size is
// that of the deepest level (256 x 2^2 pixels for three levels of the whole
// web mercator world), with the two upper levels as overviews, and its tiles
// decode.
TEST(ArcGISExport, GdalOpensAWrittenCompactV2Cache) {
    if (std::system("command -v gdalinfo > /dev/null 2>&1") != 0)
        GTEST_SKIP() << "gdalinfo not installed";
    TempDir dir;
    auto storage = ExportableStorage(dir.Str(), eTileStorage::CompactV2, false);
    Bytes png;
    for (size_t i = 0; i < kRealPngHex.size(); i += 2)
        png.push_back(static_cast<unsigned char>(std::stoi(kRealPngHex.substr(i, 2), nullptr, 16)));
    for (int level = 0; level < 3; ++level)
        for (int row = 0; row < (1 << level); ++row)
            for (int col = 0; col < (1 << level); ++col)
                ASSERT_EQ(Save(*storage, level, row, col, png), 1);
    storage->ReleaseHandles();
    const std::string conf = (dir / "conf.xml").string();
    ASSERT_EQ(storage->ToArcGISConfigFile(conf.c_str()), 1);

    const std::string info = RunCommand("gdalinfo '" + conf + "'", dir);
    EXPECT_NE(info.find("Driver: ESRIC"), std::string::npos) << info;
    EXPECT_NE(info.find("Size is 1024, 1024"), std::string::npos) << info;
    EXPECT_NE(info.find("Overviews: 512x512, 256x256"), std::string::npos) << info;
    EXPECT_NE(info.find("Origin = (-20037508.342787"), std::string::npos) << info;
    // Every tile decodes: the one-bit stripes average 0.5 in each colour band
    // and the alpha band is opaque everywhere (a missing tile reads as 0).
    const std::string stats = RunCommand("gdalinfo -stats '" + conf + "'", dir);
    EXPECT_NE(stats.find("Minimum=0.000, Maximum=1.000, Mean=0.500"), std::string::npos) << stats;
    EXPECT_NE(stats.find("Minimum=255.000, Maximum=255.000, Mean=255.000"), std::string::npos)
        << stats;
}
