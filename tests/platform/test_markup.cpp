// eMarkup: building and saving a tree, the reading cursor, ArcGIS-style
// files, several top-level elements and the failure paths of Load and Save.
// Saved files are checked with plain file reads.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "platform/eMarkup.h"

using namespace TVK;
namespace fs = std::filesystem;

namespace {

class TempDir {
public:
    TempDir()
    {
        std::random_device rd;
        m_path = fs::temp_directory_path() / ("tvk_markup_test_" + std::to_string(rd()) + std::to_string(rd()));
        fs::create_directories(m_path);
    }
    ~TempDir()
    {
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    std::string operator/(const std::string& name) const { return (m_path / name).string(); }
    size_t EntryCount() const { return static_cast<size_t>(std::distance(fs::directory_iterator(m_path), {})); }

private:
    fs::path m_path;
};

void WriteText(const std::string& path, const std::string& text)
{
    std::ofstream out(path, std::ios::binary);
    out << text;
}

std::string ReadText(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A cache configuration as ArcGIS writes it: one line, namespaces, xsi:type.
const char* const kArcGISConf =
    "<?xml version=\"1.0\" encoding=\"utf-8\"?>"
    "<CacheInfo xsi:type=\"typens:CacheInfo\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
    "xmlns:xs=\"http://www.w3.org/2001/XMLSchema\" xmlns:typens=\"http://www.esri.com/schemas/ArcGIS/10.1\">"
    "<TileCacheInfo xsi:type=\"typens:TileCacheInfo\">"
    "<SpatialReference xsi:type=\"typens:ProjectedCoordinateSystem\">"
    "<WKT>PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\","
    "SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]],"
    "PROJECTION[\"Mercator_Auxiliary_Sphere\"],UNIT[\"Meter\",1.0],AUTHORITY[\"EPSG\",3857]]</WKT>"
    "<XOrigin>-20037700</XOrigin><XYTolerance>0.001</XYTolerance><HighPrecision>true</HighPrecision>"
    "<WKID>102100</WKID><LatestWKID>3857</LatestWKID></SpatialReference>"
    "<TileOrigin xsi:type=\"typens:PointN\"><X>-20037508.342787001</X><Y>20037508.342787001</Y></TileOrigin>"
    "<TileCols>256</TileCols><TileRows>256</TileRows><DPI>96</DPI>"
    "<LODInfos xsi:type=\"typens:ArrayOfLODInfo\">"
    "<LODInfo xsi:type=\"typens:LODInfo\"><LevelID>0</LevelID><Scale>591657527.591555</Scale>"
    "<Resolution>156543.03392800014</Resolution></LODInfo>"
    "<LODInfo xsi:type=\"typens:LODInfo\"><LevelID>1</LevelID><Scale>295828763.79577702</Scale>"
    "<Resolution>78271.516963999893</Resolution></LODInfo>"
    "<typens:LODInfo><LevelID>2</LevelID><Scale>147914381.89788899</Scale>"
    "<Resolution>39135.758482000099</Resolution></typens:LODInfo>"
    "</LODInfos></TileCacheInfo>"
    "<TileImageInfo xsi:type=\"typens:TileImageInfo\"><CacheTileFormat>PNG32</CacheTileFormat>"
    "<CompressionQuality>0</CompressionQuality><Antialiasing>false</Antialiasing></TileImageInfo>"
    "<CacheStorageInfo xsi:type=\"typens:CacheStorageInfo\">"
    "<StorageFormat>esriMapCacheStorageModeCompact</StorageFormat><PacketSize>128</PacketSize>"
    "</CacheStorageInfo></CacheInfo>";

}  // namespace

TEST(MarkupWrite, CursorBuildsTreeInOrderAndSavesIt)
{
    TempDir dir;
    eMarkup doc;
    EXPECT_FALSE(doc.AddChildElem("Orphan"));  // no element to add it to
    EXPECT_EQ(doc.GetDoc().Std().find("<?xml"), std::string::npos);
    doc.SetEncoding(eMarkup::kCharsetUtf8);
    ASSERT_TRUE(doc.AddElem("Root"));
    ASSERT_TRUE(doc.AddChildElem("A", "alpha"));
    ASSERT_TRUE(doc.AddChildElem("B"));
    ASSERT_TRUE(doc.IntoElem());  // into B, the child added last
    ASSERT_TRUE(doc.AddChildElem("C", "inner"));
    ASSERT_TRUE(doc.OutOfElem());
    ASSERT_TRUE(doc.AddChildElem("D", eString("1 < 2 & \"q\" \xC3\xA9")));
    EXPECT_FALSE(doc.OutOfElem());  // already at the top
    ASSERT_TRUE(doc.Save(dir / "tree.xml"));

    const std::string raw = ReadText(dir / "tree.xml");
    EXPECT_EQ(raw.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
    const size_t a = raw.find("<A>alpha</A>"), b = raw.find("<B>"), c = raw.find("<C>inner</C>"),
                 bEnd = raw.find("</B>"), d = raw.find("<D>1 &lt; 2 &amp;");
    ASSERT_NE(a, std::string::npos);
    ASSERT_NE(d, std::string::npos);
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_LT(c, bEnd);
    EXPECT_LT(bEnd, d);

    eMarkup in;
    ASSERT_TRUE(in.Load(dir / "tree.xml"));
    ASSERT_TRUE(in.FindChildElem("D"));
    EXPECT_EQ(in.GetChildData(), eString("1 < 2 & \"q\" \xC3\xA9"));
    in.ResetChildPos();
    ASSERT_TRUE(in.FindChildElem("B"));
    ASSERT_TRUE(in.IntoElem());
    ASSERT_TRUE(in.FindChildElem("C"));
    EXPECT_EQ(in.GetChildData(), eString("inner"));
    EXPECT_EQ(in.GetSubDoc(), eString("<B><C>inner</C></B>"));
}

TEST(MarkupRead, RepeatedFindChildWalksSiblingsAndOutOfElemResumes)
{
    eMarkup doc;
    ASSERT_TRUE(doc.SetDoc("<L><Level><V>1</V></Level><Other/><Level><V>2</V></Level><Level/></L>"));
    ASSERT_TRUE(doc.FindChildElem("Level"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindChildElem("V"));
    EXPECT_EQ(doc.GetChildData(), eString("1"));
    EXPECT_FALSE(doc.FindChildElem("V"));  // only one V in this Level
    ASSERT_TRUE(doc.OutOfElem());
    ASSERT_TRUE(doc.FindChildElem("Level"));  // continues after the one left
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindChildElem("V"));
    EXPECT_EQ(doc.GetChildData(), eString("2"));
    ASSERT_TRUE(doc.OutOfElem());
    ASSERT_TRUE(doc.FindChildElem("Level"));
    EXPECT_EQ(doc.GetChildData(), eString(""));
    EXPECT_FALSE(doc.FindChildElem("Level"));
    EXPECT_FALSE(doc.IntoElem() && doc.FindChildElem("V"));
}

TEST(MarkupRead, TextComesBackExactly)
{
    eMarkup doc;
    ASSERT_TRUE(doc.SetDoc("<R><S>  padded  </S><T>a<![CDATA[<b>]]>c</T><U>   </U></R>"));
    const char* expected[] = {"  padded  ", "a<b>c", "   "};
    for (const char* text : expected) {
        ASSERT_TRUE(doc.FindChildElem());
        EXPECT_EQ(doc.GetChildData(), eString(text));
    }
}

TEST(MarkupRead, ArcGISConfigurationWithNamespacesAndTypes)
{
    TempDir dir;
    WriteText(dir / "Conf.xml", kArcGISConf);
    eMarkup doc;
    ASSERT_TRUE(doc.Load(dir / "Conf.xml"));
    ASSERT_TRUE(doc.FindElem("CacheInfo"));
    ASSERT_TRUE(doc.FindChildElem("TileCacheInfo"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindChildElem("SpatialReference"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindChildElem("WKT"));
    EXPECT_EQ(doc.GetChildData().Std().rfind("PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\"", 0), 0u);
    ASSERT_TRUE(doc.OutOfElem());
    ASSERT_TRUE(doc.FindChildElem("LODInfos"));
    ASSERT_TRUE(doc.IntoElem());
    const char* expected[] = {"156543.03392800014", "78271.516963999893", "39135.758482000099"};
    int count = 0;
    while (doc.FindChildElem("LODInfo")) {  // <typens:LODInfo> counts too
        ASSERT_LT(count, 3);
        ASSERT_TRUE(doc.IntoElem());
        ASSERT_TRUE(doc.FindChildElem("LevelID"));
        EXPECT_EQ(doc.GetChildData(), eString(std::to_string(count)));
        ASSERT_TRUE(doc.FindChildElem("Resolution"));
        EXPECT_EQ(doc.GetChildData(), eString(expected[count]));
        ASSERT_TRUE(doc.OutOfElem());
        ++count;
    }
    EXPECT_EQ(count, 3);
    ASSERT_TRUE(doc.OutOfElem());  // TileCacheInfo is current again
    ASSERT_TRUE(doc.OutOfElem());  // CacheInfo is current again
    ASSERT_TRUE(doc.FindChildElem("CacheStorageInfo"));
    ASSERT_TRUE(doc.IntoElem());
    ASSERT_TRUE(doc.FindChildElem("StorageFormat"));
    EXPECT_EQ(doc.GetChildData(), eString("esriMapCacheStorageModeCompact"));
}

TEST(MarkupRead, SeveralTopLevelElementsAreFoundInOrder)
{
    TempDir dir;
    WriteText(dir / "conf.cdi",
              "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
              "<EnvelopeN xsi:type=\"typens:EnvelopeN\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">"
              "<XMin>-180</XMin><YMin>-90</YMin><XMax>180</XMax><YMax>90</YMax></EnvelopeN>\n"
              "<IndexBounds><Left>-1</Left><Bottom>-2</Bottom><Right>3</Right><Top>4</Top></IndexBounds>\n");
    eMarkup doc;
    ASSERT_TRUE(doc.Load(dir / "conf.cdi"));
    ASSERT_TRUE(doc.FindElem("EnvelopeN"));
    ASSERT_TRUE(doc.FindChildElem("YMax"));
    EXPECT_EQ(doc.GetChildData(), eString("90"));
    ASSERT_TRUE(doc.FindElem("IndexBounds"));
    ASSERT_TRUE(doc.FindChildElem("Right"));
    EXPECT_EQ(doc.GetChildData(), eString("3"));
    EXPECT_FALSE(doc.FindElem("EnvelopeN"));  // only later elements are searched

    doc.ResetPos();
    ASSERT_TRUE(doc.FindElem("IndexBounds"));  // skipping EnvelopeN
    ASSERT_TRUE(doc.FindChildElem("Top"));
    EXPECT_EQ(doc.GetChildData(), eString("4"));
}

TEST(MarkupLoad, FailuresKeepThePreviousDocument)
{
    TempDir dir;
    WriteText(dir / "good.xml", "<Root><Keep>yes</Keep></Root>");
    WriteText(dir / "broken.xml", "<Root><Keep>yes</Root>");
    WriteText(dir / "unclosed.xml", "<Root><Keep>yes</Keep>");
    WriteText(dir / "empty.xml", "");
    WriteText(dir / "noelement.xml", "<?xml version=\"1.0\"?>\n<!-- nothing -->\n");
    WriteText(dir / "binary.xml", std::string("\x00\x01\x02<\xff", 5));
    fs::create_directory(dir / "folder.xml");

    eMarkup doc;
    ASSERT_TRUE(doc.Load(dir / "good.xml"));
    for (const char* name : {"broken.xml", "unclosed.xml", "empty.xml", "noelement.xml", "binary.xml",
                             "folder.xml", "missing.xml"})
        EXPECT_FALSE(doc.Load(dir / name)) << name;
    EXPECT_FALSE(doc.SetDoc("<a><b></a>"));
    EXPECT_FALSE(doc.SetDoc(""));

    ASSERT_TRUE(doc.FindChildElem("Keep"));
    EXPECT_EQ(doc.GetChildData(), eString("yes"));
}

TEST(MarkupLoad, DoctypeAndEntitiesAreNotExpanded)
{
    TempDir dir;
    WriteText(dir / "secret.txt", "TOP-SECRET");
    const std::string xml = "<?xml version=\"1.0\"?>\n"
                            "<!DOCTYPE r [\n"
                            "  <!ENTITY ext SYSTEM \"file://" + (dir / "secret.txt") + "\">\n"
                            "  <!ENTITY a \"aaaaaaaaaaaaaaaa\">\n"
                            "  <!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n"
                            "  <!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">\n"
                            "]>\n"
                            "<r><x>&ext;</x><y>&c;</y><z>&lt;&#65;</z></r>";
    WriteText(dir / "dtd.xml", xml);
    eMarkup doc;
    if (doc.Load(dir / "dtd.xml")) {
        ASSERT_TRUE(doc.FindChildElem("x"));
        EXPECT_EQ(doc.GetChildData().Std().find("TOP-SECRET"), std::string::npos);
        ASSERT_TRUE(doc.FindChildElem("y"));
        EXPECT_LT(doc.GetChildData().GetLength(), 64);  // not 4096 a's
        ASSERT_TRUE(doc.FindChildElem("z"));
        EXPECT_EQ(doc.GetChildData(), eString("<A"));  // predefined and numeric ones are
    }
    EXPECT_EQ(doc.GetDoc().Std().find("TOP-SECRET"), std::string::npos);
}

TEST(MarkupSave, FailedSaveReportsFalseAndLeavesNothingBehind)
{
    TempDir dir;
    WriteText(dir / "plainfile", "x");
    fs::create_directory(dir / "adir");
    eMarkup doc;
    ASSERT_TRUE(doc.AddElem("R", "v"));

    EXPECT_FALSE(doc.Save(dir / "plainfile/child.xml"));  // parent is a file
    EXPECT_FALSE(doc.Save(dir / "missing/child.xml"));
    EXPECT_FALSE(doc.Save(dir / "adir"));  // a folder cannot be replaced
    EXPECT_FALSE(doc.Save(""));
    EXPECT_EQ(dir.EntryCount(), 2u);  // no temporary file left
    EXPECT_TRUE(fs::is_directory(dir / "adir"));

    WriteText(dir / "old.xml", "<Old/>");
    ASSERT_TRUE(doc.Save(dir / "old.xml"));
    EXPECT_EQ(ReadText(dir / "old.xml"), "<R>v</R>\n");
    EXPECT_EQ(dir.EntryCount(), 3u);
}
