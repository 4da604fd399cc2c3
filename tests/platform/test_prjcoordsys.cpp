// ePrjCoordSys: definitions in (EPSG codes, ArcGIS and standard WKT), the
// derived values callers rely on, Forward/Inverse against hand-computed
// values, WKT round trips, refused input, the XML import and parallel use.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "platform/ePrjCoordSys.h"

using namespace TVK;

namespace {

const char* const kEsriWebMercator =
    "PROJCS[\"WGS_1984_Web_Mercator_Auxiliary_Sphere\",GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\","
    "SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]],"
    "PROJECTION[\"Mercator_Auxiliary_Sphere\"],PARAMETER[\"False_Easting\",0.0],PARAMETER[\"False_Northing\",0.0],"
    "PARAMETER[\"Central_Meridian\",0.0],PARAMETER[\"Standard_Parallel_1\",0.0],"
    "PARAMETER[\"Auxiliary_Sphere_Type\",0.0],UNIT[\"Meter\",1.0],AUTHORITY[\"EPSG\",3857]]";
const char* const kEsriGeographic =
    "GEOGCS[\"GCS_WGS_1984\",DATUM[\"D_WGS_1984\",SPHEROID[\"WGS_1984\",6378137.0,298.257223563]],"
    "PRIMEM[\"Greenwich\",0.0],UNIT[\"Degree\",0.0174532925199433]]";
constexpr double kPi = 3.14159265358979323846;
constexpr double kHalfWorld = 20037508.342789244;  // pi * 6378137

ePrjCoordSys Make(const char* definition) {
    ePrjCoordSys cs;
    EXPECT_EQ(cs << eWKT(definition), 1) << definition;
    return cs;
}
double Axis(const ePrjCoordSys& cs) { return cs.GetGeoCoordSys().GetHorizonDatum().GetSpheroid().GetAxis(); }
int ProjType(const ePrjCoordSys& cs) { return cs.GetProjection().GetProjectionType(); }
void ExpectNear(const ePoint2D& p, double x, double y, double tolerance) {
    EXPECT_NEAR(p.x, x, tolerance);
    EXPECT_NEAR(p.y, y, tolerance);
}

}  // namespace

TEST(PrjCoordSys, UnsetSystemLeavesPointsAlone) {
    const ePrjCoordSys cs;
    EXPECT_TRUE(cs.GetSpatialRefType() == 0 && cs.GetUnits() == 10000 && Axis(cs) == 6378137.0 && ProjType(cs) == 0);
    ePoint2D p(12.5, -3.25);
    cs.Forward(&p, 1);
    cs.Inverse(&p, 1);
    EXPECT_TRUE(p.x == 12.5 && p.y == -3.25);
    eWKT out("stale");
    EXPECT_EQ(cs >> out, 0);
    EXPECT_TRUE(out.Text.IsEmpty());
}

TEST(PrjCoordSys, WebMercatorFromCodeAndFromArcGISTextAndRefusedTexts) {
    for (const char* def : {"EPSG:3857", kEsriWebMercator}) {
        SCOPED_TRACE(def);
        ePrjCoordSys cs = Make(def);
        EXPECT_TRUE(cs.GetSpatialRefType() == 2 && cs.GetUnits() == 10000 && Axis(cs) == 6378137.0);
        EXPECT_EQ(ProjType(cs), 43045);
        // x = R * lon, y = R * ln(tan(pi/4 + lat/2)) on the sphere.
        ePoint2D pts[2] = {{180.0, 0.0}, {-90.0, 60.0}};
        ASSERT_EQ(cs.Forward(pts, 2), 1);
        ExpectNear(pts[0], kHalfWorld, 0.0, 1e-6);
        ExpectNear(pts[1], -kHalfWorld / 2, 6378137.0 * std::log(std::tan(kPi / 4 + kPi / 6)), 1e-6);
        ASSERT_EQ(cs.Inverse(pts, 2), 1);
        ExpectNear(pts[1], -90.0, 60.0, 1e-9);
        // A text the engine refuses leaves the system as it was.
        for (const char* bad : {"", "not a definition", "EPSG:999999", "PROJCS[\"broken\",GEOGCS[",
                                "EPSG:4978" /* geocentric: neither geographic nor projected */})
            EXPECT_EQ(cs << eWKT(bad), 0) << bad;
        ASSERT_EQ(cs.Forward(pts, 1), 1);
        EXPECT_NEAR(pts[0].x, kHalfWorld, 1e-6);
        EXPECT_EQ(ProjType(cs), 43045);
    }
}

