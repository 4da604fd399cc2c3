// Caches in ArcGIS's own forms: exploded trees named ArcGIS's way (MIXED
// tiles included), Compact V2 caches, ArcGIS-structured V1 bundles for
// imported caches, the description file's new settings, and the export of an
// ArcGIS configuration (read back by the importer, and by GDAL when present).
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "eTileStorage.h"
#include "platform/ePrjCoordSys.h"
#include "storage/storage_fixture.h"
#include "storage/test_config_util.h"

using namespace TVK;
using namespace storage_test;
using config_test::ReadText;
using config_test::WriteText;

namespace {

const Bytes kJpeg = {0xFF, 0xD8, 0xFF, 0xE0, 'j', 'p', 'e', 'g', 0xFF, 0xD9};
const Bytes kPng = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A, 'p', 'n', 'g'};

// A valid 256 x 256 one-bit grey PNG (stripes), small enough to embed.
const Bytes kRealPng = {
    0x89, 0x50, 0x4e, 0x47, 0x0d, 0x0a, 0x1a, 0x0a, 0x00, 0x00, 0x00, 0x0d, 0x49, 0x48, 0x44, 0x52,
    0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x74, 0x09, 0x95,
    0xcb, 0x00, 0x00, 0x00, 0x34, 0x49, 0x44, 0x41, 0x54, 0x78, 0xda, 0xed, 0xca, 0x21, 0x01, 0x00,
    0x00, 0x0c, 0x02, 0x30, 0x4a, 0xd2, 0xbf, 0x0a, 0x11, 0x6e, 0x2f, 0x36, 0xbd, 0xf4, 0x10, 0x41,
    0x10, 0x04, 0x41, 0x10, 0x04, 0x41, 0x10, 0x04, 0x41, 0x10, 0x04, 0x41, 0x10, 0x04, 0x41, 0x10,
    0x04, 0x41, 0x10, 0x04, 0x41, 0x10, 0x84, 0xdf, 0x61, 0x67, 0x46, 0xa0, 0x97, 0x26, 0xee, 0x03,
    0x03, 0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4e, 0x44, 0xae, 0x42, 0x60, 0x82};

const char kMercatorWkt[] =
    "PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\","
    "SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\","
    "0.0174532925199433]],PROJECTION[\"Mercator_Auxiliary_Sphere\"],PARAMETER[\"False_Easting\",0.0],"
    "PARAMETER[\"False_Northing\",0.0],PARAMETER[\"Central_Meridian\",0.0],PARAMETER[\"Standard_Parallel_1\","
    "0.0],PARAMETER[\"Auxiliary_Sphere_Type\",0.0],UNIT[\"Meter\",1.0]]";
const char kGeographicWkt[] =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],"
    "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";

// An ArcGIS configuration in the shape ArcGIS writes (one line, namespaces).
std::string ArcGISConf(const std::string& storageFormat, const std::string& tileFormat,
                       const std::string& lods) {
    return std::string("<?xml version=\"1.0\" encoding=\"utf-8\"?><CacheInfo xsi:type='typens:CacheInfo' "
                       "xmlns:xsi='http://www.w3.org/2001/XMLSchema-instance' "
                       "xmlns:typens='http://www.esri.com/schemas/ArcGIS/10.1'><TileCacheInfo "
                       "xsi:type='typens:TileCacheInfo'><SpatialReference><WKT>") +
           kGeographicWkt +
           "</WKT></SpatialReference><TileOrigin><X>-400</X><Y>400</Y></TileOrigin><TileCols>256</TileCols>"
           "<TileRows>256</TileRows><DPI>96</DPI><LODInfos>" +
           lods + "</LODInfos></TileCacheInfo><TileImageInfo><CacheTileFormat>" + tileFormat +
           "</CacheTileFormat></TileImageInfo><CacheStorageInfo><StorageFormat>" + storageFormat +
           "</StorageFormat><PacketSize>128</PacketSize></CacheStorageInfo></CacheInfo>";
}

std::string Lod(int id, double resolution) {
    return "<LODInfo><LevelID>" + std::to_string(id) + "</LevelID><Resolution>" + std::to_string(resolution) +
           "</Resolution></LODInfo>";
}

