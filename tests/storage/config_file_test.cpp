// The cache description file: exact text written, round trip, reader
// failures, and a cache opened from its own description used for tiles.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

#include "eTileStorage.h"
#include "platform/ePrjCoordSys.h"
#include "support/storage_util.h"

using namespace TVK;
using namespace tvktest;

namespace {

ePrjCoordSys Crs(const char* definition) {
    ePrjCoordSys prj;
    EXPECT_TRUE(prj << eWKT(definition, 0)) << definition;
    return prj;
}

// A description with everything the reader needs; `tileCacheInfo` is put
// inside TileCacheInfo after the coordinate system.
std::string Doc(
    const std::string& tileCacheInfo, const std::string& storageFormat = "Original",
    const std::string& srs = "<SpatialReference><WKT>EPSG:4326</WKT></SpatialReference>") {
    return "<CacheInfo><TileCacheInfo>" + srs + tileCacheInfo +
           "</TileCacheInfo><TileStorageInfo><StorageFormat>" + storageFormat +
           "</StorageFormat></TileStorageInfo></CacheInfo>";
}

}  // namespace

// Every setting changed from its default: the exact text written, then read
// back by a storage that writes the same text again.
TEST(ConfigFile, WritesTheExactDocumentAndReadsItBack) {
    TempDir dir;
    eTileStorage storage;
    eTileCoordSys& scheme = storage.GetTileCoordSys();
    storage.SetName("World & Sea");
    storage.SetServiceProvider("Acme Maps");
    scheme.SetPrjCoordSys(Crs("EPSG:4326"));
    scheme.SetTileOrigin(ePoint2D(-180.0, 90.0));
    scheme.SetTileSize(512);
    scheme.SetDPI(90.71428571428571);
    scheme.SetBounds(eRect2D(-180.0, 90.0, 180.0, -90.0));
    scheme.SetIndexBounds(eRect2D(-180.0, 90.0, 100.25, 0.0));
    scheme.SetLevelCaptions({{1e-6, 10}, {2e-6, 11}});  // renumbered from 0 on reading
    scheme.SetTileTopLevel(1);
    scheme.SetTileBottomLevel(3);
    scheme.SetRefResolution(12345.0);  // recomputed on reading
    storage.SetTileType(eFileType::JPG);
    storage.SetTileURLFormat("http://t/{z}/{y}/{x}?a=1&b=2");
    storage.SetTileLevelMode(0);
    storage.SetTileCoordMode(1);
    storage.SetTileBoundMode(1);
    storage.SetLevelZoomMode(1);
    storage.SetLevelInverseMode(1);
    storage.SetPosInverseMode(1);
    storage.SetRowInverseMode(1);
    storage.SetTileIndexRadixFormat(16);
    storage.SetCacheFormat(eTileStorage::Compact);
    storage.SetTileGroupSize(64);
    const std::string path = (dir / "new/folder/conf.xml").string();
    ASSERT_EQ(storage.ToConfigFile(path.c_str()), 1);

    eWKT wkt;
    scheme.GetPrjCoordSys() >> wkt;
    ASSERT_FALSE(wkt.Text.IsEmpty());
    // Values by hand: "%.15f" of the double nearest 90.71428571428571 and
    // "%.30f" of those nearest 1e-6 and 2e-6.
    const std::string expected =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<CacheInfo>\n\t<TileCacheInfo>\n"
        "\t\t<Name>World &amp; Sea</Name>\n\t\t<Provider>Acme Maps</Provider>\n"
        "\t\t<SpatialReference>\n\t\t\t<WKT>" +
        wkt.Text.Std() +
        "</WKT>\n\t\t</SpatialReference>\n"
        "\t\t<TileOrigin>\n\t\t\t<X>-180</X>\n\t\t\t<Y>90</Y>\n\t\t</TileOrigin>\n"
        "\t\t<TileSize>512</TileSize>\n\t\t<DPI>90.714285714285708</DPI>\n"
        "\t\t<Bounds>\n\t\t\t<Left>-180</Left>\n\t\t\t<Top>90</Top>\n\t\t\t<Right>180</Right>\n"
        "\t\t\t<Bottom>-90</Bottom>\n\t\t</Bounds>\n"
        "\t\t<IndexBounds>\n\t\t\t<Left>-180</Left>\n\t\t\t<Top>90</Top>\n\t\t\t<Right>100.25</"
        "Right>\n"
        "\t\t\t<Bottom>0</Bottom>\n\t\t</IndexBounds>\n"
        "\t\t<TileType>ejpg</TileType>\n"
        "\t\t<TileRuler>\n\t\t\t<URLFormat>http://t/{z}/{y}/{x}?a=1&amp;b=2</URLFormat>\n"
        "\t\t\t<LevelMode>False</LevelMode>\n\t\t\t<LevelInverseMode>True</LevelInverseMode>\n"
        "\t\t\t<PositionInverseMode>True</PositionInverseMode>\n\t\t\t<RowInverseMode>True</"
        "RowInverseMode>\n"
        "\t\t\t<CoordMode>True</CoordMode>\n\t\t\t<BoundMode>True</BoundMode>\n"
        "\t\t\t<IndexRadixFormat>16</IndexRadixFormat>\n\t\t</TileRuler>\n"
        "\t\t<LevelZoomMode>True</LevelZoomMode>\n\t\t<TileTopLevel>1</TileTopLevel>\n"
        "\t\t<TileBottomLevel>3</TileBottomLevel>\n"
        "\t\t<Levels>\n"
        "\t\t\t<Level>\n\t\t\t\t<Value>0.000000999999999999999954748112</Value>\n"
        "\t\t\t\t<Caption>1000000</Caption>\n\t\t\t</Level>\n"
        "\t\t\t<Level>\n\t\t\t\t<Value>0.000001999999999999999909496224</Value>\n"
        "\t\t\t\t<Caption>500000</Caption>\n\t\t\t</Level>\n"
        "\t\t</Levels>\n\t</TileCacheInfo>\n"
        "\t<TileStorageInfo>\n\t\t<StorageFormat>Compact</StorageFormat>\n"
        "\t\t<PacketSize>64</PacketSize>\n\t</TileStorageInfo>\n</CacheInfo>\n";
    EXPECT_EQ(ReadText(path), expected);
    EXPECT_EQ(storage.GetFileDirectory().Std(), (dir / "new/folder/").string());
    // A folder that cannot exist (its parent is a file): 0, directory unchanged.
    WriteFile(dir / "plain", {1});
    EXPECT_EQ(storage.ToConfigFile((dir / "plain/sub/conf.xml").string().c_str()), 0);
    EXPECT_EQ(storage.GetFileDirectory().Std(), (dir / "new/folder/").string());

    {
        // The group size is not read (PacketSize); given it, the reader's
        // storage writes the same text. Levels come back numbered from 0,
        // the reference resolution as 512 x 2^2.
        AssertLog asserts;
        eTileStorage in;
        ASSERT_EQ(in.FromConfigFile(path.c_str()), 1);
        EXPECT_TRUE(AssertLog::Entries().empty());
        EXPECT_EQ(in.GetTileGroupSize(), 128);
        in.SetTileGroupSize(64);
        const std::string again = (dir / "again.xml").string();
        ASSERT_EQ(in.ToConfigFile(again.c_str()), 1);
        EXPECT_EQ(ReadText(again), expected);
        const eTileCoordSys& got = in.GetTileCoordSys();
        ASSERT_EQ(got.GetLevelCaptions().size(), 2u);
        EXPECT_EQ(got.GetLevelCaptions()[0].Level + got.GetLevelCaptions()[1].Level, 1);
        EXPECT_EQ(got.GetRefResolution(), 512.0 * 4.0);
        EXPECT_EQ(in.GetFileDirectory().Std(), dir.Str() + "/");
    }

    // A process with a comma-decimal locale writes the same bytes and reads
    // them back. The locale is built on the spot: a numeric part only, the
    // rest POSIX; localedef warns about the missing parts, setlocale tells
    // whether it worked.
    const std::string src = (dir / "comma.src").string(), locpath = (dir / "locales").string();
    WriteText(src,
              "LC_CTYPE\ncopy \"POSIX\"\nEND LC_CTYPE\nLC_NUMERIC\ndecimal_point \"<U002C>\"\n"
              "thousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n");
    (void)std::system(("mkdir -p " + locpath + " && localedef -c -i " + src +
                       " -f ANSI_X3.4-1968 " + locpath + "/comma >/dev/null 2>&1")
                          .c_str());
    setenv("LOCPATH", locpath.c_str(), 1);
    char probe[16];
    const bool comma = std::setlocale(LC_NUMERIC, "comma") != nullptr &&
                       std::snprintf(probe, sizeof probe, "%.1f", 0.5) == 3 && probe[1] == ',';
    const std::string again = (dir / "comma.xml").string();
    eTileStorage back;
    const bool done = comma && storage.ToConfigFile(again.c_str()) == 1 &&
                      back.FromConfigFile(again.c_str()) == 1;
    std::setlocale(LC_NUMERIC, "C");
    unsetenv("LOCPATH");
    if (!comma) GTEST_SKIP() << "no comma-decimal locale to check the writer against";
    EXPECT_TRUE(done);
    EXPECT_EQ(back.GetTileCoordSys().GetIndexBounds().right, 100.25);
    EXPECT_EQ(ReadText(again), expected);
}