TEST(PrjCoordSys, GeographicSystemsTakeLongitudeFirstAndReportTheirUnit) {
    for (const char* def : {"EPSG:4326", kEsriGeographic}) {
        SCOPED_TRACE(def);
        ePrjCoordSys cs = Make(def);
        EXPECT_TRUE(cs.GetSpatialRefType() == 1 && cs.GetUnits() == 0 && ProjType(cs) == 0);
        ePoint2D p(15.0, 45.0);  // EPSG:4326 lists latitude first; callers do not
        ASSERT_EQ(cs.Forward(&p, 1), 1);
        ExpectNear(p, 15.0, 45.0, 1e-12);
    }
    // NTF (Paris) counts in grads: 1000000000 + round(pi / 200 * 1e8).
    ePrjCoordSys grads = Make("EPSG:4807");
    EXPECT_EQ(grads.GetUnits(), 1001570796);
    EXPECT_EQ(Axis(grads), 6378249.2);
    ePoint2D g(180.0, 45.0);  // degrees in, grads out (x 10/9)
    ASSERT_EQ(grads.Forward(&g, 1), 1);
    ExpectNear(g, 200.0, 50.0, 1e-9);
}

TEST(PrjCoordSys, ProjectedSystemsInMetresAndFeet) {
    EXPECT_EQ(Make("EPSG:2263").GetUnits(), 3048);  // US survey foot
    EXPECT_EQ(Make("+proj=tmerc +ellps=WGS84 +units=ft +type=crs").GetUnits(), 3048);  // international foot
    const ePrjCoordSys utm = Make("EPSG:32633");
    // The same zone in WKT2 with the northing axis first: still easting, northing.
    const ePrjCoordSys wkt2 = Make(
        "PROJCRS[\"UTM 33N\",BASEGEOGCRS[\"WGS 84\",DATUM[\"WGS 1984\",ELLIPSOID[\"WGS 84\",6378137,298.257223563]],"
        "ANGLEUNIT[\"degree\",0.0174532925199433]],CONVERSION[\"UTM zone 33N\",METHOD[\"Transverse Mercator\"],"
        "PARAMETER[\"Latitude of natural origin\",0],PARAMETER[\"Longitude of natural origin\",15],"
        "PARAMETER[\"Scale factor at natural origin\",0.9996],PARAMETER[\"False easting\",500000],"
        "PARAMETER[\"False northing\",0]],CS[Cartesian,2],AXIS[\"northing\",north],AXIS[\"easting\",east],"
        "LENGTHUNIT[\"metre\",1]]");
    for (const ePrjCoordSys* cs : {&utm, &wkt2}) {
        EXPECT_TRUE(cs->GetSpatialRefType() == 2 && cs->GetUnits() == 10000);
        EXPECT_TRUE(ProjType(*cs) != 0 && ProjType(*cs) != 43045 && ProjType(*cs) == ProjType(utm));
        // On the central meridian x is the false easting; 1 N is 110574.3 m of meridian times 0.9996.
        ePoint2D p[2] = {{15.0, 0.0}, {15.0, 1.0}};
        ASSERT_EQ(cs->Forward(p, 2), 1);
        ExpectNear(p[0], 500000.0, 0.0, 1e-6);
        EXPECT_NEAR(p[1].x, 500000.0, 1e-6);
        EXPECT_NEAR(p[1].y, 110530.0, 1.0);
        ASSERT_EQ(cs->Inverse(p, 2), 1);
        ExpectNear(p[1], 15.0, 1.0, 1e-9);
    }
}

