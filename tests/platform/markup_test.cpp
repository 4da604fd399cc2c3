// eMarkup: building and saving a tree, the reading cursor, ArcGIS-style
// files, several top-level elements and the failure paths of Load and Save.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "platform/eMarkup.h"
#include "support/test_files.h"

using namespace TVK;
using tvktest::ReadText;
using tvktest::WriteText;
namespace fs = std::filesystem;

TEST(Markup, CursorBuildsTreeInOrderAndSavesIt) {
    tvktest::TempDir dir;
    eMarkup doc;
    EXPECT_FALSE(doc.AddChildElem("Orphan"));  // no element to add it to
    doc.SetEncoding(eMarkup::kCharsetUtf8);
    ASSERT_TRUE(doc.AddElem("Root") && doc.AddChildElem("A", "alpha") && doc.AddChildElem("B"));
    ASSERT_TRUE(doc.IntoElem());  // into B, the child added last
    ASSERT_TRUE(doc.AddChildElem("C", "inner") && doc.OutOfElem());
    ASSERT_TRUE(doc.AddChildElem("D", eString("1 < 2 & \"q\" \xC3\xA9")));
    EXPECT_FALSE(doc.OutOfElem());  // already at the top
    ASSERT_TRUE(doc.Save(dir.Root() + "tree.xml"));
    const std::string raw = ReadText(dir / "tree.xml");
    EXPECT_EQ(raw.rfind("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", 0), 0u);
    const size_t a = raw.find("<A>alpha</A>"), b = raw.find("<B>"), c = raw.find("<C>inner</C>"),
                 bEnd = raw.find("</B>"), d = raw.find("<D>1 &lt; 2 &amp;");
    EXPECT_TRUE(a < b && b < c && c < bEnd && bEnd < d && d != std::string::npos) << raw;
}

TEST(Markup, RepeatedFindChildWalksSiblingsAndTextComesBackExactly) {
    eMarkup doc;
    ASSERT_TRUE(
        doc.SetDoc("<L><Level><V>1</V></Level><Other/><Level><V>2</V></Level>"
                   "<T>  a<![CDATA[<b>]]>c </T></L>"));
    for (const char* v : {"1", "2"}) {
        ASSERT_TRUE(doc.FindChildElem("Level") && doc.IntoElem());
        EXPECT_EQ(doc.GetSubDoc(), std::string("<Level><V>") + v + "</V></Level>");
        ASSERT_TRUE(doc.FindChildElem("V"));
        EXPECT_EQ(doc.GetChildData(), v);
        EXPECT_FALSE(doc.FindChildElem("V"));  // only one V in this Level
        ASSERT_TRUE(doc.OutOfElem());          // the next search resumes after this Level
    }
    EXPECT_FALSE(doc.FindChildElem("Level"));
    doc.ResetChildPos();
    ASSERT_TRUE(doc.FindChildElem("T"));
    EXPECT_EQ(doc.GetChildData(), "  a<b>c ");  // padding kept
}

TEST(Markup, ReadsArcGISConfigurationAndSeveralTopLevelElements) {
    tvktest::TempDir dir;
    // One line, an utf-8 declaration, namespaces and xsi:type as ArcGIS writes them.
    WriteText(
        dir / "Conf.xml",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?><CacheInfo xsi:type=\"typens:CacheInfo\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:typens=\"http://www.esri.com/schemas/ArcGIS/10.1\">"
        "<TileCacheInfo xsi:type=\"typens:TileCacheInfo\"><LODInfos "
        "xsi:type=\"typens:ArrayOfLODInfo\"><LODInfo "
        "xsi:type=\"typens:LODInfo\"><LevelID>0</LevelID>"
        "<Resolution>156543.03392800014</Resolution></LODInfo><typens:LODInfo><LevelID>1</LevelID>"
        "<Resolution>78271.516963999893</Resolution></typens:LODInfo></LODInfos></TileCacheInfo></"
        "CacheInfo>");
    eMarkup doc;
    ASSERT_TRUE(doc.Load(dir.Root() + "Conf.xml"));
    ASSERT_TRUE(doc.FindElem("CacheInfo") && doc.FindChildElem("TileCacheInfo") && doc.IntoElem());
    ASSERT_TRUE(doc.FindChildElem("LODInfos") && doc.IntoElem());
    for (const char* res :
         {"156543.03392800014", "78271.516963999893"}) {  // <typens:LODInfo> counts too
        ASSERT_TRUE(doc.FindChildElem("LODInfo") && doc.IntoElem() &&
                    doc.FindChildElem("Resolution"));
        EXPECT_EQ(doc.GetChildData(), res);
        ASSERT_TRUE(doc.OutOfElem());
    }
    EXPECT_FALSE(doc.FindChildElem("LODInfo"));

    // The extent file holds EnvelopeN followed by IndexBounds.
    WriteText(
        dir / "conf.cdi",
        "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<EnvelopeN xsi:type=\"typens:EnvelopeN\" "
        "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\"><XMin>-180</XMin><YMax>90</YMax></"
        "EnvelopeN>\n"
        "<IndexBounds><Right>3</Right></IndexBounds>\n");
    ASSERT_TRUE(doc.Load(dir.Root() + "conf.cdi"));
    ASSERT_TRUE(doc.FindElem("EnvelopeN") && doc.FindChildElem("YMax"));
    EXPECT_EQ(doc.GetChildData(), "90");
    ASSERT_TRUE(doc.FindElem("IndexBounds") && doc.FindChildElem("Right"));
    EXPECT_EQ(doc.GetChildData(), "3");
    EXPECT_FALSE(doc.FindElem("EnvelopeN"));  // only later elements are searched
}