TEST(ConfigFile, ReaderFailuresLevelsAndNumbers) {
    TempDir dir;
    const std::string path = (dir / "c.xml").string();
    eTileStorage storage;
    eTileCoordSys& scheme = storage.GetTileCoordSys();
    scheme.SetScales({0.001, 0.002});
    auto read = [&](const std::string& text) {
        WriteText(path, text);
        return storage.FromConfigFile(path.c_str());
    };

    // Missing, empty, not XML: 0 and nothing changed, not even the folder.
    EXPECT_EQ(storage.FromConfigFile((dir / "missing.xml").string().c_str()), 0);
    EXPECT_EQ(read(""), 0);
    EXPECT_EQ(read("<CacheInfo><TileCacheInfo>"), 0);
    EXPECT_TRUE(storage.GetFileDirectory().IsEmpty());

    // Only the storage part: format (any letter case) and folder change.
    EXPECT_EQ(read("<Root><TileStorageInfo><StorageFormat>COMPACT</StorageFormat>"
                   "<PacketSize>7</PacketSize></TileStorageInfo></Root>"),
              1);
    EXPECT_EQ(storage.GetCacheFormat(), eTileStorage::Compact);
    EXPECT_EQ(storage.GetTileGroupSize(), 128);
    EXPECT_EQ(storage.GetFileDirectory().Std(), dir.Str() + "/");
    EXPECT_EQ(scheme.GetLevelCaptions().size(), 2u);

    // No coordinate system, or one refused: 0, the rest is read.
    scheme.SetPrjCoordSys(Crs("EPSG:3857"));
    EXPECT_EQ(read(Doc("<TileSize>300</TileSize><Levels/>", "original", "")), 0);
    EXPECT_EQ(scheme.GetTileSize(), 300);
    EXPECT_EQ(read(Doc("<TileSize>301</TileSize><Levels/>", "Original",
                       "<SpatialReference><WKT>LOCAL_NONSENSE[</WKT></SpatialReference>")),
              0);
    EXPECT_EQ(scheme.GetTileSize(), 301);
    EXPECT_EQ(scheme.GetPrjCoordSys().GetProjection().GetProjectionType(), 43045);
    // The coordinate library's own XML form.
    EXPECT_EQ(read(Doc("<Levels/>", "Original",
                       "<CoordinateReferenceSystem>EPSG:4326</CoordinateReferenceSystem>")),
              1);
    EXPECT_EQ(scheme.GetPrjCoordSys().GetSpatialRefType(), 1);

    // No Levels: 0; scale list, reference resolution and bottom level kept.
    scheme.SetScales({0.001, 0.002});
    scheme.SetRefResolution(99.0);
    EXPECT_EQ(read(Doc("<TileSize>256</TileSize>")), 0);
    EXPECT_EQ(scheme.GetLevelCaptions().size(), 2u);
    EXPECT_EQ(scheme.GetRefResolution(), 99.0);
    EXPECT_EQ(scheme.GetTileBottomLevel(), 1);

    // Bad bools and an unknown layout: reported, kept, reading goes on.
    storage.SetTileLevelMode(1);
    storage.SetCacheFormat(eTileStorage::Compact);
    {
        AssertLog asserts;
        EXPECT_EQ(
            read(Doc(
                "<TileRuler><LevelMode>true</LevelMode><CoordMode>True</CoordMode>"
                "<BoundMode>1</BoundMode></TileRuler><LevelZoomMode> True</LevelZoomMode><Levels/>",
                "Bundled")),
            1);
        EXPECT_EQ(AssertLog::Entries(), std::vector<std::string>(4, "FALSE@eTileStorage"));
    }
    EXPECT_EQ(std::vector<int>({storage.GetTileLevelMode(), storage.GetTileCoordMode(),
                                storage.GetTileBoundMode(), storage.GetLevelZoomMode(),
                                storage.GetCacheFormat()}),
              std::vector<int>({1, 1, 0, 0, eTileStorage::Compact}));

    // Values 0.5, 0 and 0.25 (and one without Value): two levels, 0 and 1;
    // no TileBottomLevel gives the count.
    EXPECT_EQ(
        read(Doc("<TileSize>256</TileSize><Bounds><Left>-1</Left><Top>2</Top><Right>3.5</Right>"
                 "<Bottom>-4</Bottom></Bounds><Levels><Level><Value>0.5</Value></Level>"
                 "<Level><Value>0</Value></Level><Level><Caption>9</Caption></Level>"
                 "<Level><Value>0.25</Value><Caption>4</Caption></Level></Levels>")),
        1);
    ASSERT_EQ(scheme.GetLevelCaptions().size(), 2u);
    EXPECT_EQ(scheme.GetLevelCaptions()[1].Scale, 0.25);
    EXPECT_EQ(scheme.GetRefResolution(), 256.0 * 4);
    EXPECT_EQ(scheme.GetTileBottomLevel(), 2);
    EXPECT_EQ(Sides(scheme.GetIndexBounds()),
              std::vector<double>({-1, 2, 3.5, -4}));  // no IndexBounds: the bounds

    // Forty levels: 256 x 2^40, no 32-bit overflow; an explicit bottom level wins.
    std::string forty = "<TileSize>256</TileSize><TileBottomLevel>17</TileBottomLevel><Levels>";
    for (int i = 0; i < 40; ++i)
        forty += "<Level><Value>1e-" + std::to_string(i + 2) + "</Value></Level>";
    EXPECT_EQ(read(Doc(forty + "</Levels>")), 1);
    EXPECT_EQ(scheme.GetLevelCaptions().size(), 40u);
    EXPECT_EQ(scheme.GetRefResolution(), 281474976710656.0);
    EXPECT_EQ(scheme.GetTileBottomLevel(), 17);

    // Numbers that do not parse are missing ones; an empty radix gives 10.
    scheme.SetTileSize(256);
    scheme.SetDPI(96.0);
    storage.SetTileIndexRadixFormat(16);
    EXPECT_EQ(
        read(Doc("<TileSize>big</TileSize><DPI>n/a</DPI><TileOrigin><X>7.5</X><Y>-</Y></TileOrigin>"
                 "<TileRuler><IndexRadixFormat>hex</IndexRadixFormat></TileRuler><Levels/>")),
        1);
    EXPECT_EQ(std::vector<double>({double(scheme.GetTileSize()), scheme.GetDPI(),
                                   scheme.GetTileOrigin().x, scheme.GetTileOrigin().y,
                                   double(storage.GetTileIndexRadixFormat())}),
              std::vector<double>({256, 96, 7.5, 0, 16}));
    EXPECT_EQ(read(Doc("<TileRuler><IndexRadixFormat></IndexRadixFormat></TileRuler><Levels/>")),
              1);
    EXPECT_EQ(storage.GetTileIndexRadixFormat(), 10);
}