TEST(PrjCoordSys, WktOutAndBackKeepsTheSystem) {
    for (const char* def : {kEsriWebMercator, "EPSG:32633", "EPSG:4807", "EPSG:2263", kEsriGeographic}) {
        SCOPED_TRACE(def);
        const ePrjCoordSys cs = Make(def);
        eWKT wkt;
        ASSERT_EQ(cs >> wkt, 1);
        EXPECT_TRUE(wkt.Text.Std().rfind("PROJCS[", 0) == 0 || wkt.Text.Std().rfind("GEOGCS[", 0) == 0);
        ePrjCoordSys back;
        ASSERT_EQ(back << wkt, 1);
        EXPECT_TRUE(back.GetSpatialRefType() == cs.GetSpatialRefType() && back.GetUnits() == cs.GetUnits());
        EXPECT_TRUE(ProjType(back) == ProjType(cs) && Axis(back) == Axis(cs));
        ePoint2D a(16.0, 48.0), b(16.0, 48.0);
        ASSERT_TRUE(cs.Forward(&a, 1) && back.Forward(&b, 1));
        ExpectNear(a, b.x, b.y, 1e-6);
    }
}

TEST(PrjCoordSys, CopiesAreIndependent) {
    ePrjCoordSys utm = Make("EPSG:32633");
    ePrjCoordSys copy(utm), assigned;
    assigned = utm;
    ASSERT_EQ(utm << eWKT("EPSG:4326"), 1);  // the original moves on
    ePoint2D p[3] = {{15.0, 0.0}, {15.0, 0.0}, {15.0, 0.0}};
    ASSERT_TRUE(copy.Forward(&p[0], 1) && assigned.Forward(&p[1], 1) && utm.Forward(&p[2], 1));
    EXPECT_NEAR(p[0].x, 500000.0, 1e-6);
    EXPECT_NEAR(p[1].x, 500000.0, 1e-6);
    EXPECT_NEAR(p[2].x, 15.0, 1e-12);
}

TEST(PrjCoordSys, XmlImport) {
    const eString good = "<CoordinateReferenceSystem>EPSG:3857</CoordinateReferenceSystem>";
    ePrjCoordSys cs = Make("EPSG:4326");
    EXPECT_EQ(cs.FromXML(good, 20031210), 0);  // wrong format number
    EXPECT_EQ(cs.FromXML("<Other>EPSG:3857</Other>", 20031211), 0);
    EXPECT_EQ(cs.FromXML("<CoordinateReferenceSystem>rubbish</CoordinateReferenceSystem>", 20031211), 0);
    EXPECT_EQ(cs.FromXML("<CoordinateReferenceSystem>EPSG:3857", 20031211), 0);  // not well-formed
    EXPECT_EQ(cs.GetSpatialRefType(), 1);
    ASSERT_EQ(cs.FromXML(good, 20031211), 1);
    EXPECT_EQ(ProjType(cs), 43045);
    ASSERT_EQ(cs.FromXML(eString("<CoordinateReferenceSystem>\n  ") + kEsriGeographic + "\n</CoordinateReferenceSystem>",
                         20031211), 1);
    EXPECT_EQ(cs.GetSpatialRefType(), 1);
}

// Threads 0-3 transform their own copies; 4 and 5 share one object.
TEST(PrjCoordSysConcurrency, CopiesTransformInParallel) {
    const ePrjCoordSys utm = Make("EPSG:32633"), shared(utm);
    std::vector<ePoint2D> input;
    for (int i = 0; i < 200; ++i) input.emplace_back(10.0 + i * 0.05, -60.0 + i * 0.6);
    std::vector<ePoint2D> expected = input;
    ASSERT_EQ(utm.Forward(expected.data(), 200), 1);
    std::vector<int> failures(6, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 6; ++t) {
        threads.emplace_back([&, t] {
            const ePrjCoordSys own(utm);
            const ePrjCoordSys& cs = t >= 4 ? shared : own;
            for (int round = 0; round < 100; ++round) {
                std::vector<ePoint2D> work = input;
                failures[t] += !cs.Forward(work.data(), 200);
                for (size_t i = 0; i < work.size(); ++i)
                    failures[t] += std::fabs(work[i].x - expected[i].x) > 1e-6 || std::fabs(work[i].y - expected[i].y) > 1e-6;
                failures[t] += !cs.Inverse(work.data(), 200);
                for (size_t i = 0; i < work.size(); ++i)
                    failures[t] += std::fabs(work[i].x - input[i].x) > 1e-8 || std::fabs(work[i].y - input[i].y) > 1e-8;
            }
        });
    }
    for (std::thread& th : threads) th.join();
    EXPECT_EQ(failures, std::vector<int>(6, 0));
}