const std::string kExtent =
    "<EnvelopeN><XMin>-180</XMin><YMin>-90</YMin><XMax>180</XMax><YMax>90</YMax></EnvelopeN>";

void WriteBytes(const fs::path& path, const Bytes& bytes) {
    fs::create_directories(path.parent_path());
    WriteFile(path, bytes);
}

void PutLE(Bytes& out, size_t at, uint64_t value, int count) {
    for (int i = 0; i < count; ++i) out[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetLE(const Bytes& in, size_t at, int count) {
    uint64_t value = 0;
    for (int i = count - 1; i >= 0; --i) value = value << 8 | in[at + i];
    return value;
}

// A V2 bundle written from the format's facts: 64-byte header, 16,384
// eight-byte entries (offset in the low 40 bits, size in the high 24), then
// size-prefixed records. Tiles are (row, col, bytes) within the block.
struct V2Tile {
    int row, col;
    Bytes bytes;
};
Bytes BuildV2Bundle(const std::vector<V2Tile>& tiles) {
    const size_t indexAt = 64, dataAt = 64 + 16384 * 8;
    Bytes out(dataAt, 0);
    size_t largest = 0;
    for (const V2Tile& tile : tiles) {
        const size_t at = out.size();
        out.resize(at + 4 + tile.bytes.size());
        PutLE(out, at, tile.bytes.size(), 4);
        std::copy(tile.bytes.begin(), tile.bytes.end(), out.begin() + static_cast<long>(at + 4));
        const uint64_t entry = (uint64_t(tile.bytes.size()) << 40) | (at + 4);
        PutLE(out, indexAt + 8 * size_t((tile.row % 128) * 128 + tile.col % 128), entry, 8);
        largest = std::max(largest, tile.bytes.size());
    }
    const uint32_t header[] = {3, 16384, uint32_t(largest), 5};
    for (int i = 0; i < 4; ++i) PutLE(out, 4 * size_t(i), header[i], 4);
    PutLE(out, 24, out.size(), 8);
    PutLE(out, 32, 40, 8);
    PutLE(out, 40, 20 + 131072, 4);
    const uint32_t user[] = {3, 16, 16384, 5};
    for (int i = 0; i < 4; ++i) PutLE(out, 44 + 4 * size_t(i), user[i], 4);
    PutLE(out, 60, 131072, 4);
    return out;
}

// Tile bytes of a V2 bundle read by hand through its index.
Bytes V2TileAt(const Bytes& bundle, int row, int col) {
    const uint64_t entry = GetLE(bundle, 64 + 8 * size_t((row % 128) * 128 + col % 128), 8);
    const size_t offset = size_t(entry & 0xFFFFFFFFFFull), size = size_t(entry >> 40);
    if (size == 0 || offset + size > bundle.size()) return {};
    return Bytes(bundle.begin() + static_cast<long>(offset), bundle.begin() + static_cast<long>(offset + size));
}

std::unique_ptr<eTileStorage> Import(const fs::path& conf) {
    auto storage = std::make_unique<eTileStorage>();
    EXPECT_EQ(storage->FromArcGISConfigFile(conf.string().c_str()), 1);
    return storage;
}

Bytes Load(eTileStorage& storage, int level, int row, int col) {
    eByteArray data;
    if (!storage.LoadImageData(level, row, col, data)) return {};
    return ToBytes(data);
}

}  // namespace

// A MIXED exploded cache as ArcGIS leaves it (levels numbered from 2, hex
// row and column names, both kinds of file), read through its import.
TEST(ArcGISExploded, ImportedMixedTreeIsReadByArcGISNames) {
    TempDir dir;
    WriteText((dir / "conf.xml").string(),
              ArcGISConf("esriMapCacheStorageModeExploded", "MIXED", Lod(2, 0.25) + Lod(3, 0.125)));
    WriteText((dir / "conf.cdi").string(), kExtent);
    const Bytes deep = TileBytes(7, 40);  // PNG-less bytes are stored as png
    WriteBytes(dir / "_alllayers/L02/R0000012c/C00000401.jpg", kJpeg);
    WriteBytes(dir / "_alllayers/L03/R00000000/C0000000a.png", kPng);
    WriteBytes(dir / "_alllayers/L03/R7fffffff/C7fffffff.png", deep);
    fs::create_directories(dir / "_alllayers/L03/R00000001/C00000001.png");  // a folder, not a tile

    auto storage = Import(dir / "conf.xml");
    EXPECT_EQ(storage->GetCacheFormat(), eTileStorage::Original);
    EXPECT_EQ(storage->GetTileNaming(), eTileStorage::ArcGIS);
    EXPECT_EQ(storage->GetArcGISTileFormat().Std(), "MIXED");
    EXPECT_EQ(storage->GetTileType(), eFileType::PNG);

    // Level index 0 is LevelID 2: its folder is L02.
    EXPECT_EQ(storage->IsTileExist(0, 300, 1025), 1);
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
}

TEST(ArcGISExploded, SavesFollowTheFormatTextAndMixedTilesKeepOneKind) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    storage->SetTileNaming(eTileStorage::ArcGIS);
    const fs::path jpg = dir / "_alllayers/L05/R0000012c/C00000401.jpg";
    const fs::path png = dir / "_alllayers/L05/R0000012c/C00000401.png";

    storage->SetArcGISTileFormat("MIXED");
    ASSERT_EQ(Save(*storage, 5, 300, 1025, kPng), 1);
    EXPECT_EQ(ReadFile(png), kPng);
    ASSERT_EQ(Save(*storage, 5, 300, 1025, kJpeg), 1);  // kind changes: the png goes
    EXPECT_EQ(ReadFile(jpg), kJpeg);
    EXPECT_FALSE(fs::exists(png));
    EXPECT_EQ(Load(*storage, 5, 300, 1025), kJpeg);
    ASSERT_EQ(Save(*storage, 5, 300, 1025, kPng), 1);  // and back
    EXPECT_FALSE(fs::exists(jpg));
    EXPECT_EQ(Load(*storage, 5, 300, 1025), kPng);
    // A removal takes both kinds, whichever exist.
    WriteFile(jpg, kJpeg);
    EXPECT_EQ(storage->RemoveTile(5, 300, 1025), 1);
    EXPECT_FALSE(fs::exists(jpg));
    EXPECT_FALSE(fs::exists(png));
    EXPECT_EQ(storage->RemoveTile(5, 300, 1025), 0);
    EXPECT_TRUE(TempFiles(dir.Path()).empty());

    // Single-kind formats name every tile alike, whatever its bytes.
    storage->SetArcGISTileFormat("png8");
    ASSERT_EQ(Save(*storage, 0, 0, 255, kJpeg), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/L00/R00000000/C000000ff.png"), kJpeg);
    storage->SetArcGISTileFormat("JPEG");
    ASSERT_EQ(Save(*storage, 0, 0, 255, kPng), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/L00/R00000000/C000000ff.jpg"), kPng);
    // Without a text, the tile type decides.
    storage->SetArcGISTileFormat("");
    storage->SetTileType(eFileType::JPG);
    EXPECT_EQ(storage->IsTileExist(0, 0, 255), 1);
    storage->SetTileType(eFileType::GIF);
    EXPECT_EQ(Load(*storage, 0, 0, 255), kJpeg);  // the .png file

    // Level numbers of 100 and more take three digits.
    std::vector<tagLevelCaption> captions(1);
    captions[0].Scale = 1e-3;
    captions[0].Level = 123;
    storage->GetTileCoordSys().SetLevelCaptions(captions);
    ASSERT_EQ(Save(*storage, 0, 1, 2, kPng), 1);
    EXPECT_EQ(ReadFile(dir / "_alllayers/L123/R00000001/C00000002.png"), kPng);
}

TEST(OriginalLayout, FolderOnATileNameIsNoTile) {
    TempDir dir;
    auto storage = MakeStorage(dir.Str(), eTileStorage::Original);
    const fs::path tile = dir / "_alllayers/32000000/R0000C0000/0x0.epng";
    fs::create_directories(tile);
    EXPECT_EQ(storage->IsTileExist(0, 0, 0), 0);
    EXPECT_EQ(storage->RemoveTile(0, 0, 0), 0);
    EXPECT_TRUE(fs::is_directory(tile));
}

// V2 bundles built byte by byte are read through an imported cache; a tile
// saved through the storage lands in the same file, readable by hand.
TEST(ArcGISCompact, ImportedV2CacheReadsAndWritesV2Bundles) {
    TempDir dir;
    WriteText((dir / "conf.xml").string(),
              ArcGISConf("esriMapCacheStorageModeCompactV2", "PNG", Lod(0, 0.5) + Lod(1, 0.25)));
    WriteText((dir / "conf.cdi").string(), kExtent);
    const fs::path bundle = dir / "_alllayers/L01/R0080C0100.bundle";
    WriteBytes(bundle, BuildV2Bundle({{130, 257, kPng}, {255, 383, kJpeg}}));

    auto storage = Import(dir / "conf.xml");
    EXPECT_EQ(storage->GetCacheFormat(), eTileStorage::CompactV2);
    EXPECT_EQ(storage->GetCacheFormat(), 2);
    EXPECT_EQ(Load(*storage, 1, 130, 257), kPng);
    EXPECT_EQ(Load(*storage, 1, 255, 383), kJpeg);
    EXPECT_EQ(storage->IsTileExist(1, 131, 257), 0);
    const Bytes added = TileBytes(3, 500);
    ASSERT_EQ(Save(*storage, 1, 200, 300, added), 1);
    ASSERT_EQ(Save(*storage, 0, 5, 6, added), 1);
    storage->ReleaseHandles();

    const Bytes onDisk = ReadFile(bundle);
    EXPECT_EQ(V2TileAt(onDisk, 200, 300), added);
    EXPECT_EQ(V2TileAt(onDisk, 130, 257), kPng);
    EXPECT_EQ(GetLE(onDisk, 24, 8), onDisk.size());  // file-size field kept current
    EXPECT_EQ(GetLE(onDisk, 8, 4), 500u);           // largest tile
    // A new bundle is a V2 one: no index file beside it.
    const Bytes fresh = ReadFile(dir / "_alllayers/L00/R0000C0000.bundle");
    EXPECT_EQ(V2TileAt(fresh, 5, 6), added);
    EXPECT_EQ(GetLE(fresh, 0, 4), 3u);
    EXPECT_FALSE(fs::exists(dir / "_alllayers/L00/R0000C0000.bundlx"));
    EXPECT_EQ(Load(*storage, 0, 5, 6), added);  // after ReleaseHandles too
}

// ArcGIS names bundle folders by LevelID, so a cache whose levels start at 2
// keeps list level 1 in L03.
TEST(ArcGISCompact, BundleFoldersCarryTheLevelId) {
    TempDir dir;
    WriteText((dir / "conf.xml").string(),
              ArcGISConf("esriMapCacheStorageModeCompactV2", "PNG", Lod(2, 0.5) + Lod(3, 0.25)));
    WriteText((dir / "conf.cdi").string(), kExtent);
    WriteBytes(dir / "_alllayers/L03/R0000C0000.bundle", BuildV2Bundle({{7, 9, kPng}}));

    auto storage = Import(dir / "conf.xml");
    EXPECT_EQ(Load(*storage, 1, 7, 9), kPng);
    EXPECT_EQ(storage->IsTileExist(0, 7, 9), 0);
    ASSERT_EQ(Save(*storage, 0, 1, 2, kJpeg), 1);
    EXPECT_EQ(Save(*storage, 2, 1, 2, kJpeg), 0);  // no such level: no folder "L-1"
    storage->ReleaseHandles();
    EXPECT_EQ(V2TileAt(ReadFile(dir / "_alllayers/L02/R0000C0000.bundle"), 1, 2), kJpeg);
    EXPECT_FALSE(fs::exists(dir / "_alllayers/L00"));
}

// New V1 bundles take ArcGIS's structure only for caches of an ArcGIS
// configuration; the storage's own description gives its own structure.
TEST(ArcGISCompact, NewV1BundlesFollowTheCacheDescription) {
    TempDir dir;
    WriteText((dir / "conf.xml").string(),
              ArcGISConf("esriMapCacheStorageModeCompact", "PNG", Lod(0, 0.5)));
    WriteText((dir / "conf.cdi").string(), kExtent);
    auto storage = Import(dir / "conf.xml");
    EXPECT_EQ(storage->GetArcGISStructure(), 1);
    ASSERT_EQ(Save(*storage, 0, 130, 260, kPng), 1);
    storage->ReleaseHandles();
    const Bytes data = ReadFile(dir / "_alllayers/L00/R0080C0100.bundle");
    const Bytes index = ReadFile(dir / "_alllayers/L00/R0080C0100.bundlx");
    ASSERT_GE(data.size(), 60u);
    EXPECT_EQ(GetLE(data, 0, 4), 3u);
    EXPECT_EQ(GetLE(data, 4, 4), 16384u);
    EXPECT_EQ(GetLE(data, 24, 8), data.size());
    EXPECT_EQ(GetLE(data, 44, 4), 128u);  // first row of the block
    EXPECT_EQ(GetLE(data, 52, 4), 256u);  // first column
    EXPECT_EQ(index.size(), 81952u);
    EXPECT_EQ(GetLE(index, 0, 4), 3u);

    // The same cache described by the storage's own file: own structure.
    const std::string own = (dir / "own/cache.xml").string();
    ASSERT_EQ(storage->ToConfigFile(own.c_str()), 1);
    eTileStorage reopened;
    ASSERT_EQ(reopened.FromConfigFile(own.c_str()), 1);
    EXPECT_EQ(reopened.GetArcGISStructure(), 0);
    ASSERT_EQ(Save(reopened, 0, 0, 0, kPng), 1);
    reopened.ReleaseHandles();
    const Bytes ownIndex = ReadFile(dir / "own/_alllayers/L00/R0000C0000.bundlx");
    EXPECT_EQ(ownIndex.size(), 81936u);
}

TEST(ConfigFile, NamingFormatTextAndCompactV2RoundTrip) {
    TempDir dir;
    const std::string path = (dir / "cache.xml").string();
    auto storage = MakeStorage(dir.Str(), eTileStorage::CompactV2);
    storage->SetTileNaming(eTileStorage::ArcGIS);
    storage->SetArcGISTileFormat("MIXED");
    ASSERT_EQ(storage->ToConfigFile(path.c_str()), 1);
    const std::string text = ReadText(path);
    EXPECT_NE(text.find("<StorageFormat>CompactV2</StorageFormat>"), std::string::npos);
    EXPECT_NE(text.find("<PacketSize>128</PacketSize>\n\t\t<TileNaming>ArcGIS</TileNaming>\n\t\t"
                        "<ArcGISTileFormat>MIXED</ArcGISTileFormat>"),
              std::string::npos)
        << text;

    eTileStorage read;
    read.SetArcGISStructure(1);
    ASSERT_EQ(read.FromConfigFile(path.c_str()), 1);
    EXPECT_EQ(read.GetCacheFormat(), eTileStorage::CompactV2);
    EXPECT_EQ(read.GetTileNaming(), eTileStorage::ArcGIS);
    EXPECT_EQ(read.GetArcGISTileFormat().Std(), "MIXED");
    EXPECT_EQ(read.GetArcGISStructure(), 0);

    // Defaults are not written, and reading a file without them restores them.
    storage->SetTileNaming(eTileStorage::Native);
    storage->SetArcGISTileFormat("");
    ASSERT_EQ(storage->ToConfigFile(path.c_str()), 1);
    const std::string plain = ReadText(path);
    EXPECT_EQ(plain.find("TileNaming"), std::string::npos);
    EXPECT_EQ(plain.find("ArcGISTileFormat"), std::string::npos);
    ASSERT_EQ(read.FromConfigFile(path.c_str()), 1);
    EXPECT_EQ(read.GetTileNaming(), eTileStorage::Native);
    EXPECT_TRUE(read.GetArcGISTileFormat().IsEmpty());
}

namespace {

// The resolutions of ArcGIS's web mercator levels 0 to 2, as its caches
// list them (with the origin +-20037508.342787001 they tile the world).
constexpr double kArcGISResolutions[] = {156543.03392800014, 78271.516963999937, 39135.758482000092};

// A web mercator cache with ArcGIS's first levels (LevelIDs from 0) or a
// geographic one with levels numbered from 3 and a DPI that is not whole.
std::unique_ptr<eTileStorage> ExportableStorage(const std::string& root, eTileStorage::EmFormat format,
                                                bool geographic) {
    auto storage = std::make_unique<eTileStorage>();
    eTileCoordSys& scheme = storage->GetTileCoordSys();
    ePrjCoordSys prj;
    EXPECT_TRUE(prj << eWKT(geographic ? kGeographicWkt : "EPSG:3857", 0));
    scheme.SetPrjCoordSys(prj);
    scheme.SetTileSize(256);
    std::vector<tagLevelCaption> captions(3);
    if (geographic) {
        scheme.SetDPI(90.714285714285708);
        scheme.SetTileOrigin(ePoint2D(-400.0, 400.0));
        scheme.SetBounds(eRect2D(-179.5, 89.25, 180.0, -90.0));
        for (int i = 0; i < 3; ++i) {
            captions[i].Level = 3 + i;
            captions[i].Scale = 1e-6 * (1 << i) / 3.0;
        }
    } else {
        scheme.SetDPI(96.0);
        scheme.SetTileOrigin(ePoint2D(-20037508.342787001, 20037508.342787001));
        scheme.SetBounds(eRect2D(-20037508.342787001, 20037508.342787001, 20037508.342787001, -20037508.342787001));
        // ArcGIS's first three web mercator levels in metres per pixel; at
        // 96 DPI a representative fraction of 0.0254 / (96 x resolution).
        for (int i = 0; i < 3; ++i) {
            captions[i].Level = i;
            captions[i].Scale = 0.0254 / (96.0 * kArcGISResolutions[i]);
        }
    }
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
        ASSERT_EQ(storage->ToArcGISConfigFile(conf.string().c_str()), 1);
        EXPECT_EQ(storage->GetFileDirectory().Std(), (dir / "out/").string());
        EXPECT_EQ(storage->GetArcGISStructure(), 1);

        const std::string text = ReadText(conf.string());
        EXPECT_NE(text.find(std::string("<StorageFormat>") + c.storageText + "</StorageFormat>"), std::string::npos);
        EXPECT_NE(text.find(c.geographic ? "<CacheTileFormat>JPEG<" : "<CacheTileFormat>MIXED<"), std::string::npos);
        EXPECT_NE(text.find("xsi:type=\"typens:CacheInfo\""), std::string::npos);
        EXPECT_NE(text.find("<PacketSize>128</PacketSize>"), std::string::npos);
        if (!c.geographic) {
            EXPECT_NE(text.find("<WKID>3857</WKID>"), std::string::npos);
            // Level 0 in map units per pixel and as a scale denominator,
            // 96 / 0.0254 pixels per metre.
            size_t at = text.find("<Resolution>");
            ASSERT_NE(at, std::string::npos);
            EXPECT_NEAR(std::atof(text.c_str() + at + 12), kArcGISResolutions[0], 1e-8);
            at = text.find("<Scale>");
            ASSERT_NE(at, std::string::npos);
            EXPECT_NEAR(std::atof(text.c_str() + at + 7), kArcGISResolutions[0] * 96 / 0.0254, 1e-5);
        }
        const std::string cdi = ReadText((dir / "out/conf.cdi").string());
        EXPECT_NE(cdi.find("<EnvelopeN"), std::string::npos);

        eTileStorage back;
        ASSERT_EQ(back.FromArcGISConfigFile(conf.string().c_str()), 1);
        const eTileCoordSys& a = storage->GetTileCoordSys();
        const eTileCoordSys& b = back.GetTileCoordSys();
        EXPECT_EQ(back.GetCacheFormat(), c.format);
        EXPECT_EQ(b.GetPrjCoordSys().GetSpatialRefType(), a.GetPrjCoordSys().GetSpatialRefType());
        EXPECT_EQ(b.GetPrjCoordSys().GetProjection().GetProjectionType(),
                  a.GetPrjCoordSys().GetProjection().GetProjectionType());
        EXPECT_EQ(b.GetTileOrigin().x, a.GetTileOrigin().x);
        EXPECT_EQ(b.GetTileOrigin().y, a.GetTileOrigin().y);
        EXPECT_EQ(b.GetTileSize(), 256);
        EXPECT_DOUBLE_EQ(b.GetDPI(), a.GetDPI());
        ASSERT_EQ(b.GetLevelCaptions().size(), 3u);
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(b.GetLevelCaptions()[i].Level, a.GetLevelCaptions()[i].Level);
            EXPECT_DOUBLE_EQ(b.GetLevelCaptions()[i].Scale, a.GetLevelCaptions()[i].Scale);
        }
        config_test::ExpectRect(b.GetBounds(), a.GetBounds().left, a.GetBounds().top, a.GetBounds().right,
                                a.GetBounds().bottom);
        EXPECT_EQ(back.GetArcGISTileFormat().Std(), c.geographic ? "JPEG" : "MIXED");
        EXPECT_EQ(back.GetTileNaming(), eTileStorage::ArcGIS);
    }

    // A layout without an ArcGIS name, and a folder that cannot be made.
    TempDir dir;
    auto storage = ExportableStorage(dir.Str(), static_cast<eTileStorage::EmFormat>(3), false);
    EXPECT_EQ(storage->ToArcGISConfigFile((dir / "conf.xml").string().c_str()), 0);
    storage->SetCacheFormat(eTileStorage::Compact);
    WriteFile(dir / "file", {1});
    EXPECT_EQ(storage->ToArcGISConfigFile((dir / "file/conf.xml").string().c_str()), 0);
    EXPECT_EQ(storage->GetFileDirectory().Std(), dir.Str());
    EXPECT_TRUE(fs::is_regular_file(dir / "file"));
}

namespace {

// stdout of a shell command, or "" when it cannot run.
std::string RunCommand(const std::string& command) {
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return out;
    char buffer[4096];
    size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, n);
    pclose(pipe);
    return out;
}

}  // namespace