// A cache set up in code, described, then opened only from its description
// by another storage that saves tiles a third one reads back.
TEST(ConfigFile, CacheOpenedFromItsDescriptionServesTiles) {
    for (auto format : {eTileStorage::Original, eTileStorage::Compact}) {
        SCOPED_TRACE(format);
        TempDir dir;
        const std::string path = (dir / "cache/conf.xml").string();
        {
            auto setup = MakeStorage(dir.Str(), format);
            setup->GetTileCoordSys().SetPrjCoordSys(Crs("EPSG:3857"));
            setup->SetTileType(eFileType::JPG);
            ASSERT_EQ(setup->ToConfigFile(path.c_str()), 1);
        }
        const auto tile = TileBytes(7, 3000);
        {
            eTileStorage writer;
            ASSERT_EQ(writer.FromConfigFile(path.c_str()), 1);
            EXPECT_EQ(Save(writer, 5, 300, 1025, tile), 1);
        }
        eTileStorage reader;
        ASSERT_EQ(reader.FromConfigFile(path.c_str()), 1);
        EXPECT_EQ(Load(reader, 5, 300, 1025), tile);
        // The tile is where the layout puts it below the description's folder.
        const fs::path file = dir / (format == eTileStorage::Original
                                         ? "cache/_alllayers/1000000/R0002C0008/300x1025.ejpg"
                                         : "cache/_alllayers/L05/R0100C0400.bundle");
        EXPECT_TRUE(Contains(ReadFile(file), tile)) << file;
    }
}