TEST(Markup, FailedLoadKeepsThePreviousDocumentAndEntitiesAreNotExpanded) {
    tvktest::TempDir dir;
    WriteText(dir / "good.xml", "<Root><Keep>yes</Keep></Root>");
    WriteText(dir / "broken.xml", "<Root><Keep>yes</Root>");
    WriteText(dir / "empty.xml", "");
    WriteText(dir / "noelement.xml", "<?xml version=\"1.0\"?>\n<!-- nothing -->\n");
    fs::create_directory(dir / "folder.xml");
    eMarkup doc;
    ASSERT_TRUE(doc.Load(dir.Root() + "good.xml"));
    for (const char* name :
         {"broken.xml", "empty.xml", "noelement.xml", "folder.xml", "missing.xml"})
        EXPECT_FALSE(doc.Load(dir.Root() + name)) << name;
    EXPECT_FALSE(doc.SetDoc("<a><b></a>"));
    ASSERT_TRUE(doc.FindChildElem("Keep"));
    EXPECT_EQ(doc.GetChildData(), "yes");

    // An external entity must not pull in a local file, nor nested ones blow up.
    WriteText(dir / "secret.txt", "TOP-SECRET");
    WriteText(dir / "dtd.xml",
              "<?xml version=\"1.0\"?>\n<!DOCTYPE r [\n<!ENTITY ext SYSTEM \"file://" + dir.Root() +
                  "secret.txt\">\n<!ENTITY a \"aaaaaaaaaaaaaaaa\">\n"
                  "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n]>\n"
                  "<r><x>&ext;</x><y>&b;</y><z>&lt;&#65;</z></r>");
    if (doc.Load(dir.Root() + "dtd.xml")) {
        ASSERT_TRUE(doc.FindChildElem("x"));
        EXPECT_EQ(doc.GetChildData().Std().find("TOP-SECRET"), std::string::npos);
        ASSERT_TRUE(doc.FindChildElem("y"));
        EXPECT_LT(doc.GetChildData().GetLength(), 64);  // not 256 a's
        ASSERT_TRUE(doc.FindChildElem("z"));
        EXPECT_EQ(doc.GetChildData(), "<A");  // predefined and numeric ones are
    }
    EXPECT_EQ(doc.GetDoc().Std().find("TOP-SECRET"), std::string::npos);
}

TEST(Markup, FailedSaveReportsFalseAndLeavesNothingBehind) {
    tvktest::TempDir dir;
    WriteText(dir / "plainfile", "x");
    fs::create_directory(dir / "adir");
    eMarkup doc;
    ASSERT_TRUE(doc.AddElem("R", "v"));
    for (const char* bad : {"plainfile/child.xml", "missing/child.xml", "adir"})
        EXPECT_FALSE(doc.Save(dir.Root() + bad)) << bad;
    WriteText(dir / "old.xml", "<Old/>");
    ASSERT_TRUE(doc.Save(dir.Root() + "old.xml"));
    EXPECT_EQ(ReadText(dir / "old.xml"), "<R>v</R>\n");
    // Only the three entries made here: no temporary file left by any save.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.Path()), {}), 3);
}