// GDAL's reader of V2 caches opens one written by this library: its size is
// that of the deepest level (256 x 2^2 pixels for three levels of the whole
// web mercator world), with the two upper levels as overviews, and its tiles
// decode.
TEST(ArcGISExport, GdalOpensAWrittenCompactV2Cache) {
    if (std::system("command -v gdalinfo > /dev/null 2>&1") != 0) GTEST_SKIP() << "gdalinfo not installed";
    TempDir dir;
    auto storage = ExportableStorage(dir.Str(), eTileStorage::CompactV2, false);
    for (int level = 0; level < 3; ++level) {
        for (int row = 0; row < (1 << level); ++row) {
            for (int col = 0; col < (1 << level); ++col) ASSERT_EQ(Save(*storage, level, row, col, kRealPng), 1);
        }
    }
    storage->ReleaseHandles();
    const std::string conf = (dir / "conf.xml").string();
    ASSERT_EQ(storage->ToArcGISConfigFile(conf.c_str()), 1);

    const std::string info = RunCommand("gdalinfo '" + conf + "' 2>&1");
    EXPECT_NE(info.find("Driver: ESRIC"), std::string::npos) << info;
    EXPECT_NE(info.find("Size is 1024, 1024"), std::string::npos) << info;
    EXPECT_NE(info.find("Overviews: 512x512, 256x256"), std::string::npos) << info;
    EXPECT_NE(info.find("Origin = (-20037508.342787"), std::string::npos) << info;
    // Every tile decodes: the one-bit stripes average 0.5 in each colour band
    // and the alpha band is opaque everywhere (a missing tile reads as 0).
    const std::string stats = RunCommand("gdalinfo -stats '" + conf + "' 2>&1");
    EXPECT_NE(stats.find("Minimum=0.000, Maximum=1.000, Mean=0.500"), std::string::npos) << stats;
    EXPECT_NE(stats.find("Minimum=255.000, Maximum=255.000, Mean=255.000"), std::string::npos) << stats;
}
